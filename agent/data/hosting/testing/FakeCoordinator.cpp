#include "agent/data/hosting/testing/FakeCoordinator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace hostingtest {

PortableServer::POA_ptr RootPoa() {
  static PortableServer::POA_var poa = [] {
    CORBA::Object_var object = Orb()->resolve_initial_references("RootPOA");
    PortableServer::POA_var root = PortableServer::POA::_narrow(object);
    PortableServer::POAManager_var manager = root->the_POAManager();
    manager->activate();
    return root;
  }();
  return poa.in();
}

namespace {

// Destroys the ORB after the last test, so that its servants are released.
class OrbEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { Orb()->destroy(); }
};
::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

[[noreturn]] void Raise() { throw CORBA::TRANSIENT(); }
[[noreturn]] void Unused() { throw CORBA::NO_IMPLEMENT(); }

}  // namespace

CORBA::ORB_ptr Orb() {
  static CORBA::ORB_var orb = [] {
    int argc = 1;
    static char name[] = "hosting_test";
    static char* argv[] = {name, nullptr};
    return CORBA::ORB_init(argc, argv);
  }();
  return orb.in();
}

CORBA::Object_ptr DeadReference() {
  return Orb()->string_to_object("corbaloc::127.0.0.1:1/Nothing");
}

// Link.

::CORBA::WChar* FakeLink::name() {
  if (raise) Raise();
  return CORBA::wstring_dup(name_.c_str());
}
::CORBA::Boolean FakeLink::SetView(const ::CORBA::WChar*) { Unused(); }
::CORBA::Boolean FakeLink::GetView(::CORBA::WString_out) { Unused(); }
::CORBA::Boolean FakeLink::SetHeader(const Tessarine::LinkParam&) { Unused(); }

::CORBA::Boolean FakeLink::SetParameter(const Tessarine::LinkParam& param) {
  if (raise) Raise();
  if (refuseSet) return false;
  auto it = parameters.find(param.name.in());
  if (it == parameters.end()) return false;
  it->second = param.value.in();
  return true;
}

::CORBA::Boolean FakeLink::GetParameter(const ::CORBA::WChar* name, Tessarine::LinkParam& param) {
  if (raise) Raise();
  auto it = parameters.find(name);
  if (it == parameters.end()) return false;
  param.name = name;
  param.value = it->second.c_str();
  return true;
}

::CORBA::Boolean FakeLink::GetHeader(const ::CORBA::WChar* name, Tessarine::LinkParam& param) {
  if (raise) Raise();
  headerRequests.push_back(name);
  auto it = headers.find(name);
  if (it == headers.end()) return false;
  param.name = name;
  param.value = it->second.c_str();
  return true;
}

// Session.

void FakeSession::Shutdown() { links_.clear(); }

FakeLink& FakeSession::LinkFor(const std::wstring& folder, const std::wstring& name) {
  auto& link = links_[{folder, name}];
  if (!link) link = std::make_unique<Served<FakeLink>>(name);
  return **link;
}

Tessarine::Link_ptr FakeSession::OpenLink(const ::CORBA::WChar* folder, const ::CORBA::WChar* name) {
  opened.emplace_back(folder, name);
  if (raiseOnOpen) Raise();
  FakeLink& link = LinkFor(folder, name);
  return link._this();
}

void FakeSession::CloseLink(Tessarine::Link_ptr) {
  ++closed;
  if (raiseOnClose) Raise();
}

::CORBA::WChar* FakeSession::GetDataStorageVRK(const ::CORBA::WChar*) {
  if (raiseOnStorage) Raise();
  return CORBA::wstring_dup(storage.c_str());
}

Tessarine::ServerSettings_ptr FakeSession::settings() { Unused(); }
::CORBA::WChar* FakeSession::login() { return CORBA::wstring_dup(L"tester"); }
::CORBA::ULong FakeSession::id() { return 1; }
Tessarine::Session::Workstations* FakeSession::GetWorkstations() {
  return new Tessarine::Session::Workstations();
}
Tessarine::Task_ptr FakeSession::CreateTask() { Unused(); }
void FakeSession::DeleteTask(Tessarine::TaskUID) { Unused(); }
Tessarine::TasksList* FakeSession::tasks() { Unused(); }
Tessarine::Task_ptr FakeSession::GetTask(Tessarine::TaskUID) { Unused(); }
Tessarine::Task_ptr FakeSession::GetTaskByName(const ::CORBA::WChar*) { Unused(); }
void FakeSession::Deactivate() { Unused(); }

// Log.

std::vector<FakeLog::Line> FakeLog::Lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool FakeLog::WaitFor(std::size_t count) {
  for (int i = 0; i < 500; ++i) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (lines_.size() >= count) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void FakeLog::Write(Tessarine::IDLLogEvent event, const ::CORBA::WChar* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.emplace_back(event, text);
}

::CORBA::WChar* FakeLog::filePath() { Unused(); }
::CORBA::Boolean FakeLog::Open() { Unused(); }
void FakeLog::Close() { Unused(); }
void FakeLog::Clear() { Unused(); }
void FakeLog::Rewind() { Unused(); }
::CORBA::Boolean FakeLog::GetNextLine(::CORBA::WString_out) { Unused(); }
::CORBA::Boolean FakeLog::Read(Tessarine::BinaryData&, ::CORBA::ULong&) { Unused(); }

}  // namespace hostingtest
