#include "agent/data/hosting/PluginLink.h"

#include <cwchar>

#include "Tessarine.hh"

#include "agent/data/Settings.h"
#include "agent/data/hosting/FilterEntry.h"
#include "agent/data/hosting/PluginEntry.h"
#include "idl/CallTimeouts.h"
#include "zrlib/strings/Strings.h"

namespace zr {

namespace {

std::wstring TempRoot() {
  std::wstring root;
  if (CSettings* settings = CSettings::Instance()) root = settings->GetTempFolder();
  if (root.empty() || root.back() != L'\\') root += L'\\';
  return root;
}

// A parameter record with every member set: it travels as an inout
// argument, so nothing in it may be left uninitialised.
Tessarine::LinkParam EmptyParam(const wchar_t* name) {
  Tessarine::LinkParam param;
  param.name = name;
  param.value = L"";
  param.error = L"";
  param.isProtected = false;
  return param;
}

}  // namespace

CPluginLink::CPluginLink(Tessarine::Session_ptr session)
    : session_(session), link_(Tessarine::Link::_nil()), root_(TempRoot()) {}

CPluginLink::~CPluginLink() { CloseLink(); }

void CPluginLink::CloseLink() noexcept {
  if (CORBA::is_nil(link_.get())) return;
  try {
    if (!CORBA::is_nil(session_)) session_->CloseLink(link_.get());
  } catch (...) {
  }
  link_.reset(Tessarine::Link::_nil());
}

bool CPluginLink::Bind(const std::wstring& path, bool open, const std::wstring& connection) {
  CloseLink();
  if (!open || CORBA::is_nil(session_)) return false;
  try {
    link_.reset(session_->OpenLink(path.c_str(), connection.c_str()));
    // Plug-ins ask the link from inside an upcall: no answer must not hold it.
    BoundCoordinatorCalls(link_.get());
  } catch (...) {
    link_.reset(Tessarine::Link::_nil());
  }
  return HasLink();
}

bool CPluginLink::HasLink() const { return !CORBA::is_nil(link_.get()); }

bool CPluginLink::SetPlugin(const CPluginEntry& info, const std::wstring& connection) {
  return Bind(L"Plugins\\" + info.GetName(), info.IsConfigurable(), connection);
}

bool CPluginLink::SetFilter(const CFilterEntry& info, const std::wstring& connection) {
  return Bind(L"Filters\\" + info.GetName(), info.IsValid(), connection);
}

// The agent's own values come first, so a plug-in that is not configurable
// (no settings object) still finds its temporary folder and the Coordinator.
// Everything else lives in the settings object; its modification time is a
// header there, not a parameter. Plug-ins use `value` whatever the answer,
// so a failure must leave it as it was.
bool CPluginLink::GetValue(const wchar_t* name, std::wstring& value) {
  if (name == nullptr) return false;
  try {
    if (std::wcscmp(name, L"WSTempPath") == 0) {
      value = root_;
      return true;
    }
    if (std::wcscmp(name, L"ServerSession") == 0) {
      if (CORBA::is_nil(session_)) return false;
      int argc = 0;
      CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
      CORBA::String_var text = orb->object_to_string(session_);
      value = ZRLib::strings::toWstr(text.in());
      return true;
    }
    const bool host = std::wcscmp(name, L"CoordinatorHost") == 0;
    if (host || std::wcscmp(name, L"CoordinatorPort") == 0) {
      CSettings* settings = CSettings::Instance();
      if (settings == nullptr) return false;
      value = host ? settings->GetCoordinatorHost() : settings->GetCoordinatorPort();
      return true;
    }
    if (!HasLink()) return false;
    const bool header = std::wcscmp(name, L"LinkModifTime") == 0;
    Tessarine::LinkParam param = EmptyParam(header ? L"ModifTime" : name);
    const bool found = header ? link_->GetHeader(L"ModifTime", param) : link_->GetParameter(name, param);
    if (!found) return false;
    value = param.value.in() != nullptr ? param.value.in() : L"";
    return true;
  } catch (...) {
    return false;
  }
}

bool CPluginLink::SetValue(const wchar_t* name, const std::wstring& value) {
  if (name == nullptr || !HasLink() || std::wcscmp(name, L"WSTempPath") == 0) return false;
  try {
    Tessarine::LinkParam param = EmptyParam(name);
    if (!link_->GetParameter(name, param)) return false;
    param.value = value.c_str();
    return link_->SetParameter(param);
  } catch (...) {
    return false;
  }
}

}  // namespace zr
