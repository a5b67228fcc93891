#include "plugins/db2/admin/PathRules.h"

#include "zrlib/strings/Strings.h"

namespace db2 {

namespace {

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '@' || c == '#' ||
         c == '$' || c == '_';
}

}  // namespace

bool IsDb2Name(const std::string& name) {
  if (name.empty() || name.size() > 8) return false;
  if ((name[0] >= '0' && name[0] <= '9') || name[0] == '_') return false;
  for (char c : name) {
    if (!IsNameChar(c)) return false;
  }
  return true;
}

bool IsSafeFileName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
  return name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

std::string TempRootFromValue(std::wstring value) {
  // The agent's link ends the folder with one "\\"; it is a separator, not part of the name.
  if (!value.empty() && value.back() == L'\\') value.pop_back();
  if (value.find(L'\\') != std::wstring::npos) return "/tmp/";
  std::string root = ZRLib::strings::toAstr(value);
  if (root.empty()) return "/tmp/";
  if (root.back() != '/') root += '/';
  return root;
}

}  // namespace db2
