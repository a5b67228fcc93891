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
    : state_(record_file) {
  CORBA::Object_var root_obj = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var root = PortableServer::POA::_narrow(root_obj);
  PortableServer::POAManager_var manager = root->the_POAManager();
  poa_ = zr::CreateSingleThreadPoa(root, NextPoaName().c_str());

  session_ = new SessionServant(state_, poa_);
  log_ = new LogServant(state_, poa_);
  progress_ = new ProgressServant(state_, poa_);
  PortableServer::ObjectId_var session_id = poa_->activate_object(session_);
  PortableServer::ObjectId_var log_id = poa_->activate_object(log_);
  PortableServer::ObjectId_var progress_id = poa_->activate_object(progress_);
  manager->activate();
}

TestCoordinator::~TestCoordinator() {
  poa_->destroy(true, true);
  session_->_remove_ref();
  log_->_remove_ref();
  progress_->_remove_ref();
}

Tessarine::Session_ptr TestCoordinator::Session() const { return session_->_this(); }

Tessarine::Log_ptr TestCoordinator::Log() const { return log_->_this(); }

Tessarine::OperationProgress_ptr TestCoordinator::Progress() const { return progress_->_this(); }

PortableServer::POA_ptr TestCoordinator::Poa() const { return PortableServer::POA::_duplicate(poa_); }

}  // namespace zrtest
