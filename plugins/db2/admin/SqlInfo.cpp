#include "plugins/db2/admin/SqlInfo.h"

#include <cstdio>
#include <cstring>

void LogMessage(int level, const char* format, ...) {
  (void)level;
  (void)format;
}

void Db2MessageText(char* message, int lineWidth, const sqlca* ca) {
  std::memset(message, 0, kDb2MessageSize);
  sqlca copy = *ca;
  // The call may leave the buffer unwritten on failure; the zeroed buffer then
  // stands for "no text".
  sqlaintp_api(message, kDb2MessageSize, static_cast<int16_t>(lineWidth), kDb2MessageFile, &copy);
  message[kDb2MessageSize - 1] = '\0';
}

void SqlInfo::SqlInfoPrint(const char* appMessage, const sqlca* ca, int line, const char* file) {
  const int code = ca->sqlcode;
  if (code == 0 || code == 100) return;
  LogMessage(code < 0 ? 2 : 1, "%s", appMessage);
  std::printf("\napp. message = %s\n", appMessage);
  std::printf("line         = %d\n", line);
  std::printf("file         = %s\n", file);
  std::printf("SQLCODE      = %d\n\n", code);

  char text[kDb2MessageSize];
  Db2MessageText(text, 80, ca);
  std::printf("%s\n", text);

  char state[kDb2MessageSize] = {};
  char sqlstate[6] = {};
  std::memcpy(sqlstate, ca->sqlstate, 5);
  sqlogstt(state, sizeof(state), 80, sqlstate);
  state[sizeof(state) - 1] = '\0';
  std::printf("%s\n", state);

  std::printf("%s\n", code < 0 ? "---- end error report ------------------------"
                               : "---- end warning report ----------------------");
  std::fflush(stdout);
}
