// A fresh folder below the system temporary folder, removed with its content
// when the object goes.

#pragma once

#include <filesystem>
#include <string>

namespace zrtest {

class TempDir {
 public:
  // Makes "<temp>/<prefix>XXXXXX"; a failed creation is reported as a test
  // failure and leaves path() empty.
  explicit TempDir(const std::string& prefix = "zrtest_");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder, without a trailing separator.
  const std::string& path() const { return path_; }
  // The folder as a file-system path.
  std::filesystem::path fs() const { return std::filesystem::path(path_); }
  // `name` below the folder.
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace zrtest
