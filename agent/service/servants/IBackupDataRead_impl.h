// The session's read interface: a plug-in read adapter served remotely.
// Changing operations are refused by the adapter (a warning on the session
// log and NOT_SUPPORTED, no plug-in loaded).

#pragma once

#include "agent/service/servants/AdapterServant.h"

namespace zr {

class IBackupDataRead_impl
    : public CAdapterServant<POA_ZavediDedozozuriz::IDLBackupDataRead, IBackupDataRead> {
 public:
  using CAdapterServant::CAdapterServant;
};

}  // namespace zr
