// Test filter "pack", extension ".pk": many-to-one. All items of a
// transaction live in memory between BeginTransaction and
// CommitTransaction and are stored as one archive:
//   repeated { u32 name length (characters), the name as 32-bit
//              characters, u64 data length, the data }
// in name order, little-endian. Counts factory calls, Destroy, Begin and
// Commit.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "plugin-api/PluginExports.h"
#include "tests/plugins/Counters.h"
#include "tests/support/FixedPluginInfo.h"

namespace {

using Bytes = std::vector<unsigned char>;

void PutNumber(Bytes& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

bool GetNumber(const Bytes& in, size_t& at, int bytes, uint64_t& value) {
  if (in.size() - at < static_cast<size_t>(bytes)) return false;
  value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(in[at + i]) << (8 * i);
  at += bytes;
  return true;
}

class PackFilter final : public IBackupDataFilter {
 public:
  void Destroy() override {
    zrtest::Count(zrtest::kDestroy);
    delete this;
  }
  const wchar_t* GetFileExtension() const override { return L".pk"; }
  bool IsManyToOne() const override { return true; }

  // Handle 0: nothing stored yet. Else reads the stored archive through the
  // chain until its end.
  int BeginTransaction(const unsigned int& handle) override {
    zrtest::Count(zrtest::kBegin);
    items_.clear();
    if (handle == 0 || m_next == nullptr) return 0;
    Bytes archive;
    unsigned char buffer[4096];
    for (;;) {
      unsigned int size = sizeof(buffer);
      const int result = m_next->ReverseTransform(buffer, size, handle);
      if (result != 0 || size == 0) break;
      archive.insert(archive.end(), buffer, buffer + size);
    }
    return Parse(archive) ? 0 : 1;
  }

  int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override {
    const std::wstring prefix = path.empty() ? std::wstring() : path + L"\\";
    std::map<std::wstring, CFileAttributes> found;
    for (const auto& item : items_) {
      const std::wstring& name = item.first;
      if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size()) continue;
      const size_t slash = name.find(L'\\', prefix.size());
      CFileAttributes attributes;
      if (slash == std::wstring::npos) {
        attributes.Type = CFileAttributes::kTypeNormal;
        attributes.Size = item.second.size();
        attributes.Mask = CFileAttributes::kMaskSize;
      } else {
        attributes.Type = CFileAttributes::kTypeDirectory;
      }
      found[name.substr(prefix.size(), slash - prefix.size())] = attributes;
    }
    if (found.empty() && !path.empty()) return 3;
    for (const auto& entry : found) entries.emplace_back(entry.first, entry.second);
    return 0;
  }

  int PrepareTransform(const std::wstring& name, bool forward, const unsigned int& handle) override {
    if (forward) {
      items_[name].clear();
    } else if (items_.count(name) == 0) {
      return 3;
    }
    open_[handle] = Cursor{name, 0};
    return 0;
  }

  int DirectTransform(const unsigned char* data, unsigned int& size, const unsigned int& handle) override {
    auto cursor = open_.find(handle);
    if (cursor == open_.end()) return 1;
    Bytes& item = items_[cursor->second.name];
    item.insert(item.end(), data, data + size);
    return 0;
  }

  int ReverseTransform(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override {
    auto cursor = open_.find(handle);
    if (cursor == open_.end()) return 1;
    const Bytes& item = items_[cursor->second.name];
    const size_t left = item.size() - cursor->second.position;
    if (left == 0) {
      size = 0;
      return 5;
    }
    if (size > left) size = static_cast<unsigned int>(left);
    std::memcpy(buffer, item.data() + cursor->second.position, size);
    cursor->second.position += size;
    return 0;
  }

  int FinishTransform(const unsigned int& handle) override { return open_.erase(handle) != 0 ? 0 : 1; }

  int CommitTransaction(const unsigned int& handle) override {
    zrtest::Count(zrtest::kCommit);
    if (m_next == nullptr) return 1;
    for (const auto& item : items_) {
      Bytes header;
      PutNumber(header, item.first.size(), 4);
      for (wchar_t c : item.first) PutNumber(header, static_cast<uint32_t>(c), 4);
      PutNumber(header, item.second.size(), 8);
      int result = Send(header.data(), header.size(), handle);
      if (result == 0) result = Send(item.second.data(), item.second.size(), handle);
      if (result != 0) return result;
    }
    return 0;
  }

 private:
  struct Cursor {
    std::wstring name;
    size_t position;
  };

  // Hands `size` bytes to the next stage in pieces of at most 1 MiB.
  int Send(const unsigned char* data, size_t size, unsigned int handle) {
    size_t done = 0;
    while (done < size) {
      unsigned int part = static_cast<unsigned int>(std::min<size_t>(size - done, 1u << 20));
      const int result = m_next->DirectTransform(data + done, part, handle);
      if (result != 0) return result;
      if (part == 0) return 1;
      done += part;
    }
    return 0;
  }

  bool Parse(const Bytes& archive) {
    size_t at = 0;
    while (at < archive.size()) {
      uint64_t length = 0, character = 0, size = 0;
      if (!GetNumber(archive, at, 4, length)) return false;
      std::wstring name;
      for (uint64_t i = 0; i < length; ++i) {
        if (!GetNumber(archive, at, 4, character)) return false;
        name += static_cast<wchar_t>(character);
      }
      if (!GetNumber(archive, at, 8, size) || archive.size() - at < size) return false;
      items_[name].assign(archive.begin() + at, archive.begin() + at + size);
      at += size;
    }
    return true;
  }

  std::map<std::wstring, Bytes> items_;
  std::map<unsigned int, Cursor> open_;
};

}  // namespace

ZR_PLUGIN_EXPORT IPluginInfo* GetFilterInfo() {
  return new zrtest::FixedInfo(L"pack", L"1.0", 0, false, false, false);
}

ZR_PLUGIN_EXPORT IBackupDataFilter* GetFilter(ILog*, ILink*) {
  zrtest::Count(zrtest::kFactory);
  return new PackFilter();
}
