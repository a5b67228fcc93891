#include "agent/data/copy/ProgressCounter.h"

#include "TessarineCommon.hh"

namespace zr {

CProgressCounter::CProgressCounter(Tessarine::OperationProgress_ptr progress)
    : progress_(progress), last_(std::time(nullptr)) {}

void CProgressCounter::Add(std::uint64_t bytes) noexcept {
  if (CORBA::is_nil(progress_)) return;
  pending_ += bytes;
  const std::time_t now = std::time(nullptr);
  if (now - last_ < kInterval) return;
  try {
    progress_->NextChunk(static_cast<CORBA::LongLong>(pending_));
  } catch (...) {
  }
  pending_ = 0;
  last_ = now;
}

}  // namespace zr
