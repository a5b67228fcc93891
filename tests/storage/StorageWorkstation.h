#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ZavediDedozozuriz.hh"
#include "tests/coordinator/RecordedCall.h"

namespace zrtest {

class StorageWorkstationServant;
class StorageSessionServant;
class FolderWriterServant;

// A workstation that stores files in a local folder, as far as a client of
// Workstation (name, ping, OpenSession, CloseSession), Session
// (GetWriteInterface) and IDLBackupDataWrite (GetListing,
// GetElementAttributes, DeleteFile) needs it; every other operation raises
// CORBA::NO_IMPLEMENT. Remote paths use "\" and are taken below `root`.
// Servants live in a child POA of the RootPOA (single thread, implicit
// activation). Every member function is thread-safe.
class StorageWorkstation {
 public:
  // What OpenSession does.
  enum class OpenMode {
    kNormal,        // a new session whose write interface serves the folder
    kAccessDenied,  // raises Workstation::AccessDenied
    kSessionLimit,  // raises Workstation::SessionLimit
    kNilSession,    // returns a nil session
    kNilWriter,     // a session whose GetWriteInterface returns nil
  };
  // Called with the operation's name after it was recorded; may throw a CORBA
  // exception, which the operation then raises.
  using UpcallObserver = std::function<void(const std::string& operation)>;

  // Times every listed element and attribute answer carries (64-bit, so a
  // client's truncation shows).
  static constexpr std::uint64_t kCreation = 0x100000005ull;
  static constexpr std::uint64_t kLastAccess = 0x200000006ull;
  static constexpr std::uint64_t kModification = 0x300000007ull;

  // `orb` must outlive this object; its RootPOA manager is activated.
  StorageWorkstation(CORBA::ORB_ptr orb, const std::wstring& name, const std::filesystem::path& root);
  // Destroys the POA (waiting for running upcalls) and the servants.
  ~StorageWorkstation();
  StorageWorkstation(const StorageWorkstation&) = delete;
  StorageWorkstation& operator=(const StorageWorkstation&) = delete;

  // New reference; the caller releases it.
  ZavediDedozozuriz::Workstation_ptr Workstation() const;

  // Deactivates the workstation object: later calls on it raise OBJECT_NOT_EXIST.
  void Kill();

  void SetOpenMode(OpenMode mode);
  void SetUpcallObserver(UpcallObserver observer);
  // The result `operation` ("GetListing", "GetElementAttributes", "DeleteFile")
  // gives instead of doing its work.
  void SetResult(const std::string& operation, ZavediDedozozuriz::IDLErrorID result);

  std::vector<RecordedCall> Calls() const;
  std::vector<RecordedCall> Calls(const std::string& operation) const;
  // Sessions opened and not closed.
  int OpenSessions() const;

  // --- Used by the servants ------------------------------------------------
  void Upcall(RecordedCall call);
  OpenMode Mode() const;
  bool Result(const std::string& operation, ZavediDedozozuriz::IDLErrorID& result) const;
  void SessionOpened();
  void SessionClosed();
  const std::filesystem::path& Root() const { return root_; }
  const std::wstring& Name() const { return name_; }
  PortableServer::POA_ptr Poa() const { return poa_.in(); }
  ZavediDedozozuriz::IDLBackupDataWrite_ptr Writer() const;

 private:
  const std::wstring name_;
  const std::filesystem::path root_;
  PortableServer::POA_var poa_;
  StorageWorkstationServant* workstation_ = nullptr;
  FolderWriterServant* writer_ = nullptr;

  mutable std::mutex mutex_;  // guards everything below
  OpenMode mode_ = OpenMode::kNormal;
  UpcallObserver observer_;
  std::map<std::string, ZavediDedozozuriz::IDLErrorID> results_;
  std::vector<RecordedCall> calls_;
  int openSessions_ = 0;
};

}  // namespace zrtest
