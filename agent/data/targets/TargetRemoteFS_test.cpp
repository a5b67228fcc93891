#include "agent/data/targets/TargetRemoteFS.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <thread>

#include "agent/data/hosting/testing/HostingFixture.h"
#include "tests/storage/StoragePeer.h"

namespace {

using namespace zr;

namespace Z = ZavediDedozozuriz;
using zrtest::StoragePeer;

std::wstring Text(const CORBA::WChar* text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

// A peer in this process whose answers the test scripts; it records each
// call with the sizes it saw.
class ScriptedPeer final : public POA_ZavediDedozozuriz::IDLBackupDataWrite {
 public:
  struct Seen {
    std::string operation;
    std::wstring path;
    CORBA::ULong length;  // data.length() of ReadFile / WriteFile
    CORBA::ULong size;    // size on entry
  };
  Z::IDLErrorID result = Z::SUCCESS;  // of every operation
  // ReadFile: the count it reports (-1: the count asked for) and how many
  // bytes it puts into the sequence.
  long reportedCount = -1;
  Z::IDLErrorID patchingResult = Z::SUCCESS;
  // WriteFile: the count it reports taken (-1: all it was sent).
  long takenCount = -1;
  bool raise = false;
  std::vector<Seen> seen;

  std::vector<std::string> Operations() const {
    std::vector<std::string> names;
    for (const Seen& call : seen) names.push_back(call.operation);
    return names;
  }

  Z::IDLErrorID SetRoot(const CORBA::WChar* path) override { return Answer("SetRoot", path); }
  Z::IDLErrorID GetListing(const CORBA::WChar* path, Z::List_out entries) override {
    entries = new Z::List;
    entries->length(1);
    (*entries)[0].Attrs = Attributes();
    (*entries)[0].Name = CORBA::wstring_dup(L"n\u00e4me");
    (*entries)[0].Info = CORBA::wstring_dup(L"info");
    return Answer("GetListing", path);
  }
  Z::IDLErrorID GetElementAttributes(const CORBA::WChar* path, Z::Attributes& attributes) override {
    attributes = Attributes();
    return Answer("GetElementAttributes", path);
  }
  CORBA::Boolean IsPathExists(const CORBA::WChar* path) override { return Answer("IsPathExists", path) == 0; }
  Z::IDLErrorID OpenFile(const CORBA::WChar* path, Z::FileAccessMode mode, CORBA::ULong& handle) override {
    handle = 9;
    return Answer(mode == Z::Write ? "OpenFileWrite" : "OpenFileRead", path);
  }
  Z::IDLErrorID OpenFileSignature(const CORBA::WChar* path, CORBA::ULong& handle) override {
    handle = 10;
    return Answer("OpenFileSignature", path);
  }
  Z::IDLErrorID OpenFilePatch(const CORBA::WChar* base, const CORBA::WChar*, CORBA::ULong& handle) override {
    handle = 11;
    return Answer("OpenFilePatch", base);
  }
  Z::IDLErrorID ReadFile(Tessarine::BinaryData& data, CORBA::ULong& size, CORBA::ULong) override {
    seen.push_back({"ReadFile", L"", data.length(), size});
    if (raise) throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    if (result != Z::SUCCESS) return result;
    const CORBA::ULong count = reportedCount < 0 ? size : static_cast<CORBA::ULong>(reportedCount);
    for (CORBA::ULong i = 0; i < std::min(count, data.length()); ++i) data[i] = static_cast<CORBA::Octet>(i);
    size = count;
    return Z::SUCCESS;
  }
  Z::IDLErrorID CloseFile(CORBA::ULong) override { return Answer("CloseFile", nullptr); }
  void OnStop() override {}
  Z::IDLErrorID BeginTransaction() override { return Answer("BeginTransaction", nullptr); }
  Z::IDLErrorID CommitTransaction() override { return Answer("CommitTransaction", nullptr); }
  Z::IDLErrorID OpenFilePatching(const CORBA::WChar* base, const CORBA::WChar*,
                                 CORBA::ULong& handle) override {
    handle = 12;
    Answer("OpenFilePatching", base);
    return patchingResult;
  }
  Z::IDLErrorID WriteFile(const Tessarine::BinaryData& data, CORBA::ULong& size, CORBA::ULong) override {
    seen.push_back({"WriteFile", L"", data.length(), size});
    if (raise) throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    if (takenCount >= 0) size = static_cast<CORBA::ULong>(takenCount);
    return result;
  }
  Z::IDLErrorID SetElementAttributes(const CORBA::WChar* path, const Z::Attributes& attributes) override {
    lastSet = attributes;
    return Answer("SetElementAttributes", path);
  }
  Z::IDLErrorID CreateFolder(const CORBA::WChar* path) override { return Answer("CreateFolder", path); }
  Z::IDLErrorID DeleteFolder(const CORBA::WChar* path) override { return Answer("DeleteFolder", path); }
  Z::IDLErrorID DeleteFile(const CORBA::WChar* path) override { return Answer("DeleteFile", path); }

  Z::Attributes lastSet;

 private:
  static Z::Attributes Attributes() {
    Z::Attributes attributes;
    attributes.Creation = 0x100000005ull;
    attributes.LastAccess = 0xffffffffffffffffull;
    attributes.Modification = 7;
    attributes.Size = 1ll << 33;
    attributes.Type = 128;
    attributes.Mask = 15;
    attributes.CustomAttr = CORBA::wstring_dup(L"ca");
    return attributes;
  }
  Z::IDLErrorID Answer(const char* operation, const CORBA::WChar* path) {
    seen.push_back({operation, Text(path), 0, 0});
    if (raise) throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    return result;
  }
};

class TargetRemoteFSTest : public hostingtest::HostingFixture {
 protected:
  void SetUp() override {
    HostingFixture::SetUp();
    zrtest::WriteAgentSettings(base_ / "on", true);
    zrtest::WriteAgentSettings(base_ / "off", false);
    deltaOn_ = std::make_unique<CSettings>(L"/nonexistent", (base_ / "on").wstring());
    deltaOff_ = std::make_unique<CSettings>(L"/nonexistent", (base_ / "off").wstring());
    deltaOn_->Load();
    deltaOff_->Load();
    ASSERT_TRUE(deltaOn_->GetUseDeltaCopying());
    ASSERT_FALSE(deltaOff_->GetUseDeltaCopying());
  }
  void TearDown() override {
    if (scripted_ != nullptr) {
      PortableServer::POA_var poa = scripted_->_default_POA();
      PortableServer::ObjectId_var id = poa->servant_to_id(scripted_);
      poa->deactivate_object(id);
      scripted_->_remove_ref();
    }
    HostingFixture::TearDown();
  }
  Z::IDLBackupDataWrite_ptr Scripted() {
    scripted_ = new ScriptedPeer;
    return scripted_->_this();
  }
  std::unique_ptr<zr::CTargetRemoteFS> Target(Z::IDLBackupDataWrite_ptr peer, bool delta,
                                              CORBA::ULong timeoutMs = zr::CTargetRemoteFS::kCallTimeoutMs) {
    return std::make_unique<zr::CTargetRemoteFS>(Tessarine::Session::_nil(), &log_, peer,
                                                 delta ? deltaOn_.get() : deltaOff_.get(), timeoutMs);
  }

  std::unique_ptr<CSettings> deltaOn_, deltaOff_;
  ScriptedPeer* scripted_ = nullptr;
};

TEST_F(TargetRemoteFSTest, ReadsAreSizedToTheRequestAndCheckedOnReturn) {
  Z::IDLBackupDataWrite_var peer = Scripted();
  auto target = Target(peer, false);
  std::vector<unsigned char> buffer(3u << 20);
  unsigned int size = 100;
  ASSERT_EQ(0, target->ReadFile(buffer.data(), size, 9));
  EXPECT_EQ(100u, size);
  EXPECT_EQ(100u, scripted_->seen.back().length);
  // Never more than one chunk per call.
  size = 3u << 20;
  ASSERT_EQ(0, target->ReadFile(buffer.data(), size, 9));
  EXPECT_EQ(zr::CTargetRemoteFS::kChunkBytes, scripted_->seen.back().length);
  EXPECT_EQ(zr::CTargetRemoteFS::kChunkBytes, size);
  // Signature reads ask for kSignatureReadBytes at most.
  size = 3u << 20;
  ASSERT_EQ(0, target->ReadFileSignature(buffer.data(), size, 10));
  EXPECT_EQ(zr::CTargetRemoteFS::kSignatureReadBytes, scripted_->seen.back().length);
  EXPECT_EQ(zr::CTargetRemoteFS::kSignatureReadBytes, scripted_->seen.back().size);
  // A short delivery is passed on.
  scripted_->reportedCount = 40;
  size = 100;
  ASSERT_EQ(0, target->ReadFile(buffer.data(), size, 9));
  EXPECT_EQ(40u, size);
  EXPECT_EQ(39, buffer[39]);
  // More than asked for, or nothing with success: a failure, not a spin.
  scripted_->reportedCount = 101;
  size = 100;
  EXPECT_EQ(1, target->ReadFile(buffer.data(), size, 9));
  EXPECT_EQ(0u, size);
  scripted_->reportedCount = 0;
  size = 100;
  EXPECT_EQ(1, target->ReadFile(buffer.data(), size, 9));
  scripted_->reportedCount = -1;
  scripted_->result = Z::HANDLE_EOF;
  size = 100;
  EXPECT_EQ(5, target->ReadFile(buffer.data(), size, 9));
  EXPECT_EQ(0u, size);
}

TEST_F(TargetRemoteFSTest, StatusesExceptionsAndConversions) {
  Z::IDLBackupDataWrite_var peer = Scripted();
  auto target = Target(peer, false);
  for (Z::IDLErrorID code : {Z::CRITICAL, Z::SESSION_LIMIT, Z::STOPPED}) {
    scripted_->result = code;
    EXPECT_EQ(1, target->CreateFolder(L"x"));
  }
  scripted_->result = Z::DISK_FULL;
  EXPECT_EQ(7, target->DeleteFile(L"x"));
  scripted_->result = Z::SUCCESS;
  scripted_->raise = true;
  unsigned int handle = 0;
  EXPECT_EQ(1, target->OpenFile(L"x", FileAccessMode::Read, handle, true));
  EXPECT_EQ(1, target->CommitTransaction());
  scripted_->raise = false;

  std::list<CFileInfo> entries;
  ASSERT_EQ(0, target->GetListing(L"x", entries));
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(L"n\u00e4me", entries.front().Name);
  EXPECT_EQ(L"info", entries.front().Info);
  EXPECT_EQ(5, entries.front().Attrs.Creation);
  EXPECT_EQ(-1, entries.front().Attrs.LastAccess);
  EXPECT_EQ(1ull << 33, entries.front().Attrs.Size);
  scripted_->result = Z::PATH_NOT_FOUND;
  EXPECT_EQ(3, target->GetListing(L"x", entries));
  EXPECT_EQ(1u, entries.size());
  scripted_->result = Z::SUCCESS;
  CFileAttributes attributes(-1, 2, 3, 4, 128, 15);
  ASSERT_EQ(0, target->SetElementAttributes(L"x", attributes));
  EXPECT_EQ(0xffffffffffffffffull, scripted_->lastSet.Creation);

  // A nil reference is not checked here: every call fails, nothing crashes.
  auto nil = Target(Z::IDLBackupDataWrite::_nil(), false);
  EXPECT_EQ(1, nil->CreateFolder(L"x"));
  EXPECT_EQ(1, nil->OpenFile(L"x", FileAccessMode::Read, handle, true));

  // Writes go in chunks of at most 1 MiB.
  std::vector<unsigned char> data((5u << 20) / 2);
  unsigned int size = static_cast<unsigned int>(data.size());
  scripted_->seen.clear();
  ASSERT_EQ(0, target->WriteFile(data.data(), size, 9));
  EXPECT_EQ(data.size(), size);
  ASSERT_EQ(3u, scripted_->seen.size());
  EXPECT_EQ(1u << 20, scripted_->seen[0].length);
  EXPECT_EQ(1u << 19, scripted_->seen[2].size);
}

TEST_F(TargetRemoteFSTest, WritesReportWhatThePeerTook) {
  Z::IDLBackupDataWrite_var peer = Scripted();
  auto target = Target(peer, false);
  std::vector<unsigned char> data((5u << 20) / 2);
  // Less than one chunk: that count, and no further call for the rest.
  scripted_->takenCount = 1000;
  unsigned int size = static_cast<unsigned int>(data.size());
  ASSERT_EQ(0, target->WriteFile(data.data(), size, 9));
  EXPECT_EQ(1000u, size);
  EXPECT_EQ((std::vector<std::string>{"WriteFile"}), scripted_->Operations());
  size = 100;
  scripted_->takenCount = 40;
  ASSERT_EQ(0, target->WriteFile(data.data(), size, 9));
  EXPECT_EQ(40u, size);
  // More than it was sent is not believed.
  size = 100;
  scripted_->takenCount = 5000;
  ASSERT_EQ(0, target->WriteFile(data.data(), size, 9));
  EXPECT_EQ(100u, size);
}

TEST_F(TargetRemoteFSTest, WriteOpensChooseThePlainOrTheDeltaPath) {
  Z::IDLBackupDataWrite_var peer = Scripted();
  unsigned int handle = 0;
  {
    auto target = Target(peer, false);
    ASSERT_EQ(0, target->OpenFile(L"f", FileAccessMode::Write, handle, true));
    EXPECT_EQ((std::vector<std::string>{"OpenFileWrite"}), scripted_->Operations());
    ASSERT_EQ(0, target->CloseFile(handle));
  }
  scripted_->seen.clear();
  {
    // Delta on, but the peer cannot patch: the signature stream is closed
    // again and the file is written plainly.
    auto target = Target(peer, true);
    scripted_->patchingResult = Z::NOT_SUPPORTED;
    ASSERT_EQ(0, target->OpenFile(L"f", FileAccessMode::Write, handle, true));
    EXPECT_EQ((std::vector<std::string>{"GetElementAttributes", "OpenFileSignature", "OpenFilePatching",
                                        "CloseFile", "OpenFileWrite"}),
              scripted_->Operations());
    EXPECT_EQ(9u, handle);
    scripted_->seen.clear();
    // Not allowed by the caller (index records), or a read: plain.
    ASSERT_EQ(0, target->OpenFile(L"f", FileAccessMode::Write, handle, false));
    ASSERT_EQ(0, target->OpenFile(L"f", FileAccessMode::Read, handle, true));
    EXPECT_EQ((std::vector<std::string>{"OpenFileWrite", "OpenFileRead"}), scripted_->Operations());
    // Patching with equal paths patches on the peer; with different paths
    // the delta itself is written.
    scripted_->seen.clear();
    scripted_->patchingResult = Z::SUCCESS;
    ASSERT_EQ(0, target->OpenFilePatching(L"b", L"b", handle));
    ASSERT_EQ(0, target->OpenFilePatching(L"b", L"p", handle));
    EXPECT_EQ((std::vector<std::string>{"OpenFilePatching", "OpenFileWrite"}), scripted_->Operations());
    EXPECT_EQ(L"p", scripted_->seen.back().path);
  }
}

// --- Through a second process ----------------------------------------------

class TwoProcessTest : public TargetRemoteFSTest {
 protected:
  static std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
  }
  static std::string FileText(const std::filesystem::path& file) { return ReadFileText(file); }
  // Writes `data` to `path` through `target` in 64 KiB pieces.
  static int Store(zr::IFileSystem& target, const std::wstring& path, const std::string& data) {
    unsigned int handle = 0;
    const int opened = target.OpenFile(path, FileAccessMode::Write, handle, true);
    if (opened != 0) return opened;
    for (size_t at = 0; at < data.size(); at += 65536) {
      unsigned int size = static_cast<unsigned int>(std::min<size_t>(65536, data.size() - at));
      const int written =
          target.WriteFile(reinterpret_cast<const unsigned char*>(data.data() + at), size, handle);
      if (written != 0) {
        (void)target.CloseFile(handle);
        return written;
      }
    }
    return target.CloseFile(handle);
  }
  // Bytes the peer's calls of `operation` carried.
  static unsigned long Payload(const std::vector<StoragePeer::Call>& calls, const std::string& operation) {
    unsigned long bytes = 0;
    for (const auto& call : calls)
      if (call.operation == operation) bytes += call.bytes;
    return bytes;
  }
  static bool Has(const std::vector<StoragePeer::Call>& calls, const std::string& operation) {
    for (const auto& call : calls)
      if (call.operation == operation) return true;
    return false;
  }
};

TEST_F(TwoProcessTest, DeltaPayloadsOverLoopback) {
  StoragePeer peer(base_ / "peer", true);
  Z::IDLBackupDataWrite_var writer = peer.Writer(hostingtest::Orb());
  const size_t size = 1u << 20;
  const std::string original = RandomBytes(size, 1);
  std::ofstream(peer.Root() / "f.bin", std::ios::binary) << original;

  // Delta copying off on this side: a plain write.
  {
    auto target = Target(writer, false);
    ASSERT_EQ(0, Store(*target, L"TestFolder\\f.bin", original));
    EXPECT_FALSE(Has(peer.Calls(), "OpenFileSignature"));
    EXPECT_EQ(size, Payload(peer.Calls(), "WriteFile"));
  }
  peer.ClearCalls();
  auto target = Target(writer, true);
  // Unchanged: the signature comes back, next to no delta goes out.
  ASSERT_EQ(0, Store(*target, L"TestFolder\\f.bin", original));
  auto calls = peer.Calls();
  ASSERT_TRUE(Has(calls, "OpenFileSignature"));
  const unsigned long signature = Payload(calls, "ReadFile");
  const unsigned long unchanged = Payload(calls, "WriteFile");
  EXPECT_EQ(12u + 12u * ((size + 2047) / 2048), signature);
  EXPECT_LT(unchanged, 64u);
  EXPECT_EQ(original, FileText(peer.Root() / "f.bin"));

  // One contiguous 1 % change and a 100-byte insertion.
  std::string changed = original;
  const std::string change = RandomBytes(size / 100, 2);
  changed.replace(size / 3, change.size(), change);
  changed.insert(2 * size / 3, RandomBytes(100, 3));
  peer.ClearCalls();
  ASSERT_EQ(0, Store(*target, L"TestFolder\\f.bin", changed));
  const unsigned long delta = Payload(peer.Calls(), "WriteFile");
  EXPECT_LT(delta, size / 50);
  EXPECT_GT(delta, size / 100);
  EXPECT_EQ(changed, FileText(peer.Root() / "f.bin"));
  std::cout << "payload: file " << size << " signature " << signature << " unchanged delta " << unchanged
            << " changed delta " << delta << " (" << (100.0 * delta / size) << " %)" << std::endl;

  // A difference copy: the delta against the base is stored as its own file
  // and read back rebuilt.
  unsigned int handle = 0;
  ASSERT_EQ(
      0, target->OpenFilePatch(L"TestFolder\\f.bin", L"TestFolder\\d.delta", FileAccessMode::Write, handle));
  const std::string newer = changed + "tail";
  unsigned int count = static_cast<unsigned int>(newer.size());
  ASSERT_EQ(0, target->WriteFile(reinterpret_cast<const unsigned char*>(newer.data()), count, handle));
  ASSERT_EQ(0, target->CloseFile(handle));
  EXPECT_EQ(changed, FileText(peer.Root() / "f.bin"));
  EXPECT_LT(std::filesystem::file_size(peer.Root() / "d.delta"), 1024u);
  ASSERT_EQ(
      0, target->OpenFilePatch(L"TestFolder\\f.bin", L"TestFolder\\d.delta", FileAccessMode::Read, handle));
  std::string rebuilt;
  std::vector<unsigned char> buffer(100000);
  for (;;) {
    unsigned int got = static_cast<unsigned int>(buffer.size());
    if (target->ReadFile(buffer.data(), got, handle) != 0) break;
    rebuilt.append(reinterpret_cast<const char*>(buffer.data()), got);
  }
  EXPECT_EQ(0, target->CloseFile(handle));
  EXPECT_EQ(newer, rebuilt);
}

TEST_F(TwoProcessTest, PeerWithoutDeltaCopyingKeepsItsThreadCountFlat) {
  StoragePeer peer(base_ / "peer", false);
  Z::IDLBackupDataWrite_var writer = peer.Writer(hostingtest::Orb());
  auto target = Target(writer, true);
  // Warm up: connections and the ORB's worker threads settle.
  for (int i = 0; i < 50; ++i)
    ASSERT_EQ(0, Store(*target, L"TestFolder\\small", "warm " + std::to_string(i)));
  // Only the peer's delta workers are counted: the ORB's threads come and go.
  const int before = peer.WorkerCount();
  std::vector<int> samples;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(0, Store(*target, L"TestFolder\\small", "write " + std::to_string(i)));
    if (i % 250 == 249) samples.push_back(peer.WorkerCount());
  }
  std::cout << "peer delta workers: before " << before << ", after 250/500/750/1000 writes";
  for (int count : samples) std::cout << " " << count;
  std::cout << std::endl;
  // A worker left behind per write would add hundreds.
  EXPECT_EQ(0, before);
  EXPECT_EQ(std::vector<int>(4, before), samples);
  EXPECT_EQ("write 999", FileText(peer.Root() / "small"));
  // Every write went the plain way after the peer refused to patch.
  const auto calls = peer.Calls();
  int refused = 0;
  for (const auto& call : calls) {
    if (call.operation != "OpenFilePatching") continue;
    EXPECT_EQ(6u, call.bytes);
    ++refused;
  }
  EXPECT_EQ(1049, refused);
}

TEST_F(TwoProcessTest, KilledPeerFailsAtOnceStoppedPeerAfterTheTimeOut) {
  const std::string data = RandomBytes(1u << 20, 4);
  {
    // A time-out far above what a dead peer takes to fail, even in a busy
    // sanitizer build: failing before half of it is failing at once.
    StoragePeer peer(base_ / "killed", false);
    Z::IDLBackupDataWrite_var writer = peer.Writer(hostingtest::Orb());
    auto target = Target(writer, false, 60000);
    unsigned int handle = 0;
    ASSERT_EQ(0, target->OpenFile(L"TestFolder\\k", FileAccessMode::Write, handle, true));
    unsigned int size = 65536;
    ASSERT_EQ(0, target->WriteFile(reinterpret_cast<const unsigned char*>(data.data()), size, handle));
    peer.Kill();
    const auto start = std::chrono::steady_clock::now();
    size = 65536;
    EXPECT_EQ(1, target->WriteFile(reinterpret_cast<const unsigned char*>(data.data()), size, handle));
    EXPECT_EQ(1, target->CloseFile(handle));
    const auto failed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(failed, std::chrono::milliseconds(30000));
    std::cout << "killed peer: write and close failed after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(failed).count() << " ms" << std::endl;
  }
  {
    StoragePeer peer(base_ / "stopped", false);
    Z::IDLBackupDataWrite_var writer = peer.Writer(hostingtest::Orb());
    auto target = Target(writer, false, 2000);
    unsigned int handle = 0;
    ASSERT_EQ(0, target->OpenFile(L"TestFolder\\s", FileAccessMode::Write, handle, true));
    unsigned int size = 65536;
    ASSERT_EQ(0, target->WriteFile(reinterpret_cast<const unsigned char*>(data.data()), size, handle));
    peer.Pause();
    const auto start = std::chrono::steady_clock::now();
    size = static_cast<unsigned int>(data.size());
    EXPECT_EQ(1, target->WriteFile(reinterpret_cast<const unsigned char*>(data.data()), size, handle));
    const auto waited = std::chrono::steady_clock::now() - start;
    // After the 2 s time-out, with room for a busy sanitizer build.
    EXPECT_GE(waited, std::chrono::milliseconds(1500));
    EXPECT_LT(waited, std::chrono::milliseconds(2000) + std::chrono::seconds(20));
    std::cout << "stopped peer: write failed after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms" << std::endl;
  }
}

}  // namespace
