// remote_copy_bench: a file written through CTargetRemoteFS to a peer agent
// process over loopback, against a bare loopback TCP stream of the same bytes
// into a file and against cp of the same file; and the same file
// through CTargetLocalFS plainly, through the per-file XOR filter and
// through the many-to-one pack filter, against cp as well.
//
//   remote_copy_bench [--rounds N] [--size-mib N]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Tessarine.hh"
#include "ZavediDedozozuriz.hh"
#include "agent/data/filters/FiltersPipe.h"
#include "agent/data/targets/TargetLocalFS.h"
#include "agent/data/targets/TargetRemoteFS.h"
#include "bench/harness/Bench.h"
#include "bench/harness/RoundStats.h"
#include "bench/remote_copy/CopyInto.h"
#include "tests/coordinator/TestOrb.h"
#include "tests/plugins/PluginControl.h"
#include "tests/storage/StoragePeer.h"
#include "tests/support/WideText.h"
#include "tests/support/NullLog.h"

namespace {

using namespace zr;

constexpr size_t kPiece = 1u << 20;

void RunCp(const std::string& from, const std::string& to) {
  const std::string command = "cp '" + from + "' '" + to + "'";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("cp failed");
}

void SendAll(int socket, const void* data, std::size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(socket, at, size, 0);
    if (n <= 0) throw std::runtime_error("tcp send");
    at += n;
    size -= static_cast<std::size_t>(n);
  }
}

// The bare-stream anchors: a forked receiver writes each connection's bytes
// to a file and answers one byte once the file is closed; the sender reads
// the source in 1 MiB pieces and never waits between them or, in step,
// sends each piece with its length and waits until the receiver has
// written it (what one call at a time, in order, allows at best).
class TcpSink {
 public:
  explicit TcpSink(const std::string& file) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("tcp listen");
    address_ = address;
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) Serve(file);
    ::close(listener_);
  }
  ~TcpSink() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t Pid() const { return pid_; }

  void Send(const std::string& source, bool inStep) {
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket < 0 || ::connect(socket, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) != 0)
      throw std::runtime_error("tcp connect");
    const char mode = inStep ? 'A' : 'S';
    SendAll(socket, &mode, 1);
    const int in = ::open(source.c_str(), O_RDONLY);
    std::vector<char> piece(kPiece);
    for (;;) {
      const ssize_t got = ::read(in, piece.data(), piece.size());
      if (got <= 0) break;
      if (inStep) {
        const uint32_t length = static_cast<uint32_t>(got);
        SendAll(socket, &length, sizeof length);
      }
      SendAll(socket, piece.data(), static_cast<std::size_t>(got));
      char written = 0;
      if (inStep && ::recv(socket, &written, 1, MSG_WAITALL) != 1) throw std::runtime_error("tcp piece ack");
    }
    ::close(in);
    if (inStep) {
      const uint32_t end = 0;
      SendAll(socket, &end, sizeof end);
    }
    ::shutdown(socket, SHUT_WR);
    char ack = 0;
    const bool acknowledged = ::recv(socket, &ack, 1, 0) == 1;
    ::close(socket);
    if (!acknowledged) throw std::runtime_error("tcp ack");
  }

 private:
  [[noreturn]] void Serve(const std::string& file) {
    std::vector<char> piece(kPiece);
    for (;;) {
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) ::_exit(1);
      const int out = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      char mode = 0;
      if (::recv(connection, &mode, 1, MSG_WAITALL) != 1) ::_exit(1);
      for (;;) {
        uint32_t length = static_cast<uint32_t>(piece.size());
        if (mode == 'A' && (::recv(connection, &length, sizeof length, MSG_WAITALL) != sizeof length ||
                            length > piece.size()))
          ::_exit(1);
        if (length == 0) break;
        const ssize_t got = ::recv(connection, piece.data(), length, mode == 'A' ? MSG_WAITALL : 0);
        if (got <= 0) break;
        if (::write(out, piece.data(), static_cast<std::size_t>(got)) != got) ::_exit(1);
        const char written = 1;
        if (mode == 'A' && ::send(connection, &written, 1, 0) != 1) ::_exit(1);
      }
      ::close(out);
      const char ack = 1;
      if (::send(connection, &ack, 1, 0) != 1) ::_exit(1);
      ::close(connection);
    }
  }

  int listener_ = -1;
  sockaddr_in address_{};
  pid_t pid_ = -1;
};

using zrtest::Wide;

}  // namespace

int main(int argc, char** argv) {
  try {
    zrbench::CArgs args(argc, argv);
    args.RequireKnown({"rounds", "size-mib"});
    const int rounds = static_cast<int>(args.Number("rounds", 5));
    const std::uint64_t bytes = args.Number("size-mib", 256) << 20;
    zrbench::CScratchFolder scratch("remote-copy-bench");
    const std::filesystem::path base = scratch.Path();

    const std::string source = (base / "source.bin").string();
    {
      std::vector<unsigned char> piece(kPiece);
      std::ofstream out(source, std::ios::binary);
      for (std::uint64_t at = 0; at < bytes; at += kPiece) {
        zrbench::FillRandom(piece.data(), piece.size(), at);
        out.write(reinterpret_cast<const char*>(piece.data()), static_cast<std::streamsize>(kPiece));
      }
    }

    // This process: its own settings (delta copying off: a new file is
    // written plainly anyway) and the folder plug-in over base/local.
    zrtest::WriteAgentSettings(base / "home", false);
    CSettings settings(L"/nonexistent", Wide((base / "home").string()));
    settings.Load();
    std::filesystem::create_directories(base / "local");
    std::filesystem::create_directories(base / "Plugins");
    std::filesystem::create_directories(base / "Filters");
    ::setenv("ZRTEST_FOLDER_ROOT", (base / "local").c_str(), 1);
    zrtest::InstallLibrary(ZRTEST_FOLDER_PATH, base / "Plugins", "folder.so");
    zrtest::InstallLibrary(ZRTEST_XORFILTER_PATH, base / "Filters", "xor.so");
    zrtest::InstallLibrary(ZRTEST_PACKFILTER_PATH, base / "Filters", "pack.so");
    zrtest::NullLog log;
    std::wstreambuf* old = std::wcerr.rdbuf(nullptr);
    CExtensionLoader loader(L"bench", Wide((base / "Plugins").string() + "/"),
                            Wide((base / "Filters").string() + "/"));
    std::wcerr.rdbuf(old);

    // Forked before the ORB starts any thread.
    const std::string tcpTarget = (base / "tcp.bin").string();
    TcpSink sink(tcpTarget);

    CORBA::ORB_var orb = zrtest::InitTestOrb();
    zrtest::StoragePeer peer(base / "peer", false);
    ZavediDedozozuriz::IDLBackupDataWrite_var writer = peer.Writer(orb);
    zr::CTargetRemoteFS remote(Tessarine::Session::_nil(), &log, writer, &settings);
    zr::CTargetLocalFS local(Tessarine::Session::_nil(), &log, &loader, &settings);
    zr::CFiltersPipe perFile(&local, std::vector<std::wstring>{L"xor"}, L"backup", Tessarine::Session::_nil(),
                             &log, &loader, false);
    zr::CFiltersPipe packed(&local, std::vector<std::wstring>{L"pack"}, L"backup", Tessarine::Session::_nil(),
                            &log, &loader, false);

    const std::string cpTarget = (base / "cp.bin").string();
    auto cp = [&] { RunCp(source, cpTarget); };
    auto removeCp = [&] { std::filesystem::remove(cpTarget); };

    std::vector<zrbench::Figure> figures;
    zrbench::CRoundStats tcpStats({sink.Pid()}), remoteStats({peer.Pid()}), cpStats;
    auto remoteRun = [&] {
      zrbench::FileSystemOpen plain{remote, false};
      zrbench::CopyInto(plain, source, L"TestFolder\\copy.bin");
    };
    auto removeRemote = [&] { std::filesystem::remove(peer.Root() / "copy.bin"); };
    zrbench::Figure streamFigure{"remote write (loopback peer) vs bare TCP stream", bytes, {}, {}, false};
    streamFigure.anchor.run = tcpStats.Wrap([&] { sink.Send(source, false); });
    streamFigure.anchor.prepare = [&] { std::filesystem::remove(tcpTarget); };
    streamFigure.ours = {remoteStats.Wrap(remoteRun), removeRemote};
    figures.push_back(streamFigure);
    zrbench::Figure inStepFigure{
        "remote write (loopback peer) vs bare TCP in step (each 1 MiB waits until written)", bytes, {}, {}, false};
    inStepFigure.anchor.run = tcpStats.Wrap([&] { sink.Send(source, true); });
    inStepFigure.anchor.prepare = [&] { std::filesystem::remove(tcpTarget); };
    inStepFigure.ours = {remoteStats.Wrap(remoteRun), removeRemote};
    figures.push_back(inStepFigure);
    zrbench::Figure remoteFigure{
        "remote write (loopback peer) vs cp", bytes, {cpStats.Wrap(cp), removeCp}, {}, false};
    remoteFigure.ours = {remoteStats.Wrap(remoteRun), removeRemote};
    figures.push_back(remoteFigure);

    zrbench::Figure plainFigure{"local target, no filters vs cp", bytes, {cp, removeCp}, {}, false};
    plainFigure.ours.prepare = [&] { std::filesystem::remove(base / "local" / "plain.bin"); };
    plainFigure.ours.run = [&] {
      zrbench::FileSystemOpen plain{local, false};
      zrbench::CopyInto(plain, source, L"TestFolder\\plain.bin");
    };
    figures.push_back(plainFigure);

    zrbench::Figure xorFigure{"local target, per-file XOR vs cp", bytes, {cp, removeCp}, {}, false};
    xorFigure.ours.prepare = [&] { std::filesystem::remove(base / "local" / "xor.bin.z"); };
    xorFigure.ours.run = [&] { zrbench::CopyInto(perFile, source, L"TestFolder\\xor.bin"); };
    figures.push_back(xorFigure);

    zrbench::Figure packFigure{"local target, N-to-1 pack vs cp", bytes, {cp, removeCp}, {}, false};
    packFigure.ours.prepare = [&] {
      std::filesystem::remove(base / "local" / "vault" / "backup.pk");
      std::filesystem::create_directories(base / "local" / "vault");
      zrbench::Check(packed.SetRoot(L"TestFolder\\vault"), "set root");
    };
    packFigure.ours.run = [&] {
      zrbench::CopyInto(packed, source, L"TestFolder\\vault\\item.bin");
      zrbench::Check(packed.CommitTransaction(), "commit");
    };
    figures.push_back(packFigure);

    const std::string loadBefore = zrbench::LoadAverage();
    zrbench::RunFigures(figures, rounds);
    std::cout << "  bare TCP (both figures): " << tcpStats.Text()
              << "\n  remote write (both figures): " << remoteStats.Text() << "\n  cp: " << cpStats.Text()
              << "\n  load average before: " << loadBefore << ", after: " << zrbench::LoadAverage()
              << std::endl;
    orb->destroy();
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "remote_copy_bench: " << error.what() << std::endl;
    return 1;
  }
}
