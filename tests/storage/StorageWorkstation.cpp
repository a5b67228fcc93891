#include "tests/storage/StorageWorkstation.h"

#include "Tessarine.hh"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <utility>

#include "idl/SingleThreadPoa.h"

namespace zrtest {

namespace {

std::wstring Text(const CORBA::WChar* text) { return text ? std::wstring(text) : std::wstring(); }

std::string NextPoaName() {
  static std::atomic<int> counter{0};
  return "StorageWorkstation" + std::to_string(++counter);
}

[[noreturn]] void NotImplemented(StorageWorkstation& state, const char* operation) {
  state.Upcall({operation, {}});
  throw CORBA::NO_IMPLEMENT(0, CORBA::COMPLETED_NO);
}

// A remote path ("a\b") below the root; false for one that would leave it.
bool LocalPath(const StorageWorkstation& state, const std::wstring& remote, std::filesystem::path& local) {
  local = state.Root();
  std::wstring part;
  for (size_t i = 0; i <= remote.size(); ++i) {
    if (i == remote.size() || remote[i] == L'\\') {
      if (part == L"..") return false;
      if (!part.empty() && part != L".") local /= part;
      part.clear();
    } else {
      part += remote[i];
    }
  }
  return true;
}

ZavediDedozozuriz::Attributes AttributesOf(const std::filesystem::directory_entry& entry) {
  ZavediDedozozuriz::Attributes attributes;
  attributes.Creation = StorageWorkstation::kCreation;
  attributes.LastAccess = StorageWorkstation::kLastAccess;
  attributes.Modification = StorageWorkstation::kModification;
  std::error_code error;
  const bool folder = entry.is_directory(error);
  attributes.Size = folder ? 0 : static_cast<CORBA::LongLong>(entry.file_size(error));
  attributes.Type = folder ? 16 : 128;
  attributes.Mask = 1 | 2 | 4 | 8;
  attributes.CustomAttr = CORBA::wstring_dup(L"custom");
  return attributes;
}

}  // namespace

// --- Write interface over the folder ----------------------------------------

class FolderWriterServant final : public POA_ZavediDedozozuriz::IDLBackupDataWrite {
 public:
  // Not inlined: GCC with ASan misjudges the skeleton's virtual base when it is
  // (a false -Warray-bounds in the generated constructor).
  [[gnu::noinline]] explicit FolderWriterServant(StorageWorkstation& state) : state_(state) {}

  PortableServer::POA_ptr _default_POA() override { return PortableServer::POA::_duplicate(state_.Poa()); }

  ZavediDedozozuriz::IDLErrorID GetListing(const CORBA::WChar* path,
                                           ZavediDedozozuriz::List_out entries) override {
    state_.Upcall({"GetListing", {Text(path)}});
    entries = new ZavediDedozozuriz::List;
    ZavediDedozozuriz::IDLErrorID result;
    if (state_.Result("GetListing", result)) return result;
    std::filesystem::path local;
    std::error_code error;
    if (!LocalPath(state_, Text(path), local) || !std::filesystem::is_directory(local, error)) {
      return ZavediDedozozuriz::PATH_NOT_FOUND;
    }
    std::vector<std::filesystem::directory_entry> found;
    for (const auto& entry : std::filesystem::directory_iterator(local, error)) found.push_back(entry);
    std::sort(found.begin(), found.end());
    entries->length(static_cast<CORBA::ULong>(found.size()));
    for (CORBA::ULong i = 0; i < found.size(); ++i) {
      const std::wstring name = found[i].path().filename().wstring();
      (*entries)[i].Attrs = AttributesOf(found[i]);
      (*entries)[i].Name = CORBA::wstring_dup(name.c_str());
      (*entries)[i].Info = CORBA::wstring_dup((L"info " + name).c_str());
    }
    return ZavediDedozozuriz::SUCCESS;
  }

  ZavediDedozozuriz::IDLErrorID GetElementAttributes(const CORBA::WChar* path,
                                                     ZavediDedozozuriz::Attributes& attributes) override {
    state_.Upcall({"GetElementAttributes", {Text(path)}});
    ZavediDedozozuriz::IDLErrorID result;
    if (state_.Result("GetElementAttributes", result)) return result;
    std::filesystem::path local;
    std::error_code error;
    if (!LocalPath(state_, Text(path), local) || !std::filesystem::exists(local, error)) {
      return ZavediDedozozuriz::PATH_NOT_FOUND;
    }
    attributes = AttributesOf(std::filesystem::directory_entry(local, error));
    return ZavediDedozozuriz::SUCCESS;
  }

  ZavediDedozozuriz::IDLErrorID DeleteFile(const CORBA::WChar* path) override {
    state_.Upcall({"DeleteFile", {Text(path)}});
    ZavediDedozozuriz::IDLErrorID result;
    if (state_.Result("DeleteFile", result)) return result;
    std::filesystem::path local;
    std::error_code error;
    if (!LocalPath(state_, Text(path), local) || !std::filesystem::is_regular_file(local, error)) {
      return ZavediDedozozuriz::PATH_NOT_FOUND;
    }
    return std::filesystem::remove(local, error) ? ZavediDedozozuriz::SUCCESS : ZavediDedozozuriz::FAILED;
  }

  ZavediDedozozuriz::IDLErrorID SetRoot(const CORBA::WChar*) override { NotImplemented(state_, "SetRoot"); }
  CORBA::Boolean IsPathExists(const CORBA::WChar*) override { NotImplemented(state_, "IsPathExists"); }
  ZavediDedozozuriz::IDLErrorID OpenFile(const CORBA::WChar*, ZavediDedozozuriz::FileAccessMode,
                                         CORBA::ULong&) override {
    NotImplemented(state_, "OpenFile");
  }
  ZavediDedozozuriz::IDLErrorID OpenFileSignature(const CORBA::WChar*, CORBA::ULong&) override {
    NotImplemented(state_, "OpenFileSignature");
  }
  ZavediDedozozuriz::IDLErrorID OpenFilePatch(const CORBA::WChar*, const CORBA::WChar*,
                                              CORBA::ULong&) override {
    NotImplemented(state_, "OpenFilePatch");
  }
  ZavediDedozozuriz::IDLErrorID ReadFile(Tessarine::BinaryData&, CORBA::ULong&, CORBA::ULong) override {
    NotImplemented(state_, "ReadFile");
  }
  ZavediDedozozuriz::IDLErrorID CloseFile(CORBA::ULong) override { NotImplemented(state_, "CloseFile"); }
  void OnStop() override { NotImplemented(state_, "OnStop"); }
  ZavediDedozozuriz::IDLErrorID BeginTransaction() override { NotImplemented(state_, "BeginTransaction"); }
  ZavediDedozozuriz::IDLErrorID CommitTransaction() override { NotImplemented(state_, "CommitTransaction"); }
  ZavediDedozozuriz::IDLErrorID OpenFilePatching(const CORBA::WChar*, const CORBA::WChar*,
                                                 CORBA::ULong&) override {
    NotImplemented(state_, "OpenFilePatching");
  }
  ZavediDedozozuriz::IDLErrorID WriteFile(const Tessarine::BinaryData&, CORBA::ULong&,
                                          CORBA::ULong) override {
    NotImplemented(state_, "WriteFile");
  }
  ZavediDedozozuriz::IDLErrorID SetElementAttributes(const CORBA::WChar*,
                                                     const ZavediDedozozuriz::Attributes&) override {
    NotImplemented(state_, "SetElementAttributes");
  }
  ZavediDedozozuriz::IDLErrorID CreateFolder(const CORBA::WChar*) override {
    NotImplemented(state_, "CreateFolder");
  }
  ZavediDedozozuriz::IDLErrorID DeleteFolder(const CORBA::WChar*) override {
    NotImplemented(state_, "DeleteFolder");
  }

 private:
  StorageWorkstation& state_;
};

// --- Session ----------------------------------------------------------------

class StorageSessionServant final : public POA_ZavediDedozozuriz::Session {
 public:
  // Not inlined: see FolderWriterServant.
  [[gnu::noinline]] explicit StorageSessionServant(StorageWorkstation& state) : state_(state) {}

  PortableServer::POA_ptr _default_POA() override { return PortableServer::POA::_duplicate(state_.Poa()); }

  ZavediDedozozuriz::IDLBackupDataWrite_ptr GetWriteInterface() override {
    state_.Upcall({"GetWriteInterface", {}});
    if (state_.Mode() == StorageWorkstation::OpenMode::kNilWriter) {
      return ZavediDedozozuriz::IDLBackupDataWrite::_nil();
    }
    return state_.Writer();
  }
  ZavediDedozozuriz::IDLBackupDataRead_ptr GetReadInterface() override {
    NotImplemented(state_, "GetReadInterface");
  }
  ZavediDedozozuriz::IDLBackupDataCopy_ptr GetCopyInterface(const ZavediDedozozuriz::ISettings&,
                                                            ZavediDedozozuriz::Session_ptr) override {
    NotImplemented(state_, "GetCopyInterface");
  }
  ZavediDedozozuriz::IDLBackupDataBrowse_ptr GetBackupInterface(const Tessarine::WStringsList&) override {
    NotImplemented(state_, "GetBackupInterface");
  }
  ZavediDedozozuriz::WorkstationSettings_ptr GetSettings() override { NotImplemented(state_, "GetSettings"); }

 private:
  StorageWorkstation& state_;
};

// --- Workstation ------------------------------------------------------------

class StorageWorkstationServant final : public POA_ZavediDedozozuriz::Workstation {
 public:
  // Not inlined: see FolderWriterServant.
  [[gnu::noinline]] explicit StorageWorkstationServant(StorageWorkstation& state) : state_(state) {}

  PortableServer::POA_ptr _default_POA() override { return PortableServer::POA::_duplicate(state_.Poa()); }

  CORBA::WChar* name() override {
    state_.Upcall({"name", {}});
    return CORBA::wstring_dup(state_.Name().c_str());
  }
  CORBA::WChar* host() override { NotImplemented(state_, "host"); }

  ZavediDedozozuriz::Session_ptr OpenSession(Tessarine::Session_ptr coordinator,
                                             Tessarine::Log_ptr log) override {
    state_.Upcall({"OpenSession",
                   {CORBA::is_nil(coordinator) ? L"nil" : L"session", CORBA::is_nil(log) ? L"nil" : L"log"}});
    switch (state_.Mode()) {
      case StorageWorkstation::OpenMode::kAccessDenied: throw ZavediDedozozuriz::Workstation::AccessDenied();
      case StorageWorkstation::OpenMode::kSessionLimit: throw ZavediDedozozuriz::Workstation::SessionLimit();
      case StorageWorkstation::OpenMode::kNilSession: return ZavediDedozozuriz::Session::_nil();
      default: break;
    }
    auto* session = new StorageSessionServant(state_);
    PortableServer::ObjectId_var id = state_.Poa()->activate_object(session);
    ZavediDedozozuriz::Session_ptr reference = session->_this();
    session->_remove_ref();  // the POA holds it now
    state_.SessionOpened();
    return reference;
  }

  void CloseSession(ZavediDedozozuriz::Session_ptr target) override {
    state_.Upcall({"CloseSession", {}});
    if (CORBA::is_nil(target)) return;
    try {
      PortableServer::ServantBase_var servant = state_.Poa()->reference_to_servant(target);
      if (dynamic_cast<StorageSessionServant*>(servant.in()) == nullptr) return;
      PortableServer::ObjectId_var id = state_.Poa()->reference_to_id(target);
      state_.Poa()->deactivate_object(id);
      state_.SessionClosed();
    } catch (const CORBA::Exception&) {
    }
  }

  void ping() override { state_.Upcall({"ping", {}}); }
  void Shutdown() override { NotImplemented(state_, "Shutdown"); }

 private:
  StorageWorkstation& state_;
};

// --- StorageWorkstation -----------------------------------------------------

StorageWorkstation::StorageWorkstation(CORBA::ORB_ptr orb, const std::wstring& name,
                                       const std::filesystem::path& root)
    : name_(name), root_(root) {
  CORBA::Object_var object = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var rootPoa = PortableServer::POA::_narrow(object);
  PortableServer::POAManager_var manager = rootPoa->the_POAManager();
  poa_ = zr::CreateSingleThreadPoa(rootPoa, NextPoaName().c_str());

  workstation_ = new StorageWorkstationServant(*this);
  writer_ = new FolderWriterServant(*this);
  PortableServer::ObjectId_var workstationId = poa_->activate_object(workstation_);
  PortableServer::ObjectId_var writerId = poa_->activate_object(writer_);
  manager->activate();
}

StorageWorkstation::~StorageWorkstation() {
  poa_->destroy(true, true);
  workstation_->_remove_ref();
  writer_->_remove_ref();
}

ZavediDedozozuriz::Workstation_ptr StorageWorkstation::Workstation() const {
  PortableServer::ObjectId_var id = poa_->servant_to_id(workstation_);
  CORBA::Object_var object = poa_->id_to_reference(id);
  return ZavediDedozozuriz::Workstation::_narrow(object);
}

ZavediDedozozuriz::IDLBackupDataWrite_ptr StorageWorkstation::Writer() const { return writer_->_this(); }

void StorageWorkstation::Kill() {
  PortableServer::ObjectId_var id = poa_->servant_to_id(workstation_);
  poa_->deactivate_object(id);
}

void StorageWorkstation::SetOpenMode(OpenMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  mode_ = mode;
}

void StorageWorkstation::SetUpcallObserver(UpcallObserver observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = std::move(observer);
}

void StorageWorkstation::SetResult(const std::string& operation, ZavediDedozozuriz::IDLErrorID result) {
  std::lock_guard<std::mutex> lock(mutex_);
  results_[operation] = result;
}

std::vector<RecordedCall> StorageWorkstation::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<RecordedCall> StorageWorkstation::Calls(const std::string& operation) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RecordedCall> calls;
  for (const RecordedCall& call : calls_) {
    if (call.operation == operation) calls.push_back(call);
  }
  return calls;
}

int StorageWorkstation::OpenSessions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openSessions_;
}

void StorageWorkstation::Upcall(RecordedCall call) {
  UpcallObserver observer;
  const std::string operation = call.operation;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
    observer = observer_;
  }
  if (observer) observer(operation);
}

StorageWorkstation::OpenMode StorageWorkstation::Mode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mode_;
}

bool StorageWorkstation::Result(const std::string& operation, ZavediDedozozuriz::IDLErrorID& result) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = results_.find(operation);
  if (found == results_.end()) return false;
  result = found->second;
  return true;
}

void StorageWorkstation::SessionOpened() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++openSessions_;
}

void StorageWorkstation::SessionClosed() {
  std::lock_guard<std::mutex> lock(mutex_);
  --openSessions_;
}

}  // namespace zrtest
