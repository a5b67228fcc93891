#include "agent/service/CorbaWrapper.h"

#include <arpa/inet.h>
#include <link.h>
#include <netinet/in.h>
#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "agent/service/CommonException.h"
#include "tests/naming/NamingServiceProcess.h"

namespace {

using namespace zr;

using zrtest::NamingServiceProcess;

// Collects what is written to std::cerr while it lives.
class CerrCapture {
 public:
  CerrCapture() : saved_(std::cerr.rdbuf(text_.rdbuf())) {}
  ~CerrCapture() { std::cerr.rdbuf(saved_); }
  std::string Text() const { return text_.str(); }

 private:
  std::ostringstream text_;
  std::streambuf* saved_;
};

std::list<std::wstring> Items(const CArgumentList& list) { return list.Items(); }

// A wrapper that listens on loopback only and keeps omniORB quiet.
class LoopbackWrapper : public CCorbaWrapper {
 public:
  LoopbackWrapper() {
    SetListenHost(L"127.0.0.1");
    SetOrbDebugLevel(L"0");
  }
};

CosNaming::Name Name1(const char* id, const char* kind) {
  CosNaming::Name name;
  name.length(1);
  name[0].id = id;
  name[0].kind = kind;
  return name;
}

// The host and port of the first IIOP profile of a reference.
std::pair<std::string, int> PublishedAddress(CORBA::Object_ptr object) {
  omniIOR* ior = object->_PR_getobj()->_getIOR();
  std::pair<std::string, int> address{"", 0};
  const IOP::TaggedProfileList& profiles = ior->iopProfiles();
  for (CORBA::ULong i = 0; i < profiles.length(); ++i) {
    if (profiles[i].tag != IOP::TAG_INTERNET_IOP) continue;
    IIOP::ProfileBody body;
    IIOP::unmarshalProfile(profiles[i], body);
    address = {std::string(body.address.host), body.address.port};
    break;
  }
  ior->release();
  return address;
}

class CorbaWrapperTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_naming = new NamingServiceProcess(); }
  static void TearDownTestSuite() {
    delete s_naming;
    s_naming = nullptr;
  }
  static NamingServiceProcess& Naming() { return *s_naming; }

  static NamingServiceProcess* s_naming;
};
NamingServiceProcess* CorbaWrapperTest::s_naming = nullptr;

TEST_F(CorbaWrapperTest, NothingWorksWithoutAnOrbAndNothingIsWritten) {
  CerrCapture err;
  LoopbackWrapper wrapper;
  CosNaming::NamingContext_var context;
  EXPECT_EQ(wrapper.GetRootContext(context.out()), 1);
  EXPECT_EQ(wrapper.GetNetworkContext(context.out()), 1);
  EXPECT_EQ(wrapper.BindObject("a", "b", CORBA::Object::_nil()), 1);
  EXPECT_EQ(wrapper.RegisterWithRetry("a", "b", CORBA::Object::_nil()), 1);
  EXPECT_EQ(wrapper.UnbindObject("a", "b"), 1);
  CORBA::Object_var object = wrapper.Resolve("a", "b", "c", "d");
  EXPECT_TRUE(CORBA::is_nil(object));
  EXPECT_TRUE(CORBA::is_nil(wrapper.Poa()));
  wrapper.Stop();
  EXPECT_EQ(err.Text(), "");
}

TEST_F(CorbaWrapperTest, ReportErrorWritesEachTextOnItsLineAndRaisesWhenAsked) {
  CerrCapture err;
  LoopbackWrapper wrapper;
  wrapper.ReportError("message", nullptr, "info", false);
  EXPECT_EQ(err.Text(), "message\ninfo\n");
  try {
    wrapper.ReportError("m", "n", nullptr, true);
    ADD_FAILURE() << "no exception";
  } catch (const CCommonException& e) {
    EXPECT_EQ(e.Text(), L"exception message: m\nn\n");
  }
  EXPECT_EQ(err.Text(), "message\ninfo\nm\nn\n");
}

TEST_F(CorbaWrapperTest, StartBuildsTheOrbArgumentsAndStopIsQuick) {
  CerrCapture err;
  {
    LoopbackWrapper wrapper;
    wrapper.SetOrbLogFile(L"/dev/null");
    ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", Naming().WidePort()), 0);
    EXPECT_EQ(Items(wrapper.OrbArguments()),
              (std::list<std::wstring>{
                  L"-ORBInitRef", L"NameService=corbaloc::127.0.0.1:" + Naming().WidePort() + L"/NameService",
                  L"-ORBendPoint", L"giop:tcp:127.0.0.1:", L"-ORBendPointPublish", L"giop:tcp:127.0.0.1:",
                  L"-ORBtraceLevel", L"0", L"-ORBtraceFile", L"/dev/null"}));
    EXPECT_FALSE(CORBA::is_nil(wrapper.Orb()));
    EXPECT_FALSE(CORBA::is_nil(wrapper.Poa()));
    CORBA::ORB_ptr first = wrapper.Orb();
    // Same host and port: nothing is restarted.
    ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", Naming().WidePort()), 0);
    EXPECT_EQ(wrapper.Orb(), first);

    // A stop that waited for the ORB's own periods (minutes) runs into the
    // test's time limit.
    wrapper.Stop();
    EXPECT_TRUE(CORBA::is_nil(wrapper.Orb()));
    EXPECT_TRUE(CORBA::is_nil(wrapper.Poa()));
    CosNaming::NamingContext_var context;
    EXPECT_EQ(wrapper.GetRootContext(context.out()), 1);
    wrapper.Stop();  // twice is harmless
  }
  EXPECT_EQ(err.Text(), "");
}

TEST_F(CorbaWrapperTest, ListenEndpointForms) {
  CerrCapture err;
  LoopbackWrapper wrapper;
  wrapper.SetListenHost(L"");
  wrapper.SetListenPort(std::to_wstring(NamingServiceProcess::FreeLoopbackPort()));
  wrapper.SetOrbDebugLevel(L"");
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", Naming().WidePort()), 0);
  const std::list<std::wstring> expected{
      L"-ORBInitRef", L"NameService=corbaloc::127.0.0.1:" + Naming().WidePort() + L"/NameService",
      L"-ORBendPoint", L"giop:tcp::" + std::wstring(wrapper.OrbArguments().Vector()[3]).substr(10)};
  EXPECT_EQ(Items(wrapper.OrbArguments()), expected);
  CosNaming::NamingContext_var root;
  ASSERT_EQ(wrapper.GetRootContext(root.out()), 0);
  wrapper.Stop();

  // An IPv6 literal goes in brackets (nothing listens there: the start fails).
  wrapper.SetListenHost(L"127.0.0.1");
  wrapper.SetListenPort(L"");
  EXPECT_THROW((void)wrapper.StartOrb(L"::1", L"1"), CCommonException);
  EXPECT_EQ(std::wstring(wrapper.OrbArguments().Vector()[1]), L"NameService=corbaloc::[::1]:1/NameService");
}

TEST_F(CorbaWrapperTest, BindRebindResolveUnbind) {
  CerrCapture err;
  LoopbackWrapper wrapper;
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", Naming().WidePort()), 0);
  CosNaming::NamingContext_var root;
  ASSERT_EQ(wrapper.GetRootContext(root.out()), 0);
  CosNaming::NamingContext_var first = root->new_context();
  CosNaming::NamingContext_var second = root->new_context();

  ASSERT_EQ(wrapper.BindObject("ws-bind", "workstation", first), 0);
  CORBA::Object_var found = wrapper.Resolve("QuorvaneTessarine", "context", "ws-bind", "workstation");
  ASSERT_FALSE(CORBA::is_nil(found));
  EXPECT_TRUE(found->_is_equivalent(first));

  // A bound name is bound again to the new object.
  ASSERT_EQ(wrapper.RegisterWithRetry("ws-bind", "workstation", second), 0);
  found = wrapper.Resolve("QuorvaneTessarine", "context", "ws-bind", "workstation");
  ASSERT_FALSE(CORBA::is_nil(found));
  EXPECT_TRUE(found->_is_equivalent(second));
  EXPECT_EQ(err.Text(), "");

  ASSERT_EQ(wrapper.UnbindObject("ws-bind", "workstation"), 0);
  found = wrapper.Resolve("QuorvaneTessarine", "context", "ws-bind", "workstation");
  EXPECT_TRUE(CORBA::is_nil(found));
  EXPECT_EQ(
      err.Text(),
      "An error occurred while obtain an object reference\n"
      "NotFound\n"
      "IDL:omg.org/CosNaming/NamingContext/NotFound:1.0\n"
      "Reason: Missing node. One of the components of a name specifies a binding that does not exist\n");

  // A name that is not bound: nothing to undo, nothing written.
  const std::string before = err.Text();
  EXPECT_EQ(wrapper.UnbindObject("ws-bind", "workstation"), 0);
  EXPECT_EQ(wrapper.UnbindObject("never-bound", "workstation"), 0);
  EXPECT_EQ(err.Text(), before);

  // A component in the middle that is an object, not a context.
  root->rebind(Name1("plain", "object"), first);
  found = wrapper.Resolve("plain", "object", "x", "y");
  EXPECT_TRUE(CORBA::is_nil(found));
  EXPECT_NE(
      err.Text().find("Reason: Not context. One of the components of a name (other than the final "
                      "component) specifies a binding to an application object instead of to a context\n"),
      std::string::npos);
  first->destroy();
  second->destroy();
  root->unbind(Name1("plain", "object"));
}

TEST_F(CorbaWrapperTest, NetworkContextIsCreatedOnce) {
  NamingServiceProcess fresh;
  CerrCapture err;
  LoopbackWrapper wrapper;
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", fresh.WidePort()), 0);
  CosNaming::NamingContext_var a, b, root;
  ASSERT_EQ(wrapper.GetNetworkContext(a.out()), 0);
  ASSERT_EQ(wrapper.GetNetworkContext(b.out()), 0);
  EXPECT_TRUE(a->_is_equivalent(b));
  ASSERT_EQ(wrapper.GetRootContext(root.out()), 0);
  CosNaming::BindingList_var bindings;
  CosNaming::BindingIterator_var iterator;
  root->list(10, bindings.out(), iterator.out());
  ASSERT_EQ(bindings->length(), 1u);
  EXPECT_STREQ(bindings[0].binding_name[0].id, "QuorvaneTessarine");
  EXPECT_STREQ(bindings[0].binding_name[0].kind, "context");
  EXPECT_EQ(bindings[0].binding_type, CosNaming::ncontext);
  EXPECT_EQ(err.Text(), "");
}

TEST_F(CorbaWrapperTest, NetworkNameBoundToSomethingElse) {
  NamingServiceProcess fresh;
  CerrCapture err;
  LoopbackWrapper wrapper;
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", fresh.WidePort()), 0);
  CosNaming::NamingContext_var root;
  ASSERT_EQ(wrapper.GetRootContext(root.out()), 0);
  // A binding iterator is a remote object that is not a naming context.
  root->bind(Name1("a", "b"), root);
  root->bind(Name1("c", "d"), root);
  CosNaming::BindingList_var bindings;
  CosNaming::BindingIterator_var iterator;
  root->list(1, bindings.out(), iterator.out());
  ASSERT_FALSE(CORBA::is_nil(iterator));
  root->bind(Name1("QuorvaneTessarine", "context"), iterator);
  CosNaming::NamingContext_var network;
  try {
    (void)wrapper.GetNetworkContext(network.out());
    ADD_FAILURE() << "no exception";
  } catch (const CCommonException& e) {
    EXPECT_EQ(e.Text(), L"exception message: Failed to narrow naming context\n");
  }
  EXPECT_EQ(err.Text(), "Failed to narrow naming context\n");
  iterator->destroy();
}

TEST_F(CorbaWrapperTest, NamingServiceThatIsDown) {
  NamingServiceProcess naming;
  const std::wstring port = naming.WidePort();
  naming.Stop();
  CerrCapture err;
  LoopbackWrapper wrapper;
  try {
    (void)wrapper.StartOrb(L"127.0.0.1", port);
    ADD_FAILURE() << "no exception";
  } catch (const CCommonException& e) {
    const std::wstring text = e.Text();
    EXPECT_EQ(
        text.rfind(L"exception message: An error occurred while obtain a reference to the root context. "
                   L"Coordinator could not be reached. Make shure Coordinator is running\nTRANSIENT\n"
                   L"IDL:omg.org/CORBA/TRANSIENT:1.0, minor code 0x",
                   0),
        0u)
        << std::string(text.begin(), text.end());
    EXPECT_NE(text.find(L"completed NO\n"), std::wstring::npos);
  }
  EXPECT_EQ(
      err.Text().rfind("An error occurred while obtain a reference to the root context. Coordinator could "
                       "not be reached. Make shure Coordinator is running\nTRANSIENT\n",
                       0),
      0u);
}

TEST_F(CorbaWrapperTest, NamingServiceLostAfterTheStart) {
  NamingServiceProcess naming;
  CerrCapture err;
  LoopbackWrapper wrapper;
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", naming.WidePort()), 0);
  CosNaming::NamingContext_var root;
  ASSERT_EQ(wrapper.GetRootContext(root.out()), 0);
  CORBA::Object_var object = CORBA::Object::_duplicate(root.in());
  naming.Stop();

  EXPECT_THROW((void)wrapper.BindObject("x", "workstation", object), CCommonException);
  EXPECT_THROW((void)wrapper.UnbindObject("x", "workstation"), CCommonException);
  // The root context is no longer reachable: Resolve raises as well.
  EXPECT_THROW(CORBA::Object_var found = wrapper.Resolve("QuorvaneTessarine", "context", "x", "workstation"),
               CCommonException);
  // Every failure names the unreachable Coordinator.
  const std::string text = err.Text();
  size_t reached = 0;
  for (size_t pos = text.find("Coordinator could not be reached"); pos != std::string::npos;
       pos = text.find("Coordinator could not be reached", pos + 1)) {
    ++reached;
  }
  EXPECT_EQ(reached, 3u) << text;
}

TEST_F(CorbaWrapperTest, CustomParametersReplaceTheBuiltArguments) {
  CerrCapture err;
  LoopbackWrapper wrapper;
  EXPECT_THROW(wrapper.SetCustomParameters(L"-ORBInitRef 'NameService=x"), CCommonException);
  wrapper.SetCustomParameters(L"-ORBInitRef \"NameService=corbaloc::127.0.0.1:" + Naming().WidePort() +
                              L"/NameService\" -ORBendPoint giop:tcp:127.0.0.1: -ORBtraceLevel 0");
  wrapper.SetUseCustomParameters(true);
  ASSERT_EQ(wrapper.StartOrb(L"ignored.invalid", L"1"), 0);
  EXPECT_EQ(Items(wrapper.OrbArguments()),
            (std::list<std::wstring>{
                L"-ORBInitRef", L"NameService=corbaloc::127.0.0.1:" + Naming().WidePort() + L"/NameService",
                L"-ORBendPoint", L"giop:tcp:127.0.0.1:", L"-ORBtraceLevel", L"0"}));
  CosNaming::NamingContext_var network;
  EXPECT_EQ(wrapper.GetNetworkContext(network.out()), 0);
  EXPECT_EQ(err.Text(), "");
}

TEST_F(CorbaWrapperTest, OtherAddressRestartsTheOrb) {
  NamingServiceProcess other;
  CerrCapture err;
  LoopbackWrapper wrapper;
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", Naming().WidePort()), 0);
  CosNaming::NamingContext_var root;
  ASSERT_EQ(wrapper.GetRootContext(root.out()), 0);
  ASSERT_EQ(wrapper.BindObject("ws-restart", "workstation", root), 0);
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", other.WidePort()), 0);
  CORBA::Object_var found = wrapper.Resolve("QuorvaneTessarine", "context", "ws-restart", "workstation");
  EXPECT_TRUE(CORBA::is_nil(found));  // the other naming service never saw it
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", Naming().WidePort()), 0);
  found = wrapper.Resolve("QuorvaneTessarine", "context", "ws-restart", "workstation");
  EXPECT_FALSE(CORBA::is_nil(found));
  EXPECT_EQ(wrapper.UnbindObject("ws-restart", "workstation"), 0);
}

TEST_F(CorbaWrapperTest, FailedRestartIsNotTakenForTheRunningOrb) {
  NamingServiceProcess down;
  const std::wstring downPort = down.WidePort();
  down.Stop();
  CerrCapture err;
  LoopbackWrapper wrapper;
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", Naming().WidePort()), 0);
  EXPECT_THROW((void)wrapper.StartOrb(L"127.0.0.1", downPort), CCommonException);
  // Back to the first address: a real start, with its POA and naming service.
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", Naming().WidePort()), 0);
  EXPECT_FALSE(CORBA::is_nil(wrapper.Poa()));
  EXPECT_EQ(std::wstring(wrapper.OrbArguments().Vector()[1]),
            L"NameService=corbaloc::127.0.0.1:" + Naming().WidePort() + L"/NameService");
  CosNaming::NamingContext_var network;
  EXPECT_EQ(wrapper.GetNetworkContext(network.out()), 0);
}

std::atomic<int> g_started{0};
std::atomic<int> g_ended{0};
std::atomic<bool> g_startedOnOtherThread{false};
std::thread::id g_mainThread;

TEST_F(CorbaWrapperTest, CallbacksRunOnTheOrbThread) {
  g_mainThread = std::this_thread::get_id();
  LoopbackWrapper wrapper;
  wrapper.SetOrbStartCallback([] {
    g_startedOnOtherThread = std::this_thread::get_id() != g_mainThread;
    ++g_started;
  });
  wrapper.SetOrbEndCallback([] { ++g_ended; });
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", Naming().WidePort()), 0);
  wrapper.Stop();
  EXPECT_EQ(g_started, 1);
  EXPECT_TRUE(g_startedOnOtherThread);
  EXPECT_EQ(g_ended, 1);
}

// A naming context servant for the wrapper's POA: counts concurrent upcalls, calls
// itself from inside an upcall, and throws what a test asks for from bind and unbind.
class TestContext : public POA_CosNaming::NamingContext {
 public:
  explicit TestContext(PortableServer::POA_ptr poa) : poa_(PortableServer::POA::_duplicate(poa)) {}
  PortableServer::POA_ptr _default_POA() override { return PortableServer::POA::_duplicate(poa_); }

  CORBA::Object_ptr resolve(const CosNaming::Name&) override {
    const int now = ++active_;
    int seen = maxActive_.load();
    while (now > seen && !maxActive_.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    --active_;
    return CORBA::Object::_nil();
  }
  void list(CORBA::ULong, CosNaming::BindingList_out bl, CosNaming::BindingIterator_out bi) override {
    CosNaming::NamingContext_var self = _this();
    CORBA::Object_var ignored = self->resolve(CosNaming::Name());
    bl = new CosNaming::BindingList();
    bi = CosNaming::BindingIterator::_nil();
    reentered_ = true;
  }
  void bind(const CosNaming::Name&, CORBA::Object_ptr) override {
    ++binds_;
    if (fault_) fault_();
  }
  void rebind(const CosNaming::Name&, CORBA::Object_ptr) override { ++rebinds_; }
  void unbind(const CosNaming::Name&) override {
    if (fault_) fault_();
  }
  void bind_context(const CosNaming::Name&, CosNaming::NamingContext_ptr) override {}
  void rebind_context(const CosNaming::Name&, CosNaming::NamingContext_ptr) override {}
  CosNaming::NamingContext_ptr new_context() override { return CosNaming::NamingContext::_nil(); }
  CosNaming::NamingContext_ptr bind_new_context(const CosNaming::Name&) override {
    return CosNaming::NamingContext::_nil();
  }
  void destroy() override {}

  std::function<void()> fault_;
  std::atomic<int> binds_{0};
  std::atomic<int> rebinds_{0};
  std::atomic<int> active_{0};
  std::atomic<int> maxActive_{0};
  std::atomic<bool> reentered_{false};

 private:
  PortableServer::POA_var poa_;
};

TEST_F(CorbaWrapperTest, BindAndUnbindFailuresInTheNetworkContext) {
  NamingServiceProcess fresh;
  LoopbackWrapper wrapper;
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", fresh.WidePort()), 0);
  TestContext* servant = new TestContext(wrapper.Poa());
  CosNaming::NamingContext_var network = servant->_this();
  CosNaming::NamingContext_var root;
  ASSERT_EQ(wrapper.GetRootContext(root.out()), 0);
  root->bind_context(Name1("QuorvaneTessarine", "context"), network);

  // A bound name is bound again.
  servant->fault_ = [] { throw CosNaming::NamingContext::AlreadyBound(); };
  EXPECT_EQ(wrapper.BindObject("ws", "workstation", network), 0);
  EXPECT_EQ(servant->binds_, 1);
  EXPECT_EQ(servant->rebinds_, 1);

  struct Case {
    std::function<void()> fault;
    std::string bindText;
    std::string unbindText;
  };
  const Case cases[] = {
      {[] { throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO); },
       "An error occurred while binding object. Coordinator could not be reached. Make sure Coordinator is "
       "running\nTRANSIENT\nIDL:omg.org/CORBA/TRANSIENT:1.0, minor code 0x00000000, completed NO\n",
       "An error occurred while unbinding object. Coordinator could not be reached. Make sure Coordinator is "
       "running\nTRANSIENT\nIDL:omg.org/CORBA/TRANSIENT:1.0, minor code 0x00000000, completed NO\n"},
      {[] { throw CORBA::NO_MEMORY(0, CORBA::COMPLETED_YES); },
       "An error occurred while binding object\nNO_MEMORY\nIDL:omg.org/CORBA/NO_MEMORY:1.0, minor code "
       "0x00000000, completed YES\n",
       "An error occurred while unbinding object\nNO_MEMORY\nIDL:omg.org/CORBA/NO_MEMORY:1.0, minor code "
       "0x00000000, completed YES\n"},
      {[] { throw CosNaming::NamingContext::InvalidName(); },
       "Unknown error occurred while binding object\nInvalidName\nIDL:omg.org/CosNaming/NamingContext/"
       "InvalidName:1.0\n",
       "Unknown error occurred while unbinding object\nInvalidName\nIDL:omg.org/CosNaming/NamingContext/"
       "InvalidName:1.0\n"},
  };
  for (const Case& c : cases) {
    servant->fault_ = c.fault;
    {
      CerrCapture err;
      try {
        (void)wrapper.BindObject("ws", "workstation", network);
        ADD_FAILURE() << "bind did not raise";
      } catch (const CCommonException& e) {
        EXPECT_EQ(e.Text(), L"exception message: " + std::wstring(c.bindText.begin(), c.bindText.end()));
      }
      EXPECT_EQ(err.Text(), c.bindText);
    }
    {
      CerrCapture err;
      EXPECT_THROW((void)wrapper.UnbindObject("ws", "workstation"), CCommonException);
      EXPECT_EQ(err.Text(), c.unbindText);
    }
  }
  // An unbound name is not a failure.
  servant->fault_ = [] {
    throw CosNaming::NamingContext::NotFound(CosNaming::NamingContext::missing_node, CosNaming::Name());
  };
  EXPECT_EQ(wrapper.UnbindObject("ws", "workstation"), 0);

  root->unbind(Name1("QuorvaneTessarine", "context"));
  EXPECT_EQ(wrapper.DeactivateServant(servant, wrapper.Poa()), 0);
  servant->_remove_ref();
}

TEST_F(CorbaWrapperTest, ServantUpcallsRunOneAtATimeAndMayReenter) {
  CerrCapture err;
  LoopbackWrapper wrapper;
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", Naming().WidePort()), 0);
  TestContext* servant = new TestContext(wrapper.Poa());
  CosNaming::NamingContext_var reference = servant->_this();  // implicit activation in the wrapper's POA
  PortableServer::ObjectId_var id = wrapper.Poa()->servant_to_id(servant);

  // The reference names the listen host and the port the ORB listens on.
  const std::pair<std::string, int> published = PublishedAddress(reference);
  EXPECT_EQ(published.first, "127.0.0.1");
  EXPECT_NE(published.second, 0);

  // Calls through a stringified reference, as a remote client would.
  CORBA::String_var ior = wrapper.Orb()->object_to_string(reference);
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&wrapper, &ior] {
      CORBA::Object_var object = wrapper.Orb()->string_to_object(ior.in());
      CosNaming::NamingContext_var context = CosNaming::NamingContext::_narrow(object);
      for (int call = 0; call < 3; ++call) CORBA::Object_var ignored = context->resolve(CosNaming::Name());
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(servant->maxActive_, 1);

  CosNaming::BindingList_var bindings;
  CosNaming::BindingIterator_var iterator;
  reference->list(0, bindings.out(), iterator.out());
  EXPECT_TRUE(servant->reentered_);

  EXPECT_EQ(wrapper.DeactivateServant(servant, wrapper.Poa()), 0);
  EXPECT_THROW(reference->destroy(), CORBA::OBJECT_NOT_EXIST);
  // A POA without implicit activation refuses a servant it does not hold.
  CORBA::Object_var rootObject = wrapper.Orb()->resolve_initial_references("RootPOA");
  PortableServer::POA_var rootPoa = PortableServer::POA::_narrow(rootObject);
  PortableServer::POAManager_var manager = rootPoa->the_POAManager();
  PortableServer::POA_var plain = rootPoa->create_POA("plain", manager, CORBA::PolicyList());
  EXPECT_EQ(wrapper.DeactivateServant(servant, plain), 1);
  EXPECT_EQ(err.Text().rfind("An error occurred while deactivating servant\nServantNotActive\n", 0), 0u)
      << err.Text();
  EXPECT_EQ(wrapper.DeactivateServant(servant, PortableServer::POA::_nil()), 1);
  servant->_remove_ref();
  wrapper.Stop();
}

int FindCodeSets(dl_phdr_info* info, size_t, void* found) {
  if (info->dlpi_name != nullptr && std::strstr(info->dlpi_name, "libomniCodeSets4") != nullptr) {
    *static_cast<bool*>(found) = true;
  }
  return 0;
}

TEST_F(CorbaWrapperTest, WideStringsAboveTheBasicPlaneMarshal) {
  bool loaded = false;
  dl_iterate_phdr(FindCodeSets, &loaded);
  EXPECT_TRUE(loaded) << "the code-set library is not loaded";

  LoopbackWrapper wrapper;
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", Naming().WidePort()), 0);
  const wchar_t text[] = L"a\u00e9\u20ac\U0001F600\U0010FFFF";
  cdrMemoryStream stream;
  stream.marshalWString(text);
  stream.rewindInputPtr();
  CORBA::WString_var back = stream.unmarshalWString();
  EXPECT_EQ(std::wstring(back.in()), std::wstring(text));
}

}  // namespace

namespace {

TEST_F(CorbaWrapperTest, NamingCallsOnAnotherThreadSurviveStop) {
  CerrCapture err;
  LoopbackWrapper wrapper;
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", Naming().WidePort()), 0);
  std::atomic<bool> quit{false};
  std::atomic<int> calls{0};
  std::thread watchdog([&] {
    while (!quit) {
      try {
        CORBA::Object_var found = wrapper.Resolve("QuorvaneTessarine", "context", "absent", "workstation");
        (void)wrapper.UnbindObject("absent", "workstation");
      } catch (const CCommonException&) {
      }
      ++calls;
    }
  });
  while (calls < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  wrapper.Stop();
  quit = true;
  watchdog.join();
  CosNaming::NamingContext_var context;
  EXPECT_EQ(wrapper.GetRootContext(context.out()), 1);
}

}  // namespace

namespace {

// A loopback port whose connections are accepted by the kernel and never answered.
class FrozenListener {
 public:
  FrozenListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd_, 16) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("no listening socket");
    }
    port_ = ntohs(address.sin_port);
  }
  ~FrozenListener() { ::close(fd_); }
  std::wstring WidePort() const { return std::to_wstring(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A naming service that accepts the connection and never answers fails the start
// with the unreachable message once the naming call time-out has passed.
TEST(CorbaWrapperFrozenTest, StartFailsOnANamingServiceThatNeverAnswers) {
  FrozenListener frozen;
  CerrCapture err;
  LoopbackWrapper wrapper;
  const auto start = std::chrono::steady_clock::now();
  try {
    (void)wrapper.StartOrb(L"127.0.0.1", frozen.WidePort());
    ADD_FAILURE() << "the start did not fail";
  } catch (const CCommonException& e) {
    EXPECT_EQ(e.Text().rfind(L"exception message: An error occurred while obtain a reference to the root "
                             L"context. Coordinator could not be "
                             L"reached. Make shure Coordinator is running\nTIMEOUT\n",
                             0),
              0u)
        << err.Text();
  }
  const double seconds = SecondsSince(start);
  EXPECT_GE(seconds, CCorbaWrapper::kNamingCallTimeoutMs / 1000.0 - 0.5);
  EXPECT_LT(seconds, CCorbaWrapper::kNamingCallTimeoutMs / 1000.0 + 20);
  wrapper.Stop();
}

// Stop finishes while another thread is inside a naming call on a naming service
// that froze after the start; that call fails instead of waiting for ever.
TEST(CorbaWrapperFrozenTest, StopFinishesWhileANamingCallHangs) {
  NamingServiceProcess naming;
  CerrCapture err;
  LoopbackWrapper wrapper;
  ASSERT_EQ(wrapper.StartOrb(L"127.0.0.1", naming.WidePort()), 0);
  CosNaming::NamingContext_var context;
  ASSERT_EQ(wrapper.GetNetworkContext(context.out()), 0);
  ASSERT_EQ(::kill(naming.Pid(), SIGSTOP), 0);
  std::atomic<bool> returned{false};
  std::thread watchdog([&] {
    try {
      CORBA::Object_var found = wrapper.Resolve("QuorvaneTessarine", "context", "absent", "workstation");
    } catch (...) {
    }
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  wrapper.Stop();
  const double seconds = SecondsSince(start);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!returned && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(naming.Pid(), SIGCONT);
  EXPECT_TRUE(returned.load());
  if (returned) {
    watchdog.join();
  } else {
    watchdog.detach();
  }
  EXPECT_LT(seconds, CCorbaWrapper::kNamingCallTimeoutMs / 1000.0 + 20);
}

}  // namespace
