// Loads a plug-in and filter library built beside this test and drives every
// operation through the interface pointers, across the library boundary.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "plugin-api/PluginApi.h"
#include "tests/support/MapLink.h"
#include "tests/support/RecordingLog.h"

namespace {

using zrtest::MapLink;
using zrtest::RecordingLog;

#if defined(__x86_64__) || defined(__i386__)
// Itanium C++ ABI: a pointer to a virtual member function holds one plus the
// byte offset of the function's slot in the vtable.
template <typename MemberFn>
long SlotOf(MemberFn fn) {
  struct Representation {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
  };
  static_assert(sizeof(MemberFn) == sizeof(Representation), "Itanium member pointer");
  Representation rep;
  std::memcpy(&rep, &fn, sizeof rep);
  if ((rep.ptr & 1) == 0 || rep.adj != 0) return -1;
  return static_cast<long>((rep.ptr - 1) / sizeof(void*));
}

TEST(PluginSlots, VirtualOperationsKeepTheirPlaces) {
  // Slots 0 and 1 are the destructors.
  EXPECT_EQ(SlotOf(&IBackupDataRead::Destroy), 2);
  EXPECT_EQ(SlotOf(&IBackupDataRead::OpenFile), 3);
  EXPECT_EQ(SlotOf(&IBackupDataRead::ReadFile), 4);
  EXPECT_EQ(SlotOf(&IBackupDataRead::SeekFile), 5);
  EXPECT_EQ(SlotOf(&IBackupDataRead::CloseFile), 6);
  EXPECT_EQ(SlotOf(&IBackupDataRead::GetElementAttributes), 7);
  EXPECT_EQ(SlotOf(&IBackupDataRead::GetListing), 8);
  EXPECT_EQ(SlotOf(&IBackupDataRead::OnStop), 9);

  EXPECT_EQ(SlotOf(&IBackupDataWrite::WriteFile), 10);
  EXPECT_EQ(SlotOf(&IBackupDataWrite::SetElementAttributes), 11);
  EXPECT_EQ(SlotOf(&IBackupDataWrite::CreateFolder), 12);
  EXPECT_EQ(SlotOf(&IBackupDataWrite::DeleteFolder), 13);
  EXPECT_EQ(SlotOf(&IBackupDataWrite::DeleteFile), 14);
  EXPECT_EQ(SlotOf(&IBackupDataWrite::MoveFile), 15);
  EXPECT_EQ(SlotOf(&IBackupDataWrite::BeginTransaction), 16);
  EXPECT_EQ(SlotOf(&IBackupDataWrite::CommitTransaction), 17);

  EXPECT_EQ(SlotOf(&IBackupDataFilter::Destroy), 2);
  EXPECT_EQ(SlotOf(&IBackupDataFilter::GetFileExtension), 3);
  EXPECT_EQ(SlotOf(&IBackupDataFilter::IsManyToOne), 4);
  EXPECT_EQ(SlotOf(&IBackupDataFilter::BeginTransaction), 5);
  EXPECT_EQ(SlotOf(&IBackupDataFilter::GetListing), 6);
  EXPECT_EQ(SlotOf(&IBackupDataFilter::PrepareTransform), 7);
  EXPECT_EQ(SlotOf(&IBackupDataFilter::DirectTransform), 8);
  EXPECT_EQ(SlotOf(&IBackupDataFilter::ReverseTransform), 9);
  EXPECT_EQ(SlotOf(&IBackupDataFilter::FinishTransform), 10);
  EXPECT_EQ(SlotOf(&IBackupDataFilter::CommitTransaction), 11);

  EXPECT_EQ(SlotOf(&IPluginInfo::Destroy), 2);
  EXPECT_EQ(SlotOf(&IPluginInfo::GetPluginVersion), 3);
  EXPECT_EQ(SlotOf(&IPluginInfo::GetPluginName), 4);
  EXPECT_EQ(SlotOf(&IPluginInfo::GetFileSystemType), 5);
  EXPECT_EQ(SlotOf(&IPluginInfo::IsSeekFileSupported), 6);
  EXPECT_EQ(SlotOf(&IPluginInfo::IsMoveFileSupported), 7);
  EXPECT_EQ(SlotOf(&IPluginInfo::IsConfigurable), 8);

  // No destructor slots in the agent's callback objects.
  EXPECT_EQ(SlotOf(&ILog::Write), 0);
  EXPECT_EQ(SlotOf(&ILink::GetValue), 0);
  EXPECT_EQ(SlotOf(&ILink::SetValue), 1);
}
#endif

// Releases a factory's object through its own Destroy().
struct Destroyer {
  template <typename T>
  void operator()(T* object) const {
    if (object != nullptr) object->Destroy();
  }
};
template <typename T>
using Owned = std::unique_ptr<T, Destroyer>;

class PluginLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(ZR_TEST_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    link.values[L"WSTempPath"] = L"/tmp/zr-test/";
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }

  template <typename Fn>
  Fn Factory(const char* name) {
    void* symbol = dlsym(handle_, name);
    EXPECT_NE(symbol, nullptr) << name;
    return reinterpret_cast<Fn>(symbol);
  }

  // Declared before the objects of each test, so it outlives them.
  RecordingLog log;
  MapLink link;

 private:
  void* handle_ = nullptr;
};

TEST_F(PluginLibrary, ExportsTheFactoriesAndHidesTheRest) {
  EXPECT_NE(Factory<GetPluginInfoFn>(kGetPluginInfoName), nullptr);
  EXPECT_NE(Factory<GetBackupDataReadFn>(kGetBackupDataReadName), nullptr);
  EXPECT_NE(Factory<GetBackupDataWriteFn>(kGetBackupDataWriteName), nullptr);
  EXPECT_NE(Factory<GetFilterInfoFn>(kGetFilterInfoName), nullptr);
  EXPECT_NE(Factory<GetFilterFn>(kGetFilterName), nullptr);
  dlerror();
  void* handle = dlopen(ZR_TEST_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(dlsym(handle, "TestPluginHiddenFunction"), nullptr);
  dlclose(handle);
}

TEST_F(PluginLibrary, DescriptionsAnswerThroughTheirSlots) {
  Owned<IPluginInfo> plugin(Factory<GetPluginInfoFn>(kGetPluginInfoName)());
  Owned<IPluginInfo> filter(Factory<GetFilterInfoFn>(kGetFilterInfoName)());
  ASSERT_TRUE(plugin && filter);
  EXPECT_STREQ(plugin->GetPluginName(), L"TestPlugin");
  EXPECT_STREQ(plugin->GetPluginVersion(), L"1.2.3");
  EXPECT_EQ(plugin->GetFileSystemType(), 42);
  EXPECT_TRUE(plugin->IsSeekFileSupported());
  EXPECT_FALSE(plugin->IsMoveFileSupported());
  EXPECT_TRUE(plugin->IsConfigurable());
  EXPECT_STREQ(filter->GetPluginName(), L"TestFilter");
  EXPECT_STREQ(filter->GetPluginVersion(), L"0.9");
  EXPECT_EQ(filter->GetFileSystemType(), 0);
  EXPECT_FALSE(filter->IsSeekFileSupported());
  EXPECT_TRUE(filter->IsMoveFileSupported());
  EXPECT_FALSE(filter->IsConfigurable());

  // The library counts its live objects: two descriptions, then the new one.
  auto make_read = Factory<GetBackupDataReadFn>(kGetBackupDataReadName);
  Owned<IBackupDataRead> first(make_read(&log, &link));
  EXPECT_TRUE(log.Contains(L"created read live=3")) << log.Lines().back().text;
  plugin.reset();
  filter.reset();
  Owned<IBackupDataRead> second(make_read(&log, &link));
  EXPECT_TRUE(log.Contains(L"created read live=2")) << log.Lines().back().text;
  first.reset();
  second.reset();
  EXPECT_TRUE(log.Contains(L"destroyed read live=0"));
}

TEST_F(PluginLibrary, ReadObjectRunsEveryOperation) {
  Owned<IBackupDataRead> data(Factory<GetBackupDataReadFn>(kGetBackupDataReadName)(&log, &link));
  ASSERT_TRUE(data);
  ASSERT_EQ(log.Size(), 1u);
  EXPECT_EQ(log.Lines()[0].level, LogEvent::Info);
  EXPECT_EQ(log.Lines()[0].text, L"created read live=1 temp=/tmp/zr-test/ found=1");

  unsigned int handle = 0;
  EXPECT_EQ(data->OpenFile(L"db\\file", FileAccessMode::Read, handle), 0);
  EXPECT_EQ(handle, 7u);
  unsigned char buffer[8] = {};
  unsigned int size = 3;
  EXPECT_EQ(data->ReadFile(buffer, size, handle), 0);
  EXPECT_EQ(size, 3u);
  size = sizeof buffer;
  EXPECT_EQ(data->ReadFile(buffer + 3, size, handle), 0);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "hello");
  size = sizeof buffer;
  EXPECT_EQ(data->ReadFile(buffer, size, handle), 5);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(data->SeekFile(handle, 0x123456789abcull), 0);
  EXPECT_EQ(data->CloseFile(handle), 0);

  CFileAttributes attrs;
  EXPECT_EQ(data->GetElementAttributes(L"db\\file", attrs), 0);
  EXPECT_EQ(attrs.Size, 1ull << 40);
  EXPECT_EQ(attrs.Creation, 1);
  EXPECT_EQ(attrs.LastAccess, 2);
  EXPECT_EQ(attrs.Modification, 3);
  EXPECT_EQ(attrs.Mask, 15u);
  EXPECT_EQ(attrs.CustomAttr, L"attr of db\\file");

  std::list<CFileInfo> entries(1);
  EXPECT_EQ(data->GetListing(L"db", entries), 0);
  ASSERT_EQ(entries.size(), 3u);
  auto it = std::next(entries.begin());
  EXPECT_EQ(it->Name, L"sub");
  EXPECT_TRUE(it->Attrs.IsDirectory());
  ++it;
  EXPECT_EQ(it->Name, L"file.bin");
  EXPECT_EQ(it->Attrs.Size, 77u);
  EXPECT_EQ(it->Info, L"info");

  data->OnStop();
  data.reset();

  const std::vector<std::wstring> expected = {
      L"created read live=1 temp=/tmp/zr-test/ found=1",
      L"OpenFile db\\file 0",
      L"ReadFile 7 3",
      L"ReadFile 7 8",
      L"ReadFile 7 8",
      L"SeekFile 7 20015998343868",
      L"CloseFile 7",
      L"GetElementAttributes db\\file",
      L"GetListing db",
      L"OnStop",
      L"destroyed read live=0",
  };
  EXPECT_EQ(log.Texts(), expected);
  EXPECT_EQ(log.Lines()[9].level, LogEvent::Warning);
  EXPECT_EQ(log.Lines()[10].level, LogEvent::Debug);
}

TEST_F(PluginLibrary, WriteObjectRunsEveryOperation) {
  Owned<IBackupDataWrite> data(Factory<GetBackupDataWriteFn>(kGetBackupDataWriteName)(&log, &link));
  ASSERT_TRUE(data);
  // The read interface is the primary base: one address for both views.
  IBackupDataRead* read = data.get();
  EXPECT_EQ(static_cast<void*>(read), static_cast<void*>(data.get()));

  unsigned int handle = 0;
  EXPECT_EQ(read->OpenFile(L"out", FileAccessMode::Write, handle), 0);
  EXPECT_EQ(handle, 8u);
  unsigned char buffer[4] = {};
  unsigned int size = sizeof buffer;
  EXPECT_EQ(read->ReadFile(buffer, size, handle), 0);
  EXPECT_EQ(read->SeekFile(handle, 1), 0);
  CFileAttributes attrs;
  EXPECT_EQ(read->GetElementAttributes(L"out", attrs), 0);
  std::list<CFileInfo> entries;
  EXPECT_EQ(read->GetListing(L"", entries), 0);
  read->OnStop();

  EXPECT_EQ(data->BeginTransaction(), 0);
  const unsigned char bytes[] = {'x', 'y', 'z', 'w', 'v', 'u'};
  size = sizeof bytes;
  EXPECT_EQ(data->WriteFile(bytes, size, handle), 0);
  EXPECT_EQ(size, 3u);
  CFileAttributes set(1, 2, 3, 0x100000001ull, 128, 8);
  set.CustomAttr = L"custom";
  EXPECT_EQ(data->SetElementAttributes(L"out", set), 0);
  EXPECT_EQ(data->CreateFolder(L"new"), 0);
  EXPECT_EQ(data->DeleteFolder(L"old"), 4);
  EXPECT_EQ(data->DeleteFile(L"gone"), 3);
  EXPECT_EQ(data->MoveFile(L"a", L"b"), 6);
  EXPECT_EQ(data->CloseFile(handle), 0);
  EXPECT_EQ(data->CommitTransaction(), 0);
  EXPECT_EQ(link.values[L"Committed"], L"yes");

  // Destroyed through the read view: the virtual destructor reaches the whole object.
  data.release();
  read->Destroy();

  const std::vector<std::wstring> expected = {
      L"created write live=1 temp=/tmp/zr-test/ found=1",
      L"OpenFile out 1",
      L"ReadFile 8 4",
      L"SeekFile 8 1",
      L"GetElementAttributes out",
      L"GetListing ",
      L"OnStop",
      L"BeginTransaction",
      L"WriteFile 8 6 x",
      L"SetElementAttributes out 4294967297 8 custom",
      L"CreateFolder new",
      L"DeleteFolder old",
      L"DeleteFile gone",
      L"MoveFile a b",
      L"CloseFile 8",
      L"CommitTransaction 1",
      L"destroyed write live=0",
  };
  EXPECT_EQ(log.Texts(), expected);
}

TEST_F(PluginLibrary, MissingTempPathLeavesTheValueEmpty) {
  link.values.clear();
  Owned<IBackupDataRead> data(Factory<GetBackupDataReadFn>(kGetBackupDataReadName)(&log, &link));
  ASSERT_TRUE(data);
  EXPECT_TRUE(log.Contains(L"created read live=1 temp= found=0"));
}

// Next filter of the chain, on the host's side.
class RecordingFilter final : public IBackupDataFilter {
 public:
  const wchar_t* GetFileExtension() const override { return L".rec"; }
  bool IsManyToOne() const override { return false; }
  int BeginTransaction(const unsigned int& handle) override {
    calls.push_back(L"BeginTransaction " + std::to_wstring(handle));
    return 11;
  }
  int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override {
    calls.push_back(L"GetListing " + path);
    entries.emplace_back(L"stored", CFileAttributes());
    return 12;
  }
  int PrepareTransform(const std::wstring& name, bool forward, const unsigned int& handle) override {
    calls.push_back(L"PrepareTransform " + name + (forward ? L" forward " : L" reverse ") +
                    std::to_wstring(handle));
    return 13;
  }
  int DirectTransform(const unsigned char*, unsigned int&, const unsigned int&) override {
    calls.push_back(L"DirectTransform");
    return 14;
  }
  int ReverseTransform(unsigned char*, unsigned int&, const unsigned int&) override {
    calls.push_back(L"ReverseTransform");
    return 15;
  }
  int FinishTransform(const unsigned int& handle) override {
    calls.push_back(L"FinishTransform " + std::to_wstring(handle));
    return 16;
  }
  int CommitTransaction(const unsigned int& handle) override {
    calls.push_back(L"CommitTransaction " + std::to_wstring(handle));
    return 17;
  }

  std::vector<std::wstring> calls;
};

TEST_F(PluginLibrary, FilterForwardsToTheNextFilter) {
  Owned<IBackupDataFilter> filter(Factory<GetFilterFn>(kGetFilterName)(&log, &link));
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->GetNextFilter(), nullptr);
  // Not chained yet: the defaults fail instead of following a null pointer.
  std::list<CFileInfo> none;
  EXPECT_EQ(filter->BeginTransaction(1), 1);
  EXPECT_EQ(filter->GetListing(L"", none), 1);
  EXPECT_EQ(filter->PrepareTransform(L"n", true, 1), 1);
  EXPECT_EQ(filter->FinishTransform(1), 1);
  EXPECT_EQ(filter->CommitTransaction(1), 1);
  EXPECT_TRUE(none.empty());

  RecordingFilter next;
  filter->SetNextFilter(&next);
  EXPECT_EQ(filter->GetNextFilter(), &next);

  EXPECT_STREQ(filter->GetFileExtension(), L".tst");
  EXPECT_TRUE(filter->IsManyToOne());

  // The defaults, compiled into the library, forward arguments and results.
  EXPECT_EQ(filter->BeginTransaction(21), 11);
  std::list<CFileInfo> entries;
  EXPECT_EQ(filter->GetListing(L"dir\\x", entries), 12);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries.front().Name, L"stored");
  EXPECT_EQ(filter->PrepareTransform(L"item", true, 21), 13);
  EXPECT_EQ(filter->PrepareTransform(L"item", false, 22), 13);

  // The library's own transforms do not forward.
  const unsigned char bytes[] = {'q', 'r', 's', 't'};
  unsigned int size = sizeof bytes;
  EXPECT_EQ(filter->DirectTransform(bytes, size, 21), 0);
  EXPECT_EQ(size, 4u);
  unsigned char buffer[8] = {};
  size = sizeof buffer;
  EXPECT_EQ(filter->ReverseTransform(buffer, size, 22), 0);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "rev");

  EXPECT_EQ(filter->FinishTransform(21), 16);
  EXPECT_EQ(filter->CommitTransaction(21), 17);

  EXPECT_EQ(next.calls, (std::vector<std::wstring>{
                            L"BeginTransaction 21",
                            L"GetListing dir\\x",
                            L"PrepareTransform item forward 21",
                            L"PrepareTransform item reverse 22",
                            L"FinishTransform 21",
                            L"CommitTransaction 21",
                        }));
  filter.reset();
  ASSERT_EQ(log.Size(), 3u);
  EXPECT_EQ(log.Lines()[0].text, L"DirectTransform 21 4 q");
  EXPECT_EQ(log.Lines()[1].text, L"ReverseTransform 22 8");
  EXPECT_EQ(log.Lines()[2].text, L"destroyed filter live=0");
}

TEST_F(PluginLibrary, FiltersOfTheLibraryChain) {
  auto make_filter = Factory<GetFilterFn>(kGetFilterName);
  Owned<IBackupDataFilter> first(make_filter(&log, &link));
  Owned<IBackupDataFilter> second(make_filter(&log, &link));
  RecordingFilter last;
  first->SetNextFilter(second.get());
  second->SetNextFilter(&last);
  EXPECT_EQ(first->CommitTransaction(3), 17);
  EXPECT_EQ(first->PrepareTransform(L"n", true, 3), 13);
  EXPECT_EQ(last.calls, (std::vector<std::wstring>{L"CommitTransaction 3", L"PrepareTransform n forward 3"}));
}

}  // namespace
