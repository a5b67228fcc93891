// Formatted logging for plug-in and filter classes.

#pragma once

#include <cstdarg>
#include <cstddef>
#include <cwchar>
#include <new>
#include <vector>

#include "plugin-api/FileTypes.h"
#include "plugin-api/ILog.h"

class PluginBase {
 public:
  // Longest text passed to ILog::Write; longer texts are cut.
  static constexpr std::size_t kMaxTextLength = 511;

  // Keeps `log` (not owned; may be null, then every log call does nothing).
  explicit PluginBase(ILog* log) : m_log(log) {}

  // Formats `format` with the arguments as vswprintf does (narrow strings are
  // %s, wide ones %ls) and writes the text, cut at kMaxTextLength characters,
  // at `level`; a null format gives an empty text. Nothing happens when the
  // log is null. Never throws. Thread: any the log object accepts calls from.
  void LogWrite(LogEvent::ID level, const wchar_t* format, ...) const {
    if (m_log == nullptr) return;
    va_list args;
    va_start(args, format);
    Write(level, format, args);
    va_end(args);
  }

  // As LogWrite; `error` (a system error number) does not enter the text.
  void LogWriteSystem(LogEvent::ID level, unsigned long error, const wchar_t* format, ...) const {
    static_cast<void>(error);
    if (m_log == nullptr) return;
    va_list args;
    va_start(args, format);
    Write(level, format, args);
    va_end(args);
  }

 protected:
  ILog* m_log;

 private:
  void Write(LogEvent::ID level, const wchar_t* format, va_list args) const {
    wchar_t text[kMaxTextLength + 1] = {};
    Format(text, format, args);
    m_log->Write(level, text);
  }

  // Fills `text` with at most kMaxTextLength characters of the expansion and
  // a terminator. vswprintf fails when the expansion does not fit and leaves
  // the buffer unspecified then, so a longer text is formatted into a larger
  // buffer and cut afterwards.
  static void Format(wchar_t (&text)[kMaxTextLength + 1], const wchar_t* format, va_list args) {
    if (format == nullptr) return;
    va_list copy;
    va_copy(copy, args);
    const int length = std::vswprintf(text, kMaxTextLength + 1, format, copy);
    va_end(copy);
    if (length >= 0) return;
    try {
      std::vector<wchar_t> large;
      for (std::size_t room = 4 * (kMaxTextLength + 1); room <= kMaxFormatRoom; room *= 4) {
        large.assign(room, L'\0');
        va_copy(copy, args);
        const int n = std::vswprintf(large.data(), room, format, copy);
        va_end(copy);
        if (n >= 0) break;
      }
      // Also after a conversion failure: keep what was formatted, terminated.
      large.back() = L'\0';
      const std::size_t n = std::wcslen(large.data());
      const std::size_t keep = n < kMaxTextLength ? n : kMaxTextLength;
      std::wmemcpy(text, large.data(), keep);
      std::wmemset(text + keep, L'\0', kMaxTextLength + 1 - keep);
    } catch (const std::bad_alloc&) {
      text[kMaxTextLength] = L'\0';
    }
  }

  // Largest buffer tried for one text, in characters.
  static constexpr std::size_t kMaxFormatRoom = 128 * 1024;
};
