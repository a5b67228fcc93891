#include "idl/WideCodeSet.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/minorCode.h>

#include <memory>
#include <stdexcept>
#include <vector>

namespace zr {
namespace {

using omni::omniCodeSet;

const char kName[] = "UCS-4-ZR";

using Unit = omniCodeSet::UniChar;

// omniORB's UCS-4 native code set converts to UTF-16 correctly but tells the
// transmission code set the number of code points, not of UTF-16 units, so the
// tail of a string holding characters above U+FFFF is cut; and it overruns its
// buffer when it receives an empty string in UTF-16. This one does both
// conversions itself; every other operation is omniORB's own.
class NativeUcs4 : public omniCodeSet::NCS_W {
 public:
  explicit NativeUcs4(omniCodeSet::NCS_W* stock)
      : omniCodeSet::NCS_W(omniCodeSet::ID_UCS_4, kName, omniCodeSet::CS_Other), stock_(stock) {}

  void marshalWChar(cdrStream& stream, omniCodeSet::TCS_W* tcs, _CORBA_WChar c) override {
    stock_->marshalWChar(stream, tcs, c);
  }

  void marshalWString(cdrStream& stream, omniCodeSet::TCS_W* tcs, _CORBA_ULong bound, _CORBA_ULong length,
                      const _CORBA_WChar* text) override {
    // Without a transmission code set omniORB raises the exception that fits.
    if (tcs == nullptr) return stock_->marshalWString(stream, tcs, bound, length, text);
    if (tcs->fastMarshalWString(stream, this, bound, length, text)) return;
    const auto completion = static_cast<CORBA::CompletionStatus>(stream.completion());
    if (bound != 0 && length > bound) throw CORBA::MARSHAL(omni::MARSHAL_WStringIsTooLong, completion);
    std::vector<Unit> units;
    units.reserve(static_cast<size_t>(length) + 1);
    for (_CORBA_ULong i = 0; i < length; ++i) {
      const _CORBA_ULong c = static_cast<_CORBA_ULong>(text[i]);
      if (c <= 0xFFFF) {
        units.push_back(static_cast<Unit>(c));
      } else if (c <= 0x10FFFF) {
        units.push_back(static_cast<Unit>(0xD800 + ((c - 0x10000) >> 10)));
        units.push_back(static_cast<Unit>(0xDC00 + ((c - 0x10000) & 0x3FF)));
      } else {
        throw CORBA::DATA_CONVERSION(omni::DATA_CONVERSION_CannotMapChar, completion);
      }
    }
    const auto unitCount = static_cast<_CORBA_ULong>(units.size());
    units.push_back(0);
    // The bound counts characters and was checked above.
    tcs->marshalWString(stream, 0, unitCount, units.data());
  }

  _CORBA_WChar unmarshalWChar(cdrStream& stream, omniCodeSet::TCS_W* tcs) override {
    return stock_->unmarshalWChar(stream, tcs);
  }

  // omniORB's own conversion from UTF-16 overruns its buffer for an empty
  // string, so the units are turned into code points here.
  _CORBA_ULong unmarshalWString(cdrStream& stream, omniCodeSet::TCS_W* tcs, _CORBA_ULong bound,
                                _CORBA_WChar*& text) override {
    if (tcs == nullptr) return stock_->unmarshalWString(stream, tcs, bound, text);
    _CORBA_ULong length = 0;
    if (tcs->fastUnmarshalWString(stream, this, bound, length, text)) return length;
    Unit* received = nullptr;
    const _CORBA_ULong count = tcs->unmarshalWString(stream, bound, received);
    // The transmission code set allocates with new[] where wchar_t has 32 bits.
    const std::unique_ptr<Unit[]> units(received);
    const auto completion = static_cast<CORBA::CompletionStatus>(stream.completion());
    CORBA::WString_var decoded = CORBA::wstring_alloc(count);
    _CORBA_ULong out = 0;
    for (_CORBA_ULong i = 0; i < count && units; ++i) {
      const _CORBA_ULong unit = units[i];
      if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
          units[i + 1] <= 0xDFFF) {
        decoded[out++] =
            static_cast<_CORBA_WChar>(0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
        ++i;
      } else if (unit >= 0xD800 && unit <= 0xDFFF) {
        throw CORBA::DATA_CONVERSION(omni::DATA_CONVERSION_BadInput, completion);
      } else {
        decoded[out++] = static_cast<_CORBA_WChar>(unit);
      }
    }
    decoded[out] = 0;
    text = decoded._retn();
    return out;
  }

 private:
  omniCodeSet::NCS_W* stock_;  // omniORB's UCS-4 code set; lives as long as the process
};

NativeUcs4* Register() {
  static_assert(sizeof(_CORBA_WChar) == 4, "the native code set holds one code point per wchar_t");
  omniCodeSet::NCS_W* stock = omniCodeSet::getNCS_W("UCS-4");
  if (stock == nullptr) throw std::runtime_error("omniORB's UCS-4 code set is not loaded");
  // Registered once and never freed: omniORB keeps a pointer to it.
  auto* own = new NativeUcs4(stock);
  omniCodeSet::registerNCS_W(own);
  return own;
}

}  // namespace

const char* NativeWideCodeSet() {
  static NativeUcs4* const registered = Register();
  return registered->name();
}

}  // namespace zr
