#pragma once

// Text helpers: wide/multibyte/UTF-8 conversion, case mapping, replace, join
// and split. Wide text is UTF-32 (32-bit wchar_t). No function keeps state.

#include <list>
#include <string>
#include <vector>

#include "zrlib/ZRLibExport.h"

namespace ZRLib {
namespace strings {

// Multibyte text in the current LC_CTYPE locale to wide text. The input is
// read up to its first zero byte. Throws std::bad_alloc when the text cannot
// be converted in that locale.
ZRLIB_API std::wstring toWstr(const std::string& text);

// Wide text to multibyte text in the current LC_CTYPE locale. The input is
// read up to its first zero character. Throws std::bad_alloc when the text
// cannot be converted in that locale.
ZRLIB_API std::string toAstr(const std::wstring& text);

// Multibyte text in the current LC_CTYPE locale to wide text for names and
// log lines, never failing on conversion: sets out to toWstr(text) and
// returns true; text the locale cannot convert is widened byte by byte
// instead, printable ASCII as it is and every other byte as "\xHH", and false
// is returned. The input is read up to its first zero byte. Throws only
// std::bad_alloc when memory runs out.
ZRLIB_API bool toWstrOrEscaped(const std::string& text, std::wstring& out);
// The same, for callers that need no report.
ZRLIB_API std::wstring toWstrOrEscaped(const std::string& text);

// Replaces out by toAstr(text); an empty text clears out. Throws
// std::bad_alloc as toAstr does (out is then left unchanged).
ZRLIB_API void WideCharToMultiByte(const std::wstring& text, std::string& out);

// UTF-8 to wide text. Stops at the first ill-formed or incomplete sequence
// and returns what came before it; an embedded zero byte ends the result.
ZRLIB_API std::wstring UTF8toWstr(const std::string& text);

// Wide text to UTF-8. A value above U+10FFFF becomes U+FFFD, a lone surrogate
// is written as its own three-byte form; an embedded U+0000 ends the result.
ZRLIB_API std::string WstrToUTF8(const std::wstring& text);

// Upper-/lower-case mapping of each character in the locale named by the
// environment (std::locale("")); the result has the input's length. The
// process-wide locale is not changed. Throws std::runtime_error when the
// environment names a locale that does not exist. Safe from any thread.
ZRLIB_API std::wstring to_upper(const std::wstring& text);
ZRLIB_API std::wstring to_lower(const std::wstring& text);

// Replaces every occurrence of what in text, left to right; inserted text is
// never searched again. An empty what gives text unchanged.
ZRLIB_API std::wstring Replace(std::wstring text, const std::wstring& what, const std::wstring& with);
ZRLIB_API std::string Replace(std::string text, const std::string& what, const std::string& with);

// Concatenates the items with separator between neighbours; an empty range
// gives an empty string. A null separator counts as empty.
ZRLIB_API std::wstring Join(std::vector<std::wstring>::const_iterator first,
                            std::vector<std::wstring>::const_iterator last, const wchar_t* separator);
ZRLIB_API std::wstring Join(const std::vector<std::wstring>& items, const wchar_t* separator);
ZRLIB_API std::wstring Join(const std::list<std::wstring>& items, const wchar_t* separator);
ZRLIB_API std::string Join(std::vector<std::string>::const_iterator first,
                           std::vector<std::string>::const_iterator last, const char* separator);
ZRLIB_API std::string Join(const std::vector<std::string>& items, const char* separator);
ZRLIB_API std::string Join(const std::list<std::string>& items, const char* separator);

// Splits text at every character that occurs in delimiters; adjacent
// delimiters are not merged, so n delimiters give n + 1 fields, empty ones
// included. An empty text gives no field. A null or empty delimiter set gives
// the whole text as one field.
ZRLIB_API std::vector<std::string> Split(std::string text, const char* delimiters);
ZRLIB_API std::vector<std::wstring> Split(std::wstring text, const wchar_t* delimiters);

}  // namespace strings
}  // namespace ZRLib
