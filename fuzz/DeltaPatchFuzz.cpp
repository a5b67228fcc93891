// A delta and a basis into the patch job: CRsyncWrapper::ApplyPatch in memory, and CRsyncTarget's
// patching stream over the test folder plug-in.
//
// Input: a flags byte (bit 0: the rest is a new file, whose delta against the basis is made first;
// bit 1: patch the basis in place; bits 2-7: the size of the pieces handed over), the basis length
// (16 bits, little-endian), the basis, then the delta (or the new file).
//
// Properties: the job ends (no spin); its result and output do not depend on the piece sizes; the
// output is bounded by what the delta can address; a delta made by MakeDelta rebuilds the new file.
// The target stores the job's output when it succeeds, and reports a failure of the job; patching in
// place keeps the basis on failure and leaves no temporary file either way.
#include <stdlib.h>

#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "Tessarine.hh"
#include "agent/data/Settings.h"
#include "agent/data/delta/RsyncTarget.h"
#include "agent/data/delta/RsyncWrapper.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzStreams.h"
#include "tests/plugins/PluginControl.h"

namespace fs = std::filesystem;
using fuzzio::Sink;
using fuzzio::Source;

namespace {

fs::path g_root;
std::unique_ptr<zr::CExtensionLoader> g_extensions;
std::unique_ptr<zr::CSettings> g_settings;

void Release() {
  g_settings.reset();
  g_extensions.reset();
}

fs::path Plain() { return g_root / "plain"; }

void Put(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Get(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int Patch(const std::string& basis, size_t basisPiece, const std::string& delta, size_t deltaPiece,
          Sink& out) {
  Source base(basis, basisPiece);
  Source input(delta, deltaPiece);
  zr::CRsyncWrapper wrapper;
  return wrapper.ApplyPatch(&base, &Source::Read, &input, &Source::Read, &out, &Sink::Write, &Source::Seek);
}

// Patches "base" through the target into "base" (in place) or "out"; the close's result.
int PatchThroughTarget(const std::string& delta, size_t piece, bool inPlace) {
  zrtest::NullLog log;
  zr::CRsyncTarget target(Tessarine::Session::_nil(), &log, g_extensions.get(), g_settings.get());
  unsigned int handle = 0;
  FUZZ_CHECK(target.OpenFilePatching(L"TestFolder\\base", inPlace ? L"TestFolder\\base" : L"TestFolder\\out",
                                     handle) == 0);
  for (size_t at = 0; at < delta.size(); at += piece) {
    unsigned int size = static_cast<unsigned int>(std::min(piece, delta.size() - at));
    if (target.WriteFile(reinterpret_cast<const unsigned char*>(delta.data()) + at, size, handle) != 0) break;
  }
  return target.CloseFile(handle);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  g_root = fuzzio::MakeTempRoot("patch", &Release);
  fs::create_directories(g_root / "Plugins");
  fs::create_directories(Plain());
  ::setenv("ZRTEST_FOLDER_ROOT", Plain().c_str(), 1);
  zrtest::InstallLibrary(ZRTEST_FOLDER_PATH, g_root / "Plugins", "folder.so");
  const fs::path home = g_root / "home";
  fs::create_directories(home / ".ze7/Settings/Services");
  std::ofstream(home / ".ze7/Settings/Services/workstation.zrl")
      << "<?xml version=\"1.0\"?>\n<link><parameters><param name=\"Name\">ws</param>"
         "<param name=\"UseDeltaCopying\">yes</param></parameters></link>\n";
  g_settings = std::make_unique<zr::CSettings>((g_root / "etc").wstring(), home.wstring());
  g_settings->Load();
  const std::string plugins = (g_root / "Plugins").string() + "/";
  std::wstringstream quiet;
  std::wstreambuf* old = std::wcerr.rdbuf(quiet.rdbuf());
  g_extensions = std::make_unique<zr::CExtensionLoader>(
      L"wsagent", std::wstring(plugins.begin(), plugins.end()), L"/nonexistent/Filters/");
  std::wcerr.rdbuf(old);
  // librsync's complaints about bad deltas and the workers' start lines.
  std::wcerr.setstate(std::ios::badbit);
  std::cout.setstate(std::ios::badbit);
  FUZZ_CHECK(g_settings->GetUseDeltaCopying());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_extensions == nullptr) LLVMFuzzerInitialize(nullptr, nullptr);
  fuzzio::Input input{data, size};
  const uint8_t flags = input.Byte();
  const bool makeDelta = (flags & 1) != 0;
  const bool inPlace = (flags & 2) != 0;
  const size_t piece = 1 + (flags >> 2) * 131u;
  const std::string basis = input.Take(input.Word());
  std::string delta = input.Rest();
  const std::string newFile = delta;

  if (makeDelta) {
    zr::CRsyncWrapper wrapper;
    Source base(basis, piece);
    Sink signature;
    FUZZ_CHECK(wrapper.MakeSignature(&base, &Source::Read, &signature, &Sink::Write) == 0);
    Source fresh(newFile, piece);
    Source signatureIn(signature.bytes, piece);
    Sink made;
    FUZZ_CHECK(wrapper.MakeDelta(&fresh, &Source::Read, &signatureIn, &Source::Read, &made, &Sink::Write) ==
               0);
    delta = made.bytes;
  }

  Sink whole;
  const int result = Patch(basis, SIZE_MAX, delta, SIZE_MAX, whole);
  FUZZ_CHECK(result != 1 && result != 2);  // never blocked or running at the end
  Sink pieces;
  pieces.keep = 0;
  FUZZ_CHECK(Patch(basis, piece, delta, piece, pieces) == result);
  if (result == 0) FUZZ_CHECK(pieces.SameAs(whole));
  // Literals come from the delta; each command copies at most the whole basis.
  FUZZ_CHECK(whole.count <= delta.size() * (basis.size() + 1));
  if (makeDelta) {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(whole.bytes == newFile);
  }

  std::error_code ec;
  fs::remove_all(Plain(), ec);
  fs::create_directories(Plain());
  Put(Plain() / "base", basis);
  const int closed = PatchThroughTarget(delta, piece, inPlace);
  const fs::path written = Plain() / (inPlace ? "base" : "out");
  if (result != 0) FUZZ_CHECK(closed != 0);
  if (closed == 0) FUZZ_CHECK(Get(written) == whole.bytes);
  if (makeDelta) FUZZ_CHECK(closed == 0);
  if (inPlace && closed != 0) FUZZ_CHECK(Get(written) == basis);
  for (const auto& entry : fs::directory_iterator(Plain()))
    FUZZ_CHECK(entry.path().filename() == "base" || entry.path().filename() == "out");
  return 0;
}
