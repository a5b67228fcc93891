#include "plugins/db2/zip/ZipStreamWriter.h"

#include <gtest/gtest.h>
#include <minizip/unzip.h>

#include <algorithm>
#include <clocale>
#include <string>

#include "plugins/db2/zip/ZipArchiveReader.h"
#include "plugins/db2/zip/ZipTestSupport.h"

namespace {

using namespace ziptest;

// Inflates the raw-deflate stream at `at`; returns the bytes it used.
std::size_t InflateAt(const Bytes& archive, std::size_t at, Bytes& out) {
  z_stream s{};
  EXPECT_EQ(inflateInit2(&s, -MAX_WBITS), Z_OK);
  s.next_in = const_cast<Bytef*>(archive.data() + at);
  s.avail_in = static_cast<uInt>(archive.size() - at);
  Bytes chunk(65536);
  int z = Z_OK;
  while (z == Z_OK) {
    s.next_out = chunk.data();
    s.avail_out = static_cast<uInt>(chunk.size());
    z = inflate(&s, Z_NO_FLUSH);
    out.insert(out.end(), chunk.begin(), chunk.end() - s.avail_out);
  }
  EXPECT_EQ(z, Z_STREAM_END);
  const std::size_t used = s.total_in;
  inflateEnd(&s);
  return used;
}

struct Written {
  std::string name;
  Bytes data;
  uint64_t localOffset;
  uint64_t compressedSize;
};

// Checks a local header, the data and the descriptor at `at`; returns the
// offset after the descriptor.
std::size_t CheckLocalEntry(const Bytes& a, std::size_t at, Written& entry) {
  entry.localOffset = at;
  EXPECT_EQ(Le32(a, at), 0x04034b50u);
  EXPECT_EQ(Le16(a, at + 4), 45u);
  EXPECT_EQ(Le16(a, at + 6), 0x0808u);
  EXPECT_EQ(Le16(a, at + 8), 8u);
  EXPECT_EQ(Le16(a, at + 10), 0u);
  EXPECT_EQ(Le16(a, at + 12), 0u);
  EXPECT_EQ(Le32(a, at + 14), 0u);
  EXPECT_EQ(Le32(a, at + 18), 0xFFFFFFFFu);
  EXPECT_EQ(Le32(a, at + 22), 0xFFFFFFFFu);
  EXPECT_EQ(Le16(a, at + 26), entry.name.size());
  EXPECT_EQ(Le16(a, at + 28), 20u);
  EXPECT_EQ(std::string(a.begin() + at + 30, a.begin() + at + 30 + entry.name.size()), entry.name);
  const std::size_t extra = at + 30 + entry.name.size();
  EXPECT_EQ(Le16(a, extra), 1u);
  EXPECT_EQ(Le16(a, extra + 2), 16u);
  EXPECT_EQ(Le64(a, extra + 4), 0u);
  EXPECT_EQ(Le64(a, extra + 12), 0u);

  const std::size_t data = extra + 20;
  Bytes inflated;
  entry.compressedSize = InflateAt(a, data, inflated);
  EXPECT_EQ(inflated, entry.data);

  const std::size_t descriptor = data + entry.compressedSize;
  EXPECT_EQ(Le32(a, descriptor), 0x08074b50u);
  EXPECT_EQ(Le32(a, descriptor + 4), Crc(entry.data));
  EXPECT_EQ(Le64(a, descriptor + 8), entry.compressedSize);
  EXPECT_EQ(Le64(a, descriptor + 16), entry.data.size());
  return descriptor + 24;
}

std::size_t CheckCentralEntry(const Bytes& a, std::size_t at, const Written& entry) {
  EXPECT_EQ(Le32(a, at), 0x02014b50u);
  EXPECT_EQ(Le16(a, at + 4), 45u);
  EXPECT_EQ(Le16(a, at + 6), 45u);
  EXPECT_EQ(Le16(a, at + 8), 0x0808u);
  EXPECT_EQ(Le16(a, at + 10), 8u);
  EXPECT_EQ(Le16(a, at + 12), 0u);
  EXPECT_EQ(Le16(a, at + 14), 0u);
  EXPECT_EQ(Le32(a, at + 16), Crc(entry.data));
  EXPECT_EQ(Le32(a, at + 20), 0xFFFFFFFFu);
  EXPECT_EQ(Le32(a, at + 24), 0xFFFFFFFFu);
  EXPECT_EQ(Le16(a, at + 28), entry.name.size());
  EXPECT_EQ(Le16(a, at + 30), 28u);
  EXPECT_EQ(Le16(a, at + 32), 0u);
  EXPECT_EQ(Le16(a, at + 34), 0u);
  EXPECT_EQ(Le16(a, at + 36), 0u);
  EXPECT_EQ(Le32(a, at + 38), 0u);
  EXPECT_EQ(Le32(a, at + 42), 0xFFFFFFFFu);
  EXPECT_EQ(std::string(a.begin() + at + 46, a.begin() + at + 46 + entry.name.size()), entry.name);
  const std::size_t extra = at + 46 + entry.name.size();
  EXPECT_EQ(Le16(a, extra), 1u);
  EXPECT_EQ(Le16(a, extra + 2), 24u);
  EXPECT_EQ(Le64(a, extra + 4), entry.data.size());
  EXPECT_EQ(Le64(a, extra + 12), entry.compressedSize);
  EXPECT_EQ(Le64(a, extra + 20), entry.localOffset);
  return extra + 28;
}

// Checks the three end records at `at` and that they end the archive.
void CheckEnd(const Bytes& a, std::size_t at, uint64_t entries, uint64_t cdOffset) {
  EXPECT_EQ(Le32(a, at), 0x06064b50u);
  EXPECT_EQ(Le64(a, at + 4), 44u);
  EXPECT_EQ(Le16(a, at + 12), 45u);
  EXPECT_EQ(Le16(a, at + 14), 45u);
  EXPECT_EQ(Le32(a, at + 16), 0u);
  EXPECT_EQ(Le32(a, at + 20), 0u);
  EXPECT_EQ(Le64(a, at + 24), entries);
  EXPECT_EQ(Le64(a, at + 32), entries);
  EXPECT_EQ(Le64(a, at + 40), at - cdOffset);
  EXPECT_EQ(Le64(a, at + 48), cdOffset);
  const std::size_t locator = at + 56;
  EXPECT_EQ(Le32(a, locator), 0x07064b50u);
  EXPECT_EQ(Le32(a, locator + 4), 0u);
  EXPECT_EQ(Le64(a, locator + 8), at);
  EXPECT_EQ(Le32(a, locator + 16), 1u);
  const std::size_t end = locator + 20;
  EXPECT_EQ(Le32(a, end), 0x06054b50u);
  EXPECT_EQ(Le16(a, end + 4), 0u);
  EXPECT_EQ(Le16(a, end + 6), 0u);
  EXPECT_EQ(Le16(a, end + 8), 0xFFFFu);
  EXPECT_EQ(Le16(a, end + 10), 0xFFFFu);
  EXPECT_EQ(Le32(a, end + 12), 0xFFFFFFFFu);
  EXPECT_EQ(Le32(a, end + 16), 0xFFFFFFFFu);
  EXPECT_EQ(Le16(a, end + 20), 0u);
  EXPECT_EQ(a.size(), end + 22);
}

std::vector<Entry> SampleEntries() {
  return {{L"dir\\sub\\caf\u00e9.txt", MakeText(300000, 1)},
          {L"empty", {}},
          {L"data.bin", MakeBinary(2500000, 2)}};
}

// Checks every record of an archive of SampleEntries.
void CheckSampleArchive(const Bytes& archive, const std::vector<Entry>& entries) {
  std::vector<Written> written = {{"dir/sub/caf\xc3\xa9.txt", entries[0].data, 0, 0},
                                  {"empty", {}, 0, 0},
                                  {"data.bin", entries[2].data, 0, 0}};
  std::size_t at = 0;
  for (Written& entry : written) at = CheckLocalEntry(archive, at, entry);
  // The empty entry holds only the final deflate block.
  EXPECT_EQ(written[1].compressedSize, 2u);
  const std::size_t cdOffset = at;
  for (const Written& entry : written) at = CheckCentralEntry(archive, at, entry);
  CheckEnd(archive, at, written.size(), cdOffset);
}

TEST(ZipFilterTest, EveryRecordIsByteExact) {
  const std::vector<Entry> entries = SampleEntries();
  CheckSampleArchive(WriteArchive(entries), entries);
}

TEST(ZipFilterTest, DeflateThreadsKeepTheRecordsAndWhatEveryReaderGets) {
  TempDir dir;
  const unsigned int piece = ParallelDeflater::kPieceSize;
  const std::vector<Entry> sample = SampleEntries();
  // Data whose matches reach back across piece borders, whole pieces, and
  // one byte past them.
  const Bytes text = MakeText(3 * piece + 1000, 8);
  const std::vector<Entry> edges = {{L"pieces", Bytes(text.begin(), text.begin() + 2 * piece)},
                                    {L"one-more", Bytes(text.begin(), text.begin() + piece + 1)},
                                    {L"text", text},
                                    {L"one", {'x'}}};
  for (const unsigned threads : {2u, 8u}) {
    // Input in odd amounts and a writer taking little per call.
    const Bytes archive = WriteArchive(sample, 70000, 99991, threads);
    CheckSampleArchive(archive, sample);
    EXPECT_NE(archive, WriteArchive(sample)) << "deflated in pieces";
    EXPECT_EQ(WriteArchive(edges, 0xFFFFFFFF, 100000, threads),
              WriteArchive(edges, 0xFFFFFFFF, 3 * piece, threads))
        << "the pieces do not depend on how the input comes";

    const std::string path = dir.File("parallel" + std::to_string(threads) + ".zip");
    WriteAll(path, WriteArchive(edges, 0xFFFFFFFF, 100000, threads));
    EXPECT_EQ(Shell("unzip -tq '" + path + "' >/dev/null"), 0);
    EXPECT_EQ(Shell("python3 -m zipfile -t '" + path + "' >/dev/null"), 0);
    const Bytes bytes = ReadAll(path);
    ChunkedInput input(bytes, 0);
    const auto read = StreamAll(input, 65536);
    ASSERT_EQ(read.size(), edges.size());
    for (std::size_t i = 0; i < edges.size(); ++i) EXPECT_TRUE(read[i].second == edges[i].data) << i;
  }
}

TEST(ZipFilterTest, CommitWithoutEntriesWritesOnlyTheEndRecords) {
  MemoryWriter writer;
  CZipFilter zip;
  ASSERT_EQ(zip.BeginTransaction(&writer), 0);
  ASSERT_EQ(zip.PrepareTransform(L"x", true), 0);
  ASSERT_EQ(zip.FinishTransform(), 0);
  ASSERT_EQ(zip.CommitTransaction(), 0);

  MemoryWriter second;
  ASSERT_EQ(zip.BeginTransaction(&second), 0);
  ASSERT_EQ(zip.CommitTransaction(), 0);
  ASSERT_EQ(second.bytes.size(), 56u + 20u + 22u);
  CheckEnd(second.bytes, 0, 0, 0);

  // A fresh writer's first transaction may be empty too.
  MemoryWriter fresh;
  CZipFilter empty;
  ASSERT_EQ(empty.BeginTransaction(&fresh), 0);
  EXPECT_EQ(empty.CommitTransaction(), 0);
  EXPECT_EQ(fresh.bytes, second.bytes);
}

TEST(ZipFilterTest, WriterTakingOneBytePerCallGivesTheSameArchive) {
  const std::vector<Entry> entries = {{L"a.txt", MakeText(200000, 3)}, {L"b", MakeBinary(5000, 4)}};
  EXPECT_EQ(WriteArchive(entries, 1), WriteArchive(entries));
  // Input in odd pieces changes nothing either.
  EXPECT_EQ(WriteArchive(entries, 0xFFFFFFFF, 1), WriteArchive(entries));
}

TEST(ZipFilterTest, DataWithItsCrcGivenGivesTheSameArchive) {
  const std::vector<Entry> entries = {
      {L"a.txt", MakeText(300000, 5)}, {L"empty", {}}, {L"b", MakeBinary(70001, 6)}};
  MemoryWriter writer;
  CZipFilter zip;
  ASSERT_EQ(zip.BeginTransaction(&writer), 0);
  for (const Entry& entry : entries) {
    ASSERT_EQ(zip.PrepareTransform(entry.name, true), 0);
    for (std::size_t at = 0; at < entry.data.size(); at += 65536) {
      unsigned int size = static_cast<unsigned int>(std::min<std::size_t>(65536, entry.data.size() - at));
      const uint32_t crc = static_cast<uint32_t>(crc32(0, entry.data.data() + at, size));
      ASSERT_EQ(zip.DirectTransformWithCrc(entry.data.data() + at, size, crc), 0);
    }
    ASSERT_EQ(zip.FinishTransform(), 0);
  }
  ASSERT_EQ(zip.CommitTransaction(), 0);
  EXPECT_EQ(writer.bytes, WriteArchive(entries, 0xFFFFFFFF, 65536));
}

TEST(ZipFilterTest, ArchivesPassInfoZipAndMinizip) {
  TempDir dir;
  const std::vector<Entry> entries = SampleEntries();
  const std::string path = dir.File("ours.zip");
  WriteAll(path, WriteArchive(entries));

  EXPECT_EQ(Shell("unzip -tq '" + path + "' >/dev/null"), 0);
  int status = -1;
  const std::string info = ShellOutput("zipinfo -v '" + path + "' 2>&1", &status);
  EXPECT_EQ(status, 0) << info;
  EXPECT_NE(info.find("data.bin"), std::string::npos);
  EXPECT_EQ(info.find("error"), std::string::npos) << info;
  ASSERT_EQ(Shell("cd '" + dir.path() + "' && unzip -q ours.zip"), 0);
  EXPECT_EQ(ReadAll(dir.File("dir/sub/caf\xc3\xa9.txt")), entries[0].data);
  EXPECT_EQ(ReadAll(dir.File("empty")), entries[1].data);
  EXPECT_EQ(ReadAll(dir.File("data.bin")), entries[2].data);

  unzFile uf = unzOpen64(path.c_str());
  ASSERT_NE(uf, nullptr);
  unz_global_info64 global{};
  ASSERT_EQ(unzGetGlobalInfo64(uf, &global), UNZ_OK);
  EXPECT_EQ(global.number_entry, entries.size());
  const char* names[] = {"dir/sub/caf\xc3\xa9.txt", "empty", "data.bin"};
  ASSERT_EQ(unzGoToFirstFile(uf), UNZ_OK);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    char name[256];
    unz_file_info64 fi{};
    ASSERT_EQ(unzGetCurrentFileInfo64(uf, &fi, name, sizeof(name), nullptr, 0, nullptr, 0), UNZ_OK);
    EXPECT_STREQ(name, names[i]);
    EXPECT_EQ(fi.crc, Crc(entries[i].data));
    EXPECT_EQ(fi.flag, 0x0808u);
    // The minizip of Debian 12 never reads Zip64 blocks on 64-bit Linux (it
    // compares with (unsigned long)-1) and so sees only the placeholders;
    // a minizip that reads them must also extract the data.
    if (fi.uncompressed_size == 0xFFFFFFFFu) {
      EXPECT_EQ(fi.compressed_size, 0xFFFFFFFFu);
    } else {
      EXPECT_EQ(fi.uncompressed_size, entries[i].data.size());
      ASSERT_EQ(unzOpenCurrentFile(uf), UNZ_OK);
      Bytes got;
      Bytes chunk(100000);
      int n;
      while ((n = unzReadCurrentFile(uf, chunk.data(), static_cast<unsigned>(chunk.size()))) > 0) {
        got.insert(got.end(), chunk.begin(), chunk.begin() + n);
      }
      EXPECT_EQ(n, 0);
      EXPECT_EQ(unzCloseCurrentFile(uf), UNZ_OK);  // checks the CRC
      EXPECT_EQ(got, entries[i].data);
    }
    const int next = unzGoToNextFile(uf);
    EXPECT_EQ(next, i + 1 < entries.size() ? UNZ_OK : UNZ_END_OF_LIST_OF_FILE);
  }
  unzClose(uf);
}

// Takes `limit` bytes, then answers with `failure` (or takes nothing when
// `failure` is 0).
class LimitedWriter : public IZipFilterOutputWriter {
 public:
  LimitedWriter(std::size_t limit, int failure) : limit_(limit), failure_(failure) {}
  int Write(const unsigned char*, unsigned int& size) override {
    ++calls;
    if (taken_ >= limit_) {
      size = 0;
      return failure_;
    }
    if (size > limit_ - taken_) size = static_cast<unsigned int>(limit_ - taken_);
    taken_ += size;
    return 0;
  }
  int calls = 0;

 private:
  std::size_t limit_;
  std::size_t taken_ = 0;
  int failure_;
};

TEST(ZipFilterTest, WriterFailuresEndTheArchive) {
  const Bytes data = MakeBinary(3000000, 5);
  {
    // Taking nothing without an error must not loop for ever.
    LimitedWriter writer(10, 0);
    CZipFilter zip;
    ASSERT_EQ(zip.BeginTransaction(&writer), 0);
    EXPECT_EQ(zip.PrepareTransform(L"name", true), 1);
    EXPECT_LT(writer.calls, 5);
    EXPECT_EQ(zip.CommitTransaction(), 1);
  }
  {
    // The writer's own result is passed up; the entry is dead afterwards.
    LimitedWriter writer(100000, 7);
    CZipFilter zip;
    ASSERT_EQ(zip.BeginTransaction(&writer), 0);
    ASSERT_EQ(zip.PrepareTransform(L"name", true), 0);
    unsigned int size = static_cast<unsigned int>(data.size());
    EXPECT_EQ(zip.DirectTransform(data.data(), size), 7);
    EXPECT_EQ(size, 0u);
    size = 10;
    EXPECT_EQ(zip.DirectTransform(data.data(), size), 1);
    EXPECT_EQ(zip.FinishTransform(), 1);
    EXPECT_EQ(zip.CommitTransaction(), 1);
  }
  for (const unsigned threads : {1u, 4u}) {
    // Output of deflate threads goes out later: the writer's result still
    // ends the entry, and the threads are joined.
    LimitedWriter writer(100000, 7);
    CZipFilter zip(threads);
    ASSERT_EQ(zip.BeginTransaction(&writer), 0);
    ASSERT_EQ(zip.PrepareTransform(L"name", true), 0);
    int result = 0;
    for (int i = 0; i < 8 && result == 0; ++i) {
      unsigned int size = static_cast<unsigned int>(data.size());
      result = zip.DirectTransform(data.data(), size);
    }
    EXPECT_EQ(result, 7);
    unsigned int size = 10;
    EXPECT_EQ(zip.DirectTransform(data.data(), size), 1);
    EXPECT_EQ(zip.FinishTransform(), 1);
    EXPECT_EQ(zip.CommitTransaction(), 1);
  }
  {
    // A failure while the central directory goes out.
    const Bytes good = WriteArchive({{L"name", data}});
    LimitedWriter writer(good.size() - 30, 4);
    CZipFilter zip;
    ASSERT_EQ(zip.BeginTransaction(&writer), 0);
    ASSERT_EQ(zip.PrepareTransform(L"name", true), 0);
    unsigned int size = static_cast<unsigned int>(data.size());
    ASSERT_EQ(zip.DirectTransform(data.data(), size), 0);
    ASSERT_EQ(zip.FinishTransform(), 0);
    EXPECT_EQ(zip.CommitTransaction(), 4);
  }
  {
    // An entry left unfinished cannot end in a good-looking archive.
    MemoryWriter writer;
    CZipFilter zip;
    ASSERT_EQ(zip.BeginTransaction(&writer), 0);
    ASSERT_EQ(zip.PrepareTransform(L"a", true), 0);
    ASSERT_EQ(zip.PrepareTransform(L"b", true), 0);
    ASSERT_EQ(zip.FinishTransform(), 0);
    EXPECT_EQ(zip.CommitTransaction(), 1);
  }
}

TEST(ZipFilterTest, RefusesWhatItCannotWrite) {
  MemoryWriter writer;
  CZipFilter zip;
  ASSERT_EQ(zip.BeginTransaction(&writer), 0);
  EXPECT_EQ(zip.PrepareTransform(std::wstring(65536, L'n'), true), 1);
  EXPECT_TRUE(writer.bytes.empty());
  // Two bytes each in UTF-8: 32,768 characters are one byte too many.
  EXPECT_EQ(zip.PrepareTransform(std::wstring(32768, L'\u00e9'), true), 1);
  EXPECT_EQ(zip.PrepareTransform(std::wstring(65535, L'n'), true), 0);
  EXPECT_EQ(zip.FinishTransform(), 0);

  // The reverse direction is not supported and invalidates the writer.
  EXPECT_EQ(zip.PrepareTransform(L"x", false), 1);
  unsigned int size = 1;
  const unsigned char byte = 0;
  EXPECT_EQ(zip.DirectTransform(&byte, size), 1);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(zip.FinishTransform(), 1);
  EXPECT_EQ(zip.CommitTransaction(), 1);

  CZipFilter unbound;
  EXPECT_EQ(unbound.BeginTransaction(nullptr), 1);
}

TEST(ZipFilterTest, CopiesMissingEntriesRawFromAnInfoZipArchive) {
  TempDir dir;
  const Bytes a = MakeText(400000, 6), b = MakeText(1000, 7), c = MakeBinary(70000, 8);
  WriteAll(dir.File("a.txt"), a);
  WriteAll(dir.File("b.txt"), b);
  ASSERT_EQ(Shell("mkdir -p '" + dir.File("sub") + "'"), 0);
  WriteAll(dir.File("sub/c.bin"), c);
  ASSERT_EQ(Shell("cd '" + dir.path() + "' && zip -q old.zip a.txt b.txt sub/c.bin"), 0);

  const Bytes newB = MakeText(5000, 9);
  MemoryWriter writer;
  CZipFilter zip;
  ASSERT_EQ(zip.BeginTransaction(&writer), 0);
  ASSERT_EQ(zip.PrepareTransform(L"b.txt", true), 0);
  unsigned int size = static_cast<unsigned int>(newB.size());
  ASSERT_EQ(zip.DirectTransform(newB.data(), size), 0);
  ASSERT_EQ(zip.FinishTransform(), 0);
  const std::wstring old = std::wstring(dir.path().begin(), dir.path().end()) + L"/old.zip";
  ASSERT_EQ(zip.CopyMissingFilesFromExistingArchive(old.c_str()), 0);
  ASSERT_EQ(zip.CommitTransaction(), 0);

  const std::string path = dir.File("new.zip");
  WriteAll(path, writer.bytes);
  EXPECT_EQ(Shell("unzip -tq '" + path + "' >/dev/null"), 0);
  ASSERT_EQ(Shell("mkdir '" + dir.File("out") + "' && cd '" + dir.File("out") + "' && unzip -q ../new.zip"),
            0);
  EXPECT_EQ(ReadAll(dir.File("out/a.txt")), a);
  EXPECT_EQ(ReadAll(dir.File("out/b.txt")), newB);
  EXPECT_EQ(ReadAll(dir.File("out/sub/c.bin")), c);

  // The stream reader verifies the copied entries against their descriptors.
  ChunkedInput input(writer.bytes, 4096);
  const auto streamed = StreamAll(input, 65536);
  ASSERT_EQ(streamed.size(), 3u);
  EXPECT_EQ(streamed[0].first, "b.txt");
  EXPECT_EQ(streamed[1].first, "a.txt");
  EXPECT_EQ(streamed[1].second, a);
  EXPECT_EQ(streamed[2].first, "sub/c.bin");
  EXPECT_EQ(streamed[2].second, c);

  // A missing archive is a failure, and the archive cannot be committed.
  ASSERT_EQ(zip.BeginTransaction(&writer), 0);
  ASSERT_EQ(zip.PrepareTransform(L"x", true), 0);
  ASSERT_EQ(zip.FinishTransform(), 0);
  const std::wstring missing = old + L".missing";
  EXPECT_EQ(zip.CopyMissingFilesFromExistingArchive(missing.c_str()), 1);
  EXPECT_EQ(zip.CommitTransaction(), 1);
}

}  // namespace

namespace {

TEST(ZipRecordsTest, ValuesAbove4GiBAppearOnlyInTheZip64Fields) {
  using namespace ziptest;
  ZipFileHeader header;
  header.flags = 0x0808;
  header.name = "n";
  header.crc = 0xCAFEBABE;
  header.compressedSize = 0x123456789ull;
  header.uncompressedSize = 0x987654321ull;
  header.localHeaderOffset = 0x1FFFFFFFFull;
  const Bytes central = header.GetCentralFileHeader();
  ASSERT_EQ(central.size(), 46u + 1u + 28u);
  EXPECT_EQ(Le32(central, 20), 0xFFFFFFFFu);
  EXPECT_EQ(Le32(central, 24), 0xFFFFFFFFu);
  EXPECT_EQ(Le32(central, 42), 0xFFFFFFFFu);
  EXPECT_EQ(Le64(central, 47 + 4), 0x987654321ull);
  EXPECT_EQ(Le64(central, 47 + 12), 0x123456789ull);
  EXPECT_EQ(Le64(central, 47 + 20), 0x1FFFFFFFFull);
  // Whatever the extra field held, only the Zip64 block stays.
  header.extra.assign(100, 0xAA);
  EXPECT_EQ(header.GetLocalFileHeader().size(), 30u + 1u + 20u);
  EXPECT_EQ(header.extra.size(), 20u);
  const Bytes descriptor = header.GetLocalDataDescriptor(true);
  EXPECT_EQ(Le32(descriptor, 4), 0xCAFEBABEu);
  EXPECT_EQ(Le64(descriptor, 8), 0x123456789ull);
  EXPECT_EQ(Le64(descriptor, 16), 0x987654321ull);

  EndOfCentralDirectory end;
  end.entries = 0x100000001ull;
  end.centralDirectorySize = 0x200000002ull;
  end.centralDirectoryOffset = 0x300000003ull;
  end.zip64EndOffset = 0x500000005ull;
  const Bytes zip64 = end.GetZip64EndOfCentralDirectory();
  EXPECT_EQ(Le64(zip64, 24), 0x100000001ull);
  EXPECT_EQ(Le64(zip64, 32), 0x100000001ull);
  EXPECT_EQ(Le64(zip64, 40), 0x200000002ull);
  EXPECT_EQ(Le64(zip64, 48), 0x300000003ull);
  EXPECT_EQ(Le64(end.GetZip64EndOfCentralDirectoryLocator(), 8), 0x500000005ull);
  const Bytes classic = end.GetEndOfCentralDirectory();
  EXPECT_EQ(Le16(classic, 8), 0xFFFFu);
  EXPECT_EQ(Le32(classic, 12), 0xFFFFFFFFu);
  EXPECT_EQ(Le32(classic, 16), 0xFFFFFFFFu);
}

// A name that is no text of the locale keeps, in the copy, the name readers saw in the original.
TEST(ZipFilterTest, CopiedEntryWithANameOutsideTheLocaleKeepsItsName) {
  const std::string previous = std::setlocale(LC_CTYPE, nullptr);
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  TempDir dir;
  const Bytes data = MakeText(3000, 10);
  WriteAll(dir.File("abc.txt"), data);
  ASSERT_EQ(Shell("cd '" + dir.path() + "' && zip -q old.zip abc.txt"), 0);
  // Latin-1 "\xe9t\xe9" in place of "abc", in the local and the central header, no UTF-8 flag.
  Bytes archive = ReadAll(dir.File("old.zip"));
  const std::string from = "abc.txt", to = "\xe9t\xe9.txt";
  int replaced = 0;
  for (std::size_t at = 0; at + from.size() <= archive.size(); ++at) {
    if (std::equal(from.begin(), from.end(), archive.begin() + static_cast<std::ptrdiff_t>(at))) {
      std::copy(to.begin(), to.end(), archive.begin() + static_cast<std::ptrdiff_t>(at));
      ++replaced;
    }
  }
  ASSERT_EQ(replaced, 2);
  WriteAll(dir.File("old.zip"), archive);
  const std::wstring folder(dir.path().begin(), dir.path().end());
  const std::wstring name = L"\u00e9t\u00e9.txt";

  MemoryWriter writer;
  CZipFilter zip;
  ASSERT_EQ(zip.BeginTransaction(&writer), 0);
  ASSERT_EQ(zip.PrepareTransform(L"other", true), 0);
  ASSERT_EQ(zip.FinishTransform(), 0);
  ASSERT_EQ(zip.CopyMissingFilesFromExistingArchive((folder + L"/old.zip").c_str()), 0);
  ASSERT_EQ(zip.CommitTransaction(), 0);
  WriteAll(dir.File("new.zip"), writer.bytes);

  for (const std::wstring& file : {folder + L"/old.zip", folder + L"/new.zip"}) {
    CZipReader reader;
    ASSERT_EQ(reader.OpenZip(file.c_str()), 0);
    ASSERT_EQ(reader.OpenFile(name.c_str(), false), 0);
    Bytes read(data.size() + 1);
    unsigned int size = static_cast<unsigned int>(read.size());
    ASSERT_EQ(reader.ReadFile(read.data(), size), 0);
    read.resize(size);
    EXPECT_EQ(read, data);
    EXPECT_EQ(reader.CloseFile(), 0);
  }
  std::setlocale(LC_CTYPE, previous.c_str());
}

}  // namespace
