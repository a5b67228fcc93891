#include "agent/service/wsagent/LineLockedBuffer.h"

#include <gtest/gtest.h>

#include <codecvt>
#include <cstdio>
#include <fstream>
#include <locale>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zrtest {
namespace {

// Many threads writing through one wide stream into a UTF-8 file: every line
// arrives whole and none is lost.
TEST(LineLockedBufferTest, ConcurrentWritersNeverMixLines) {
  const std::string path = ::testing::TempDir() + "line_locked_buffer_test.log";
  const int kThreads = 4;
  const int kLines = 2000;
  {
    std::wofstream file;
    file.imbue(std::locale(file.getloc(), new std::codecvt_utf8<wchar_t>));
    file.open(path, std::ios::out | std::ios::trunc);
    ASSERT_TRUE(file.is_open());
    zr::CLineLockedBuffer buffer(file.rdbuf());
    std::wostream out(&buffer);
    out.setf(std::ios::unitbuf);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&out, t] {
        for (int i = 0; i < kLines; ++i)
          out << L"thread " << t << L" line " << i << L" \u00e9\u20ac" << std::endl;
      });
    }
    for (std::thread& writer : writers) writer.join();
  }
  std::ifstream in(path);
  std::string line;
  std::vector<int> next(kThreads, 0);
  int count = 0;
  while (std::getline(in, line)) {
    int t = -1, i = -1;
    char tail[32] = {};
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d %31[^\n]", &t, &i, tail), 3) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(i, next[t]++) << line;
    EXPECT_EQ(std::string(tail), "\xC3\xA9\xE2\x82\xAC") << line;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
  std::remove(path.c_str());
}

// A line is written when it ends, not at each flush; FlushPending writes the rest.
TEST(LineLockedBufferTest, UnfinishedLineWaitsForItsEnd) {
  std::wstringbuf target;
  zr::CLineLockedBuffer buffer(&target);
  std::wostream out(&buffer);
  out << L"    name" << std::flush;
  EXPECT_EQ(target.str(), L"");
  out << L" : loaded\nnext";
  EXPECT_EQ(target.str(), L"    name : loaded\n");
  buffer.FlushPending();
  EXPECT_EQ(target.str(), L"    name : loaded\nnext");
}

}  // namespace
}  // namespace zrtest
