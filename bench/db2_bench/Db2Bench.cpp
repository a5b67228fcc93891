// db2_bench: the DB2 plug-in, loaded with dlopen and run against the stand-in client, against raw zlib.
//
// Backup: the ReadFile loop (64 KiB and 1 MiB chunks) against raw deflate (level 6) of the same image read
// in 1 MiB pieces, and the 1 MiB loop against pigz -6 with as many threads as the plug-in deflates on; and
// OpenFile to CloseFile (the stand-in's image step included) against the same raw-deflate anchor.
// Restore: the WriteFile loop against raw inflate of the same archive plus writing the image; and
// OpenFile to CloseFile (the stand-in's restore included) against the same anchor.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "bench/harness/Bench.h"
#include "plugin-api/PluginExports.h"
#include "plugins/db2/standin/Db2Api.h"
#include "tests/support/NullLog.h"

namespace {

constexpr std::size_t kPiece = 1024 * 1024;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kRandomPart = kPage * 2 / 5;  // 40 % of each page is random bytes
constexpr std::size_t kRow = 64;
constexpr char kDatabase[] = "BENCH";

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what);
}

// Owns a file descriptor.
class CFd {
 public:
  explicit CFd(int fd) : fd_(fd) {}
  ~CFd() {
    if (fd_ != -1) ::close(fd_);
  }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

int OpenRead(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  Check(fd != -1, "cannot open " + path);
  return fd;
}

std::size_t ReadSome(int fd, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    Check(errno == EINTR, "read failed");
  }
}

void WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    Check(n > 0, "write failed");
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

std::uint64_t FileSize(const std::string& path) {
  struct stat st {};
  Check(::stat(path.c_str(), &st) == 0, "cannot stat " + path);
  return static_cast<std::uint64_t>(st.st_size);
}

// A database file of 4 KiB pages: 40 % random bytes, the rest fixed-width rows; written in 1 MiB pieces.
void WriteDatabaseFile(const std::string& path, std::uint64_t bytes) {
  CFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  Check(out.get() != -1, "cannot create " + path);
  std::vector<char> piece(kPiece);
  std::uint64_t page = 0;
  for (std::uint64_t done = 0; done < bytes; done += piece.size()) {
    for (std::size_t at = 0; at < piece.size(); at += kPage, ++page) {
      char* p = piece.data() + at;
      zrbench::FillRandom(p, kRandomPart, page);
      for (std::size_t row = kRandomPart; row + kRow <= kPage; row += kRow) {
        const std::uint64_t id = page * 64 + row / kRow;
        char text[kRow * 2];
        const int n =
            std::snprintf(text, sizeof text, "%012llu|CUST-%06llu|ACTIVE|%014llu|EUR|",
                          static_cast<unsigned long long>(id), static_cast<unsigned long long>(id % 100000),
                          static_cast<unsigned long long>(id * 7919 % 100000000));
        std::memset(text + n, ' ', kRow - 1 - static_cast<std::size_t>(n));
        text[kRow - 1] = '\n';
        std::memcpy(p + row, text, kRow);
      }
      std::memset(p + kPage - kPage % kRow, ' ', (kPage - kRandomPart) % kRow);
    }
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), bytes - done));
    WriteAll(out.get(), piece.data(), size);
  }
}

// Raw deflate (level 6, as the plug-in packs) of a file read in 1 MiB pieces; the output is dropped.
void DeflateFile(const std::string& path) {
  CFd in(OpenRead(path));
  std::vector<unsigned char> input(kPiece), output(2 * kPiece);
  z_stream z{};
  Check(deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK,
        "deflateInit2");
  int flush = Z_NO_FLUSH;
  do {
    const std::size_t n = ReadSome(in.get(), input.data(), input.size());
    flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
    z.next_in = input.data();
    z.avail_in = static_cast<uInt>(n);
    do {
      z.next_out = output.data();
      z.avail_out = static_cast<uInt>(output.size());
      deflate(&z, flush);
    } while (z.avail_out == 0);
  } while (flush != Z_FINISH);
  deflateEnd(&z);
}

// Offset of the first entry's data in a zip archive (after its local header).
std::uint64_t FirstEntryDataOffset(int fd) {
  unsigned char header[30];
  Check(::pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header), "short archive");
  Check(header[0] == 'P' && header[1] == 'K' && header[2] == 3 && header[3] == 4, "not a zip archive");
  return 30u + (header[26] | header[27] << 8) + (header[28] | header[29] << 8);
}

// Raw inflate of the archive's first entry, written to `out` in pieces of up to 1 MiB.
void InflateToFile(const std::string& archive, const std::string& outPath) {
  CFd in(OpenRead(archive));
  CFd out(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  Check(out.get() != -1, "cannot create " + outPath);
  Check(::lseek(in.get(), static_cast<off_t>(FirstEntryDataOffset(in.get())), SEEK_SET) >= 0, "seek");
  std::vector<unsigned char> input(kPiece), output(kPiece);
  z_stream z{};
  Check(inflateInit2(&z, -MAX_WBITS) == Z_OK, "inflateInit2");
  int result = Z_OK;
  while (result != Z_STREAM_END) {
    const std::size_t n = ReadSome(in.get(), input.data(), input.size());
    Check(n > 0, "archive ends inside its entry");
    z.next_in = input.data();
    z.avail_in = static_cast<uInt>(n);
    while (z.avail_in > 0 && result != Z_STREAM_END) {
      z.next_out = output.data();
      z.avail_out = static_cast<uInt>(output.size());
      result = inflate(&z, Z_NO_FLUSH);
      Check(result == Z_OK || result == Z_STREAM_END || result == Z_BUF_ERROR, "inflate failed");
      WriteAll(out.get(), output.data(), output.size() - z.avail_out);
    }
  }
  inflateEnd(&z);
}

class CTempLink : public ILink {
 public:
  explicit CTempLink(std::wstring temp) : temp_(std::move(temp)) {}
  bool GetValue(const wchar_t* name, std::wstring& value) override {
    if (std::wcscmp(name, L"WSTempPath") != 0) return false;
    value = temp_;
    return true;
  }
  bool SetValue(const wchar_t*, const std::wstring&) override { return false; }

 private:
  std::wstring temp_;
};

// The plug-in library, loaded as the agent loads it, and one plug-in object.
class CPlugin {
 public:
  CPlugin(const std::string& library, ILog* log, ILink* link)
      : handle_(::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    Check(handle_ != nullptr, "cannot load " + library);
    auto factory = reinterpret_cast<GetBackupDataWriteFn>(::dlsym(handle_, kGetBackupDataWriteName));
    Check(factory != nullptr, "no factory in " + library);
    plugin_ = factory(log, link);
    Check(plugin_ != nullptr, "the factory made no object");
  }
  ~CPlugin() {
    CloseIfOpen();
    plugin_->Destroy();
    ::dlclose(handle_);
  }
  CPlugin(const CPlugin&) = delete;
  CPlugin& operator=(const CPlugin&) = delete;

  void Open(FileAccessMode::ID mode) {
    CloseIfOpen();
    Check(plugin_->OpenFile(L"BENCH", mode, handle_id_) == 0, "OpenFile failed");
    open_ = true;
  }

  // Reads the archive to its end in `chunk` pieces; `sink` (may be -1) receives it.
  void ReadAll(std::size_t chunk, int sink) {
    std::vector<unsigned char> buffer(chunk);
    for (;;) {
      unsigned int size = static_cast<unsigned int>(chunk);
      const int result = plugin_->ReadFile(buffer.data(), size, handle_id_);
      if (result == 5) return;
      Check(result == 0, "ReadFile failed");
      if (sink != -1) WriteAll(sink, buffer.data(), size);
    }
  }

  // Hands the archive file to WriteFile in `chunk` pieces.
  void WriteArchive(const std::string& archive, std::size_t chunk) {
    CFd in(OpenRead(archive));
    std::vector<unsigned char> buffer(chunk);
    for (;;) {
      unsigned int size = static_cast<unsigned int>(ReadSome(in.get(), buffer.data(), chunk));
      if (size == 0) return;
      Check(plugin_->WriteFile(buffer.data(), size, handle_id_) == 0, "WriteFile failed");
    }
  }

  void Close() {
    open_ = false;
    Check(plugin_->CloseFile(handle_id_) == 0, "CloseFile failed");
  }

  // Untimed: ends the file the last timed run left open.
  void CloseIfOpen() {
    if (open_) Close();
  }

 private:
  void* handle_;
  IBackupDataWrite* plugin_ = nullptr;
  unsigned int handle_id_ = 0;
  bool open_ = false;
};

std::string OnlyFileIn(const std::string& folder) {
  std::vector<std::string> names;
  for (boost::filesystem::directory_iterator it(folder), end; it != end; ++it) {
    names.push_back(it->path().string());
  }
  Check(names.size() == 1, "expected one file in " + folder);
  return names[0];
}

// Runs the stand-in's `step` (db2Backup or db2Restore) with `params` on the
// local folder `folder`; throws `failure` when it does not answer 0.
template <class Params>
void StandinStep(int (*step)(uint32_t, Params*, sqlca*), Params params, const std::string& folder,
                 const char* failure) {
  std::string location = folder;
  char* locations[] = {&location[0]};
  db2MediaList media{'L', 1, locations};
  params.mediaList = &media;
  sqlca ca{};
  Check(step(DB2_VERSION_900, &params, &ca) == 0, failure);
}

// The stand-in's image step: one backup image of the database into `folder`.
void StandinBackup(const std::string& folder) {
  db2BackupParams params{};
  params.databaseAlias = kDatabase;
  StandinStep(&db2Backup, params, folder, "stand-in backup failed");
}

// The stand-in's restore step from the single image in `folder`.
void StandinRestore(const std::string& folder) {
  db2RestoreParams params{};
  params.sourceAlias = kDatabase;
  StandinStep(&db2Restore, params, folder, "stand-in restore failed");
}

// A plain copy of a file in 1 MiB pieces: the stand-in figures' anchor.
void CopyFile(const std::string& from, const std::string& to) {
  CFd in(OpenRead(from));
  CFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  Check(out.get() != -1, "cannot create " + to);
  std::vector<char> buffer(kPiece);
  while (const std::size_t n = ReadSome(in.get(), buffer.data(), buffer.size()))
    WriteAll(out.get(), buffer.data(), n);
}

// CPU seconds (user + system, every thread of the process and of the children it waited for) so far.
double CpuSeconds() {
  double seconds = 0;
  for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage usage{};
    ::getrusage(who, &usage);
    seconds += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  return seconds;
}

// The plug-in's count of deflate threads: the online CPUs, at most 8.
long DeflateThreads() {
  const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  return cpus < 1 ? 1 : cpus > 8 ? 8 : cpus;
}

// CPU and wall-clock seconds of each run of one side.
struct Runs {
  std::vector<double> cpu;
  std::vector<double> wall;
};

// Wraps a timed run so that its CPU seconds are recorded too (on a machine shared with other work the
// wall-clock ratio favours the side with more threads, the CPU ratio does not), and its wall-clock
// seconds, for the spread over the rounds.
std::function<void()> CountCpu(std::function<void()> run, Runs& runs) {
  return [run = std::move(run), &runs] {
    const double start = CpuSeconds();
    const double wall = zrbench::Now();
    run();
    runs.wall.push_back(zrbench::Now() - wall);
    runs.cpu.push_back(CpuSeconds() - start);
  };
}

// "min-max s" of the values.
std::string Spread(const std::vector<double>& values) {
  if (values.empty()) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f-%.2f s", *std::min_element(values.begin(), values.end()),
                *std::max_element(values.begin(), values.end()));
  return text;
}

std::string MiB(std::uint64_t bytes) { return std::to_string((bytes + (1 << 19)) >> 20) + " MiB"; }

int Run(int argc, char** argv) {
  zrbench::CArgs args(argc, argv);
  args.RequireKnown({"rounds", "size-mib", "plugin", "pigz"});
  const auto rounds = static_cast<int>(args.Number("rounds", 5));
  const std::uint64_t bytes = args.Number("size-mib", 512) << 20;
  const std::string library = args.Text("plugin", DB2ZR_PATH);
  const std::string pigz = args.Text("pigz", ZR_PIGZ);

  zrbench::CScratchFolder scratch("db2-bench");
  const std::string standin = scratch.Path() + "/standin";
  const std::string databaseFolder = standin + "/databases/" + kDatabase;
  const std::string images = scratch.Path() + "/images";
  boost::filesystem::create_directories(databaseFolder);
  boost::filesystem::create_directories(images);
  boost::filesystem::create_directories(scratch.Path() + "/work");
  {
    CFd instance(::open((standin + "/instance").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    Check(instance.get() != -1, "cannot write the stand-in instance");
    WriteAll(instance.get(), "db2inst1\n", 9);
  }
  ::setenv(DB2_STANDIN_ROOT_ENV, standin.c_str(), 1);
  WriteDatabaseFile(databaseFolder + "/data", bytes);

  // The image the plug-in packs, made once by the stand-in, is the deflate anchor's input.
  StandinBackup(images);
  const std::string image = OnlyFileIn(images);
  const std::uint64_t imageBytes = FileSize(image);

  zrtest::NullLog log;
  CTempLink link(boost::filesystem::path(scratch.Path() + "/work/").wstring());
  CPlugin plugin(library, &log, &link);

  // The archive the restore figures feed back, written once by the plug-in.
  const std::string archive = scratch.Path() + "/archive.zip";
  {
    CFd out(::open(archive.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    plugin.Open(FileAccessMode::Read);
    plugin.ReadAll(kPiece, out.get());
    plugin.Close();
  }
  const std::string inflated = scratch.Path() + "/inflated";
  std::cout << "db2_bench: database " << MiB(bytes) << ", image " << imageBytes << " bytes, archive "
            << FileSize(archive) << " bytes, " << rounds << " rounds" << std::endl;

  const auto deflateAnchor = [&] { DeflateFile(image); };
  const zrbench::Side inflateAnchor{[&] { InflateToFile(archive, inflated); },
                                    [&] {
                                      plugin.CloseIfOpen();
                                      boost::filesystem::remove(inflated);
                                    }};
  const zrbench::Side deflateSide{deflateAnchor, [&] { plugin.CloseIfOpen(); }};

  std::vector<zrbench::Figure> figures;
  for (const std::size_t chunk : {std::size_t(64 * 1024), kPiece}) {
    zrbench::Figure loop{"backup ReadFile loop, " + std::to_string(chunk >> 10) + " KiB chunks",
                         imageBytes,
                         deflateSide,
                         {},
                         true};
    loop.ours.prepare = [&plugin] { plugin.Open(FileAccessMode::Read); };
    loop.ours.run = [&plugin, chunk] { plugin.ReadAll(chunk, -1); };
    figures.push_back(loop);
  }
  if (!pigz.empty()) {
    // pigz reads the image and writes gzip to /dev/null; our loop drops the archive likewise.
    const std::string threads = std::to_string(DeflateThreads());
    const std::string command = "'" + pigz + "' -6 -p " + threads + " -c '" + image + "' > /dev/null";
    zrbench::Figure loop{"backup ReadFile loop, 1 MiB chunks, against pigz -6 -p " + threads, imageBytes,
                         figures.back().anchor, figures.back().ours, true};
    loop.anchor.run = [command] { Check(std::system(command.c_str()) == 0, "pigz failed"); };
    figures.push_back(loop);
  }
  zrbench::Figure backup{"backup OpenFile to CloseFile, 1 MiB chunks", imageBytes, deflateSide, {}, true};
  backup.ours.prepare = [&] { plugin.CloseIfOpen(); };
  backup.ours.run = [&] {
    plugin.Open(FileAccessMode::Read);
    plugin.ReadAll(kPiece, -1);
    plugin.Close();
  };
  figures.push_back(backup);

  zrbench::Figure restoreLoop{"restore WriteFile loop, 1 MiB chunks", imageBytes, inflateAnchor, {}, true};
  restoreLoop.ours.prepare = [&] { plugin.Open(FileAccessMode::Write); };
  restoreLoop.ours.run = [&] { plugin.WriteArchive(archive, kPiece); };
  figures.push_back(restoreLoop);
  zrbench::Figure restore{"restore OpenFile to CloseFile, 1 MiB chunks", imageBytes, inflateAnchor, {}, true};
  restore.ours.prepare = [&] { plugin.CloseIfOpen(); };
  restore.ours.run = [&] {
    plugin.Open(FileAccessMode::Write);
    plugin.WriteArchive(archive, kPiece);
    plugin.Close();
  };
  figures.push_back(restore);

  // The stand-in alone: its image and restore steps against a file copy of the database.
  const std::string copied = scratch.Path() + "/copied";
  const std::string standinImages = scratch.Path() + "/standin-images";
  zrbench::Figure standinBackup{"stand-in image step (db2Backup)", imageBytes, {}, {}, true};
  standinBackup.anchor.run = [&] { CopyFile(databaseFolder + "/data", copied); };
  standinBackup.anchor.prepare = [&] {
    plugin.CloseIfOpen();
    boost::filesystem::remove(copied);
  };
  standinBackup.ours.prepare = [&] {
    plugin.CloseIfOpen();
    boost::filesystem::remove_all(standinImages);
    boost::filesystem::create_directories(standinImages);
  };
  standinBackup.ours.run = [&] { StandinBackup(standinImages); };
  figures.push_back(standinBackup);
  zrbench::Figure standinRestore{
      "stand-in restore step (db2Restore)", imageBytes, standinBackup.anchor, {}, true};
  standinRestore.ours.prepare = [&] { plugin.CloseIfOpen(); };
  standinRestore.ours.run = [&] { StandinRestore(images); };
  figures.push_back(standinRestore);

  std::vector<Runs> anchorRuns(figures.size()), oursRuns(figures.size());
  for (std::size_t i = 0; i < figures.size(); ++i) {
    figures[i].anchor.run = CountCpu(figures[i].anchor.run, anchorRuns[i]);
    figures[i].ours.run = CountCpu(figures[i].ours.run, oursRuns[i]);
  }
  zrbench::RunFigures(figures, rounds);
  for (std::size_t i = 0; i < figures.size(); ++i) {
    const double anchor = zrbench::Median(anchorRuns[i].cpu);
    const double ours = zrbench::Median(oursRuns[i].cpu);
    char line[256];
    std::snprintf(line, sizeof line, "%s: CPU anchor %.3f s | ours %.3f s | ratio %.3fx",
                  figures[i].name.c_str(), anchor, ours, ours > 0 ? anchor / ours : 0.0);
    std::cout << line << " | wall spread anchor " << Spread(anchorRuns[i].wall) << ", ours "
              << Spread(oursRuns[i].wall) << std::endl;
  }
  plugin.CloseIfOpen();
  std::cout << "whole run: peak RSS " << MiB(zrbench::RunPeakRss()) << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "db2_bench: " << e.what() << std::endl;
    return 1;
  }
}
