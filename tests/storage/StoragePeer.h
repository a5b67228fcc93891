#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ZavediDedozozuriz.hh"

namespace zrtest {

// Writes a settings file below `home` (the per-user file) with a name and
// UseDeltaCopying on or off.
void WriteAgentSettings(const std::filesystem::path& home, bool useDeltaCopying);

// The peer process of the two-process storage tests (storage_peer): its own
// HOME (settings with UseDeltaCopying as given), the folder test plug-in
// ("TestFolder") rooted at Root(), and one IDLBackupDataWrite object.
// The destructor stops the process (continuing it first when stopped).
class StoragePeer {
 public:
  struct Call {
    std::string operation;
    unsigned long handle;
    unsigned long bytes;
  };

  // Starts the process below `base` and waits (up to 20 s) for its reference.
  // Throws std::runtime_error when it does not come up.
  StoragePeer(const std::filesystem::path& base, bool useDeltaCopying);
  ~StoragePeer();
  StoragePeer(const StoragePeer&) = delete;
  StoragePeer& operator=(const StoragePeer&) = delete;

  // A new reference to the peer's write object through `orb`.
  ZavediDedozozuriz::IDLBackupDataWrite_ptr Writer(CORBA::ORB_ptr orb) const;
  // The folder behind "TestFolder\".
  const std::filesystem::path& Root() const { return root_; }
  pid_t Pid() const { return pid_; }
  // SIGSTOP (returns once every thread is stopped), SIGCONT, SIGKILL (and
  // reaped).
  void Pause();
  void Resume();
  void Kill();
  // Delta workers running in the process after its last recorded call;
  // -1 before the first call.
  int WorkerCount() const;
  // Every data call the peer recorded so far, in order.
  std::vector<Call> Calls() const;
  // Forgets the calls recorded so far.
  void ClearCalls() const;

 private:
  std::filesystem::path base_;
  std::filesystem::path root_;
  std::filesystem::path calls_;
  std::string reference_;
  pid_t pid_ = -1;
  bool paused_ = false;
};

}  // namespace zrtest
