// test_coordinator: the test Coordinator as a process, for end-to-end tests.
//
//   test_coordinator --ior-file PATH [--record-file PATH] [--login TEXT]
//                    [--workstation IOR]... [--storage PATH ANSWER]...
//                    [--parameter FOLDER LINK NAME VALUE]...
//                    [--header FOLDER LINK NAME VALUE]...
//                    [--naming CORBALOC NAME] [--hang OPERATION]...
//                    [--orb OPTION VALUE]...
//   test_coordinator --drive CORBALOC NAME [--login TEXT] STEP...
//     STEP: --open | --list PATH | --backup PATH FILE | --restore FILE PATH
//           | --compare FOLDER FOLDER | --close
//
// TEXT arguments use the escapes of EscapeText ("\u{1f600}", "\\"). Once
// serving, it writes "session IOR", "log IOR" and "progress IOR" lines to the
// IOR file (complete when it appears) and, with --naming, binds the Session
// under NAME. Every call is appended to the record file; a call of a --hang
// OPERATION is recorded and then never answered while the process serves. It
// serves until
// SIGTERM or SIGINT, or until its parent process ends, and then exits 0.
//
// With --drive it plays the Coordinator for one scripted session instead: it
// finds the workstation NAME in the naming service at CORBALOC, runs the steps
// in order (PATH is the agent's path, "\\" separated; FILE and FOLDER are local),
// prints what happened with timings and progress, and exits 0 when every step
// succeeded, 1 otherwise.
#include <signal.h>
#include <sys/prctl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "tests/coordinator/RecordedCall.h"
#include "tests/coordinator/ScriptedSession.h"
#include "tests/coordinator/TestCoordinator.h"
#include "tests/coordinator/TestOrb.h"

namespace {

struct LinkValue {
  zrtest::CoordinatorState::LinkTable table;
  std::wstring folder, link, name, value;
};

struct Options {
  std::string iorFile;
  std::string recordFile;
  bool hasLogin = false;
  std::wstring login;
  std::vector<std::string> workstations;
  std::vector<std::pair<std::wstring, std::wstring>> storage;
  std::vector<LinkValue> linkValues;
  std::string namingCorbaloc;
  std::string namingName;
  std::vector<std::string> hang;
  zrtest::OrbOptions orb;
  std::string driveCorbaloc;
  std::string driveName;
  std::vector<zrtest::ScriptStep> steps;
};

bool ParseArgs(int argc, char** argv, Options& options) {
  std::vector<std::string> args(argv + 1, argv + argc);
  auto text = [](const std::string& escaped, std::wstring& out) {
    return zrtest::UnescapeText(escaped, out);
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    auto has = [&](size_t n) { return i + n < args.size(); };
    if (flag == "--ior-file" && has(1)) {
      options.iorFile = args[++i];
    } else if (flag == "--record-file" && has(1)) {
      options.recordFile = args[++i];
    } else if (flag == "--login" && has(1)) {
      options.hasLogin = true;
      if (!text(args[++i], options.login)) return false;
    } else if (flag == "--workstation" && has(1)) {
      options.workstations.push_back(args[++i]);
    } else if (flag == "--storage" && has(2)) {
      std::wstring path, answer;
      if (!text(args[i + 1], path) || !text(args[i + 2], answer)) return false;
      options.storage.emplace_back(path, answer);
      i += 2;
    } else if ((flag == "--parameter" || flag == "--header") && has(4)) {
      LinkValue value{flag == "--parameter" ? zrtest::CoordinatorState::LinkTable::kParameters
                                            : zrtest::CoordinatorState::LinkTable::kHeaders,
                      {},
                      {},
                      {},
                      {}};
      if (!text(args[i + 1], value.folder) || !text(args[i + 2], value.link) ||
          !text(args[i + 3], value.name) || !text(args[i + 4], value.value)) {
        return false;
      }
      options.linkValues.push_back(value);
      i += 4;
    } else if (flag == "--naming" && has(2)) {
      options.namingCorbaloc = args[i + 1];
      options.namingName = args[i + 2];
      i += 2;
    } else if (flag == "--hang" && has(1)) {
      options.hang.push_back(args[++i]);
    } else if (flag == "--drive" && has(2)) {
      options.driveCorbaloc = args[i + 1];
      options.driveName = args[i + 2];
      i += 2;
    } else if (flag == "--open" || flag == "--close") {
      options.steps.push_back(
          {flag == "--open" ? zrtest::ScriptStep::Kind::kOpen : zrtest::ScriptStep::Kind::kClose,
           {},
           {},
           {}});
    } else if (flag == "--list" && has(1)) {
      zrtest::ScriptStep step{zrtest::ScriptStep::Kind::kList, {}, {}, {}};
      if (!text(args[++i], step.path)) return false;
      options.steps.push_back(step);
    } else if (flag == "--backup" && has(2)) {
      zrtest::ScriptStep step{zrtest::ScriptStep::Kind::kBackup, {}, args[i + 2], {}};
      if (!text(args[i + 1], step.path)) return false;
      options.steps.push_back(step);
      i += 2;
    } else if (flag == "--restore" && has(2)) {
      zrtest::ScriptStep step{zrtest::ScriptStep::Kind::kRestore, {}, args[i + 1], {}};
      if (!text(args[i + 2], step.path)) return false;
      options.steps.push_back(step);
      i += 2;
    } else if (flag == "--compare" && has(2)) {
      options.steps.push_back({zrtest::ScriptStep::Kind::kCompare, {}, args[i + 1], args[i + 2]});
      i += 2;
    } else if (flag == "--orb" && has(2)) {
      options.orb.emplace_back(args[i + 1], args[i + 2]);
      i += 2;
    } else {
      return false;
    }
  }
  return !options.iorFile.empty() || !options.driveName.empty();
}

// Writes the file under a temporary name and renames it, so that a reader
// never sees it half written.
bool WriteIorFile(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << content;
    out.flush();
    if (!out) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

CosNaming::Name NamingName(const std::string& text) {
  CosNaming::Name name;
  name.length(1);
  name[0].id = CORBA::string_dup(text.c_str());
  name[0].kind = CORBA::string_dup("");
  return name;
}

// The scripted mode: finds the workstation and runs the steps against it.
int Drive(CORBA::ORB_ptr orb, const Options& options, zrtest::TestCoordinator& coordinator) {
  CORBA::Object_var obj = orb->string_to_object(options.driveCorbaloc.c_str());
  CosNaming::NamingContext_var naming = CosNaming::NamingContext::_narrow(obj);
  CosNaming::Name name;
  name.length(2);
  name[0].id = CORBA::string_dup("QuorvaneTessarine");
  name[0].kind = CORBA::string_dup("context");
  name[1].id = CORBA::string_dup(options.driveName.c_str());
  name[1].kind = CORBA::string_dup("workstation");
  CORBA::Object_var bound = naming->resolve(name);
  ZavediDedozozuriz::Workstation_var workstation = ZavediDedozozuriz::Workstation::_narrow(bound);
  if (CORBA::is_nil(workstation)) {
    std::cerr << "test_coordinator: " << options.driveName << " is no workstation\n";
    return 1;
  }
  std::cout << "workstation " << options.driveName << " found in the naming service\n";
  Tessarine::Session_var session = coordinator.Session();
  Tessarine::Log_var log = coordinator.Log();
  return zrtest::RunScript(workstation, session, log, options.steps, std::cout) ? 0 : 1;
}

// Holds the upcalls of the hanging operations until Release.
class Hang {
 public:
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return released_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool released_ = false;  // guarded by mutex_
};

int Serve(CORBA::ORB_ptr orb, const Options& options, const sigset_t& stop_signals) {
  Hang hang;
  zrtest::TestCoordinator coordinator(orb, options.recordFile);
  zrtest::CoordinatorState& state = coordinator.State();
  // Released before the Coordinator goes: its POA waits for running upcalls.
  struct ReleaseAtEnd {
    Hang& hang;
    ~ReleaseAtEnd() { hang.Release(); }
  } releaseAtEnd{hang};
  if (!options.hang.empty()) {
    state.SetUpcallObserver([&hang, operations = options.hang](const std::string& operation) {
      if (std::find(operations.begin(), operations.end(), operation) != operations.end()) hang.Wait();
    });
  }
  if (options.hasLogin) state.SetLogin(options.login);
  for (const std::string& ior : options.workstations) {
    CORBA::Object_var obj = orb->string_to_object(ior.c_str());
    ZavediDedozozuriz::Workstation_var workstation = ZavediDedozozuriz::Workstation::_unchecked_narrow(obj);
    state.AddWorkstation(workstation);
  }
  for (const auto& [path, answer] : options.storage) state.SetDataStorage(path, answer);
  for (const LinkValue& value : options.linkValues) {
    state.SetLinkValue(value.table, value.folder, value.link, value.name, value.value);
  }

  Tessarine::Session_var session = coordinator.Session();
  if (!options.driveName.empty()) return Drive(orb, options, coordinator);
  CosNaming::NamingContext_var naming;
  if (!options.namingCorbaloc.empty()) {
    CORBA::Object_var obj = orb->string_to_object(options.namingCorbaloc.c_str());
    naming = CosNaming::NamingContext::_narrow(obj);
    if (CORBA::is_nil(naming)) {
      std::cerr << "test_coordinator: " << options.namingCorbaloc << " is no naming context\n";
      return 1;
    }
    naming->rebind(NamingName(options.namingName), session);
  }

  Tessarine::Log_var log = coordinator.Log();
  Tessarine::OperationProgress_var progress = coordinator.Progress();
  CORBA::String_var session_ior = orb->object_to_string(session);
  CORBA::String_var log_ior = orb->object_to_string(log);
  CORBA::String_var progress_ior = orb->object_to_string(progress);
  const std::string content = std::string("session ") + session_ior.in() + "\nlog " + log_ior.in() +
                              "\nprogress " + progress_ior.in() + "\n";
  if (!WriteIorFile(options.iorFile, content)) {
    std::cerr << "test_coordinator: cannot write " << options.iorFile << "\n";
    return 1;
  }

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);

  if (!CORBA::is_nil(naming)) {
    try {
      naming->unbind(NamingName(options.namingName));
    } catch (const CORBA::Exception&) {
      // The naming service may be gone already.
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Stop with the test that started us, even when it crashes.
  prctl(PR_SET_PDEATHSIG, SIGTERM);

  // Taken by sigwait below; blocked before the ORB starts its threads.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  Options options;
  if (!ParseArgs(argc, argv, options)) {
    std::cerr << "usage: test_coordinator --ior-file PATH [--record-file PATH] [--login TEXT]\n"
                 "         [--workstation IOR]... [--storage PATH ANSWER]...\n"
                 "         [--parameter FOLDER LINK NAME VALUE]... [--header FOLDER LINK NAME VALUE]...\n"
                 "         [--naming CORBALOC NAME] [--hang OPERATION]... [--orb OPTION VALUE]...\n"
                 "       test_coordinator --drive CORBALOC NAME [--login TEXT] STEP...\n"
                 "         STEP: --open | --list PATH | --backup PATH FILE | --restore FILE PATH\n"
                 "               | --compare FOLDER FOLDER | --close\n";
    return 2;
  }

  // One thread per connection keeps oneway calls (Log::Write) in order.
  zrtest::OrbOptions orb_options = {{"maxServerThreadPerConnection", "1"}};
  orb_options.insert(orb_options.end(), options.orb.begin(), options.orb.end());
  int result = 1;
  try {
    CORBA::ORB_var orb = zrtest::InitTestOrb(orb_options);
    try {
      result = Serve(orb, options, stop_signals);
    } catch (const CORBA::Exception& e) {
      std::cerr << "test_coordinator: CORBA exception " << e._name() << "\n";
    } catch (const std::exception& e) {
      std::cerr << "test_coordinator: " << e.what() << "\n";
    }
    orb->destroy();
  } catch (const CORBA::Exception& e) {
    std::cerr << "test_coordinator: cannot start the ORB: " << e._name() << "\n";
  }
  return result;
}
