// What every servant of the agent shares: it lives in the agent's one
// single-threaded POA and is owned through its reference count.

#pragma once

#include <omniORB4/CORBA.h>

#include <string>
#include <utility>

namespace zr {

// A null wide string from the ORB reads as empty.
inline std::wstring Wide(const CORBA::WChar* text) { return text != nullptr ? text : L""; }

// Mixed into every servant class next to its skeleton. Without the override,
// _this() would activate the servant in the multi-threaded RootPOA.
class CAgentServant : public virtual PortableServer::ServantBase {
 public:
  // `poa` is duplicated and kept.
  explicit CAgentServant(PortableServer::POA_ptr poa) : poa_(PortableServer::POA::_duplicate(poa)) {}

  PortableServer::POA_ptr _default_POA() override { return PortableServer::POA::_duplicate(poa_); }

 protected:
  PortableServer::POA_ptr Poa() const { return poa_.in(); }

 private:
  PortableServer::POA_var poa_;
};

// One activated servant: its reference, the POA it lives in and the ObjectId
// kept at activation. Deactivation goes by that id: with IMPLICIT_ACTIVATION,
// servant_to_id on a deactivated servant would activate it again.
// The holder owns one reference of the servant and gives it back after
// deactivating it; the servant is deleted once the POA has let it go too.
template <class T>
class CActivated {
 public:
  CActivated() = default;
  // Takes over the caller's reference of `servant` and activates it in `poa`.
  // A CORBA exception of the activation is thrown after the servant was
  // released.
  CActivated(T* servant, PortableServer::POA_ptr poa)
      : servant_(servant), poa_(PortableServer::POA::_duplicate(poa)) {
    try {
      id_ = poa_->activate_object(servant_);
    } catch (...) {
      servant_->_remove_ref();
      servant_ = nullptr;
      throw;
    }
  }
  ~CActivated() { Reset(); }

  CActivated(CActivated&& other) noexcept { *this = std::move(other); }
  CActivated& operator=(CActivated&& other) noexcept {
    if (this != &other) {
      Reset();
      servant_ = std::exchange(other.servant_, nullptr);
      poa_ = other.poa_._retn();
      id_ = other.id_._retn();
    }
    return *this;
  }
  CActivated(const CActivated&) = delete;
  CActivated& operator=(const CActivated&) = delete;

  T* get() const { return servant_; }
  T* operator->() const { return servant_; }
  explicit operator bool() const { return servant_ != nullptr; }

  // Deactivates the servant (a POA that refuses, or is already gone, is
  // ignored) and gives back the holder's reference. Never throws.
  void Reset() noexcept {
    if (servant_ == nullptr) return;
    try {
      if (!CORBA::is_nil(poa_)) poa_->deactivate_object(id_.in());
    } catch (const CORBA::Exception&) {
    }
    try {
      servant_->_remove_ref();
    } catch (...) {
    }
    servant_ = nullptr;
  }

 private:
  T* servant_ = nullptr;
  PortableServer::POA_var poa_;
  PortableServer::ObjectId_var id_;
};

}  // namespace zr
