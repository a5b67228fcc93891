// The one way an exception that must not pass (a plug-in call, a servant
// upcall, a worker thread) becomes a log line and a result code.
//
//   return zr::Guard(log_, L"Fatal error occurred while reading the file", [&] {
//     return plugin->ReadFile(buffer, size, handle);
//   });

#pragma once

#include <string>
#include <type_traits>
#include <utility>

#include "plugin-api/ILog.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

// Writes `text` at `level` to `log`. A null log, a null text or a log that
// throws loses the line and nothing else: reporting a failure must not become
// a failure of its own.
// Thread: any the log accepts.
inline void WriteLogLine(ILog* log, LogEvent::ID level, const wchar_t* text) noexcept {
  if (log == nullptr || text == nullptr) return;
  try {
    log->Write(level, text);
  } catch (...) {
  }
}

inline void WriteLogLine(ILog* log, LogEvent::ID level, const std::wstring& text) noexcept {
  WriteLogLine(log, level, text.c_str());
}

namespace boundary {

// The line of a boundary, made inside its handler: a fixed text for every
// exception (null: no line), or a function returning the text (empty: no
// line). The function may rethrow (`throw;`) to tell kinds of exception apart.
inline std::wstring LineOf(const wchar_t* text) { return text != nullptr ? text : L""; }
template <class Describe, class = std::enable_if_t<std::is_invocable_r_v<std::wstring, const Describe&>>>
std::wstring LineOf(const Describe& describe) {
  return describe();
}

struct NoAction {
  void operator()() const noexcept {}
};

}  // namespace boundary

// Runs `work()` and returns what it returns. An exception of any kind stops
// here: the line `line` gives (see boundary::LineOf) goes to `log` at
// LogEvent::Error, then `onFailure()` runs, still inside the handler, then
// `failure` is returned. Never throws: an exception from the log, from making
// the line or from `onFailure` is dropped.
template <class Result, class Line, class Work, class OnFailure = boundary::NoAction>
[[nodiscard]] Result Guard(ILog* log, const Line& line, Result failure, Work&& work,
                           OnFailure&& onFailure = {}) noexcept {
  try {
    return std::forward<Work>(work)();
  } catch (...) {
    try {
      const std::wstring text = boundary::LineOf(line);
      if (!text.empty()) WriteLogLine(log, LogEvent::Error, text);
    } catch (...) {
    }
    try {
      onFailure();
    } catch (...) {
    }
    return failure;
  }
}

// The common case: `work` returns a result code and an exception gives kFailed.
template <class Line, class Work>
[[nodiscard]] int Guard(ILog* log, const Line& line, Work&& work) noexcept {
  static_assert(std::is_same_v<std::invoke_result_t<Work&>, int>, "work returns a result code");
  return Guard(log, line, kFailed, std::forward<Work>(work));
}

// For work without a result (a destructor's clean-up): an exception only
// leaves its line.
template <class Line, class Work>
void GuardVoid(ILog* log, const Line& line, Work&& work) noexcept {
  (void)Guard(log, line, 0, [&] {
    std::forward<Work>(work)();
    return 0;
  });
}

}  // namespace zr
