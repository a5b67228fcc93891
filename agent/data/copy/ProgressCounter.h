// Progress of one copied file, reported to the Coordinator at most once
// every 3 seconds.

#pragma once

#include <cstdint>
#include <ctime>

#include "idl/RemoteRefs.h"

namespace zr {

class CProgressCounter {
 public:
  // Seconds between two reports.
  static constexpr std::time_t kInterval = 3;

  // `progress` is not owned and may be nil (then nothing is ever sent).
  // Takes the time as the start of the file.
  explicit CProgressCounter(Tessarine::OperationProgress_ptr progress);

  // Counts `bytes`; when at least kInterval whole seconds (time()) passed
  // since the last report, sends every byte counted since then with
  // NextChunk and starts counting again. Bytes counted after the last report
  // are never sent. Never throws: a report the Coordinator cannot take
  // (NextChunk is oneway; an undeliverable one raises TRANSIENT) is dropped.
  void Add(std::uint64_t bytes) noexcept;

 private:
  Tessarine::OperationProgress_ptr progress_;
  std::uint64_t pending_ = 0;
  std::time_t last_;
};

}  // namespace zr
