#pragma once

// File-system helpers over wide paths. Paths are converted to file-system
// names as ZRLib::strings::toAstr converts them (the process's current
// LC_CTYPE locale), so they name the same files as a path opened through
// toAstr. A path that locale cannot spell names no file.

#include <string>

#include "zrlib/ZRLibExport.h"

namespace ZRLib {
namespace filesystem {

// The folder for temporary files: always "/tmp/".
ZRLIB_API std::wstring GetTempFolderPath();

// folder, then "/" unless folder already ends with "/" (an empty folder does
// not), then a file name that names no existing entry in folder at the time
// of the call (as toAstr spells the path). Nothing is created; the caller
// creates the file.
ZRLIB_API std::wstring GetUniqueTempFilePath(const std::wstring& folder);

// True when path exists and is a directory. A missing path, a path the
// locale cannot spell, or null gives false; any other file-system error throws
// boost::filesystem::filesystem_error.
ZRLIB_API bool IsFolderExists(const wchar_t* path);

// True when path exists and is not a directory. Errors as IsFolderExists.
ZRLIB_API bool IsFileExists(const wchar_t* path);

// Creates the folder and its missing parents, walking "\"-separated prefixes
// (a path without "\" is created in one step). A path of 3 characters or fewer
// gives false without touching the disk. True when the folder exists
// afterwards; every failure, file-system errors included, gives false.
ZRLIB_API bool CreateFolder(const std::wstring& path);

// Removes path with all its content when it exists. True also when there was
// nothing to remove; false when the removal failed or the locale cannot spell
// path (a partly removed tree is left partly removed).
ZRLIB_API bool DeleteNonEmptyFolder(const std::wstring& path);

}  // namespace filesystem
}  // namespace ZRLib
