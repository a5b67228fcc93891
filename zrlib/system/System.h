#pragma once

// Host and user names. None of these fail: a name that cannot be read or
// converted with toWstr gives an empty string. Safe from any thread.

#include <string>

#include "zrlib/ZRLibExport.h"

namespace ZRLib {
namespace system {

// The host name (gethostname) as wide text.
ZRLIB_API std::wstring GetComputerNetworkName();

// The login name of the effective user from the password database.
ZRLIB_API std::wstring GetCurrentUserName();

// The same value as GetCurrentUserName().
ZRLIB_API std::wstring GetCurrentUserAndDomain();

// Clears both, sets user to GetCurrentUserName(); domain stays empty.
// True when user is not empty.
ZRLIB_API bool GetCurrentUserAndDomain(std::wstring& user, std::wstring& domain);

}  // namespace system
}  // namespace ZRLib
