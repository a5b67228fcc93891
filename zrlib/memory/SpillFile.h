#pragma once

#include <cstdio>
#include <string>

namespace ZRLib {
namespace memory {

// Creates a new, empty file at path (narrowPath is the same path as passed
// to the system) and opens it for reading at any position with every write
// appended ("a+b").
//
// The file is created exclusively with mode 0600: an existing entry at the
// name, a symbolic link included, is never opened or followed. When the name
// is taken, a fresh free name in the same folder is chosen, a bounded number
// of times. On success returns the stream and leaves path and narrowPath
// naming the file; on failure returns null and leaves them unchanged.
// Never throws.
std::FILE* CreateSpillFile(std::wstring& path, std::string& narrowPath);

}  // namespace memory
}  // namespace ZRLib
