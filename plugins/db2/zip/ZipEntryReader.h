// Access to a complete archive file: its central directory and the data of
// single entries.
//
// minizip finds and walks the central directory; each central record is then
// read again here so that 64-bit sizes and local header offsets come from the
// Zip64 extra block (the minizip of Debian 12 leaves them at 0xFFFFFFFF on
// 64-bit Linux, as it compares them with (unsigned long)-1). Entry data is
// read directly from the file and verified at its end. Archives with bytes
// before their first record are not supported. Nothing is logged here.

#pragma once

#include <minizip/unzip.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "plugins/db2/zip/ZipInflater.h"

// One entry as the central directory describes it.
struct ZipDirectoryEntry {
  std::string rawName;     // bytes as stored
  unz_file_info64 info{};  // with the 64-bit sizes of the Zip64 block
  uint64_t localHeaderOffset = 0;
  unz64_file_pos position{};  // minizip's position of the central record
};

// An entry name as wide text, decoded the one way every reader uses: UTF-8
// when flag bit 11 (`flags`) says so and the bytes are well-formed UTF-8; else
// text of the current locale; else each byte as its own code point (Latin-1),
// so no name is cut and two different names never decode alike.
std::wstring DecodeEntryName(const std::string& raw, unsigned long flags);

// Reads the central directory of the archive file `path` (narrow name) into
// `entries`, in archive order. zr::kSuccess, or zr::kFailed when the file
// is no readable archive (missing, corrupt central directory).
[[nodiscard]] int ReadZipDirectory(const std::string& path, std::vector<ZipDirectoryEntry>& entries);

// Reads the data of one entry of an archive file.
class ZipEntryReader : private IZipInflateInput {
 public:
  ZipEntryReader();
  ~ZipEntryReader() override;
  ZipEntryReader(const ZipEntryReader&) = delete;
  ZipEntryReader& operator=(const ZipEntryReader&) = delete;

  // Opens `entry` of the archive file `path`: its stored bytes when `raw`,
  // else its data inflated (method 8) or as stored (method 0). 1 when the
  // local header is not where the directory says, or for encrypted data or
  // another method when not `raw`.
  [[nodiscard]] int Open(const std::string& path, const ZipDirectoryEntry& entry, bool raw);

  // Delivers up to `size` bytes: zr::kSuccess with data, zr::kHandleEof at
  // the end (`size` 0) once the byte count and, unless raw, the CRC-32
  // matched the directory; zr::kFailed on a read error, corrupt data or a
  // mismatch (`size` 0). Stays at kFailed or kHandleEof.
  [[nodiscard]] int Read(unsigned char* buffer, unsigned int& size);

  // Closes the entry; harmless when none is open.
  void Close();

  bool IsOpen() const { return file_ != nullptr; }

 private:
  // Delivers stored bytes unchanged (raw or method 0).
  ZipInflater::Step Copy(unsigned char* buffer, unsigned int& size);
  // True when the ended entry matches the directory.
  bool Verified() const;

  // The inflater's input: stored bytes read ahead into `input_`.
  const unsigned char* Data() override { return input_.get() + inputStart_; }
  unsigned int Size() const override { return inputSize_; }
  void Consume(unsigned int count) override;
  bool Fill() override;

  struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
  };

  std::unique_ptr<FILE, FileCloser> file_;
  bool raw_ = false;
  bool inflating_ = false;  // method 8, not raw: data goes through inflater_
  bool ended_ = false;
  bool failed_ = false;
  ZipInflater inflater_;
  std::unique_ptr<unsigned char[]> input_;
  unsigned int inputStart_ = 0;
  unsigned int inputSize_ = 0;
  uint64_t compressedLeft_ = 0;  // stored bytes not read from the file yet
  uint64_t delivered_ = 0;       // bytes copied (not inflating)
  uLong crc_ = 0;                // of the bytes copied (not inflating)
  ZipEntrySums expected_;        // as the directory states
};
