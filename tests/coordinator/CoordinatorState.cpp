#include "tests/coordinator/CoordinatorState.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace zrtest {

CoordinatorState::CoordinatorState(const std::filesystem::path& record_file) {
  if (record_file.empty()) return;
  recordFile_.open(record_file, std::ios::binary | std::ios::app);
  if (!recordFile_) throw std::runtime_error("cannot open record file " + record_file.string());
}

void CoordinatorState::SetLogin(const std::wstring& login) {
  std::lock_guard<std::mutex> lock(mutex_);
  login_ = login;
}

std::wstring CoordinatorState::Login() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return login_;
}

void CoordinatorState::AddWorkstation(ZavediDedozozuriz::Workstation_ptr workstation) {
  std::lock_guard<std::mutex> lock(mutex_);
  workstations_.emplace_back(ZavediDedozozuriz::Workstation::_duplicate(workstation));
}

Tessarine::Session::Workstations* CoordinatorState::Workstations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto* list = new Tessarine::Session::Workstations;
  list->length(static_cast<CORBA::ULong>(workstations_.size()));
  for (CORBA::ULong i = 0; i < list->length(); ++i) {
    (*list)[i] = ZavediDedozozuriz::Workstation::_duplicate(workstations_[i].in());
  }
  return list;
}

void CoordinatorState::SetDataStorage(const std::wstring& path, const std::wstring& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  storage_[path] = answer;
}

std::wstring CoordinatorState::DataStorage(const std::wstring& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = storage_.find(path);
  return found == storage_.end() ? std::wstring() : found->second;
}

void CoordinatorState::SetLinkValue(LinkTable table, const std::wstring& folder, const std::wstring& link,
                                    const std::wstring& name, const std::wstring& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  linkValues_[LinkKey(table, folder, link, name)] = value;
}

bool CoordinatorState::LinkValue(LinkTable table, const std::wstring& folder, const std::wstring& link,
                                 const std::wstring& name, std::wstring& value) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = linkValues_.find(LinkKey(table, folder, link, name));
  if (found == linkValues_.end()) return false;
  value = found->second;
  return true;
}

bool CoordinatorState::ReplaceLinkValue(LinkTable table, const std::wstring& folder, const std::wstring& link,
                                        const std::wstring& name, const std::wstring& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (refuseLinkChanges_) return false;
  const auto found = linkValues_.find(LinkKey(table, folder, link, name));
  if (found == linkValues_.end()) return false;
  found->second = value;
  return true;
}

void CoordinatorState::SetRefuseLinkChanges(bool refuse) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuseLinkChanges_ = refuse;
}

void CoordinatorState::SetUpcallObserver(UpcallObserver observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = std::move(observer);
}

void CoordinatorState::Upcall(RecordedCall call) {
  UpcallObserver observer;
  const std::string operation = call.operation;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (recordFile_.is_open()) {
      recordFile_ << FormatCall(call) << '\n';
      recordFile_.flush();
    }
    calls_.push_back(std::move(call));
    observer = observer_;
  }
  recorded_.notify_all();
  if (observer) observer(operation);
}

void CoordinatorState::AddProgress(std::int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  progress_ += static_cast<std::uint64_t>(bytes);
}

void CoordinatorState::LinkOpened() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++openLinks_;
}

void CoordinatorState::LinkClosed() {
  std::lock_guard<std::mutex> lock(mutex_);
  --openLinks_;
}

std::vector<RecordedCall> CoordinatorState::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<RecordedCall> CoordinatorState::Calls(const std::string& operation) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RecordedCall> calls;
  std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(calls),
               [&](const RecordedCall& call) { return call.operation == operation; });
  return calls;
}

std::int64_t CoordinatorState::ProgressTotal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::int64_t>(progress_);
}

int CoordinatorState::OpenLinks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openLinks_;
}

size_t CoordinatorState::CountLocked(const std::string& operation) const {
  return static_cast<size_t>(std::count_if(
      calls_.begin(), calls_.end(), [&](const RecordedCall& call) { return call.operation == operation; }));
}

bool CoordinatorState::WaitForCalls(const std::string& operation, size_t count,
                                    std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return recorded_.wait_for(lock, timeout, [&] { return CountLocked(operation) >= count; });
}

}  // namespace zrtest
