// The temporary file through which a local target replaces a stored file:
// its name, and keeping one that a crash left behind out of listings.

#pragma once

#include <list>
#include <string>

#include "plugin-api/FileTypes.h"

namespace zr {

// Appended to a stored file's name while its replacement is written.
inline constexpr const wchar_t* kTemporarySuffix = L".zrtmp";

// The temporary name of the stored file `path`: `path` + kTemporarySuffix.
std::wstring TemporaryName(const std::wstring& path);

// Removes from `entries` every name that is another entry's name +
// kTemporarySuffix. A name with the suffix and no such entry stays.
void HideTemporaryFiles(std::list<CFileInfo>& entries);

}  // namespace zr
