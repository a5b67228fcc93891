#include "agent/data/Settings.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <new>
#include <vector>

#include "agent/data/SettingsDocument.h"
#include "zrlib/filesystem/FileSystem.h"
#include "zrlib/strings/Strings.h"
#include "zrlib/system/System.h"

namespace zr {

namespace {

// Serialises singleton creation, release and every save.
std::mutex g_settingsMutex;
std::atomic<CSettings*> g_instance{nullptr};

const wchar_t kOnce[] = L"once";
const wchar_t kDebug[] = L"debug";

std::wstring HomeFromPasswordDatabase() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
    return std::wstring();
  }
  return ZRLib::strings::toWstr(found->pw_dir);
}

}  // namespace

CSettings::CSettings(const std::wstring& systemSettingsFolder, const std::wstring& homeFolder)
    : userDirectory_(homeFolder + L"/.ze7"),
      systemSettingsFile_(systemSettingsFolder + L"/" + kSettingsFileName) {
  values_.coordinatorHost = ZRLib::system::GetComputerNetworkName();
  values_.coordinatorPort = L"1755";
  values_.debugLevel = L"1";
  values_.name = ZRLib::system::GetComputerNetworkName();
  values_.tempFolder = ZRLib::filesystem::GetTempFolderPath();
}

CSettings::~CSettings() = default;

CSettings* CSettings::Instance() {
  CSettings* instance = g_instance.load(std::memory_order_acquire);
  if (instance != nullptr) return instance;
  std::lock_guard<std::mutex> lock(g_settingsMutex);
  instance = g_instance.load(std::memory_order_relaxed);
  if (instance == nullptr) {
    instance = new (std::nothrow) CSettings();
    g_instance.store(instance, std::memory_order_release);
  }
  return instance;
}

void CSettings::Release() {
  std::lock_guard<std::mutex> lock(g_settingsMutex);
  delete g_instance.exchange(nullptr);
}

std::wstring CSettings::DefaultHomeFolder() {
  try {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
      std::wstring wide = ZRLib::strings::toWstr(home);
      if (!wide.empty()) return wide;
    }
    std::wstring fromPasswd = HomeFromPasswordDatabase();
    if (!fromPasswd.empty()) return fromPasswd;
  } catch (...) {
    // A home that cannot be converted counts as none.
  }
  return L"/tmp";
}

CSettings::Values CSettings::Snapshot() const {
  std::lock_guard<std::mutex> lock(valuesMutex_);
  return values_;
}

void CSettings::Load() {
  // Held throughout so that a setter's change is never overwritten by a reload's older copy.
  std::lock_guard<std::mutex> update(updateMutex_);
  SettingsDocument document;
  const std::wstring userFile = GetUserSettingsFilePath();
  bool read = document.LoadFile(userFile);
  if (!read && ZRLib::filesystem::IsFileExists(userFile.c_str())) KeepUnreadable(userFile);
  read = read || document.LoadFile(systemSettingsFile_);
  std::wstring name;
  if (read) {
    Values values = Snapshot();
    document.GetParam(L"Name", name);
    document.GetParam(L"CoordinatorHost", values.coordinatorHost);
    if (values.coordinatorHost.empty()) values.coordinatorHost = ZRLib::system::GetComputerNetworkName();
    document.GetParam(L"CoordinatorPort", values.coordinatorPort);
    document.GetParam(L"DebugLevel", values.debugLevel);
    document.GetBoolParam(L"IsSecure", values.isSecure);
    document.GetParam(L"TempFolder", values.tempFolder);
    document.GetBoolParam(L"DisableAuthorization", values.disableAuthorization);

    const std::wstring autoSearch = document.GetParamText(L"EnableCoordinatorAutoSearch");
    values.autoSearchOnce = autoSearch == kOnce;
    if (values.autoSearchOnce) {
      values.enableCoordinatorAutoSearch = true;
    } else {
      document.GetBoolParam(L"EnableCoordinatorAutoSearch", values.enableCoordinatorAutoSearch);
    }

    const std::wstring delta = document.GetParamText(L"UseDeltaCopying");
    values.useDeltaCopyingDebug = delta == kDebug;
    values.useDeltaCopying =
        delta == kDebug || delta.empty() || delta == L"1" || delta == L"true" || delta == L"yes";

    if (!name.empty()) values.name = name;

    const std::wstring version = document.GetHeaderValue(L"version");
    if (version.empty()) values.enableCoordinatorAutoSearch = false;
    {
      std::lock_guard<std::mutex> lock(valuesMutex_);
      values_ = values;
    }
    if (version != SettingsDocument::kVersion) (void)Save();
  }

  if (name.empty()) {
    std::wcerr << L"Update workstation settings with defaults" << std::endl;
    if (Save()) {
      std::wcerr << L"Workstation settings successfully updated" << std::endl;
    } else {
      std::wcerr << L"Workstation settings update failed" << std::endl;
    }
    std::lock_guard<std::mutex> lock(valuesMutex_);
    values_.defaulted = true;
  }
}

void CSettings::KeepUnreadable(const std::wstring& file) {
  const std::wstring kept = file + kUnreadableSuffix;
  bool moved = false;
  try {
    moved = ::rename(ZRLib::strings::toAstr(file).c_str(), ZRLib::strings::toAstr(kept).c_str()) == 0;
  } catch (...) {
    moved = false;
  }
  if (moved) {
    std::wcerr << L"Workstation settings file '" << file << L"' can't be read; it is kept as '" << kept
               << L"'" << std::endl;
  } else {
    std::wcerr << L"Workstation settings file '" << file << L"' can't be read and can't be kept as '" << kept
               << L"'" << std::endl;
  }
}

bool CSettings::Save() {
  std::lock_guard<std::mutex> lock(g_settingsMutex);
  const Values values = Snapshot();

  SettingsDocument document;
  bool built = document.Create() && document.SetHeaderValue(L"version", SettingsDocument::kVersion);
  built = built && document.SetParam(L"Name", values.name) &&
          document.SetParam(L"CoordinatorHost", values.coordinatorHost) &&
          document.SetParam(L"CoordinatorPort", values.coordinatorPort) &&
          document.SetParam(L"DebugLevel", values.debugLevel) &&
          document.SetBoolParam(L"IsSecure", values.isSecure) &&
          document.SetParam(L"TempFolder", values.tempFolder);
  // "once" and "debug" are written back while they still hold, so a save made for
  // another reason does not change them.
  if (values.autoSearchOnce && values.enableCoordinatorAutoSearch) {
    built = built && document.SetParam(L"EnableCoordinatorAutoSearch", kOnce);
  } else {
    built =
        built && document.SetBoolParam(L"EnableCoordinatorAutoSearch", values.enableCoordinatorAutoSearch);
  }
  built = built && document.SetBoolParam(L"DisableAuthorization", values.disableAuthorization);
  if (values.useDeltaCopyingDebug) {
    built = built && document.SetParam(L"UseDeltaCopying", kDebug);
  } else {
    built = built && document.SetBoolParam(L"UseDeltaCopying", values.useDeltaCopying);
  }
  if (!built) return false;

  const std::wstring folder = GetUserSettingsFolderPath();
  bool folderReady = false;
  try {
    folderReady =
        ZRLib::filesystem::IsFolderExists(folder.c_str()) || ZRLib::filesystem::CreateFolder(folder);
  } catch (...) {
    folderReady = false;
  }
  if (!folderReady) {
    std::wcerr << L"Can't save workstation settings" << std::endl;
    return false;
  }
  return document.SaveFile(GetUserSettingsFilePath());
}

std::wstring CSettings::GetName() const { return Snapshot().name; }

std::string CSettings::GetNarrowName() const {
  const std::wstring name = GetName();
  try {
    return ZRLib::strings::toAstr(name);
  } catch (const std::bad_alloc&) {
    // The current locale cannot represent the name: UTF-8 rather than an exception
    // on the thread that asked.
    return ZRLib::strings::WstrToUTF8(name);
  }
}

std::wstring CSettings::GetCoordinatorHost() const {
  std::lock_guard<std::mutex> lock(valuesMutex_);
  return values_.coordinatorHost;
}

bool CSettings::SetCoordinatorHost(const std::wstring& host) {
  std::lock_guard<std::mutex> update(updateMutex_);
  {
    std::lock_guard<std::mutex> lock(valuesMutex_);
    values_.coordinatorHost = host;
    if (values_.autoSearchOnce) values_.enableCoordinatorAutoSearch = false;
  }
  return Save();
}

std::wstring CSettings::GetCoordinatorPort() const {
  std::lock_guard<std::mutex> lock(valuesMutex_);
  return values_.coordinatorPort;
}

bool CSettings::SetCoordinatorPort(const std::wstring& port) {
  std::lock_guard<std::mutex> update(updateMutex_);
  {
    std::lock_guard<std::mutex> lock(valuesMutex_);
    values_.coordinatorPort = port;
    if (values_.autoSearchOnce) values_.enableCoordinatorAutoSearch = false;
  }
  return Save();
}

std::wstring CSettings::GetDebugLevel() const {
  std::lock_guard<std::mutex> lock(valuesMutex_);
  return values_.debugLevel;
}

std::wstring CSettings::GetTempFolder() const {
  std::lock_guard<std::mutex> lock(valuesMutex_);
  return values_.tempFolder;
}

bool CSettings::IsStorableText(const std::wstring& value) {
  for (const wchar_t c : value) {
    const auto code = static_cast<std::uint32_t>(c);
    const bool storable = code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
                          (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
    if (!storable) return false;
  }
  return true;
}

bool CSettings::SetTempFolder(const std::wstring& folder) {
  std::lock_guard<std::mutex> update(updateMutex_);
  {
    std::lock_guard<std::mutex> lock(valuesMutex_);
    values_.tempFolder = folder;
  }
  return Save();
}

bool CSettings::GetEnableCoordinatorAutoSearch() const {
  std::lock_guard<std::mutex> lock(valuesMutex_);
  return values_.enableCoordinatorAutoSearch;
}

bool CSettings::GetUseDeltaCopying() const {
  std::lock_guard<std::mutex> lock(valuesMutex_);
  return values_.useDeltaCopying;
}

bool CSettings::GetUseDeltaCopyingDebug() const {
  std::lock_guard<std::mutex> lock(valuesMutex_);
  return values_.useDeltaCopyingDebug;
}

bool CSettings::GetDisableAuthorization() const {
  std::lock_guard<std::mutex> lock(valuesMutex_);
  return values_.disableAuthorization;
}

bool CSettings::IsDefaulted() const {
  std::lock_guard<std::mutex> lock(valuesMutex_);
  return values_.defaulted;
}

std::wstring CSettings::GetLogFilePath() const { return userDirectory_ + L"/logs/ws." + GetName() + L".log"; }

std::wstring CSettings::GetNameServiceInitRef() const {
  const Values values = Snapshot();
  return L"NameService=" + std::wstring(values.isSecure ? L"ssliop" : L"iiop") + L"://" +
         values.coordinatorHost + L":" + values.coordinatorPort + L"/NameService";
}

std::wstring CSettings::GetUserSettingsFolderPath() const { return userDirectory_ + L"/Settings/Services"; }

std::wstring CSettings::GetUserSettingsFilePath() const {
  return GetUserSettingsFolderPath() + L"/" + kSettingsFileName;
}

std::wstring CSettings::GetSystemSettingsFilePath() const { return systemSettingsFile_; }

}  // namespace zr
