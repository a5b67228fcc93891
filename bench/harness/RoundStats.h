#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// What a figure's median leaves out: every round's wall time (for the spread) and the CPU time spent in
// this process, its waited-for children and a few helper processes (a peer, a daemon) during the run.
namespace zrbench {

// User plus system seconds of `pid` and its waited-for children (/proc/<pid>/stat); 0 when it is gone.
double ProcessCpuSeconds(pid_t pid);
// User plus system seconds of this process and its waited-for children.
double OwnCpuSeconds();
// The three load averages of /proc/loadavg, as text.
std::string LoadAverage();

class CRoundStats {
 public:
  // `helpers`: processes whose CPU time counts with ours (read before and after each run).
  explicit CRoundStats(std::vector<pid_t> helpers = {});
  // `run`, recording its wall time and CPU time on every call.
  std::function<void()> Wrap(std::function<void()> run);
  // "min <s> max <s> s, CPU <s> s (here <s> + helpers <s>)": spread of the wall times and median CPU seconds.
  std::string Text() const;

 private:
  struct Samples {
    std::vector<double> wall;
    std::vector<double> own;
    std::vector<double> helpers;
  };
  std::vector<pid_t> helpers_;
  std::shared_ptr<Samples> samples_;
};

}  // namespace zrbench
