#include "tests/coordinator/CoordinatorProcess.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zrtest {

namespace {

using Clock = std::chrono::steady_clock;

// Reads the "key IOR" lines of a complete IOR file; false while it is absent.
bool ReadIors(const std::filesystem::path& path, std::string& session, std::string& log,
              std::string& progress) {
  std::ifstream in(path);
  if (!in) return false;
  std::string key, ior;
  while (in >> key >> ior) {
    if (key == "session")
      session = ior;
    else if (key == "log")
      log = ior;
    else if (key == "progress")
      progress = ior;
  }
  return !session.empty() && !log.empty() && !progress.empty();
}

// Waits for `pid` up to `timeout`; true when it was reaped, with its status.
bool WaitExit(pid_t pid, std::chrono::milliseconds timeout, int& status) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

CoordinatorProcess::CoordinatorProcess(CORBA::ORB_ptr orb, const std::filesystem::path& folder,
                                       const CoordinatorProcessOptions& options)
    : orb_(CORBA::ORB::_duplicate(orb)), recordFile_(folder / "coordinator-calls.txt") {
  const std::filesystem::path ior_file = folder / "coordinator-iors.txt";
  std::filesystem::remove(ior_file);
  std::filesystem::remove(recordFile_);

  std::vector<std::string> args = {ZR_TEST_COORDINATOR_EXECUTABLE, "--ior-file", ior_file.string(),
                                   "--record-file", recordFile_.string()};
  if (options.hasLogin) {
    args.insert(args.end(), {"--login", EscapeText(options.login)});
  }
  for (const std::string& ior : options.workstationIors) {
    args.insert(args.end(), {"--workstation", ior});
  }
  for (const auto& [path, answer] : options.storage) {
    args.insert(args.end(), {"--storage", EscapeText(path), EscapeText(answer)});
  }
  for (const auto& value : options.linkValues) {
    args.insert(
        args.end(),
        {value.table == CoordinatorState::LinkTable::kParameters ? "--parameter" : "--header",
         EscapeText(value.folder), EscapeText(value.link), EscapeText(value.name), EscapeText(value.value)});
  }
  if (!options.namingCorbaloc.empty()) {
    args.insert(args.end(), {"--naming", options.namingCorbaloc, options.namingName});
  }
  for (const std::string& operation : options.hang) args.insert(args.end(), {"--hang", operation});
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start test_coordinator");
  }
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!ReadIors(ior_file, sessionIor_, logIor_, progressIor_)) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("test_coordinator ended before publishing its references");
    }
    if (Clock::now() >= deadline) {
      Stop();
      throw std::runtime_error("test_coordinator did not publish its references in time");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

CoordinatorProcess::~CoordinatorProcess() { Stop(); }

bool CoordinatorProcess::Stop() {
  if (pid_ <= 0) return exitedCleanly_;
  int status = 0;
  kill(pid_, SIGTERM);
  if (!WaitExit(pid_, std::chrono::seconds(30), status)) {
    kill(pid_, SIGKILL);
    WaitExit(pid_, std::chrono::seconds(5), status);
    status = -1;
  }
  pid_ = -1;
  exitedCleanly_ = status == 0;
  return exitedCleanly_;
}

Tessarine::Session_ptr CoordinatorProcess::Session() const {
  CORBA::Object_var obj = orb_->string_to_object(sessionIor_.c_str());
  return Tessarine::Session::_narrow(obj);
}

Tessarine::Log_ptr CoordinatorProcess::Log() const {
  CORBA::Object_var obj = orb_->string_to_object(logIor_.c_str());
  return Tessarine::Log::_narrow(obj);
}

Tessarine::OperationProgress_ptr CoordinatorProcess::Progress() const {
  CORBA::Object_var obj = orb_->string_to_object(progressIor_.c_str());
  return Tessarine::OperationProgress::_narrow(obj);
}

std::vector<RecordedCall> CoordinatorProcess::Calls() const { return ReadRecordFile(recordFile_); }

std::vector<RecordedCall> CoordinatorProcess::Calls(const std::string& operation) const {
  std::vector<RecordedCall> calls;
  for (RecordedCall& call : Calls()) {
    if (call.operation == operation) calls.push_back(std::move(call));
  }
  return calls;
}

bool CoordinatorProcess::WaitForCalls(const std::string& operation, size_t count,
                                      std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (Calls(operation).size() >= count) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace zrtest
