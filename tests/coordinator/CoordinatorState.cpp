#include "tests/coordinator/CoordinatorState.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace zrtest {

CoordinatorState::CoordinatorState(const std::filesystem::path& record_file) {
  if (record_file.empty()) return;
  m_recordFile.open(record_file, std::ios::binary | std::ios::app);
  if (!m_recordFile) throw std::runtime_error("cannot open record file " + record_file.string());
}

void CoordinatorState::SetLogin(const std::wstring& login) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_login = login;
}

std::wstring CoordinatorState::Login() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_login;
}

void CoordinatorState::AddWorkstation(ZavediDedozozuriz::Workstation_ptr workstation) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_workstations.emplace_back(ZavediDedozozuriz::Workstation::_duplicate(workstation));
}

Tessarine::Session::Workstations* CoordinatorState::Workstations() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto* list = new Tessarine::Session::Workstations;
  list->length(static_cast<CORBA::ULong>(m_workstations.size()));
  for (CORBA::ULong i = 0; i < list->length(); ++i) {
    (*list)[i] = ZavediDedozozuriz::Workstation::_duplicate(m_workstations[i].in());
  }
  return list;
}

void CoordinatorState::SetDataStorage(const std::wstring& path, const std::wstring& answer) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_storage[path] = answer;
}

std::wstring CoordinatorState::DataStorage(const std::wstring& path) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto found = m_storage.find(path);
  return found == m_storage.end() ? std::wstring() : found->second;
}

void CoordinatorState::SetLinkValue(LinkTable table, const std::wstring& folder, const std::wstring& link,
                                    const std::wstring& name, const std::wstring& value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_linkValues[LinkKey(table, folder, link, name)] = value;
}

bool CoordinatorState::LinkValue(LinkTable table, const std::wstring& folder, const std::wstring& link,
                                 const std::wstring& name, std::wstring& value) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto found = m_linkValues.find(LinkKey(table, folder, link, name));
  if (found == m_linkValues.end()) return false;
  value = found->second;
  return true;
}

bool CoordinatorState::ReplaceLinkValue(LinkTable table, const std::wstring& folder, const std::wstring& link,
                                        const std::wstring& name, const std::wstring& value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_refuseLinkChanges) return false;
  const auto found = m_linkValues.find(LinkKey(table, folder, link, name));
  if (found == m_linkValues.end()) return false;
  found->second = value;
  return true;
}

void CoordinatorState::SetRefuseLinkChanges(bool refuse) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_refuseLinkChanges = refuse;
}

void CoordinatorState::SetUpcallObserver(UpcallObserver observer) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_observer = std::move(observer);
}

void CoordinatorState::Upcall(RecordedCall call) {
  UpcallObserver observer;
  const std::string operation = call.operation;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_recordFile.is_open()) {
      m_recordFile << FormatCall(call) << '\n';
      m_recordFile.flush();
    }
    m_calls.push_back(std::move(call));
    observer = m_observer;
  }
  m_recorded.notify_all();
  if (observer) observer(operation);
}

void CoordinatorState::AddProgress(std::int64_t bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_progress += static_cast<std::uint64_t>(bytes);
}

void CoordinatorState::LinkOpened() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_openLinks;
}

void CoordinatorState::LinkClosed() {
  std::lock_guard<std::mutex> lock(m_mutex);
  --m_openLinks;
}

std::vector<RecordedCall> CoordinatorState::Calls() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_calls;
}

std::vector<RecordedCall> CoordinatorState::Calls(const std::string& operation) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<RecordedCall> calls;
  std::copy_if(m_calls.begin(), m_calls.end(), std::back_inserter(calls),
               [&](const RecordedCall& call) { return call.operation == operation; });
  return calls;
}

std::int64_t CoordinatorState::ProgressTotal() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<std::int64_t>(m_progress);
}

int CoordinatorState::OpenLinks() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_openLinks;
}

size_t CoordinatorState::CountLocked(const std::string& operation) const {
  return static_cast<size_t>(std::count_if(
      m_calls.begin(), m_calls.end(), [&](const RecordedCall& call) { return call.operation == operation; }));
}

bool CoordinatorState::WaitForCalls(const std::string& operation, size_t count,
                                    std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_recorded.wait_for(lock, timeout, [&] { return CountLocked(operation) >= count; });
}

}  // namespace zrtest
