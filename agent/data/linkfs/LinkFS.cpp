#include "agent/data/linkfs/LinkFS.h"

#include <cstdint>
#include <iostream>

#include "Tessarine.hh"
#include "ZavediDedozozuriz.hh"
#include "agent/data/linkfs/ConnectionName.h"
#include "idl/CallTimeouts.h"
#include "idl/CorbaBoundary.h"
#include "plugin-api/ErrorBoundary.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

namespace {

const wchar_t kPluginsFolder[] = L"Plugins\\";
const wchar_t kLinkEnding[] = L".zrl";
const std::size_t kLinkEndingSize = 4;

bool EndsWithLinkEnding(const std::wstring& name) {
  return name.size() >= kLinkEndingSize &&
         name.compare(name.size() - kLinkEndingSize, kLinkEndingSize, kLinkEnding) == 0;
}

// Inside a failed lookup's handler: the CORBA exception, if it is one, also
// goes to the agent's log, which is the wide stream (a narrow line after wide
// ones would be dropped).
void EchoLookupFailure() {
  try {
    throw;
  } catch (const CORBA::Exception& e) {
    std::wcerr << L"Can't load connection settings files list. " << DescribeCorbaException(e) << std::endl;
  } catch (...) {
  }
}

// Remote times are 64-bit; the plug-in interface keeps their low 32 bits.
int32_t LowBits(CORBA::ULongLong time) {
  return static_cast<int32_t>(static_cast<uint32_t>(time & 0xffffffffu));
}

void CopyAttributes(const ZavediDedozozuriz::Attributes& remote, CFileAttributes& local) {
  local.Creation = LowBits(remote.Creation);
  local.LastAccess = LowBits(remote.LastAccess);
  local.Modification = LowBits(remote.Modification);
  local.Size = static_cast<uint64_t>(remote.Size);
  local.Mask = static_cast<uint32_t>(remote.Mask);
  local.Type = CFileAttributes::kTypeDirectory;
}

}  // namespace

CLinkFS::CLinkFS(ILog* log, Tessarine::Session_ptr session)
    : coordinatorSession_(session),
      session_(ZavediDedozozuriz::Session::_nil()),
      log_(log),
      workstation_(ZavediDedozozuriz::Workstation::_nil()),
      writer_(ZavediDedozozuriz::IDLBackupDataWrite::_nil()) {}

CLinkFS::~CLinkFS() { DropConnection(); }

void CLinkFS::Log(LogEvent::ID level, const std::wstring& text) { WriteLogLine(log_, level, text); }

template <class Work>
int CLinkFS::CallWorkstation(const wchar_t* what, Work&& work) {
  return Guard(log_, CorbaLine{what, true}, kFailed, std::forward<Work>(work), [this] {
    if (HandlingCorbaException()) DropConnection();
  });
}

void CLinkFS::SetPlugin(const std::wstring& name) {
  Disconnect();
  pluginName_ = name;
  // A failed lookup must leave nothing of the previous plug-in behind.
  folder_.clear();
  workstationName_.clear();

  std::wstring answer;
  const bool answered = Guard(
      log_, L"Can't load connection settings files list", false,
      [&] {
        if (CORBA::is_nil(coordinatorSession_)) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
        CORBA::WString_var storage = coordinatorSession_->GetDataStorageVRK((kPluginsFolder + name).c_str());
        if (storage.in() != nullptr) answer = storage.in();
        return true;
      },
      EchoLookupFailure);
  if (!answered || answer.empty()) return;
  const std::size_t separator = answer.find(L'\\');
  if (separator == std::wstring::npos) {
    workstationName_ = answer;
    folder_ = answer;
  } else {
    workstationName_ = answer.substr(0, separator);
    folder_ = answer.substr(separator + 1);
  }
}

bool CLinkFS::CheckConnectionName(const std::wstring& name) {
  if (zr::IsValidConnectionName(name)) return true;
  Log(LogEvent::Warning, L"Invalid connection name '" + zr::PrintableConnectionName(name) + L"'");
  return false;
}

ZavediDedozozuriz::Workstation_ptr CLinkFS::FindWorkstation(const std::wstring& name) {
  if (CORBA::is_nil(coordinatorSession_)) return ZavediDedozozuriz::Workstation::_nil();
  Tessarine::Session::Workstations_var workstations = coordinatorSession_->GetWorkstations();
  for (CORBA::ULong i = 0; i < workstations->length(); ++i) {
    ZavediDedozozuriz::Workstation_ptr workstation = workstations[i];
    if (CORBA::is_nil(workstation)) continue;
    // Another agent answers on this agent's only call thread: bounded, as
    // the Coordinator is, so a stopped one cannot hold every session.
    BoundCoordinatorCalls(workstation);
    try {
      CORBA::WString_var workstationName = workstation->name();
      if (workstationName.in() != nullptr && name == workstationName.in()) {
        return ZavediDedozozuriz::Workstation::_duplicate(workstation);
      }
    } catch (const CORBA::Exception&) {
      // An unreachable workstation is skipped.
    }
  }
  return ZavediDedozozuriz::Workstation::_nil();
}

bool CLinkFS::Connect() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (workstationName_.empty() || folder_.empty()) return false;
  if (!CORBA::is_nil(writer_.get()) && !CORBA::is_nil(workstation_.get())) {
    try {
      workstation_->ping();
      return true;
    } catch (const CORBA::Exception&) {
      // Rebuilt below.
    }
  }
  Disconnect();
  try {
    workstation_.reset(FindWorkstation(workstationName_));
    if (CORBA::is_nil(workstation_.get())) return false;
    workstation_->ping();
    session_.reset(workstation_->OpenSession(coordinatorSession_, Tessarine::Log::_nil()));
    BoundCoordinatorCalls(session_.get());
    if (!CORBA::is_nil(session_.get())) writer_.reset(session_->GetWriteInterface());
    BoundAgentDataCalls(writer_.get());
  } catch (const CORBA::Exception&) {
    // AccessDenied, SessionLimit and communication failures alike.
  }
  if (CORBA::is_nil(writer_.get())) {
    // Do not leave a half-open session on the storage workstation.
    Disconnect();
    return false;
  }
  return true;
}

void CLinkFS::DropConnection() {
  // A oneway ping cannot tell a stale session from a live one, so the next
  // call starts over after any failure of the write interface.
  GuardVoid(nullptr, nullptr, [this] { Disconnect(); });
}

void CLinkFS::Disconnect() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!CORBA::is_nil(session_.get()) && !CORBA::is_nil(workstation_.get())) {
    try {
      workstation_->CloseSession(session_.get());
    } catch (const CORBA::Exception&) {
    }
  }
  session_.reset(ZavediDedozozuriz::Session::_nil());
  workstation_.reset(ZavediDedozozuriz::Workstation::_nil());
  writer_.reset(ZavediDedozozuriz::IDLBackupDataWrite::_nil());
}

int CLinkFS::GetListing(const std::wstring& path, std::list<CFileInfo>& entries) {
  // Only the connection folder itself and its entries can be listed.
  if (!path.empty() && !CheckConnectionName(path)) return kFailed;
  return CallWorkstation(L"Failed to get listing", [&] {
    if (!Connect()) return kFailed;
    ZavediDedozozuriz::IDLBackupDataWrite_var writer;
    {
      std::lock_guard<std::recursive_mutex> guard(lock_);
      writer = ZavediDedozozuriz::IDLBackupDataWrite::_duplicate(writer_.get());
    }
    const std::wstring remotePath = path.empty() ? folder_ : folder_ + L"\\" + path;
    ZavediDedozozuriz::List_var remote;
    if (writer->GetListing(remotePath.c_str(), remote.out()) != ZavediDedozozuriz::SUCCESS) return kFailed;
    std::list<CFileInfo> found;
    for (CORBA::ULong i = 0; i < remote->length(); ++i) {
      const ZavediDedozozuriz::IDLFileInfo& element = remote[i];
      const std::wstring name = element.Name.in() != nullptr ? element.Name.in() : L"";
      if (name.size() <= kLinkEndingSize || !EndsWithLinkEnding(name)) continue;
      CFileInfo info;
      info.Name = name;
      if (element.Info.in() != nullptr) info.Info = element.Info.in();
      CopyAttributes(element.Attrs, info.Attrs);
      found.push_back(std::move(info));
    }
    entries.splice(entries.end(), found);
    return kSuccess;
  });
}

int CLinkFS::GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) {
  if (path.empty() || path.find(L'\\') != std::wstring::npos) return kSuccess;
  if (!CheckConnectionName(path)) return kFailed;
  return CallWorkstation(L"Failed to get link attributes", [&] {
    if (!Connect()) return kFailed;
    ZavediDedozozuriz::IDLBackupDataWrite_var writer;
    {
      std::lock_guard<std::recursive_mutex> guard(lock_);
      writer = ZavediDedozozuriz::IDLBackupDataWrite::_duplicate(writer_.get());
    }
    ZavediDedozozuriz::Attributes remote{};
    remote.CustomAttr = CORBA::wstring_dup(L"");
    if (writer->GetElementAttributes((folder_ + L"\\" + path).c_str(), remote) !=
        ZavediDedozozuriz::SUCCESS) {
      return kFailed;
    }
    CopyAttributes(remote, attributes);
    return kSuccess;
  });
}

int CLinkFS::CreateFolder(const std::wstring& name) {
  if (!CheckConnectionName(name)) return kFailed;
  if (CORBA::is_nil(coordinatorSession_) || pluginName_.empty()) return kFailed;
  Tessarine::Link_var link;
  bool open = false;
  try {
    link = coordinatorSession_->OpenLink((kPluginsFolder + pluginName_).c_str(), name.c_str());
    BoundCoordinatorCalls(link);
    if (!CORBA::is_nil(link)) {
      open = true;
      // Reading the name makes the Coordinator store the new link.
      CORBA::WString_var linkName = link->name();
      open = false;
      coordinatorSession_->CloseLink(link);
      return kSuccess;
    }
  } catch (const CORBA::Exception&) {
    if (open) {
      try {
        coordinatorSession_->CloseLink(link);
      } catch (const CORBA::Exception&) {
      }
    }
  } catch (...) {
  }
  Log(LogEvent::Error, L"Fatal error occurred while creating the folder");
  return kFailed;
}

int CLinkFS::DeleteConnection(const std::wstring& name) {
  if (!CheckConnectionName(name)) return kFailed;
  return CallWorkstation(L"Failed to delete connection", [&] {
    if (!Connect()) return kFailed;
    ZavediDedozozuriz::IDLBackupDataWrite_var writer;
    {
      std::lock_guard<std::recursive_mutex> guard(lock_);
      writer = ZavediDedozozuriz::IDLBackupDataWrite::_duplicate(writer_.get());
    }
    const std::wstring file = EndsWithLinkEnding(name) ? name : name + kLinkEnding;
    return writer->DeleteFile((folder_ + L"\\" + file).c_str()) == ZavediDedozozuriz::SUCCESS ? kSuccess
                                                                                              : kFailed;
  });
}

int CLinkFS::DeleteFolder(const std::wstring& name) { return DeleteConnection(name); }

int CLinkFS::DeleteFile(const std::wstring& name) { return DeleteConnection(name); }

int CLinkFS::OpenFile(const std::wstring&, FileAccessMode::ID, unsigned int&) { return kSuccess; }

int CLinkFS::ReadFile(unsigned char*, unsigned int&, const unsigned int&) { return kSuccess; }

int CLinkFS::CloseFile(const unsigned int&) { return kSuccess; }

int CLinkFS::WriteFile(const unsigned char*, unsigned int&, const unsigned int&) { return kSuccess; }

int CLinkFS::SetElementAttributes(const std::wstring&, const CFileAttributes&) { return kSuccess; }

int CLinkFS::BeginTransaction() { return kSuccess; }

int CLinkFS::CommitTransaction() { return kSuccess; }

void CLinkFS::OnStop() {}

int CLinkFS::SeekFile(const unsigned int&, const unsigned long long&) { return kNotSupported; }

int CLinkFS::MoveFile(const std::wstring&, const std::wstring&) { return kNotSupported; }

}  // namespace zr
