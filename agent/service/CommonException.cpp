#include "agent/service/CommonException.h"

namespace zr {

CCommonException::CCommonException(const wchar_t* message, const wchar_t* file, int line,
                                   const wchar_t* function) {
  text_ = L"exception message: ";
  text_ += message != nullptr ? message : L"Not specified.";
  if (file != nullptr) {
    text_ += L"\nfile: ";
    text_ += file;
  }
  if (line != 0) {
    text_ += L"\nline: ";
    text_ += std::to_wstring(line);
  }
  if (function != nullptr) {
    text_ += L"\nfunction: ";
    text_ += function;
  }
}

}  // namespace zr
