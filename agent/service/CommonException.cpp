#include "agent/service/CommonException.h"

namespace zr {

CCommonException::CCommonException(const wchar_t* message, const wchar_t* file, int line,
                                   const wchar_t* function) {
  m_text = L"exception message: ";
  m_text += message != nullptr ? message : L"Not specified.";
  if (file != nullptr) {
    m_text += L"\nfile: ";
    m_text += file;
  }
  if (line != 0) {
    m_text += L"\nline: ";
    m_text += std::to_wstring(line);
  }
  if (function != nullptr) {
    m_text += L"\nfunction: ";
    m_text += function;
  }
}

}  // namespace zr
