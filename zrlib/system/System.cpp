#include "zrlib/system/System.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>
#include <vector>

#include "zrlib/strings/Strings.h"

namespace ZRLib {
namespace system {

namespace {

// A name the locale cannot convert is reported as an empty name.
std::wstring ToWide(const char* name) {
  std::wstring wide;
  return strings::toWstrOrEscaped(name, wide) ? wide : std::wstring();
}

}  // namespace

std::wstring GetComputerNetworkName() {
  // Room for the longest host name Linux allows and its terminator.
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof(name)) != 0) return std::wstring();
  name[HOST_NAME_MAX] = '\0';
  return ToWide(name);
}

std::wstring GetCurrentUserName() {
  // getpwuid_r keeps this safe from any thread.
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr || found->pw_name == nullptr) return std::wstring();
    return ToWide(found->pw_name);
  }
}

std::wstring GetCurrentUserAndDomain() { return GetCurrentUserName(); }

bool GetCurrentUserAndDomain(std::wstring& user, std::wstring& domain) {
  user.clear();
  domain.clear();
  user = GetCurrentUserName();
  return !user.empty();
}

}  // namespace system
}  // namespace ZRLib
