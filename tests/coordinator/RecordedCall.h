#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zrtest {

// One request that reached the test Coordinator: the IDL operation or
// attribute name and its arguments as text (numbers in decimal).
struct RecordedCall {
  std::string operation;
  std::vector<std::wstring> args;

  bool operator==(const RecordedCall& other) const {
    return operation == other.operation && args == other.args;
  }
};

// Printable ASCII form of a wide text: characters 0x20..0x7e stand for
// themselves except "\", which becomes "\\"; every other character becomes
// "\u{HEX}". The result holds no tab and no line end.
std::string EscapeText(const std::wstring& text);

// Inverse of EscapeText. Returns false on a malformed escape.
bool UnescapeText(const std::string& escaped, std::wstring& text);

// A call as one line of a record file (no line end): the operation, then
// each escaped argument, separated by tabs.
std::string FormatCall(const RecordedCall& call);

// Parses a line made by FormatCall. Returns false when it is malformed.
bool ParseCall(const std::string& line, RecordedCall& call);

// Every complete line of a record file, in order. A last line without its
// line end (still being written) is left out; a missing file gives none.
std::vector<RecordedCall> ReadRecordFile(const std::filesystem::path& path);

}  // namespace zrtest
