#include "plugins/db2/zip/ZipStreamWriter.h"

#include <exception>
#include <set>

#include "plugin-api/ResultCodes.h"
#include "plugins/db2/zip/Crc32.h"
#include "plugins/db2/zip/ZipEntryReader.h"
#include "zrlib/strings/Strings.h"

namespace {

// The name of an entry for comparing entries: decoded as every reader decodes
// it, with "/" separators.
std::wstring ComparableName(const std::string& raw, unsigned long flags) {
  return ZRLib::strings::Replace(DecodeEntryName(raw, flags), L"\\", L"/");
}

}  // namespace

CZipFilter::CZipFilter(unsigned deflateThreads)
    : threads_(deflateThreads),
      sink_([this](const unsigned char* data, unsigned int size) { return SendCompressed(data, size); }),
      buffer_(new unsigned char[kBufferSize]) {}

CZipFilter::~CZipFilter() { EndDeflate(); }

int CZipFilter::BeginTransaction(IZipFilterOutputWriter* writer) {
  EndDeflate();
  offset_ = 0;
  writer_ = writer;
  entries_.clear();
  buffered_ = 0;
  failed_ = false;
  // A transaction without entries commits a valid empty archive.
  valid_ = writer != nullptr;
  return writer == nullptr ? zr::kFailed : zr::kSuccess;
}

int CZipFilter::PrepareTransform(const std::wstring& name, bool forward) {
  valid_ = forward;
  buffered_ = 0;
  if (!forward) return zr::kFailed;
  if (deflating_) {
    // The previous entry was never finished: its data cannot be completed.
    EndDeflate();
    failed_ = true;
  }

  std::string utf8;
  try {
    utf8 = ZRLib::strings::Replace(ZRLib::strings::WstrToUTF8(name), "\\", "/");
  } catch (const std::exception&) {
    return zr::kFailed;
  }
  if (utf8.size() > zip::kMaxNameLength) return zr::kFailed;

  if (threads_ > 1) {
    try {
      parallel_ = std::make_unique<ParallelDeflater>(threads_, Z_DEFAULT_COMPRESSION);
    } catch (const std::exception&) {
      return zr::kFailed;
    }
  } else {
    stream_ = z_stream{};
    if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
      return zr::kFailed;
    }
  }
  deflating_ = true;

  ZipFileHeader header;
  header.versionMadeBy = zip::kZip64Version;
  header.versionNeeded = zip::kZip64Version;
  header.flags = zip::kFlagDataDescriptor | zip::kFlagUtf8Name;
  header.method = zip::kMethodDeflate;
  header.name = std::move(utf8);
  header.localHeaderOffset = offset_;
  const int result = Send(header.GetLocalFileHeader());
  if (result != zr::kSuccess) {
    EndDeflate();
    return Fail(result);
  }
  entries_.push_back(std::move(header));
  return zr::kSuccess;
}

int CZipFilter::DirectTransform(const unsigned char* data, unsigned int& size) {
  return Compress(data, size, nullptr);
}

int CZipFilter::DirectTransformWithCrc(const unsigned char* data, unsigned int& size, uint32_t crc) {
  return Compress(data, size, &crc);
}

int CZipFilter::Compress(const unsigned char* data, unsigned int& size, const uint32_t* knownCrc) {
  if (!valid_) {
    size = 0;
    return zr::kFailed;
  }
  if (size == 0) return zr::kSuccess;
  if (!deflating_ || data == nullptr) {
    size = 0;
    return zr::kFailed;
  }
  ZipFileHeader& entry = entries_.back();
  entry.uncompressedSize += size;
  entry.crc = static_cast<uint32_t>(knownCrc != nullptr ? crc32_combine(entry.crc, *knownCrc, size)
                                                        : zip::Crc32(entry.crc, data, size));

  const int result = parallel_ ? parallel_->Add(data, size, sink_) : DeflateStream(data, size);
  if (result != zr::kSuccess) {
    EndDeflate();
    size = 0;
    return Fail(result);
  }
  return zr::kSuccess;
}

int CZipFilter::DeflateStream(const unsigned char* data, unsigned int size) {
  stream_.next_in = const_cast<Bytef*>(data);
  stream_.avail_in = size;
  while (stream_.avail_in > 0) {
    stream_.next_out = buffer_.get() + buffered_;
    stream_.avail_out = kBufferSize - buffered_;
    const int z = deflate(&stream_, Z_NO_FLUSH);
    buffered_ = kBufferSize - stream_.avail_out;
    if (z != Z_OK && z != Z_BUF_ERROR) return zr::kFailed;
    const int result = FlushBuffer();
    if (result != zr::kSuccess) return result;
  }
  return zr::kSuccess;
}

int CZipFilter::FinishTransform() {
  if (!valid_ || !deflating_) return zr::kFailed;
  const int finished = parallel_ ? parallel_->Finish(sink_) : FinishStream();
  EndDeflate();
  if (finished != zr::kSuccess) return Fail(finished);
  const int result = Send(entries_.back().GetLocalDataDescriptor(true));
  return result == zr::kSuccess ? zr::kSuccess : Fail(result);
}

int CZipFilter::FinishStream() {
  stream_.next_in = nullptr;
  stream_.avail_in = 0;
  for (;;) {
    stream_.next_out = buffer_.get() + buffered_;
    stream_.avail_out = kBufferSize - buffered_;
    const int z = deflate(&stream_, Z_FINISH);
    buffered_ = kBufferSize - stream_.avail_out;
    if (z != Z_OK && z != Z_STREAM_END && z != Z_BUF_ERROR) return zr::kFailed;
    const int result = FlushBuffer();
    if (result != zr::kSuccess) return result;
    if (z == Z_STREAM_END) return zr::kSuccess;
  }
}

int CZipFilter::CommitTransaction() {
  if (!valid_) return zr::kFailed;
  if (deflating_) {
    // An entry was never finished.
    EndDeflate();
    failed_ = true;
  }
  if (failed_ || writer_ == nullptr) return zr::kFailed;

  const uint64_t start = offset_;
  for (ZipFileHeader& entry : entries_) {
    const int result = Send(entry.GetCentralFileHeader());
    if (result != zr::kSuccess) return Fail(result);
  }
  EndOfCentralDirectory end;
  end.entries = entries_.size();
  end.centralDirectorySize = offset_ - start;
  end.centralDirectoryOffset = start;
  end.zip64EndOffset = offset_;
  int result = Send(end.GetZip64EndOfCentralDirectory());
  if (result == zr::kSuccess) result = Send(end.GetZip64EndOfCentralDirectoryLocator());
  if (result == zr::kSuccess) result = Send(end.GetEndOfCentralDirectory());
  if (result != zr::kSuccess) return Fail(result);
  entries_.clear();
  return zr::kSuccess;
}

int CZipFilter::CopyMissingFilesFromExistingArchive(const wchar_t* path) {
  try {
    return CopyMissing(path);
  } catch (const std::exception&) {
    return Fail(zr::kFailed);
  }
}

int CZipFilter::CopyMissing(const wchar_t* path) {
  if (!valid_ || deflating_ || writer_ == nullptr || path == nullptr) return Fail(zr::kFailed);
  const std::string narrowPath = ZRLib::strings::toAstr(path);
  std::vector<ZipDirectoryEntry> existing;
  if (ReadZipDirectory(narrowPath, existing) != zr::kSuccess) return Fail(zr::kFailed);

  std::set<std::wstring> names;
  for (const ZipFileHeader& entry : entries_) names.insert(ComparableName(entry.name, entry.flags));

  ZipEntryReader reader;
  for (const ZipDirectoryEntry& old : existing) {
    const unz_file_info64& info = old.info;
    if (!names.insert(ComparableName(old.rawName, info.flag)).second) continue;
    // The bytes that were read go back with the flag that was read, so every
    // reader decodes the name as before.
    std::string name = ZRLib::strings::Replace(old.rawName, "\\", "/");
    if (name.size() > zip::kMaxNameLength) return Fail(zr::kFailed);

    ZipFileHeader header;
    header.versionMadeBy = zip::kZip64Version;
    header.versionNeeded = zip::kZip64Version;
    header.flags = static_cast<uint16_t>(info.flag | zip::kFlagDataDescriptor);
    header.method = static_cast<uint16_t>(info.compression_method);
    header.modificationTime = static_cast<uint16_t>(info.dosDate & 0xFFFF);
    header.modificationDate = static_cast<uint16_t>((info.dosDate >> 16) & 0xFFFF);
    header.crc = static_cast<uint32_t>(info.crc);
    header.compressedSize = info.compressed_size;
    header.uncompressedSize = info.uncompressed_size;
    header.name = std::move(name);
    header.localHeaderOffset = offset_;
    if (reader.Open(narrowPath, old, true) != zr::kSuccess) return Fail(zr::kFailed);
    int result = Send(header.GetLocalFileHeader());
    if (result != zr::kSuccess) return Fail(result);
    entries_.push_back(header);

    // The stored bytes go over unchanged; the reader checks their count.
    for (;;) {
      unsigned int size = kBufferSize;
      const int read = reader.Read(buffer_.get(), size);
      if (read == zr::kHandleEof) break;
      if (read != zr::kSuccess) return Fail(zr::kFailed);
      result = Send(buffer_.get(), size);
      if (result != zr::kSuccess) return Fail(result);
    }
    reader.Close();
    result = Send(header.GetLocalDataDescriptor(true));
    if (result != zr::kSuccess) return Fail(result);
  }
  return zr::kSuccess;
}

int CZipFilter::FlushBuffer() {
  const int result = SendCompressed(buffer_.get(), buffered_);
  buffered_ = 0;
  return result;
}

int CZipFilter::SendCompressed(const unsigned char* data, std::size_t size) {
  const uint64_t start = offset_;
  const int result = Send(data, size);
  entries_.back().compressedSize += offset_ - start;
  return result;
}

int CZipFilter::Send(const unsigned char* data, std::size_t size) {
  std::size_t start = 0;
  while (start < size) {
    const std::size_t left = size - start;
    const unsigned int offered = left > kBufferSize ? kBufferSize : static_cast<unsigned int>(left);
    unsigned int taken = offered;
    int result = writer_ == nullptr ? zr::kFailed : writer_->Write(data + start, taken);
    if (result == zr::kSuccess && (taken == 0 || taken > offered)) result = zr::kFailed;
    if (result != zr::kSuccess) return result;
    start += taken;
    offset_ += taken;
  }
  return zr::kSuccess;
}

void CZipFilter::EndDeflate() {
  if (!deflating_) return;
  if (parallel_) {
    parallel_.reset();
  } else {
    deflateEnd(&stream_);
  }
  deflating_ = false;
}

int CZipFilter::Fail(int result) {
  failed_ = true;
  return result;
}
