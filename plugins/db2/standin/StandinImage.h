// Backup image file of the stand-in client. Internal to libdb2standin.
//
// Layout: "ZRDB2IMG1\n", "alias <ALIAS>\n", then per database file
// "file <size> <name>\n" followed by exactly <size> bytes, then "end\n" as
// the last bytes of the image. Both directions copy in pieces of 1 MiB, so
// memory stays flat whatever the size of the database.
#pragma once

#include <filesystem>
#include <string>

namespace db2standin {

// Writes the regular files of the folder `database`, sorted by name, as one
// image `image`; false on any I/O error or when a file shrinks meanwhile.
bool WriteImage(const std::filesystem::path& database, const std::string& alias,
                const std::filesystem::path& image);

// Replaces the files of the folder `database` with those of the image.
// The whole image is checked first (structure, alias, every declared size
// against the bytes really present), so a bad image leaves the database as
// it was. Returns 0, DB2_SQL_BAD_IMAGE or DB2_SQL_IO_ERROR.
int RestoreImage(const std::filesystem::path& image, const std::string& alias,
                 const std::filesystem::path& database);

}  // namespace db2standin
