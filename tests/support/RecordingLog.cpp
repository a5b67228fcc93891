#include "tests/support/RecordingLog.h"

#include <stdexcept>

#include "tests/support/WideText.h"

namespace zrtest {

void RecordingLog::Write(LogEvent::ID level, const wchar_t* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back({level, text != nullptr ? text : L""});
}

std::vector<RecordingLog::Line> RecordingLog::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::wstring> RecordingLog::Texts() const {
  std::vector<std::wstring> texts;
  for (const Line& line : Lines()) texts.push_back(line.text);
  return texts;
}

std::size_t RecordingLog::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_.size();
}

void RecordingLog::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

bool RecordingLog::Contains(const std::wstring& part) const {
  for (const Line& line : Lines())
    if (line.text.find(part) != std::wstring::npos) return true;
  return false;
}

bool RecordingLog::Has(LogEvent::ID level, const std::wstring& part) const {
  for (const Line& line : Lines())
    if (line.level == level && line.text.find(part) != std::wstring::npos) return true;
  return false;
}

bool RecordingLog::HasLine(LogEvent::ID level, const std::wstring& text) const {
  return Count(level, text) > 0;
}

int RecordingLog::Count(LogEvent::ID level, const std::wstring& text) const {
  int count = 0;
  for (const Line& line : Lines())
    if (line.level == level && line.text == text) ++count;
  return count;
}

std::wstring RecordingLog::All() const {
  std::wstring out;
  for (const Line& line : Lines()) out += std::to_wstring(line.level) + L": " + line.text + L"\n";
  return out;
}

std::string RecordingLog::AllNarrow() const { return Narrow(All()); }

void ThrowingLog::Write(LogEvent::ID, const wchar_t*) {
  if (armed) throw std::runtime_error("log is gone");
}

}  // namespace zrtest
