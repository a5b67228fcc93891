// Report of a DB2 status block on the standard output.
#pragma once

#include "plugins/db2/standin/Db2Api.h"

// Size of every DB2 message buffer the helpers use.
inline constexpr int kDb2MessageSize = 1024;
// Message file the DB2 message calls are given.
inline constexpr char kDb2MessageFile[] = "db2sql.mo";

// Logging hook of the reports; does nothing.
void LogMessage(int level, const char* format, ...);

class SqlInfo {
 public:
  // Prints a report of `ca` for a failed or warned call: the application
  // message, line, file, SQLCODE, the message text and the SQLSTATE text.
  // Prints nothing when the SQLCODE is 0 or 100.
  static void SqlInfoPrint(const char* appMessage, const sqlca* ca, int line, const char* file);
};

// Fills `message` (kDb2MessageSize bytes) with the message text of `ca`, as
// wide as `lineWidth`. The buffer is zeroed first, so it always holds a
// terminated (possibly empty) text.
void Db2MessageText(char* message, int lineWidth, const sqlca* ca);
