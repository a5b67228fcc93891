// The connection folder of a configurable plug-in.
//
// A configurable plug-in's connections are settings files named
// "<connection>.zrl", kept by the Coordinator in a data-storage folder on some
// workstation. CLinkFS shows that folder as the plug-in's first level: every
// ".zrl" file is one entry of type folder. A connection is created through the
// Coordinator's link store and deleted by deleting its file on the storage
// workstation, which is reached as a CORBA client through a workstation
// session opened with the broker's Coordinator session.
//
// Results are 0 (success), 1 (failed) and 6 (not supported). No operation
// throws: every CORBA failure becomes 1, logged through the ILog when one is
// set. Thread: the owning broker's thread (the ORB thread); Connect and
// Disconnect are serialised by a lock of their own.

#pragma once

#include <mutex>
#include <string>

#include "idl/RemoteRefs.h"
#include "plugin-api/IBackupDataWrite.h"
#include "plugin-api/ILog.h"

namespace zr {

class CLinkFS : public IBackupDataWrite {
 public:
  // Neither `log` nor `session` is owned; both may be null (then nothing is
  // logged, and every remote operation answers 1). `session` is never released
  // here and must outlive the object.
  CLinkFS(ILog* log, Tessarine::Session_ptr session);
  // Closes the session on the storage workstation, if one is open.
  ~CLinkFS() override;

  // Points the folder at the plug-in `name`: drops the current connection, then
  // asks the Coordinator where "Plugins\<name>" keeps its files (an answer of
  // the form "<workstation>\<folder>"). When the lookup fails, the folder stays
  // empty, so every later remote operation answers 1, and the level 2 line
  // "Can't load connection settings files list" is logged.
  void SetPlugin(const std::wstring& name);

  // The storage workstation's name and the folder on it, as the last SetPlugin
  // found them; both empty when it found nothing.
  const std::wstring& WorkstationName() const { return workstationName_; }
  const std::wstring& Folder() const { return folder_; }

  // Accepted and ignored: 0, no argument touched (a handle stays as it was).
  [[nodiscard]] int OpenFile(const std::wstring& path, FileAccessMode::ID mode,
                             unsigned int& handle) override;
  [[nodiscard]] int ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override;
  [[nodiscard]] int CloseFile(const unsigned int& handle) override;
  [[nodiscard]] int WriteFile(const unsigned char* data, unsigned int& size,
                              const unsigned int& handle) override;
  [[nodiscard]] int SetElementAttributes(const std::wstring& path,
                                         const CFileAttributes& attributes) override;
  [[nodiscard]] int BeginTransaction() override;
  [[nodiscard]] int CommitTransaction() override;
  // Does nothing.
  void OnStop() override;
  // Not supported: 6.
  [[nodiscard]] int SeekFile(const unsigned int& handle, const unsigned long long& position) override;
  [[nodiscard]] int MoveFile(const std::wstring& from, const std::wstring& to) override;

  // Appends one folder entry (Type 16, name with its ".zrl") per connection
  // file of the folder `path` (empty: the connection folder itself) to
  // `entries`. 0 also when nothing was appended; 1 when the storage
  // workstation cannot be reached or refuses the listing (`entries` is then
  // untouched).
  [[nodiscard]] int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override;

  // The attributes of the connection file `path` (Type 16, CustomAttr not
  // set). An empty path or one holding "\" gives 0 and leaves `attributes`
  // untouched. 1 when the storage workstation cannot be reached or refuses.
  [[nodiscard]] int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) override;

  // Creates the connection `name` of the current plug-in by opening (and
  // closing again) the Coordinator link "Plugins\<plug-in>" / `name`. 1 with a
  // level 1 line for a name that cannot be a file name (empty, ".", "..", or
  // holding "/", "\" or a control character); 1 with the level 2 line "Fatal
  // error occurred while creating the folder" when the Coordinator raises.
  [[nodiscard]] int CreateFolder(const std::wstring& name) override;

  // Both delete the connection `name` ("<name>.zrl" unless it already ends in
  // ".zrl") on the storage workstation. 0 when the workstation deleted it;
  // otherwise 1. A name refused as by CreateFolder gives 1 and a level 1 line
  // before any remote call.
  [[nodiscard]] int DeleteFolder(const std::wstring& name) override;
  [[nodiscard]] int DeleteFile(const std::wstring& name) override;

 private:
  // Makes sure a session on the storage workstation is held (checked with
  // ping, rebuilt when that fails). False when there is none to be had.
  bool Connect();
  // Closes the workstation session, if any, and drops all three references.
  void Disconnect();
  // Disconnect after a failed remote call; never throws.
  void DropConnection();
  // The Coordinator's workstation called exactly `name` (caller owns), or nil.
  ZavediDedozozuriz::Workstation_ptr FindWorkstation(const std::wstring& name);
  // False, with a level 1 line, for a connection name no file may carry.
  bool CheckConnectionName(const std::wstring& name);
  int DeleteConnection(const std::wstring& name);
  // Runs `work` (calls on the storage workstation) and returns its result. A
  // CORBA exception gives kFailed, the line "<what>. <name>. <info>" and a
  // dropped connection; any other exception kFailed alone.
  template <class Work>
  int CallWorkstation(const wchar_t* what, Work&& work);
  void Log(LogEvent::ID level, const std::wstring& text);

  std::wstring folder_;
  std::wstring workstationName_;
  std::wstring pluginName_;
  Tessarine::Session_ptr coordinatorSession_;  // not owned
  // The three references of a connection; nil when there is none.
  OwnedRef<ZavediDedozozuriz::Session_ptr> session_;            // guarded by lock_
  ILog* log_;                                                   // not owned, may be null
  OwnedRef<ZavediDedozozuriz::Workstation_ptr> workstation_;    // guarded by lock_
  OwnedRef<ZavediDedozozuriz::IDLBackupDataWrite_ptr> writer_;  // guarded by lock_
  std::recursive_mutex lock_;
};

}  // namespace zr
