// Value types passed between the agent and its plug-ins and filters.
//
// Both sides compile these with the same inline code, so the layout below is
// part of the library boundary and is pinned by the static_asserts at the end.
// None of the types has virtual operations; all copy every field.

#pragma once

#include <cstddef>
#include <cstdint>
#include <locale>
#include <string>
#include <type_traits>

static_assert(sizeof(wchar_t) == 4, "wide strings must hold 32-bit characters");

// Level of a log line (ILog::Write).
namespace LogEvent {
enum ID : int32_t { Info = 0, Warning = 1, Error = 2, Debug = 3 };
}  // namespace LogEvent

// Open mode of a file (IBackupDataRead::OpenFile); numbered as the remote enum.
namespace FileAccessMode {
enum ID : int32_t { Read = 0, Write = 1 };
}  // namespace FileAccessMode

// The three times of an element; their unit and epoch are the plug-in's.
struct CFileTimes {
  // All three times 0.
  CFileTimes() = default;
  CFileTimes(int32_t creation, int32_t lastAccess, int32_t modification)
      : Creation(creation), LastAccess(lastAccess), Modification(modification) {}

  int32_t Creation = 0;
  int32_t LastAccess = 0;
  int32_t Modification = 0;
};

// Times, size and attribute bits of an element. Mask says which of the times
// and the size hold valid values; Type and CustomAttr have no mask bit.
struct CFileAttributes : public CFileTimes {
  // Type bits.
  static constexpr uint32_t kTypeDirectory = 16;
  static constexpr uint32_t kTypeNormal = 128;
  // Mask bits.
  static constexpr uint32_t kMaskCreation = 1;
  static constexpr uint32_t kMaskLastAccess = 2;
  static constexpr uint32_t kMaskModification = 4;
  static constexpr uint32_t kMaskSize = 8;

  // Every number 0, CustomAttr empty.
  CFileAttributes() = default;
  CFileAttributes(int32_t creation, int32_t lastAccess, int32_t modification, uint64_t size,
                  uint32_t attributes, uint32_t mask)
      : CFileTimes(creation, lastAccess, modification), Size(size), Type(attributes), Mask(mask) {}

  // Compares only the fields valid on both sides: Creation (bit 1), then
  // Modification (bit 4), then Size (bit 8). False when no such field exists.
  // LastAccess, Type and CustomAttr never take part.
  bool operator==(const CFileAttributes& other) const {
    bool equal = true;
    bool compared = false;
    if (Both(other, kMaskCreation)) {
      equal = Creation == other.Creation;
      compared = true;
    }
    if (Both(other, kMaskModification)) {
      compared = true;
      if (equal && Modification != other.Modification) equal = false;
    }
    if (Both(other, kMaskSize)) return equal && Size == other.Size;
    return compared && equal;
  }
  bool operator!=(const CFileAttributes& other) const { return !(*this == other); }

  // True when the directory bit is set.
  bool IsDirectory() const { return (Type & kTypeDirectory) != 0; }
  // True for everything that is not a directory, whatever else Type holds.
  bool IsFile() const { return !IsDirectory(); }

  uint64_t Size = 0;
  uint32_t Type = 0;
  uint32_t Mask = 0;
  std::wstring CustomAttr;

 private:
  bool Both(const CFileAttributes& other, uint32_t bit) const {
    return (Mask & bit) != 0 && (other.Mask & bit) != 0;
  }
};

// One entry of a listing: a single path component with its attributes.
struct CFileInfo {
  // Default attributes, empty Name and Info.
  CFileInfo() = default;
  // Copies the name and all of the attributes (CustomAttr included); Info empty.
  CFileInfo(const std::wstring& name, const CFileAttributes& attributes) : Attrs(attributes), Name(name) {}

  // Directories first, then names compared case-insensitively with the global
  // locale's wide tolower; a name that is a prefix of the other sorts first.
  bool operator<(const CFileInfo& other) const {
    const bool dir = Attrs.IsDirectory();
    if (dir != other.Attrs.IsDirectory()) return dir;
    const auto& ctype = std::use_facet<std::ctype<wchar_t>>(std::locale());
    const std::size_t common = Name.size() < other.Name.size() ? Name.size() : other.Name.size();
    for (std::size_t i = 0; i < common; ++i) {
      const int32_t a = static_cast<int32_t>(ctype.tolower(Name[i]));
      const int32_t b = static_cast<int32_t>(ctype.tolower(other.Name[i]));
      if (a != b) return a < b;
    }
    return Name.size() < other.Name.size();
  }
  // Same name (case-sensitive) and equal attributes; Info is not compared.
  bool operator==(const CFileInfo& other) const { return Name == other.Name && Attrs == other.Attrs; }
  bool operator!=(const CFileInfo& other) const { return !(*this == other); }

  CFileAttributes Attrs;
  std::wstring Name;
  std::wstring Info;
};

// Layout shared with every loaded library.
static_assert(sizeof(LogEvent::ID) == 4, "LogEvent::ID is 32-bit");
static_assert(sizeof(FileAccessMode::ID) == 4, "FileAccessMode::ID is 32-bit");
static_assert(std::is_standard_layout_v<CFileTimes>, "CFileTimes layout");
static_assert(sizeof(CFileTimes) == 12 && alignof(CFileTimes) == 4, "CFileTimes layout");
static_assert(offsetof(CFileTimes, Creation) == 0, "CFileTimes layout");
static_assert(offsetof(CFileTimes, LastAccess) == 4, "CFileTimes layout");
static_assert(offsetof(CFileTimes, Modification) == 8, "CFileTimes layout");
static_assert(std::is_same_v<decltype(CFileAttributes::Size), uint64_t>, "CFileAttributes layout");
static_assert(std::is_same_v<decltype(CFileAttributes::Type), uint32_t>, "CFileAttributes layout");
static_assert(std::is_same_v<decltype(CFileAttributes::Mask), uint32_t>, "CFileAttributes layout");
static_assert(std::is_same_v<decltype(CFileAttributes::CustomAttr), std::wstring>, "CFileAttributes layout");
static_assert(alignof(CFileAttributes) == 8, "CFileAttributes layout");
static_assert(sizeof(CFileAttributes) == 32 + sizeof(std::wstring), "CFileAttributes layout");
// CFileAttributes is not standard-layout (members in the base and the class);
// GCC and Clang still place them predictably, which is what is pinned here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(CFileAttributes, Size) == 16, "CFileAttributes layout");
static_assert(offsetof(CFileAttributes, Type) == 24, "CFileAttributes layout");
static_assert(offsetof(CFileAttributes, Mask) == 28, "CFileAttributes layout");
static_assert(offsetof(CFileAttributes, CustomAttr) == 32, "CFileAttributes layout");
static_assert(offsetof(CFileInfo, Attrs) == 0, "CFileInfo layout");
#pragma GCC diagnostic pop
