// Sessions through a running wsagent: the DB2 plug-in's backup and restore driven
// as the Coordinator drives them, and a stop while a read is in flight.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ZavediDedozozuriz.hh"
#include "tests/agent/AgentProcess.h"
#include "tests/coordinator/OrbTestEnvironment.h"
#include "tests/coordinator/ScriptedSession.h"
#include "tests/coordinator/TestCoordinator.h"
#include "tests/naming/NamingServiceProcess.h"

namespace zrtest {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

fs::path MakeFolder(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

class Folder {
 public:
  explicit Folder(const std::string& prefix) : path_(MakeFolder(prefix)) {}
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

void WriteRandom(const fs::path& file, size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  std::ofstream(file, std::ios::binary) << bytes;
}

class WsagentSessionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = AgentProcess::WhyNoNamespace();
    if (!why.empty()) GTEST_SKIP() << "skipped: " << why;
  }

  static ZavediDedozozuriz::Workstation_ptr Workstation(const NamingServiceProcess& naming,
                                                        const std::string& name) {
    return ResolveWorkstation(g_orb, naming.Corbaloc(), name);
  }
};

// The Coordinator's round trip of a database: list, back up into a Zip64 file,
// damage the database, restore it from the file, compare with a copy taken before.
TEST_F(WsagentSessionsTest, Db2BackupAndRestoreThroughTheReadAndWriteInterfaces) {
  NamingServiceProcess naming;
  Folder db2("db2root"), work("db2work");
  const fs::path database = db2.Path() / "databases" / "SAMPLE";
  fs::create_directories(database);
  std::ofstream(db2.Path() / "instance") << "DB2INST1\n";
  WriteRandom(database / "SQLT0000.0", 3 << 20, 1);
  std::ofstream(database / "SQLDBCON") << "catalog\n";
  fs::copy(database, work.Path() / "snapshot");
  fs::create_directories(work.Path() / "temp");

  const std::string name = UniqueName("db2");
  AgentOptions options = LoopbackAgent(name, naming.Port());
  options.plugins = {ZR_DB2_PLUGIN};
  options.environment["ZR_DB2_STANDIN_ROOT"] = db2.Path().string();
  options.settings[L"TempFolder"] = std::wstring(work.Path().wstring()) + L"/temp/";
  AgentProcess agent(options);
  ASSERT_TRUE(agent.WaitForLog(L"==== STARTED ====", seconds(20))) << agent.Stderr();

  TestCoordinator coordinator(g_orb);
  ZavediDedozozuriz::Workstation_var workstation = Workstation(naming, name);
  Tessarine::Session_var session = coordinator.Session();
  Tessarine::Log_var log = coordinator.Log();
  const std::string zip = (work.Path() / "SAMPLE.zip").string();
  std::ostringstream out;
  using Kind = ScriptStep::Kind;
  EXPECT_TRUE(RunScript(workstation, session, log,
                        {{Kind::kOpen, {}, {}, {}},
                         {Kind::kList, L"", {}, {}},
                         {Kind::kList, L"DB2\\DB2INST1", {}, {}},
                         {Kind::kBackup, L"DB2\\DB2INST1\\SAMPLE", zip, {}},
                         {Kind::kClose, {}, {}, {}}},
                        out))
      << out.str();
  EXPECT_NE(out.str().find("<dir> DB2\n"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("      SAMPLE\n"), std::string::npos) << out.str();
  std::ifstream archive(zip, std::ios::binary);
  char signature[4] = {};
  archive.read(signature, 4);
  EXPECT_EQ(std::string(signature, 4), std::string("PK\x03\x04", 4));

  WriteRandom(database / "SQLT0000.0", 1 << 20, 2);
  fs::remove(database / "SQLDBCON");
  out.str("");
  EXPECT_TRUE(RunScript(workstation, session, log,
                        {{Kind::kOpen, {}, {}, {}},
                         {Kind::kRestore, L"DB2\\DB2INST1\\SAMPLE", zip, {}},
                         {Kind::kCompare, {}, (work.Path() / "snapshot").string(), database.string()},
                         {Kind::kClose, {}, {}, {}}},
                        out))
      << out.str();

  agent.Signal(SIGINT);
  EXPECT_EQ(agent.WaitExit(seconds(20)), 0);
}

bool SameFile(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::ostringstream p, q;
  p << x.rdbuf();
  q << y.rdbuf();
  return x && y && p.str() == q.str();
}

// A copy from one running agent to another through the copy servant, with delta
// copying on: a new file travels whole, a changed one as an rsync delta.
TEST_F(WsagentSessionsTest, CopyBetweenTwoAgents) {
  NamingServiceProcess naming;
  Folder source("copysource"), target("copytarget");
  WriteRandom(source.Path() / "new.bin", 3 << 20, 3);
  WriteRandom(source.Path() / "changed.bin", 2 << 20, 4);
  {
    // The target's older version: the same bytes but for one block in the middle.
    std::ifstream in(source.Path() / "changed.bin", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t i = 1 << 20; i < (1 << 20) + 4096; ++i) bytes[i] = static_cast<char>(~bytes[i]);
    std::ofstream(target.Path() / "changed.bin", std::ios::binary) << bytes;
  }
  const std::string nameA = UniqueName("copya"), nameB = UniqueName("copyb");
  AgentOptions a = LoopbackAgent(nameA, naming.Port());
  AgentOptions b = LoopbackAgent(nameB, naming.Port());
  for (auto [options, root] : {std::make_pair(&a, &source), std::make_pair(&b, &target)}) {
    options->plugins = {ZRTEST_FOLDER_PATH};
    options->environment["ZRTEST_FOLDER_ROOT"] = root->Path().string();
    options->settings[L"UseDeltaCopying"] = L"yes";
  }
  AgentProcess agentA(a), agentB(b);
  ASSERT_TRUE(agentA.WaitForLog(L"==== STARTED ====", seconds(20))) << agentA.Stderr();
  ASSERT_TRUE(agentB.WaitForLog(L"==== STARTED ====", seconds(20))) << agentB.Stderr();

  TestCoordinator coordinator(g_orb);
  Tessarine::Session_var session = coordinator.Session();
  Tessarine::Log_var log = coordinator.Log();
  ZavediDedozozuriz::Workstation_var workstationA = Workstation(naming, nameA);
  ZavediDedozozuriz::Workstation_var workstationB = Workstation(naming, nameB);
  ZavediDedozozuriz::Session_var sessionA = workstationA->OpenSession(session, log);
  ZavediDedozozuriz::Session_var sessionB = workstationB->OpenSession(session, log);
  ZavediDedozozuriz::ISettings settings;
  settings.useIndex = false;
  settings.progress = coordinator.Progress();
  ZavediDedozozuriz::IDLBackupDataCopy_var copy = sessionA->GetCopyInterface(settings, sessionB);
  ASSERT_FALSE(CORBA::is_nil(copy));
  EXPECT_EQ(copy->StartCopying(L""), ZavediDedozozuriz::SUCCESS);
  EXPECT_EQ(copy->CopyFile(L"TestFolder\\new.bin", L"TestFolder\\new.bin", true), ZavediDedozozuriz::SUCCESS);
  EXPECT_EQ(copy->CopyFileDiff(L"TestFolder\\changed.bin", L"TestFolder\\changed.bin",
                               L"TestFolder\\changed.bin", true),
            ZavediDedozozuriz::SUCCESS);
  EXPECT_EQ(copy->FinishCopying(), ZavediDedozozuriz::SUCCESS);
  workstationA->CloseSession(sessionA);
  workstationB->CloseSession(sessionB);

  EXPECT_TRUE(SameFile(source.Path() / "new.bin", target.Path() / "new.bin"));
  EXPECT_TRUE(SameFile(source.Path() / "changed.bin", target.Path() / "changed.bin"));
  agentA.Signal(SIGINT);
  agentB.Signal(SIGINT);
  EXPECT_EQ(agentA.WaitExit(seconds(20)), 0);
  EXPECT_EQ(agentB.WaitExit(seconds(20)), 0);
}

// A running agent with the folder plug-in, and a read of an empty FIFO through
// it that waits inside the plug-in until fd_ is written to.
class ReadInFlightTest : public WsagentSessionsTest {
 protected:
  using ReadAnswer = std::optional<std::pair<ZavediDedozozuriz::IDLErrorID, CORBA::ULong>>;

  void TearDown() override {
    agent_.reset();  // a read still waiting fails with the process
    if (read_.valid()) read_.wait();
    if (fd_ >= 0) ::close(fd_);
  }

  void StartRead(const std::string& prefix) {
    ASSERT_EQ(mkfifo(Fifo().c_str(), 0600), 0);
    name_ = UniqueName(prefix);
    AgentOptions options = LoopbackAgent(name_, naming_.Port());
    options.plugins = {ZRTEST_FOLDER_PATH};
    options.environment["ZRTEST_FOLDER_ROOT"] = root_.Path().string();
    agent_ = std::make_unique<AgentProcess>(options);
    ASSERT_TRUE(agent_->WaitForLog(L"==== STARTED ====", seconds(20))) << agent_->Stderr();

    ZavediDedozozuriz::Workstation_var workstation = Workstation(naming_, name_);
    Tessarine::Session_var session = coordinator_.Session();
    Tessarine::Log_var log = coordinator_.Log();
    opened_ = workstation->OpenSession(session, log);
    reader_ = opened_->GetReadInterface();
    // The writer end: opened once the agent opens the reading end.
    auto writer = std::async(std::launch::async, [this] { return ::open(Fifo().c_str(), O_WRONLY); });
    CORBA::ULong handle = 0;
    ASSERT_EQ(reader_->OpenFile(L"TestFolder\\fifo", ZavediDedozozuriz::Read, handle),
              ZavediDedozozuriz::SUCCESS);
    fd_ = writer.get();
    ASSERT_GE(fd_, 0);
    read_ = std::async(std::launch::async, [this, handle]() -> ReadAnswer {
      Tessarine::BinaryData data;
      data.length(4096);
      CORBA::ULong size = 4096;
      try {
        const ZavediDedozozuriz::IDLErrorID result = reader_->ReadFile(data, size, handle);
        return std::make_pair(result, size);
      } catch (const CORBA::SystemException&) {
        return std::nullopt;
      }
    });
    std::this_thread::sleep_for(milliseconds(300));
  }
  fs::path Fifo() const { return root_.Path() / "fifo"; }
  // The last lines of the log, time stamps as "[T] ".
  bool LogEndsWith(const std::vector<std::wstring>& tail) const {
    const std::vector<std::wstring> lines = agent_->LogLines();
    return lines.size() >= tail.size() && std::equal(tail.begin(), tail.end(), lines.end() - tail.size());
  }

  NamingServiceProcess naming_;
  Folder root_{"folderroot"};
  TestCoordinator coordinator_{g_orb};
  std::string name_;
  ZavediDedozozuriz::Session_var opened_;
  ZavediDedozozuriz::IDLBackupDataRead_var reader_;
  int fd_ = -1;
  std::future<ReadAnswer> read_;
  std::unique_ptr<AgentProcess> agent_;
};

// SIGINT while a read waits inside the plug-in: the stop holds new requests, lets
// the read finish, then closes the session and unloads the plug-in; no crash.
TEST_F(ReadInFlightTest, StopWithASlowReadInFlight) {
  StartRead("slowread");
  agent_->Signal(SIGINT);
  ASSERT_TRUE(agent_->WaitForLog(L"Take offline (Unregister Workstation on the Coordinator)", seconds(10)));
  std::this_thread::sleep_for(milliseconds(500));
  // Still serving the read: the extensions are not gone.
  EXPECT_EQ(agent_->Log().find(L"Unloading extensions..."), std::wstring::npos);
  ASSERT_EQ(::write(fd_, "data", 4), 4);
  ::close(fd_);  // the end of the file ends the read
  fd_ = -1;
  const ReadAnswer answer = read_.get();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->first, ZavediDedozozuriz::SUCCESS);
  EXPECT_EQ(answer->second, 4u);
  EXPECT_EQ(agent_->WaitExit(seconds(20)), 0) << agent_->Stderr();
  EXPECT_TRUE(LogEndsWith({L"Unloading extensions...", L"    Done", L"Closing active connections...",
                           L"    Done", L"[T] Stop backup workstation"}))
      << agent_->Log();
}

// SIGINT while a read waits inside the plug-in for ever: past the real drain limit
// the stop goes on without the read, keeps the extensions loaded, writes its lines
// and ends the process with 0.
TEST_F(ReadInFlightTest, SlowStopWithAReadThatNeverEnds) {
  StartRead("neverread");
  agent_->Signal(SIGINT);
  EXPECT_EQ(agent_->WaitExit(seconds(150)), 0) << agent_->Stderr();
  // The read ends with the process.
  EXPECT_FALSE(read_.get().has_value());
  EXPECT_TRUE(LogEndsWith({L"[T] Remote calls still running: the extensions stay loaded",
                           L"Closing active connections...", L"    Done", L"[T] Stop backup workstation"}))
      << agent_->Log();
  EXPECT_EQ(agent_->Log().find(L"Unloading extensions..."), std::wstring::npos);
  EXPECT_NE(RunNameclt(naming_.Port(), {"resolve", WorkstationNamePath(name_)}), 0);
}

}  // namespace
}  // namespace zrtest
