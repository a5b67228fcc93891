#pragma once

#include <exception>
#include <string>

namespace zr {

// The exception that ends the agent's start: raised by the ORB wrapper and the
// argument parser, caught by the server's run.
class CCommonException : public std::exception {
 public:
  // Every argument may be null (or 0 for `line`); see Text for how they combine.
  explicit CCommonException(const wchar_t* message, const wchar_t* file = nullptr, int line = 0,
                            const wchar_t* function = nullptr);
  ~CCommonException() override = default;

  // "exception message: " + message (or "Not specified.") + "\nfile: " + file +
  // "\nline: " + line + "\nfunction: " + function, each of the last three only when given.
  virtual const std::wstring& Text() const { return text_; }

 private:
  std::wstring text_;
};

}  // namespace zr
