// What the agent keeps about one loaded plug-in library.

#pragma once

#include <cstdint>
#include <string>

namespace zr {

class CPluginEntry {
 public:
  CPluginEntry() = default;

  // The library the entry was read from (a dlopen handle, owned by the
  // extension loader); null for an entry that was never read.
  void* GetLibrary() const { return library_; }
  const std::wstring& GetName() const { return name_; }
  const std::wstring& GetVersion() const { return version_; }
  // Bit set: 1 and 2 are shown in listings.
  int32_t GetFileSystemType() const { return fileSystemType_; }
  bool IsSeekSupported() const { return seekSupported_; }
  bool IsMoveSupported() const { return moveSupported_; }
  // True when paths of the plug-in carry a connection after its name.
  bool IsConfigurable() const { return configurable_; }

 private:
  friend void ReadPluginInfo(CPluginEntry& entry, void* library);

  void* library_ = nullptr;
  std::wstring name_;
  std::wstring version_;
  int32_t fileSystemType_ = 0;
  bool seekSupported_ = false;
  bool moveSupported_ = false;
  bool configurable_ = false;
};

// Fills `entry` from the "GetPluginInfo" export of `library` (a dlopen
// handle, not taken over). Throws CWsException("Not a valid plug-in") when
// the export is missing or returns null; the info object is released with
// its Destroy in every other case.
void ReadPluginInfo(CPluginEntry& entry, void* library);

}  // namespace zr
