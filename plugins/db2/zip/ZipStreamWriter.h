// Forward-only Zip64 archive writer.
//
// CZipFilter writes an archive as a byte stream that never seeks back, so it
// can go into a pipe: every entry is raw deflate whose CRC and sizes follow
// the data in a Zip64 data descriptor and are repeated in the central
// directory. The bytes go to an IZipFilterOutputWriter.
//
// Use per archive: BeginTransaction; for each entry PrepareTransform, any
// number of DirectTransform, FinishTransform; then CommitTransaction.
// Results: zr::kSuccess, zr::kFailed for the writer's own failures, or the
// output writer's failure result passed up unchanged. Nothing is logged here.
// Not thread-safe: one thread at a time. With more than one deflate thread an
// entry is deflated in pieces on threads of the writer's own (see
// ParallelDeflater), started for each entry and joined when it ends or fails;
// the output writer is still called only from the caller's thread.

#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugins/db2/zip/ParallelDeflater.h"
#include "plugins/db2/zip/ZipRecords.h"

// Receives the bytes of an archive.
class IZipFilterOutputWriter {
 public:
  virtual ~IZipFilterOutputWriter() = default;

  // Takes up to `size` bytes of `data` and sets `size` to the count taken.
  // Returns zr::kSuccess, any other value on failure. Taking 0 bytes of a
  // non-empty offer without a failure counts as a failure of the writer
  // (zr::kFailed).
  virtual int Write(const unsigned char* data, unsigned int& size) = 0;
};

class CZipFilter {
 public:
  // Size of the output buffer.
  static constexpr unsigned int kBufferSize = 2 * 1024 * 1024;

  // `deflateThreads` 1 deflates each entry in one stream on the caller's
  // thread; more deflate it in pieces on that many threads, which gives
  // other compressed bytes (the same archive contents).
  explicit CZipFilter(unsigned deflateThreads = 1);
  ~CZipFilter();
  CZipFilter(const CZipFilter&) = delete;
  CZipFilter& operator=(const CZipFilter&) = delete;

  // Starts an archive written to `writer` (not owned; must outlive the
  // archive): the archive offset becomes 0 and the entry list is emptied.
  [[nodiscard]] int BeginTransaction(IZipFilterOutputWriter* writer);

  // Starts an entry named `name` ("\" becomes "/", stored as UTF-8) and sends
  // its local header. `forward` false returns kFailed and invalidates the
  // writer until the next successful start. Names longer than 65,535 bytes:
  // kFailed.
  [[nodiscard]] int PrepareTransform(const std::wstring& name, bool forward);

  // Compresses `size` bytes of the current entry. All input is taken on
  // success (`size` unchanged); on failure `size` is 0 and the entry is dead.
  [[nodiscard]] int DirectTransform(const unsigned char* data, unsigned int& size);

  // As DirectTransform for data whose CRC-32 (crc32(0, data, size)) the
  // caller computed already, for example on another thread while this one
  // deflates. The archive is the same as DirectTransform's.
  [[nodiscard]] int DirectTransformWithCrc(const unsigned char* data, unsigned int& size, uint32_t crc);

  // Ends the current entry: flushes deflate and sends the data descriptor.
  [[nodiscard]] int FinishTransform();

  // Sends the central directory and the three end records; empties the entry
  // list. Returns kFailed without writing when an entry of this archive failed, so
  // a broken archive never ends like a good one.
  [[nodiscard]] int CommitTransaction();

  // Copies, raw and in order, the entries of the archive file `path` whose
  // names this archive does not hold yet (names compared as DecodeEntryName
  // decodes them); each gets a local header with the old entry's values, its
  // name bytes (with "/" for "\") and its name flag at the current offset, and
  // a data descriptor after its data. kFailed when the file cannot be opened or
  // read, or on a writer failure.
  // REQUIRES: an entry was started with PrepareTransform(..., true) in this
  // archive, and no entry is open.
  [[nodiscard]] int CopyMissingFilesFromExistingArchive(const wchar_t* path);

  // Bytes handed to the writer since BeginTransaction.
  uint64_t ArchiveOffset() const { return offset_; }

 private:
  int CopyMissing(const wchar_t* path);
  // DirectTransform with the data's CRC-32 given (`knownCrc`) or computed here (null).
  int Compress(const unsigned char* data, unsigned int& size, const uint32_t* knownCrc);
  // The one-stream deflate of the entry: compresses and sends `size` bytes.
  int DeflateStream(const unsigned char* data, unsigned int size);
  // Ends the one-stream deflate of the entry, sending what is left.
  int FinishStream();
  // Hands the buffered output to the writer as compressed data.
  int FlushBuffer();
  // Sends compressed data of the current entry and counts it into its size.
  int SendCompressed(const unsigned char* data, std::size_t size);
  // Sends `data` to the writer and advances the offset.
  int Send(const unsigned char* data, std::size_t size);
  int Send(const std::vector<unsigned char>& bytes) { return Send(bytes.data(), bytes.size()); }
  // Ends deflate when it is running (joins the deflate threads).
  void EndDeflate();
  // Records a failure of the current archive and passes `result` through.
  int Fail(int result);

  const unsigned threads_;
  bool valid_ = false;
  z_stream stream_{};
  std::unique_ptr<ParallelDeflater> parallel_;  // the entry's, with more than one thread
  ParallelDeflater::Sink sink_;                 // SendCompressed
  bool deflating_ = false;
  std::vector<ZipFileHeader> entries_;
  uint64_t offset_ = 0;
  std::unique_ptr<unsigned char[]> buffer_;
  unsigned int buffered_ = 0;
  IZipFilterOutputWriter* writer_ = nullptr;
  bool failed_ = false;
};
