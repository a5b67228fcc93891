// The CORBA part of the error boundary (plugin-api/ErrorBoundary.h): lines
// that name the CORBA exception a boundary stopped.

#pragma once

#include <omniORB4/CORBA.h>

#include <string>

#include "idl/ExceptionInfo.h"
#include "plugin-api/ErrorBoundary.h"
#include "zrlib/strings/Strings.h"

namespace zr {

// "<name>. <info>" of `e` (ZRIdl::ExceptionInfo). Both are ASCII, and
// describing a failure never fails on conversion.
inline std::wstring DescribeCorbaException(const CORBA::Exception& e) {
  return ZRLib::strings::toWstrOrEscaped(std::string(e._name()) + ". " + ZRIdl::ExceptionInfo(e));
}

// True inside a handler whose exception is a CORBA::Exception.
inline bool HandlingCorbaException() {
  try {
    throw;
  } catch (const CORBA::Exception&) {
    return true;
  } catch (...) {
    return false;
  }
}

// A boundary line (boundary::LineOf) written for CORBA exceptions only:
// `text`, followed by ". <name>. <info>" when `describe`; any other exception
// stops without a line.
struct CorbaLine {
  const wchar_t* text;
  bool describe = false;

  std::wstring operator()() const {
    try {
      throw;
    } catch (const CORBA::Exception& e) {
      return describe ? std::wstring(text) + L". " + DescribeCorbaException(e) : std::wstring(text);
    } catch (...) {
      return std::wstring();
    }
  }
};

}  // namespace zr
