#include "agent/service/ArgumentList.h"

#include "agent/service/CommonException.h"

namespace zr {

CArgumentList::CArgumentList(const CArgumentList& other) : m_items(other.m_items) { RebuildView(); }

CArgumentList& CArgumentList::operator=(const CArgumentList& other) {
  if (this != &other) {
    m_items = other.m_items;
    RebuildView();
  }
  return *this;
}

bool CArgumentList::Fill(const std::list<std::wstring>& arguments) {
  m_items = arguments;
  RebuildView();
  return true;
}

bool CArgumentList::GetOption(const std::wstring& option, std::wstring& value) const {
  for (auto it = m_items.begin(); it != m_items.end(); ++it) {
    if (*it != option) continue;
    auto next = std::next(it);
    if (next == m_items.end()) return false;
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
  m_items.push_back(option);
  m_pointers.push_back(m_items.back().c_str());
  if (value != nullptr) {
    m_items.push_back(*value);
    m_pointers.push_back(m_items.back().c_str());
  }
}

void CArgumentList::Clear() {
  m_items.clear();
  m_pointers.clear();
}

void CArgumentList::RebuildView() {
  m_pointers.clear();
  m_pointers.reserve(m_items.size());
  for (const std::wstring& item : m_items) m_pointers.push_back(item.c_str());
}

}  // namespace zr
