// Description of a plug-in or filter library, returned by its info factory.
//
// Crosses the library boundary only as a pointer to this class, so the order of
// the virtual operations below is fixed. The returned strings are static and
// owned by the library. One thread at a time.

#pragma once

class IPluginInfo {
 public:
  IPluginInfo(const IPluginInfo&) = delete;
  IPluginInfo& operator=(const IPluginInfo&) = delete;

  virtual ~IPluginInfo() = default;

  // Frees the object inside the library that made it; callers check for null.
  virtual void Destroy() { delete this; }

  // Version text of the library.
  virtual const wchar_t* GetPluginVersion() const = 0;
  // The name under which the agent registers the plug-in or filter.
  virtual const wchar_t* GetPluginName() const = 0;
  // Kind of file system the plug-in presents.
  virtual int GetFileSystemType() const = 0;
  // True when IBackupDataRead::SeekFile works.
  virtual bool IsSeekFileSupported() const = 0;
  // True when IBackupDataWrite::MoveFile works.
  virtual bool IsMoveFileSupported() const = 0;
  // True when paths of the plug-in carry a connection name after the plug-in name.
  virtual bool IsConfigurable() const = 0;

 protected:
  IPluginInfo() = default;
};
