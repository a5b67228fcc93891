// Test helper: a temporary stand-in state folder, selected through the
// environment for the lifetime of the object.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "plugins/db2/standin/Db2Api.h"
#include "tests/support/TempDir.h"

namespace db2standin {

class StandinTestRoot {
 public:
  StandinTestRoot() {
    root_ = dir_.fs();
    std::filesystem::create_directories(root_ / "databases");
    setenv(DB2_STANDIN_ROOT_ENV, root_.c_str(), 1);
  }
  ~StandinTestRoot() { unsetenv(DB2_STANDIN_ROOT_ENV); }
  StandinTestRoot(const StandinTestRoot&) = delete;
  StandinTestRoot& operator=(const StandinTestRoot&) = delete;

  const std::filesystem::path& path() const { return root_; }

  void SetInstance(const std::string& name) { std::ofstream(root_ / "instance") << name << '\n'; }

  using Content = std::map<std::string, std::string>;

  void AddDatabase(const std::string& alias, const Content& files) {
    const auto dir = root_ / "databases" / alias;
    std::filesystem::create_directories(dir);
    for (const auto& f : files) std::ofstream(dir / f.first, std::ios::binary) << f.second;
  }

  void DropDatabase(const std::string& alias) { std::filesystem::remove_all(root_ / "databases" / alias); }

  bool HasDatabase(const std::string& alias) const {
    return std::filesystem::is_directory(root_ / "databases" / alias);
  }

  Content ReadDatabase(const std::string& alias) const {
    Content out;
    for (const auto& e : std::filesystem::directory_iterator(root_ / "databases" / alias)) {
      std::ifstream in(e.path(), std::ios::binary);
      std::ostringstream s;
      s << in.rdbuf();
      out[e.path().filename().string()] = s.str();
    }
    return out;
  }

  // Makes `call` fail with `sqlcode`, `count` times (every time when negative).
  void Fail(const std::string& call, int sqlcode, int count = -1) {
    std::ofstream out(root_ / "fail", std::ios::app);
    out << call << ' ' << sqlcode;
    if (count >= 0) out << ' ' << count;
    out << '\n';
  }

  void ClearFailures() {
    std::error_code ec;
    std::filesystem::remove(root_ / "fail", ec);
  }

 private:
  zrtest::TempDir dir_{"db2standin-"};
  std::filesystem::path root_;
};

}  // namespace db2standin
