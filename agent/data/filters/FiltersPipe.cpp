#include "agent/data/filters/FiltersPipe.h"

#include "ZavediDedozozuriz.hh"
#include "agent/data/hosting/FactoryLookup.h"
#include "agent/data/hosting/PluginLink.h"
#include "plugin-api/ErrorBoundary.h"
#include "plugin-api/PluginExports.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

namespace {

std::vector<std::wstring> FilterNames(const ZavediDedozozuriz::ISettings& settings) {
  std::vector<std::wstring> names;
  for (CORBA::ULong i = 0; i < settings.filters.length(); ++i) {
    const CORBA::WChar* name = settings.filters[i];
    names.emplace_back(name != nullptr ? name : L"");
  }
  return names;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

CFiltersPipe::Stage::Stage(std::unique_ptr<CPluginLink> stageLink, IBackupDataFilter* stageFilter)
    : link(std::move(stageLink)), filter(stageFilter) {}

CFiltersPipe::Stage::~Stage() {
  // The filter may still use its link while it is destroyed.
  if (filter != nullptr) {
    try {
      filter->Destroy();
    } catch (...) {
    }
  }
  link.reset();
}

CFiltersPipe::CFiltersPipe(IFileSystem* target, const std::vector<std::wstring>& filters,
                           const std::wstring& stream, Tessarine::Session_ptr session, ILog* log,
                           CExtensionLoader* loader, bool indexStream)
    : target_(target),
      loader_(loader),
      stream_(stream),
      end_(target),
      session_(session),
      log_(log),
      indexStream_(indexStream) {
  AddFilters(filters);
  LinkChain(false);
}

CFiltersPipe::CFiltersPipe(IFileSystem* target, const ZavediDedozozuriz::ISettings& settings,
                           const std::wstring& stream, Tessarine::Session_ptr session, ILog* log,
                           CExtensionLoader* loader, bool indexStream)
    : CFiltersPipe(target, FilterNames(settings), stream, session, log, loader, indexStream) {}

CFiltersPipe::~CFiltersPipe() = default;

void CFiltersPipe::AddFilters(const std::vector<std::wstring>& filters) {
  for (const std::wstring& filter : filters) {
    const size_t first = filter.find(L'\\');
    const bool twoParts = first != std::wstring::npos && filter.find(L'\\', first + 1) == std::wstring::npos;
    if (twoParts) {
      AddFilter(filter.substr(0, first), filter.substr(first + 1));
    } else {
      AddFilter(filter, std::wstring());
    }
  }
}

// A filter that cannot be made is left out rather than failing the stream:
// the chain then simply lacks that step. The link is made before the filter
// because the factory reads its settings through it, and it must live as
// long as the filter, so both are kept (or discarded) together.
void CFiltersPipe::AddFilter(const std::wstring& name, const std::wstring& connection) {
  CFilterEntry* entry = loader_ != nullptr ? loader_->FindFilter(name) : nullptr;
  if (entry == nullptr || entry->GetLibrary() == nullptr) return;
  std::unique_ptr<CPluginLink> link;
  IBackupDataFilter* filter = nullptr;
  bool manyToOne = false;
  std::wstring extension;
  try {
    if (!connection.empty()) {
      link = std::make_unique<CPluginLink>(session_);
      (void)link->SetFilter(*entry, connection);
    }
    auto factory = FindFactory<GetFilterFn>(entry->GetLibrary(), kGetFilterName);
    if (factory != nullptr) filter = factory(log_, link.get());
    if (filter != nullptr) {
      manyToOne = filter->IsManyToOne();
      const wchar_t* text = filter->GetFileExtension();
      extension = text != nullptr ? text : L"";
    }
  } catch (...) {
    Stage discard(std::move(link), filter);
    return;
  }
  if (filter == nullptr) return;  // the link goes with `link`
  chain_.emplace_back(std::move(link), filter);
  if (name == kDeltaFilterName) deltaPosition_ = static_cast<int>(chain_.size()) - 1;
  if (manyToOne) manyToOne_ = true;
  extension_ += extension;
}

void CFiltersPipe::LinkChain(bool includeDelta) {
  IBackupDataFilter* last = &start_;
  int position = 0;
  for (Stage& stage : chain_) {
    if (includeDelta || position != deltaPosition_) {
      last->SetNextFilter(stage.filter);
      last = stage.filter;
    }
    ++position;
  }
  last->SetNextFilter(&end_);
}

int CFiltersPipe::LinkDeltaFilter(bool includeDelta) {
  if (deltaPosition_ < 0) return -1;
  LinkChain(includeDelta);
  return 0;
}

std::wstring CFiltersPipe::GetRelativePath(const std::wstring& path) const {
  if (path.empty() || path.size() <= root_.size() + 1) return std::wstring();
  return path.substr(root_.size() + 1);
}

std::wstring CFiltersPipe::ObjectName() const {
  const std::wstring name = stream_ + extension_;
  return root_.empty() ? name : root_ + L"\\" + name;
}

int CFiltersPipe::SetRoot(const std::wstring& root) {
  root_ = root;
  itemFailed_ = false;
  writeItems_.clear();
  if (!HasFilters() || !manyToOne_) return kSuccess;
  const std::wstring object = ObjectName();
  CFileAttributes attributes;
  if (target_->GetElementAttributes(object, attributes) != kSuccess) {
    (void)start_.BeginTransaction(0);  // nothing stored yet
    return kSuccess;
  }
  unsigned int handle = 0;
  const int opened = target_->OpenFile(object, FileAccessMode::Read, handle, true);
  if (opened != kSuccess) return opened;
  (void)start_.BeginTransaction(handle);
  (void)target_->CloseFile(handle);
  return kSuccess;
}

int CFiltersPipe::CommitTransaction() {
  if (!HasFilters() || !manyToOne_) return kSuccess;
  if (itemFailed_) {
    // The chain holds a cut-off item: writing it would replace a good object.
    WriteLogLine(log_, LogEvent::Error, L"Can't commit '" + ObjectName() + L"': an item of it failed");
    return kFailed;
  }
  if (!written_) return kSuccess;
  unsigned int handle = 0;
  const int opened = target_->OpenFile(ObjectName(), FileAccessMode::Write, handle, true);
  if (opened != kSuccess) return opened;
  const int committed = start_.CommitTransaction(handle);
  if (committed != kSuccess) {
    static_cast<void>(target_->AbortFile(handle));
    return committed;
  }
  // The close is where a remote or delta write of the object is applied.
  return target_->CloseFile(handle);
}

int CFiltersPipe::PrepareItem(const std::wstring& path, bool write, unsigned int& handle) {
  handle = NextHandle();
  const int result = start_.PrepareTransform(GetRelativePath(path), write, handle);
  if (result == kSuccess && write) writeItems_.insert(handle);
  return result;
}

void CFiltersPipe::EndItem(unsigned int handle, bool failed) {
  if (writeItems_.erase(handle) != 0 && failed) itemFailed_ = true;
}

template <class TargetOpen>
int CFiltersPipe::OpenPerFile(TargetOpen targetOpen, const std::wstring& name, bool write,
                              unsigned int& handle) {
  unsigned int opened = 0;
  const int result = targetOpen(opened);
  if (result != kSuccess) return result;
  const int prepared = start_.PrepareTransform(name, write, opened);
  if (prepared != kSuccess) {
    (void)target_->AbortFile(opened);
    return prepared;
  }
  handle = opened;
  return kSuccess;
}

int CFiltersPipe::OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle) {
  const bool write = mode == FileAccessMode::Write;
  const bool deltaAllowed = !indexStream_;
  if (!HasFilters()) return target_->OpenFile(path, mode, handle, deltaAllowed);
  if (write) written_ = true;
  if (manyToOne_) return PrepareItem(path, write, handle);
  return OpenPerFile(
      [&](unsigned int& opened) { return target_->OpenFile(path + extension_, mode, opened, deltaAllowed); },
      path, write, handle);
}

int CFiltersPipe::OpenFilePatch(const std::wstring& basePath, const std::wstring& path,
                                FileAccessMode::ID mode, unsigned int& handle) {
  const bool write = mode == FileAccessMode::Write;
  if (!HasFilters()) return target_->OpenFilePatch(basePath, path, mode, handle);
  if (write) written_ = true;
  if (manyToOne_) return PrepareItem(path, write, handle);
  return OpenPerFile(
      [&](unsigned int& opened) {
        return target_->OpenFilePatch(basePath + extension_, path + extension_, mode, opened);
      },
      path, write, handle);
}

int CFiltersPipe::ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) {
  if (!HasFilters()) return target_->ReadFile(buffer, size, handle);
  return start_.ReverseTransform(buffer, size, handle);
}

int CFiltersPipe::WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle) {
  if (!HasFilters()) return target_->WriteFile(data, size, handle);
  const int result = start_.DirectTransform(data, size, handle);
  if (result != kSuccess && manyToOne_ && writeItems_.count(handle) != 0) itemFailed_ = true;
  return result;
}

int CFiltersPipe::CloseFile(const unsigned int& handle) {
  if (!HasFilters()) return target_->CloseFile(handle);
  const int finished = start_.FinishTransform(handle);
  if (manyToOne_) {
    EndItem(handle, finished != kSuccess);
    return finished;
  }
  // A failed final flush leaves a truncated file: it must not count as stored.
  const int closed = target_->CloseFile(handle);
  return finished != kSuccess ? finished : closed;
}

int CFiltersPipe::AbortFile(const unsigned int& handle) {
  if (!HasFilters()) return target_->AbortFile(handle);
  const int finished = start_.FinishTransform(handle);
  if (manyToOne_) {
    EndItem(handle, true);
    return finished;
  }
  static_cast<void>(target_->AbortFile(handle));
  return finished;
}

int CFiltersPipe::GetListing(const std::wstring& path, std::list<CFileInfo>& entries) {
  if (!HasFilters()) return target_->GetListing(path, entries);
  int result;
  if (manyToOne_) {
    result = start_.GetListing(GetRelativePath(path), entries);
    if (result == kPathNotFound && indexStream_) result = kSuccess;
  } else {
    result = target_->GetListing(path, entries);
    for (CFileInfo& entry : entries) {
      if (entry.Name.size() > extension_.size() && EndsWith(entry.Name, extension_)) {
        entry.Name.resize(entry.Name.size() - extension_.size());
      }
    }
  }
  entries.sort();
  return result;
}

bool CFiltersPipe::IsTargetFolder(const std::wstring& path) {
  CFileAttributes attributes;
  return target_->GetElementAttributes(path, attributes) == kSuccess && attributes.IsDirectory();
}

int CFiltersPipe::GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) {
  if (!HasFilters()) return target_->GetElementAttributes(path, attributes);
  if (manyToOne_) {
    const unsigned int handle = NextHandle();
    if (start_.PrepareTransform(GetRelativePath(path), false, handle) != kSuccess) return kPathNotFound;
    (void)start_.FinishTransform(handle);
    attributes = CFileAttributes();
    return kSuccess;
  }
  const int result = target_->GetElementAttributes(path + extension_, attributes);
  if (result != kPathNotFound || extension_.empty()) return result;
  // Folders are stored without the extension.
  CFileAttributes folder;
  if (target_->GetElementAttributes(path, folder) != kSuccess || !folder.IsDirectory()) return result;
  attributes = folder;
  return kSuccess;
}

int CFiltersPipe::SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes) {
  if (!HasFilters()) return target_->SetElementAttributes(path, attributes);
  written_ = true;
  if (manyToOne_) return kNotSupported;
  const int result = target_->SetElementAttributes(path + extension_, attributes);
  if (result != kPathNotFound || extension_.empty() || !IsTargetFolder(path)) return result;
  return target_->SetElementAttributes(path, attributes);
}

int CFiltersPipe::CreateFolder(const std::wstring& path) {
  if (!HasFilters()) return target_->CreateFolder(path);
  written_ = true;
  return manyToOne_ ? kSuccess : target_->CreateFolder(path);
}

int CFiltersPipe::DeleteFolder(const std::wstring& path) {
  if (!HasFilters()) return target_->DeleteFolder(path);
  written_ = true;
  return manyToOne_ ? kSuccess : target_->DeleteFolder(path);
}

int CFiltersPipe::DeleteFile(const std::wstring& path) {
  if (!HasFilters()) return target_->DeleteFile(path);
  written_ = true;
  return manyToOne_ ? kSuccess : target_->DeleteFile(path + extension_);
}

bool CFiltersPipe::IsPathExists(const std::wstring& path) {
  CFileAttributes attributes;
  if (!HasFilters()) return target_->GetElementAttributes(path, attributes) == kSuccess;
  if (!manyToOne_) {
    if (target_->GetElementAttributes(path + extension_, attributes) == kSuccess) return true;
    return !extension_.empty() && IsTargetFolder(path);
  }
  const unsigned int handle = NextHandle();
  if (start_.PrepareTransform(GetRelativePath(path), false, handle) != kSuccess) return false;
  unsigned char byte = 0;
  unsigned int size = 1;
  const int result = start_.ReverseTransform(&byte, size, handle);
  (void)start_.FinishTransform(handle);
  return result == kSuccess && size == 1;
}

}  // namespace zr
