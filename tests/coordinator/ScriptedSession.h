#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "Tessarine.hh"
#include "ZavediDedozozuriz.hh"

namespace zrtest {

// One step of a scripted session, run in order by RunScript.
struct ScriptStep {
  enum class Kind {
    kOpen,     // Workstation::OpenSession with the Coordinator's session and log
    kList,     // read interface GetListing(path); prints the entries
    kBackup,   // reads remote `path` through the read interface into local `file`
    kRestore,  // writes local `file` to remote `path` through the write interface
    kCompare,  // compares two local folders, file by file and byte by byte
    kClose,    // Workstation::CloseSession
  };
  Kind kind;
  std::wstring path;  // remote path (kList, kBackup, kRestore)
  std::string file;   // local file (kBackup, kRestore) or first folder (kCompare)
  std::string other;  // second folder (kCompare)
};

// Runs `steps` against `workstation` as the Coordinator would, printing one line per
// step with its result and time, and a progress line while data moves. True when
// every step succeeded; the first failing step ends the script (a session it opened
// is still closed).
bool RunScript(ZavediDedozozuriz::Workstation_ptr workstation, Tessarine::Session_ptr session,
               Tessarine::Log_ptr log, const std::vector<ScriptStep>& steps, std::ostream& out);

}  // namespace zrtest
