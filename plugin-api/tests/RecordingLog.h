// Test doubles for the agent's callback objects.

#pragma once

#include <map>
#include <string>
#include <vector>

#include "plugin-api/ILog.h"

namespace plugin_api_test {

// Keeps every line written to it.
class RecordingLog final : public ILog {
 public:
  struct Line {
    LogEvent::ID level;
    std::wstring text;
  };

  void Write(LogEvent::ID level, const wchar_t* text) override {
    lines.push_back({level, text});
  }

  // True when some line contains `part`.
  bool Contains(const std::wstring& part) const {
    for (const Line& line : lines) {
      if (line.text.find(part) != std::wstring::npos) return true;
    }
    return false;
  }

  // The texts of all lines, in order.
  std::vector<std::wstring> Texts() const {
    std::vector<std::wstring> texts;
    for (const Line& line : lines) texts.push_back(line.text);
    return texts;
  }

  std::vector<Line> lines;
};

// Answers from a map and records what is stored.
class MapLink final : public ILink {
 public:
  bool GetValue(const wchar_t* name, std::wstring& value) override {
    auto it = values.find(name);
    if (it == values.end()) return false;
    value = it->second;
    return true;
  }
  bool SetValue(const wchar_t* name, const std::wstring& value) override {
    values[name] = value;
    return true;
  }

  std::map<std::wstring, std::wstring> values;
};

}  // namespace plugin_api_test
