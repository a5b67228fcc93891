// The test Coordinator in its own process, called over 127.0.0.1 with the
// operations the agent uses.
#include "tests/coordinator/CoordinatorProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "ZavediDedozozuriz.hh"
#include "idl/SingleThreadPoa.h"
#include "tests/coordinator/OrbTestEnvironment.h"
#include "tests/naming/NamingServiceProcess.h"

namespace zrtest {
namespace {

using namespace std::chrono_literals;
using LinkTable = CoordinatorState::LinkTable;

// A wide text of `count` characters, a quarter of them above U+FFFF.
std::wstring LongText(size_t count) {
  static const wchar_t kChars[] = {L'x', L'\u00e9', L'\U0001F600', L'\u4e2d'};
  std::wstring text;
  for (size_t i = 0; i < count; ++i) text.push_back(kChars[i % 4]);
  return text;
}

// A fresh folder for the process's files, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zrcoordXXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A workstation object of the test process, listed by the Coordinator.
class WorkstationServant : public POA_ZavediDedozozuriz::Workstation {
 public:
  explicit WorkstationServant(PortableServer::POA_ptr poa) : poa_(PortableServer::POA::_duplicate(poa)) {}
  PortableServer::POA_ptr _default_POA() override { return PortableServer::POA::_duplicate(poa_); }
  CORBA::WChar* name() override { return CORBA::wstring_dup(L"ws\U0001F600"); }
  CORBA::WChar* host() override { return CORBA::wstring_dup(L"localhost"); }
  ZavediDedozozuriz::Session_ptr OpenSession(Tessarine::Session_ptr, Tessarine::Log_ptr) override {
    throw CORBA::NO_IMPLEMENT();
  }
  void CloseSession(ZavediDedozozuriz::Session_ptr) override {}
  void ping() override {}
  void Shutdown() override {}

 private:
  PortableServer::POA_var poa_;
};

TEST(CoordinatorProcess, SessionAndLinkCallsRoundTrip) {
  // Serve a Workstation in this process for GetWorkstations to hand back.
  CORBA::Object_var root_obj = g_orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var root = PortableServer::POA::_narrow(root_obj);
  PortableServer::POAManager_var manager = root->the_POAManager();
  PortableServer::POA_var poa = zr::CreateSingleThreadPoa(root, "Workstations");
  manager->activate();
  // GCC's -Warray-bounds misreads the skeleton's virtual base when the
  // constructor is inlined into an address-sanitized caller.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
  auto* servant = new WorkstationServant(poa);
#pragma GCC diagnostic pop
  PortableServer::ObjectId_var id = poa->activate_object(servant);
  CORBA::Object_var ws_obj = poa->id_to_reference(id);
  CORBA::String_var ws_ior = g_orb->object_to_string(ws_obj);

  const std::wstring folder = L"Plugins\\DB2";
  const std::wstring link_name = L"conn\U0001F600";
  CoordinatorProcessOptions options;
  options.hasLogin = true;
  options.login = L"dom\\us\u00e9r\U0001F600";
  options.workstationIors = {ws_ior.in()};
  options.storage = {{folder, L"ws\U0001F600\\Connections"}};
  options.linkValues = {{LinkTable::kParameters, folder, link_name, L"User", L"db2\tinst\U00010000"},
                        {LinkTable::kHeaders, folder, link_name, L"ModifTime", L"1700000000"}};
  TempFolder temp;
  {
    CoordinatorProcess coordinator(g_orb, temp.Path(), options);
    Tessarine::Session_var session = coordinator.Session();
    ASSERT_FALSE(CORBA::is_nil(session));
    EXPECT_TRUE(session->_is_a("IDL:omg.org/CORBA/Object:1.0"));

    CORBA::WString_var login = session->login();
    EXPECT_EQ(Wide(login), options.login);

    Tessarine::Session::Workstations_var workstations = session->GetWorkstations();
    ASSERT_EQ(workstations->length(), 1u);
    CORBA::WString_var ws_name = workstations[0]->name();
    EXPECT_EQ(Wide(ws_name), L"ws\U0001F600");

    CORBA::WString_var storage = session->GetDataStorageVRK(folder.c_str());
    EXPECT_EQ(Wide(storage), L"ws\U0001F600\\Connections");
    CORBA::WString_var no_storage = session->GetDataStorageVRK(L"Plugins\\None");
    EXPECT_EQ(Wide(no_storage), L"");

    Tessarine::Link_var link = session->OpenLink(folder.c_str(), link_name.c_str());
    CORBA::WString_var name = link->name();
    EXPECT_EQ(Wide(name), link_name);

    Tessarine::LinkParam param{};
    ASSERT_TRUE(link->GetParameter(L"User", param));
    EXPECT_EQ(Wide(param.value), L"db2\tinst\U00010000");
    Tessarine::LinkParam missing{};
    missing.value = CORBA::wstring_dup(L"keep");
    EXPECT_FALSE(link->GetParameter(L"Password", missing));
    EXPECT_EQ(Wide(missing.value), L"keep");

    const std::wstring long_value = LongText(100000);
    param.value = CORBA::wstring_dup(long_value.c_str());
    EXPECT_TRUE(link->SetParameter(param));
    Tessarine::LinkParam again{};
    ASSERT_TRUE(link->GetParameter(L"User", again));
    EXPECT_EQ(Wide(again.value), long_value);

    Tessarine::LinkParam header{};
    ASSERT_TRUE(link->GetHeader(L"ModifTime", header));
    EXPECT_EQ(Wide(header.value), L"1700000000");

    session->CloseLink(link);
    EXPECT_THROW(link->name(), CORBA::OBJECT_NOT_EXIST);
    EXPECT_THROW(session->CreateTask(), CORBA::NO_IMPLEMENT);

    const std::vector<RecordedCall> expected = {
        {"login", {}},
        {"GetWorkstations", {}},
        {"GetDataStorageVRK", {folder}},
        {"GetDataStorageVRK", {L"Plugins\\None"}},
        {"OpenLink", {folder, link_name}},
        {"name", {folder, link_name}},
        {"GetParameter", {folder, link_name, L"User"}},
        {"GetParameter", {folder, link_name, L"Password"}},
        {"SetParameter", {folder, link_name, L"User", long_value}},
        {"GetParameter", {folder, link_name, L"User"}},
        {"GetHeader", {folder, link_name, L"ModifTime"}},
        {"CloseLink", {folder, link_name}},
        {"CreateTask", {}},
    };
    EXPECT_EQ(coordinator.Calls(), expected);
    EXPECT_TRUE(coordinator.Stop());
  }
  poa->deactivate_object(id);
  servant->_remove_ref();
  poa->destroy(true, true);
}

TEST(CoordinatorProcess, OnewaysArriveInOrder) {
  TempFolder temp;
  CoordinatorProcess coordinator(g_orb, temp.Path());
  Tessarine::Log_var log = coordinator.Log();
  Tessarine::OperationProgress_var progress = coordinator.Progress();

  std::vector<RecordedCall> expected;
  const std::wstring long_text = LongText(100000);
  const Tessarine::IDLLogEvent events[] = {Tessarine::Emergency, Tessarine::Alert,   Tessarine::Critical,
                                           Tessarine::Error,     Tessarine::Warning, Tessarine::Notice,
                                           Tessarine::Info,      Tessarine::Debug};
  for (Tessarine::IDLLogEvent event : events) {
    const std::wstring text = event == Tessarine::Info    ? long_text
                              : event == Tessarine::Debug ? std::wstring()
                                                          : L"line \U0001F600 " + std::to_wstring(event);
    log->Write(event, text.c_str());
    expected.push_back({"Write", {std::to_wstring(event), text}});
  }
  for (int i = 0; i < 100; ++i) {
    const std::wstring text = L"n" + std::to_wstring(i);
    log->Write(Tessarine::Info, text.c_str());
    expected.push_back({"Write", {L"6", text}});
  }
  const std::int64_t chunks[] = {
      0,        1, -1, std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min(),
      1LL << 40};
  for (std::int64_t bytes : chunks) progress->NextChunk(bytes);

  ASSERT_TRUE(coordinator.WaitForCalls("Write", expected.size(), 20s));
  ASSERT_TRUE(coordinator.WaitForCalls("NextChunk", 6, 20s));
  EXPECT_EQ(coordinator.Calls("Write"), expected);
  const std::vector<RecordedCall> recorded = coordinator.Calls("NextChunk");
  for (size_t i = 0; i < recorded.size(); ++i) {
    EXPECT_EQ(recorded[i].args, std::vector<std::wstring>{std::to_wstring(chunks[i])});
  }
}

TEST(CoordinatorProcess, DefaultAnswersAreEmpty) {
  TempFolder temp;
  CoordinatorProcess coordinator(g_orb, temp.Path());
  Tessarine::Session_var session = coordinator.Session();
  CORBA::WString_var login = session->login();
  EXPECT_EQ(Wide(login), L"tester");
  Tessarine::Session::Workstations_var workstations = session->GetWorkstations();
  EXPECT_EQ(workstations->length(), 0u);
  Tessarine::Link_var link = session->OpenLink(L"", L"");
  Tessarine::LinkParam param{};
  EXPECT_FALSE(link->GetParameter(L"", param));
  EXPECT_FALSE(link->GetHeader(L"ModifTime", param));
}

// The servant refuses all of these; only the two-way calls hear about it.
TEST(CoordinatorProcess, OnewayCallsGetNoReply) {
  TempFolder temp;
  CoordinatorProcess coordinator(g_orb, temp.Path());
  Tessarine::Session_var session = coordinator.Session();
  Tessarine::Log_var log = coordinator.Log();
  session->DeleteTask(-1);
  log->Close();
  log->Clear();
  log->Rewind();
  EXPECT_THROW(log->Open(), CORBA::NO_IMPLEMENT);
  EXPECT_THROW(session->Deactivate(), CORBA::NO_IMPLEMENT);
  ASSERT_TRUE(coordinator.WaitForCalls("Rewind", 1, 20s));
  std::vector<std::string> operations;
  for (const RecordedCall& call : coordinator.Calls()) operations.push_back(call.operation);
  EXPECT_EQ(operations,
            (std::vector<std::string>{"DeleteTask", "Close", "Clear", "Rewind", "Open", "Deactivate"}));
}

TEST(CoordinatorProcess, BindsItsSessionInTheNamingServiceUntilStopped) {
  NamingServiceProcess naming;
  TempFolder temp;
  CoordinatorProcessOptions options;
  options.namingCorbaloc = naming.Corbaloc();
  options.namingName = "TestCoordinator";
  CoordinatorProcess coordinator(g_orb, temp.Path(), options);

  CORBA::Object_var naming_obj = g_orb->string_to_object(naming.Corbaloc().c_str());
  CosNaming::NamingContext_var context = CosNaming::NamingContext::_narrow(naming_obj);
  CosNaming::Name name;
  name.length(1);
  name[0].id = CORBA::string_dup("TestCoordinator");
  name[0].kind = CORBA::string_dup("");
  CORBA::Object_var found = context->resolve(name);
  Tessarine::Session_var session = Tessarine::Session::_narrow(found);
  ASSERT_FALSE(CORBA::is_nil(session));
  CORBA::WString_var login = session->login();
  EXPECT_EQ(Wide(login), L"tester");

  EXPECT_TRUE(coordinator.Stop());
  EXPECT_THROW(context->resolve(name), CosNaming::NamingContext::NotFound);
  EXPECT_THROW(session->login(), CORBA::SystemException);
}

}  // namespace
}  // namespace zrtest
