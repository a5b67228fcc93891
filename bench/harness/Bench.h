#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Shared helper of the benchmarks: each figure times our path and its anchor on the same data in the
// same run, interleaved over a few rounds, and prints one line per figure.
namespace zrbench {

// One side of a figure. `run` is timed; `prepare`, when set, runs untimed before every run.
struct Side {
  std::function<void()> run;
  std::function<void()> prepare;
};

struct Figure {
  std::string name;
  std::uint64_t bytes = 0;  // data moved by one run; 0 shows no throughput
  Side anchor;              // anchor.run may be empty: the line then shows our time only
  Side ours;
  bool peakRss = false;  // report the highest peak RSS seen during our runs
};

struct Timing {
  double anchorSeconds = 0;  // median over the rounds; 0 when there is no anchor
  double oursSeconds = 0;
  std::uint64_t oursPeakRss = 0;  // bytes; 0 when not measured
};

// Runs every figure `rounds` times: round by round, every figure in turn, anchor first in even rounds
// and ours first in odd rounds, so neither side always runs on a warmer cache. Prints one line per
// figure to standard output after the last round and returns the timings in figure order.
// A side that throws ends the run: the exception propagates.
// REQUIRES: rounds >= 1; every figure has ours.run.
std::vector<Timing> RunFigures(const std::vector<Figure>& figures, int rounds);

// One printed line: "<name>: anchor <s> s [<MB/s>] | ours <s> s [<MB/s>] | ratio <x>x[ | peak RSS <MiB>
// MiB]". The ratio is our throughput over the anchor's (anchor time / our time): above 1 we are faster.
std::string FormatLine(const Figure& figure, const Timing& timing);

// Median of the values (the mean of the middle two for an even count); 0 for none.
double Median(std::vector<double> values);

// Peak resident set size of this process since its start or the last ResetPeakRss, in bytes
// (VmHWM); 0 when it cannot be read.
std::uint64_t PeakRss();
// Starts a new peak-RSS window; returns false where the kernel does not allow it.
bool ResetPeakRss();
// Peak resident set size of the whole run so far, across resets, in bytes.
std::uint64_t RunPeakRss();

// Monotonic seconds.
double Now();

// Fills the buffer with reproducible pseudo-random bytes drawn from the seed.
void FillRandom(void* data, std::size_t size, std::uint64_t seed);

// Command-line options of the form --key value or --key=value.
class CArgs {
 public:
  // Throws std::invalid_argument on an argument that is not an option or lacks its value.
  CArgs(int argc, char** argv);
  std::uint64_t Number(const std::string& key, std::uint64_t fallback) const;
  std::string Text(const std::string& key, const std::string& fallback) const;
  // Throws std::invalid_argument naming the first option that is not among the known keys.
  void RequireKnown(const std::vector<std::string>& keys) const;

 private:
  std::map<std::string, std::string> values_;
};

// A fresh folder under $TMPDIR (or /tmp), removed with its contents on destruction.
class CScratchFolder {
 public:
  // Throws std::runtime_error when the folder cannot be made.
  explicit CScratchFolder(const std::string& prefix);
  ~CScratchFolder();
  CScratchFolder(const CScratchFolder&) = delete;
  CScratchFolder& operator=(const CScratchFolder&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace zrbench
