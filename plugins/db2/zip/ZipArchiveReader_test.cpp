#include "plugins/db2/zip/ZipArchiveReader.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "plugins/db2/zip/ZipTestSupport.h"

namespace {

using namespace ziptest;

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Reads the entry `name` to its end; returns the last result.
int Extract(CZipReader& reader, const std::wstring& name, bool raw, Bytes& out) {
  const int opened = reader.OpenFile(name.c_str(), raw);
  if (opened != 0) return opened;
  Bytes buffer(70000);
  int r;
  for (;;) {
    unsigned int size = static_cast<unsigned int>(buffer.size());
    r = reader.ReadFile(buffer.data(), size);
    if (r != 0) break;
    out.insert(out.end(), buffer.begin(), buffer.begin() + size);
  }
  EXPECT_EQ(reader.CloseFile(), 0);
  return r;
}

std::vector<std::wstring> Names(const std::list<ZipFileInfo>& entries) {
  std::vector<std::wstring> names;
  for (const ZipFileInfo& entry : entries) names.push_back(entry.name);
  return names;
}

class ZipReaderTest : public testing::Test {
 protected:
  void SetUp() override {
    a = MakeText(300000, 21);
    b = MakeBinary(200000, 22);
    c = MakeText(5000, 23);
    WriteAll(dir.File("a.txt"), a);
    ASSERT_EQ(Shell("mkdir -p '" + dir.File("sub/deeper") + "' '" + dir.File("emptydir") + "'"), 0);
    WriteAll(dir.File("sub/b.bin"), b);
    WriteAll(dir.File("sub/deeper/c.txt"), c);
    ASSERT_EQ(Shell(cd() + "zip -q -r r.zip a.txt sub emptydir"), 0);
  }
  std::string cd() const { return "cd '" + dir.path() + "' && "; }
  std::wstring Path(const std::string& name) const { return Wide(dir.File(name)); }

  TempDir dir;
  Bytes a, b, c;
};

TEST_F(ZipReaderTest, ListsAndExtractsAnInfoZipArchive) {
  CZipReader reader;
  ASSERT_EQ(reader.OpenZip(Path("r.zip").c_str()), 0);

  std::list<ZipFileInfo> root;
  ASSERT_EQ(reader.GetListing(L"", root), 0);
  EXPECT_EQ(Names(root), (std::vector<std::wstring>{L"a.txt", L"emptydir/", L"sub/"}));
  EXPECT_FALSE(root.front().isDirectory);
  EXPECT_EQ(root.front().uncompressedSize, a.size());
  EXPECT_EQ(root.front().crc, Crc(a));
  EXPECT_TRUE(root.back().isDirectory);

  std::list<ZipFileInfo> sub;
  ASSERT_EQ(reader.GetListing(L"sub", sub), 0);
  EXPECT_EQ(Names(sub), (std::vector<std::wstring>{L"b.bin", L"deeper/"}));
  std::list<ZipFileInfo> deeper;
  ASSERT_EQ(reader.GetListing(L"sub\\deeper\\", deeper), 0);
  EXPECT_EQ(Names(deeper), (std::vector<std::wstring>{L"c.txt"}));
  std::list<ZipFileInfo> none;
  EXPECT_EQ(reader.GetListing(L"nothing", none), 3);
  std::list<ZipFileInfo> empty;
  EXPECT_EQ(reader.GetListing(L"emptydir", empty), 0);
  EXPECT_TRUE(empty.empty());

  Bytes got;
  EXPECT_EQ(Extract(reader, L"a.txt", false, got), 5);
  EXPECT_EQ(got, a);
  got.clear();
  EXPECT_EQ(Extract(reader, L"sub\\b.bin", false, got), 5);
  EXPECT_EQ(got, b);
  got.clear();
  EXPECT_EQ(Extract(reader, L"sub/deeper/c.txt", false, got), 5);
  EXPECT_EQ(got, c);

  // Raw: the stored bytes, which inflate to the content.
  unz_file_info64 info{};
  ASSERT_EQ(reader.GetFileInfo(L"sub\\b.bin", &info), 0);
  EXPECT_EQ(info.uncompressed_size, b.size());
  got.clear();
  EXPECT_EQ(Extract(reader, L"sub/b.bin", true, got), 5);
  EXPECT_EQ(got.size(), info.compressed_size);
  Bytes inflated(b.size());
  z_stream s{};
  ASSERT_EQ(inflateInit2(&s, -MAX_WBITS), Z_OK);
  s.next_in = got.data();
  s.avail_in = static_cast<uInt>(got.size());
  s.next_out = inflated.data();
  s.avail_out = static_cast<uInt>(inflated.size());
  EXPECT_EQ(inflate(&s, Z_FINISH), Z_STREAM_END);
  inflateEnd(&s);
  EXPECT_EQ(inflated, b);

  EXPECT_EQ(reader.CloseZip(), 0);
  EXPECT_FALSE(reader.IsOpen());
}

TEST_F(ZipReaderTest, ListsAndExtractsOurArchive) {
  const Bytes x = MakeText(3000000, 24);
  WriteAll(dir.File("ours.zip"), WriteArchive({{L"dir\\x.txt", x}, {L"y", c}, {L"dir\\z", {}}}));
  CZipReader reader;
  ASSERT_EQ(reader.OpenZip(Path("ours.zip").c_str()), 0);
  std::list<ZipFileInfo> root;
  ASSERT_EQ(reader.GetListing(L"", root), 0);
  EXPECT_EQ(Names(root), (std::vector<std::wstring>{L"dir/", L"y"}));
  std::list<ZipFileInfo> inDir;
  ASSERT_EQ(reader.GetListing(L"dir", inDir), 0);
  EXPECT_EQ(Names(inDir), (std::vector<std::wstring>{L"x.txt", L"z"}));
  EXPECT_EQ(inDir.front().uncompressedSize, x.size());

  Bytes got;
  EXPECT_EQ(Extract(reader, L"dir\\x.txt", false, got), 5);
  EXPECT_EQ(got, x);
  got.clear();
  EXPECT_EQ(Extract(reader, L"y", false, got), 5);
  EXPECT_EQ(got, c);
  got.clear();
  EXPECT_EQ(Extract(reader, L"dir/z", false, got), 5);
  EXPECT_TRUE(got.empty());

  // An archive without entries opens and lists nothing.
  MemoryWriter writer;
  CZipFilter zip;
  ASSERT_EQ(zip.BeginTransaction(&writer), 0);
  ASSERT_EQ(zip.PrepareTransform(L"x", true), 0);
  ASSERT_EQ(zip.FinishTransform(), 0);
  MemoryWriter endOnly;
  ASSERT_EQ(zip.BeginTransaction(&endOnly), 0);
  ASSERT_EQ(zip.CommitTransaction(), 0);
  WriteAll(dir.File("none.zip"), endOnly.bytes);
  ASSERT_EQ(reader.OpenZip(Path("none.zip").c_str()), 0);
  std::list<ZipFileInfo> nothing;
  EXPECT_EQ(reader.GetListing(L"", nothing), 3);
}

// Our archive of one entry named `name` (ASCII, with one "X"), rewritten as an
// ordinary archive would hold "f\u00fcr.txt" without the UTF-8 flag: the "X"
// becomes the Latin-1 byte 0xFC and flag bit 11 is cleared in both headers.
Bytes Latin1NamedArchive(const std::wstring& name, const Bytes& data) {
  Bytes archive = WriteArchive({{name, data}});
  const std::string ascii(name.begin(), name.end());
  for (std::size_t at = 0;
       (at = std::search(archive.begin() + static_cast<long>(at), archive.end(), ascii.begin(), ascii.end()) -
             archive.begin()) < archive.size();
       ++at) {
    archive[at + ascii.find('X')] = 0xFC;
  }
  archive[7] &= ~0x08;  // local header flags, high byte
  const std::string central = "PK\x01\x02";
  const std::size_t record =
      std::search(archive.begin(), archive.end(), central.begin(), central.end()) - archive.begin();
  archive[record + 9] &= ~0x08;
  return archive;
}

// Names that are no text of the current (C) locale and carry no UTF-8 flag are
// read byte for byte as Latin-1; a re-pack writes back the bytes and the flag
// that were read, and a new entry of the same name replaces the old one.
TEST_F(ZipReaderTest, NamesOutsideTheLocaleAreLatin1AndSurviveARepack) {
  const Bytes old = MakeText(1000, 25);
  WriteAll(dir.File("latin1.zip"), Latin1NamedArchive(L"fXr.txt", old));
  CZipReader reader;
  ASSERT_EQ(reader.OpenZip(Path("latin1.zip").c_str()), 0);
  std::list<ZipFileInfo> root;
  ASSERT_EQ(reader.GetListing(L"", root), 0);
  EXPECT_EQ(Names(root), std::vector<std::wstring>{L"f\u00fcr.txt"});
  Bytes got;
  EXPECT_EQ(Extract(reader, L"f\u00fcr.txt", false, got), 5);
  EXPECT_EQ(got, old);

  // Re-packed beside a new entry: both names stay whole and distinct.
  MemoryWriter writer;
  CZipFilter zip;
  ASSERT_EQ(zip.BeginTransaction(&writer), 0);
  ASSERT_EQ(zip.PrepareTransform(L"new.txt", true), 0);
  ASSERT_EQ(zip.FinishTransform(), 0);
  ASSERT_EQ(zip.CopyMissingFilesFromExistingArchive(Path("latin1.zip").c_str()), 0);
  ASSERT_EQ(zip.CommitTransaction(), 0);
  WriteAll(dir.File("repacked.zip"), writer.bytes);
  const Bytes raw = {'f', 0xFC, 'r', '.', 't', 'x', 't'};
  EXPECT_NE(std::search(writer.bytes.begin(), writer.bytes.end(), raw.begin(), raw.end()),
            writer.bytes.end());
  ASSERT_EQ(reader.OpenZip(Path("repacked.zip").c_str()), 0);
  root.clear();
  ASSERT_EQ(reader.GetListing(L"", root), 0);
  EXPECT_EQ(Names(root), (std::vector<std::wstring>{L"f\u00fcr.txt", L"new.txt"}));
  got.clear();
  EXPECT_EQ(Extract(reader, L"f\u00fcr.txt", false, got), 5);
  EXPECT_EQ(got, old);

  // The same name written anew (UTF-8) replaces the old entry.
  const Bytes fresh = MakeText(500, 26);
  MemoryWriter again;
  ASSERT_EQ(zip.BeginTransaction(&again), 0);
  ASSERT_EQ(zip.PrepareTransform(L"f\u00fcr.txt", true), 0);
  unsigned int size = static_cast<unsigned int>(fresh.size());
  ASSERT_EQ(zip.DirectTransform(fresh.data(), size), 0);
  ASSERT_EQ(zip.FinishTransform(), 0);
  ASSERT_EQ(zip.CopyMissingFilesFromExistingArchive(Path("latin1.zip").c_str()), 0);
  ASSERT_EQ(zip.CommitTransaction(), 0);
  WriteAll(dir.File("replaced.zip"), again.bytes);
  ASSERT_EQ(reader.OpenZip(Path("replaced.zip").c_str()), 0);
  root.clear();
  ASSERT_EQ(reader.GetListing(L"", root), 0);
  EXPECT_EQ(Names(root), std::vector<std::wstring>{L"f\u00fcr.txt"});
  got.clear();
  EXPECT_EQ(Extract(reader, L"f\u00fcr.txt", false, got), 5);
  EXPECT_EQ(got, fresh);
}

TEST_F(ZipReaderTest, MissingArchiveOrEntryIsNotFound) {
  CZipReader reader;
  EXPECT_EQ(reader.OpenZip(Path("missing.zip").c_str()), 3);
  EXPECT_EQ(reader.OpenZip(Path("sub").c_str()), 3);  // a folder
  EXPECT_EQ(reader.OpenZip(nullptr), 1);
  EXPECT_EQ(reader.OpenFile(L"a.txt", false), 1);
  unsigned char buffer[8];
  unsigned int size = sizeof(buffer);
  EXPECT_EQ(reader.ReadFile(buffer, size), 1);
  EXPECT_EQ(size, 0u);
  std::list<ZipFileInfo> entries;
  EXPECT_EQ(reader.GetListing(L"", entries), 3);

  ASSERT_EQ(reader.OpenZip(Path("r.zip").c_str()), 0);
  EXPECT_EQ(reader.OpenFile(L"b.bin", false), 3);
  EXPECT_EQ(reader.OpenFile(nullptr, false), 1);
  unz_file_info64 info{};
  EXPECT_EQ(reader.GetFileInfo(L"nope", &info), 3);
  EXPECT_EQ(reader.GetFileInfo(nullptr, &info), 1);
  EXPECT_EQ(reader.GetFileInfo(L"a.txt", nullptr), 1);
  // Reading with no entry open fails.
  size = sizeof(buffer);
  EXPECT_EQ(reader.ReadFile(buffer, size), 1);
}

TEST_F(ZipReaderTest, CorruptArchivesFail) {
  const Bytes good = ReadAll(dir.File("r.zip"));
  CZipReader reader;

  // A central record without its signature.
  Bytes bad = good;
  const std::string central = "PK\x01\x02";
  const auto at = std::search(bad.begin(), bad.end(), central.begin(), central.end());
  ASSERT_NE(at, bad.end());
  at[3] = 9;
  WriteAll(dir.File("bad1.zip"), bad);
  EXPECT_EQ(reader.OpenZip(Path("bad1.zip").c_str()), 1);

  // Not an archive at all.
  WriteAll(dir.File("bad2.zip"), a);
  EXPECT_EQ(reader.OpenZip(Path("bad2.zip").c_str()), 1);

  // A Zip64 block too short for the values it must hold.
  Bytes ours = WriteArchive({{L"x", c}});
  const auto record = std::search(ours.begin(), ours.end(), central.begin(), central.end());
  ASSERT_NE(record, ours.end());
  record[46 + 1 + 2] = 8;  // data size of the block
  WriteAll(dir.File("bad3.zip"), ours);
  EXPECT_EQ(reader.OpenZip(Path("bad3.zip").c_str()), 1);

  // Data that no longer matches its CRC is a failure, not an end.
  ASSERT_EQ(Shell(cd() + "zip -q -0 stored.zip a.txt"), 0);
  Bytes stored = ReadAll(dir.File("stored.zip"));
  stored[1000] ^= 0x20;
  WriteAll(dir.File("bad4.zip"), stored);
  ASSERT_EQ(reader.OpenZip(Path("bad4.zip").c_str()), 0);
  Bytes got;
  EXPECT_EQ(Extract(reader, L"a.txt", false, got), 1);
  unsigned char buffer[8];
  unsigned int size = sizeof(buffer);
  ASSERT_EQ(reader.OpenFile(L"a.txt", false), 0);
  got.clear();
  Bytes chunk(1 << 20);
  int r;
  do {
    size = static_cast<unsigned int>(chunk.size());
    r = reader.ReadFile(chunk.data(), size);
  } while (r == 0);
  EXPECT_EQ(r, 1);
  size = sizeof(buffer);
  EXPECT_EQ(reader.ReadFile(buffer, size), 1);  // stays failed

  // Deflate data overwritten while the directory still reads.
  Bytes deflated = ReadAll(dir.File("r.zip"));
  const std::size_t local = 30 + 5;  // header and name "a.txt" of the first entry
  for (std::size_t i = local + 40; i < local + 400; ++i) deflated[i] = 0;
  WriteAll(dir.File("bad5.zip"), deflated);
  ASSERT_EQ(reader.OpenZip(Path("bad5.zip").c_str()), 0);
  got.clear();
  EXPECT_EQ(Extract(reader, L"a.txt", false, got), 1);

  // A directory that understates an entry's size: the read fails as soon as the
  // output passes it, having delivered no more than it.
  Bytes understated = ReadAll(dir.File("r.zip"));
  const auto first = std::search(understated.begin(), understated.end(), central.begin(), central.end());
  ASSERT_NE(first, understated.end());
  std::fill(first + 24, first + 28, 0);
  first[24] = 10;  // uncompressed size of "a.txt"
  WriteAll(dir.File("bad6.zip"), understated);
  ASSERT_EQ(reader.OpenZip(Path("bad6.zip").c_str()), 0);
  got.clear();
  EXPECT_EQ(Extract(reader, L"a.txt", false, got), 1);
  EXPECT_LE(got.size(), 10u);
}

}  // namespace
