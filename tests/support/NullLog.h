// An ILog that drops every line, for benches and fuzz targets.

#pragma once

#include "plugin-api/ILog.h"

namespace zrtest {

class NullLog final : public ILog {
 public:
  void Write(LogEvent::ID, const wchar_t*) override {}
};

}  // namespace zrtest
