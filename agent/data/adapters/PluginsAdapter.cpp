#include "agent/data/adapters/PluginsAdapter.h"

#include <list>

#include "agent/data/adapters/AttributeConversion.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

template <class I>
CPluginsAdapter<I>::CPluginsAdapter(Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader)
    : broker_(std::make_shared<Broker>(session, log, loader)), log_(log) {}

template <class I>
CPluginsAdapter<I>::~CPluginsAdapter() = default;

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::Refuse(const wchar_t* text) const {
  if (log_ != nullptr) {
    try {
      log_->Write(LogEvent::Warning, text);
    } catch (...) {
      // A log that fails must not change the refusal.
    }
  }
  return ZavediDedozozuriz::NOT_SUPPORTED;
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::SetElementAttributes(
    const std::wstring& path, const ZavediDedozozuriz::Attributes& attributes) {
  if (!kWrite) return Refuse(kNoSetAttributes);
  return ToRemoteResult(broker_->SetElementAttributes(path, FromRemoteAttributes(attributes)));
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::GetElementAttributes(
    const std::wstring& path, ZavediDedozozuriz::Attributes& attributes) {
  CFileAttributes local;
  const int result = broker_->GetElementAttributes(path, local);
  attributes = ToRemoteAttributes(local);
  return ToRemoteResult(result);
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::GetListing(const std::wstring& path,
                                                                   ZavediDedozozuriz::List_out list) {
  std::list<CFileInfo> entries;
  const int result = broker_->GetListing(path, entries);
  list = ToRemoteList(entries);
  return ToRemoteResult(result);
}

template <class I>
void CPluginsAdapter<I>::OnStop() {
  broker_->OnStop();
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::CreateFolder(const std::wstring& path) {
  if (!kWrite) return Refuse(kNoCreateFolder);
  return ToRemoteResult(broker_->CreateFolder(path));
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::DeleteFolder(const std::wstring& path) {
  if (!kWrite) return Refuse(kNoDeleteFolder);
  return ToRemoteResult(broker_->DeleteFolder(path));
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::DeleteFile(const std::wstring& path) {
  if (!kWrite) return Refuse(kNoDeleteFile);
  return ToRemoteResult(broker_->DeleteFile(path));
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::SetRoot(const std::wstring& path) {
  return ToRemoteResult(broker_->SetRootPath(path));
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::BeginTransaction() {
  return ToRemoteResult(broker_->BeginTransaction());
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::CommitTransaction() {
  return ToRemoteResult(broker_->CommitTransaction());
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::OpenFile(const std::wstring& path,
                                                                 ZavediDedozozuriz::FileAccessMode mode,
                                                                 CORBA::ULong& handle) {
  const bool write = mode == ZavediDedozozuriz::Write;
  // A write open on the read interface would let a plug-in truncate the file
  // or start a restore on close, although writing is refused here.
  if (!kWrite && write) return Refuse(kNoWriting);
  unsigned int opened = 0;
  const int result = broker_->OpenFile(path, write ? FileAccessMode::Write : FileAccessMode::Read, opened);
  if (result == kSuccess) handle = opened;
  return ToRemoteResult(result);
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::OpenFileSignature(const std::wstring& path,
                                                                          CORBA::ULong& handle) {
  if constexpr (!kWrite) {
    (void)handle;
    return path.empty() ? ZavediDedozozuriz::PATH_NOT_FOUND : ZavediDedozozuriz::NOT_SUPPORTED;
  } else if constexpr (kHasDelta) {
    return DeltaOpen([&](unsigned int& opened) { return broker_->OpenFileSignature(path, opened); }, handle);
  } else {
    (void)handle;
    return ZavediDedozozuriz::NOT_SUPPORTED;
  }
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::OpenFilePatch(const std::wstring& basePath,
                                                                      const std::wstring& path,
                                                                      CORBA::ULong& handle) {
  if constexpr (!kWrite) {
    (void)handle;
    return basePath.empty() || path.empty() ? ZavediDedozozuriz::PATH_NOT_FOUND
                                            : ZavediDedozozuriz::NOT_SUPPORTED;
  } else if constexpr (kHasDelta) {
    return DeltaOpen([&](unsigned int& opened) { return broker_->OpenFilePatch(basePath, path, opened); },
                     handle);
  } else {
    (void)handle;
    return ZavediDedozozuriz::NOT_SUPPORTED;
  }
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::OpenFilePatching(const std::wstring& basePath,
                                                                         const std::wstring& path,
                                                                         CORBA::ULong& handle) {
  if constexpr (!kWrite) {
    (void)basePath, (void)path, (void)handle;
    return Refuse(kNoWriting);
  } else if constexpr (kHasDelta) {
    return DeltaOpen([&](unsigned int& opened) { return broker_->OpenFilePatching(basePath, path, opened); },
                     handle);
  } else {
    (void)handle;
    return ZavediDedozozuriz::NOT_SUPPORTED;
  }
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::ReadFile(Tessarine::BinaryData& data,
                                                                 CORBA::ULong& size, CORBA::ULong handle) {
  // A size beyond the sequence would let the plug-in write past the buffer.
  if (size > data.length()) return ZavediDedozozuriz::FAILED;
  unsigned char none = 0;
  unsigned char* buffer = data.length() > 0 ? data.get_buffer() : &none;
  unsigned int count = size;
  const int result = broker_->ReadFile(buffer, count, handle);
  size = count <= size ? count : size;
  return ToRemoteResult(result);
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::WriteFile(const Tessarine::BinaryData& data,
                                                                  CORBA::ULong& size, CORBA::ULong handle) {
  if (!kWrite) return Refuse(kNoWriting);
  // A size beyond the sequence would hand the plug-in bytes past the buffer.
  if (size > data.length()) return ZavediDedozozuriz::FAILED;
  const unsigned char none = 0;
  const unsigned char* buffer = data.length() > 0 ? data.get_buffer() : &none;
  unsigned int count = size;
  const int result = broker_->WriteFile(buffer, count, handle);
  size = count <= size ? count : size;
  return ToRemoteResult(result);
}

template <class I>
typename CPluginsAdapter<I>::Result CPluginsAdapter<I>::CloseFile(CORBA::ULong handle) {
  return ToRemoteResult(broker_->CloseFile(handle));
}

template class CPluginsAdapter<IBackupDataRead>;
template class CPluginsAdapter<IBackupDataWrite>;

}  // namespace zr
