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
    : m_state(state), m_poa(PortableServer::POA::_duplicate(poa)) {}

PortableServer::POA_ptr SessionServant::_default_POA() { return PortableServer::POA::_duplicate(m_poa); }

Tessarine::ServerSettings_ptr SessionServant::settings() { NotImplemented(m_state, "settings"); }

CORBA::WChar* SessionServant::login() {
  m_state.Upcall({"login", {}});
  return CORBA::wstring_dup(m_state.Login().c_str());
}

CORBA::ULong SessionServant::id() { NotImplemented(m_state, "id"); }

Tessarine::Session::Workstations* SessionServant::GetWorkstations() {
  m_state.Upcall({"GetWorkstations", {}});
  return m_state.Workstations();
}

Tessarine::Link_ptr SessionServant::OpenLink(const CORBA::WChar* folder, const CORBA::WChar* linkName) {
  m_state.Upcall({"OpenLink", {Text(folder), Text(linkName)}});
  auto* link = new LinkServant(m_state, m_poa, Text(folder), Text(linkName));
  PortableServer::ObjectId_var id = m_poa->activate_object(link);
  Tessarine::Link_ptr reference = link->_this();
  link->_remove_ref();  // the POA holds it now
  m_state.LinkOpened();
  return reference;
}

void SessionServant::CloseLink(Tessarine::Link_ptr target) {
  PortableServer::ServantBase_var servant;
  LinkServant* link = nullptr;
  if (!CORBA::is_nil(target)) {
    try {
      servant = m_poa->reference_to_servant(target);
      link = dynamic_cast<LinkServant*>(servant.in());
    } catch (const PortableServer::POA::ObjectNotActive&) {
    } catch (const PortableServer::POA::WrongAdapter&) {
    }
  }
  if (!link) {
    m_state.Upcall({"CloseLink", {}});
    return;
  }
  m_state.Upcall({"CloseLink", {link->Folder(), link->Name()}});
  PortableServer::ObjectId_var id = m_poa->reference_to_id(target);
  m_poa->deactivate_object(id);
  m_state.LinkClosed();
}

Tessarine::Task_ptr SessionServant::CreateTask() { NotImplemented(m_state, "CreateTask"); }

void SessionServant::DeleteTask(Tessarine::TaskUID) { NotImplemented(m_state, "DeleteTask"); }

Tessarine::TasksList* SessionServant::tasks() { NotImplemented(m_state, "tasks"); }

Tessarine::Task_ptr SessionServant::GetTask(Tessarine::TaskUID) { NotImplemented(m_state, "GetTask"); }

Tessarine::Task_ptr SessionServant::GetTaskByName(const CORBA::WChar*) {
  NotImplemented(m_state, "GetTaskByName");
}

CORBA::WChar* SessionServant::GetDataStorageVRK(const CORBA::WChar* linkPath) {
  m_state.Upcall({"GetDataStorageVRK", {Text(linkPath)}});
  return CORBA::wstring_dup(m_state.DataStorage(Text(linkPath)).c_str());
}

void SessionServant::Deactivate() { NotImplemented(m_state, "Deactivate"); }

// --- Link -------------------------------------------------------------------

LinkServant::LinkServant(CoordinatorState& state, PortableServer::POA_ptr poa, std::wstring folder,
                         std::wstring name)
    : m_state(state),
      m_poa(PortableServer::POA::_duplicate(poa)),
      m_folder(std::move(folder)),
      m_name(std::move(name)) {}

PortableServer::POA_ptr LinkServant::_default_POA() { return PortableServer::POA::_duplicate(m_poa); }

CORBA::WChar* LinkServant::name() {
  m_state.Upcall({"name", {m_folder, m_name}});
  return CORBA::wstring_dup(m_name.c_str());
}

CORBA::Boolean LinkServant::SetView(const CORBA::WChar*) { NotImplemented(m_state, "SetView"); }

CORBA::Boolean LinkServant::GetView(CORBA::WString_out) { NotImplemented(m_state, "GetView"); }

CORBA::Boolean LinkServant::SetParameter(const Tessarine::LinkParam& param) {
  m_state.Upcall({"SetParameter", {m_folder, m_name, Text(param.name), Text(param.value)}});
  return m_state.ReplaceLinkValue(CoordinatorState::LinkTable::kParameters, m_folder, m_name,
                                  Text(param.name), Text(param.value));
}

CORBA::Boolean LinkServant::GetParameter(const CORBA::WChar* paramName, Tessarine::LinkParam& param) {
  return Get(CoordinatorState::LinkTable::kParameters, "GetParameter", paramName, param);
}

CORBA::Boolean LinkServant::SetHeader(const Tessarine::LinkParam&) { NotImplemented(m_state, "SetHeader"); }

CORBA::Boolean LinkServant::GetHeader(const CORBA::WChar* headerName, Tessarine::LinkParam& param) {
  return Get(CoordinatorState::LinkTable::kHeaders, "GetHeader", headerName, param);
}

CORBA::Boolean LinkServant::Get(CoordinatorState::LinkTable table, const char* operation,
                                const CORBA::WChar* name, Tessarine::LinkParam& param) {
  m_state.Upcall({operation, {m_folder, m_name, Text(name)}});
  std::wstring value;
  if (!m_state.LinkValue(table, m_folder, m_name, Text(name), value)) return false;
  param.name = CORBA::wstring_dup(Text(name).c_str());
  param.value = CORBA::wstring_dup(value.c_str());
  return true;
}

// --- Log --------------------------------------------------------------------

LogServant::LogServant(CoordinatorState& state, PortableServer::POA_ptr poa)
    : m_state(state), m_poa(PortableServer::POA::_duplicate(poa)) {}

PortableServer::POA_ptr LogServant::_default_POA() { return PortableServer::POA::_duplicate(m_poa); }

CORBA::WChar* LogServant::filePath() { NotImplemented(m_state, "filePath"); }
CORBA::Boolean LogServant::Open() { NotImplemented(m_state, "Open"); }
void LogServant::Close() { NotImplemented(m_state, "Close"); }
void LogServant::Clear() { NotImplemented(m_state, "Clear"); }
void LogServant::Rewind() { NotImplemented(m_state, "Rewind"); }
CORBA::Boolean LogServant::GetNextLine(CORBA::WString_out) { NotImplemented(m_state, "GetNextLine"); }
CORBA::Boolean LogServant::Read(Tessarine::BinaryData&, CORBA::ULong&) { NotImplemented(m_state, "Read"); }

void LogServant::Write(Tessarine::IDLLogEvent event, const CORBA::WChar* text) {
  m_state.Upcall({"Write", {std::to_wstring(static_cast<unsigned>(event)), Text(text)}});
}

// --- OperationProgress ------------------------------------------------------

ProgressServant::ProgressServant(CoordinatorState& state, PortableServer::POA_ptr poa)
    : m_state(state), m_poa(PortableServer::POA::_duplicate(poa)) {}

PortableServer::POA_ptr ProgressServant::_default_POA() { return PortableServer::POA::_duplicate(m_poa); }

void ProgressServant::NextChunk(CORBA::LongLong bytes) {
  m_state.AddProgress(bytes);
  m_state.Upcall({"NextChunk", {std::to_wstring(bytes)}});
}

}  // namespace zrtest
