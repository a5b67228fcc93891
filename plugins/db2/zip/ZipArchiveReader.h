// Reader of a complete zip archive file (Zip64 included).
//
// CZipReader opens an archive (its directory found through minizip, see
// ZipEntryReader.h), keeps an ordered map of its entries (names wide, "/" as
// separator) and lists and extracts them one at a time.
// Results (plugin-api/ResultCodes.h): kSuccess, kFailed, kPathNotFound, and
// kHandleEof at the end of the open entry.
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

  // Opens the archive `path` (closing an open one first: kFailed if that
  // fails) and reads the information of every entry. kPathNotFound when
  // `path` is not an existing file; kFailed when it is no readable archive
  // (a corrupt central directory).
  [[nodiscard]] int OpenZip(const wchar_t* path);

  // Appends the entries directly below the folder `path` ("" is the root;
  // "\" and "/" both separate) to `entries`, in name order. kPathNotFound
  // when no archive is open or it has no entries, else kSuccess.
  [[nodiscard]] int GetListing(std::wstring path, std::list<ZipFileInfo>& entries);

  // Copies the information of the entry `path` into `info`. kFailed for null
  // arguments, kPathNotFound when there is no such entry.
  [[nodiscard]] int GetFileInfo(const wchar_t* path, unz_file_info64* info);

  // Opens the entry `path` for reading (closing an open one): inflated, or
  // its stored bytes when `raw`. kFailed without an archive or for a null
  // path, kPathNotFound when there is no such entry, kFailed when it cannot
  // be opened (its local header is missing; encrypted or neither deflated
  // nor stored when not `raw`).
  [[nodiscard]] int OpenFile(const wchar_t* path, bool raw);

  // Reads up to `size` bytes of the open entry: kSuccess with data (`size` =
  // count), kHandleEof at its end and kFailed on failure (both with `size`
  // 0). The end is reported only when the byte count and (not raw) the
  // CRC-32 match the directory; a mismatch is a failure. kSuccess for `size` 0. kFailed without an
  // archive or entry.
  [[nodiscard]] int ReadFile(unsigned char* buffer, unsigned int& size);

  // Closes the open entry (harmless when there is none); returns kSuccess.
  [[nodiscard]] int CloseFile();

  // Closes the archive and empties the map; returns kSuccess.
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
