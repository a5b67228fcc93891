#pragma once

#include <string>

#include "ZavediDedozozuriz.hh"
#include "agent/service/CorbaWrapper.h"

namespace zr {

// The agent's connection to the Coordinator's naming service: the ORB wrapper
// plus the lookups of workstations bound there.
class CTessarine : public CCorbaWrapper {
 public:
  CTessarine() = default;
  ~CTessarine() override = default;

  // The workstation bound as {name, "workstation"} under the network context.
  // The caller owns the result. Nil when there is no ORB, when the name is not
  // bound, when the bound object is not a workstation, when the name cannot be
  // converted to the locale's narrow text, or on any CORBA failure of the
  // lookup (nothing is written then). Raises CCommonException when the
  // network context cannot be obtained (GetNetworkContext reports it).
  // Thread: any one thread at a time, as the wrapper's other operations.
  ZavediDedozozuriz::Workstation_ptr FindWorkstation(const std::wstring& name);
};

}  // namespace zr
