// Byte-for-character conversions for test texts. They copy each byte to one
// wide character and back, so they suit ASCII and byte-exact round trips;
// code under test converts with libZRLib's UTF-8 functions instead.

#pragma once

#include <string>

namespace zrtest {

inline std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// A received wide string (a CORBA::WChar* is a wchar_t*); null reads as empty.
inline std::wstring Wide(const wchar_t* text) {
  return text != nullptr ? std::wstring(text) : std::wstring();
}

// Keeps the low byte of each character.
inline std::string Narrow(const std::wstring& text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (wchar_t c : text) narrow.push_back(static_cast<char>(c));
  return narrow;
}

}  // namespace zrtest
