#include "plugins/db2/standin/Db2Api.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "plugins/db2/standin/StandinImage.h"
#include "plugins/db2/standin/StandinState.h"

namespace fs = std::filesystem;
using namespace db2standin;

namespace {

struct Scan {
  std::vector<std::string> aliases;
  size_t next = 0;
  db2DbDirEntry entry{};
};

std::mutex g_mutex;                // guards everything below
std::map<uint16_t, Scan> g_scans;  // open directory scans by handle
std::string g_attached;            // instance of the current attachment, empty when none

void Pad(char* field, size_t width, const std::string& value) {
  std::memset(field, ' ', width);
  std::memcpy(field, value.data(), std::min(width, value.size()));
}

// A valid stand-in database name: 1-8 characters, no path characters.
bool IsName(const std::string& name) {
  if (name.empty() || name.size() > 8) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '@' && c != '#' && c != '$' && c != '_') {
      return false;
    }
  }
  return true;
}

// Common prologue: status block present, root configured, no injected failure.
// Returns false with the status set when the call must end.
bool Begin(const char* call, sqlca* ca, fs::path& root) {
  root = Root();
  std::error_code ec;
  if (root.empty() || !fs::is_directory(root, ec)) {
    SetStatus(ca, DB2_SQL_NOT_STARTED, call);
    return false;
  }
  SetStatus(ca, 0);
  return !TakeInjectedFailure(root, call, ca);
}

bool CheckVersion(uint32_t version, const void* params, const char* call, sqlca* ca) {
  if (version < DB2_VERSION_900 || params == nullptr) {
    SetStatus(ca, DB2_SQL_BAD_VERSION, call);
    return false;
  }
  return true;
}

bool DatabaseExists(const fs::path& root, const std::string& alias) {
  std::error_code ec;
  return IsName(alias) && fs::is_directory(DatabasesDir(root) / alias, ec);
}

std::string Timestamp() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  char text[16];
  std::strftime(text, sizeof(text), "%Y%m%d%H%M%S", &parts);
  return text;
}

// The single local folder of a media list, or empty when the list is not one.
std::string LocalFolder(const db2MediaList* media) {
  if (media == nullptr || media->locationType != 'L' || media->numLocations < 1 ||
      media->locations == nullptr || media->locations[0] == nullptr) {
    return std::string();
  }
  return media->locations[0];
}

int Finish(sqlca* ca) { return ca->sqlcode; }

}  // namespace

extern "C" {

int sqlegins_api(char* name, struct sqlca* ca) {
  if (ca == nullptr || name == nullptr) return DB2_SQL_BAD_VERSION;
  std::lock_guard<std::mutex> lock(g_mutex);
  fs::path root;
  if (!Begin("sqlegins_api", ca, root)) return Finish(ca);
  std::string instance;
  if (!CurrentInstance(root, instance)) {
    SetStatus(ca, DB2_SQL_NO_INSTANCE);
    return Finish(ca);
  }
  Pad(name, 8, instance);
  name[8] = '\0';
  return Finish(ca);
}

int sqleatin_api(const char* node, const char* user, const char* password, struct sqlca* ca) {
  (void)user;
  (void)password;
  if (ca == nullptr) return DB2_SQL_BAD_VERSION;
  std::lock_guard<std::mutex> lock(g_mutex);
  fs::path root;
  if (!Begin("sqleatin_api", ca, root)) return Finish(ca);
  std::string instance;
  const std::string wanted = FoldName(node == nullptr ? "" : node);
  if (!CurrentInstance(root, instance) || instance.empty() || wanted != instance) {
    SetStatus(ca, DB2_SQL_BAD_NODE, wanted);
    return Finish(ca);
  }
  g_attached = instance;
  return Finish(ca);
}

int sqledtin_api(struct sqlca* ca) {
  if (ca == nullptr) return DB2_SQL_BAD_VERSION;
  std::lock_guard<std::mutex> lock(g_mutex);
  fs::path root;
  if (!Begin("sqledtin_api", ca, root)) return Finish(ca);
  if (g_attached.empty()) {
    SetStatus(ca, DB2_SQL_NOT_ATTACHED);
    return Finish(ca);
  }
  g_attached.clear();
  return Finish(ca);
}

int db2DbDirOpenScan(uint32_t version, struct db2DbDirOpenScanParams* params, struct sqlca* ca) {
  if (ca == nullptr) return DB2_SQL_BAD_VERSION;
  std::lock_guard<std::mutex> lock(g_mutex);
  fs::path root;
  if (!Begin("db2DbDirOpenScan", ca, root)) return Finish(ca);
  if (!CheckVersion(version, params, "db2DbDirOpenScan", ca)) return Finish(ca);
  if (params->path != nullptr && params->path[0] != '\0') {
    SetStatus(ca, DB2_SQL_BAD_PATH, params->path);
    return Finish(ca);
  }
  if (g_scans.size() >= DB2_MAX_OPEN_SCANS) {
    SetStatus(ca, DB2_SQL_TOO_MANY_SCANS);
    return Finish(ca);
  }
  Scan scan;
  std::error_code ec;
  for (fs::directory_iterator it(DatabasesDir(root), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (it->is_directory() && IsName(name)) scan.aliases.push_back(name);
  }
  std::sort(scan.aliases.begin(), scan.aliases.end());
  uint16_t handle = 1;
  while (g_scans.count(handle) != 0) ++handle;
  params->handle = handle;
  params->numEntries = static_cast<uint16_t>(scan.aliases.size());
  g_scans.emplace(handle, std::move(scan));
  return Finish(ca);
}

int db2DbDirGetNextEntry(uint32_t version, struct db2DbDirNextEntryParams* params, struct sqlca* ca) {
  if (ca == nullptr) return DB2_SQL_BAD_VERSION;
  std::lock_guard<std::mutex> lock(g_mutex);
  fs::path root;
  if (!Begin("db2DbDirGetNextEntry", ca, root)) return Finish(ca);
  if (!CheckVersion(version, params, "db2DbDirGetNextEntry", ca)) return Finish(ca);
  auto it = g_scans.find(params->handle);
  if (it == g_scans.end() || it->second.next >= it->second.aliases.size()) {
    SetStatus(ca, DB2_SQL_BAD_HANDLE);
    return Finish(ca);
  }
  Scan& scan = it->second;
  const std::string& alias = scan.aliases[scan.next++];
  std::string instance;
  CurrentInstance(root, instance);
  db2DbDirEntry& e = scan.entry;
  Pad(e.alias, sizeof(e.alias), alias);
  Pad(e.dbname, sizeof(e.dbname), alias);
  Pad(e.drive, sizeof(e.drive), DatabasesDir(root).string());
  Pad(e.intname, sizeof(e.intname), alias);
  Pad(e.nodename, sizeof(e.nodename), std::string());
  Pad(e.dbtype, sizeof(e.dbtype), "STANDIN");
  Pad(e.comment, sizeof(e.comment), "database of " + instance);
  e.type = '2';
  e.authentication = 0;
  params->entry = &e;
  return Finish(ca);
}

int db2DbDirCloseScan(uint32_t version, struct db2DbDirCloseScanParams* params, struct sqlca* ca) {
  if (ca == nullptr) return DB2_SQL_BAD_VERSION;
  std::lock_guard<std::mutex> lock(g_mutex);
  // A scan is closed even when the call is made to fail, as a client frees its
  // handle on close; an injected failure only changes the status.
  if (params != nullptr) g_scans.erase(params->handle);
  fs::path root;
  if (!Begin("db2DbDirCloseScan", ca, root)) return Finish(ca);
  CheckVersion(version, params, "db2DbDirCloseScan", ca);
  return Finish(ca);
}

int db2Backup(uint32_t version, struct db2BackupParams* params, struct sqlca* ca) {
  if (ca == nullptr) return DB2_SQL_BAD_VERSION;
  std::lock_guard<std::mutex> lock(g_mutex);
  fs::path root;
  if (!Begin("db2Backup", ca, root)) return Finish(ca);
  if (!CheckVersion(version, params, "db2Backup", ca)) return Finish(ca);
  const std::string alias = FoldName(params->databaseAlias == nullptr ? "" : params->databaseAlias);
  if (!DatabaseExists(root, alias)) {
    SetStatus(ca, DB2_SQL_DB_NOT_FOUND, alias);
    return Finish(ca);
  }
  const std::string folder = LocalFolder(params->mediaList);
  std::error_code ec;
  if (folder.empty() || !fs::is_directory(folder, ec)) {
    SetStatus(ca, DB2_SQL_BAD_PATH, folder);
    return Finish(ca);
  }
  std::string instance;
  CurrentInstance(root, instance);
  const fs::path image = fs::path(folder) / (alias + ".0." + instance + ".DBPART000." + Timestamp() + ".001");
  if (fs::exists(image, ec)) {
    SetStatus(ca, DB2_SQL_IO_ERROR, image.string());
    return Finish(ca);
  }
  sqlca unreadable{};
  if (TakeInjectedFailure(root, "db2Backup-unreadable", &unreadable)) {
    // Reports success but leaves an image that cannot be read.
    fs::create_directory(image, ec);
    return Finish(ca);
  }
  if (!WriteImage(DatabasesDir(root) / alias, alias, image)) {
    fs::remove(image, ec);
    SetStatus(ca, DB2_SQL_IO_ERROR, image.string());
  }
  return Finish(ca);
}

int db2Restore(uint32_t version, struct db2RestoreParams* params, struct sqlca* ca) {
  if (ca == nullptr) return DB2_SQL_BAD_VERSION;
  std::lock_guard<std::mutex> lock(g_mutex);
  fs::path root;
  if (!Begin("db2Restore", ca, root)) return Finish(ca);
  if (!CheckVersion(version, params, "db2Restore", ca)) return Finish(ca);
  const std::string alias = FoldName(params->sourceAlias == nullptr ? "" : params->sourceAlias);
  const std::string folder = LocalFolder(params->mediaList);
  std::error_code ec;
  if (folder.empty() || !fs::is_directory(folder, ec)) {
    SetStatus(ca, DB2_SQL_BAD_PATH, folder);
    return Finish(ca);
  }
  std::vector<fs::path> images;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (it->is_regular_file() && !alias.empty() && name.compare(0, alias.size() + 1, alias + ".") == 0) {
      images.push_back(it->path());
    }
  }
  if (images.size() != 1) {
    SetStatus(ca, DB2_SQL_NO_IMAGE, alias);
    return Finish(ca);
  }
  if (!DatabaseExists(root, alias)) {
    SetStatus(ca, DB2_SQL_DB_NOT_FOUND, alias);
    return Finish(ca);
  }
  const int code = RestoreImage(images[0], alias, DatabasesDir(root) / alias);
  if (code != 0) SetStatus(ca, code, images[0].filename().string());
  return Finish(ca);
}

int sqlecrea_api(const char* dbName, const char* localAlias, const char* path, void* descriptor,
                 void* territoryInfo, char reserved, void* descriptorExt, struct sqlca* ca) {
  (void)localAlias;
  (void)path;
  (void)descriptor;
  (void)territoryInfo;
  (void)reserved;
  (void)descriptorExt;
  if (ca == nullptr) return DB2_SQL_BAD_VERSION;
  std::lock_guard<std::mutex> lock(g_mutex);
  fs::path root;
  if (!Begin("sqlecrea_api", ca, root)) return Finish(ca);
  const std::string alias = FoldName(dbName == nullptr ? "" : dbName);
  if (!IsName(alias)) {
    SetStatus(ca, DB2_SQL_BAD_VERSION, alias);
    return Finish(ca);
  }
  if (DatabaseExists(root, alias)) {
    SetStatus(ca, DB2_SQL_DB_EXISTS, alias);
    return Finish(ca);
  }
  std::error_code ec;
  fs::create_directories(DatabasesDir(root) / alias, ec);
  if (ec) SetStatus(ca, DB2_SQL_IO_ERROR, alias);
  return Finish(ca);
}

int sqlaintp_api(char* buffer, int16_t size, int16_t lineWidth, const char* messageFile, struct sqlca* ca) {
  (void)lineWidth;
  (void)messageFile;
  if (buffer == nullptr || size <= 0 || ca == nullptr) return -1;
  std::lock_guard<std::mutex> lock(g_mutex);
  sqlca own{};
  fs::path root = Root();
  if (!root.empty() && TakeInjectedFailure(root, "sqlaintp_api", &own)) return -2;
  const std::string text = MessageFor(*ca) + "\n";
  const size_t n = std::min(static_cast<size_t>(size) - 1, text.size());
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

int sqlogstt(char* buffer, int16_t size, int16_t lineWidth, const char* sqlstate) {
  (void)lineWidth;
  if (buffer == nullptr || size <= 0 || sqlstate == nullptr) return -1;
  std::lock_guard<std::mutex> lock(g_mutex);
  sqlca own{};
  fs::path root = Root();
  if (!root.empty() && TakeInjectedFailure(root, "sqlogstt", &own)) return -2;
  const std::string state(sqlstate, strnlen(sqlstate, 5));
  const std::string cls = state.substr(0, 2);
  const char* meaning = cls == "00"   ? "Successful completion."
                        : cls == "01" ? "Warning."
                        : cls == "42" ? "Syntax error or access rule violation."
                        : cls == "57" ? "Resource not available or operator intervention."
                        : cls == "58" ? "System error."
                                      : "Unknown class.";
  const std::string text = "SQLSTATE " + state + ": " + meaning + "\n";
  const size_t n = std::min(static_cast<size_t>(size) - 1, text.size());
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

}  // extern "C"
