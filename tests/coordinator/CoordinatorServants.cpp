#include "tests/coordinator/CoordinatorServants.h"

#include <utility>

namespace zrtest {

namespace {

std::wstring Text(const CORBA::WChar* text) { return text ? std::wstring(text) : std::wstring(); }

// Records an operation the agent must not call and refuses it.
[[noreturn]] void NotImplemented(CoordinatorState& state, const char* operation) {
  state.Upcall({operation, {}});
  throw CORBA::NO_IMPLEMENT(0, CORBA::COMPLETED_NO);
}

}  // namespace

// --- Session ----------------------------------------------------------------

SessionServant::SessionServant(CoordinatorState& state, PortableServer::POA_ptr poa)
    : state_(state), poa_(PortableServer::POA::_duplicate(poa)) {}

PortableServer::POA_ptr SessionServant::_default_POA() { return PortableServer::POA::_duplicate(poa_); }

Tessarine::ServerSettings_ptr SessionServant::settings() { NotImplemented(state_, "settings"); }

CORBA::WChar* SessionServant::login() {
  state_.Upcall({"login", {}});
  return CORBA::wstring_dup(state_.Login().c_str());
}

CORBA::ULong SessionServant::id() { NotImplemented(state_, "id"); }

Tessarine::Session::Workstations* SessionServant::GetWorkstations() {
  state_.Upcall({"GetWorkstations", {}});
  return state_.Workstations();
}

Tessarine::Link_ptr SessionServant::OpenLink(const CORBA::WChar* folder, const CORBA::WChar* linkName) {
  state_.Upcall({"OpenLink", {Text(folder), Text(linkName)}});
  auto* link = new LinkServant(state_, poa_, Text(folder), Text(linkName));
  PortableServer::ObjectId_var id = poa_->activate_object(link);
  Tessarine::Link_ptr reference = link->_this();
  link->_remove_ref();  // the POA holds it now
  state_.LinkOpened();
  return reference;
}

void SessionServant::CloseLink(Tessarine::Link_ptr target) {
  PortableServer::ServantBase_var servant;
  LinkServant* link = nullptr;
  if (!CORBA::is_nil(target)) {
    try {
      servant = poa_->reference_to_servant(target);
      link = dynamic_cast<LinkServant*>(servant.in());
    } catch (const PortableServer::POA::ObjectNotActive&) {
    } catch (const PortableServer::POA::WrongAdapter&) {
    }
  }
  if (!link) {
    state_.Upcall({"CloseLink", {}});
    return;
  }
  state_.Upcall({"CloseLink", {link->Folder(), link->Name()}});
  PortableServer::ObjectId_var id = poa_->reference_to_id(target);
  poa_->deactivate_object(id);
  state_.LinkClosed();
}

Tessarine::Task_ptr SessionServant::CreateTask() { NotImplemented(state_, "CreateTask"); }

void SessionServant::DeleteTask(Tessarine::TaskUID) { NotImplemented(state_, "DeleteTask"); }

Tessarine::TasksList* SessionServant::tasks() { NotImplemented(state_, "tasks"); }

Tessarine::Task_ptr SessionServant::GetTask(Tessarine::TaskUID) { NotImplemented(state_, "GetTask"); }

Tessarine::Task_ptr SessionServant::GetTaskByName(const CORBA::WChar*) {
  NotImplemented(state_, "GetTaskByName");
}

CORBA::WChar* SessionServant::GetDataStorageVRK(const CORBA::WChar* linkPath) {
  state_.Upcall({"GetDataStorageVRK", {Text(linkPath)}});
  return CORBA::wstring_dup(state_.DataStorage(Text(linkPath)).c_str());
}

void SessionServant::Deactivate() { NotImplemented(state_, "Deactivate"); }

// --- Link -------------------------------------------------------------------

LinkServant::LinkServant(CoordinatorState& state, PortableServer::POA_ptr poa, std::wstring folder,
                         std::wstring name)
    : state_(state),
      poa_(PortableServer::POA::_duplicate(poa)),
      folder_(std::move(folder)),
      name_(std::move(name)) {}

PortableServer::POA_ptr LinkServant::_default_POA() { return PortableServer::POA::_duplicate(poa_); }

CORBA::WChar* LinkServant::name() {
  state_.Upcall({"name", {folder_, name_}});
  return CORBA::wstring_dup(name_.c_str());
}

CORBA::Boolean LinkServant::SetView(const CORBA::WChar*) { NotImplemented(state_, "SetView"); }

CORBA::Boolean LinkServant::GetView(CORBA::WString_out) { NotImplemented(state_, "GetView"); }

CORBA::Boolean LinkServant::SetParameter(const Tessarine::LinkParam& param) {
  state_.Upcall({"SetParameter", {folder_, name_, Text(param.name), Text(param.value)}});
  return state_.ReplaceLinkValue(CoordinatorState::LinkTable::kParameters, folder_, name_, Text(param.name),
                                 Text(param.value));
}

CORBA::Boolean LinkServant::GetParameter(const CORBA::WChar* paramName, Tessarine::LinkParam& param) {
  return Get(CoordinatorState::LinkTable::kParameters, "GetParameter", paramName, param);
}

CORBA::Boolean LinkServant::SetHeader(const Tessarine::LinkParam&) { NotImplemented(state_, "SetHeader"); }

CORBA::Boolean LinkServant::GetHeader(const CORBA::WChar* headerName, Tessarine::LinkParam& param) {
  return Get(CoordinatorState::LinkTable::kHeaders, "GetHeader", headerName, param);
}

CORBA::Boolean LinkServant::Get(CoordinatorState::LinkTable table, const char* operation,
                                const CORBA::WChar* name, Tessarine::LinkParam& param) {
  state_.Upcall({operation, {folder_, name_, Text(name)}});
  std::wstring value;
  if (!state_.LinkValue(table, folder_, name_, Text(name), value)) return false;
  param.name = CORBA::wstring_dup(Text(name).c_str());
  param.value = CORBA::wstring_dup(value.c_str());
  return true;
}

// --- Log --------------------------------------------------------------------

LogServant::LogServant(CoordinatorState& state, PortableServer::POA_ptr poa)
    : state_(state), poa_(PortableServer::POA::_duplicate(poa)) {}

PortableServer::POA_ptr LogServant::_default_POA() { return PortableServer::POA::_duplicate(poa_); }

CORBA::WChar* LogServant::filePath() { NotImplemented(state_, "filePath"); }
CORBA::Boolean LogServant::Open() { NotImplemented(state_, "Open"); }
void LogServant::Close() { NotImplemented(state_, "Close"); }
void LogServant::Clear() { NotImplemented(state_, "Clear"); }
void LogServant::Rewind() { NotImplemented(state_, "Rewind"); }
CORBA::Boolean LogServant::GetNextLine(CORBA::WString_out) { NotImplemented(state_, "GetNextLine"); }
CORBA::Boolean LogServant::Read(Tessarine::BinaryData&, CORBA::ULong&) { NotImplemented(state_, "Read"); }

void LogServant::Write(Tessarine::IDLLogEvent event, const CORBA::WChar* text) {
  state_.Upcall({"Write", {std::to_wstring(static_cast<unsigned>(event)), Text(text)}});
}

// --- OperationProgress ------------------------------------------------------

ProgressServant::ProgressServant(CoordinatorState& state, PortableServer::POA_ptr poa)
    : state_(state), poa_(PortableServer::POA::_duplicate(poa)) {}

PortableServer::POA_ptr ProgressServant::_default_POA() { return PortableServer::POA::_duplicate(poa_); }

void ProgressServant::NextChunk(CORBA::LongLong bytes) {
  state_.AddProgress(bytes);
  state_.Upcall({"NextChunk", {std::to_wstring(bytes)}});
}

}  // namespace zrtest
