// The DB2 plug-in: the local DB2 databases as a small read/write tree.
//
// The root holds the current instance as a folder; an instance holds its
// databases as files. Reading a database file makes a DB2 backup image in a
// private work folder and streams it as a Zip64 archive with one entry;
// writing one takes such an archive, unpacks its entry and restores the
// database from it when the file is closed. A backup's archive passes through
// a pipe from one worker thread per open file to the caller's thread, a
// restore's through a hand-off from the caller's thread to the worker; the
// worker deflates a backup on up to 8 threads of the packer's own (one per
// online CPU) and reads and writes images on one helper thread each.
//
// One object serves one open file at a time; the only handle is 1. Results:
// 0 success, 1 failure, 5 end of data, 6 not supported; nothing is thrown.
// The agent calls an object from one thread at a time; the worker logs
// through the same ILog from its own thread.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "plugin-api/IBackupDataWrite.h"
#include "plugin-api/ILog.h"
#include "plugins/db2/plugin/ArchiveHandoff.h"
#include "plugins/db2/zip/ZipStreamReader.h"
#include "plugins/db2/zip/ZipStreamWriter.h"

class PluginImplementation : public IBackupDataWrite,
                             public IZipFilterOutputWriter,
                             public IZipFilterInputReader {
 public:
  // `log` may be null and is never deleted. `link` is asked for "WSTempPath"
  // (the prefix of work folders) and not kept.
  PluginImplementation(ILog* log, ILink* link);
  // Ends an open file without restoring: stops and joins the worker, closes
  // the pipe and removes the work folder.
  ~PluginImplementation() override;

  // Starts a backup (Read) or a restore (Write) of the database named by
  // `path` ("<database>" or "<instance>\<database>"); `handle` becomes 1.
  // 1 when a file is already open, for an invalid path, or when the work
  // folder, the pipe, the backup or the packer cannot be set up.
  [[nodiscard]] int OpenFile(const std::wstring& path, FileAccessMode::ID mode,
                             unsigned int& handle) override;
  // Backup only: delivers the next archive bytes (blocking until the worker
  // has some). 5 with `size` 0 at the end of a complete archive; 1 when the
  // backup failed, after the end, or for another handle.
  [[nodiscard]] int ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override;
  // 6.
  [[nodiscard]] int SeekFile(const unsigned int& handle, const unsigned long long& position) override;
  // Ends the open file. Backup: 0 only when the whole archive was delivered.
  // Restore: runs the DB2 restore when the archive's entry was unpacked and
  // verified completely; 0 when the restore succeeded. Removes the work
  // folder except after a failed DB2 restore (the log names it).
  [[nodiscard]] int CloseFile(const unsigned int& handle) override;
  // Clears the time and size bits of the mask, sets Type to a normal file; 0.
  [[nodiscard]] int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) override;
  // "" lists the current instance (a folder); an instance name lists its
  // databases (files). Always 0; failures only shorten the list.
  [[nodiscard]] int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override;
  // Does nothing.
  void OnStop() override;

  // Restore only: hands `size` bytes of the archive to the worker (blocking
  // while the pipe is full). 1 with `size` 0xFFFFFFFF for another handle, no
  // open restore, a failed write, or after the worker gave up on the stream.
  [[nodiscard]] int WriteFile(const unsigned char* data, unsigned int& size,
                              const unsigned int& handle) override;
  // Do nothing; 0.
  [[nodiscard]] int SetElementAttributes(const std::wstring& path,
                                         const CFileAttributes& attributes) override;
  [[nodiscard]] int CreateFolder(const std::wstring& path) override;
  [[nodiscard]] int DeleteFolder(const std::wstring& path) override;
  [[nodiscard]] int DeleteFile(const std::wstring& path) override;
  // 6.
  [[nodiscard]] int MoveFile(const std::wstring& from, const std::wstring& to) override;
  // Do nothing; 0.
  [[nodiscard]] int BeginTransaction() override;
  [[nodiscard]] int CommitTransaction() override;

  // Packer output (worker thread): writes to the pipe's write end.
  int Write(const unsigned char* data, unsigned int& size) override;
  // Unpacker input (worker thread): reads from the pipe's read end, at most
  // 2 MiB per call; 5 at the end of the stream.
  int Read(unsigned char* buffer, unsigned int& size) override;

  // Passes `text` to the ILog when there is one; an exception of the ILog is
  // swallowed.
  void LogWrite(LogEvent::ID level, const wchar_t* text) noexcept;
  void LogWrite(LogEvent::ID level, const std::wstring& text) noexcept { LogWrite(level, text.c_str()); }

  // "/" followed by `path` with every "\" replaced by "/".
  static std::string FixPath(const std::string& path);

 private:
  // Closes both ends and makes a new pipe; false when that fails.
  [[nodiscard]] bool CreatePipeForZipData();
  // Closes both ends when open.
  void CloseZipDataPipe();
  // Closes only the write end.
  void FlushAndCloseZipDataPipeWriterEnd();

  int OpenBackup(unsigned int& handle);
  int OpenRestore(unsigned int& handle);
  int CloseBackup();
  int CloseRestore();
  // Stops the worker of the open file, joins it and removes the work folder.
  void Abort();
  // Removes the work folder with its content.
  void RemoveWorkFolder();
  // Forgets the open file (names, mode, pipe).
  void ResetState();

  // Worker bodies; they catch everything.
  void PackWorker();
  void UnpackWorker();
  bool Pack();
  bool Unpack();

  ILog* log_;
  std::string tempRoot_;
  std::string workFolder_;
  std::string backupFile_;  // restore: set by the worker, read after the join
  std::string database_;
  bool backupMode_ = false;
  bool open_ = false;
  bool endOfData_ = false;  // backup: the whole archive was delivered
  // The pipe of a backup (every open makes one). A restore's archive goes
  // from WriteFile to the worker through `archive_` instead, without two
  // copies through the kernel.
  int readFd_ = -1;   // -1: not open. Backup: the caller's
  int writeFd_ = -1;  // -1: not open. Backup: the worker's
  std::thread worker_;
  std::unique_ptr<db2::CArchiveHandoff> archive_;  // restore only; set before the worker starts
  CZipFilter packer_;
  CZipStreamReader unpacker_;
  std::atomic<bool> workerOk_{false};      // the worker's work succeeded
  std::atomic<bool> workerFailed_{false};  // restore worker gave up on the stream
};
