// ILink test double: answers from a map and records what is stored.

#pragma once

#include <map>
#include <string>
#include <utility>

#include "plugin-api/ILog.h"

namespace zrtest {

class MapLink : public ILink {
 public:
  MapLink() = default;
  explicit MapLink(std::map<std::wstring, std::wstring> initial) : values(std::move(initial)) {}
  virtual ~MapLink() = default;

  bool GetValue(const wchar_t* name, std::wstring& value) override {
    const auto it = values.find(name);
    if (it == values.end()) return false;
    value = it->second;
    return true;
  }
  // Stores the value unless `readOnly`; then the call fails.
  bool SetValue(const wchar_t* name, const std::wstring& value) override {
    if (readOnly) return false;
    values[name] = value;
    return true;
  }

  std::map<std::wstring, std::wstring> values;
  bool readOnly = false;
};

}  // namespace zrtest
