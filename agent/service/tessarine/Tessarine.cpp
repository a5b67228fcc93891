#include "agent/service/tessarine/Tessarine.h"

#include <new>
#include <string>

#include "zrlib/strings/Strings.h"

namespace zr {

namespace {
const char kWorkstationKind[] = "workstation";
}  // namespace

ZavediDedozozuriz::Workstation_ptr CTessarine::FindWorkstation(const std::wstring& name) {
  CosNaming::NamingContext_var context;
  if (GetNetworkContext(context.out()) != 0 || CORBA::is_nil(context)) {
    return ZavediDedozozuriz::Workstation::_nil();
  }
  // A narrow name ends at the first U+0000: such a name would find another one.
  if (name.find(L'\0') != std::wstring::npos) return ZavediDedozozuriz::Workstation::_nil();
  std::string id;
  try {
    id = ZRLib::strings::toAstr(name);
  } catch (const std::bad_alloc&) {
    // Not expressible in this locale, so nothing can be bound under it.
    return ZavediDedozozuriz::Workstation::_nil();
  }
  CosNaming::Name path;
  path.length(1);
  path[0].id = CORBA::string_dup(id.c_str());
  path[0].kind = CORBA::string_dup(kWorkstationKind);
  try {
    CORBA::Object_var object = context->resolve(path);
    // The narrow may ask the bound object itself; it is bounded like a naming call.
    if (!CORBA::is_nil(object)) omniORB::setClientCallTimeout(object, kNamingCallTimeoutMs);
    ZavediDedozozuriz::Workstation_var found = ZavediDedozozuriz::Workstation::_narrow(object);
    if (!CORBA::is_nil(found)) omniORB::setClientCallTimeout(found, kNamingCallTimeoutMs);
    return found._retn();
  } catch (const CosNaming::NamingContext::NotFound&) {
  } catch (const CosNaming::NamingContext::CannotProceed&) {
  } catch (const CosNaming::NamingContext::InvalidName&) {
  } catch (const CORBA::Exception&) {
    // OBJECT_NOT_EXIST, TRANSIENT and every other failure of resolve or narrow.
  }
  return ZavediDedozozuriz::Workstation::_nil();
}

}  // namespace zr
