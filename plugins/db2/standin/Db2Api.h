// DB2 client calls used by the DB2 plug-in, as a plain C interface.
//
// This is the stand-in client library of this project: it keeps the state of
// one DB2 instance in a folder named by the environment variable
// ZR_DB2_STANDIN_ROOT, so that the plug-in and its tests run without a DB2
// installation. Layout of the root folder:
//   instance             text file: the current instance name (missing: no instance)
//   databases/<ALIAS>/   one folder per database; its files are the database content
//   fail                 optional failure injection, one rule per line:
//                          <call name> <sqlcode> [<count>]
//                        the named call then fails with that SQLCODE (count times,
//                        or every time when no count is given). The rule
//                        "db2Backup-unreadable 0" makes db2Backup succeed but
//                        leave a folder in place of the image file.
//
// Every call that takes a status block fills it and returns its SQLCODE
// (0 success, negative error, positive warning). Names are folded to upper case.
// All calls are serialised by one lock; any thread may call them.
#pragma once

#include <stdint.h>

#if defined(DB2STANDIN_BUILDING)
#define DB2_API __attribute__((visibility("default")))
#else
#define DB2_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The API version every versioned call expects.
#define DB2_VERSION_900 9000000

// Environment variable that names the state folder.
#define DB2_STANDIN_ROOT_ENV "ZR_DB2_STANDIN_ROOT"

// Most directory scans one process may hold open at a time.
#define DB2_MAX_OPEN_SCANS 8

// SQLCODEs the stand-in reports by itself.
#define DB2_SQL_NOT_STARTED (-1032)     // no root folder configured
#define DB2_SQL_DB_NOT_FOUND (-1013)    // unknown database alias
#define DB2_SQL_DB_EXISTS (-1005)       // database alias already in use
#define DB2_SQL_BAD_PATH (-2036)        // target or source folder missing
#define DB2_SQL_NO_IMAGE (-2542)        // no (single) backup image in the folder
#define DB2_SQL_BAD_IMAGE (-2530)       // backup image unreadable
#define DB2_SQL_TOO_MANY_SCANS (-1029)  // more than DB2_MAX_OPEN_SCANS open scans
#define DB2_SQL_BAD_HANDLE (-1031)      // unknown scan handle or read past the end
#define DB2_SQL_NO_INSTANCE (-1390)     // no current instance
#define DB2_SQL_BAD_NODE (-1097)        // attach to an instance that is not there
#define DB2_SQL_NOT_ATTACHED (-1427)    // detach without attach
#define DB2_SQL_BAD_VERSION (-2032)     // version or parameter block not valid
#define DB2_SQL_IO_ERROR (-2044)        // file system failure

// Status block of every call.
struct sqlca {
  int32_t sqlcode;    // 0 success, < 0 error, > 0 warning
  char sqlstate[6];   // five characters and a terminator
  char sqlerrmc[71];  // message token (e.g. the name concerned), zero-terminated
};

// Location list of a backup or restore.
struct db2MediaList {
  char locationType;  // 'L': local folders
  uint32_t numLocations;
  char** locations;
};

struct db2BackupParams {
  const char* databaseAlias;
  struct db2MediaList* mediaList;
  uint32_t callerAction;
  uint32_t bufferSize;
  uint32_t numBuffers;
  uint32_t parallelism;
  uint32_t options;
  uint32_t utilImpactPriority;
  void* tablespaceList;
  const char* userName;
  const char* password;
  void* vendorOptions;
  const char* compressionLibrary;
  void* compressionOptions;
};

struct db2RestoreParams {
  const char* sourceAlias;
  const char* targetAlias;
  const char* timestamp;
  const char* targetPath;
  const char* reportFile;
  void* tablespaceList;
  struct db2MediaList* mediaList;
  const char* userName;
  const char* password;
  const char* newLogPath;
  void* vendorOptions;
  uint32_t parallelism;
  uint32_t bufferSize;
  uint32_t numBuffers;
  uint32_t callerAction;
  uint32_t options;
  const char* compressionLibrary;
  void* compressionOptions;
  const char* logTarget;
  void* storagePaths;
  const char* redirectScript;
};

// One entry of the system database directory. Text fields are blank-padded to
// their width and not terminated.
struct db2DbDirEntry {
  char alias[8];
  char dbname[8];
  char drive[215];
  char intname[8];
  char nodename[8];
  char dbtype[20];
  char comment[30];
  char type;                // '0' indirect, '1' remote, '2' home, '3' dce
  uint16_t authentication;  // 0 server, 1 client, 2 dcs
};

struct db2DbDirOpenScanParams {
  const char* path;     // in: null for the system database directory
  uint16_t handle;      // out
  uint16_t numEntries;  // out
};

struct db2DbDirNextEntryParams {
  uint16_t handle;              // in
  struct db2DbDirEntry* entry;  // out: valid until the next call on this handle
};

struct db2DbDirCloseScanParams {
  uint16_t handle;  // in
};

// Copies the current instance name, blank-padded to 8 characters and
// terminated, into `name` (at least 9 bytes).
DB2_API int sqlegins_api(char* name, struct sqlca* ca);

// Attaches to instance `node` (must be the current instance); user and password
// may be empty or null.
DB2_API int sqleatin_api(const char* node, const char* user, const char* password, struct sqlca* ca);

// Ends the attachment made by sqleatin_api.
DB2_API int sqledtin_api(struct sqlca* ca);

// Opens a scan of the system database directory.
DB2_API int db2DbDirOpenScan(uint32_t version, struct db2DbDirOpenScanParams* params, struct sqlca* ca);

// Returns the next entry of an open scan.
DB2_API int db2DbDirGetNextEntry(uint32_t version, struct db2DbDirNextEntryParams* params, struct sqlca* ca);

// Closes an open scan and frees its handle.
DB2_API int db2DbDirCloseScan(uint32_t version, struct db2DbDirCloseScanParams* params, struct sqlca* ca);

// Writes exactly one backup image of the database into the (existing) first
// location folder, named <ALIAS>.0.<INSTANCE>.DBPART000.<yyyymmddhhmmss>.001.
DB2_API int db2Backup(uint32_t version, struct db2BackupParams* params, struct sqlca* ca);

// Replaces the content of the (existing) database with the single image of it
// found in the first location folder.
DB2_API int db2Restore(uint32_t version, struct db2RestoreParams* params, struct sqlca* ca);

// Creates an empty database. Arguments after the name are accepted and unused.
DB2_API int sqlecrea_api(const char* dbName, const char* localAlias, const char* path, void* descriptor,
                         void* territoryInfo, char reserved, void* descriptorExt, struct sqlca* ca);

// Puts the message text of the status block, ending with a line end, into
// `buffer` (terminated, cut to fit). Returns the text length, or a negative
// value when no text was written.
DB2_API int sqlaintp_api(char* buffer, int16_t size, int16_t lineWidth, const char* messageFile,
                         struct sqlca* ca);

// Puts the text for a five-character SQLSTATE into `buffer` (terminated, cut to
// fit). Returns the text length, or a negative value when no text was written.
DB2_API int sqlogstt(char* buffer, int16_t size, int16_t lineWidth, const char* sqlstate);

#ifdef __cplusplus
}
#endif
