#include "tests/coordinator/TestCoordinator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <thread>
#include <vector>

#include "tests/coordinator/OrbTestEnvironment.h"

namespace zrtest {
namespace {

using namespace std::chrono_literals;
using LinkTable = CoordinatorState::LinkTable;

TEST(TestCoordinator, AnswersAndRecordsSessionCallsInOrder) {
  const std::string record_file = testing::TempDir() + "test_coordinator_calls.txt";
  std::remove(record_file.c_str());
  TestCoordinator coordinator(g_orb, record_file);
  coordinator.State().SetLogin(L"user\U0001F600");
  coordinator.State().SetDataStorage(L"Plugins\\DB2", L"ws1\\store");
  Tessarine::Session_var session = coordinator.Session();

  CORBA::WString_var login = session->login();
  EXPECT_EQ(Wide(login), L"user\U0001F600");
  Tessarine::Session::Workstations_var none = session->GetWorkstations();
  EXPECT_EQ(none->length(), 0u);
  CORBA::WString_var known = session->GetDataStorageVRK(L"Plugins\\DB2");
  CORBA::WString_var unknown = session->GetDataStorageVRK(L"Plugins\\Other");
  EXPECT_EQ(Wide(known), L"ws1\\store");
  EXPECT_EQ(Wide(unknown), L"");

  const std::vector<RecordedCall> expected = {
      {"login", {}},
      {"GetWorkstations", {}},
      {"GetDataStorageVRK", {L"Plugins\\DB2"}},
      {"GetDataStorageVRK", {L"Plugins\\Other"}},
  };
  EXPECT_EQ(coordinator.State().Calls(), expected);
  EXPECT_EQ(ReadRecordFile(record_file), expected);
  std::remove(record_file.c_str());
}

TEST(TestCoordinator, LinksReadWriteAndClose) {
  TestCoordinator coordinator(g_orb);
  CoordinatorState& state = coordinator.State();
  state.SetLinkValue(LinkTable::kParameters, L"Plugins\\DB2", L"conn", L"User", L"db2inst1");
  state.SetLinkValue(LinkTable::kHeaders, L"Plugins\\DB2", L"conn", L"ModifTime", L"42");
  Tessarine::Session_var session = coordinator.Session();

  Tessarine::Link_var link = session->OpenLink(L"Plugins\\DB2", L"conn");
  EXPECT_EQ(state.OpenLinks(), 1);
  CORBA::WString_var name = link->name();
  EXPECT_EQ(Wide(name), L"conn");

  Tessarine::LinkParam param{};
  ASSERT_TRUE(link->GetParameter(L"User", param));
  EXPECT_EQ(Wide(param.name), L"User");
  EXPECT_EQ(Wide(param.value), L"db2inst1");

  // A missing value answers false and leaves the struct as it was.
  Tessarine::LinkParam missing{};
  missing.value = CORBA::wstring_dup(L"keep");
  EXPECT_FALSE(link->GetParameter(L"Password", missing));
  EXPECT_EQ(Wide(missing.value), L"keep");
  EXPECT_FALSE(link->GetHeader(L"Other", missing));

  param.value = CORBA::wstring_dup(L"\U0001F600");
  EXPECT_TRUE(link->SetParameter(param));
  std::wstring stored;
  ASSERT_TRUE(state.LinkValue(LinkTable::kParameters, L"Plugins\\DB2", L"conn", L"User", stored));
  EXPECT_EQ(stored, L"\U0001F600");
  missing.name = CORBA::wstring_dup(L"Password");
  EXPECT_FALSE(link->SetParameter(missing));
  EXPECT_FALSE(state.LinkValue(LinkTable::kParameters, L"Plugins\\DB2", L"conn", L"Password", stored));

  Tessarine::LinkParam header{};
  ASSERT_TRUE(link->GetHeader(L"ModifTime", header));
  EXPECT_EQ(Wide(header.value), L"42");

  session->CloseLink(link);
  EXPECT_EQ(state.OpenLinks(), 0);
  EXPECT_THROW(link->name(), CORBA::OBJECT_NOT_EXIST);
  // Nil and already closed links are recorded and otherwise ignored.
  session->CloseLink(Tessarine::Link::_nil());
  session->CloseLink(link);
  EXPECT_EQ(state.OpenLinks(), 0);

  const std::vector<RecordedCall> closes = state.Calls("CloseLink");
  ASSERT_EQ(closes.size(), 3u);
  EXPECT_EQ(closes[0], (RecordedCall{"CloseLink", {L"Plugins\\DB2", L"conn"}}));
  EXPECT_EQ(closes[1], (RecordedCall{"CloseLink", {}}));
  EXPECT_EQ(closes[2], (RecordedCall{"CloseLink", {}}));
  EXPECT_EQ(state.Calls("SetParameter").front(),
            (RecordedCall{"SetParameter", {L"Plugins\\DB2", L"conn", L"User", L"\U0001F600"}}));
}

TEST(TestCoordinator, LogAndProgressRecordOnewaysInOrder) {
  TestCoordinator coordinator(g_orb);
  Tessarine::Log_var log = coordinator.Log();
  Tessarine::OperationProgress_var progress = coordinator.Progress();

  log->Write(Tessarine::Emergency, L"first");
  log->Write(Tessarine::Debug, L"");
  log->Write(Tessarine::Warning, L"\U0001F600");
  progress->NextChunk(std::numeric_limits<std::int64_t>::max());
  progress->NextChunk(1);
  progress->NextChunk(std::numeric_limits<std::int64_t>::min());

  ASSERT_TRUE(coordinator.State().WaitForCalls("Write", 3, 5s));
  ASSERT_TRUE(coordinator.State().WaitForCalls("NextChunk", 3, 5s));
  const std::vector<RecordedCall> writes = coordinator.State().Calls("Write");
  EXPECT_EQ(writes[0], (RecordedCall{"Write", {L"0", L"first"}}));
  EXPECT_EQ(writes[1], (RecordedCall{"Write", {L"7", L""}}));
  EXPECT_EQ(writes[2], (RecordedCall{"Write", {L"4", L"\U0001F600"}}));
  EXPECT_EQ(coordinator.State().Calls("NextChunk")[2],
            (RecordedCall{"NextChunk", {L"-9223372036854775808"}}));
  // max + 1 + min wraps to 0.
  EXPECT_EQ(coordinator.State().ProgressTotal(), 0);
}

TEST(TestCoordinator, OperationsTheAgentNeverCallsRaiseNoImplement) {
  TestCoordinator coordinator(g_orb);
  Tessarine::Session_var session = coordinator.Session();
  Tessarine::Log_var log = coordinator.Log();
  EXPECT_THROW(session->settings(), CORBA::NO_IMPLEMENT);
  EXPECT_THROW(session->id(), CORBA::NO_IMPLEMENT);
  EXPECT_THROW(session->CreateTask(), CORBA::NO_IMPLEMENT);
  EXPECT_THROW(session->tasks(), CORBA::NO_IMPLEMENT);
  EXPECT_THROW(session->GetTask(1), CORBA::NO_IMPLEMENT);
  EXPECT_THROW(session->GetTaskByName(L"t"), CORBA::NO_IMPLEMENT);
  EXPECT_THROW(session->Deactivate(), CORBA::NO_IMPLEMENT);
  EXPECT_THROW(log->filePath(), CORBA::NO_IMPLEMENT);
  EXPECT_THROW(log->Open(), CORBA::NO_IMPLEMENT);
  CORBA::WString_var line;
  EXPECT_THROW(log->GetNextLine(line.out()), CORBA::NO_IMPLEMENT);

  Tessarine::Link_var link = session->OpenLink(L"Tasks", L"t");
  Tessarine::LinkParam param{};
  EXPECT_THROW(link->SetView(L"v"), CORBA::NO_IMPLEMENT);
  EXPECT_THROW(link->SetHeader(param), CORBA::NO_IMPLEMENT);
  EXPECT_EQ(coordinator.State().Calls("CreateTask").size(), 1u);
  EXPECT_EQ(coordinator.State().Calls("SetHeader").size(), 1u);
}

// Two clients calling at once never run inside the servants together.
TEST(TestCoordinator, SingleThreadPoaSerialisesUpcalls) {
  TestCoordinator coordinator(g_orb);
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  coordinator.State().SetUpcallObserver([&](const std::string&) {
    const int now = ++inside;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(20ms);
    --inside;
  });
  Tessarine::Session_var session = coordinator.Session();
  Tessarine::Log_var log = coordinator.Log();

  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&, i] {
      for (int call = 0; call < 5; ++call) {
        if (i % 2 == 0) {
          CORBA::WString_var login = session->login();
        } else {
          CORBA::WString_var answer = session->GetDataStorageVRK(L"x");
        }
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(most.load(), 1);
  EXPECT_EQ(coordinator.State().Calls().size(), 20u);
}

// A servant may call another object of the same POA from inside its upcall.
TEST(TestCoordinator, CollocatedCallReentersFromAnUpcall) {
  TestCoordinator coordinator(g_orb);
  coordinator.State().SetLogin(L"nested");
  Tessarine::Session_var session = coordinator.Session();
  std::wstring nested_answer;
  coordinator.State().SetUpcallObserver([&](const std::string& operation) {
    if (operation != "GetDataStorageVRK") return;
    CORBA::WString_var login = session->login();
    nested_answer = Wide(login);
  });

  auto outer = std::async(std::launch::async,
                          [&] { CORBA::WString_var answer = session->GetDataStorageVRK(L"Plugins\\DB2"); });
  ASSERT_EQ(outer.wait_for(10s), std::future_status::ready) << "re-entrant call deadlocked";
  outer.get();
  EXPECT_EQ(nested_answer, L"nested");
  const std::vector<RecordedCall> expected = {{"GetDataStorageVRK", {L"Plugins\\DB2"}}, {"login", {}}};
  EXPECT_EQ(coordinator.State().Calls(), expected);
}

}  // namespace
}  // namespace zrtest
