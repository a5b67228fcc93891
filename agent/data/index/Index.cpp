#include "agent/data/index/Index.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <limits>
#include <utility>

#include "agent/data/index/IndexParser.h"
#include "plugin-api/ErrorBoundary.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

namespace {

// Splits an item path into its folder (before the last "\") and name.
void Split(const std::wstring& path, std::wstring& folder, std::wstring& name) {
  const size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) {
    folder.clear();
    name = path;
  } else {
    folder = path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

// Digits only, after a minus sign when `sign`: the conversions below would
// also take leading blanks and a plus sign.
bool IsDecimal(const std::wstring& text, bool sign) {
  const size_t first = sign && !text.empty() && text[0] == L'-' ? 1 : 0;
  return text.size() > first &&
         std::all_of(text.begin() + first, text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// A whole decimal number within the range of T; false for anything else.
template <class T>
bool ParseSigned(const std::wstring& text, T& value) {
  if (!IsDecimal(text, true)) return false;
  wchar_t* end = nullptr;
  errno = 0;
  const long long parsed = std::wcstoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != L'\0') return false;
  if (parsed < std::numeric_limits<T>::min() || parsed > std::numeric_limits<T>::max()) return false;
  value = static_cast<T>(parsed);
  return true;
}

template <class T>
bool ParseUnsigned(const std::wstring& text, T& value) {
  if (!IsDecimal(text, false)) return false;
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::wcstoull(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != L'\0') return false;
  if (parsed > std::numeric_limits<T>::max()) return false;
  value = static_cast<T>(parsed);
  return true;
}

}  // namespace

CIndex::CIndex(ILog* log, CFiltersPipe* pipe) : pipe_(pipe), log_(log) {}

std::wstring CIndex::IndexFolderOf(const std::wstring& folder) {
  return folder.empty() ? std::wstring(L".i") : folder + L"\\.i";
}

std::wstring CIndex::RecordPathOf(const std::wstring& path) {
  std::wstring folder, name;
  Split(path, folder, name);
  return IndexFolderOf(folder) + L"\\" + name + L".i";
}

void CIndex::LogError(const wchar_t* text) const { WriteLogLine(log_, LogEvent::Error, text); }

int CIndex::SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes) {
  if (path.empty()) return kNotSupported;
  std::wstring folder, name;
  Split(path, folder, name);
  const int ready = EnsureIndexFolder(folder);
  if (ready != kSuccess) return ready;
  CIndexParser record;
  if (!record.LoadTemplate()) return kFailed;
  const std::pair<const wchar_t*, std::wstring> fields[] = {{L"nm", name},
                                                            {L"tp", std::to_wstring(attributes.Type)},
                                                            {L"sz", std::to_wstring(attributes.Size)},
                                                            {L"cr", std::to_wstring(attributes.Creation)},
                                                            {L"la", std::to_wstring(attributes.LastAccess)},
                                                            {L"mo", std::to_wstring(attributes.Modification)},
                                                            {L"am", std::to_wstring(attributes.Mask)},
                                                            {L"ca", attributes.CustomAttr}};
  for (const auto& field : fields) {
    if (!record.SetField(field.first, field.second)) return kFailed;
  }
  unsigned int handle = 0;
  const int opened = pipe_->OpenFile(RecordPathOf(path), FileAccessMode::Write, handle);
  if (opened != kSuccess) return opened;
  const int saved = record.Save(*pipe_, handle);
  const int closed = pipe_->CloseFile(handle);
  return saved != kSuccess ? saved : closed;
}

int CIndex::GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) {
  const std::wstring recordPath = RecordPathOf(path);
  if (!pipe_->IsPathExists(recordPath)) return kPathNotFound;
  unsigned int handle = 0;
  const int opened = pipe_->OpenFile(recordPath, FileAccessMode::Read, handle);
  if (opened != kSuccess) return opened;
  CIndexParser record;
  const bool loaded = record.Load(*pipe_, handle);
  (void)pipe_->CloseFile(handle);
  if (!loaded) return kFailed;

  if (record.GetField(L"nm").empty()) return kFailed;
  if (!ParseUnsigned(record.GetField(L"tp"), attributes.Type)) return kFailed;
  if (!ParseUnsigned(record.GetField(L"sz"), attributes.Size)) return kFailed;
  if (!ParseSigned(record.GetField(L"cr"), attributes.Creation)) return kFailed;
  if (!ParseSigned(record.GetField(L"la"), attributes.LastAccess)) return kFailed;
  if (!ParseSigned(record.GetField(L"mo"), attributes.Modification)) return kFailed;
  if (!ParseUnsigned(record.GetField(L"am"), attributes.Mask)) return kFailed;
  attributes.CustomAttr = record.GetField(L"ca");
  return kSuccess;
}

int CIndex::GetListing(const std::wstring& folder, std::list<CFileInfo>& entries) {
  std::list<CFileInfo> found;
  const int listed = pipe_->GetListing(IndexFolderOf(folder), found);
  if (listed != kSuccess) return listed;
  for (auto entry = found.begin(); entry != found.end();) {
    bool keep = false;
    if (entry->Name.size() > 2) {
      entry->Name.resize(entry->Name.size() - 2);
      const std::wstring item = folder.empty() ? entry->Name : folder + L"\\" + entry->Name;
      keep = GetElementAttributes(item, entry->Attrs) == kSuccess;
    }
    entry = keep ? std::next(entry) : found.erase(entry);
  }
  found.sort();
  entries.splice(entries.end(), found);
  return kSuccess;
}

int CIndex::CreateFolder(const std::wstring& folder) {
  const int created = pipe_->CreateFolder(IndexFolderOf(folder));
  if (created != kSuccess) {
    LogError(kCantCreateIndexDirectory);
    return created;
  }
  if (folderReady_) return kSuccess;
  std::wstring parent, name;
  Split(folder, parent, name);
  return EnsureIndexFolder(parent);
}

int CIndex::DeleteFile(const std::wstring& path) {
  if (path.empty()) return kNotSupported;
  return pipe_->DeleteFile(RecordPathOf(path));
}

int CIndex::DeleteFolder(const std::wstring& path) { return DeleteFile(path); }

int CIndex::EnsureIndexFolder(const std::wstring& folder) {
  if (folderReady_) return kSuccess;
  const std::wstring indexFolder = IndexFolderOf(folder);
  CFileAttributes attributes;
  if (pipe_->GetElementAttributes(indexFolder, attributes) != kSuccess || !attributes.IsDirectory()) {
    const int created = pipe_->CreateFolder(indexFolder);
    if (created != kSuccess) {
      LogError(kCantCreateIndexFolder);
      return created;
    }
  }
  folderReady_ = true;
  return kSuccess;
}

}  // namespace zr
