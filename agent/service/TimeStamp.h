#pragma once

#include <ctime>
#include <ostream>
#include <string>

namespace zr {

// Formats a local calendar time as "2009-Mar-05 14:07:09" (English month names,
// whatever the locale).
std::wstring FormatTimeStamp(const std::tm& localTime);

// The current local time, formatted by FormatTimeStamp.
std::wstring TimeStamp();

// Writes "[" + TimeStamp() + "] " + text and a line end to `out`.
void WriteTimeStampedLine(std::wostream& out, const std::wstring& text);

}  // namespace zr
