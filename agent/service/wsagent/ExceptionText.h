#pragma once

#include <omniORB4/CORBA.h>

#include <exception>
#include <string>

namespace zr {

// The log text of an exception that is not a CCommonException, in the same form:
// "exception message: " + what() (or the CORBA exception's name), converted in
// the current locale. Never fails on text the locale cannot convert: that text
// is shown escaped (ZRLib::strings::toWstrOrEscaped).
std::wstring ExceptionText(const std::exception& e);
std::wstring ExceptionText(const CORBA::Exception& e);

}  // namespace zr
