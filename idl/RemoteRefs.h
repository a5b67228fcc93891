// Forward declarations of the remote object references (and the one remote
// struct) that the data layer's headers name, so those headers do not pull
// in the generated stubs. Each declaration spells the name exactly as
// omniidl declares it (`class _objref_X; typedef _objref_X* X_ptr;`);
// RemoteRefs.cpp checks them against the generated headers, so a change in
// the IDL or in omniidl fails the build there. A unit that calls through a
// reference includes the generated header itself.

#pragma once

#include <memory>
#include <type_traits>

namespace Tessarine {
class _objref_Session;
typedef _objref_Session* Session_ptr;
class _objref_Link;
typedef _objref_Link* Link_ptr;
class _objref_OperationProgress;
typedef _objref_OperationProgress* OperationProgress_ptr;
}  // namespace Tessarine

namespace ZavediDedozozuriz {
class _objref_IDLBackupDataWrite;
typedef _objref_IDLBackupDataWrite* IDLBackupDataWrite_ptr;
class _objref_Session;
typedef _objref_Session* Session_ptr;
class _objref_Workstation;
typedef _objref_Workstation* Workstation_ptr;
struct ISettings;
}  // namespace ZavediDedozozuriz

namespace zr {

// Gives up one reference (CORBA::release); a nil reference is ignored.
// Never throws.
struct RemoteRelease {
  void operator()(Tessarine::Link_ptr reference) const noexcept;
  void operator()(Tessarine::OperationProgress_ptr reference) const noexcept;
  void operator()(ZavediDedozozuriz::IDLBackupDataWrite_ptr reference) const noexcept;
  void operator()(ZavediDedozozuriz::Session_ptr reference) const noexcept;
  void operator()(ZavediDedozozuriz::Workstation_ptr reference) const noexcept;
};

// An owned reference for a member of a header that cannot see the stubs:
// released on destruction and on reset(), as a `_var` releases it.
// `Ptr` is the `X_ptr` type.
template <class Ptr>
using OwnedRef = std::unique_ptr<std::remove_pointer_t<Ptr>, RemoteRelease>;

}  // namespace zr
