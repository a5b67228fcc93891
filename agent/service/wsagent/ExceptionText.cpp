#include "agent/service/wsagent/ExceptionText.h"

#include "agent/service/CommonException.h"
#include "zrlib/strings/Strings.h"

namespace zr {

std::wstring ExceptionText(const std::exception& e) {
  return CCommonException(ZRLib::strings::toWstrOrEscaped(e.what() != nullptr ? e.what() : "").c_str()).Text();
}

std::wstring ExceptionText(const CORBA::Exception& e) {
  return CCommonException(ZRLib::strings::toWstrOrEscaped(e._name()).c_str()).Text();
}

}  // namespace zr
