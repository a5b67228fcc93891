// The agent's ORB for servant tests: a naming service and a started ORB
// wrapper (loopback only) for the whole test program, HOME in a temporary
// folder before the settings singleton is made, and a log that records the
// agent's log stream.

#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>

#include "agent/service/CorbaWrapper.h"

namespace zrtest {

// The wrapper started for the test program. Not owned by the caller.
zr::CCorbaWrapper& AgentOrb();
// The temporary folder HOME points at.
const std::filesystem::path& TestHome();

// Writes the per-user settings file with `disableAuthorization` and
// `useDeltaCopying` ("yes", "no", "debug") and loads it into the singleton.
void LoadSettings(const std::string& disableAuthorization, const std::string& useDeltaCopying);

// Replaces std::wcerr's buffer for its lifetime; lines written by any thread
// are kept.
class CapturedLog : public std::wstreambuf {
 public:
  CapturedLog() : saved_(std::wcerr.rdbuf(this)) {}
  ~CapturedLog() override { std::wcerr.rdbuf(saved_); }
  std::wstring Text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  bool Contains(const std::wstring& line) const { return Text().find(line) != std::wstring::npos; }
  // Waits until `line` was written (oneway calls arrive after the caller went on).
  bool WaitFor(const std::wstring& line, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
  }

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) {
      std::lock_guard<std::mutex> lock(mutex_);
      text_.push_back(traits_type::to_char_type(c));
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const wchar_t* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.append(s, static_cast<size_t>(n));
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::wstring text_;
  std::wstreambuf* saved_;
};

}  // namespace zrtest
