#include "plugins/db2/zip/ZipStreamReader.h"

#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>

#include "plugins/db2/zip/ZipTestSupport.h"

namespace {

using namespace ziptest;

// Bytes before the first signature, ending in a signature's first 3 bytes.
Bytes Garbage() {
  Bytes garbage(5000);
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<unsigned char>(i * 7 % 251);
  const unsigned char partial[] = {'P', 'K', 1, 2, 'P', 'K', 7, 8, 'P', 'K', 3};
  garbage.insert(garbage.end(), std::begin(partial), std::end(partial));
  // A lone "PK\3\4" in the garbage would be taken for a header.
  garbage[10] = 'P';
  garbage[11] = 'K';
  garbage[12] = 3;
  garbage[13] = 0;
  return garbage;
}

struct Archive {
  Bytes bytes;
  std::vector<std::pair<std::string, Bytes>> entries;
};

// Archives from our writer and from Info-ZIP zip, made once.
class StreamSources {
 public:
  static StreamSources& Get() {
    static StreamSources sources;
    return sources;
  }
  const Archive& operator[](const std::string& name) { return archives_.at(name); }
  const TempDir& dir() const { return dir_; }
  Bytes a, b;

 private:
  StreamSources() : a(MakeText(2300000, 11)), b(MakeBinary(3000000, 12)) {
    WriteAll(dir_.File("a.txt"), a);
    WriteAll(dir_.File("b.bin"), b);
    const std::string cd = "cd '" + dir_.path() + "' && ";
    const auto both = std::vector<std::pair<std::string, Bytes>>{{"a.txt", a}, {"b.bin", b}};
    archives_["ours"] = {WriteArchive({{L"a.txt", a}, {L"b.bin", b}, {L"empty", {}}}),
                         {{"a.txt", a}, {"b.bin", b}, {"empty", {}}}};
    EXPECT_EQ(Shell(cd + "zip -q -Z deflate plain.zip a.txt b.bin"), 0);
    archives_["zip"] = {ReadAll(dir_.File("plain.zip")), both};
    EXPECT_EQ(Shell(cd + "zip -q -fz fz.zip a.txt b.bin"), 0);
    archives_["zip -fz"] = {ReadAll(dir_.File("fz.zip")), both};
    // Into a pipe: data descriptors after each entry.
    EXPECT_EQ(Shell(cd + "zip -q - a.txt b.bin | cat > piped.zip"), 0);
    archives_["zip - files | cat"] = {ReadAll(dir_.File("piped.zip")), both};
    EXPECT_EQ(Shell(cd + "cat a.txt | zip -q -fz - - | cat > stdin.zip"), 0);
    archives_["cat | zip -fz - - | cat"] = {ReadAll(dir_.File("stdin.zip")), {{"-", a}}};
    const Bytes garbage = Garbage();
    for (auto& [name, archive] : archives_) {
      archive.bytes.insert(archive.bytes.begin(), garbage.begin(), garbage.end());
    }
  }
  TempDir dir_;
  std::map<std::string, Archive> archives_;
};

struct Case {
  const char* archive;
  unsigned int chunk;  // 0: random sizes
};

std::string CaseName(const testing::TestParamInfo<Case>& info) {
  std::string name;
  for (const char* c = info.param.archive; *c != '\0'; ++c) {
    if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
  }
  return name + "_" + (info.param.chunk == 0 ? std::string("random") : std::to_string(info.param.chunk));
}

class StreamReaderChunks : public testing::TestWithParam<Case> {};

TEST_P(StreamReaderChunks, GivesBackTheExactBytes) {
  const Archive& archive = StreamSources::Get()[GetParam().archive];
  ChunkedInput input(archive.bytes, GetParam().chunk);
  const unsigned int room = GetParam().chunk == 1 ? 1u << 20 : 65536;
  const auto got = StreamAll(input, room);
  ASSERT_EQ(got.size(), archive.entries.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].first, archive.entries[i].first);
    EXPECT_TRUE(got[i].second == archive.entries[i].second) << got[i].first;
  }
}

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (const char* archive : {"ours", "zip", "zip -fz", "zip - files | cat", "cat | zip -fz - - | cat"}) {
    for (unsigned int chunk : {1u, 3u, 0u, CZipStreamReader::kBufferSize}) cases.push_back({archive, chunk});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Sources, StreamReaderChunks, testing::ValuesIn(AllCases()), CaseName);

// Reads the current entry to its end; returns the last result.
int Drain(CZipStreamReader& reader, Bytes* out = nullptr) {
  Bytes buffer(100000);
  for (;;) {
    unsigned int size = static_cast<unsigned int>(buffer.size());
    const int r = reader.ReadFile(buffer.data(), size);
    if (r != 0) return r;
    if (out != nullptr) out->insert(out->end(), buffer.begin(), buffer.begin() + size);
  }
}

std::size_t Find(const Bytes& data, const std::string& what, std::size_t from = 0) {
  const auto it = std::search(data.begin() + static_cast<long>(from), data.end(), what.begin(), what.end());
  return static_cast<std::size_t>(it - data.begin());
}

TEST(ZipStreamReaderTest, RefusesEntriesThatDoNotMatchTheirDescriptorOrHeader) {
  const Bytes good = WriteArchive({{L"a", MakeText(100000, 13)}, {L"b", MakeText(1000, 14)}});
  const std::size_t descriptor = Find(good, "PK\x07\x08");
  ASSERT_LT(descriptor, good.size());
  for (const std::size_t field : {descriptor + 4, descriptor + 8, descriptor + 16}) {
    Bytes bad = good;
    bad[field] ^= 1;  // CRC, compressed size, uncompressed size
    ChunkedInput input(bad, 1000);
    CZipStreamReader reader;
    ASSERT_EQ(reader.OpenZip(&input), 0);
    ZipFileHeader* header = nullptr;
    ASSERT_EQ(reader.OpenCurrentFile(header), 0);
    EXPECT_EQ(Drain(reader), 1) << "field at " << field - descriptor;
    // The reader is closed for reading after a failure.
    EXPECT_EQ(reader.OpenCurrentFile(header), 1);
  }

  // Without descriptor the local header holds CRC and sizes.
  const StreamSources& sources = StreamSources::Get();
  Bytes plain = ReadAll(sources.dir().File("plain.zip"));
  ASSERT_EQ(Le16(plain, 6) & 8, 0u);
  plain[14] ^= 0x10;
  ChunkedInput input(plain, 0);
  CZipStreamReader reader;
  ASSERT_EQ(reader.OpenZip(&input), 0);
  ZipFileHeader* header = nullptr;
  ASSERT_EQ(reader.OpenCurrentFile(header), 0);
  EXPECT_EQ(Drain(reader), 1);
}

TEST(ZipStreamReaderTest, CrcLeftToTheCallerIsCheckedByVerifyCrc) {
  // Every source, descriptor or not: the caller's CRC verifies each entry.
  StreamSources& sources = StreamSources::Get();
  for (const std::string name : {"ours", "zip", "zip -fz"}) {
    const Archive& archive = sources[name];
    ChunkedInput input(archive.bytes, 0);
    CZipStreamReader reader;
    reader.LeaveCrcToCaller(true);
    ASSERT_EQ(reader.OpenZip(&input), 0);
    ZipFileHeader* header = nullptr;
    for (const auto& expected : archive.entries) {
      ASSERT_EQ(reader.OpenCurrentFile(header), 0) << name;
      Bytes data;
      ASSERT_EQ(Drain(reader, &data), 5) << name;
      EXPECT_EQ(reader.VerifyCrc(Crc(data)), 0) << name << " " << expected.first;
      EXPECT_TRUE(data == expected.second) << name << " " << expected.first;
    }
  }

  const Bytes good = WriteArchive({{L"a", MakeText(100000, 13)}});
  const std::size_t descriptor = Find(good, "PK\x07\x08");
  ASSERT_LT(descriptor, good.size());
  for (const std::size_t field : {descriptor + 4, descriptor + 8}) {
    Bytes bad = good;
    bad[field] ^= 1;  // CRC: found by VerifyCrc; compressed size: by ReadFile
    ChunkedInput input(bad, 1000);
    CZipStreamReader reader;
    reader.LeaveCrcToCaller(true);
    ASSERT_EQ(reader.OpenZip(&input), 0);
    ZipFileHeader* header = nullptr;
    ASSERT_EQ(reader.OpenCurrentFile(header), 0);
    Bytes data;
    if (field == descriptor + 4) {
      ASSERT_EQ(Drain(reader, &data), 5);
      EXPECT_EQ(reader.VerifyCrc(Crc(data)), 1);
    } else {
      EXPECT_EQ(Drain(reader, &data), 1);
    }
    EXPECT_EQ(reader.OpenCurrentFile(header), 1) << "closed for reading";
  }
}

// Raw deflate of `data`.
Bytes Deflate(const Bytes& data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&z, data.size()));
  z.next_in = const_cast<unsigned char*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// An entry whose header states 10 bytes but whose data inflates to 64 MiB fails
// as soon as the output passes the stated size, having delivered no more than it.
TEST(ZipStreamReaderTest, OutputPastTheStatedSizeFailsAtOnce) {
  const Bytes deflated = Deflate(Bytes(64u << 20, 0));
  Bytes archive;
  const auto put = [&archive](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) archive.push_back(static_cast<unsigned char>(value >> (8 * i)));
  };
  put(0x04034b50, 4);
  put(20, 2);  // version needed
  put(0, 2);   // flags: no data descriptor, the header's sizes hold
  put(8, 2);   // deflate
  put(0, 4);   // time and date
  put(0x12345678, 4);
  put(deflated.size(), 4);
  put(10, 4);  // stated uncompressed size
  put(1, 2);
  put(0, 2);
  archive.push_back('x');
  archive.insert(archive.end(), deflated.begin(), deflated.end());

  ChunkedInput input(archive, 4096);
  CZipStreamReader reader;
  ASSERT_EQ(reader.OpenZip(&input), 0);
  ZipFileHeader* header = nullptr;
  ASSERT_EQ(reader.OpenCurrentFile(header), 0);
  Bytes delivered;
  EXPECT_EQ(Drain(reader, &delivered), 1);
  EXPECT_LE(delivered.size(), 10u);
  EXPECT_LT(input.calls, 5);
}

TEST(ZipStreamReaderTest, RefusesStoredAndEncryptedEntries) {
  const StreamSources& sources = StreamSources::Get();
  const std::string cd = "cd '" + sources.dir().path() + "' && ";
  ASSERT_EQ(Shell(cd + "zip -q -0 stored.zip a.txt"), 0);
  ASSERT_EQ(Shell(cd + "zip -q -P secret crypted.zip a.txt"), 0);
  for (const char* name : {"stored.zip", "crypted.zip"}) {
    const Bytes archive = ReadAll(sources.dir().File(name));
    ChunkedInput input(archive, 0);
    CZipStreamReader reader;
    ASSERT_EQ(reader.OpenZip(&input), 0);
    ZipFileHeader* header = nullptr;
    EXPECT_EQ(reader.OpenCurrentFile(header), 1) << name;
    unsigned int size = 10;
    unsigned char buffer[10];
    EXPECT_EQ(reader.ReadFile(buffer, size), 1) << name;
  }
}

TEST(ZipStreamReaderTest, StreamWithoutSignatureEndsForGood) {
  const Bytes garbage = Garbage();
  ChunkedInput input(garbage, 3);
  CZipStreamReader reader;
  ASSERT_EQ(reader.OpenZip(&input), 0);
  ZipFileHeader* header = nullptr;
  EXPECT_EQ(reader.OpenCurrentFile(header), 1);
  const int calls = input.calls;
  EXPECT_EQ(reader.OpenCurrentFile(header), 1);
  EXPECT_EQ(input.calls, calls);
  unsigned int size = 4;
  unsigned char buffer[4];
  EXPECT_EQ(reader.ReadFile(buffer, size), 1);
}

TEST(ZipStreamReaderTest, EmptyEntryEndsAtOnce) {
  const Bytes archive = WriteArchive({{L"empty", {}}});
  ChunkedInput input(archive, 0);
  CZipStreamReader reader;
  ASSERT_EQ(reader.OpenZip(&input), 0);
  ZipFileHeader* header = nullptr;
  ASSERT_EQ(reader.OpenCurrentFile(header), 0);
  EXPECT_EQ(header->name, "empty");
  EXPECT_EQ(header->flags, 0x0808);
  unsigned char buffer[16];
  unsigned int size = sizeof(buffer);
  EXPECT_EQ(reader.ReadFile(buffer, size), 0);
  EXPECT_EQ(size, 0u);
  size = sizeof(buffer);
  EXPECT_EQ(reader.ReadFile(buffer, size), 5);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(reader.OpenCurrentFile(header), 1);  // only the central directory follows
}

TEST(ZipStreamReaderTest, SkipsAnEntryClosedEarly) {
  const Bytes a = MakeText(500000, 15), b = MakeText(20000, 16);
  const Bytes archive = WriteArchive({{L"a", a}, {L"b", b}});
  ChunkedInput input(archive, 0);
  CZipStreamReader reader;
  ASSERT_EQ(reader.OpenZip(&input), 0);
  ZipFileHeader* header = nullptr;
  ASSERT_EQ(reader.OpenCurrentFile(header), 0);
  unsigned char buffer[100];
  unsigned int size = sizeof(buffer);
  ASSERT_EQ(reader.ReadFile(buffer, size), 0);
  EXPECT_EQ(reader.CloseFile(), 0);
  size = sizeof(buffer);
  EXPECT_EQ(reader.ReadFile(buffer, size), 5);
  ASSERT_EQ(reader.OpenCurrentFile(header), 0);
  EXPECT_EQ(header->name, "b");
  Bytes got;
  EXPECT_EQ(Drain(reader, &got), 5);
  EXPECT_EQ(got, b);
}

// Hands out a prefix of the data, then misbehaves as told.
class BadInput : public IZipFilterInputReader {
 public:
  enum Mode { kFailure, kNoProgress, kOverrun, kEnd };
  BadInput(const Bytes& data, std::size_t good, Mode mode) : data_(data), good_(good), mode_(mode) {}
  int Read(unsigned char* buffer, unsigned int& size) override {
    ++calls;
    if (position_ < good_) {
      const std::size_t n = std::min<std::size_t>({size, good_ - position_, 4096});
      std::copy(data_.begin() + static_cast<long>(position_),
                data_.begin() + static_cast<long>(position_ + n), buffer);
      position_ += n;
      size = static_cast<unsigned int>(n);
      return 0;
    }
    switch (mode_) {
      case kFailure: size = 0; return 7;
      case kNoProgress: size = 0; return 0;
      case kOverrun: size += 1; return 0;
      case kEnd: break;
    }
    size = 0;
    return 5;
  }
  int calls = 0;

 private:
  const Bytes& data_;
  std::size_t good_;
  Mode mode_;
  std::size_t position_ = 0;
};

TEST(ZipStreamReaderTest, InputProblemsFailTheEntry) {
  const Bytes archive = WriteArchive({{L"a", MakeBinary(400000, 17)}});
  for (const BadInput::Mode mode :
       {BadInput::kFailure, BadInput::kNoProgress, BadInput::kOverrun, BadInput::kEnd}) {
    BadInput input(archive, archive.size() / 2, mode);
    CZipStreamReader reader;
    ASSERT_EQ(reader.OpenZip(&input), 0);
    ZipFileHeader* header = nullptr;
    ASSERT_EQ(reader.OpenCurrentFile(header), 0);
    EXPECT_EQ(Drain(reader), 1) << "mode " << mode;
    EXPECT_LT(input.calls, 1000);
  }
  {
    // Failing while the header is searched for.
    BadInput input(archive, 10, BadInput::kFailure);
    CZipStreamReader reader;
    ASSERT_EQ(reader.OpenZip(&input), 0);
    ZipFileHeader* header = nullptr;
    EXPECT_EQ(reader.OpenCurrentFile(header), 1);
  }
  {
    // The stream ends inside the local header.
    BadInput input(archive, 20, BadInput::kEnd);
    CZipStreamReader reader;
    ASSERT_EQ(reader.OpenZip(&input), 0);
    ZipFileHeader* header = nullptr;
    EXPECT_EQ(reader.OpenCurrentFile(header), 1);
  }
  CZipStreamReader reader;
  EXPECT_EQ(reader.OpenZip(nullptr), 1);
  ZipFileHeader* header = nullptr;
  EXPECT_EQ(reader.OpenCurrentFile(header), 1);
  EXPECT_EQ(reader.CloseZip(), 0);
}

TEST(ZipFileHeaderTest, LoadsLocalRecordsBack) {
  ZipFileHeader written;
  written.flags = 0x0808;
  written.name = "dir/name";
  written.crc = 0x12345678;
  written.compressedSize = 0x1122334455ull;
  written.uncompressedSize = 0x66778899AAull;
  const Bytes local = written.GetLocalFileHeader();
  ZipFileHeader loaded;
  EXPECT_EQ(loaded.LoadLocalFileHeader(local.data() + 4, static_cast<unsigned int>(local.size() - 5)), 0u);
  ASSERT_EQ(loaded.LoadLocalFileHeader(local.data() + 4, static_cast<unsigned int>(local.size() - 4)),
            local.size() - 4);
  EXPECT_EQ(loaded.name, "dir/name");
  EXPECT_EQ(loaded.flags, 0x0808);
  EXPECT_EQ(loaded.method, 8);
  EXPECT_EQ(loaded.versionNeeded, 45);
  EXPECT_EQ(loaded.crc, 0x12345678u);
  EXPECT_EQ(loaded.compressedSize, 0x1122334455ull);
  EXPECT_EQ(loaded.uncompressedSize, 0x66778899AAull);
  EXPECT_TRUE(loaded.hasZip64Extra);

  const Bytes descriptor = written.GetLocalDataDescriptor(false);
  ASSERT_EQ(descriptor.size(), 20u);
  EXPECT_EQ(written.GetLocalDataDescriptor(true).size(), 24u);
  ZipFileHeader fromDescriptor;
  EXPECT_EQ(fromDescriptor.LoadLocalDataDescriptor(descriptor.data(), 19), 0u);
  ASSERT_EQ(fromDescriptor.LoadLocalDataDescriptor(descriptor.data(), 20), 20u);
  EXPECT_EQ(fromDescriptor.crc, 0x12345678u);
  EXPECT_EQ(fromDescriptor.compressedSize, 0x1122334455ull);
  EXPECT_EQ(fromDescriptor.uncompressedSize, 0x66778899AAull);

  // An extra block that claims more than is there is not taken.
  Bytes broken = local;
  broken[30 + 8 + 2] = 40;
  ZipFileHeader partial;
  ASSERT_NE(partial.LoadLocalFileHeader(broken.data() + 4, static_cast<unsigned int>(broken.size() - 4)), 0u);
  EXPECT_FALSE(partial.hasZip64Extra);
  EXPECT_EQ(partial.uncompressedSize, 0xFFFFFFFFu);
}

}  // namespace
