#include "agent/data/hosting/LogWrapper.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace zr {

CLogWrapper::CLogWrapper(Tessarine::Log_ptr log) : log_(log) {}

CLogWrapper::~CLogWrapper() = default;

Tessarine::IDLLogEvent CLogWrapper::ToEvent(LogEvent::ID level) {
  switch (level) {
    case LogEvent::Warning: return Tessarine::Warning;
    case LogEvent::Error: return Tessarine::Error;
    case LogEvent::Debug: return Tessarine::Debug;
    default: return Tessarine::Info;
  }
}

void CLogWrapper::Write(LogEvent::ID level, const wchar_t* text) {
  if (CORBA::is_nil(log_.in())) return;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    log_->Write(ToEvent(level), text != nullptr ? text : L"");
  } catch (...) {
    // Even a oneway send fails when the Coordinator is gone; the line is lost
    // rather than the caller's operation.
  }
}

void CLogWrapper::WriteFormat(LogEvent::ID level, const wchar_t* format, ...) {
  if (CORBA::is_nil(log_.in()) || format == nullptr) return;
  wchar_t text[kMaxTextLength + 1] = {};
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vswprintf(text, kMaxTextLength + 1, format, copy);
  va_end(copy);
  if (length < 0) {
    // Too long for the buffer (or not convertible): expand it whole into a
    // memory stream and keep its beginning.
    std::wmemset(text, L'\0', kMaxTextLength + 1);
    wchar_t* expanded = nullptr;
    std::size_t size = 0;
    if (std::FILE* stream = open_wmemstream(&expanded, &size)) {
      std::vfwprintf(stream, format, args);
      std::fclose(stream);
      if (expanded != nullptr) std::wcsncpy(text, expanded, kMaxTextLength);
      std::free(expanded);
    }
  }
  va_end(args);
  Write(level, text);
}

}  // namespace zr
