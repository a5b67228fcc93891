#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ZavediDedozozuriz.hh"

namespace zrtest {

// What one wsagent run gets.
struct AgentOptions {
  // Settings file keys written before the start (Name at least).
  std::map<std::wstring, std::wstring> settings;
  // Arguments after argv[0].
  std::vector<std::string> arguments;
  // Library files copied into the folder bound over /usr/lib/zr/Plugins/.
  std::vector<std::string> plugins;
  // Extra environment variables.
  std::map<std::string, std::string> environment;
  // Empty plain files made under HOME before the start (paths relative to it).
  std::vector<std::string> homeFiles;
};

// Runs the wsagent program as a child in a private mount namespace: a temporary
// folder of its own is bound over /usr/lib/zr/Plugins/, /usr/lib/zr/Filters/ and
// /etc/ze7/Settings/Services/ (the mount points are created when missing), HOME is a
// temporary folder holding the settings file, OMNIORB_CONFIG an empty file. stdout
// and stderr go to files. The destructor kills a child that still runs, reaps it and
// removes the folder; the child is also killed when the test process dies.
class AgentProcess {
 public:
  // Empty when a private mount namespace can be made here; otherwise why not.
  static std::string WhyNoNamespace();

  explicit AgentProcess(const AgentOptions& options);
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  pid_t Pid() const { return pid_; }
  const std::filesystem::path& Home() const { return home_; }
  std::filesystem::path LogPath() const;
  std::filesystem::path SettingsPath() const;

  // The agent's log file as text (UTF-8 decoded); empty when missing.
  std::wstring Log() const;
  // The log's lines with "[...] " time stamps replaced by "[T] ".
  std::vector<std::wstring> LogLines() const;
  std::string Stdout() const;
  std::string Stderr() const;
  // The settings file as text.
  std::string Settings() const;

  // Waits until the log holds `text` (`count` times at least).
  bool WaitForLog(const std::wstring& text, std::chrono::milliseconds timeout, size_t count = 1) const;
  void Signal(int signal) const;
  // Waits for the exit; the exit code, or -1 on time-out, -2 when killed by a signal.
  int WaitExit(std::chrono::milliseconds timeout);

 private:
  std::filesystem::path folder_;
  std::filesystem::path home_;
  std::wstring name_;
  pid_t pid_ = -1;
  int exitCode_ = -1;
};

// Runs nameclt against the naming service at 127.0.0.1:`port`; returns its exit
// code and puts its stdout into `output`.
int RunNameclt(int port, const std::vector<std::string>& arguments, std::string* output = nullptr);

// "QuorvaneTessarine.context/" + name + ".workstation"
std::string WorkstationNamePath(const std::string& name);

// A name no other test uses: prefix + pid + counter.
std::string UniqueName(const std::string& prefix);

// Options for an agent named `name` against the naming service on 127.0.0.1:`port`,
// listening on 127.0.0.1.
AgentOptions LoopbackAgent(const std::string& name, int port);

// The workstation bound as `name` in the naming service at `corbaloc`, through
// `orb`; the caller owns it. Throws the naming service's exception when not bound.
ZavediDedozozuriz::Workstation_ptr ResolveWorkstation(CORBA::ORB_ptr orb, const std::string& corbaloc,
                                                      const std::string& name);

}  // namespace zrtest
