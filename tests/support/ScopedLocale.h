// Sets the process locale (LC_ALL) for a scope and restores the previous one.

#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace zrtest {

class ScopedLocale {
 public:
  // A locale the system does not have is a test failure.
  explicit ScopedLocale(const char* name) : old_(std::setlocale(LC_ALL, nullptr)) {
    EXPECT_NE(std::setlocale(LC_ALL, name), nullptr) << name;
  }
  ~ScopedLocale() { std::setlocale(LC_ALL, old_.c_str()); }
  ScopedLocale(const ScopedLocale&) = delete;
  ScopedLocale& operator=(const ScopedLocale&) = delete;

 private:
  std::string old_;
};

}  // namespace zrtest
