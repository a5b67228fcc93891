#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

#include "zrlib/ZRLibExport.h"

namespace ZRLib {
namespace memory {

static_assert(sizeof(off_t) >= 8, "spill offsets must be 64 bits wide");

// A first-in-first-out byte buffer that holds up to 4 GiB - 1 bytes.
// A producer appends with Write, a consumer takes bytes with Read. Bytes lie
// in three tiers, filled and drained in this order:
//   1. the reader's buffer: the destination handed to the last Read; bytes
//      written while it has room go straight into it;
//   2. the memory tier inside the object (kMemorySize bytes);
//   3. a spill file in a temporary folder, for whatever does not fit.
// Delivery order equals write order.
//
// No operation raises an error of its own: results are counts and flags.
// Takes no locks: calls on one object must not overlap. The reader's buffer
// must stay valid and writable from the Read that installed it until the next
// Read or the destruction of the object, since Write copies into it.
class ZRLIB_API CFlexBuffer {
 public:
  static constexpr unsigned int kMemorySize = 102400;

  // Creates an empty spill file (mode 0600) with a free name in folder, or in
  // "/tmp/" when folder is empty. When the file cannot be created the buffer
  // holds at most the reader's buffer plus the memory tier. Throws
  // std::bad_alloc when the path cannot be converted to the locale's
  // multibyte text.
  explicit CFlexBuffer(const std::wstring& folder);

  // Closes and deletes the spill file. The reader's buffer is not touched.
  ~CFlexBuffer();

  CFlexBuffer(const CFlexBuffer&) = delete;
  CFlexBuffer& operator=(const CFlexBuffer&) = delete;

  // Installs buffer (capacity size) as the reader's buffer, fills it with the
  // oldest held bytes and returns how many it placed. Later writes go on
  // filling it while it has room. The bytes in it stop counting as held at
  // the next Read. A null buffer detaches the reader's buffer and returns 0.
  [[nodiscard]] unsigned int Read(unsigned char* buffer, unsigned int size);

  // Appends size bytes and returns how many were accepted: fewer only when
  // the spill file is missing or its write fell short, or when the held total
  // would pass what GetSize can report (4 GiB - 1). Bytes for the spill file
  // count as accepted once they reached the file.
  [[nodiscard]] unsigned int Write(const unsigned char* data, unsigned int size);

  // True when the reader's buffer has no room left (also when none is set).
  bool IsFull();

  // True when no byte is held in any tier.
  bool IsEmpty();

  // Bytes held: in the reader's buffer, the memory tier and the spill file.
  unsigned int GetSize();

  // Unread bytes of the spill file; 0 when there is no spill file.
  unsigned int GetFileBufferSize();

  // Drops the spill file's content: replaces it by a new empty file (at the
  // same path unless that name was taken meanwhile). The memory tier and the
  // reader's buffer are untouched.
  void ClearFileBuffer();

  unsigned char* readerBuffer = nullptr;  // owned by the caller
  unsigned int readerCapacity = 0;
  unsigned int readerCount = 0;  // bytes placed since it was installed
  unsigned char memory[kMemorySize];
  unsigned int memoryFill = 0;       // bytes written since the tier was emptied
  unsigned int memoryReadPos = 0;    // bytes of the tier already delivered
  std::FILE* spillStream = nullptr;  // null when the file could not be opened
  std::wstring spillPath;
  std::string spillPathNarrow;  // spillPath as handed to the system
  off_t fileReadOffset = 0;     // bytes of the spill file already delivered
  off_t fileWritten = 0;        // bytes appended to the current spill file
};

}  // namespace memory
}  // namespace ZRLib
