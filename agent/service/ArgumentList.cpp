#include "agent/service/ArgumentList.h"

#include "agent/service/CommonException.h"

namespace zr {

CArgumentList::CArgumentList(const CArgumentList& other) : items_(other.items_) { RebuildView(); }

CArgumentList& CArgumentList::operator=(const CArgumentList& other) {
  if (this != &other) {
    items_ = other.items_;
    RebuildView();
  }
  return *this;
}

bool CArgumentList::Fill(const std::list<std::wstring>& arguments) {
  items_ = arguments;
  RebuildView();
  return true;
}

bool CArgumentList::GetOption(const std::wstring& option, std::wstring& value) const {
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (*it != option) continue;
    auto next = std::next(it);
    if (next == items_.end()) return false;
    value = *next;
    return true;
  }
  return false;
}

namespace {
bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
}  // namespace

void CArgumentList::ParseParameters(const std::wstring& text) {
  size_t pos = 0;
  const size_t size = text.size();
  while (pos < size) {
    if (IsBlank(text[pos])) {
      ++pos;
      continue;
    }
    const wchar_t first = text[pos];
    if (first == L'"' || first == L'\'') {
      const size_t close = text.find(first, pos + 1);
      if (close == std::wstring::npos) {
        RebuildView();
        throw CCommonException(L"Closing single or double quotes is not found in the parameter string.");
      }
      Append(text.substr(pos + 1, close - pos - 1));
      pos = close + 1;
      continue;
    }
    size_t end = pos;
    while (end < size && !IsBlank(text[end])) ++end;
    Append(text.substr(pos, end - pos));
    pos = end;
  }
  RebuildView();
}

void CArgumentList::Append(const std::wstring& option, const std::wstring* value) {
  items_.push_back(option);
  pointers_.push_back(items_.back().c_str());
  if (value != nullptr) {
    items_.push_back(*value);
    pointers_.push_back(items_.back().c_str());
  }
}

void CArgumentList::Clear() {
  items_.clear();
  pointers_.clear();
}

void CArgumentList::RebuildView() {
  pointers_.clear();
  pointers_.reserve(items_.size());
  for (const std::wstring& item : items_) pointers_.push_back(item.c_str());
}

}  // namespace zr
