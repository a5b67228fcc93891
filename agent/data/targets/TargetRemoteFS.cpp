#include "agent/data/targets/TargetRemoteFS.h"

#include <omniORB4/CORBA.h>

#include <algorithm>
#include <cstring>
#include <exception>

#include "Tessarine.hh"
#include "ZavediDedozozuriz.hh"
#include "agent/data/adapters/AttributeConversion.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

namespace {

ZavediDedozozuriz::Attributes EmptyAttributes() {
  ZavediDedozozuriz::Attributes attributes{};
  attributes.CustomAttr = CORBA::wstring_dup(L"");
  return attributes;
}

}  // namespace

CTargetRemoteFS::CTargetRemoteFS(Tessarine::Session_ptr, ILog* log,
                                 ZavediDedozozuriz::IDLBackupDataWrite_ptr remote, const CSettings* settings,
                                 unsigned int callTimeoutMs)
    : remote_(ZavediDedozozuriz::IDLBackupDataWrite::_duplicate(remote)),
      log_(log),
      settings_(settings),
      source_(log, this) {
  if (!CORBA::is_nil(remote_.get())) omniORB::setClientCallTimeout(remote_.get(), callTimeoutMs);
}

CTargetRemoteFS::~CTargetRemoteFS() = default;

template <class Call>
int CTargetRemoteFS::Remote(Call call) {
  try {
    return PassableResult(static_cast<int>(call()));
  } catch (const CORBA::Exception&) {
    return kFailed;
  } catch (const std::exception&) {
    return kFailed;
  }
}

bool CTargetRemoteFS::UseDeltaCopying() const {
  const CSettings* settings = settings_ != nullptr ? settings_ : CSettings::Instance();
  return settings != nullptr && settings->GetUseDeltaCopying();
}

int CTargetRemoteFS::GetListing(const std::wstring& path, std::list<CFileInfo>& entries) {
  ZavediDedozozuriz::List_var list;
  const int result = Remote([&] { return remote_->GetListing(path.c_str(), list.out()); });
  if (result == kSuccess && list.operator->() != nullptr) AppendFromRemoteList(list.in(), entries);
  return result;
}

int CTargetRemoteFS::GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) {
  ZavediDedozozuriz::Attributes remote = EmptyAttributes();
  const int result = Remote([&] { return remote_->GetElementAttributes(path.c_str(), remote); });
  if (result == kSuccess) attributes = FromRemoteAttributes(remote);
  return result;
}

int CTargetRemoteFS::SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes) {
  const ZavediDedozozuriz::Attributes remote = ToRemoteAttributes(attributes);
  return Remote([&] { return remote_->SetElementAttributes(path.c_str(), remote); });
}

int CTargetRemoteFS::CreateFolder(const std::wstring& path) {
  return Remote([&] { return remote_->CreateFolder(path.c_str()); });
}

int CTargetRemoteFS::DeleteFolder(const std::wstring& path) {
  return Remote([&] { return remote_->DeleteFolder(path.c_str()); });
}

int CTargetRemoteFS::DeleteFile(const std::wstring& path) {
  return Remote([&] { return remote_->DeleteFile(path.c_str()); });
}

int CTargetRemoteFS::SetRoot(const std::wstring& path) {
  return Remote([&] { return remote_->SetRoot(path.c_str()); });
}

int CTargetRemoteFS::OpenDelta(const std::wstring& basePath, const std::wstring& path, unsigned int& handle) {
  delta_ = true;
  const int result = source_.Open(basePath, path, handle);
  if (result != kSuccess) delta_ = false;
  return result;
}

int CTargetRemoteFS::OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle,
                              bool deltaAllowed) {
  delta_ = false;
  const bool write = mode == FileAccessMode::Write;
  if (deltaAllowed && write && UseDeltaCopying()) {
    CFileAttributes existing;
    if (GetElementAttributes(path, existing) == kSuccess) {
      const int result = OpenDelta(path, path, handle);
      if (result != kNotSupported) return result;
    }
  }
  CORBA::ULong opened = 0;
  const int result = Remote([&] {
    return remote_->OpenFile(path.c_str(), write ? ZavediDedozozuriz::Write : ZavediDedozozuriz::Read,
                             opened);
  });
  if (result == kSuccess) handle = opened;
  return result;
}

int CTargetRemoteFS::OpenFilePatch(const std::wstring& basePath, const std::wstring& path,
                                   FileAccessMode::ID mode, unsigned int& handle) {
  delta_ = false;
  if (mode == FileAccessMode::Write) return OpenDelta(basePath, path, handle);
  return OpenFilePatch(basePath, path, handle);
}

int CTargetRemoteFS::RemoteRead(unsigned char* buffer, unsigned int& size, unsigned int handle,
                                unsigned int most) {
  const unsigned int wanted = std::min(size, most);
  size = 0;
  Tessarine::BinaryData data;
  data.length(wanted);  // the sequence is inout: the peer fills it in place
  CORBA::ULong count = wanted;
  const int result = Remote([&] { return remote_->ReadFile(data, count, handle); });
  if (result != kSuccess) return result;
  // More than asked for is a broken peer; nothing with success would make a
  // read loop spin.
  if (count > wanted || (wanted > 0 && count == 0)) return kFailed;
  const CORBA::ULong copied = std::min<CORBA::ULong>(count, data.length());
  if (copied > 0) std::memcpy(buffer, data.get_buffer(), copied);
  size = copied;
  return kSuccess;
}

int CTargetRemoteFS::RemoteWrite(const unsigned char* data, unsigned int& size, unsigned int handle) {
  unsigned int done = 0;
  do {
    const unsigned int part = std::min(size - done, kChunkBytes);
    // Wraps the caller's bytes without copying or releasing them.
    const Tessarine::BinaryData chunk(part, part, const_cast<CORBA::Octet*>(data + done), false);
    CORBA::ULong taken = part;
    const int result = Remote([&] { return remote_->WriteFile(chunk, taken, handle); });
    if (result != kSuccess) {
      size = done;
      return result;
    }
    done += std::min<CORBA::ULong>(taken, part);
    if (taken < part) break;  // the peer took less: report what it took
  } while (done < size);
  size = done;
  return kSuccess;
}

int CTargetRemoteFS::RemoteClose(unsigned int handle) {
  return Remote([&] { return remote_->CloseFile(handle); });
}

int CTargetRemoteFS::ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) {
  return RemoteRead(buffer, size, handle, kChunkBytes);
}

int CTargetRemoteFS::WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle) {
  if (delta_) return source_.Write(data, size);
  return RemoteWrite(data, size, handle);
}

int CTargetRemoteFS::CloseFile(const unsigned int& handle) {
  if (delta_) return source_.Close();
  return RemoteClose(handle);
}

int CTargetRemoteFS::AbortFile(const unsigned int& handle) {
  if (!delta_) return CloseFile(handle);
  delta_ = false;
  source_.Abort();
  return kSuccess;
}

int CTargetRemoteFS::BeginTransaction() {
  return Remote([&] { return remote_->BeginTransaction(); });
}

int CTargetRemoteFS::CommitTransaction() {
  return Remote([&] { return remote_->CommitTransaction(); });
}

int CTargetRemoteFS::OpenFileSignature(const std::wstring& path, unsigned int& handle) {
  CORBA::ULong opened = 0;
  const int result = Remote([&] { return remote_->OpenFileSignature(path.c_str(), opened); });
  if (result == kSuccess) handle = opened;
  return result;
}

int CTargetRemoteFS::ReadFileSignature(unsigned char* buffer, unsigned int& size,
                                       const unsigned int& handle) {
  return RemoteRead(buffer, size, handle, kSignatureReadBytes);
}

int CTargetRemoteFS::CloseFileSignature(const unsigned int& handle) { return RemoteClose(handle); }

int CTargetRemoteFS::OpenFilePatching(const std::wstring& basePath, const std::wstring& path,
                                      unsigned int& handle) {
  CORBA::ULong opened = 0;
  const int result = Remote([&] {
    return basePath == path ? remote_->OpenFilePatching(basePath.c_str(), path.c_str(), opened)
                            : remote_->OpenFile(path.c_str(), ZavediDedozozuriz::Write, opened);
  });
  if (result == kSuccess) handle = opened;
  return result;
}

int CTargetRemoteFS::WriteFilePatching(const unsigned char* data, unsigned int& size,
                                       const unsigned int& handle) {
  return RemoteWrite(data, size, handle);
}

int CTargetRemoteFS::CloseFilePatching(const unsigned int& handle) { return RemoteClose(handle); }

int CTargetRemoteFS::OpenFilePatch(const std::wstring& basePath, const std::wstring& path,
                                   unsigned int& handle) {
  CORBA::ULong opened = 0;
  const int result = Remote([&] { return remote_->OpenFilePatch(basePath.c_str(), path.c_str(), opened); });
  if (result == kSuccess) handle = opened;
  return result;
}

int CTargetRemoteFS::ReadFilePatch(unsigned char* buffer, unsigned int& size, const unsigned int& handle) {
  return RemoteRead(buffer, size, handle, kChunkBytes);
}

int CTargetRemoteFS::CloseFilePatch(const unsigned int& handle) { return RemoteClose(handle); }

}  // namespace zr
