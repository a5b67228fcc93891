#include "zrlib/strings/Strings.h"

#include <cstdlib>
#include <cwchar>
#include <locale>
#include <new>
#include <utility>

#include "zrlib/utf/ConvertUTF.h"

static_assert(sizeof(wchar_t) == sizeof(UTF32), "wide text must be UTF-32");

namespace ZRLib {
namespace strings {

namespace {

constexpr std::size_t kConversionError = static_cast<std::size_t>(-1);

// Both directions share one shape: measure, then fill exactly that much.
// False, with out unchanged, when the locale cannot convert the text.
template <typename To, typename From, typename Measure, typename Fill>
bool TryConvertLocale(const From& text, To& out, Measure measure, Fill fill) {
  const std::size_t count = measure(text.c_str());
  if (count == kConversionError) return false;
  To converted(count, typename To::value_type());
  if (count != 0) fill(&converted[0], text.c_str(), count);
  out = std::move(converted);
  return true;
}

// An unconvertible text is reported as std::bad_alloc, which is what callers
// have always caught for it.
template <typename To, typename From, typename Measure, typename Fill>
To ConvertLocale(const From& text, Measure measure, Fill fill) {
  To out;
  if (!TryConvertLocale(text, out, measure, fill)) throw std::bad_alloc();
  return out;
}

std::size_t MeasureWide(const char* text) { return std::mbstowcs(nullptr, text, 0); }
void FillWide(wchar_t* out, const char* text, std::size_t count) { std::mbstowcs(out, text, count); }

// Printable ASCII as it is, every other byte as \xHH, up to the first zero.
std::wstring Escaped(const char* text) {
  std::wstring shown;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) {
    if (*c >= 0x20 && *c < 0x7F) {
      shown += static_cast<wchar_t>(*c);
    } else {
      wchar_t hex[8];
      std::swprintf(hex, sizeof(hex) / sizeof(hex[0]), L"\\x%02X", *c);
      shown += hex;
    }
  }
  return shown;
}

template <typename Text>
Text ReplaceAll(Text text, const Text& what, const Text& with) {
  if (what.empty()) return text;
  for (auto pos = text.find(what); pos != Text::npos; pos = text.find(what, pos + with.size())) {
    text.replace(pos, what.size(), with);
  }
  return text;
}

template <typename Text, typename Iterator, typename Char>
Text JoinRange(Iterator first, Iterator last, const Char* separator) {
  const Text sep = separator ? Text(separator) : Text();
  Text out;
  for (Iterator it = first; it != last; ++it) {
    if (it != first) out += sep;
    out += *it;
  }
  return out;
}

template <typename Text, typename Char>
std::vector<Text> SplitAny(const Text& text, const Char* delimiters) {
  std::vector<Text> fields;
  if (text.empty()) return fields;
  const Text delims = delimiters ? Text(delimiters) : Text();
  typename Text::size_type start = 0;
  for (;;) {
    const auto pos = delims.empty() ? Text::npos : text.find_first_of(delims, start);
    fields.push_back(text.substr(start, pos == Text::npos ? Text::npos : pos - start));
    if (pos == Text::npos) return fields;
    start = pos + 1;
  }
}

// Maps each character through the ctype facet of the environment's locale.
// A locale object is used so that no process-wide state changes.
template <typename Map>
std::wstring MapCase(const std::wstring& text, Map map) {
  const std::locale locale("");
  const auto& ctype = std::use_facet<std::ctype<wchar_t>>(locale);
  std::wstring out(text);
  if (!out.empty()) map(ctype, &out[0], &out[0] + out.size());
  return out;
}

}  // namespace

std::wstring toWstr(const std::string& text) {
  return ConvertLocale<std::wstring>(text, MeasureWide, FillWide);
}

bool toWstrOrEscaped(const std::string& text, std::wstring& out) {
  if (TryConvertLocale(text, out, MeasureWide, FillWide)) return true;
  out = Escaped(text.c_str());
  return false;
}

std::wstring toWstrOrEscaped(const std::string& text) {
  std::wstring out;
  (void)toWstrOrEscaped(text, out);
  return out;
}

std::string toAstr(const std::wstring& text) {
  return ConvertLocale<std::string>(
      text, [](const wchar_t* s) { return std::wcstombs(nullptr, s, 0); },
      [](char* d, const wchar_t* s, std::size_t n) { std::wcstombs(d, s, n); });
}

void WideCharToMultiByte(const std::wstring& text, std::string& out) {
  if (text.empty()) {
    out.clear();
    return;
  }
  out = toAstr(text);
}

std::wstring UTF8toWstr(const std::string& text) {
  // A UTF-8 source never yields more code points than it has bytes.
  std::vector<UTF32> buffer(text.size());
  const UTF8* source = reinterpret_cast<const UTF8*>(text.data());
  UTF32* target = buffer.data();
  // Stopping early is the documented behaviour: keep what came before.
  (void)ConvertUTF8toUTF32(&source, source + text.size(), &target, target + buffer.size(), lenientConversion);
  std::wstring out;
  for (const UTF32* p = buffer.data(); p != target && *p != 0; ++p) out.push_back(static_cast<wchar_t>(*p));
  return out;
}

std::string WstrToUTF8(const std::wstring& text) {
  const std::vector<UTF32> units(text.begin(), text.end());
  // Four bytes hold any value, U+FFFD included.
  std::string buffer(4 * units.size(), '\0');
  const UTF32* source = units.data();
  UTF8* begin = reinterpret_cast<UTF8*>(&buffer[0]);
  UTF8* target = begin;
  // Lenient mode only reports values above U+10FFFF, already written as U+FFFD.
  (void)ConvertUTF32toUTF8(&source, source + units.size(), &target, begin + buffer.size(), lenientConversion);
  buffer.resize(static_cast<std::size_t>(target - begin));
  return buffer.substr(0, buffer.find('\0'));
}

std::wstring to_upper(const std::wstring& text) {
  return MapCase(text, [](const std::ctype<wchar_t>& c, wchar_t* b, wchar_t* e) { c.toupper(b, e); });
}

std::wstring to_lower(const std::wstring& text) {
  return MapCase(text, [](const std::ctype<wchar_t>& c, wchar_t* b, wchar_t* e) { c.tolower(b, e); });
}

std::wstring Replace(std::wstring text, const std::wstring& what, const std::wstring& with) {
  return ReplaceAll(std::move(text), what, with);
}

std::string Replace(std::string text, const std::string& what, const std::string& with) {
  return ReplaceAll(std::move(text), what, with);
}

std::wstring Join(std::vector<std::wstring>::const_iterator first,
                  std::vector<std::wstring>::const_iterator last, const wchar_t* separator) {
  return JoinRange<std::wstring>(first, last, separator);
}

std::wstring Join(const std::vector<std::wstring>& items, const wchar_t* separator) {
  return JoinRange<std::wstring>(items.begin(), items.end(), separator);
}

std::wstring Join(const std::list<std::wstring>& items, const wchar_t* separator) {
  return JoinRange<std::wstring>(items.begin(), items.end(), separator);
}

std::string Join(std::vector<std::string>::const_iterator first,
                 std::vector<std::string>::const_iterator last, const char* separator) {
  return JoinRange<std::string>(first, last, separator);
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
  return JoinRange<std::string>(items.begin(), items.end(), separator);
}

std::string Join(const std::list<std::string>& items, const char* separator) {
  return JoinRange<std::string>(items.begin(), items.end(), separator);
}

std::vector<std::string> Split(std::string text, const char* delimiters) {
  return SplitAny(text, delimiters);
}

std::vector<std::wstring> Split(std::wstring text, const wchar_t* delimiters) {
  return SplitAny(text, delimiters);
}

}  // namespace strings
}  // namespace ZRLib
