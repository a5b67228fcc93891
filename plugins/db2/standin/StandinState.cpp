#include "plugins/db2/standin/StandinState.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace db2standin {

namespace {

void CopyToken(char* dst, size_t room, const std::string& src) {
  const size_t n = std::min(room - 1, src.size());
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

}  // namespace

const char* StateFor(int code) {
  switch (code) {
    case 0: return "00000";
    case DB2_SQL_DB_NOT_FOUND: return "42705";
    case DB2_SQL_DB_EXISTS: return "42710";
    case DB2_SQL_BAD_PATH: return "58031";
    case DB2_SQL_NOT_STARTED: return "57019";
    default: return code < 0 ? "58004" : "01000";
  }
}

void SetStatus(sqlca* ca, int code, const std::string& token) {
  ca->sqlcode = code;
  CopyToken(ca->sqlstate, sizeof(ca->sqlstate), StateFor(code));
  CopyToken(ca->sqlerrmc, sizeof(ca->sqlerrmc), token);
}

fs::path Root() {
  const char* root = std::getenv(DB2_STANDIN_ROOT_ENV);
  return root == nullptr ? fs::path() : fs::path(root);
}

fs::path DatabasesDir(const fs::path& root) { return root / "databases"; }

std::string FoldName(const std::string& name) {
  std::string out = name;
  while (!out.empty() && (out.back() == ' ' || out.back() == '\n' || out.back() == '\r')) out.pop_back();
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool CurrentInstance(const fs::path& root, std::string& name) {
  std::ifstream in(root / "instance");
  if (!in) return false;
  std::string line;
  std::getline(in, line);
  name = FoldName(line);
  return true;
}

bool TakeInjectedFailure(const fs::path& root, const char* call, sqlca* ca) {
  const fs::path file = root / "fail";
  std::ifstream in(file);
  if (!in) return false;
  std::vector<std::string> lines;
  std::string line;
  bool hit = false;
  int code = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name;
    int sqlcode = 0;
    long count = -1;
    if (!hit && (fields >> name >> sqlcode) && name == call) {
      if (!(fields >> count)) count = -1;
      if (count != 0) {
        hit = true;
        code = sqlcode;
        if (count > 0) --count;
        std::ostringstream rule;
        rule << name << ' ' << sqlcode;
        if (count >= 0) rule << ' ' << count;
        lines.push_back(rule.str());
        continue;
      }
    }
    lines.push_back(line);
  }
  in.close();
  if (!hit) return false;
  std::ofstream out(file, std::ios::trunc);
  for (const std::string& l : lines) out << l << '\n';
  SetStatus(ca, code, call);
  return true;
}

std::string MessageFor(const sqlca& ca) {
  const int code = ca.sqlcode;
  const std::string token = ca.sqlerrmc;
  std::string text;
  switch (code) {
    case 0: return "SQL0000W  The command completed successfully.";
    case DB2_SQL_DB_NOT_FOUND:
      text = "The database alias name or database name \"" + token + "\" could not be found.";
      break;
    case DB2_SQL_DB_EXISTS: text = "The database alias \"" + token + "\" already exists."; break;
    case DB2_SQL_BAD_PATH: text = "The path \"" + token + "\" is not valid."; break;
    case DB2_SQL_NO_IMAGE: text = "No single backup image of \"" + token + "\" was found."; break;
    case DB2_SQL_BAD_IMAGE: text = "The backup image \"" + token + "\" is not valid."; break;
    case DB2_SQL_TOO_MANY_SCANS: text = "Too many database directory scans are open."; break;
    case DB2_SQL_BAD_HANDLE: text = "The directory scan handle is not valid."; break;
    case DB2_SQL_NO_INSTANCE: text = "There is no current instance."; break;
    case DB2_SQL_BAD_NODE: text = "The instance \"" + token + "\" was not found."; break;
    case DB2_SQL_NOT_ATTACHED: text = "There is no instance attachment."; break;
    case DB2_SQL_NOT_STARTED: text = "The database manager has not been started."; break;
    default: text = "The call \"" + token + "\" failed."; break;
  }
  char prefix[32];
  std::snprintf(prefix, sizeof(prefix), "SQL%04d%c  ", code < 0 ? -code : code, code < 0 ? 'N' : 'W');
  return prefix + text;
}

}  // namespace db2standin
