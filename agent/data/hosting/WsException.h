// The agent's own exception: a fixed narrow message.

#pragma once

#include <exception>

namespace zr {

class CWsException : public std::exception {
 public:
  // `message` must be a literal (or otherwise outlive the exception); it is
  // not copied.
  explicit CWsException(const char* message) noexcept : message_(message) {}

  const char* what() const noexcept override { return message_; }

 private:
  const char* message_;
};

}  // namespace zr
