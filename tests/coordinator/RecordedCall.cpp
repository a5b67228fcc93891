#include "tests/coordinator/RecordedCall.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <type_traits>

namespace zrtest {

std::string EscapeText(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t ch : text) {
    const auto code = static_cast<unsigned long>(static_cast<std::make_unsigned_t<wchar_t>>(ch));
    if (ch == L'\\') {
      out += "\\\\";
    } else if (code >= 0x20 && code <= 0x7e) {
      out.push_back(static_cast<char>(code));
    } else {
      char buffer[16];
      std::snprintf(buffer, sizeof(buffer), "\\u{%lx}", code);
      out += buffer;
    }
  }
  return out;
}

bool UnescapeText(const std::string& escaped, std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < escaped.size(); ++i) {
    const char ch = escaped[i];
    if (ch != '\\') {
      out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(ch)));
      continue;
    }
    if (i + 1 >= escaped.size()) return false;
    if (escaped[i + 1] == '\\') {
      out.push_back(L'\\');
      ++i;
      continue;
    }
    if (escaped[i + 1] != 'u' || i + 2 >= escaped.size() || escaped[i + 2] != '{') return false;
    const size_t close = escaped.find('}', i + 3);
    if (close == std::string::npos || close == i + 3 || close - (i + 3) > 8) return false;
    unsigned long code = 0;
    for (size_t j = i + 3; j < close; ++j) {
      const char digit = escaped[j];
      int value;
      if (digit >= '0' && digit <= '9')
        value = digit - '0';
      else if (digit >= 'a' && digit <= 'f')
        value = digit - 'a' + 10;
      else if (digit >= 'A' && digit <= 'F')
        value = digit - 'A' + 10;
      else
        return false;
      code = code * 16 + static_cast<unsigned long>(value);
    }
    out.push_back(static_cast<wchar_t>(code));
    i = close;
  }
  text = std::move(out);
  return true;
}

std::string FormatCall(const RecordedCall& call) {
  std::string line = call.operation;
  for (const std::wstring& arg : call.args) {
    line.push_back('\t');
    line += EscapeText(arg);
  }
  return line;
}

bool ParseCall(const std::string& line, RecordedCall& call) {
  RecordedCall parsed;
  size_t start = 0;
  size_t tab = line.find('\t');
  parsed.operation = line.substr(0, tab);
  if (parsed.operation.empty()) return false;
  while (tab != std::string::npos) {
    start = tab + 1;
    tab = line.find('\t', start);
    std::wstring arg;
    if (!UnescapeText(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start), arg)) {
      return false;
    }
    parsed.args.push_back(std::move(arg));
  }
  call = std::move(parsed);
  return true;
}

std::vector<RecordedCall> ReadRecordFile(const std::filesystem::path& path) {
  std::vector<RecordedCall> calls;
  std::ifstream in(path, std::ios::binary);
  if (!in) return calls;
  std::stringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    RecordedCall call;
    if (ParseCall(text.substr(start, end - start), call)) calls.push_back(std::move(call));
    start = end + 1;
  }
  return calls;
}

}  // namespace zrtest
