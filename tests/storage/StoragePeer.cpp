#include "tests/storage/StoragePeer.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/plugins/PluginControl.h"

namespace zrtest {

void WriteAgentSettings(const std::filesystem::path& home, bool useDeltaCopying) {
  const std::filesystem::path folder = home / ".ze7" / "Settings" / "Services";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "workstation.zrl")
      << "<?xml version=\"1.0\"?>\n<link>\n\t<header>\n\t\t<related_object>Workstation</related_object>\n"
         "\t</header>\n\t<parameters>\n\t\t<param name=\"Name\">storagetest</param>\n"
         "\t\t<param name=\"UseDeltaCopying\">"
      << (useDeltaCopying ? "yes" : "no") << "</param>\n\t</parameters>\n</link>\n";
}

StoragePeer::StoragePeer(const std::filesystem::path& base, bool useDeltaCopying)
    : base_(base), root_(base / "root"), calls_(base / "calls.txt") {
  std::filesystem::create_directories(root_);
  std::filesystem::create_directories(base / "Plugins");
  std::filesystem::create_directories(base / "home");
  WriteAgentSettings(base / "home", useDeltaCopying);
  InstallLibrary(ZRTEST_FOLDER_PATH, base / "Plugins", "folder.so");
  const std::filesystem::path referenceFile = base / "peer.ior";
  std::filesystem::remove(referenceFile);
  std::ofstream(calls_, std::ios::trunc).close();

  const std::string plugins = (base / "Plugins").string();
  const std::string reference = referenceFile.string();
  const std::string calls = calls_.string();
  const std::string home = (base / "home").string();
  const std::string root = root_.string();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("ZRTEST_FOLDER_ROOT", root.c_str(), 1);
    ::execl(ZR_STORAGE_PEER_EXECUTABLE, "storage_peer", plugins.c_str(), reference.c_str(), calls.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!std::filesystem::exists(referenceFile)) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("storage_peer ended before it served");
    }
    if (std::chrono::steady_clock::now() > deadline) {
      Kill();
      throw std::runtime_error("storage_peer did not come up");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::ifstream(referenceFile) >> reference_;
}

StoragePeer::~StoragePeer() { Kill(); }

ZavediDedozozuriz::IDLBackupDataWrite_ptr StoragePeer::Writer(CORBA::ORB_ptr orb) const {
  CORBA::Object_var object = orb->string_to_object(reference_.c_str());
  return ZavediDedozozuriz::IDLBackupDataWrite::_narrow(object);
}

namespace {

// True when every thread of `pid` is stopped.
bool AllThreadsStopped(pid_t pid) {
  std::error_code error;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  bool any = false;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream stat(task.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) return false;
    const char state = line[close + 2];
    if (state != 'T' && state != 't') return false;
    any = true;
  }
  return any;
}

}  // namespace

void StoragePeer::Pause() {
  if (pid_ <= 0 || ::kill(pid_, SIGSTOP) != 0) return;
  paused_ = true;
  // The stop reaches each thread on its own; wait until none can still serve.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!AllThreadsStopped(pid_) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void StoragePeer::Resume() {
  if (pid_ > 0 && ::kill(pid_, SIGCONT) == 0) paused_ = false;
}

void StoragePeer::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  if (paused_) ::kill(pid_, SIGCONT);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  paused_ = false;
}

int StoragePeer::WorkerCount() const {
  std::ifstream in(calls_.string() + ".workers");
  int count = -1;
  in >> count;
  return in ? count : -1;
}

std::vector<StoragePeer::Call> StoragePeer::Calls() const {
  std::vector<Call> calls;
  std::ifstream in(calls_);
  Call call;
  while (in >> call.operation >> call.handle >> call.bytes) calls.push_back(call);
  return calls;
}

void StoragePeer::ClearCalls() const { std::ofstream(calls_, std::ios::trunc).close(); }

}  // namespace zrtest
