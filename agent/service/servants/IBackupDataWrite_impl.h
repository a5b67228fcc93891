// The session's write interface: a plug-in write adapter (with the delta
// streams of its broker) served remotely.

#pragma once

#include "agent/service/servants/AdapterServant.h"

namespace zr {

class IBackupDataWrite_impl
    : public CAdapterServant<POA_ZavediDedozozuriz::IDLBackupDataWrite, IBackupDataWrite> {
 public:
  using CAdapterServant::CAdapterServant;

  Result BeginTransaction() override { return Adapter::BeginTransaction(); }
  Result CommitTransaction() override { return Adapter::CommitTransaction(); }
  Result OpenFilePatching(const CORBA::WChar* basePath, const CORBA::WChar* resultPath,
                          CORBA::ULong& handle) override {
    return Adapter::OpenFilePatching(Wide(basePath), Wide(resultPath), handle);
  }
  Result WriteFile(const Tessarine::BinaryData& data, CORBA::ULong& size, CORBA::ULong handle) override {
    return Adapter::WriteFile(data, size, handle);
  }
  Result SetElementAttributes(const CORBA::WChar* path,
                              const ZavediDedozozuriz::Attributes& attributes) override {
    return Adapter::SetElementAttributes(Wide(path), attributes);
  }
  Result CreateFolder(const CORBA::WChar* path) override { return Adapter::CreateFolder(Wide(path)); }
  Result DeleteFolder(const CORBA::WChar* path) override { return Adapter::DeleteFolder(Wide(path)); }
  Result DeleteFile(const CORBA::WChar* path) override { return Adapter::DeleteFile(Wide(path)); }
};

}  // namespace zr
