// The one check of a connection name of a configurable plug-in, wherever such a
// name enters: a path's connection part, and the names the connection folder
// creates, lists and deletes.

#pragma once

#include <string>

namespace zr {

// True when `name` can be one path component and one Coordinator link name: not
// empty, not "." or "..", and without "/", "\", C0 or C1 control characters
// (U+0000-U+001F, U+007F-U+009F), U+2028, U+2029, surrogates (U+D800-U+DFFF)
// or values above U+10FFFF.
[[nodiscard]] bool IsValidConnectionName(const std::wstring& name);

// `name` for a log line: every character the check refuses for being no
// character of text (controls, separators of lines, surrogates, values above
// U+10FFFF) shown as "?".
std::wstring PrintableConnectionName(const std::wstring& name);

}  // namespace zr
