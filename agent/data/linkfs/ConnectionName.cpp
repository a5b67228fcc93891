#include "agent/data/linkfs/ConnectionName.h"

#include <cstdint>

namespace zr {
namespace {

bool IsUnprintable(wchar_t c) {
  const auto value = static_cast<uint32_t>(c);
  return value < 0x20 || (value >= 0x7F && value <= 0x9F) || value == 0x2028 || value == 0x2029 ||
         (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF;
}

}  // namespace

bool IsValidConnectionName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  for (wchar_t c : name) {
    if (c == L'/' || c == L'\\' || IsUnprintable(c)) return false;
  }
  return true;
}

std::wstring PrintableConnectionName(const std::wstring& name) {
  std::wstring shown(name);
  for (wchar_t& c : shown) {
    if (IsUnprintable(c)) c = L'?';
  }
  return shown;
}

}  // namespace zr
