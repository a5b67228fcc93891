#include "tests/agent/AgentProcess.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "agent/data/SettingsDocument.h"
#include "zrlib/strings/Strings.h"

extern char** environ;

namespace zrtest {
namespace fs = std::filesystem;
namespace {

// The shape of a log line's time stamp, "[2026-Dec-09 14:59:00] ": 'd' a
// digit, 'A' an upper-case and 'a' a lower-case letter, anything else itself.
const std::wstring kStamp = L"[dddd-Aaa-dd dd:dd:dd] ";

bool HasTimeStamp(const std::wstring& line) {
  if (line.size() < kStamp.size()) return false;
  for (size_t i = 0; i < kStamp.size(); ++i) {
    const wchar_t c = line[i];
    const wchar_t want = kStamp[i];
    const bool ok = want == L'd'   ? (c >= L'0' && c <= L'9')
                    : want == L'A' ? (c >= L'A' && c <= L'Z')
                    : want == L'a' ? (c >= L'a' && c <= L'z')
                                   : c == want;
    if (!ok) return false;
  }
  return true;
}

const char* const kBoundFolders[][2] = {{"plugins", "/usr/lib/zr/Plugins"},
                                        {"filters", "/usr/lib/zr/Filters"},
                                        {"etc", "/etc/ze7/Settings/Services"}};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

fs::path MakeTempFolder() {
  std::string pattern = (fs::temp_directory_path() / "wsagent-test-XXXXXX").string();
  if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

// Child side between fork and exec: only system calls.
[[noreturn]] void ExecInNamespace(const fs::path& folder, const std::vector<std::string>& argv,
                                  const std::vector<std::string>& env, const std::string& out,
                                  const std::string& err, const std::vector<std::string>& sources) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (unshare(CLONE_NEWNS) != 0) _exit(126);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(126);
  for (size_t i = 0; i < sources.size(); ++i) {
    if (mount(sources[i].c_str(), kBoundFolders[i][1], nullptr, MS_BIND, nullptr) != 0) _exit(126);
  }
  const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (outFd < 0 || errFd < 0) _exit(126);
  dup2(outFd, 1);
  dup2(errFd, 2);
  const int nullFd = open("/dev/null", O_RDONLY);
  if (nullFd >= 0) dup2(nullFd, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (chdir(folder.c_str()) != 0) _exit(126);
  execve(args[0], args.data(), envp.data());
  _exit(127);
}

std::vector<std::string> ChildEnvironment(const fs::path& home, const fs::path& config,
                                          const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> values;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const size_t equals = entry.find('=');
    if (equals != std::string::npos) values[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  values["HOME"] = home.string();
  values["OMNIORB_CONFIG"] = config.string();
  for (const auto& [key, value] : extra) values[key] = value;
  std::vector<std::string> env;
  for (const auto& [key, value] : values) env.push_back(key + "=" + value);
  return env;
}

}  // namespace

std::string AgentProcess::WhyNoNamespace() {
  const pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0) _exit(1);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(2);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    for (const auto& bound : kBoundFolders) {
      std::error_code error;
      fs::create_directories(bound[1], error);
      if (!fs::is_directory(bound[1])) return std::string("cannot create the mount point ") + bound[1];
    }
    return {};
  }
  return "no private mount namespace here (unshare -m needs CAP_SYS_ADMIN)";
}

AgentProcess::AgentProcess(const AgentOptions& options) : folder_(MakeTempFolder()), home_(folder_ / "home") {
  fs::create_directories(home_);
  std::vector<std::string> sources;
  for (const auto& bound : kBoundFolders) {
    fs::create_directories(folder_ / bound[0]);
    fs::create_directories(bound[1]);
    sources.push_back((folder_ / bound[0]).string());
  }
  for (const std::string& plugin : options.plugins) {
    fs::copy_file(plugin, folder_ / "plugins" / fs::path(plugin).filename());
  }
  const fs::path config = folder_ / "omniORB.cfg";
  { std::ofstream empty(config); }

  zr::SettingsDocument document;
  bool written = document.Create() && document.SetHeaderValue(L"version", zr::SettingsDocument::kVersion);
  for (const auto& [key, value] : options.settings) written = written && document.SetParam(key, value);
  fs::create_directories(SettingsPath().parent_path());
  written = written && document.SaveFile(ZRLib::strings::UTF8toWstr(SettingsPath().string()));
  if (!written) throw std::runtime_error("cannot write the settings file");
  for (const std::string& file : options.homeFiles) {
    fs::create_directories((home_ / file).parent_path());
    std::ofstream(home_ / file);
  }
  const auto name = options.settings.find(L"Name");
  if (name != options.settings.end()) name_ = name->second;

  std::vector<std::string> argv{ZR_WSAGENT_EXECUTABLE};
  argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());
  const std::vector<std::string> env = ChildEnvironment(home_, config, options.environment);
  const std::string out = (folder_ / "stdout").string();
  const std::string err = (folder_ / "stderr").string();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) ExecInNamespace(folder_, argv, env, out, err, sources);
}

AgentProcess::~AgentProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

fs::path AgentProcess::SettingsPath() const { return home_ / ".ze7/Settings/Services/workstation.zrl"; }

fs::path AgentProcess::LogPath() const {
  return home_ / ".ze7/logs" / ("ws." + ZRLib::strings::WstrToUTF8(name_) + ".log");
}

std::wstring AgentProcess::Log() const { return ZRLib::strings::UTF8toWstr(ReadFile(LogPath())); }

std::vector<std::wstring> AgentProcess::LogLines() const {
  std::vector<std::wstring> lines;
  std::wistringstream in(Log());
  std::wstring line;
  while (std::getline(in, line)) {
    lines.push_back(HasTimeStamp(line) ? L"[T] " + line.substr(kStamp.size()) : line);
  }
  return lines;
}

std::string AgentProcess::Stdout() const { return ReadFile(folder_ / "stdout"); }
std::string AgentProcess::Stderr() const { return ReadFile(folder_ / "stderr"); }
std::string AgentProcess::Settings() const { return ReadFile(SettingsPath()); }

bool AgentProcess::WaitForLog(const std::wstring& text, std::chrono::milliseconds timeout,
                              size_t count) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::wstring log = Log();
    size_t found = 0;
    for (size_t at = log.find(text); at != std::wstring::npos; at = log.find(text, at + text.size())) ++found;
    if (found >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void AgentProcess::Signal(int signal) const {
  if (pid_ > 0) kill(pid_, signal);
}

int AgentProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return exitCode_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
      return exitCode_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int RunNameclt(int port, const std::vector<std::string>& arguments, std::string* output) {
  std::string command =
      "OMNIORB_CONFIG=/dev/null nameclt -ior corbaloc::127.0.0.1:" + std::to_string(port) + "/NameService";
  for (const std::string& a : arguments) command += " '" + a + "'";
  command += " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
  const int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string WorkstationNamePath(const std::string& name) {
  return "QuorvaneTessarine.context/" + name + ".workstation";
}

AgentOptions LoopbackAgent(const std::string& name, int port) {
  AgentOptions options;
  options.settings[L"Name"] = std::wstring(name.begin(), name.end());
  options.arguments = {"--CoordinatorHost",  "127.0.0.1", "--CoordinatorPort",
                       std::to_string(port), "-h",        "127.0.0.1"};
  return options;
}

ZavediDedozozuriz::Workstation_ptr ResolveWorkstation(CORBA::ORB_ptr orb, const std::string& corbaloc,
                                                      const std::string& name) {
  CORBA::Object_var object = orb->string_to_object(corbaloc.c_str());
  CosNaming::NamingContext_var root = CosNaming::NamingContext::_narrow(object);
  CosNaming::Name path;
  path.length(2);
  path[0].id = CORBA::string_dup("QuorvaneTessarine");
  path[0].kind = CORBA::string_dup("context");
  path[1].id = CORBA::string_dup(name.c_str());
  path[1].kind = CORBA::string_dup("workstation");
  CORBA::Object_var bound = root->resolve(path);
  return ZavediDedozozuriz::Workstation::_narrow(bound);
}

std::string UniqueName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + std::to_string(getpid()) + "n" + std::to_string(counter++);
}

}  // namespace zrtest
