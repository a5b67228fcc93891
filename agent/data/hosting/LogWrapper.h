// The agent's ILog: forwards log lines of plug-ins, filters and the copy path
// to the Coordinator's log object of the session.

#pragma once

#include <mutex>

#include "TessarineCommon.hh"
#include "plugin-api/ILog.h"

namespace zr {

class CLogWrapper final : public ILog {
 public:
  // Longest text WriteFormat passes on; longer expansions are cut.
  static constexpr int kMaxTextLength = 511;

  // Takes over `log` (may be nil: then every write does nothing).
  explicit CLogWrapper(Tessarine::Log_ptr log);
  ~CLogWrapper();

  CLogWrapper(const CLogWrapper&) = delete;
  CLogWrapper& operator=(const CLogWrapper&) = delete;

  // Sends `text` (null counts as empty) with the level mapped to the remote
  // event. Never throws: a line the Coordinator cannot take (it went away,
  // the connection broke) is dropped.
  // Thread: any; calls are serialised.
  void Write(LogEvent::ID level, const wchar_t* text) override;

  // Formats as vswprintf does and writes the first kMaxTextLength characters
  // of the expansion. Does nothing when the log is nil.
  void WriteFormat(LogEvent::ID level, const wchar_t* format, ...);

  // The remote event for a plug-in level: Warning, Error and Debug map to
  // their namesakes, everything else to Info.
  static Tessarine::IDLLogEvent ToEvent(LogEvent::ID level);

 private:
  std::mutex mutex_;  // serialises the remote calls on log_
  Tessarine::Log_var log_;
};

}  // namespace zr
