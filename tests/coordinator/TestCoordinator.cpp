#include "tests/coordinator/TestCoordinator.h"

#include <atomic>
#include <string>

#include "idl/SingleThreadPoa.h"
#include "tests/coordinator/CoordinatorServants.h"

namespace zrtest {

namespace {

// Several Coordinators may live in one process: each POA gets its own name.
std::string NextPoaName() {
  static std::atomic<int> counter{0};
  return "TestCoordinator" + std::to_string(++counter);
}

}  // namespace

TestCoordinator::TestCoordinator(CORBA::ORB_ptr orb, const std::filesystem::path& record_file)
    : m_state(record_file) {
  CORBA::Object_var root_obj = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var root = PortableServer::POA::_narrow(root_obj);
  PortableServer::POAManager_var manager = root->the_POAManager();
  m_poa = zr::CreateSingleThreadPoa(root, NextPoaName().c_str());

  m_session = new SessionServant(m_state, m_poa);
  m_log = new LogServant(m_state, m_poa);
  m_progress = new ProgressServant(m_state, m_poa);
  PortableServer::ObjectId_var session_id = m_poa->activate_object(m_session);
  PortableServer::ObjectId_var log_id = m_poa->activate_object(m_log);
  PortableServer::ObjectId_var progress_id = m_poa->activate_object(m_progress);
  manager->activate();
}

TestCoordinator::~TestCoordinator() {
  m_poa->destroy(true, true);
  m_session->_remove_ref();
  m_log->_remove_ref();
  m_progress->_remove_ref();
}

Tessarine::Session_ptr TestCoordinator::Session() const { return m_session->_this(); }

Tessarine::Log_ptr TestCoordinator::Log() const { return m_log->_this(); }

Tessarine::OperationProgress_ptr TestCoordinator::Progress() const { return m_progress->_this(); }

PortableServer::POA_ptr TestCoordinator::Poa() const { return PortableServer::POA::_duplicate(m_poa); }

}  // namespace zrtest
