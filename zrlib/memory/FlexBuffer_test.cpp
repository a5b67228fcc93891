#include "zrlib/memory/FlexBuffer.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"
#include "tests/support/WideText.h"

namespace {

using ZRLib::memory::CFlexBuffer;
constexpr unsigned int kMem = CFlexBuffer::kMemorySize;

// The shared temporary folder, with the names of the files in it.
class TempDir : public zrtest::TempDir {
 public:
  TempDir() : zrtest::TempDir("flexbuffer_test.") {}
  std::wstring wpath() const { return zrtest::Wide(path()); }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(path().c_str())) {
      while (dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
      }
      ::closedir(d);
    }
    return names;
  }
};

std::string narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

bool exists(const std::wstring& path) {
  struct stat st;
  return ::lstat(narrow(path).c_str(), &st) == 0;
}

long long diskSize(const std::wstring& path) {
  struct stat st;
  return ::stat(narrow(path).c_str(), &st) == 0 ? st.st_size : -1;
}

// Bytes 0..n-1 of a recognisable sequence starting at position from.
std::vector<unsigned char> pattern(std::size_t from, std::size_t n) {
  std::vector<unsigned char> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((from + i) * 131 + 7);
  return v;
}

TEST(FlexBuffer, NewObjectHoldsNothingAndHasAPrivateSpillFile) {
  TempDir dir;
  {
    CFlexBuffer b(dir.wpath());
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_TRUE(b.IsFull());
    EXPECT_EQ(0u, b.GetSize());
    EXPECT_EQ(0u, b.GetFileBufferSize());
    ASSERT_EQ(1u, dir.Files().size());
    EXPECT_EQ(dir.path() + "/" + dir.Files()[0], narrow(b.spillPath));
    struct stat st;
    ASSERT_EQ(0, ::lstat(narrow(b.spillPath).c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777u);
    EXPECT_EQ(0, st.st_size);
  }
  EXPECT_TRUE(dir.Files().empty());
}

TEST(FlexBuffer, SpillFileFolder) {
  TempDir dir;
  std::wstring path;
  {
    CFlexBuffer withSlash(dir.wpath() + L"/");
    CFlexBuffer withoutSlash(dir.wpath());
    EXPECT_EQ(2u, dir.Files().size());
    for (const CFlexBuffer* b : {&withSlash, &withoutSlash}) {
      const std::string p = narrow(b->spillPath);
      EXPECT_EQ(dir.path() + "/", p.substr(0, p.rfind('/') + 1));
    }
    CFlexBuffer inTmp(L"");
    path = inTmp.spillPath;
    EXPECT_EQ(L"/tmp/", path.substr(0, path.rfind(L'/') + 1));
    EXPECT_TRUE(exists(path));
  }
  EXPECT_FALSE(exists(path));
  EXPECT_TRUE(dir.Files().empty());
}

TEST(FlexBuffer, SpillsBeyondMemoryAndDeliversInOrder) {
  TempDir dir;
  auto b = std::make_unique<CFlexBuffer>(dir.wpath());
  const auto data = pattern(0, 150000);
  EXPECT_EQ(150000u, b->Write(data.data(), 150000));
  EXPECT_EQ(150000u, b->GetSize());
  EXPECT_EQ(47600u, b->GetFileBufferSize());
  EXPECT_EQ(47600, diskSize(b->spillPath));
  EXPECT_FALSE(b->IsEmpty());

  std::vector<unsigned char> out(200000);
  ASSERT_EQ(150000u, b->Read(out.data(), 200000));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
  EXPECT_EQ(0u, b->GetFileBufferSize());
  EXPECT_EQ(0, diskSize(b->spillPath));  // created again, empty

  // Later writes go on filling the same destination.
  const auto more = pattern(150000, 10);
  EXPECT_EQ(10u, b->Write(more.data(), 10));
  EXPECT_TRUE(std::equal(more.begin(), more.end(), out.begin() + 150000));
  EXPECT_FALSE(b->IsFull());
  EXPECT_EQ(150010u, b->GetSize());
  EXPECT_EQ(150010u, b->readerCount);

  const std::wstring path = b->spillPath;
  b.reset();
  EXPECT_FALSE(exists(path));
}

TEST(FlexBuffer, SmallReadLeavesTheSpillFile) {
  TempDir dir;
  auto b = std::make_unique<CFlexBuffer>(dir.wpath());
  const auto data = pattern(0, 150000);
  ASSERT_EQ(150000u, b->Write(data.data(), 150000));
  std::vector<unsigned char> out(1000);
  EXPECT_EQ(1000u, b->Read(out.data(), 1000));
  EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
  EXPECT_EQ(47600, diskSize(b->spillPath));
  EXPECT_TRUE(b->IsFull());
  EXPECT_EQ(150000u, b->GetSize());

  const auto more = pattern(150000, 5);
  EXPECT_EQ(5u, b->Write(more.data(), 5));
  EXPECT_EQ(47605u, b->GetFileBufferSize());

  // Destroyed with bytes left in the file.
  const std::wstring path = b->spillPath;
  b.reset();
  EXPECT_FALSE(exists(path));
}

TEST(FlexBuffer, NullReadDetachesTheReader) {
  TempDir dir;
  CFlexBuffer b(dir.wpath());
  std::vector<unsigned char> out(100, 0xee);
  EXPECT_EQ(0u, b.Read(out.data(), 100));
  const auto data = pattern(0, 10);
  EXPECT_EQ(10u, b.Write(data.data(), 10));
  EXPECT_EQ(10u, b.readerCount);
  EXPECT_EQ(0u, b.Read(nullptr, 0));
  EXPECT_EQ(nullptr, b.readerBuffer);
  EXPECT_EQ(5u, b.Write(data.data(), 5));
  EXPECT_EQ(5u, b.memoryFill);
  EXPECT_EQ(0xee, out[10]);
  EXPECT_EQ(5u, b.GetSize());
  EXPECT_EQ(0u, b.Write(nullptr, 0));
}

TEST(FlexBuffer, TakingTheLastSpilledByteEmptiesTheFile) {
  TempDir dir;
  CFlexBuffer b(dir.wpath());
  const auto data = pattern(0, 2 * kMem);
  // Destination takes memory and file exactly.
  ASSERT_EQ(kMem + 100, b.Write(data.data(), kMem + 100));
  std::vector<unsigned char> out(2 * kMem);
  ASSERT_EQ(kMem + 100, b.Read(out.data(), kMem + 100));
  EXPECT_EQ(0, diskSize(b.spillPath));
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + kMem + 100, data.begin()));
  EXPECT_TRUE(b.IsFull());

  // The memory tier takes the file's bytes exactly.
  ASSERT_EQ(0u, b.Read(nullptr, 0));
  ASSERT_EQ(2 * kMem, b.Write(data.data(), 2 * kMem));
  ASSERT_EQ(kMem, b.Read(out.data(), kMem));
  EXPECT_EQ(0u, b.GetFileBufferSize());
  EXPECT_EQ(0, diskSize(b.spillPath));
  EXPECT_EQ(kMem, b.memoryFill);
  ASSERT_EQ(kMem, b.Read(out.data(), 2 * kMem));
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + kMem, data.begin() + kMem));
  EXPECT_TRUE(b.IsEmpty() == false);  // the destination still counts
  EXPECT_EQ(0u, b.Read(out.data(), 1));
  EXPECT_TRUE(b.IsEmpty());
}

TEST(FlexBuffer, WithoutSpillFileHoldsReaderAndMemoryOnly) {
  TempDir dir;
  CFlexBuffer b(dir.wpath() + L"/missing/");
  EXPECT_EQ(nullptr, b.spillStream);
  std::vector<unsigned char> out(1000);
  EXPECT_EQ(0u, b.Read(out.data(), 1000));
  const auto data = pattern(0, 150000);
  EXPECT_EQ(1000 + kMem, b.Write(data.data(), 150000));
  EXPECT_EQ(0u, b.GetFileBufferSize());
  EXPECT_EQ(1000 + kMem, b.GetSize());
  b.ClearFileBuffer();
  EXPECT_EQ(nullptr, b.spillStream);
  EXPECT_EQ(1000u, b.Read(out.data(), 1000));
  EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin() + 1000));
}

TEST(FlexBuffer, PlantedLinkAtTheSpillPathIsNotFollowed) {
  TempDir dir;
  const std::string target = dir.path() + "/target";
  std::ofstream(target) << "keep";
  CFlexBuffer b(dir.wpath());
  const std::string spill = narrow(b.spillPath);
  ASSERT_EQ(0, ::unlink(spill.c_str()));
  ASSERT_EQ(0, ::symlink(target.c_str(), spill.c_str()));
  b.ClearFileBuffer();
  const auto data = pattern(0, 150000);
  EXPECT_EQ(150000u, b.Write(data.data(), 150000));
  EXPECT_EQ(47600u, b.GetFileBufferSize());
  std::string content;
  std::ifstream(target) >> content;
  EXPECT_EQ("keep", content);
}

// The held total never passes what the 32-bit counts report.
TEST(FlexBuffer, HeldTotalStopsAt32Bits) {
  TempDir dir;
  CFlexBuffer b(dir.wpath());
  const auto data = pattern(0, kMem + 10);
  ASSERT_EQ(kMem, b.Write(data.data(), kMem));
  // A sparse spill file standing for nearly 4 GiB of older bytes.
  const off_t length = static_cast<off_t>(UINT_MAX) - kMem - 5;
  ASSERT_EQ(0, std::fflush(b.spillStream));
  ASSERT_EQ(0, ::ftruncate(::fileno(b.spillStream), length));
  EXPECT_EQ(UINT_MAX - 5, b.GetSize());
  EXPECT_EQ(5u, b.Write(data.data(), 10));
  EXPECT_EQ(UINT_MAX, b.GetSize());
  EXPECT_EQ(0u, b.Write(data.data(), 1));
  EXPECT_EQ(UINT_MAX, b.GetSize());
  EXPECT_EQ(UINT_MAX - kMem, b.GetFileBufferSize());
}

// A spill write that fails (here: past the file size limit) is never
// reported as accepted, also when it is small enough for the stream to buffer.
TEST(FlexBuffer, SpillWritePastTheFileLimitIsNotAccepted) {
  TempDir dir;
  constexpr unsigned int kLimit = 8192;
  // The limit would bind every file of the process; a child carries it.
  const pid_t child = ::fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = kLimit;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) std::_Exit(10);
    int code = 0;
    {
      CFlexBuffer b(dir.wpath());
      const auto data = pattern(0, kMem + 20000);
      std::size_t accepted = b.Write(data.data(), kMem);
      for (int i = 0; i < 200; ++i) accepted += b.Write(data.data() + accepted, 100);
      std::vector<unsigned char> out(kMem + 20000);
      if (accepted != kMem + kLimit) {
        code = 11;
      } else if (b.GetSize() != accepted || b.GetFileBufferSize() != kLimit) {
        code = 12;
      } else if (b.Read(out.data(), static_cast<unsigned int>(out.size())) != accepted ||
                 !std::equal(data.begin(), data.begin() + accepted, out.begin())) {
        code = 13;
      }
    }
    std::_Exit(code);
  }
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

// Predicts the three tiers of the buffer for a run of writes and reads.
struct Model {
  std::deque<unsigned char> held;  // memory tier and spill file, in order
  std::vector<unsigned char> reader;
  bool attached = false;
  unsigned int capacity = 0;
  unsigned int memFill = 0, memPos = 0;
  unsigned long long fileUnread = 0;
  int fileReads = 0;  // reads that took bytes from the spill file

  unsigned int write(const std::vector<unsigned char>& data) {
    std::size_t direct = 0;
    if (attached && held.empty()) {
      direct = std::min<std::size_t>(data.size(), capacity - reader.size());
      reader.insert(reader.end(), data.begin(), data.begin() + direct);
    }
    std::size_t rest = data.size() - direct;
    if (fileUnread == 0) {
      const std::size_t m = std::min<std::size_t>(rest, kMem - memFill);
      memFill += static_cast<unsigned int>(m);
      rest -= m;
    }
    fileUnread += rest;
    held.insert(held.end(), data.begin() + direct, data.end());
    return static_cast<unsigned int>(data.size());
  }

  unsigned int read(unsigned int size, bool null) {
    reader.clear();
    attached = !null;
    capacity = size;
    if (null) return 0;
    std::size_t count = std::min<std::size_t>(size, memFill - memPos);
    memPos += count;
    if (memPos == memFill) memPos = memFill = 0;
    if (fileUnread > 0) {
      const auto f = std::min<unsigned long long>(size - count, fileUnread);
      fileUnread -= f;
      count += f;
      const auto g = std::min<unsigned long long>(kMem - memFill, fileUnread);
      fileUnread -= g;
      memFill += static_cast<unsigned int>(g);
      fileReads += f + g > 0;
    }
    reader.assign(held.begin(), held.begin() + count);
    held.erase(held.begin(), held.begin() + count);
    return static_cast<unsigned int>(count);
  }

  unsigned long long size() const { return reader.size() + (memFill - memPos) + fileUnread; }
};

TEST(FlexBuffer, RandomTrafficMatchesModel) {
  TempDir dir;
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<unsigned int> len(1, 300000);
  std::uniform_int_distribution<int> pick(0, 99);
  Model model;
  std::size_t written = 0;
  std::wstring path;
  {
    CFlexBuffer b(dir.wpath());
    path = b.spillPath;
    std::vector<unsigned char> dest;
    for (int step = 0; step < 400; ++step) {
      SCOPED_TRACE(step);
      const int p = pick(rng);
      // Short writes as well as long ones.
      const unsigned int n = p % 3 == 0 ? len(rng) % 300 + 1 : len(rng);
      if (p < 55) {
        const auto data = pattern(written, n);
        written += n;
        ASSERT_EQ(model.write(data), b.Write(data.data(), n));
      } else {
        // The destination of the last read holds what the model expects.
        ASSERT_EQ(model.reader.size(), b.readerCount);
        ASSERT_TRUE(std::equal(model.reader.begin(), model.reader.end(), dest.begin()));
        const bool null = p >= 95;
        dest.assign(n, 0);
        ASSERT_EQ(model.read(n, null), b.Read(null ? nullptr : dest.data(), n));
      }
      ASSERT_EQ(model.size(), b.GetSize());
      ASSERT_EQ(model.fileUnread, b.GetFileBufferSize());
      ASSERT_EQ(model.memFill, b.memoryFill);
      ASSERT_EQ(model.memPos, b.memoryReadPos);
      ASSERT_EQ(model.size() == 0, b.IsEmpty());
      ASSERT_EQ(model.reader.size() == model.capacity, b.IsFull());
    }
    // Drain what is left.
    std::size_t left = model.size() - model.reader.size();
    while (left > 0) {
      dest.assign(65536, 0);
      const unsigned int got = b.Read(dest.data(), 65536);
      ASSERT_EQ(model.read(65536, false), got);
      ASSERT_TRUE(std::equal(model.reader.begin(), model.reader.end(), dest.begin()));
      left -= got;
    }
    EXPECT_EQ(0u, b.GetFileBufferSize());
    EXPECT_EQ(1u, dir.Files().size());
    EXPECT_GT(model.fileReads, 20);
  }
  EXPECT_FALSE(exists(path));
  EXPECT_TRUE(dir.Files().empty());
}

}  // namespace
