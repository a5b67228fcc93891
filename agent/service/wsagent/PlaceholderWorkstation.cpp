#include "agent/service/wsagent/PlaceholderWorkstation.h"

#include "agent/service/StopRequest.h"
#include "zrlib/system/System.h"

namespace zr {

CPlaceholderWorkstation::CPlaceholderWorkstation(const std::wstring& name, const std::wstring& programPath,
                                                 PortableServer::POA_ptr poa)
    : m_name(name), m_poa(PortableServer::POA::_duplicate(poa)), m_loader(new CExtensionLoader(programPath)) {}

CPlaceholderWorkstation::~CPlaceholderWorkstation() = default;

PortableServer::POA_ptr CPlaceholderWorkstation::_default_POA() { return PortableServer::POA::_duplicate(m_poa); }

CORBA::WChar* CPlaceholderWorkstation::name() { return CORBA::wstring_dup(m_name.c_str()); }

CORBA::WChar* CPlaceholderWorkstation::host() {
  return CORBA::wstring_dup(ZRLib::system::GetComputerNetworkName().c_str());
}

ZavediDedozozuriz::Session_ptr CPlaceholderWorkstation::OpenSession(Tessarine::Session_ptr, Tessarine::Log_ptr) {
  throw CORBA::NO_IMPLEMENT();
}

void CPlaceholderWorkstation::CloseSession(ZavediDedozozuriz::Session_ptr) {}

void CPlaceholderWorkstation::ping() {}

void CPlaceholderWorkstation::Shutdown() { RequestShutdown(); }

}  // namespace zr
