// Reader of a complete zip archive file (Zip64 included).
//
// CZipReader opens an archive (its directory found through minizip, see
// ZipEntryReader.h), keeps an ordered map of its entries (names wide, "/" as
// separator) and lists and extracts them one at a time.
// Results: 0 success, 1 failure, 3 not found, 5 end of the open entry.
// Nothing is logged here. Not thread-safe: one thread at a time.

#pragma once

#include <minizip/unzip.h>

#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "plugins/db2/zip/ZipEntryReader.h"

// One listing record of CZipReader::GetListing.
struct ZipFileInfo {
  // One path component below the listed folder; a folder (an entry whose
  // name ends in "/", or one only implied by deeper entries) ends in "/".
  std::wstring name;
  bool isDirectory = false;
  uint64_t uncompressedSize = 0;
  uint64_t compressedSize = 0;
  uint32_t crc = 0;
  uint32_t dosDate = 0;  // modification time, MS-DOS format
};

class CZipReader {
 public:
  CZipReader();
  ~CZipReader();
  CZipReader(const CZipReader&) = delete;
  CZipReader& operator=(const CZipReader&) = delete;

  // Opens the archive `path` (closing an open one first: 1 if that fails) and
  // reads the information of every entry. 3 when `path` is not an existing
  // file; 1 when it is no readable archive (a corrupt central directory).
  [[nodiscard]] int OpenZip(const wchar_t* path);

  // Appends the entries directly below the folder `path` ("" is the root;
  // "\" and "/" both separate) to `entries`, in name order. 3 when no archive
  // is open or it has no entries, else 0.
  [[nodiscard]] int GetListing(std::wstring path, std::list<ZipFileInfo>& entries);

  // Copies the information of the entry `path` into `info`. 1 for null
  // arguments, 3 when there is no such entry.
  [[nodiscard]] int GetFileInfo(const wchar_t* path, unz_file_info64* info);

  // Opens the entry `path` for reading (closing an open one): inflated, or
  // its stored bytes when `raw`. 1 without an archive or for a null path, 3
  // when there is no such entry, 1 when it cannot be opened (its local header
  // is missing; encrypted or neither deflated nor stored when not `raw`).
  [[nodiscard]] int OpenFile(const wchar_t* path, bool raw);

  // Reads up to `size` bytes of the open entry: 0 with data (`size` = count),
  // 5 at its end and 1 on failure (both with `size` 0). The end is reported
  // only when the byte count and (not raw) the CRC-32 match the directory;
  // a mismatch is a failure. 0 for `size` 0. 1 without an archive or entry.
  [[nodiscard]] int ReadFile(unsigned char* buffer, unsigned int& size);

  // Closes the open entry (harmless when there is none); returns 0.
  [[nodiscard]] int CloseFile();

  // Closes the archive and empties the map; returns 0.
  int CloseZip();

  // True while an archive is open.
  bool IsOpen() const { return open_; }

 private:
  static std::wstring Normalize(std::wstring path);

  bool open_ = false;
  bool raw_ = false;
  std::string path_;  // narrow name of the open archive
  std::map<std::wstring, ZipDirectoryEntry> entries_;
  ZipEntryReader entry_;
};
