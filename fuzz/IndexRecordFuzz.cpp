// Index records as a target stores them: any bytes are read back through CIndex as the record of an
// item. The first byte sizes the target's reads (0: whole). A record is readable (0) or not (1); it
// reads the same in pieces as whole; a listing keeps exactly the readable entries with the record's
// attributes; a readable record written again reads back the same attributes.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "Tessarine.hh"
#include "agent/data/filters/FiltersPipe.h"
#include "agent/data/index/Index.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzStreams.h"
#include "tests/storage/MemoryFileSystem.h"

namespace {

bool Same(const CFileAttributes& a, const CFileAttributes& b) {
  return a.Type == b.Type && a.Size == b.Size && a.Creation == b.Creation && a.LastAccess == b.LastAccess &&
         a.Modification == b.Modification && a.Mask == b.Mask && a.CustomAttr == b.CustomAttr;
}

// An index over an in-memory target without filters.
struct Stored {
  zrtest::MemoryFileSystem target;
  zrtest::NullLog log;
  zr::CFiltersPipe pipe{
      &target, std::vector<std::wstring>(), L"index", Tessarine::Session::_nil(), &log, nullptr, true};
  zr::CIndex index{&log, &pipe};
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string record(reinterpret_cast<const char*>(data) + 1, size - 1);

  Stored pieces;
  pieces.target.SetReadChunk(data[0]);
  for (const wchar_t* name : {L"docs\\.i\\a.i", L"docs\\.i\\b.i", L"docs\\.i\\.i"})
    pieces.target.files[name] = record;
  CFileAttributes got;
  const int result = pieces.index.GetElementAttributes(L"docs\\a", got);
  FUZZ_CHECK(result == 0 || result == 1);

  Stored whole;
  whole.target.files[L".i\\a.i"] = record;
  CFileAttributes again;
  FUZZ_CHECK(whole.index.GetElementAttributes(L"a", again) == result);
  if (result == 0) FUZZ_CHECK(Same(got, again));

  std::list<CFileInfo> entries;
  FUZZ_CHECK(pieces.index.GetListing(L"docs", entries) == 0);
  FUZZ_CHECK(entries.size() == (result == 0 ? 2u : 0u));
  for (const CFileInfo& entry : entries) {
    FUZZ_CHECK(entry.Name == L"a" || entry.Name == L"b");
    FUZZ_CHECK(Same(entry.Attrs, got));
  }
  if (result != 0) return 0;

  Stored rewritten;
  FUZZ_CHECK(rewritten.index.SetElementAttributes(L"docs\\a", got) == 0);
  CFileAttributes back;
  FUZZ_CHECK(rewritten.index.GetElementAttributes(L"docs\\a", back) == 0);
  FUZZ_CHECK(Same(got, back));
  return 0;
}
