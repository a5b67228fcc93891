// DB2 administrative calls the plug-in makes: instance name, database
// directory, backup and restore through a local folder.
//
// Progress and reports of failed calls go to the standard output. Results: 0
// success, 1 failure (a negative SQLCODE). Calls come from one thread at a time.
#pragma once

#include <string>
#include <vector>

#include "plugins/db2/standin/Db2Api.h"

class InInfo {
 public:
  // Stores the current instance name, trailing blanks removed (an all-blank
  // name becomes empty), in `name` (at least 9 bytes; empty on failure).
  [[nodiscard]] int CurrentLocalInstanceNameGet(char* name);

  // Appends the alias of every entry of the system database directory, in
  // directory order, and prints each entry. The scan is closed whenever it
  // was opened, also after a failed read.
  [[nodiscard]] int ListLocalDatabases(std::vector<std::string>& aliases);

  // Backs `database` up into the existing `folder` (one image file). The
  // message text of the final status, ending with a line end when the client
  // gave one, goes into `message` (kDb2MessageSize bytes, zeroed first).
  [[nodiscard]] int Backup(const char* database, const char* folder, char* message);

  // Restores `database` from the image in `folder`. When the restore fails and
  // the database is not in the directory, creates it and tries once more.
  // `message` as for Backup.
  [[nodiscard]] int Restore(const char* database, const char* folder, char* message);
};
