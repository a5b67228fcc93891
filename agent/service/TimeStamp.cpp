#include "agent/service/TimeStamp.h"

#include <cwchar>

namespace zr {

std::wstring FormatTimeStamp(const std::tm& localTime) {
  static const wchar_t* const kMonths[12] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                             L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
  const int month = localTime.tm_mon >= 0 && localTime.tm_mon < 12 ? localTime.tm_mon : 0;
  wchar_t buffer[64];
  std::swprintf(buffer, sizeof(buffer) / sizeof(buffer[0]), L"%04d-%ls-%02d %02d:%02d:%02d",
                localTime.tm_year + 1900, kMonths[month], localTime.tm_mday, localTime.tm_hour,
                localTime.tm_min, localTime.tm_sec);
  return buffer;
}

std::wstring TimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return FormatTimeStamp(local);
}

void WriteTimeStampedLine(std::wostream& out, const std::wstring& text) {
  out << L"[" << TimeStamp() << L"] " << text << std::endl;
}

}  // namespace zr
