#include "agent/service/wsagent/LineLockedBuffer.h"

#include <atomic>

namespace zr {
namespace {

std::atomic<unsigned long> g_nextSerial{1};

// One unfinished line per thread. A thread writes to one log at a time; the serial
// tells whether the text belongs to the buffer asking for it.
struct PendingLine {
  unsigned long serial = 0;
  std::wstring text;
};
thread_local PendingLine t_pending;

}  // namespace

CLineLockedBuffer::CLineLockedBuffer(std::wstreambuf* target) : target_(target), serial_(g_nextSerial++) {}

CLineLockedBuffer::~CLineLockedBuffer() { FlushPending(); }

std::wstring& CLineLockedBuffer::Pending() {
  if (t_pending.serial != serial_) {
    t_pending.serial = serial_;
    t_pending.text.clear();
  }
  return t_pending.text;
}

void CLineLockedBuffer::WriteLine(const std::wstring& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (target_ == nullptr) return;
  target_->sputn(line.data(), static_cast<std::streamsize>(line.size()));
  target_->pubsync();
}

void CLineLockedBuffer::FlushPending() {
  std::wstring& pending = Pending();
  if (pending.empty()) return;
  const std::wstring line = std::move(pending);
  pending.clear();
  WriteLine(line);
}

CLineLockedBuffer::int_type CLineLockedBuffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char_type ch = traits_type::to_char_type(c);
  xsputn(&ch, 1);
  return c;
}

std::streamsize CLineLockedBuffer::xsputn(const char_type* text, std::streamsize count) {
  std::wstring& pending = Pending();
  std::streamsize begin = 0;
  for (std::streamsize i = 0; i < count; ++i) {
    if (text[i] != L'\n') continue;
    pending.append(text + begin, static_cast<size_t>(i + 1 - begin));
    begin = i + 1;
    const std::wstring line = std::move(pending);
    pending.clear();
    WriteLine(line);
  }
  pending.append(text + begin, static_cast<size_t>(count - begin));
  return count;
}

int CLineLockedBuffer::sync() { return 0; }

}  // namespace zr
