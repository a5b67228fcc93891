// What the copy benchmarks share: a result check and a file copied into a
// target in 1 MiB pieces.

#pragma once

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/data/targets/IFileSystem.h"

namespace zrbench {

// Throws std::runtime_error naming `what` for a result other than 0.
inline void Check(int result, const char* what) {
  if (result != 0) throw std::runtime_error(std::string(what) + " failed with " + std::to_string(result));
}

// An IFileSystem seen with the pipe's three-argument open; `deltaAllowed` is
// passed to every open.
struct FileSystemOpen {
  zr::IFileSystem& target;
  bool deltaAllowed;
  int OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle) {
    return target.OpenFile(path, mode, handle, deltaAllowed);
  }
  int WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle) {
    return target.WriteFile(data, size, handle);
  }
  int CloseFile(const unsigned int& handle) { return target.CloseFile(handle); }
};

// Copies the file at `source` into `path` of `target` in 1 MiB pieces.
template <class Target>
void CopyInto(Target& target, const std::string& source, const std::wstring& path) {
  std::ifstream in(source, std::ios::binary);
  std::vector<unsigned char> buffer(1u << 20);
  unsigned int handle = 0;
  Check(target.OpenFile(path, FileAccessMode::Write, handle), "open");
  while (in) {
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    unsigned int size = static_cast<unsigned int>(in.gcount());
    if (size == 0) break;
    Check(target.WriteFile(buffer.data(), size, handle), "write");
  }
  Check(target.CloseFile(handle), "close");
}

}  // namespace zrbench
