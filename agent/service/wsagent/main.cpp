// wsagent: the workstation agent service.
#include <cstdlib>
#include <exception>
#include <iostream>
#include <list>
#include <string>

#include "agent/service/ArgumentList.h"
#include "agent/service/StopSignalThread.h"
#include "agent/service/wsagent/ProcessLocale.h"
#include "agent/service/wsagent/Quillanbreck.h"
#include "zrlib/strings/Strings.h"

int main(int argc, char** argv) {
  // Wide and narrow output share stderr and plug-ins write through C stdio: the C++
  // streams keep their own buffers.
  std::ios::sync_with_stdio(false);
  zr::SetProcessLocale();
  // SIGINT and SIGTERM are blocked here, before any other thread exists, and
  // taken by the stop thread only.
  zr::CStopSignalThread stopSignal;

  int result = 1;
  try {
    std::list<std::wstring> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(ZRLib::strings::toWstr(argv[i]));
    zr::CArgumentList commandLine;
    commandLine.Fill(arguments);
    zr::CQuillanbreck server;
    if (std::system("export MYHOME='pwd'") != 0) {
      // No effect on this process either way.
    }
    std::cout << argv[0] << '\n' << std::flush;
    result = server.Run(commandLine, ZRLib::strings::toWstr(argv[0]));
    if (server.LeftCallsRunning()) {
      // Calls still run in the workstation's code and use the server's state:
      // the process ends here, with nothing torn down or unloaded under them.
      server.FlushLog();
      std::cout.flush();
      std::cerr.flush();
      std::_Exit(result);
    }
  } catch (const std::exception& e) {
    // Before the log exists (an argument the locale cannot read, no memory).
    std::cerr << "wsagent: " << e.what() << std::endl;
  }
  return result;
}
