// storage_peer: the serving side of the two-process storage tests. Serves
// one IDLBackupDataWrite object, a minimal servant over the write plug-in
// adapter with the plug-ins of a folder, writes the object's reference to a
// file and runs until it is killed. Settings come from $HOME as usual.
//
//   storage_peer <plug-ins folder> <reference file> <calls file>
//
// Every data call is appended to the calls file as one line
// "<operation> <handle> <bytes>" (bytes: what a ReadFile delivered or a
// WriteFile took; the result for CloseFile and OpenFilePatching; 0
// elsewhere), so a test can see the payload that crossed. After each call
// "<calls file>.workers" holds the number of delta workers still running.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "agent/data/Settings.h"
#include "agent/data/adapters/PluginsAdapter.h"
#include "agent/data/delta/ThreadSync.h"
#include "idl/SingleThreadPoa.h"
#include "tests/coordinator/TestOrb.h"

namespace {

using Adapter = zr::CPluginsAdapter<IBackupDataWrite>;
namespace Z = ZavediDedozozuriz;

std::wstring Text(const CORBA::WChar* text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

class StderrLog final : public ILog {
 public:
  void Write(LogEvent::ID level, const wchar_t* text) override {
    std::wcerr << L"peer log " << static_cast<int>(level) << L": " << (text ? text : L"") << std::endl;
  }
};

class PeerWriteServant final : public POA_ZavediDedozozuriz::IDLBackupDataWrite, public Adapter {
 public:
  [[gnu::noinline]] PeerWriteServant(ILog* log, zr::CExtensionLoader* loader, const std::string& callsFile)
      : Adapter(Tessarine::Session::_nil(), log, loader),
        calls_(callsFile, std::ios::app),
        workers_(callsFile + ".workers") {}

  Z::IDLErrorID SetRoot(const CORBA::WChar* path) override { return Adapter::SetRoot(Text(path)); }
  Z::IDLErrorID GetListing(const CORBA::WChar* path, Z::List_out entries) override {
    return Adapter::GetListing(Text(path), entries);
  }
  Z::IDLErrorID GetElementAttributes(const CORBA::WChar* path, Z::Attributes& attributes) override {
    return Adapter::GetElementAttributes(Text(path), attributes);
  }
  CORBA::Boolean IsPathExists(const CORBA::WChar* path) override {
    Z::Attributes attributes;
    return Adapter::GetElementAttributes(Text(path), attributes) == Z::SUCCESS;
  }
  Z::IDLErrorID OpenFile(const CORBA::WChar* path, Z::FileAccessMode mode, CORBA::ULong& handle) override {
    const Z::IDLErrorID result = Adapter::OpenFile(Text(path), mode, handle);
    Record(mode == Z::Write ? "OpenFileWrite" : "OpenFileRead", handle, 0);
    return result;
  }
  Z::IDLErrorID OpenFileSignature(const CORBA::WChar* path, CORBA::ULong& handle) override {
    const Z::IDLErrorID result = Adapter::OpenFileSignature(Text(path), handle);
    Record("OpenFileSignature", handle, 0);
    return result;
  }
  Z::IDLErrorID OpenFilePatch(const CORBA::WChar* base, const CORBA::WChar* path,
                              CORBA::ULong& handle) override {
    const Z::IDLErrorID result = Adapter::OpenFilePatch(Text(base), Text(path), handle);
    Record("OpenFilePatch", handle, 0);
    return result;
  }
  Z::IDLErrorID ReadFile(Tessarine::BinaryData& data, CORBA::ULong& size, CORBA::ULong handle) override {
    const Z::IDLErrorID result = Adapter::ReadFile(data, size, handle);
    Record("ReadFile", handle, result == Z::SUCCESS ? size : 0);
    return result;
  }
  Z::IDLErrorID CloseFile(CORBA::ULong handle) override {
    const Z::IDLErrorID result = Adapter::CloseFile(handle);
    Record("CloseFile", handle, result);
    return result;
  }
  void OnStop() override { Adapter::OnStop(); }
  Z::IDLErrorID BeginTransaction() override { return Adapter::BeginTransaction(); }
  Z::IDLErrorID CommitTransaction() override { return Adapter::CommitTransaction(); }
  Z::IDLErrorID OpenFilePatching(const CORBA::WChar* base, const CORBA::WChar* path,
                                 CORBA::ULong& handle) override {
    const Z::IDLErrorID result = Adapter::OpenFilePatching(Text(base), Text(path), handle);
    Record("OpenFilePatching", result == Z::SUCCESS ? handle : 0, result);
    return result;
  }
  Z::IDLErrorID WriteFile(const Tessarine::BinaryData& data, CORBA::ULong& size,
                          CORBA::ULong handle) override {
    const Z::IDLErrorID result = Adapter::WriteFile(data, size, handle);
    Record("WriteFile", handle, result == Z::SUCCESS ? size : 0);
    return result;
  }
  Z::IDLErrorID SetElementAttributes(const CORBA::WChar* path, const Z::Attributes& attributes) override {
    return Adapter::SetElementAttributes(Text(path), attributes);
  }
  Z::IDLErrorID CreateFolder(const CORBA::WChar* path) override { return Adapter::CreateFolder(Text(path)); }
  Z::IDLErrorID DeleteFolder(const CORBA::WChar* path) override { return Adapter::DeleteFolder(Text(path)); }
  Z::IDLErrorID DeleteFile(const CORBA::WChar* path) override { return Adapter::DeleteFile(Text(path)); }

 private:
  void Record(const char* operation, CORBA::ULong handle, CORBA::ULong bytes) {
    calls_ << operation << ' ' << handle << ' ' << bytes << std::endl;
    // Replaced whole, so a reader never sees a half-written count.
    const std::string temporary = workers_ + ".tmp";
    std::ofstream(temporary, std::ios::trunc) << zr::CThreadSync::RunningWorkers() << std::endl;
    std::filesystem::rename(temporary, workers_);
  }

  std::ofstream calls_;
  std::string workers_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: storage_peer <plug-ins folder> <reference file> <calls file>" << std::endl;
    return 2;
  }
  zr::CSettings::Instance()->Load();
  const std::string plugins = std::string(argv[1]) + "/";
  StderrLog log;
  zr::CExtensionLoader loader(L"storage_peer", std::wstring(plugins.begin(), plugins.end()),
                              L"/nonexistent/");

  CORBA::ORB_var orb = zrtest::InitTestOrb();
  CORBA::Object_var object = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var root = PortableServer::POA::_narrow(object);
  PortableServer::POAManager_var manager = root->the_POAManager();
  PortableServer::POA_var poa = zr::CreateSingleThreadPoa(root, "StoragePeer");
  auto* servant = new PeerWriteServant(&log, &loader, argv[3]);
  PortableServer::ObjectId_var id = poa->activate_object(servant);
  CORBA::Object_var reference = poa->id_to_reference(id);
  manager->activate();

  CORBA::String_var text = orb->object_to_string(reference);
  const std::string temporary = std::string(argv[2]) + ".tmp";
  std::ofstream(temporary) << text.in();
  std::filesystem::rename(temporary, argv[2]);
  orb->run();  // until the process is killed
  return 0;
}
