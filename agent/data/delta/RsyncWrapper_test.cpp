#include "agent/data/delta/RsyncWrapper.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using zr::CRsyncWrapper;
using Bytes = std::vector<unsigned char>;

// Input from memory in pieces of at most `chunk` bytes; counts the reads
// asked for after the last byte was delivered.
struct Source {
  const Bytes* data;
  std::size_t chunk = SIZE_MAX;
  std::size_t position = 0;
  int readsAfterEnd = 0;
  // Basis only: a seek beyond this fails.
  bool seekFails = false;
};

std::size_t Read(unsigned char* buffer, std::size_t capacity, void* user) {
  auto& source = *static_cast<Source*>(user);
  if (source.position >= source.data->size()) {
    ++source.readsAfterEnd;
    return 0;
  }
  const std::size_t n = std::min({capacity, source.chunk, source.data->size() - source.position});
  std::memcpy(buffer, source.data->data() + source.position, n);
  source.position += n;
  return n;
}

bool Seek(std::uint64_t position, void* user) {
  auto& source = *static_cast<Source*>(user);
  if (source.seekFails) return false;
  source.position = static_cast<std::size_t>(position);
  return true;
}

// Output into memory; takes at most `limit` bytes in all and counts the
// writes offered after one it took short.
struct Sink {
  Bytes data;
  std::size_t limit = SIZE_MAX;
  bool cut = false;
  int writesAfterCut = 0;
};

std::size_t Write(const unsigned char* data, std::size_t length, void* user) {
  auto& sink = *static_cast<Sink*>(user);
  if (sink.cut) ++sink.writesAfterCut;
  const std::size_t n = std::min(length, sink.limit - sink.data.size());
  sink.data.insert(sink.data.end(), data, data + n);
  sink.cut = sink.cut || n < length;
  return n;
}

Bytes Random(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(generator());
  return bytes;
}

class RsyncWrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("zr_rsync_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string Put(const std::string& name, const Bytes& bytes) {
    const std::string path = (folder_ / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  Bytes Get(const std::string& name) {
    std::ifstream in(folder_ / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Runs rdiff with the wrapper's parameters; false when it failed.
  bool Rdiff(const std::string& arguments) {
    const std::string command = std::string(ZR_RDIFF) + " -H blake2 -R rollsum -b 2048 -S 8 -f " + arguments;
    return std::system(command.c_str()) == 0;
  }
  std::string In(const std::string& name) const { return (folder_ / name).string(); }

  Bytes Signature(const Bytes& file, std::size_t chunk = SIZE_MAX) {
    Source input{&file, chunk};
    Sink output;
    EXPECT_EQ(0, wrapper_.MakeSignature(&input, &Read, &output, &Write));
    return output.data;
  }
  Bytes Delta(const Bytes& file, const Bytes& signature, std::size_t chunk = SIZE_MAX) {
    Source input{&file, chunk};
    Source sig{&signature};
    Sink output;
    EXPECT_EQ(0, wrapper_.MakeDelta(&input, &Read, &sig, &Read, &output, &Write));
    return output.data;
  }
  int Patch(const Bytes& basis, const Bytes& delta, Bytes& rebuilt, std::size_t chunk = SIZE_MAX,
            Source* deltaSource = nullptr) {
    Source base{&basis, chunk};
    Source local{&delta, chunk};
    Source& input = deltaSource != nullptr ? *deltaSource : local;
    Sink output;
    const int result = wrapper_.ApplyPatch(&base, &Read, &input, &Read, &output, &Write, &Seek);
    rebuilt = output.data;
    return result;
  }

  fs::path folder_;
  CRsyncWrapper wrapper_;
};

TEST_F(RsyncWrapperTest, SignatureEqualsRdiffWhateverTheReadChunking) {
  EXPECT_EQ(2048u, wrapper_.GetBlockLength());
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{2048}, std::size_t{300000 + 17},
                           std::size_t{1024000}, std::size_t{2100000}, std::size_t{6 * 1024000 + 2049}}) {
    const Bytes file = Random(size, static_cast<unsigned>(size));
    Put("old", file);
    ASSERT_TRUE(Rdiff("signature " + In("old") + " " + In("old.sig")));
    const Bytes ours = Signature(file);
    EXPECT_EQ(Get("old.sig"), ours) << "size " << size;
    // Reads that end anywhere, also across the pieces the input is signed in.
    EXPECT_EQ(ours, Signature(file, size <= 300017 ? 1 : 777777)) << "size " << size;
  }
}

// Edits of a random file: each gives a new file that shares most blocks.
std::vector<std::pair<std::string, Bytes>> Edits(const Bytes& old) {
  std::vector<std::pair<std::string, Bytes>> edits;
  Bytes b = old;
  b.insert(b.begin() + 70000, 100, 'x');
  edits.emplace_back("insertion", b);
  b = old;
  b.erase(b.begin() + 5000, b.begin() + 9000);
  edits.emplace_back("deletion", b);
  b = old;
  for (std::size_t i = 0; i < 300; ++i) b[i] ^= 0x5a;
  for (std::size_t i = b.size() - 300; i < b.size(); ++i) b[i] ^= 0xa5;
  edits.emplace_back("both ends changed", b);
  b = old;
  b.insert(b.begin(), 7, 'a');
  b.insert(b.end(), 3000, 'z');
  edits.emplace_back("both ends grown", b);
  edits.emplace_back("unrelated", Random(old.size() / 2, 99));
  edits.emplace_back("empty", Bytes());
  return edits;
}

TEST_F(RsyncWrapperTest, DeltasEqualRdiffAndEachToolPatchesTheOthersDelta) {
  const Bytes old = Random(250000, 7);
  Put("old", old);
  ASSERT_TRUE(Rdiff("signature " + In("old") + " " + In("old.sig")));
  const Bytes signature = Get("old.sig");
  for (const auto& edit : Edits(old)) {
    SCOPED_TRACE(edit.first);
    Put("new", edit.second);
    ASSERT_TRUE(Rdiff("delta " + In("old.sig") + " " + In("new") + " " + In("rdiff.delta")));
    const Bytes ours = Delta(edit.second, signature);
    EXPECT_EQ(Get("rdiff.delta"), ours);
    // rdiff rebuilds from our delta ...
    Put("ours.delta", ours);
    ASSERT_TRUE(Rdiff("patch " + In("old") + " " + In("ours.delta") + " " + In("rebuilt")));
    EXPECT_EQ(edit.second, Get("rebuilt"));
    // ... and we from rdiff's, reading everything in one piece or a byte at a time.
    Bytes rebuilt;
    EXPECT_EQ(0, Patch(old, Get("rdiff.delta"), rebuilt));
    EXPECT_EQ(edit.second, rebuilt);
    EXPECT_EQ(0, Patch(old, ours, rebuilt, 1));
    EXPECT_EQ(edit.second, rebuilt);
  }
}

// Deltas of new files of many pieces: each piece's delta is made apart and
// the deltas are joined into one.
TEST_F(RsyncWrapperTest, DeltasOfManyPiecesRebuildTheNewFileWithEitherTool) {
  constexpr std::size_t kPiece = 4 * 2048;
  wrapper_.SetDeltaPieceLength(kPiece);
  const Bytes old = Random(100000, 8);
  Put("old", old);
  const Bytes signature = Signature(old);
  auto flipped = [&](std::size_t from, std::size_t to) {
    Bytes b = old;
    for (std::size_t i = from; i < to; ++i) b[i] ^= 0x3c;
    return b;
  };
  // Each case with what a piece may add to rdiff's delta: the commands that
  // start and end it and, where data moved, a block sent as literal data.
  constexpr std::size_t kCommands = 20;
  struct Case {
    std::string name;
    Bytes file;
    std::size_t allowance = kCommands;
  };
  std::vector<Case> cases = {
      {"edit at a piece boundary", flipped(3 * kPiece - 10, 3 * kPiece + 10)},
      {"edit across a piece", flipped(5 * kPiece - 3000, 6 * kPiece + 3000)},
      {"exact multiple of the piece", Bytes(old.begin(), old.begin() + 10 * kPiece)},
      {"tail shorter than a block", Bytes(old.begin(), old.begin() + 7 * kPiece + 500)},
      {"insertion shifting every boundary", old, 2048 + kCommands},
      {"unrelated", Random(50000, 98)},
      {"empty", Bytes()},
  };
  cases[4].file.insert(cases[4].file.begin() + 1000, 100, 'x');
  Put("old.sig", signature);
  for (const auto& [name, file, allowance] : cases) {
    SCOPED_TRACE(name);
    const Bytes ours = Delta(file, signature);
    Put("new", file);
    ASSERT_TRUE(Rdiff("delta " + In("old.sig") + " " + In("new") + " " + In("rdiff.delta")));
    EXPECT_LE(ours.size(), Get("rdiff.delta").size() + (file.size() / kPiece + 1) * allowance);
    // Reads of any length give the same delta.
    EXPECT_EQ(ours, Delta(file, signature, 3001));
    Put("ours.delta", ours);
    ASSERT_TRUE(Rdiff("patch " + In("old") + " " + In("ours.delta") + " " + In("rebuilt")));
    EXPECT_EQ(file, Get("rebuilt"));
    Bytes rebuilt;
    EXPECT_EQ(0, Patch(old, ours, rebuilt));
    EXPECT_EQ(file, rebuilt);
  }
  {  // against an empty basis: all literal data
    const Bytes file = Random(30000, 97);
    Bytes rebuilt;
    EXPECT_EQ(0, Patch(Bytes(), Delta(file, Signature(Bytes())), rebuilt));
    EXPECT_EQ(file, rebuilt);
  }
  {  // a write taken short in a later piece ends the job, and nothing follows it
    const Bytes& file = cases[5].file;
    Source input{&file};
    Source sig{&signature};
    Sink output;
    output.limit = 2 * kPiece + 100;
    EXPECT_EQ(100, wrapper_.MakeDelta(&input, &Read, &sig, &Read, &output, &Write));
    EXPECT_TRUE(output.cut);
    EXPECT_EQ(0, output.writesAfterCut);
  }
}

TEST_F(RsyncWrapperTest, EmptyBasisDeltaIsAllLiteralsAndRebuildsTheFile) {
  const Bytes empty;
  const Bytes signature = Signature(empty);
  Put("empty", empty);
  ASSERT_TRUE(Rdiff("signature " + In("empty") + " " + In("empty.sig")));
  EXPECT_EQ(Get("empty.sig"), signature);
  const Bytes file = Random(100000, 3);
  const Bytes delta = Delta(file, signature);
  Bytes rebuilt;
  EXPECT_EQ(0, Patch(empty, delta, rebuilt));
  EXPECT_EQ(file, rebuilt);
  // Without any basis at all: nothing is copied, nothing needs one.
  Source input{&delta};
  Sink output;
  EXPECT_EQ(0, wrapper_.ApplyPatch(nullptr, nullptr, &input, &Read, &output, &Write, nullptr));
  EXPECT_EQ(file, output.data);
}

TEST_F(RsyncWrapperTest, ACompleteDeltaIsReadToItsEndAndNoFurther) {
  const Bytes old = Random(40000, 11);
  Bytes changed = old;
  changed.insert(changed.begin() + 20000, 50, 'q');
  const Bytes delta = Delta(changed, Signature(old));
  Source input{&delta, 1};
  Bytes rebuilt;
  EXPECT_EQ(0, Patch(old, delta, rebuilt, 1, &input));
  EXPECT_EQ(changed, rebuilt);
  EXPECT_EQ(0, input.readsAfterEnd);
}

TEST_F(RsyncWrapperTest, SignaturesThatCannotBeLoadedGiveOneAndLeakNothing) {
  const Bytes old = Random(10000, 5);
  const Bytes signature = Signature(old);
  const Bytes file = Random(5000, 6);
  std::vector<std::pair<std::string, Bytes>> bad = {
      {"empty", Bytes()},
      {"bad magic", Random(64, 1)},
      {"cut-off header", Bytes(signature.begin(), signature.begin() + 6)},
      {"cut-off block", Bytes(signature.begin(), signature.end() - 5)},
  };
  // librsync's complaints go to the agent's (wide) log.
  std::wstringstream log;
  std::wstreambuf* old_buf = std::wcerr.rdbuf(log.rdbuf());
  for (const auto& entry : bad) {
    SCOPED_TRACE(entry.first);
    Source input{&file};
    Source sig{&entry.second};
    Sink output;
    EXPECT_EQ(1, wrapper_.MakeDelta(&input, &Read, &sig, &Read, &output, &Write));
    EXPECT_TRUE(output.data.empty());
  }
  std::wcerr.rdbuf(old_buf);
  EXPECT_NE(std::wstring::npos, log.str().find(L"librsync: ERROR")) << log.str();
}

TEST_F(RsyncWrapperTest, FailuresOfTheStreamsGiveLibrsyncResults) {
  const Bytes old = Random(60000, 21);
  Bytes changed = old;
  changed.insert(changed.begin() + 1000, 10, 'z');
  const Bytes delta = Delta(changed, Signature(old));
  std::wstringstream log;
  std::wstreambuf* old_buf = std::wcerr.rdbuf(log.rdbuf());
  {  // a write that takes less than offered
    Source input{&old};
    Sink output;
    output.limit = 10;
    EXPECT_EQ(100, wrapper_.MakeSignature(&input, &Read, &output, &Write));
  }
  {  // a seek of the basis that fails
    Source base{&old};
    base.seekFails = true;
    Source input{&delta};
    Sink output;
    EXPECT_EQ(100, wrapper_.ApplyPatch(&base, &Read, &input, &Read, &output, &Write, &Seek));
  }
  Bytes rebuilt;
  // a basis shorter than the delta's copy commands
  EXPECT_EQ(103, Patch(Bytes(old.begin(), old.begin() + 30000), delta, rebuilt));
  // a delta cut off before its end command
  EXPECT_EQ(103, Patch(old, Bytes(delta.begin(), delta.end() - 1), rebuilt));
  EXPECT_EQ(103, Patch(old, Bytes(), rebuilt));
  {  // copy commands and no basis
    Source input{&delta};
    Sink output;
    EXPECT_EQ(100, wrapper_.ApplyPatch(nullptr, nullptr, &input, &Read, &output, &Write, nullptr));
  }
  std::wcerr.rdbuf(old_buf);
}

}  // namespace
