// Forward-only reader of a zip stream (from a pipe).
//
// CZipStreamReader finds each local file header by its signature and inflates
// the entry's raw-deflate data up to the end of the deflate stream; it never
// needs the central directory and never seeks. Bytes before the first
// signature are skipped. Only deflated, unencrypted entries are accepted, and
// every entry is verified: at its end the CRC-32 and both sizes must match
// its data descriptor (flag bit 3) or its local header (Zip64 extra block
// when present); otherwise ReadFile fails (the CRC-32 may be left to the
// caller: LeaveCrcToCaller). Without a descriptor the header's
// sizes are binding: ReadFile fails as soon as the data passes either of
// them, never delivering more than stated. Nothing is logged here.
//
// Use: OpenZip; then per entry OpenCurrentFile, ReadFile until kHandleEof,
// CloseFile; then CloseZip. An input failure or a zlib error ends inflate,
// after which the reader must be opened again. Not thread-safe: one thread at a time.

#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "plugins/db2/zip/ZipInflater.h"
#include "plugins/db2/zip/ZipRecords.h"

// Delivers the bytes of an archive.
class IZipFilterInputReader {
 public:
  virtual ~IZipFilterInputReader() = default;

  // Delivers up to `size` bytes into `buffer` and sets `size` to the count.
  // Returns zr::kSuccess when data was delivered, zr::kHandleEof at the end of
  // the stream (`size` 0), any other value on failure.
  virtual int Read(unsigned char* buffer, unsigned int& size) = 0;
};

class CZipStreamReader : private IZipInflateInput {
 public:
  // Size of the input buffer; no Read asks for more.
  static constexpr unsigned int kBufferSize = 2 * 1024 * 1024;

  CZipStreamReader();
  ~CZipStreamReader() override;
  CZipStreamReader(const CZipStreamReader&) = delete;
  CZipStreamReader& operator=(const CZipStreamReader&) = delete;

  // Binds `input` (not owned; must outlive the open reader) and starts
  // inflate. zr::kFailed for a null input or when inflate cannot start.
  [[nodiscard]] int OpenZip(IZipFilterInputReader* input);

  // Finds and loads the next local header and points `header` at the
  // reader's own copy (valid until the next OpenCurrentFile or CloseZip).
  // zr::kSuccess; zr::kFailed on failure, at the end of the stream, and for
  // an entry that is encrypted or not deflated.
  [[nodiscard]] int OpenCurrentFile(ZipFileHeader*& header);

  // Delivers up to `size` inflated bytes of the current entry. zr::kSuccess
  // with data (`size` = count; the entry may have ended with it, then
  // verified); zr::kHandleEof with `size` 0 once the entry has ended;
  // zr::kFailed on failure (input failure, corrupt data, input ending inside
  // the entry, CRC or size mismatch).
  [[nodiscard]] int ReadFile(unsigned char* buffer, unsigned int& size);

  // Marks the current entry as ended; returns zr::kSuccess.
  int CloseFile();

  // With `byCaller`, entries opened from now on leave their CRC-32 to the
  // caller, which may take it on another thread: at an entry's end ReadFile
  // verifies only the sizes, and the entry is verified once VerifyCrc is
  // given the CRC-32 of every byte ReadFile delivered. The caller must not
  // trust the data before that.
  void LeaveCrcToCaller(bool byCaller) { crcByCaller_ = byCaller; }

  // For an entry whose CRC is left to the caller and which ReadFile ended:
  // zr::kSuccess when `crc` is the CRC-32 its records state; zr::kFailed
  // otherwise, and the reader is then closed for reading as on any failure.
  [[nodiscard]] int VerifyCrc(uint32_t crc);

  // Ends inflate and drops the input when one is bound; returns zr::kSuccess.
  int CloseZip();

 private:
  // Skips to the next local header signature and loads the header after it:
  // kSuccess; kFailed on an input failure; kHandleEof when the input ends
  // first.
  int LoadNextHeader();
  // Reads more input after the buffered bytes; returns the input's result.
  int ReadInput();
  // ReadInput, noting the input's end; false on an input failure.
  bool ReadMore();
  // Verifies the ended entry against its descriptor or header: kSuccess or
  // kFailed.
  int VerifyEntry();
  // Ends inflate (the reader is then closed for reading); returns kFailed.
  int Fail();

  // The inflater's input: the buffered bytes.
  const unsigned char* Data() override { return buffer_.get() + start_; }
  unsigned int Size() const override { return buffered_; }
  void Consume(unsigned int count) override;
  bool Fill() override;

  IZipFilterInputReader* input_ = nullptr;
  bool open_ = false;
  ZipInflater inflater_;
  ZipFileHeader header_;
  std::unique_ptr<unsigned char[]> buffer_;
  unsigned int start_ = 0;     // offset of the first buffered byte
  unsigned int buffered_ = 0;  // count of buffered bytes from start_
  bool headerLoaded_ = false;
  bool entryEnded_ = false;
  bool streamEnded_ = false;
  bool crcByCaller_ = false;
  // An ended entry whose CRC the caller is to give: what its records may
  // state, each with the count of record bytes to drop when it matches.
  struct StatedCrc {
    uint32_t crc;
    unsigned int length;
  };
  std::vector<StatedCrc> statedCrcs_;
};
