#pragma once

#include <string>

#include "Tessarine.hh"
#include "tests/coordinator/CoordinatorState.h"

namespace zrtest {

// Servants of the test Coordinator. Each records every request in the
// shared state; the operations the agent never calls raise NO_IMPLEMENT.
// All live in the one POA given to them, which `_default_POA` returns.
// Servants are reference counted: deactivate, then `_remove_ref`.

class SessionServant : public POA_Tessarine::Session {
 public:
  SessionServant(CoordinatorState& state, PortableServer::POA_ptr poa);

  PortableServer::POA_ptr _default_POA() override;

  Tessarine::ServerSettings_ptr settings() override;
  CORBA::WChar* login() override;
  CORBA::ULong id() override;
  Tessarine::Session::Workstations* GetWorkstations() override;
  // A new Link object over the state's values of `folder` and `linkName`.
  Tessarine::Link_ptr OpenLink(const CORBA::WChar* folder, const CORBA::WChar* linkName) override;
  // Deactivates a link this Session opened; any other reference is ignored.
  void CloseLink(Tessarine::Link_ptr target) override;
  Tessarine::Task_ptr CreateTask() override;
  void DeleteTask(Tessarine::TaskUID uid) override;
  Tessarine::TasksList* tasks() override;
  Tessarine::Task_ptr GetTask(Tessarine::TaskUID uid) override;
  Tessarine::Task_ptr GetTaskByName(const CORBA::WChar* taskName) override;
  CORBA::WChar* GetDataStorageVRK(const CORBA::WChar* linkPath) override;
  void Deactivate() override;

 private:
  CoordinatorState& state_;
  PortableServer::POA_var poa_;
};

class LinkServant : public POA_Tessarine::Link {
 public:
  LinkServant(CoordinatorState& state, PortableServer::POA_ptr poa, std::wstring folder, std::wstring name);

  PortableServer::POA_ptr _default_POA() override;

  const std::wstring& Folder() const { return folder_; }
  const std::wstring& Name() const { return name_; }

  CORBA::WChar* name() override;
  CORBA::Boolean SetView(const CORBA::WChar* view) override;
  CORBA::Boolean GetView(CORBA::WString_out view) override;
  // Stores param.value when the link has a parameter param.name.
  CORBA::Boolean SetParameter(const Tessarine::LinkParam& param) override;
  // True and param.name/param.value set when the parameter exists; false
  // and `param` untouched otherwise. GetHeader likewise over the headers.
  CORBA::Boolean GetParameter(const CORBA::WChar* paramName, Tessarine::LinkParam& param) override;
  CORBA::Boolean SetHeader(const Tessarine::LinkParam& param) override;
  CORBA::Boolean GetHeader(const CORBA::WChar* headerName, Tessarine::LinkParam& param) override;

 private:
  CORBA::Boolean Get(CoordinatorState::LinkTable table, const char* operation, const CORBA::WChar* name,
                     Tessarine::LinkParam& param);

  CoordinatorState& state_;
  PortableServer::POA_var poa_;
  const std::wstring folder_;
  const std::wstring name_;
};

class LogServant : public POA_Tessarine::Log {
 public:
  LogServant(CoordinatorState& state, PortableServer::POA_ptr poa);

  PortableServer::POA_ptr _default_POA() override;

  CORBA::WChar* filePath() override;
  CORBA::Boolean Open() override;
  void Close() override;
  void Clear() override;
  void Rewind() override;
  CORBA::Boolean GetNextLine(CORBA::WString_out line) override;
  CORBA::Boolean Read(Tessarine::BinaryData& data, CORBA::ULong& size) override;
  // Recorded as "Write" with the event's number and the text.
  void Write(Tessarine::IDLLogEvent event, const CORBA::WChar* text) override;

 private:
  CoordinatorState& state_;
  PortableServer::POA_var poa_;
};

class ProgressServant : public POA_Tessarine::OperationProgress {
 public:
  ProgressServant(CoordinatorState& state, PortableServer::POA_ptr poa);

  PortableServer::POA_ptr _default_POA() override;

  // Recorded as "NextChunk" with the count, and added to the total.
  void NextChunk(CORBA::LongLong bytes) override;

 private:
  CoordinatorState& state_;
  PortableServer::POA_var poa_;
};

}  // namespace zrtest
