#include "bench/harness/Bench.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace zrbench {
namespace {

TEST(BenchRun, InterleavesSidesAndPreparesUntimed) {
  std::vector<std::string> calls;
  Figure first{"first", 0, {}, {}, false};
  first.anchor.prepare = [&] { calls.push_back("prep-a"); };
  first.anchor.run = [&] { calls.push_back("a1"); };
  first.ours.run = [&] { calls.push_back("o1"); };
  Figure second{"second", 0, {}, {}, false};
  second.ours.prepare = [&] { calls.push_back("prep-o"); };
  second.ours.run = [&] { calls.push_back("o2"); };

  testing::internal::CaptureStdout();
  const auto timings = RunFigures({first, second}, 2);
  const std::string out = testing::internal::GetCapturedStdout();

  // Rounds run every figure in turn; the anchor leads in even rounds, ours in odd ones.
  const std::vector<std::string> expected{"prep-a", "a1",     "o1", "prep-o", "o2",
                                          "o1",     "prep-a", "a1", "prep-o", "o2"};
  EXPECT_EQ(calls, expected);
  ASSERT_EQ(timings.size(), 2u);
  EXPECT_EQ(timings[1].anchorSeconds, 0);
  EXPECT_EQ(out.find("first: "), 0u);
  EXPECT_NE(out.find("\nsecond: anchor - |"), std::string::npos);
}

TEST(BenchFormat, RatioIsOurThroughputOverTheAnchorsAndMedianIsTheMiddle) {
  Figure figure{"copy", 200'000'000, {}, {}, true};
  figure.anchor.run = [] {};
  Timing timing;
  timing.anchorSeconds = 1.0;
  timing.oursSeconds = 2.0;
  timing.oursPeakRss = 3 * 1024 * 1024;
  EXPECT_EQ(FormatLine(figure, timing),
            "copy: anchor 1.000 s 200.0 MB/s | ours 2.000 s 100.0 MB/s | ratio 0.500x | peak RSS 3.0 MiB");

  EXPECT_EQ(Median({5, 1, 3}), 3);
  EXPECT_EQ(Median({4, 1, 3, 2}), 2.5);
  EXPECT_EQ(Median({}), 0);
}

TEST(BenchArgs, ReadsBothFormsAndRefusesUnknownOrIncomplete) {
  const char* argv[] = {"bench", "--size-mib", "64", "--rounds=5", "--name", "x"};
  CArgs args(6, const_cast<char**>(argv));
  EXPECT_EQ(args.Number("size-mib", 1), 64u);
  EXPECT_EQ(args.Number("rounds", 1), 5u);
  EXPECT_EQ(args.Number("absent", 7), 7u);
  EXPECT_EQ(args.Text("name", ""), "x");
  EXPECT_NO_THROW(args.RequireKnown({"size-mib", "rounds", "name"}));
  EXPECT_THROW(args.RequireKnown({"size-mib", "rounds"}), std::invalid_argument);

  const char* bad[] = {"bench", "--rounds"};
  EXPECT_THROW(CArgs(2, const_cast<char**>(bad)), std::invalid_argument);
  const char* notNumber[] = {"bench", "--rounds", "5x"};
  EXPECT_THROW(CArgs(3, const_cast<char**>(notNumber)).Number("rounds", 1), std::invalid_argument);
}

TEST(BenchMemory, PeakRssSeesAnAllocationAndRandomFillIsReproducible) {
  ASSERT_GT(PeakRss(), 0u);
  if (ResetPeakRss()) {
    const std::uint64_t before = PeakRss();
    std::vector<unsigned char> block(64 << 20);
    FillRandom(block.data(), block.size(), 1);
    EXPECT_GE(PeakRss(), before + (48u << 20));
    EXPECT_GE(RunPeakRss(), PeakRss());
  }
  unsigned char a[37], b[37];
  FillRandom(a, sizeof a, 9);
  FillRandom(b, sizeof b, 9);
  EXPECT_EQ(std::string(a, a + 37), std::string(b, b + 37));
  FillRandom(b, sizeof b, 10);
  EXPECT_NE(std::string(a, a + 37), std::string(b, b + 37));
}

}  // namespace
}  // namespace zrbench
