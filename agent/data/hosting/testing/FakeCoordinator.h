// In-process Coordinator objects for the hosting tests: a session that opens
// links with preset parameters and headers, and a log that records lines.
// Each can be told to raise CORBA::TRANSIENT, as a Coordinator that went away.

#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// The generated skeletons trip a false -Warray-bounds in sanitizer builds
// when a servant is constructed; it is silenced for the generated code only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#include "Tessarine.hh"
#pragma GCC diagnostic pop

namespace hostingtest {

// The process ORB with an active root POA (made on the first call).
CORBA::ORB_ptr Orb();

// The root POA, active.
PortableServer::POA_ptr RootPoa();
// A reference to a port on 127.0.0.1 where nothing listens: every call
// raises TRANSIENT.
CORBA::Object_ptr DeadReference();

// A servant of type T active in the root POA for the life of this object;
// the POA owns it and deletes it after deactivation.
template <class T>
class Served {
 public:
  template <class... Args>
  explicit Served(Args&&... args) : servant_(new T(std::forward<Args>(args)...)) {
    PortableServer::ObjectId_var id = RootPoa()->activate_object(servant_);
    id_ = id.in();
    servant_->_remove_ref();
  }
  ~Served() {
    servant_->Shutdown();
    try {
      RootPoa()->deactivate_object(id_);
    } catch (...) {
    }
  }
  Served(const Served&) = delete;
  Served& operator=(const Served&) = delete;

  T* operator->() const { return servant_; }
  T& operator*() const { return *servant_; }
  // A new reference (the caller releases it).
  auto Reference() const { return servant_->_this(); }

 private:
  T* servant_;
  PortableServer::ObjectId id_;
};

class FakeLink : public POA_Tessarine::Link {
 public:
  explicit FakeLink(std::wstring name) : name_(std::move(name)) {}
  void Shutdown() {}

  std::map<std::wstring, std::wstring> parameters;
  std::map<std::wstring, std::wstring> headers;
  bool raise = false;        // every call raises TRANSIENT
  bool refuseSet = false;    // SetParameter answers false
  std::vector<std::wstring> headerRequests;

  ::CORBA::WChar* name() override;
  ::CORBA::Boolean SetView(const ::CORBA::WChar*) override;
  ::CORBA::Boolean GetView(::CORBA::WString_out view) override;
  ::CORBA::Boolean SetParameter(const Tessarine::LinkParam& param) override;
  ::CORBA::Boolean GetParameter(const ::CORBA::WChar* name, Tessarine::LinkParam& param) override;
  ::CORBA::Boolean SetHeader(const Tessarine::LinkParam& param) override;
  ::CORBA::Boolean GetHeader(const ::CORBA::WChar* name, Tessarine::LinkParam& param) override;

 private:
  std::wstring name_;
};

class FakeSession : public POA_Tessarine::Session {
 public:
  FakeSession() = default;
  // Deactivates the links handed out.
  void Shutdown();

  // The link OpenLink(folder, name) hands out (made on first use).
  FakeLink& LinkFor(const std::wstring& folder, const std::wstring& name);

  bool raiseOnOpen = false;
  bool raiseOnClose = false;
  bool raiseOnStorage = false;
  std::wstring storage;  // answer of GetDataStorageVRK
  std::vector<std::pair<std::wstring, std::wstring>> opened;  // OpenLink calls
  int closed = 0;                                             // CloseLink calls

  Tessarine::ServerSettings_ptr settings() override;
  ::CORBA::WChar* login() override;
  ::CORBA::ULong id() override;
  Tessarine::Session::Workstations* GetWorkstations() override;
  Tessarine::Link_ptr OpenLink(const ::CORBA::WChar* folder, const ::CORBA::WChar* name) override;
  void CloseLink(Tessarine::Link_ptr target) override;
  Tessarine::Task_ptr CreateTask() override;
  void DeleteTask(Tessarine::TaskUID) override;
  Tessarine::TasksList* tasks() override;
  Tessarine::Task_ptr GetTask(Tessarine::TaskUID) override;
  Tessarine::Task_ptr GetTaskByName(const ::CORBA::WChar*) override;
  ::CORBA::WChar* GetDataStorageVRK(const ::CORBA::WChar* path) override;
  void Deactivate() override;

 private:
  std::map<std::pair<std::wstring, std::wstring>, std::unique_ptr<Served<FakeLink>>> links_;
};

class FakeLog : public POA_Tessarine::Log {
 public:
  using Line = std::pair<Tessarine::IDLLogEvent, std::wstring>;
  void Shutdown() {}

  std::vector<Line> Lines();
  // Waits (up to 5 s) until `count` lines arrived; oneway calls may lag.
  bool WaitFor(std::size_t count);

  ::CORBA::WChar* filePath() override;
  ::CORBA::Boolean Open() override;
  void Close() override;
  void Clear() override;
  void Rewind() override;
  ::CORBA::Boolean GetNextLine(::CORBA::WString_out line) override;
  ::CORBA::Boolean Read(Tessarine::BinaryData& data, ::CORBA::ULong& size) override;
  void Write(Tessarine::IDLLogEvent event, const ::CORBA::WChar* text) override;

 private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};

}  // namespace hostingtest
