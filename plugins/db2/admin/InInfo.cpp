#include "plugins/db2/admin/InInfo.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>

#include "plugins/db2/admin/SqlInfo.h"

namespace {

const char kFile[] = "ininfo.cpp";

// The field's characters up to its width or a zero byte.
std::string Field(const char* field, size_t width) { return std::string(field, strnlen(field, width)); }

bool SameAlias(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string TrimBlanks(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

void PrintEntry(const db2DbDirEntry& e) {
  std::printf("\n    database alias       : %s\n", Field(e.alias, sizeof(e.alias)).c_str());
  std::printf("    database name        : %s\n", Field(e.dbname, sizeof(e.dbname)).c_str());
  std::printf("    database drive       : %s\n", Field(e.drive, sizeof(e.drive)).c_str());
  std::printf("    database subdirectory: %s\n", Field(e.intname, sizeof(e.intname)).c_str());
  std::printf("    node name            : %s\n", Field(e.nodename, sizeof(e.nodename)).c_str());
  std::printf("    database release type: %s\n", Field(e.dbtype, sizeof(e.dbtype)).c_str());
  std::printf("    database comment     : %s\n", Field(e.comment, sizeof(e.comment)).c_str());
  switch (e.type) {
    case '0': std::printf("    database entry type  : indirect\n"); break;
    case '1': std::printf("    database entry type  : remote\n"); break;
    case '2': std::printf("    database entry type  : home\n"); break;
    case '3': std::printf("    database entry type  : dce\n"); break;
    default: break;
  }
  switch (e.authentication) {
    case 0: std::printf("    authentication       : SERVER\n"); break;
    case 1: std::printf("    authentication       : CLIENT\n"); break;
    case 2: std::printf("    authentication       : DCS\n"); break;
    default: break;
  }
}

// One local folder as the media list of a backup or restore.
struct LocalMedia {
  explicit LocalMedia(const char* folder) : path(folder), locations{&path[0]}, list{'L', 1, locations} {}
  std::string path;
  char* locations[1];
  db2MediaList list;
};

}  // namespace

int InInfo::CurrentLocalInstanceNameGet(char* name) {
  std::memset(name, 0, 9);
  sqlca ca{};
  sqlegins_api(name, &ca);
  SqlInfo::SqlInfoPrint("CurrentLocalInstanceName -- Get", &ca, 75, kFile);
  if (ca.sqlcode < 0) {
    name[0] = '\0';
    return 1;
  }
  name[8] = '\0';
  for (int i = 7; i >= 0 && (name[i] == ' ' || name[i] == '\0'); --i) name[i] = '\0';
  return 0;
}

int InInfo::ListLocalDatabases(std::vector<std::string>& aliases) {
  sqlca ca{};
  db2DbDirOpenScanParams open{};
  open.path = nullptr;
  db2DbDirOpenScan(DB2_VERSION_900, &open, &ca);
  SqlInfo::SqlInfoPrint("Database Directory -- Open", &ca, 436, kFile);
  if (ca.sqlcode < 0) return 1;

  std::printf("\n  Read the database directory.\n");
  int result = 0;
  for (uint16_t i = 0; i < open.numEntries; ++i) {
    db2DbDirNextEntryParams next{};
    next.handle = open.handle;
    db2DbDirGetNextEntry(DB2_VERSION_900, &next, &ca);
    SqlInfo::SqlInfoPrint("Database Directory -- Read", &ca, 449, kFile);
    if (ca.sqlcode < 0 || next.entry == nullptr) {
      result = 1;
      break;
    }
    try {
      aliases.push_back(TrimBlanks(Field(next.entry->alias, sizeof(next.entry->alias))));
    } catch (const std::exception&) {
      result = 1;
      break;
    }
    PrintEntry(*next.entry);
  }

  // Closed on every path: an open scan holds one of the client's few handles.
  sqlca closeCa{};
  db2DbDirCloseScanParams close{};
  close.handle = open.handle;
  db2DbDirCloseScan(DB2_VERSION_900, &close, &closeCa);
  SqlInfo::SqlInfoPrint("Database Directory -- Close", &closeCa, 531, kFile);
  if (closeCa.sqlcode < 0) result = 1;
  return result;
}

int InInfo::Backup(const char* database, const char* folder, char* message) {
  std::memset(message, 0, kDb2MessageSize);
  try {
    LocalMedia media(folder);
    db2BackupParams params{};
    params.databaseAlias = database;
    params.mediaList = &media.list;
    params.callerAction = 3;
    params.bufferSize = 128;
    params.numBuffers = 4;
    params.parallelism = 1;
    params.options = 0x400;
    params.utilImpactPriority = 2;
    sqlca ca{};
    db2Backup(DB2_VERSION_900, &params, &ca);
    Db2MessageText(message, kDb2MessageSize, &ca);
    SqlInfo::SqlInfoPrint("Backup DB2", &ca, 922, kFile);
    return ca.sqlcode < 0 ? 1 : 0;
  } catch (const std::exception&) {
    return 1;
  }
}

int InInfo::Restore(const char* database, const char* folder, char* message) {
  std::memset(message, 0, kDb2MessageSize);
  try {
    LocalMedia media(folder);
    db2RestoreParams params{};
    params.sourceAlias = database;
    params.mediaList = &media.list;
    params.parallelism = 1;
    params.bufferSize = 128;
    params.numBuffers = 4;
    params.callerAction = 3;
    params.options = 0x200;
    sqlca ca{};
    db2Restore(DB2_VERSION_900, &params, &ca);
    if (ca.sqlcode < 0) {
      Db2MessageText(message, kDb2MessageSize, &ca);
      std::printf("Failed to restore nicely:%s\n", message);
      std::vector<std::string> aliases;
      if (ListLocalDatabases(aliases) != 0) {
        std::printf("Database directory listing failed.\n");
      }
      // Aliases are case-insensitive; the directory holds them in upper case.
      bool known = false;
      for (const std::string& alias : aliases) known = known || SameAlias(alias, database);
      if (!known) {
        sqlca create{};
        sqlecrea_api(database, nullptr, nullptr, nullptr, nullptr, 0, nullptr, &create);
        SqlInfo::SqlInfoPrint("Create database", &create, 990, kFile);
        if (create.sqlcode < 0) {
          ca = create;  // nothing to restore into: the creation's status is the final one
        } else {
          db2Restore(DB2_VERSION_900, &params, &ca);
        }
      }
    }
    Db2MessageText(message, kDb2MessageSize, &ca);
    SqlInfo::SqlInfoPrint("Restore DB2", &ca, 1003, kFile);
    return ca.sqlcode < 0 ? 1 : 0;
  } catch (const std::exception&) {
    return 1;
  }
}
