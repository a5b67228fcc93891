#include "idl/RemoteRefs.h"

#include <type_traits>

#include "Tessarine.hh"
#include "TessarineCommon.hh"
#include "ZavediDedozozuriz.hh"

// The forward declarations must name the very types the generated headers
// use; a redeclaration that differs does not compile, and these checks tie
// each `X_ptr` to the interface's own reference type.
static_assert(std::is_same_v<Tessarine::Session_ptr, Tessarine::Session::_ptr_type>);
static_assert(std::is_same_v<Tessarine::Link_ptr, Tessarine::Link::_ptr_type>);
static_assert(std::is_same_v<Tessarine::OperationProgress_ptr, Tessarine::OperationProgress::_ptr_type>);
static_assert(std::is_same_v<ZavediDedozozuriz::IDLBackupDataWrite_ptr,
                             ZavediDedozozuriz::IDLBackupDataWrite::_ptr_type>);
static_assert(std::is_same_v<ZavediDedozozuriz::Session_ptr, ZavediDedozozuriz::Session::_ptr_type>);
static_assert(std::is_same_v<ZavediDedozozuriz::Workstation_ptr, ZavediDedozozuriz::Workstation::_ptr_type>);
static_assert(std::is_class_v<ZavediDedozozuriz::ISettings> && sizeof(ZavediDedozozuriz::ISettings) > 0);

namespace zr {

void RemoteRelease::operator()(Tessarine::Link_ptr reference) const noexcept { CORBA::release(reference); }

void RemoteRelease::operator()(Tessarine::OperationProgress_ptr reference) const noexcept {
  CORBA::release(reference);
}

void RemoteRelease::operator()(ZavediDedozozuriz::IDLBackupDataWrite_ptr reference) const noexcept {
  CORBA::release(reference);
}

void RemoteRelease::operator()(ZavediDedozozuriz::Session_ptr reference) const noexcept {
  CORBA::release(reference);
}

void RemoteRelease::operator()(ZavediDedozozuriz::Workstation_ptr reference) const noexcept {
  CORBA::release(reference);
}

}  // namespace zr
