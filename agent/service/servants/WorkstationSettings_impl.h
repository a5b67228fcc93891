// The remote WorkstationSettings object: the agent's temporary folder, read
// and changed through the process-wide settings. No state of its own and no
// lock: the settings object locks its getters and setters, and its save takes
// that lock itself.

#pragma once

#include "ZavediDedozozuriz.hh"
#include "agent/service/servants/AgentServant.h"

namespace zr {

class WorkstationSettings_impl : public POA_ZavediDedozozuriz::WorkstationSettings, public CAgentServant {
 public:
  explicit WorkstationSettings_impl(PortableServer::POA_ptr poa) : CAgentServant(poa) {}

  // FAILED, and nothing created or changed, when the settings file cannot hold
  // `folder` as it is (CSettings::IsStorableText). PATH_NOT_FOUND when `folder`
  // does not exist and `create` is false, or it
  // still does not exist after creating it with its parents. Else stores the
  // folder as given and saves the settings: SUCCESS, or FAILED when the save
  // failed (the new value stays in effect for this run).
  ZavediDedozozuriz::IDLErrorID SetTempFolder(const CORBA::WChar* folder, CORBA::Boolean create) override;
  // The settings' temporary folder.
  CORBA::WChar* GetTempFolder() override;
  // The library's temporary folder, whatever the settings say.
  CORBA::WChar* GetDefaultTempFolder() override;
};

}  // namespace zr
