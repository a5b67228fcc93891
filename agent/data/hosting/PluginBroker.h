// All loaded plug-ins seen as one file system whose first path level is the
// plug-in names. Each call joins the root with the given path, lets the
// plug-in loader find or make the object for it and forwards the call with
// the rest of the path. Paths use "\" as separator.
//
// I is IBackupDataRead (the read broker: changing operations are refused)
// or IBackupDataWrite. Results are the remote result codes.
// REQUIRES: one thread at a time (the ORB thread, or a worker it waits for).

#pragma once

#include <list>
#include <memory>
#include <string>

#include "agent/data/hosting/ExtensionLoader.h"
#include "agent/data/hosting/PluginLoader.h"
#include "idl/RemoteRefs.h"
#include "plugin-api/PluginApi.h"

namespace zr {

class CPluginLink;
class CLinkFS;

template <class I>
class CPluginBroker {
 public:
  // `session` (the Coordinator session), `log` and `loader` are not owned
  // and must outlive the broker. Makes the broker's link and connection
  // folder; either stays null when it cannot be made.
  CPluginBroker(Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader);
  // Closes what is open on the current plug-in object and releases it, then
  // the link and the connection folder.
  virtual ~CPluginBroker();

  CPluginBroker(const CPluginBroker&) = delete;
  CPluginBroker& operator=(const CPluginBroker&) = delete;

  // Write broker: sets the attributes of `path` (0 for the root itself).
  // Read broker: refused with 6.
  [[nodiscard]] virtual int SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes);
  // The attributes of `path`. The root, a plug-in and a connection are
  // folders (type 16, no valid fields); 3 for an unknown plug-in name.
  [[nodiscard]] virtual int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes);
  // Appends the entries of `path`, sorted (folders first, names ignoring
  // case), also after a failure; a failure leaves the list empty. The root
  // lists the plug-ins, a configurable plug-in its connections.
  [[nodiscard]] virtual int GetListing(const std::wstring& path, std::list<CFileInfo>& entries);
  // Tells the current plug-in object, if any, to stop its operation.
  virtual void OnStop();
  // Write broker: a path plug-in "\" connection of a configurable plug-in
  // creates or deletes that connection; other paths go to the plug-in. An
  // empty path on DeleteFolder and DeleteFile is refused with 1 and a level 1
  // line, touching nothing. Read broker: refused with 6.
  [[nodiscard]] virtual int CreateFolder(const std::wstring& path);
  [[nodiscard]] virtual int DeleteFolder(const std::wstring& path);
  [[nodiscard]] virtual int DeleteFile(const std::wstring& path);
  // The root joined in front of every later path (one leading "\" or "/"
  // dropped). Always 0.
  [[nodiscard]] virtual int SetRootPath(const std::wstring& path);
  // Write broker: transactions of the root's plug-in object. Begin refuses
  // (1) while another plug-in object has work in progress; Commit never
  // makes or releases an object and fails (1) when the object that began the
  // transaction was released before. Read broker: refused with 6.
  [[nodiscard]] virtual int BeginTransaction();
  [[nodiscard]] virtual int CommitTransaction();
  // Opens `path` (3 for an empty path; 1 for a configurable plug-in named
  // without a connection, which holds no files) and records the handle as
  // open on the current object.
  [[nodiscard]] virtual int OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle);
  // Handle operations on the current object; 1 for a handle not open on it.
  [[nodiscard]] virtual int ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle);
  // Read broker: refused with 6.
  [[nodiscard]] virtual int WriteFile(const unsigned char* data, unsigned int& size,
                                      const unsigned int& handle);
  [[nodiscard]] virtual int CloseFile(const unsigned int& handle);
  [[nodiscard]] virtual int SeekFile(const unsigned int& handle, const unsigned long long& position);
  // Write broker: renames inside one plug-in and connection; 6 when `to`
  // names another one. Read broker: refused with 6.
  [[nodiscard]] virtual int MoveFile(const std::wstring& from, const std::wstring& to);

  const std::wstring& GetRootPath() const { return root_; }

 protected:
  static constexpr bool kWrite = std::is_same_v<I, IBackupDataWrite>;

  // The root alone for an empty path, the path alone for an empty root,
  // else root "\" path.
  std::wstring Join(const std::wstring& path) const;
  void Log(LogEvent::ID level, const wchar_t* text) const;
  // The read broker's refusal of a changing operation: a level 1 line
  // naming `what`, and 6.
  int Refuse(const wchar_t* what) const;
  // The write broker's refusal of a deletion of an empty path: a level 1 line, and 1.
  int RefuseEmptyPath(const wchar_t* what) const;
  ILog* GetLog() const { return log_; }
  CPluginLoader<I>& GetLoader() { return loader_; }

 private:
  int RootListing(std::list<CFileInfo>& entries);
  int ListBelowRoot(const std::wstring& path, std::list<CFileInfo>& entries);
  // The plug-in entry when `joined` is exactly plug-in "\" connection of a
  // configurable plug-in, else null; `connection` receives the connection.
  const CPluginEntry* ConnectionPath(const std::wstring& joined, std::wstring& connection);
  // Create/delete of a folder or file: the connection case or the plug-in
  // (write broker); `refusal` names the operation for the read broker,
  // `fatal` is the line for a CORBA exception.
  int ChangeFolder(const std::wstring& path, int (IBackupDataWrite::*operation)(const std::wstring&),
                   const wchar_t* refusal, const wchar_t* fatal);

  CPluginLoader<I> loader_;
  Tessarine::Session_ptr session_;
  std::unique_ptr<CPluginLink> link_;
  std::unique_ptr<CLinkFS> connectionFolder_;
  ILog* log_;
  CExtensionLoader* extensions_;
  std::wstring root_;
};

extern template class CPluginBroker<IBackupDataRead>;
extern template class CPluginBroker<IBackupDataWrite>;

}  // namespace zr
