// ILog test doubles: one that keeps every line, one that throws on write.

#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "plugin-api/ILog.h"

namespace zrtest {

// Keeps every line written to it. Thread-safe: plug-ins write from their own
// threads.
class RecordingLog : public ILog {
 public:
  struct Line {
    LogEvent::ID level;
    std::wstring text;
    friend bool operator==(const Line& a, const Line& b) { return a.level == b.level && a.text == b.text; }
  };

  RecordingLog() = default;
  virtual ~RecordingLog() = default;

  // A null text is kept as an empty line.
  void Write(LogEvent::ID level, const wchar_t* text) override;

  // A copy of the lines, in the order written.
  std::vector<Line> Lines() const;
  // The texts of the lines, in order.
  std::vector<std::wstring> Texts() const;
  std::size_t Size() const;
  void Clear();

  // True when a line of any level contains `part`.
  bool Contains(const std::wstring& part) const;
  // True when a line of `level` contains `part`.
  bool Has(LogEvent::ID level, const std::wstring& part) const;
  // True when a line of `level` is exactly `text`.
  bool HasLine(LogEvent::ID level, const std::wstring& text) const;
  // Lines of `level` that are exactly `text`.
  int Count(LogEvent::ID level, const std::wstring& text) const;
  // Every line as "<level>: <text>\n", for failure messages.
  std::wstring All() const;
  std::string AllNarrow() const;

 private:
  mutable std::mutex mutex_;  // guards lines_
  std::vector<Line> lines_;
};

// An ILog whose Write throws std::runtime_error while armed (from the start
// unless told otherwise).
class ThrowingLog : public ILog {
 public:
  explicit ThrowingLog(bool armed = true) : armed(armed) {}
  virtual ~ThrowingLog() = default;
  void Write(LogEvent::ID level, const wchar_t* text) override;

  bool armed;
};

}  // namespace zrtest
