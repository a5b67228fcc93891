#pragma once

#include <mutex>
#include <string>

#include "Tessarine.hh"

namespace zrtest {

// A Tessarine::Link that keeps the last view it was given: SetView stores it,
// GetView and name give it back. The other operations do nothing and give false.
class EchoLink : public POA_Tessarine::Link {
 public:
  CORBA::WChar* name() override { return CORBA::wstring_dup(View().c_str()); }
  CORBA::Boolean SetView(const CORBA::WChar* view) override {
    std::lock_guard<std::mutex> lock(mutex_);
    view_ = view;
    return true;
  }
  CORBA::Boolean GetView(CORBA::WString_out view) override {
    view = CORBA::wstring_dup(View().c_str());
    return true;
  }
  CORBA::Boolean SetParameter(const Tessarine::LinkParam&) override { return false; }
  CORBA::Boolean GetParameter(const CORBA::WChar*, Tessarine::LinkParam&) override { return false; }
  CORBA::Boolean SetHeader(const Tessarine::LinkParam&) override { return false; }
  CORBA::Boolean GetHeader(const CORBA::WChar*, Tessarine::LinkParam&) override { return false; }

  std::wstring View() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return view_;
  }

 private:
  mutable std::mutex mutex_;
  std::wstring view_;  // guarded by mutex_
};

// Texts that cross between ORBs in the wide-string tests: plain, Latin and BMP,
// and characters above U+FFFF at the start, middle and end.
inline const wchar_t* const kWideTexts[] = {
    L"value",
    L"",
    L"v\u00e9\u20ac\uFFFD",
    L"v\U0001F600lue",
    L"abc\U00010348",
    L"\U0010FFFF",
    L"\U0001F600\U0001F601\U0001F602",
    L"a\U00020000b\U0002F800c",
};

// `text` in UTF-16 units, one per wchar_t: the form a peer whose native wide code
// set is UTF-16 keeps its strings in.
inline std::wstring Utf16Units(const std::wstring& text) {
  std::wstring units;
  for (wchar_t c : text) {
    const unsigned long value = static_cast<unsigned long>(c);
    if (value > 0xFFFF) {
      units.push_back(static_cast<wchar_t>(0xD800 + ((value - 0x10000) >> 10)));
      units.push_back(static_cast<wchar_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
    } else {
      units.push_back(c);
    }
  }
  return units;
}

}  // namespace zrtest
