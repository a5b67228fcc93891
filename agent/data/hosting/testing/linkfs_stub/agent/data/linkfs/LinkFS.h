// Stand-in for the connection-settings folder, used only while the real one
// is not in the tree. Same interface; it asks the Coordinator for the storage
// folder and opens links for new connections, and reaches no workstation.

#pragma once

#include <list>
#include <string>

#include "Tessarine.hh"
#include "plugin-api/PluginApi.h"

class CLinkFS : public IBackupDataWrite {
 public:
  CLinkFS(ILog* log, Tessarine::Session_ptr session) : log_(log), session_(session) {}

  void SetPlugin(const std::wstring& name) {
    plugin_ = name;
    folder_.clear();
    try {
      CORBA::WString_var answer = session_->GetDataStorageVRK((L"Plugins\\" + name).c_str());
      folder_ = answer.in();
    } catch (const CORBA::Exception&) {
      if (log_ != nullptr) log_->Write(LogEvent::Error, L"Can't load connection settings files list");
    }
  }

  int OpenFile(const std::wstring&, FileAccessMode::ID, unsigned int&) override { return 0; }
  int ReadFile(unsigned char*, unsigned int&, const unsigned int&) override { return 0; }
  int SeekFile(const unsigned int&, const unsigned long long&) override { return 6; }
  int CloseFile(const unsigned int&) override { return 0; }
  int GetElementAttributes(const std::wstring&, CFileAttributes&) override { return 0; }
  int GetListing(const std::wstring&, std::list<CFileInfo>&) override { return 1; }
  void OnStop() override {}
  int WriteFile(const unsigned char*, unsigned int&, const unsigned int&) override { return 0; }
  int SetElementAttributes(const std::wstring&, const CFileAttributes&) override { return 0; }
  int CreateFolder(const std::wstring& name) override {
    Tessarine::Link_var link = session_->OpenLink((L"Plugins\\" + plugin_).c_str(), name.c_str());
    CORBA::WString_var linkName = link->name();
    session_->CloseLink(link.in());
    return 0;
  }
  int DeleteFolder(const std::wstring&) override { return 1; }
  int DeleteFile(const std::wstring&) override { return 1; }
  int MoveFile(const std::wstring&, const std::wstring&) override { return 6; }
  int BeginTransaction() override { return 0; }
  int CommitTransaction() override { return 0; }

 private:
  ILog* log_;
  Tessarine::Session_ptr session_;
  std::wstring plugin_;
  std::wstring folder_;
};
