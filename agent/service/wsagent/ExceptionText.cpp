#include "agent/service/wsagent/ExceptionText.h"

#include "agent/service/CommonException.h"

namespace zr {
namespace {

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    wide += c < 0x80 ? static_cast<wchar_t>(c) : L'?';
  }
  return wide;
}

}  // namespace

std::wstring ExceptionText(const std::exception& e) {
  return CCommonException(Widen(e.what()).c_str()).Text();
}

std::wstring ExceptionText(const CORBA::Exception& e) {
  return CCommonException(Widen(e._name()).c_str()).Text();
}

}  // namespace zr
