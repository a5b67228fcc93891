// Checks on the names that reach the DB2 plug-in from outside.
#pragma once

#include <string>

namespace db2 {

// True for a DB2 database or instance name: 1 to 8 characters out of letters,
// digits, "@", "#", "$" and "_", not starting with a digit or "_". Such a name
// fits the 8-character fields and is safe as part of a folder name.
bool IsDb2Name(const std::string& name);

// True for a name that is one safe file name component: not empty, not "."
// or "..", no "/", "\" or zero byte, at most 255 bytes.
bool IsSafeFileName(const std::string& name);

// The prefix of work folders for a WSTempPath value: one trailing "\" is
// dropped first (the agent's link appends it); then "/tmp/" for a value still
// holding "\" or an empty one; otherwise the value as narrow text, with a
// "/" appended when it does not end with one. Throws what the narrow
// conversion throws.
std::string TempRootFromValue(std::wstring value);

}  // namespace db2
