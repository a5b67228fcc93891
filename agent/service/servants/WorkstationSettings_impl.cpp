#include "agent/service/servants/WorkstationSettings_impl.h"

#include <string>

#include "agent/data/Settings.h"
#include "zrlib/filesystem/FileSystem.h"

namespace zr {

namespace {

// A failing existence test counts as "does not exist".
bool FolderExists(const std::wstring& folder) {
  try {
    return ZRLib::filesystem::IsFolderExists(folder.c_str());
  } catch (...) {
    return false;
  }
}

}  // namespace

ZavediDedozozuriz::IDLErrorID WorkstationSettings_impl::SetTempFolder(const CORBA::WChar* folder,
                                                                      CORBA::Boolean create) {
  const std::wstring path = folder != nullptr ? folder : L"";
  // A folder the settings file cannot hold as it is would be used now and
  // replaced by another one after a restart.
  if (!CSettings::IsStorableText(path)) return ZavediDedozozuriz::FAILED;
  if (!FolderExists(path)) {
    if (!create) return ZavediDedozozuriz::PATH_NOT_FOUND;
    try {
      static_cast<void>(ZRLib::filesystem::CreateFolder(path));
    } catch (...) {
    }
    if (!FolderExists(path)) return ZavediDedozozuriz::PATH_NOT_FOUND;
  }
  CSettings* settings = CSettings::Instance();
  if (settings == nullptr) return ZavediDedozozuriz::FAILED;
  return settings->SetTempFolder(path) ? ZavediDedozozuriz::SUCCESS : ZavediDedozozuriz::FAILED;
}

CORBA::WChar* WorkstationSettings_impl::GetTempFolder() {
  CSettings* settings = CSettings::Instance();
  return CORBA::wstring_dup(settings != nullptr ? settings->GetTempFolder().c_str() : L"");
}

CORBA::WChar* WorkstationSettings_impl::GetDefaultTempFolder() {
  return CORBA::wstring_dup(ZRLib::filesystem::GetTempFolderPath().c_str());
}

}  // namespace zr
