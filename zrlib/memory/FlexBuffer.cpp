#include "zrlib/memory/FlexBuffer.h"

#include <stdio_ext.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "zrlib/filesystem/FileSystem.h"
#include "zrlib/memory/SpillFile.h"
#include "zrlib/strings/Strings.h"

namespace ZRLib {
namespace memory {

namespace {

constexpr std::uint64_t kMaxHeld = std::numeric_limits<unsigned int>::max();

unsigned int memoryUnread(const CFlexBuffer& b) { return b.memoryFill - b.memoryReadPos; }

// True when the spill file holds bytes not yet delivered. Newer bytes must
// then go behind them, into the file, whatever room the other tiers have.
bool fileHoldsUnread(const CFlexBuffer& b) { return b.fileWritten > b.fileReadOffset; }

// Bytes the held total may still grow by before GetSize could not report it.
std::uint64_t roomLeft(const CFlexBuffer& b, off_t fileLength) {
  const off_t inFile = std::max<off_t>(fileLength - b.fileReadOffset, 0);
  const std::uint64_t held =
      std::uint64_t{b.readerCount} + memoryUnread(b) + static_cast<std::uint64_t>(inFile);
  return held >= kMaxHeld ? 0 : kMaxHeld - held;
}

// Reads up to size unread spill bytes into dest and returns the count read.
// The file is replaced by an empty one once every byte in it was delivered.
unsigned int readFromFile(CFlexBuffer& b, unsigned char* dest, unsigned int size) {
  if (::fseeko(b.spillStream, b.fileReadOffset, SEEK_SET) != 0) return 0;
  const std::size_t got = std::fread(dest, 1, size, b.spillStream);
  b.fileReadOffset += static_cast<off_t>(got);
  if (std::feof(b.spillStream) || b.GetFileBufferSize() == 0) {
    b.ClearFileBuffer();
  } else if (got < size) {
    std::clearerr(b.spillStream);  // an input error: the next read tries again
  }
  return static_cast<unsigned int>(got);
}

// Appends size bytes to the spill file, whose length is length, and returns
// how many reached the file. The stream is flushed at once: a write that the
// stream only buffered could still fail later, when nobody can tell the
// producer, and the stream then drops the bytes it held.
std::size_t appendToFile(CFlexBuffer& b, const unsigned char* data, std::size_t size, off_t length) {
  const std::size_t written = std::fwrite(data, 1, size, b.spillStream);
  if (std::fflush(b.spillStream) == 0 && written == size) return size;
  // Whatever the stream still holds must not reach the file later, behind
  // bytes written after this call.
  ::__fpurge(b.spillStream);
  std::clearerr(b.spillStream);
  struct stat st {};
  if (::fstat(::fileno(b.spillStream), &st) != 0 || st.st_size <= length) return 0;
  return std::min(size, static_cast<std::size_t>(st.st_size - length));
}

}  // namespace

CFlexBuffer::CFlexBuffer(const std::wstring& folder)
    : spillPath(filesystem::GetUniqueTempFilePath(folder.empty() ? filesystem::GetTempFolderPath() : folder)),
      spillPathNarrow(strings::toAstr(spillPath)) {
  spillStream = CreateSpillFile(spillPath, spillPathNarrow);
}

CFlexBuffer::~CFlexBuffer() {
  // Only a file this object created is deleted.
  if (spillStream != nullptr) {
    std::fclose(spillStream);
    std::remove(spillPathNarrow.c_str());
  }
}

unsigned int CFlexBuffer::Read(unsigned char* buffer, unsigned int size) {
  readerBuffer = buffer;
  readerCapacity = size;
  readerCount = 0;
  if (buffer == nullptr) return 0;

  if (memoryUnread(*this) > 0) {
    const unsigned int k = std::min(size, memoryUnread(*this));
    std::memcpy(buffer, memory + memoryReadPos, k);
    readerCount += k;
    memoryReadPos += k;
    if (memoryReadPos == memoryFill) memoryReadPos = memoryFill = 0;
  }
  if (GetFileBufferSize() == 0) return readerCount;

  if (readerCount < readerCapacity && spillStream != nullptr) {
    readerCount += readFromFile(*this, buffer + readerCount, readerCapacity - readerCount);
  }
  if (memoryFill != kMemorySize && spillStream != nullptr && fileHoldsUnread(*this)) {
    memoryFill += readFromFile(*this, memory + memoryFill, kMemorySize - memoryFill);
  }
  return readerCount;
}

unsigned int CFlexBuffer::Write(const unsigned char* data, unsigned int size) {
  // Cap what the reader's buffer and the memory tier take so that the held
  // total stays within 32 bits; the spill step measures the file itself.
  if (size == 0) return 0;
  const unsigned int allowed =
      static_cast<unsigned int>(std::min<std::uint64_t>(size, roomLeft(*this, fileWritten)));
  const bool olderInFile = fileHoldsUnread(*this);
  unsigned int n = 0;

  if (readerBuffer != nullptr && readerCount < readerCapacity && memoryUnread(*this) == 0 && !olderInFile) {
    n = std::min(allowed, readerCapacity - readerCount);
    std::memcpy(readerBuffer + readerCount, data, n);
    readerCount += n;
  }
  if (n == size) return n;

  if (memoryFill != kMemorySize && !olderInFile) {
    const unsigned int m = std::min(allowed - n, kMemorySize - memoryFill);
    std::memcpy(memory + memoryFill, data + n, m);
    memoryFill += m;
    n += m;
    if (n == size) return n;
  }

  if (spillStream != nullptr && ::fseeko(spillStream, 0, SEEK_END) == 0) {
    const off_t length = ::ftello(spillStream);
    if (length < 0) return n;
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(size - n, roomLeft(*this, length)));
    const std::size_t put = want == 0 ? 0 : appendToFile(*this, data + n, want, length);
    fileWritten = length + static_cast<off_t>(put);
    n += static_cast<unsigned int>(put);
  }
  return n;
}

bool CFlexBuffer::IsFull() { return readerCount == readerCapacity; }

bool CFlexBuffer::IsEmpty() {
  return readerCount == 0 && memoryFill == 0 && memoryReadPos == 0 && GetFileBufferSize() == 0;
}

unsigned int CFlexBuffer::GetSize() {
  const std::uint64_t held = std::uint64_t{readerCount} + memoryUnread(*this) + GetFileBufferSize();
  return static_cast<unsigned int>(std::min(held, kMaxHeld));
}

unsigned int CFlexBuffer::GetFileBufferSize() {
  if (spillStream == nullptr) return 0;
  const off_t saved = ::ftello(spillStream);
  if (saved < 0 || ::fseeko(spillStream, 0, SEEK_END) != 0) return 0;
  const off_t length = ::ftello(spillStream);
  ::fseeko(spillStream, saved, SEEK_SET);
  if (length <= fileReadOffset) return 0;
  return static_cast<unsigned int>(std::min(static_cast<std::uint64_t>(length - fileReadOffset), kMaxHeld));
}

void CFlexBuffer::ClearFileBuffer() {
  // Without an open stream the path holds no file of this object's.
  if (spillStream != nullptr) {
    std::fclose(spillStream);
    spillStream = nullptr;
    std::remove(spillPathNarrow.c_str());
  }
  spillStream = CreateSpillFile(spillPath, spillPathNarrow);
  fileReadOffset = 0;
  fileWritten = 0;
}

}  // namespace memory
}  // namespace ZRLib
