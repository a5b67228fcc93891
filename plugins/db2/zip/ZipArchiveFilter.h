// Many-to-one filter that packs the files of a transaction into one Zip64
// archive and reads single files back out of it.
//
// Storing: every file of the transaction becomes an entry of a new archive;
// entries of the archive stored before (fetched from the next filter at
// BeginTransaction) that the transaction did not rewrite are copied raw; at
// CommitTransaction the new archive goes to the next filter as one file.
// Restoring: the stored archive is fetched at BeginTransaction and each
// PrepareTransform opens one of its entries.
//
// The archive lives in a private temporary folder below the "WSTempPath"
// value, removed with everything in it when the filter is destroyed. Results
// are the remote result codes; no exception leaves an operation (an
// unexpected one is logged and gives zr::kFailed). One thread at a time.

#pragma once

#include <cstdio>
#include <list>
#include <string>

#include "plugin-api/IBackupDataFilter.h"
#include "plugin-api/ILog.h"
#include "plugin-api/PluginBase.h"
#include "plugins/db2/zip/ZipArchiveReader.h"
#include "plugins/db2/zip/ZipStreamWriter.h"

namespace zipfilter {

class CFilter : public IBackupDataFilter, public IZipFilterOutputWriter, private PluginBase {
 public:
  // Name under which the stored archive is asked for.
  static constexpr const wchar_t* kArchiveName = L"szip_filter.tmp";
  // Chunk size of the transfers to and from the next filter.
  static constexpr unsigned int kChunkSize = 2 * 1024 * 1024;

  // Keeps `log` (may be null); reads "FileExtension", "DstFile" and
  // "WSTempPath" from `link` (used only here) and creates the temporary
  // folder below "WSTempPath" ("/tmp/" when empty). When that fails, every
  // transaction fails with kFailed. "DstFile" names one file inside the folder:
  // "/", "" and NUL become "_", and "", "." or ".." get a leading "_".
  CFilter(ILog* log, ILink* link);
  // Closes an open output file and removes the temporary folder.
  ~CFilter() override;

  const wchar_t* GetFileExtension() const override;
  bool IsManyToOne() const override;

  // Starts the transaction in the next filter and a new archive. With a
  // non-zero `handle` fetches the stored archive from the next filter; when
  // the next filter has none (its PrepareTransform fails, or it delivers no
  // bytes) the transaction starts with no old archive. A fetch that fails
  // after data began fails the transaction, so old entries are never lost.
  [[nodiscard]] int BeginTransaction(const unsigned int& handle) override;
  // Lists `path` inside the fetched archive as CFileInfo entries (folders
  // attribute 16, files 128, size valid).
  [[nodiscard]] int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override;
  // Storing (`forward`): starts the entry `name` of the new archive.
  // Restoring: opens the entry `name` of the fetched archive (kPathNotFound
  // when absent).
  [[nodiscard]] int PrepareTransform(const std::wstring& name, bool forward,
                                     const unsigned int& handle) override;
  // Compresses data of the current entry.
  [[nodiscard]] int DirectTransform(const unsigned char* data, unsigned int& size,
                                    const unsigned int& handle) override;
  // Delivers data of the open entry; kHandleEof at its end.
  [[nodiscard]] int ReverseTransform(unsigned char* buffer, unsigned int& size,
                                     const unsigned int& handle) override;
  // Ends the current entry.
  [[nodiscard]] int FinishTransform(const unsigned int& handle) override;
  // Storing: completes the archive, sends it to the next filter and commits
  // the next filter; the first failure is returned. Restoring: closes the
  // archive and commits the next filter.
  [[nodiscard]] int CommitTransaction(const unsigned int& handle) override;

  // Archive output: appends `size` bytes to the new archive file; `size`
  // becomes the count written; kFailed when fewer were written.
  int Write(const unsigned char* data, unsigned int& size) override;

  // The private temporary folder (ends with "/"); empty when it could not be
  // created.
  const std::wstring& TempFolder() const { return tempFolder_; }

 private:
  int DoBeginTransaction(const unsigned int& handle);
  int DoGetListing(const std::wstring& path, std::list<CFileInfo>& entries);
  int DoPrepareTransform(const std::wstring& name, bool forward, const unsigned int& handle);
  int DoCommitTransaction(const unsigned int& handle);
  // Sends the new archive to the next filter as one file.
  int SendNewArchive(const unsigned int& handle);
  // Fetches the stored archive into the destination path; `found` tells
  // whether there was one.
  int FetchArchive(const unsigned int& handle, bool& found);
  // Opens the destination path with the reader unless it holds it already.
  int OpenReader();
  // Closes the output file; kFailed when that fails.
  int CloseOutput();
  void LogException(const char* operation, const char* what);
  // Runs `body`, turning an exception into a log line and kFailed.
  template <typename Body>
  int Guarded(const char* operation, Body body);

  FILE* output_ = nullptr;
  std::wstring fileExtension_;
  std::wstring destinationName_;
  std::wstring newName_;
  std::wstring destinationPath_;
  std::wstring newDestinationPath_;
  std::wstring currentName_;
  std::wstring tempFolder_;
  bool forward_ = false;
  CZipFilter writer_;
  CZipReader reader_;
  std::wstring readerPath_;
  bool failed_ = false;  // a storing step of this transaction failed
};

}  // namespace zipfilter
