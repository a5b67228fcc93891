// Description of the DB2 plug-in.
#pragma once

#include "plugin-api/IPluginInfo.h"

class PluginInfo : public IPluginInfo {
 public:
  PluginInfo() = default;

  // "1.0".
  const wchar_t* GetPluginVersion() const override;
  // "DB2".
  const wchar_t* GetPluginName() const override;
  // 1.
  int GetFileSystemType() const override;
  // false: the database files cannot be sought.
  bool IsSeekFileSupported() const override;
  // false.
  bool IsMoveFileSupported() const override;
  // false: paths carry no connection name.
  bool IsConfigurable() const override;
};
