// agent_copy_bench: a file with a 1 % change copied from this agent to a peer
// agent process over loopback, where an older copy already lies, so that it
// goes as an rsync delta (CTargetRemoteFS: signature from the peer, delta
// here, patch on the peer); against `rsync -B 2048` of the same file through
// an rsync daemon on loopback onto the same older copy. Then the bytes each
// moved over the connection.
//
//   agent_copy_bench [--rounds N] [--size-mib N] [--rsync path]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Tessarine.hh"
#include "ZavediDedozozuriz.hh"
#include "agent/data/targets/TargetRemoteFS.h"
#include "bench/harness/Bench.h"
#include "bench/harness/RoundStats.h"
#include "bench/remote_copy/CopyInto.h"
#include "tests/coordinator/TestOrb.h"
#include "tests/storage/StoragePeer.h"
#include "tests/support/WideText.h"
#include "tests/support/NullLog.h"

namespace {

using namespace zr;
namespace fs = std::filesystem;

constexpr std::size_t kPiece = 1u << 20;

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string Output(const std::string& command) {
  std::string text;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("failed: " + command);
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  if (::pclose(pipe) != 0) throw std::runtime_error("failed: " + command);
  return text;
}

// The number after `key` in rsync's --stats output (digits with separators).
std::uint64_t StatsNumber(const std::string& text, const std::string& key) {
  const std::size_t at = text.find(key);
  if (at == std::string::npos) throw std::runtime_error("no '" + key + "' in rsync's stats");
  std::uint64_t value = 0;
  for (std::size_t i = at + key.size(); i < text.size() && text[i] != ' ' && text[i] != '\n'; ++i)
    if (text[i] >= '0' && text[i] <= '9') value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  return value;
}

// A free loopback port (taken by the daemon right after; a race the bench accepts).
int FreePort() {
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(socket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("no free port");
  ::close(socket);
  return ntohs(address.sin_port);
}

bool Listening(int port) {
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool connected = ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(socket);
  return connected;
}

// An rsync daemon on 127.0.0.1 serving module "m" (read-write) from `folder`; stopped on destruction.
class RsyncDaemon {
 public:
  RsyncDaemon(const std::string& rsync, const fs::path& base, const fs::path& folder) : port_(FreePort()) {
    const fs::path config = base / "rsyncd.conf";
    std::ofstream(config) << "use chroot = no\nuid = root\ngid = root\n[m]\npath = " << folder.string()
                          << "\nread only = no\n";
    const std::string port = "--port=" + std::to_string(port_);
    const std::string configOption = "--config=" + config.string();
    const std::string log = "--log-file=" + (base / "rsyncd.log").string();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::execl(rsync.c_str(), rsync.c_str(), "--daemon", "--no-detach", "--address=127.0.0.1", port.c_str(),
              configOption.c_str(), log.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int tries = 0; tries < 200 && !Listening(port_); ++tries) ::usleep(50 * 1000);
    if (!Listening(port_)) throw std::runtime_error("the rsync daemon did not come up");
  }
  ~RsyncDaemon() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t Pid() const { return pid_; }
  std::string Url(const std::string& name) const {
    return "rsync://127.0.0.1:" + std::to_string(port_) + "/m/" + name;
  }

 private:
  int port_;
  pid_t pid_ = -1;
};

void WriteFiles(const fs::path& old, const fs::path& changed, std::uint64_t bytes) {
  std::ofstream outOld(old, std::ios::binary);
  std::ofstream outNew(changed, std::ios::binary);
  std::vector<unsigned char> piece(kPiece);
  // One contiguous change of 1 % in the middle.
  const std::uint64_t changeAt = bytes / 2;
  const std::uint64_t changeEnd = changeAt + bytes / 100;
  for (std::uint64_t at = 0; at < bytes; at += kPiece) {
    zrbench::FillRandom(piece.data(), piece.size(), at);
    outOld.write(reinterpret_cast<const char*>(piece.data()), static_cast<std::streamsize>(kPiece));
    for (std::uint64_t i = 0; i < kPiece; ++i)
      if (at + i >= changeAt && at + i < changeEnd) piece[i] ^= 0x5a;
    outNew.write(reinterpret_cast<const char*>(piece.data()), static_cast<std::streamsize>(kPiece));
  }
}

// Writes `source` to `path` on the peer as a write open that allows a delta.
void CopyToPeer(CTargetRemoteFS& target, const std::string& source, const std::wstring& path) {
  zrbench::FileSystemOpen open{target, true};
  zrbench::CopyInto(open, source, path);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    zrbench::CArgs args(argc, argv);
    args.RequireKnown({"rounds", "size-mib", "rsync"});
    const int rounds = static_cast<int>(args.Number("rounds", 5));
    const std::uint64_t bytes = args.Number("size-mib", 256) << 20;
    const std::string rsync = args.Text("rsync", ZR_RSYNC);
    zrbench::CScratchFolder scratch("agent-copy-bench");
    const fs::path base = scratch.Path();
    const fs::path old = base / "old.bin";
    const fs::path changed = base / "new.bin";
    WriteFiles(old, changed, bytes);
    fs::create_directories(base / "rsync");
    RsyncDaemon daemon(rsync, base, base / "rsync");

    zrtest::WriteAgentSettings(base / "home", true);
    CSettings settings(L"/nonexistent", zrtest::Wide((base / "home").string()));
    settings.Load();
    zrtest::NullLog log;
    CORBA::ORB_var orb = zrtest::InitTestOrb();
    zrtest::StoragePeer peer(base / "peer", true);
    ZavediDedozozuriz::IDLBackupDataWrite_var writer = peer.Writer(orb);
    CTargetRemoteFS remote(Tessarine::Session::_nil(), &log, writer, &settings);

    const std::string rsyncCommand = "'" + rsync + "' -B 2048 -I --no-whole-file --stats '" +
                                     changed.string() + "' '" + daemon.Url("copy.bin") + "'";
    const fs::path peerCopy = peer.Root() / "copy.bin";
    zrbench::CRoundStats rsyncStats({daemon.Pid()}), agentStats({peer.Pid()});
    zrbench::Figure figure{
        "delta copy of " + std::to_string(bytes >> 20) + " MiB, 1 % changed: rsync vs agents",
        bytes,
        {},
        {},
        false};
    figure.anchor.prepare = [&] {
      fs::copy_file(old, base / "rsync" / "copy.bin", fs::copy_options::overwrite_existing);
    };
    figure.anchor.run = rsyncStats.Wrap([&] { Run(rsyncCommand + " > /dev/null"); });
    figure.ours.prepare = [&] { fs::copy_file(old, peerCopy, fs::copy_options::overwrite_existing); };
    figure.ours.run = agentStats.Wrap([&] { CopyToPeer(remote, changed.string(), L"TestFolder\\copy.bin"); });
    const std::string loadBefore = zrbench::LoadAverage();
    zrbench::RunFigures({figure}, rounds);
    const std::string loadAfter = zrbench::LoadAverage();

    // Once more, untimed: what crossed, and whether both results are the new file.
    figure.anchor.prepare();
    const std::string stats = Output(rsyncCommand);
    figure.ours.prepare();
    peer.ClearCalls();
    CopyToPeer(remote, changed.string(), L"TestFolder\\copy.bin");
    std::uint64_t sent = 0, received = 0;
    for (const auto& call : peer.Calls()) {
      if (call.operation == "WriteFile") sent += call.bytes;
      if (call.operation == "ReadFile") received += call.bytes;
    }
    Run("cmp -s '" + changed.string() + "' '" + peerCopy.string() + "'");
    Run("cmp -s '" + changed.string() + "' '" + (base / "rsync" / "copy.bin").string() + "'");
    std::cout << "  rsync: " << rsyncStats.Text() << "\n  agents: " << agentStats.Text()
              << "\n  bytes moved: rsync sent " << StatsNumber(stats, "Total bytes sent: ") << ", received "
              << StatsNumber(stats, "Total bytes received: ") << "; agents: payload sent " << sent
              << " (delta), received " << received << " (signature)\n  load average before: " << loadBefore
              << ", after: " << loadAfter << std::endl;
    orb->destroy();
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "agent_copy_bench: " << error.what() << std::endl;
    return 1;
  }
}
