// IPluginInfo with fixed answers, shared by the test plug-ins and libraries.

#pragma once

#include "plugin-api/IPluginInfo.h"

namespace zrtest {

class FixedInfo : public IPluginInfo {
 public:
  FixedInfo(const wchar_t* name, const wchar_t* version, int type, bool seek, bool move, bool configurable)
      : name_(name), version_(version), type_(type), seek_(seek), move_(move), configurable_(configurable) {}

  const wchar_t* GetPluginVersion() const override { return version_; }
  const wchar_t* GetPluginName() const override { return name_; }
  int GetFileSystemType() const override { return type_; }
  bool IsSeekFileSupported() const override { return seek_; }
  bool IsMoveFileSupported() const override { return move_; }
  bool IsConfigurable() const override { return configurable_; }

 private:
  const wchar_t* name_;
  const wchar_t* version_;
  int type_;
  bool seek_;
  bool move_;
  bool configurable_;
};

}  // namespace zrtest
