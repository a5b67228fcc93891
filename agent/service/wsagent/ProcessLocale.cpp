#include "agent/service/wsagent/ProcessLocale.h"

#include <locale>
#include <stdexcept>

namespace zr {

std::string SetProcessLocale() {
  for (const char* name : {"", "C.UTF-8"}) {
    try {
      const std::locale chosen(name);
      std::locale::global(chosen);
      return chosen.name();
    } catch (const std::runtime_error&) {
      // Not installed: try the next one.
    }
  }
  std::locale::global(std::locale::classic());
  return "C";
}

}  // namespace zr
