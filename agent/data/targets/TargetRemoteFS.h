// A copy target on another agent: every operation is one call on that
// agent's IDLBackupDataWrite, as a CORBA client.
//
// Results pass the remote status filter (0, 3, 4, 5, 6 and 7 unchanged,
// any other value 1); a CORBA exception of a call (a dead peer, a time-out,
// a marshalling error) is 1. The reference gets a per-object client call
// time-out, so a peer that stopped answering gives 1 instead of blocking
// for ever; it is long enough for a database restore run in CloseFile.
//
// A write open of a file that exists on the peer, while UseDeltaCopying is
// on and the caller allows it, and every write-mode OpenFilePatch, send the
// data as an rsync delta through a CRsyncSource over this object's own
// IRsyncSourceWrite side; when the peer cannot patch (6) the write open
// falls back to a plain write. One file at a time is written.
// REQUIRES: IFileSystem operations from one thread at a time; the
// IRsyncSourceWrite side is also called by the CRsyncSource worker.

#pragma once

#include "agent/data/Settings.h"
#include "agent/data/delta/IRsyncSourceWrite.h"
#include "agent/data/delta/RsyncSource.h"
#include "agent/data/targets/IFileSystem.h"
#include "idl/RemoteRefs.h"
#include "plugin-api/ILog.h"

namespace zr {

class CTargetRemoteFS final : public IFileSystem, public IRsyncSourceWrite {
 public:
  // Client call time-out on the peer's reference: a restore runs in CloseFile.
  static constexpr unsigned int kCallTimeoutMs = 30u * 60u * 1000u;
  // Most bytes one ReadFile or WriteFile call carries (the ORB's default
  // message limit is 2 MiB, and a read carries its buffer both ways).
  static constexpr unsigned int kChunkBytes = 1u << 20;
  // Most bytes one signature read asks for: the whole signature of a large
  // file in a few calls, each a wait for the peer's signature worker.
  static constexpr unsigned int kSignatureReadBytes = kChunkBytes;

  // `remote` is duplicated (the caller keeps its reference) and must not be
  // nil. `log` is not owned. `settings` answers UseDeltaCopying; null means
  // the process-wide settings object.
  CTargetRemoteFS(Tessarine::Session_ptr session, ILog* log, ZavediDedozozuriz::IDLBackupDataWrite_ptr remote,
                  const CSettings* settings = nullptr, unsigned int callTimeoutMs = kCallTimeoutMs);
  // Abandons a delta write still open.
  ~CTargetRemoteFS() override;

  int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override;
  // On success the record gets the peer's attributes, times cut to 32 bits.
  int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) override;
  int SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes) override;
  int CreateFolder(const std::wstring& path) override;
  int DeleteFolder(const std::wstring& path) override;
  int DeleteFile(const std::wstring& path) override;
  int SetRoot(const std::wstring& path) override;
  int OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle,
               bool deltaAllowed) override;
  int OpenFilePatch(const std::wstring& basePath, const std::wstring& path, FileAccessMode::ID mode,
                    unsigned int& handle) override;
  // Asks for at most kChunkBytes. 1 when the peer claims more bytes than
  // asked for, or none with success for a non-empty request.
  int ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override;
  // Sends the data in calls of at most kChunkBytes; `size` becomes what the
  // peer took.
  int WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle) override;
  int CloseFile(const unsigned int& handle) override;
  // A delta write is cut off (the target keeps its file); else CloseFile.
  int AbortFile(const unsigned int& handle) override;
  int BeginTransaction() override;
  int CommitTransaction() override;

  int OpenFileSignature(const std::wstring& path, unsigned int& handle) override;
  // At most kSignatureReadBytes per call.
  int ReadFileSignature(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override;
  int CloseFileSignature(const unsigned int& handle) override;
  // Equal paths: the peer applies the delta in place. Different paths: the
  // delta itself is stored as the content of `path` (a plain write open).
  int OpenFilePatching(const std::wstring& basePath, const std::wstring& path, unsigned int& handle) override;
  int WriteFilePatching(const unsigned char* data, unsigned int& size, const unsigned int& handle) override;
  int CloseFilePatching(const unsigned int& handle) override;
  int OpenFilePatch(const std::wstring& basePath, const std::wstring& path, unsigned int& handle) override;
  int ReadFilePatch(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override;
  int CloseFilePatch(const unsigned int& handle) override;

 private:
  template <class Call>
  static int Remote(Call call);
  int RemoteRead(unsigned char* buffer, unsigned int& size, unsigned int handle, unsigned int most);
  int RemoteWrite(const unsigned char* data, unsigned int& size, unsigned int handle);
  int RemoteClose(unsigned int handle);
  int OpenDelta(const std::wstring& basePath, const std::wstring& path, unsigned int& handle);
  bool UseDeltaCopying() const;

  OwnedRef<ZavediDedozozuriz::IDLBackupDataWrite_ptr> remote_;
  bool delta_ = false;  // the current write goes through source_
  ILog* log_;
  const CSettings* settings_;
  // Last: destroyed first, while the reference it closes streams on lives.
  CRsyncSource source_;
};

}  // namespace zr
