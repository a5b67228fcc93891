// The layer between the remote data servants and the plug-in brokers: remote
// structs in, plug-in value types to the broker, and every result reduced to
// the codes the remote side may see (0, 3, 4, 5, 6 and 7 pass, any other
// value becomes FAILED).
//
// CPluginsAdapter<IBackupDataRead> refuses every changing operation itself
// (a warning on the session log and NOT_SUPPORTED, no plug-in touched).
// CPluginsAdapter<IBackupDataWrite> passes everything on.
//
// For the read and write servants this is the layer that checks the sizes a
// remote client sends against the buffers it sends: those servants hand the
// arguments over unchecked. The browse and copy servants do not come through
// here and check the sizes themselves.
// REQUIRES: one thread at a time (the ORB thread).

#pragma once

#include <memory>
#include <string>
#include <type_traits>

#include "Tessarine.hh"
#include "ZavediDedozozuriz.hh"
#include "agent/data/adapters/AttributeConversion.h"
#include "agent/data/delta/RsyncTarget.h"
#include "agent/data/hosting/ExtensionLoader.h"
#include "agent/data/hosting/PluginBroker.h"
#include "plugin-api/PluginApi.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

// The broker an adapter holds: the plain read broker, or the write broker
// with the delta streams.
template <class I>
struct AdapterBroker {
  using type = CPluginBroker<I>;
};
template <>
struct AdapterBroker<IBackupDataWrite> {
  using type = CRsyncTarget;
};

template <class I>
class CPluginsAdapter {
 public:
  using Result = ZavediDedozozuriz::IDLErrorID;
  using Broker = typename AdapterBroker<I>::type;

  // Messages of the read adapter's refusals (level 1).
  static constexpr const wchar_t* kNoSetAttributes =
      L"Setting file attributes doesn't supported by the filesystem read interface, use write interface "
      L"instead";
  static constexpr const wchar_t* kNoCreateFolder =
      L"Folder creation doesn't supported by the filesystem read interface, use write interface instead";
  static constexpr const wchar_t* kNoDeleteFolder =
      L"Folder deletion doesn't supported by the filesystem read interface, use write interface instead";
  static constexpr const wchar_t* kNoDeleteFile =
      L"File deletion doesn't supported by the filesystem read interface, use write interface instead";
  static constexpr const wchar_t* kNoWriting =
      L"Writing the file doesn't supported by the filesystem read interface, use write interface instead";

  // `session`, `log` and `loader` are not owned and must outlive the adapter;
  // all three go to the broker it makes.
  CPluginsAdapter(Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader);
  virtual ~CPluginsAdapter();

  CPluginsAdapter(const CPluginsAdapter&) = delete;
  CPluginsAdapter& operator=(const CPluginsAdapter&) = delete;

  // Write: the broker's, times cut to 32 bits. Read: refused.
  virtual Result SetElementAttributes(const std::wstring& path,
                                      const ZavediDedozozuriz::Attributes& attributes);
  // The broker's answer, times sign-extended to 64 bits. Every member of
  // `attributes` is set.
  virtual Result GetElementAttributes(const std::wstring& path, ZavediDedozozuriz::Attributes& attributes);
  // Hands a new list to `list` whatever the result (empty when the broker
  // added nothing).
  virtual Result GetListing(const std::wstring& path, ZavediDedozozuriz::List_out list);
  virtual void OnStop();
  // Write: the broker's. Read: refused.
  virtual Result CreateFolder(const std::wstring& path);
  virtual Result DeleteFolder(const std::wstring& path);
  virtual Result DeleteFile(const std::wstring& path);
  // The broker's root for later paths.
  virtual Result SetRoot(const std::wstring& path);
  // The broker's (the read broker refuses them itself).
  virtual Result BeginTransaction();
  virtual Result CommitTransaction();
  // Remote mode Write opens for writing, any other value for reading. The
  // read adapter refuses a write open (NOT_SUPPORTED), as it refuses writing.
  virtual Result OpenFile(const std::wstring& path, ZavediDedozozuriz::FileAccessMode mode,
                          CORBA::ULong& handle);
  // Write: the delta streams of the write broker; NOT_SUPPORTED while it has
  // none. Read: PATH_NOT_FOUND for an empty path, else NOT_SUPPORTED
  // (patching: refused with the writing message).
  virtual Result OpenFileSignature(const std::wstring& path, CORBA::ULong& handle);
  virtual Result OpenFilePatch(const std::wstring& basePath, const std::wstring& path, CORBA::ULong& handle);
  virtual Result OpenFilePatching(const std::wstring& basePath, const std::wstring& path,
                                  CORBA::ULong& handle);
  // Reads up to `size` bytes into the start of `data` (not resized); `size`
  // becomes the count delivered. FAILED, with nothing touched, when `size`
  // exceeds data.length().
  virtual Result ReadFile(Tessarine::BinaryData& data, CORBA::ULong& size, CORBA::ULong handle);
  // Write: hands the first `size` bytes of `data` to the broker; `size`
  // becomes the count taken. FAILED, with nothing touched, when `size`
  // exceeds data.length(). Read: refused.
  virtual Result WriteFile(const Tessarine::BinaryData& data, CORBA::ULong& size, CORBA::ULong handle);
  virtual Result CloseFile(CORBA::ULong handle);

 protected:
  static constexpr bool kWrite = std::is_same_v<I, IBackupDataWrite>;
  // True when the broker serves the delta streams.
  static constexpr bool kHasDelta = kWrite && !std::is_same_v<Broker, CPluginBroker<I>>;

  // Runs `open` (a delta stream open on the broker); on success the handle
  // it gave goes to `handle`. NOT_SUPPORTED without a broker.
  template <class Open>
  Result DeltaOpen(Open open, CORBA::ULong& handle) {
    if (!broker_) return ZavediDedozozuriz::NOT_SUPPORTED;
    unsigned int opened = 0;
    const int result = open(opened);
    if (result == kSuccess) handle = opened;
    return ToRemoteResult(result);
  }

  // A level 1 line with `text` and NOT_SUPPORTED.
  Result Refuse(const wchar_t* text) const;

  std::shared_ptr<Broker> broker_;
  ILog* log_;
};

extern template class CPluginsAdapter<IBackupDataRead>;
extern template class CPluginsAdapter<IBackupDataWrite>;

}  // namespace zr
