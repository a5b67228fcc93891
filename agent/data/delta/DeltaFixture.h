// Test fixture of the delta transfer tests: the hosting fixture's folder
// plug-in behind a CRsyncTarget, settings with delta copying on, random
// files and rdiff to compare with.

#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "agent/data/Settings.h"
#include "agent/data/delta/IRsyncSourceWrite.h"
#include "agent/data/delta/RsyncTarget.h"
#include "agent/data/hosting/testing/HostingFixture.h"

namespace deltatest {

using Bytes = std::vector<unsigned char>;

inline Bytes Random(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(generator());
  return bytes;
}

// `old` with a 100-byte insertion, a deletion and a changed tail.
inline Bytes Edited(const Bytes& old) {
  Bytes changed = old;
  changed.insert(changed.begin() + static_cast<std::ptrdiff_t>(old.size() / 3), 100, 'x');
  changed.erase(changed.begin() + 5000, changed.begin() + 9000);
  for (std::size_t i = changed.size() - 500; i < changed.size(); ++i) changed[i] ^= 0x33;
  return changed;
}

// The delta side of a local target that rebuilds files in place, over a
// CRsyncTarget (what a local copy target does for equal paths). With
// `record`, every delta byte written is also appended there.
class TargetDeltaSide final : public zr::IRsyncSourceWrite {
 public:
  explicit TargetDeltaSide(zr::CRsyncTarget& target, Bytes* record = nullptr)
      : target_(target), record_(record) {}
  int OpenFileSignature(const std::wstring& path, unsigned int& handle) override {
    return target_.OpenFileSignature(path, handle);
  }
  int ReadFileSignature(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override {
    return target_.ReadFile(buffer, size, handle);
  }
  int CloseFileSignature(const unsigned int& handle) override { return target_.CloseFile(handle); }
  int OpenFilePatching(const std::wstring& basePath, const std::wstring& path,
                       unsigned int& handle) override {
    return target_.OpenFilePatching(basePath, path, handle);
  }
  int WriteFilePatching(const unsigned char* data, unsigned int& size, const unsigned int& handle) override {
    if (record_ != nullptr) record_->insert(record_->end(), data, data + size);
    return target_.WriteFile(data, size, handle);
  }
  int CloseFilePatching(const unsigned int& handle) override { return target_.CloseFile(handle); }
  int OpenFilePatch(const std::wstring& basePath, const std::wstring& path, unsigned int& handle) override {
    return target_.OpenFilePatch(basePath, path, handle);
  }
  int ReadFilePatch(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override {
    return target_.ReadFile(buffer, size, handle);
  }
  int CloseFilePatch(const unsigned int& handle) override { return target_.CloseFile(handle); }

 private:
  zr::CRsyncTarget& target_;
  Bytes* record_;
};

class DeltaFixture : public hostingtest::HostingFixture {
 protected:
  void SetUp() override {
    HostingFixture::SetUp();
    zrtest::ResetFaults(folder_);
    settings_ = MakeSettings(true);
    target_ = MakeTarget();
  }
  void TearDown() override {
    target_.reset();
    settings_.reset();
    HostingFixture::TearDown();
  }

  std::unique_ptr<zr::CSettings> MakeSettings(bool delta) {
    namespace fs = std::filesystem;
    const fs::path home = base_ / (delta ? "home_delta" : "home_plain");
    const fs::path file = home / ".ze7/Settings/Services/workstation.zrl";
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        << "<?xml version=\"1.0\"?>\n<link>\n\t<header>\n\t\t<related_object>Workstation"
           "</related_object>\n\t\t<version>7.3.4.12277</version>\n\t</header>\n\t<parameters>\n"
           "\t\t<param name=\"Name\">ws</param>\n\t\t<param name=\"UseDeltaCopying\">"
        << (delta ? "yes" : "no") << "</param>\n\t</parameters>\n</link>\n";
    auto settings = std::make_unique<zr::CSettings>((base_ / "etc").wstring(), home.wstring());
    settings->Load();
    return settings;
  }
  std::unique_ptr<zr::CRsyncTarget> MakeTarget(const zr::CSettings* settings = nullptr) {
    return std::make_unique<zr::CRsyncTarget>(sessionRef_.in(), &log_, extensions_.get(),
                                              settings != nullptr ? settings : settings_.get());
  }
  // Reloads the plug-ins (their reported capabilities are read at load).
  void ReloadExtensions() {
    target_.reset();
    extensions_.reset();
    const std::string plugins = (base_ / "Plugins").string() + "/";
    extensions_ = std::make_unique<zr::CExtensionLoader>(
        L"wsagent", std::wstring(plugins.begin(), plugins.end()), L"/nonexistent/Filters/");
    target_ = MakeTarget();
  }

  std::filesystem::path Plain(const std::string& name) const { return plainRoot() / name; }
  static std::wstring InPlugin(const std::string& name) {
    return L"TestFolder\\" + std::wstring(name.begin(), name.end());
  }
  static void Put(const std::filesystem::path& file, const Bytes& bytes) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  static Bytes Get(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static bool Rdiff(const std::string& arguments) {
    const std::string command = std::string(ZR_RDIFF) + " -H blake2 -R rollsum -b 2048 -S 8 -f " + arguments;
    return std::system(command.c_str()) == 0;
  }
  // rdiff's delta that turns the file `oldName` into `changed`.
  Bytes RdiffDelta(const std::string& oldName, const Bytes& changed) {
    Put(base_ / "changed", changed);
    EXPECT_TRUE(Rdiff("signature " + Plain(oldName).string() + " " + (base_ / "old.sig").string()));
    EXPECT_TRUE(Rdiff("delta " + (base_ / "old.sig").string() + " " + (base_ / "changed").string() + " " +
                      (base_ / "delta").string()));
    return Get(base_ / "delta");
  }
  // Everything a job handle gives, read in pieces of `piece` bytes; the
  // last result (5 at a clean end) in `result`.
  Bytes ReadAll(unsigned int handle, unsigned int piece, int& result) {
    Bytes out;
    std::vector<unsigned char> buffer(piece);
    for (;;) {
      unsigned int size = piece;
      result = target_->ReadFile(buffer.data(), size, handle);
      if (result != 0) return out;
      out.insert(out.end(), buffer.begin(), buffer.begin() + size);
    }
  }
  // Writes `data` to a job handle in pieces; the first failure or 0.
  int WriteAll(unsigned int handle, const Bytes& data, std::size_t piece) {
    for (std::size_t at = 0; at < data.size(); at += piece) {
      unsigned int size = static_cast<unsigned int>(std::min(piece, data.size() - at));
      const int result = target_->WriteFile(data.data() + at, size, handle);
      if (result != 0) return result;
    }
    return 0;
  }
  // Files in the plug-in's folder whose name starts with `prefix`.
  std::vector<std::string> FilesLike(const std::string& prefix) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(plainRoot())) {
      const std::string name = entry.path().filename().string();
      if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
    }
    return names;
  }

  std::unique_ptr<zr::CSettings> settings_;
  std::unique_ptr<zr::CRsyncTarget> target_;
};

}  // namespace deltatest
