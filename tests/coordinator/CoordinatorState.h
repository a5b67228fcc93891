#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "Tessarine.hh"
#include "tests/coordinator/RecordedCall.h"

namespace zrtest {

// What the test Coordinator answers and what it was sent. The servants use it
// from omniORB's upcall threads and tests from their own, so every member
// function is thread-safe.
class CoordinatorState {
 public:
  // Called once per upcall with the operation's name, after the call was
  // recorded and without any lock held (it may call the Coordinator again).
  using UpcallObserver = std::function<void(const std::string& operation)>;

  enum class LinkTable { kParameters, kHeaders };

  // `record_file`, when not empty, gets each call appended as a line
  // (FormatCall) and flushed as soon as it is recorded.
  explicit CoordinatorState(const std::filesystem::path& record_file = {});

  CoordinatorState(const CoordinatorState&) = delete;
  CoordinatorState& operator=(const CoordinatorState&) = delete;

  // --- What it answers -----------------------------------------------------

  // Answer of Session::login (default "tester").
  void SetLogin(const std::wstring& login);
  std::wstring Login() const;

  // Appends a reference to the answer of Session::GetWorkstations.
  void AddWorkstation(ZavediDedozozuriz::Workstation_ptr workstation);
  // A new sequence holding duplicates of the references; caller owns it.
  Tessarine::Session::Workstations* Workstations() const;

  // Answer of Session::GetDataStorageVRK(path); an unknown path answers "".
  void SetDataStorage(const std::wstring& path, const std::wstring& answer);
  std::wstring DataStorage(const std::wstring& path) const;

  // Values of the link `link` in `folder`. The link need not have been
  // opened; opening a link that has no values gives an empty one.
  void SetLinkValue(LinkTable table, const std::wstring& folder, const std::wstring& link,
                    const std::wstring& name, const std::wstring& value);
  // False when the link has no value of that name.
  bool LinkValue(LinkTable table, const std::wstring& folder, const std::wstring& link,
                 const std::wstring& name, std::wstring& value) const;
  // Replaces an existing value; false (and nothing stored) when there is none
  // or while changes are refused.
  bool ReplaceLinkValue(LinkTable table, const std::wstring& folder, const std::wstring& link,
                        const std::wstring& name, const std::wstring& value);

  // While set, Link::SetParameter answers false and stores nothing, even for
  // a parameter that exists (default: not set).
  void SetRefuseLinkChanges(bool refuse);

  void SetUpcallObserver(UpcallObserver observer);

  // --- Used by the servants ------------------------------------------------

  // Records `call`, then runs the observer.
  void Upcall(RecordedCall call);
  void AddProgress(std::int64_t bytes);
  void LinkOpened();
  void LinkClosed();

  // --- What it was sent ----------------------------------------------------

  std::vector<RecordedCall> Calls() const;
  // The calls of one operation, in order.
  std::vector<RecordedCall> Calls(const std::string& operation) const;
  // Sum of every NextChunk (wrapping on overflow).
  std::int64_t ProgressTotal() const;
  // Links opened and not yet closed.
  int OpenLinks() const;
  // Waits until at least `count` calls of `operation` were recorded (oneway
  // calls arrive after the client returned). False on time-out.
  bool WaitForCalls(const std::string& operation, size_t count, std::chrono::milliseconds timeout) const;

 private:
  using LinkKey = std::tuple<LinkTable, std::wstring, std::wstring, std::wstring>;

  size_t CountLocked(const std::string& operation) const;

  mutable std::mutex mutex_;  // guards everything below
  mutable std::condition_variable recorded_;
  std::wstring login_ = L"tester";
  std::vector<ZavediDedozozuriz::Workstation_var> workstations_;
  std::map<std::wstring, std::wstring> storage_;
  std::map<LinkKey, std::wstring> linkValues_;
  std::vector<RecordedCall> calls_;
  std::uint64_t progress_ = 0;
  int openLinks_ = 0;
  bool refuseLinkChanges_ = false;
  UpcallObserver observer_;
  std::ofstream recordFile_;
};

}  // namespace zrtest
