// The copy engine on this machine: one large file and many small ones copied
// from a folder plug-in into a backup on the same plug-in (with and without
// index records, as a Coordinator writes them through the index view),
// against cp and cp -r of the same data.
//
//   copy_bench [--rounds N] [--size-mib N] [--files N] [--scratch folder]

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "agent/data/copy/CopyImpl.h"
#include "bench/harness/Bench.h"
#include "bench/harness/RoundStats.h"
#include "tests/coordinator/TestCoordinator.h"
#include "tests/coordinator/TestOrb.h"
#include "tests/plugins/PluginControl.h"
#include "tests/support/WideText.h"
#include "tests/support/NullLog.h"

namespace {

using namespace zr;

namespace fs = std::filesystem;

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

void WriteRandom(const fs::path& file, std::uint64_t bytes, std::uint64_t seed) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  std::vector<char> block(1 << 20);
  for (std::uint64_t done = 0; done < bytes; done += block.size()) {
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), bytes - done));
    zrbench::FillRandom(block.data(), size, seed + done);
    out.write(block.data(), static_cast<std::streamsize>(size));
  }
}

using zrtest::Wide;

}  // namespace

int main(int argc, char** argv) {
  zrbench::CArgs args(argc, argv);
  args.RequireKnown({"rounds", "size-mib", "files", "scratch"});
  const auto rounds = static_cast<int>(args.Number("rounds", 3));
  const std::uint64_t bytes = args.Number("size-mib", 512) << 20;
  const std::uint64_t files = args.Number("files", 10000);
  // The scratch folder's parent: a tmpfs (/dev/shm) keeps the disk out of the figures.
  const std::string scratchParent = args.Text("scratch", "");
  if (!scratchParent.empty()) ::setenv("TMPDIR", scratchParent.c_str(), 1);
  zrbench::CScratchFolder scratch("copy-bench");
  const fs::path root = scratch.Path();
  fs::create_directories(root / "Plugins");
  fs::create_directories(root / "data");
  zrtest::InstallLibrary(ZRTEST_FOLDER_PATH, root / "Plugins", "folder.so");
  ::setenv("ZRTEST_FOLDER_ROOT", (root / "data").c_str(), 1);

  WriteRandom(root / "data/big/file", bytes, 1);
  std::vector<std::string> names;
  for (std::uint64_t i = 0; i < files; ++i) {
    names.push_back("d" + std::to_string(i / 100) + "/f" + std::to_string(i));
    WriteRandom(root / "data/small" / names.back(), 4096, i);
  }

  CORBA::ORB_var orb = zrtest::InitTestOrb();
  auto coordinator = std::make_unique<zrtest::TestCoordinator>(orb);
  Tessarine::Session_var session = coordinator->Session();
  zrtest::NullLog log;
  // The loader reports every library it loads; not part of the figures.
  std::wstringstream quiet;
  std::wstreambuf* saved = std::wcerr.rdbuf(quiet.rdbuf());
  auto loader =
      std::make_unique<CExtensionLoader>(L"bench", Wide((root / "Plugins/").string()), L"/nonexistent/");
  ZavediDedozozuriz::ISettings settings;
  settings.useIndex = false;
  zr::CCopyImpl engine(settings, session, &log, Tessarine::OperationProgress::_nil(), loader.get(),
                       ZavediDedozozuriz::IDLBackupDataWrite::_nil());

  auto clean = [&](const char* folder) { fs::remove_all(root / "data" / folder); };
  auto copyTree = [&](bool withIndex) {
    if (engine.StartCopying(L"TestFolder\\bak", withIndex) != 0) throw std::runtime_error("start");
    CFileAttributes attributes;
    attributes.Size = 4096;
    attributes.Type = 128;
    for (const std::string& name : names) {
      std::wstring path = Wide(name);
      std::replace(path.begin(), path.end(), L'/', L'\\');
      if (engine.CopyFileToBackup(L"TestFolder\\small\\" + path, L"TestFolder\\bak\\" + path) != 0)
        throw std::runtime_error("copy");
      if (withIndex && engine.SetElementAttributes(L"TestFolder\\bak\\" + path, attributes, false, true) != 0)
        throw std::runtime_error("index");
    }
    if (engine.FinishCopying(withIndex) != 0) throw std::runtime_error("finish");
  };
  const std::string data = (root / "data").string();

  zrbench::Figure big{"one " + std::to_string(bytes >> 20) + " MiB file", bytes, {}, {}, true};
  big.anchor.prepare = [&] { clean("cpbig"); };
  zrbench::CRoundStats bigCp, bigOurs, smallCp, smallOurs, indexedCp, indexedOurs;
  big.anchor.run = bigCp.Wrap([&] { Run("cp '" + data + "/big/file' '" + data + "/cpbig'"); });
  big.ours.prepare = [&] { clean("bak"); };
  big.ours.run = bigOurs.Wrap([&] {
    if (engine.StartCopying(L"TestFolder\\bak", false) != 0 ||
        engine.CopyFileToBackup(L"TestFolder\\big\\file", L"TestFolder\\bak\\file") != 0 ||
        engine.FinishCopying(false) != 0)
      throw std::runtime_error("big copy");
  });
  const std::uint64_t smallBytes = files * 4096;
  zrbench::Figure small{std::to_string(files) + " files of 4 KiB", smallBytes, {}, {}, false};
  small.anchor.prepare = [&] { clean("cpsmall"); };
  auto cpTree = [&] { Run("cp -r '" + data + "/small' '" + data + "/cpsmall'"); };
  small.anchor.run = smallCp.Wrap(cpTree);
  small.ours.prepare = [&] { clean("bak"); };
  small.ours.run = smallOurs.Wrap([&] { copyTree(false); });
  zrbench::Figure indexed{
      std::to_string(files) + " files of 4 KiB with the index", smallBytes, {}, {}, false};
  indexed.anchor = {indexedCp.Wrap(cpTree), small.anchor.prepare};
  indexed.ours.prepare = [&] { clean("bak"); };
  indexed.ours.run = indexedOurs.Wrap([&] { copyTree(true); });
  const std::string loadBefore = zrbench::LoadAverage();

  const std::vector<zrbench::Timing> timings = zrbench::RunFigures({big, small, indexed}, rounds);
  for (std::size_t i = 1; i < timings.size(); ++i)
    std::cout << (i == 1 ? "without" : "with") << " index: files/s ours "
              << static_cast<double>(files) / timings[i].oursSeconds << " | cp -r "
              << static_cast<double>(files) / timings[i].anchorSeconds << "\n";
  const std::pair<const char*, const zrbench::CRoundStats*> stats[] = {
      {"big, cp", &bigCp},         {"big, ours", &bigOurs},        {"small, cp -r", &smallCp},
      {"small, ours", &smallOurs}, {"indexed, cp -r", &indexedCp}, {"indexed, ours", &indexedOurs}};
  for (const auto& [name, stat] : stats) std::cout << "  " << name << ": " << stat->Text() << "\n";
  std::cout << "  load average before: " << loadBefore << ", after: " << zrbench::LoadAverage() << std::endl;
  coordinator.reset();
  orb->destroy();
  std::wcerr.rdbuf(saved);
  return 0;
}
