#include "bench/harness/RoundStats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "bench/harness/Bench.h"

namespace zrbench {
namespace {

double Seconds(const timeval& value) { return static_cast<double>(value.tv_sec) + value.tv_usec / 1e6; }

std::string Fixed(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

}  // namespace

double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  // The command name may hold spaces: fields are counted after its closing parenthesis.
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; fields >> field && index <= 17; ++index) {
    if (index >= 14) ticks += std::stod(field);  // utime, stime, cutime, cstime
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double OwnCpuSeconds() {
  rusage self{};
  rusage children{};
  ::getrusage(RUSAGE_SELF, &self);
  ::getrusage(RUSAGE_CHILDREN, &children);
  return Seconds(self.ru_utime) + Seconds(self.ru_stime) + Seconds(children.ru_utime) +
         Seconds(children.ru_stime);
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

CRoundStats::CRoundStats(std::vector<pid_t> helpers)
    : helpers_(std::move(helpers)), samples_(std::make_shared<Samples>()) {}

std::function<void()> CRoundStats::Wrap(std::function<void()> run) {
  return [run = std::move(run), helpers = helpers_, samples = samples_] {
    auto helperCpu = [&] {
      double sum = 0;
      for (pid_t pid : helpers) sum += ProcessCpuSeconds(pid);
      return sum;
    };
    const double own = OwnCpuSeconds();
    const double other = helperCpu();
    const double start = Now();
    run();
    samples->wall.push_back(Now() - start);
    samples->own.push_back(OwnCpuSeconds() - own);
    samples->helpers.push_back(helperCpu() - other);
  };
}

std::string CRoundStats::Text() const {
  const auto& wall = samples_->wall;
  if (wall.empty()) return "no rounds";
  std::vector<double> total;
  for (std::size_t i = 0; i < wall.size(); ++i) total.push_back(samples_->own[i] + samples_->helpers[i]);
  return "min " + Fixed(*std::min_element(wall.begin(), wall.end())) + " max " +
         Fixed(*std::max_element(wall.begin(), wall.end())) + " s, CPU " + Fixed(Median(total)) +
         " s (here " + Fixed(Median(samples_->own)) + " + helpers " + Fixed(Median(samples_->helpers)) + ")";
}

}  // namespace zrbench
