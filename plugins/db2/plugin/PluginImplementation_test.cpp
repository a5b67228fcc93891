// The DB2 plug-in as the agent uses it: loaded with dlopen, driven through
// its factories, with the stand-in client behind it.
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <list>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "plugin-api/PluginExports.h"
#include "plugins/db2/standin/Db2Api.h"
#include "plugins/db2/standin/StandinTestRoot.h"
#include "plugins/db2/zip/ZipStreamReader.h"
#include "plugins/db2/zip/ZipStreamWriter.h"
#include "tests/support/MapLink.h"
#include "tests/support/RecordingLog.h"

namespace fs = std::filesystem;
using db2standin::StandinTestRoot;

namespace {

using MutexLog = zrtest::RecordingLog;

// Answers only "WSTempPath" and stores nothing.
class TempLink : public zrtest::MapLink {
 public:
  explicit TempLink(std::wstring temp) : MapLink({{L"WSTempPath", std::move(temp)}}) { readOnly = true; }
};

// The plug-in library, loaded once for all tests as the agent loads it.
class Library {
 public:
  Library() : handle_(dlopen(DB2ZR_PATH, RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) return;
    info = reinterpret_cast<GetPluginInfoFn>(dlsym(handle_, kGetPluginInfoName));
    read = reinterpret_cast<GetBackupDataReadFn>(dlsym(handle_, kGetBackupDataReadName));
    write = reinterpret_cast<GetBackupDataWriteFn>(dlsym(handle_, kGetBackupDataWriteName));
  }
  ~Library() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  void* handle() const { return handle_; }

  GetPluginInfoFn info = nullptr;
  GetBackupDataReadFn read = nullptr;
  GetBackupDataWriteFn write = nullptr;

 private:
  void* handle_;
};

Library& Lib() {
  static Library library;
  return library;
}

using PluginPtr = std::unique_ptr<IBackupDataWrite, void (*)(IBackupDataWrite*)>;

PluginPtr MakePlugin(ILog* log, ILink* link) {
  return PluginPtr(Lib().write(log, link), [](IBackupDataWrite* p) {
    if (p != nullptr) p->Destroy();
  });
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xFF);
  return out;
}

// Archive bytes delivered in varying amounts.
class StringInput : public IZipFilterInputReader {
 public:
  explicit StringInput(const std::string& data) : data_(data) {}
  int Read(unsigned char* buffer, unsigned int& size) override {
    static const unsigned int kSizes[] = {1, 3, 4096, 77777, 2 * 1024 * 1024};
    if (pos_ == data_.size()) {
      size = 0;
      return 5;
    }
    unsigned int n = std::min<unsigned int>(size, kSizes[turn_++ % 5]);
    n = static_cast<unsigned int>(std::min<size_t>(n, data_.size() - pos_));
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    size = n;
    return 0;
  }

 private:
  const std::string& data_;
  size_t pos_ = 0;
  unsigned turn_ = 0;
};

class StringOutput : public IZipFilterOutputWriter {
 public:
  int Write(const unsigned char* data, unsigned int& size) override {
    bytes.append(reinterpret_cast<const char*>(data), size);
    return 0;
  }
  std::string bytes;
};

// An archive of one entry as our writer makes it.
std::string MakeArchive(const std::wstring& name, const std::string& content) {
  StringOutput out;
  CZipFilter zip;
  EXPECT_EQ(0, zip.BeginTransaction(&out));
  EXPECT_EQ(0, zip.PrepareTransform(name, true));
  unsigned int size = static_cast<unsigned int>(content.size());
  EXPECT_EQ(0, zip.DirectTransform(reinterpret_cast<const unsigned char*>(content.data()), size));
  EXPECT_EQ(0, zip.FinishTransform());
  EXPECT_EQ(0, zip.CommitTransaction());
  return out.bytes;
}

std::string ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t CountEntries(const fs::path& dir) {
  size_t n = 0;
  for (auto it = fs::directory_iterator(dir); it != fs::directory_iterator(); ++it) ++n;
  return n;
}

class Db2PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, Lib().handle()) << dlerror();
    ASSERT_NE(nullptr, Lib().read);
    ASSERT_NE(nullptr, Lib().write);
    root_.SetInstance("db2inst1");
    content_ = {{"rows", RandomBytes(3 * 1024 * 1024 + 17, 7)}, {"catalog", "tables: 1\n"}};
    root_.AddDatabase("SAMPLE", content_);
    temp_ = root_.path() / "temp";
    fs::create_directories(temp_);
    link_ = std::make_unique<TempLink>(temp_.wstring() + L"/");
    plugin_ = MakePlugin(&log_, link_.get());
    ASSERT_NE(nullptr, plugin_.get());
  }

  // The stand-in's own image of a database, for comparison.
  std::string ReferenceImage(const std::string& alias) { return ReadFileBytes(ReferenceImagePath(alias)); }

  // The stand-in's own image file of a database, in a folder of its own.
  fs::path ReferenceImagePath(const std::string& alias) {
    const fs::path dir = root_.path() / ("ref-" + std::to_string(refCount_++));
    fs::create_directories(dir);
    std::string folder = dir.string();
    char* locations[] = {&folder[0]};
    db2MediaList media{'L', 1, locations};
    db2BackupParams params{};
    params.databaseAlias = alias.c_str();
    params.mediaList = &media;
    sqlca ca{};
    EXPECT_EQ(0, db2Backup(DB2_VERSION_900, &params, &ca));
    return fs::directory_iterator(dir)->path();
  }

  // Reads the open backup in varying chunk sizes; returns the last result.
  int ReadAll(std::string& stream, unsigned int handle = 1) {
    static const unsigned int kSizes[] = {1, 7, 4096, 65536, 1024 * 1024, 300000};
    std::vector<unsigned char> buffer(1024 * 1024);
    for (unsigned turn = 0;; ++turn) {
      unsigned int size = kSizes[turn % 6];
      const int result = plugin_->ReadFile(buffer.data(), size, handle);
      if (result != 0) return result;
      stream.append(reinterpret_cast<const char*>(buffer.data()), size);
    }
  }

  std::string Backup() {
    unsigned int handle = 0;
    EXPECT_EQ(0, plugin_->OpenFile(L"DB2INST1\\SAMPLE", FileAccessMode::Read, handle));
    EXPECT_EQ(1u, handle);
    std::string stream;
    EXPECT_EQ(5, ReadAll(stream));
    EXPECT_EQ(0, plugin_->CloseFile(1));
    return stream;
  }

  // Writes `stream` in chunks of `chunk` bytes; returns the first failure or 0.
  int WriteAll(const std::string& stream, size_t chunk = 100000) {
    for (size_t pos = 0; pos < stream.size(); pos += chunk) {
      unsigned int size = static_cast<unsigned int>(std::min(chunk, stream.size() - pos));
      const int result =
          plugin_->WriteFile(reinterpret_cast<const unsigned char*>(stream.data()) + pos, size, 1);
      if (result != 0) return result;
    }
    return 0;
  }

  int Restore(const std::string& stream, const std::wstring& path = L"DB2INST1\\SAMPLE") {
    unsigned int handle = 0;
    EXPECT_EQ(0, plugin_->OpenFile(path, FileAccessMode::Write, handle));
    EXPECT_EQ(0, WriteAll(stream));
    return plugin_->CloseFile(1);
  }

  StandinTestRoot root_;
  StandinTestRoot::Content content_;
  fs::path temp_;
  MutexLog log_;
  std::unique_ptr<TempLink> link_;
  PluginPtr plugin_{nullptr, nullptr};
  int refCount_ = 0;
};

TEST_F(Db2PluginTest, DescribesItselfAndExportsOnlyThePluginFactories) {
  IPluginInfo* info = Lib().info();
  ASSERT_NE(nullptr, info);
  EXPECT_EQ(std::wstring(L"1.0"), info->GetPluginVersion());
  EXPECT_EQ(std::wstring(L"DB2"), info->GetPluginName());
  EXPECT_EQ(1, info->GetFileSystemType());
  EXPECT_FALSE(info->IsSeekFileSupported());
  EXPECT_FALSE(info->IsMoveFileSupported());
  EXPECT_FALSE(info->IsConfigurable());
  info->Destroy();
  EXPECT_EQ(nullptr, dlsym(Lib().handle(), kGetFilterInfoName));
  EXPECT_EQ(nullptr, dlsym(Lib().handle(), kGetFilterName));

  IBackupDataRead* reader = Lib().read(nullptr, link_.get());
  ASSERT_NE(nullptr, reader);
  std::list<CFileInfo> entries;
  EXPECT_EQ(0, reader->GetListing(L"", entries));
  EXPECT_EQ(1u, entries.size());
  reader->Destroy();
}

TEST_F(Db2PluginTest, ListsTheInstanceThenItsDatabases) {
  root_.AddDatabase("TOOLS", {});
  std::list<CFileInfo> entries;
  EXPECT_EQ(0, plugin_->GetListing(L"", entries));
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(L"DB2INST1", entries.front().Name);
  EXPECT_EQ(16u, entries.front().Attrs.Type);
  EXPECT_EQ(0u, entries.front().Attrs.Mask);

  entries.clear();
  EXPECT_EQ(0, plugin_->GetListing(L"DB2INST1", entries));
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ(L"SAMPLE", entries.front().Name);
  EXPECT_EQ(L"TOOLS", entries.back().Name);
  for (const CFileInfo& e : entries) {
    EXPECT_EQ(128u, e.Attrs.Type);
    EXPECT_EQ(0u, e.Attrs.Size);
    EXPECT_EQ(0u, e.Attrs.Mask);
  }

  // Not the current instance, not a name, or no instance at all: no entries.
  for (const wchar_t* path : {L"OTHER", L"DB2INST1\\SAMPLE", L"NINECHARS", L"..\\..\\etc"}) {
    entries.clear();
    EXPECT_EQ(0, plugin_->GetListing(path, entries));
    EXPECT_TRUE(entries.empty()) << path;
  }
  EXPECT_TRUE(log_.HasLine(LogEvent::Error, L"Invalid path: NINECHARS"));
  root_.SetInstance("");
  entries.clear();
  EXPECT_EQ(0, plugin_->GetListing(L"", entries));
  EXPECT_TRUE(entries.empty());
  fs::remove(root_.path() / "instance");
  EXPECT_EQ(0, plugin_->GetListing(L"", entries));
  EXPECT_TRUE(entries.empty());
}

TEST_F(Db2PluginTest, ListingSurvivesMoreFailedReadsThanScanHandles) {
  root_.Fail("db2DbDirGetNextEntry", -1031, 2 * DB2_MAX_OPEN_SCANS);
  std::list<CFileInfo> entries;
  for (int i = 0; i < 2 * DB2_MAX_OPEN_SCANS; ++i) EXPECT_EQ(0, plugin_->GetListing(L"DB2INST1", entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(0, plugin_->GetListing(L"DB2INST1", entries));
  EXPECT_EQ(1u, entries.size());
}

TEST_F(Db2PluginTest, BackupStreamsOneZip64EntryEqualToTheImage) {
  const std::string stream = Backup();
  EXPECT_EQ(0u, CountEntries(temp_)) << "work folder left behind";
  EXPECT_TRUE(log_.Has(LogEvent::Warning, L"Found backup file: SAMPLE.0.DB2INST1.DBPART000."));
  EXPECT_TRUE(log_.Has(LogEvent::Info, L"Packing file: " + temp_.wstring() + L"/db2_"));
  const std::string image = ReferenceImage("SAMPLE");

  // Our own stream reader, fed in odd amounts.
  StringInput input(stream);
  CZipStreamReader reader;
  ASSERT_EQ(0, reader.OpenZip(&input));
  ZipFileHeader* header = nullptr;
  ASSERT_EQ(0, reader.OpenCurrentFile(header));
  EXPECT_EQ(0u, header->name.find("SAMPLE.0.DB2INST1.DBPART000."));
  std::string unpacked;
  std::vector<unsigned char> buffer(1 << 20);
  for (;;) {
    unsigned int size = static_cast<unsigned int>(buffer.size());
    const int result = reader.ReadFile(buffer.data(), size);
    if (result == 5) break;
    ASSERT_EQ(0, result);
    unpacked.append(reinterpret_cast<const char*>(buffer.data()), size);
  }
  reader.CloseFile();
  ZipFileHeader* next = nullptr;
  EXPECT_EQ(1, reader.OpenCurrentFile(next)) << "exactly one entry";
  reader.CloseZip();
  EXPECT_TRUE(unpacked == image);

  // Info-ZIP and Python's zipfile agree.
  const fs::path zipFile = root_.path() / "stream.zip";
  std::ofstream(zipFile, std::ios::binary) << stream;
  EXPECT_EQ(0, std::system(("unzip -tqq '" + zipFile.string() + "'").c_str()));
  EXPECT_EQ(0, std::system(("python3 -m zipfile -t '" + zipFile.string() + "' >/dev/null").c_str()));
  const fs::path out = root_.path() / "unzipped";
  ASSERT_EQ(0, std::system(("unzip -qq -o '" + zipFile.string() + "' -d '" + out.string() + "'").c_str()));
  ASSERT_EQ(1u, CountEntries(out));
  EXPECT_TRUE(ReadFileBytes(fs::directory_iterator(out)->path()) == image);
}

TEST_F(Db2PluginTest, ReadStateRules) {
  unsigned int handle = 0;
  ASSERT_EQ(0, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Read, handle));
  EXPECT_LE(fwide(stderr, 0), 0) << "the host's narrow stderr must keep working";
  unsigned char buffer[64];
  unsigned int size = sizeof(buffer);
  EXPECT_EQ(1, plugin_->ReadFile(buffer, size, 2));
  EXPECT_EQ(1, plugin_->CloseFile(2));
  size = 0;
  EXPECT_EQ(0, plugin_->ReadFile(buffer, size, 1)) << "an empty read is not the end";
  EXPECT_EQ(0u, size);
  size = sizeof(buffer);
  EXPECT_EQ(1, plugin_->WriteFile(buffer, size, 1)) << "no writes into a backup";
  EXPECT_EQ(0xFFFFFFFFu, size);
  EXPECT_EQ(1, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Read, handle)) << "one file at a time";
  EXPECT_EQ(6, plugin_->SeekFile(1, 10));
  std::string stream;
  EXPECT_EQ(5, ReadAll(stream));
  size = sizeof(buffer);
  EXPECT_EQ(1, plugin_->ReadFile(buffer, size, 1)) << "after the end";
  EXPECT_EQ(0, plugin_->CloseFile(1));
  EXPECT_EQ(1, plugin_->CloseFile(1)) << "nothing open";
  EXPECT_EQ(0u, CountEntries(temp_));

  size = sizeof(buffer);
  EXPECT_EQ(1, plugin_->WriteFile(buffer, size, 1)) << "no file open";
  EXPECT_TRUE(log_.HasLine(LogEvent::Error, L"Error occurred while writing the file"));
  EXPECT_EQ(1, plugin_->OpenFile(L"SAMPLE", static_cast<FileAccessMode::ID>(7), handle));

  CFileAttributes attributes(1, 2, 3, 4, 16, 0xFF);
  EXPECT_EQ(0, plugin_->GetElementAttributes(L"x", attributes));
  EXPECT_EQ(0xF0u, attributes.Mask);
  EXPECT_EQ(128u, attributes.Type);
  EXPECT_EQ(4u, attributes.Size);
  EXPECT_EQ(6, plugin_->MoveFile(L"a", L"b"));
  EXPECT_EQ(0, plugin_->CreateFolder(L"DB2INST1\\NEW"));
  EXPECT_EQ(0, plugin_->DeleteFile(L"DB2INST1\\SAMPLE"));
  EXPECT_TRUE(root_.HasDatabase("SAMPLE"));
}

TEST_F(Db2PluginTest, RestoreBringsTheDatabaseBack) {
  const std::string stream = Backup();
  root_.AddDatabase("SAMPLE", {{"rows", "changed"}, {"extra", "x"}});

  unsigned int handle = 0;
  ASSERT_EQ(0, plugin_->OpenFile(L"DB2INST1\\SAMPLE", FileAccessMode::Write, handle));
  unsigned char buffer[16];
  unsigned int size = sizeof(buffer);
  EXPECT_EQ(1, plugin_->ReadFile(buffer, size, 1)) << "no reads from a restore";
  size = 1;
  EXPECT_EQ(1, plugin_->WriteFile(reinterpret_cast<const unsigned char*>(stream.data()), size, 2));
  EXPECT_EQ(0, WriteAll(stream, 65537));
  EXPECT_EQ(0, plugin_->CloseFile(1)) << log_.AllNarrow();
  EXPECT_EQ(content_, root_.ReadDatabase("SAMPLE"));
  EXPECT_EQ(0u, CountEntries(temp_));
  EXPECT_TRUE(log_.Has(LogEvent::Warning, L"Extracting file: " + temp_.wstring() + L"/db2_"));
}

TEST_F(Db2PluginTest, ArchivesOfOneDeflateStreamStillRestore) {
  // The form of archives written before backups deflated in pieces.
  const fs::path image = ReferenceImagePath("SAMPLE");
  const std::string stream = MakeArchive(image.filename().wstring(), ReadFileBytes(image));
  root_.AddDatabase("SAMPLE", {{"rows", "changed"}});
  EXPECT_EQ(0, Restore(stream)) << log_.AllNarrow();
  EXPECT_EQ(content_, root_.ReadDatabase("SAMPLE"));
}

TEST_F(Db2PluginTest, RestoreCreatesAMissingDatabase) {
  const std::string stream = Backup();
  root_.DropDatabase("SAMPLE");
  EXPECT_EQ(0, Restore(stream, L"SAMPLE"));
  EXPECT_EQ(content_, root_.ReadDatabase("SAMPLE"));
}

TEST_F(Db2PluginTest, FailedDb2CallsGiveTheirMessages) {
  const std::string stream = Backup();
  unsigned int handle = 0;

  root_.Fail("db2Backup", -2044, 1);
  EXPECT_EQ(1, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Read, handle));
  EXPECT_TRUE(log_.Has(LogEvent::Error, L"SQL2044N  The call \"db2Backup\" failed."));
  EXPECT_FALSE(log_.Has(LogEvent::Error, L"failed.\n"));
  EXPECT_EQ(0u, CountEntries(temp_));

  root_.Fail("db2Backup", -2044, 1);
  root_.Fail("sqlaintp_api", -1, 1);
  EXPECT_EQ(1, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Read, handle));
  EXPECT_TRUE(log_.HasLine(LogEvent::Error, L"Backup of database SAMPLE failed."));

  root_.Fail("db2Backup", 0, 1);  // reports success, writes nothing
  EXPECT_EQ(1, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Read, handle));
  EXPECT_TRUE(log_.HasLine(LogEvent::Error, L"Database dump not found"));
  EXPECT_EQ(0u, CountEntries(temp_));

  root_.AddDatabase("SAMPLE", {{"rows", "changed"}});
  const auto changed = root_.ReadDatabase("SAMPLE");
  root_.Fail("db2Restore", -2530, 1);
  EXPECT_EQ(1, Restore(stream));
  EXPECT_TRUE(log_.HasLine(LogEvent::Error, L"Failed to restore database SAMPLE"));
  EXPECT_TRUE(log_.Has(LogEvent::Error, L"SQL2530N"));
  EXPECT_TRUE(log_.Has(LogEvent::Warning, L"Backup file is stored at\t: " + temp_.wstring() + L"/db2_"));
  EXPECT_EQ(changed, root_.ReadDatabase("SAMPLE"));
  ASSERT_EQ(1u, CountEntries(temp_)) << "a failed restore keeps its image";
  EXPECT_EQ(1u, CountEntries(fs::directory_iterator(temp_)->path()));
  fs::remove_all(fs::directory_iterator(temp_)->path());

  root_.DropDatabase("SAMPLE");
  root_.Fail("sqlecrea_api", -1005, 1);
  EXPECT_EQ(1, Restore(stream));
  EXPECT_TRUE(log_.Has(LogEvent::Error, L"SQL1005N"));
  EXPECT_FALSE(root_.HasDatabase("SAMPLE"));
}

TEST_F(Db2PluginTest, UnreadableImageFailsTheBackup) {
  root_.Fail("db2Backup-unreadable", 0, 1);
  unsigned int handle = 0;
  ASSERT_EQ(0, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Read, handle));
  std::string stream;
  EXPECT_EQ(1, ReadAll(stream)) << "never the end of a good archive";
  EXPECT_EQ(1, plugin_->CloseFile(1));
  EXPECT_TRUE(log_.Has(LogEvent::Error, L"Can't read file for packing. Path: "));
  EXPECT_EQ(0u, CountEntries(temp_));
}

TEST_F(Db2PluginTest, DamagedOrTruncatedStreamsAreNeverRestored) {
  const std::string stream = Backup();
  root_.AddDatabase("SAMPLE", {{"rows", "changed"}});
  const auto changed = root_.ReadDatabase("SAMPLE");

  std::string flipped = stream;
  flipped[stream.size() / 2] = static_cast<char>(flipped[stream.size() / 2] ^ 0x55);
  std::string badCrc = stream;
  // CRC field of the data descriptor that follows the deflate data.
  const size_t descriptor = stream.rfind(std::string("PK\x07\x08", 4));
  ASSERT_NE(std::string::npos, descriptor);
  badCrc[descriptor + 4] = static_cast<char>(badCrc[descriptor + 4] ^ 1);
  const std::vector<std::string> bad = {stream.substr(0, stream.size() / 2), flipped, badCrc,
                                        std::string("no archive here")};
  for (size_t i = 0; i < bad.size(); ++i) {
    unsigned int handle = 0;
    ASSERT_EQ(0, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Write, handle));
    (void)WriteAll(bad[i]);
    EXPECT_EQ(1, plugin_->CloseFile(1)) << i;
    EXPECT_EQ(changed, root_.ReadDatabase("SAMPLE")) << i;
    EXPECT_EQ(0u, CountEntries(temp_)) << i;
  }
  EXPECT_TRUE(log_.Has(LogEvent::Error, L"was not restored"));
}

TEST_F(Db2PluginTest, WritesFailOnceTheWorkerGaveUp) {
  // A valid local header followed by data that cannot be inflated.
  std::string stream = MakeArchive(L"SAMPLE.0.DB2INST1.DBPART000.20260101000000.001", "x");
  const size_t headerLength = 30 + 46 + 20;
  stream.resize(headerLength);
  stream += std::string(1024, '\xFF');
  unsigned int handle = 0;
  ASSERT_EQ(0, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Write, handle));
  int result = 0;
  const std::string junk(64 * 1024, '\xFF');
  for (int i = 0; i < 2000 && result == 0; ++i) {
    const std::string& chunk = i == 0 ? stream : junk;
    unsigned int size = static_cast<unsigned int>(chunk.size());
    result = plugin_->WriteFile(reinterpret_cast<const unsigned char*>(chunk.data()), size, 1);
    if (result == 0 && i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(1, result);
  EXPECT_EQ(1, plugin_->CloseFile(1));
  EXPECT_EQ(content_, root_.ReadDatabase("SAMPLE"));
}

TEST_F(Db2PluginTest, EntryNamesMustStayInTheWorkFolder) {
  const std::string image = ReferenceImage("SAMPLE");
  for (const wchar_t* name : {L"../escaped", L"..", L"sub\\file", L"/abs"}) {
    root_.AddDatabase("SAMPLE", {{"rows", "changed"}});
    const auto changed = root_.ReadDatabase("SAMPLE");
    unsigned int handle = 0;
    ASSERT_EQ(0, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Write, handle));
    (void)WriteAll(MakeArchive(name, image));
    EXPECT_EQ(1, plugin_->CloseFile(1)) << std::string(name, name + wcslen(name));
    EXPECT_EQ(changed, root_.ReadDatabase("SAMPLE"));
    EXPECT_FALSE(fs::exists(temp_ / "escaped"));
    EXPECT_EQ(0u, CountEntries(temp_));
  }
  EXPECT_TRUE(log_.Has(LogEvent::Error, L"Invalid file name in the backup stream: "));
}

TEST_F(Db2PluginTest, PathsMustNameADatabase) {
  unsigned int handle = 0;
  for (const wchar_t* path : {L"A\\B\\C", L"", L"..\\SAMPLE", L"DB2INST1\\..", L"TOOLONGNAME",
                              L"DB2INST1\\SA/MPLE", L"\\SAMPLE", L"DB2INST1\\"}) {
    EXPECT_EQ(1, plugin_->OpenFile(path, FileAccessMode::Read, handle)) << path;
    EXPECT_EQ(1, plugin_->OpenFile(path, FileAccessMode::Write, handle)) << path;
    EXPECT_TRUE(log_.HasLine(LogEvent::Error, std::wstring(L"Invalid path: ") + path));
  }
  EXPECT_EQ(0u, CountEntries(temp_));
}

TEST_F(Db2PluginTest, SameDatabaseTwiceInOneSecondFindsItsFolderTaken) {
  auto second = MakePlugin(&log_, link_.get());
  unsigned int handle = 0;
  // A busy machine may cross a second boundary now and then. The folder
  // name takes std::time, whose seconds may trail the system clock's by a
  // tick: only the same clock tells that both opens saw one second.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(0, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Write, handle));
    const int result = second->OpenFile(L"SAMPLE", FileAccessMode::Write, handle);
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(1, plugin_->CloseFile(1));  // empty stream: nothing restored
    if (before != after) {
      if (result == 0) {
        EXPECT_EQ(1, second->CloseFile(1));
      }
      continue;  // crossed a second boundary; try again
    }
    EXPECT_EQ(1, result);
    EXPECT_TRUE(
        log_.Has(LogEvent::Error, L"Can't create temporary directory: " + temp_.wstring() + L"/db2_"));
    return;
  }
}

TEST_F(Db2PluginTest, TempPathValuesAreNormalised) {
  unsigned int handle = 0;
  TempLink bare((temp_ / "sub").wstring());
  auto plugin = MakePlugin(&log_, &bare);
  ASSERT_EQ(0, plugin->OpenFile(L"SAMPLE", FileAccessMode::Write, handle));
  ASSERT_TRUE(fs::is_directory(temp_ / "sub"));
  EXPECT_EQ(1u, CountEntries(temp_ / "sub"));
  EXPECT_EQ(0u, fs::directory_iterator(temp_ / "sub")->path().filename().string().find("db2_"));
  EXPECT_EQ(1, plugin->CloseFile(1));
  EXPECT_EQ(0u, CountEntries(temp_ / "sub"));

  // The agent's link appends "\\" to the configured folder; the work folder is
  // still made there, for the owner only whatever the umask.
  TempLink agent((temp_ / "sub2").wstring() + L"\\");
  plugin = MakePlugin(&log_, &agent);
  const mode_t savedMask = ::umask(0);
  const int opened = plugin->OpenFile(L"SAMPLE", FileAccessMode::Write, handle);
  ::umask(savedMask);
  ASSERT_EQ(0, opened);
  ASSERT_EQ(1u, CountEntries(temp_ / "sub2"));
  const fs::path work = fs::directory_iterator(temp_ / "sub2")->path();
  EXPECT_EQ(0u, work.filename().string().find("db2_"));
  EXPECT_EQ(fs::perms::owner_all, fs::status(work).permissions());
  EXPECT_EQ(1, plugin->CloseFile(1));

  TempLink windows(L"C:\\Temp");
  plugin = MakePlugin(&log_, &windows);
  ASSERT_EQ(0, plugin->OpenFile(L"SAMPLE", FileAccessMode::Write, handle));
  bool found = false;
  for (const auto& e : fs::directory_iterator("/tmp")) {
    found = found || e.path().filename().string().find("_SAMPLE") != std::string::npos;
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(1, plugin->CloseFile(1));
}

TEST_F(Db2PluginTest, EarlyCloseAndDestroyStopTheWorker) {
  root_.AddDatabase("SAMPLE", {{"rows", RandomBytes(8 * 1024 * 1024, 3)}});
  unsigned int handle = 0;
  ASSERT_EQ(0, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Read, handle));
  unsigned char buffer[10];
  unsigned int size = sizeof(buffer);
  ASSERT_EQ(0, plugin_->ReadFile(buffer, size, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the pipe fill
  EXPECT_EQ(1, plugin_->CloseFile(1)) << "the archive was not delivered whole";
  EXPECT_EQ(0u, CountEntries(temp_));

  // Destroyed in the middle of a backup, then of a restore.
  ASSERT_EQ(0, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Read, handle));
  plugin_.reset();
  EXPECT_EQ(0u, CountEntries(temp_));

  plugin_ = MakePlugin(&log_, link_.get());
  const auto before = root_.ReadDatabase("SAMPLE");
  ASSERT_EQ(0, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Write, handle));
  const std::string part =
      MakeArchive(L"SAMPLE.0.DB2INST1.DBPART000.20260101000000.001", RandomBytes(1 << 20, 5));
  size = static_cast<unsigned int>(part.size() / 2);
  EXPECT_EQ(0, plugin_->WriteFile(reinterpret_cast<const unsigned char*>(part.data()), size, 1));
  plugin_.reset();
  EXPECT_EQ(0u, CountEntries(temp_));
  EXPECT_EQ(before, root_.ReadDatabase("SAMPLE"));
}

TEST_F(Db2PluginTest, PipeCreationFailureIsReported) {
  rlimit old{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
  const int probe = dup(0);
  ASSERT_GE(probe, 0);
  close(probe);
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(probe) + 1;  // room for one more descriptor, not two
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));
  unsigned int handle = 0;
  const int result = plugin_->OpenFile(L"SAMPLE", FileAccessMode::Read, handle);
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &old));
  EXPECT_EQ(1, result);
  EXPECT_TRUE(log_.HasLine(LogEvent::Error, L"Internal pipe creation failed."));
  EXPECT_EQ(0u, CountEntries(temp_));
}

}  // namespace

namespace {

size_t CountProc(const char* folder) { return CountEntries(folder); }

class Db2LifecycleTest : public Db2PluginTest {
 protected:
  void SetUp() override {
    Db2PluginTest::SetUp();
    root_.AddDatabase("SAMPLE", {{"rows", RandomBytes(6 * 1024 * 1024, 11)}});
    content_ = root_.ReadDatabase("SAMPLE");
  }
  void ExpectNothingLeft(const std::string& stage) {
    EXPECT_EQ(0u, CountEntries(temp_)) << stage;
    EXPECT_EQ(fds_, CountProc("/proc/self/fd")) << stage;
    // A joined thread may stay listed for a moment while the kernel ends it
    // (longer on a busy machine).
    size_t threads = CountProc("/proc/self/task");
    for (int i = 0; i < 3000 && threads != threads_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      threads = CountProc("/proc/self/task");
    }
    EXPECT_EQ(threads_, threads) << stage;
  }
  void Remember() {
    fds_ = CountProc("/proc/self/fd");
    threads_ = CountProc("/proc/self/task");
  }
  size_t fds_ = 0, threads_ = 0;
};

TEST_F(Db2LifecycleTest, BackupEndsCleanlyAtEveryStage) {
  plugin_.reset();
  Remember();
  unsigned int handle = 0;
  unsigned char buffer[4096];
  for (int stage = 0; stage < 5; ++stage) {
    plugin_ = MakePlugin(&log_, link_.get());
    ASSERT_EQ(0, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Read, handle)) << stage;
    if (stage == 0) {
      EXPECT_EQ(1, plugin_->CloseFile(1)) << "closed before the first read";
    } else if (stage == 2 || stage == 3) {
      unsigned int size = sizeof(buffer);
      ASSERT_EQ(0, plugin_->ReadFile(buffer, size, 1));
      if (stage == 3) {
        std::string rest;
        ASSERT_EQ(5, ReadAll(rest));
      }
    } else if (stage == 4) {
      std::string stream;
      ASSERT_EQ(5, ReadAll(stream));
      EXPECT_EQ(0, plugin_->CloseFile(1));
      // The object serves the next file as a fresh one.
      ASSERT_EQ(0, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Read, handle));
      std::string again;
      ASSERT_EQ(5, ReadAll(again));
      EXPECT_EQ(0, plugin_->CloseFile(1));
    }
    plugin_.reset();  // stages 1-3: destroyed with the file still open
    ExpectNothingLeft("backup stage " + std::to_string(stage));
  }
  EXPECT_EQ(content_, root_.ReadDatabase("SAMPLE"));
}

TEST_F(Db2LifecycleTest, RestoreEndsCleanlyAtEveryStage) {
  const std::string stream = Backup();
  root_.AddDatabase("SAMPLE", {{"rows", "changed"}});
  const auto changed = root_.ReadDatabase("SAMPLE");
  plugin_.reset();
  Remember();
  unsigned int handle = 0;
  for (int stage = 0; stage < 5; ++stage) {
    plugin_ = MakePlugin(&log_, link_.get());
    ASSERT_EQ(0, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Write, handle)) << stage;
    if (stage == 0) {
      EXPECT_EQ(1, plugin_->CloseFile(1)) << "closed before the first write";
    } else if (stage == 2) {
      EXPECT_EQ(0, WriteAll(stream.substr(0, stream.size() / 3)));
    } else if (stage == 3) {
      EXPECT_EQ(0, WriteAll(stream));  // complete, but never closed
    } else if (stage == 4) {
      // Cut inside the data descriptor: the entry cannot be verified.
      const size_t descriptor = stream.rfind(std::string("PK\x07\x08", 4));
      ASSERT_NE(std::string::npos, descriptor);
      EXPECT_EQ(0, WriteAll(stream.substr(0, descriptor + 10)));
      EXPECT_EQ(1, plugin_->CloseFile(1)) << "truncated";
    }
    plugin_.reset();
    ExpectNothingLeft("restore stage " + std::to_string(stage));
    EXPECT_TRUE(changed == root_.ReadDatabase("SAMPLE")) << stage;
  }

  // Trailing bytes after the archive are taken and dropped; the object then
  // serves a backup.
  plugin_ = MakePlugin(&log_, link_.get());
  ASSERT_EQ(0, plugin_->OpenFile(L"SAMPLE", FileAccessMode::Write, handle));
  EXPECT_EQ(0, WriteAll(stream + RandomBytes(3 * 1024 * 1024, 9)));
  EXPECT_EQ(0, plugin_->CloseFile(1)) << log_.AllNarrow();
  EXPECT_TRUE(content_ == root_.ReadDatabase("SAMPLE"));
  const std::string again = Backup();
  plugin_.reset();
  ExpectNothingLeft("restore then backup");
}

}  // namespace

namespace {

// A log whose every line fails, as a log that forwards to a lost peer may.
using zrtest::ThrowingLog;

TEST_F(Db2PluginTest, AFailingLogNeverBreaksAnOperation) {
  ThrowingLog log;
  auto plugin = MakePlugin(&log, link_.get());
  unsigned int handle = 0;
  unsigned char byte = 0;
  unsigned int size = 1;
  EXPECT_EQ(1, plugin->OpenFile(L"A\\B\\C", FileAccessMode::Read, handle));
  EXPECT_EQ(1, plugin->WriteFile(&byte, size, 1));

  // Both workers log from their own thread.
  ASSERT_EQ(0, plugin->OpenFile(L"SAMPLE", FileAccessMode::Read, handle));
  std::string stream;
  std::vector<unsigned char> buffer(1 << 20);
  int result;
  for (;;) {
    size = static_cast<unsigned int>(buffer.size());
    if ((result = plugin->ReadFile(buffer.data(), size, 1)) != 0) break;
    stream.append(reinterpret_cast<const char*>(buffer.data()), size);
  }
  EXPECT_EQ(5, result);
  EXPECT_EQ(0, plugin->CloseFile(1));

  root_.AddDatabase("SAMPLE", {{"rows", "changed"}});
  ASSERT_EQ(0, plugin->OpenFile(L"SAMPLE", FileAccessMode::Write, handle));
  size = static_cast<unsigned int>(stream.size());
  EXPECT_EQ(0, plugin->WriteFile(reinterpret_cast<const unsigned char*>(stream.data()), size, 1));
  EXPECT_EQ(0, plugin->CloseFile(1));
  EXPECT_TRUE(content_ == root_.ReadDatabase("SAMPLE"));

  ASSERT_EQ(0, plugin->OpenFile(L"SAMPLE", FileAccessMode::Write, handle));
  size = 5;
  EXPECT_EQ(0, plugin->WriteFile(reinterpret_cast<const unsigned char*>("junk!"), size, 1));
  EXPECT_EQ(1, plugin->CloseFile(1));
  EXPECT_EQ(0u, CountEntries(temp_));
}

}  // namespace
