#pragma once

#include <mutex>
#include <string>

namespace zr {

// The agent's process-wide settings, read from and written to one XML settings file:
// the per-user file <home>/.ze7/Settings/Services/workstation.zrl when it can be read,
// else the system file. Every save writes the per-user file.
//
// Threads: every getter and setter may be called from any thread; values are copied
// out under a lock, so a reader never sees a half-written value. Save runs under the
// process-wide settings mutex.
class CSettings {
 public:
  static constexpr const wchar_t* kSystemSettingsFolder = L"/etc/ze7/Settings/Services";
  static constexpr const wchar_t* kSettingsFileName = L"workstation.zrl";
  // Appended to the name of a per-user settings file that could not be read.
  static constexpr const wchar_t* kUnreadableSuffix = L".bad";

  // `systemSettingsFolder` holds the system settings file; the user directory is
  // `homeFolder` + "/.ze7". Defaults are the fixed system folder and DefaultHomeFolder().
  explicit CSettings(const std::wstring& systemSettingsFolder = kSystemSettingsFolder,
                     const std::wstring& homeFolder = DefaultHomeFolder());
  virtual ~CSettings();
  CSettings(const CSettings&) = delete;
  CSettings& operator=(const CSettings&) = delete;

  // The singleton with the default folders, created on the first call (thread-safe);
  // null only when memory ran out. It does not load the file.
  static CSettings* Instance();
  // Deletes the singleton, when there is one.
  static void Release();

  // HOME when set and not empty, else the home directory of the real user's password
  // entry, else "/tmp".
  static std::wstring DefaultHomeFolder();

  // Reads the per-user file, else the system file, and takes every key found in it.
  // A per-user file that exists but cannot be read is first renamed to
  // "workstation.zrl.bad" (replacing an older one), with a log line, so the save
  // of the defaults cannot destroy it.
  // Writes the defaults (and logs it) when no file gave a Name; saves again when the
  // file's version is not the current one.
  void Load();

  // Writes every setting to the per-user file, creating its folder. True only when
  // the whole file was written; on failure the previous file is left unchanged.
  bool Save();

  std::wstring GetName() const;
  // Name in the multibyte encoding of the current locale; UTF-8 when the locale
  // cannot represent it.
  std::string GetNarrowName() const;
  std::wstring GetCoordinatorHost() const;
  // Sets the host; while auto search is "once", also turns auto search off. Then saves
  // and returns the result of the save.
  bool SetCoordinatorHost(const std::wstring& host);
  std::wstring GetCoordinatorPort() const;
  // As SetCoordinatorHost, for the port.
  bool SetCoordinatorPort(const std::wstring& port);
  std::wstring GetDebugLevel() const;
  std::wstring GetTempFolder() const;
  // Sets the temporary folder, saves and returns the result of the save.
  bool SetTempFolder(const std::wstring& folder);
  // True when every character of `value` is an XML 1.0 character (tab, line feed,
  // carriage return, U+0020-U+D7FF, U+E000-U+FFFD, U+10000-U+10FFFF), so the
  // settings file holds it as it is and any reader reads it back the same.
  static bool IsStorableText(const std::wstring& value);
  bool GetEnableCoordinatorAutoSearch() const;
  bool GetUseDeltaCopying() const;
  bool GetUseDeltaCopyingDebug() const;
  bool GetDisableAuthorization() const;
  // True after a load that found no Name and wrote the defaults.
  bool IsDefaulted() const;

  // user directory + "/logs/ws." + Name + ".log"
  std::wstring GetLogFilePath() const;
  // "NameService=" + ("ssliop" | "iiop") + "://" + host + ":" + port + "/NameService"
  std::wstring GetNameServiceInitRef() const;
  std::wstring GetUserSettingsFolderPath() const;
  std::wstring GetUserSettingsFilePath() const;
  std::wstring GetSystemSettingsFilePath() const;

 private:
  struct Values {
    std::wstring coordinatorHost;
    std::wstring coordinatorPort;
    std::wstring debugLevel;
    std::wstring name;
    std::wstring tempFolder;
    bool enableCoordinatorAutoSearch = false;
    bool autoSearchOnce = true;
    bool isSecure = false;
    bool defaulted = false;
    bool useDeltaCopying = false;
    bool useDeltaCopyingDebug = false;
    bool disableAuthorization = true;
  };

  Values Snapshot() const;
  static void KeepUnreadable(const std::wstring& file);

  const std::wstring userDirectory_;
  const std::wstring systemSettingsFile_;
  std::mutex updateMutex_;          // serialises Load and the setters (read-modify-write of values_)
  mutable std::mutex valuesMutex_;  // guards values_
  Values values_;
};

}  // namespace zr
