#include "bench/harness/Bench.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include <stdlib.h>

#include <boost/filesystem.hpp>

namespace zrbench {
namespace {

// Highest VmHWM seen before a reset cleared it; guarded by being touched only from the benchmark's thread.
std::uint64_t g_runPeak = 0;

std::string Fixed(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

std::string SideText(double seconds, std::uint64_t bytes) {
  std::string text = Fixed(seconds, 3) + " s";
  if (bytes != 0 && seconds > 0) {
    text += " " + Fixed(static_cast<double>(bytes) / seconds / 1e6, 1) + " MB/s";
  }
  return text;
}

double TimeSide(const Side& side, bool trackRss, std::uint64_t& peak) {
  if (side.prepare) side.prepare();
  if (trackRss) ResetPeakRss();
  const double start = Now();
  side.run();
  const double seconds = Now() - start;
  if (trackRss) peak = std::max(peak, PeakRss());
  return seconds;
}

}  // namespace

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

std::vector<Timing> RunFigures(const std::vector<Figure>& figures, int rounds) {
  std::vector<std::vector<double>> anchorTimes(figures.size()), oursTimes(figures.size());
  std::vector<Timing> timings(figures.size());
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < figures.size(); ++i) {
      const Figure& figure = figures[i];
      const bool anchorFirst = round % 2 == 0;
      for (int turn = 0; turn < 2; ++turn) {
        const bool anchorTurn = (turn == 0) == anchorFirst;
        if (anchorTurn) {
          if (figure.anchor.run) {
            std::uint64_t unused = 0;
            anchorTimes[i].push_back(TimeSide(figure.anchor, false, unused));
          }
        } else {
          oursTimes[i].push_back(TimeSide(figure.ours, figure.peakRss, timings[i].oursPeakRss));
        }
      }
    }
  }
  for (std::size_t i = 0; i < figures.size(); ++i) {
    timings[i].anchorSeconds = Median(anchorTimes[i]);
    timings[i].oursSeconds = Median(oursTimes[i]);
    std::cout << FormatLine(figures[i], timings[i]) << std::endl;
  }
  return timings;
}

std::string FormatLine(const Figure& figure, const Timing& timing) {
  std::string line = figure.name + ": anchor ";
  line += figure.anchor.run ? SideText(timing.anchorSeconds, figure.bytes) : std::string("-");
  line += " | ours " + SideText(timing.oursSeconds, figure.bytes);
  line += " | ratio ";
  line += figure.anchor.run && timing.oursSeconds > 0
              ? Fixed(timing.anchorSeconds / timing.oursSeconds, 3) + "x"
              : std::string("-");
  if (figure.peakRss) {
    line += " | peak RSS " + Fixed(static_cast<double>(timing.oursPeakRss) / (1024.0 * 1024.0), 1) + " MiB";
  }
  return line;
}

std::uint64_t PeakRss() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) {
      return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
    }
  }
  return 0;
}

std::uint64_t RunPeakRss() { return std::max(g_runPeak, PeakRss()); }

bool ResetPeakRss() {
  g_runPeak = std::max(g_runPeak, PeakRss());
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

void FillRandom(void* data, std::size_t size, std::uint64_t seed) {
  // splitmix64: fast, and every seed (0 included) gives a full-period stream.
  auto* out = static_cast<unsigned char*>(data);
  std::uint64_t state = seed;
  for (std::size_t done = 0; done < size;) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    for (int k = 0; k < 8 && done < size; ++k, ++done) out[done] = static_cast<unsigned char>(z >> (8 * k));
  }
}

CArgs::CArgs(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.compare(0, 2, "--") != 0 || arg.size() == 2) {
      throw std::invalid_argument("not an option: " + arg);
    }
    arg.erase(0, 2);
    const std::size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      values_[arg.substr(0, equals)] = arg.substr(equals + 1);
    } else if (i + 1 < argc) {
      values_[arg] = argv[++i];
    } else {
      throw std::invalid_argument("option --" + arg + " lacks its value");
    }
  }
}

std::uint64_t CArgs::Number(const std::string& key, std::uint64_t fallback) const {
  const auto found = values_.find(key);
  if (found == values_.end()) return fallback;
  std::size_t used = 0;
  const std::uint64_t value = std::stoull(found->second, &used);
  if (used != found->second.size()) throw std::invalid_argument("--" + key + " wants a number");
  return value;
}

std::string CArgs::Text(const std::string& key, const std::string& fallback) const {
  const auto found = values_.find(key);
  return found == values_.end() ? fallback : found->second;
}

void CArgs::RequireKnown(const std::vector<std::string>& keys) const {
  for (const auto& entry : values_) {
    if (std::find(keys.begin(), keys.end(), entry.first) == keys.end()) {
      throw std::invalid_argument("unknown option --" + entry.first);
    }
  }
}

CScratchFolder::CScratchFolder(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("cannot make a folder like " + pattern);
  path_ = pattern;
}

CScratchFolder::~CScratchFolder() {
  boost::system::error_code ignored;
  boost::filesystem::remove_all(path_, ignored);
}

}  // namespace zrbench
