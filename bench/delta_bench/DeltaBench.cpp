// Delta copying through CRsyncWrapper against rdiff with the same parameters:
// the signature of a file, the delta of its edited copy (one contiguous 1 %
// change and a 100-byte insertion) and the patch that rebuilds the copy.
// Prints one line per job, then both delta sizes.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/data/delta/RsyncWrapper.h"
#include "bench/harness/Bench.h"

namespace {

using zr::CRsyncWrapper;

// A stdio file, closed on destruction.
class File {
 public:
  File(const std::string& path, const char* mode) : file_(std::fopen(path.c_str(), mode)) {
    if (file_ == nullptr) throw std::runtime_error("cannot open " + path);
  }
  ~File() { std::fclose(file_); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  std::FILE* get() const { return file_; }

 private:
  std::FILE* file_;
};

std::size_t Read(unsigned char* buffer, std::size_t capacity, void* user) {
  return std::fread(buffer, 1, capacity, static_cast<File*>(user)->get());
}
std::size_t Write(const unsigned char* data, std::size_t length, void* user) {
  return std::fwrite(data, 1, length, static_cast<File*>(user)->get());
}
bool Seek(std::uint64_t position, void* user) {
  return fseeko(static_cast<File*>(user)->get(), static_cast<off_t>(position), SEEK_SET) == 0;
}

void Check(int result, const char* job) {
  if (result != 0) throw std::runtime_error(std::string(job) + " failed with " + std::to_string(result));
}

void Rdiff(const std::string& rdiff, const std::string& arguments) {
  const std::string command = rdiff + " -H blake2 -R rollsum -b 2048 -S 8 -f " + arguments;
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::uint64_t SizeOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return static_cast<std::uint64_t>(in.tellg());
}

bool SameContent(const std::string& a, const std::string& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::vector<char> p(1 << 20), q(1 << 20);
  while (x && y) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) return false;
  }
  return x.eof() && y.eof();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    zrbench::CArgs args(argc, argv);
    args.RequireKnown({"rounds", "size-mib", "rdiff"});
    const auto rounds = static_cast<int>(args.Number("rounds", 5));
    const std::uint64_t bytes = args.Number("size-mib", 256) << 20;
    const std::string rdiff = args.Text("rdiff", ZR_RDIFF);
    zrbench::CScratchFolder scratch("delta-bench");
    const std::string dir = scratch.Path() + "/";

    // The old file and its edited copy.
    std::vector<unsigned char> data(bytes);
    zrbench::FillRandom(data.data(), data.size(), 1);
    std::ofstream(dir + "old", std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    const std::size_t changed = bytes / 100;
    zrbench::FillRandom(data.data() + bytes / 3, changed, 2);
    std::vector<unsigned char> inserted(100);
    zrbench::FillRandom(inserted.data(), inserted.size(), 3);
    data.insert(data.begin() + static_cast<std::ptrdiff_t>(bytes * 2 / 3), inserted.begin(), inserted.end());
    std::ofstream(dir + "new", std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    std::vector<unsigned char>().swap(data);

    CRsyncWrapper wrapper;
    zrbench::Figure signature{"signature", bytes, {}, {}, false};
    signature.anchor.run = [&] { Rdiff(rdiff, "signature " + dir + "old " + dir + "rdiff.sig"); };
    signature.ours.run = [&] {
      File in(dir + "old", "rb"), out(dir + "ours.sig", "wb");
      Check(wrapper.MakeSignature(&in, &Read, &out, &Write), "signature");
    };
    zrbench::Figure delta{"delta", bytes + 100, {}, {}, false};
    delta.anchor.run = [&] {
      Rdiff(rdiff, "delta " + dir + "rdiff.sig " + dir + "new " + dir + "rdiff.delta");
    };
    delta.ours.run = [&] {
      File in(dir + "new", "rb"), sig(dir + "ours.sig", "rb"), out(dir + "ours.delta", "wb");
      Check(wrapper.MakeDelta(&in, &Read, &sig, &Read, &out, &Write), "delta");
    };
    zrbench::Figure patch{"patch", bytes + 100, {}, {}, false};
    patch.anchor.run = [&] {
      Rdiff(rdiff, "patch " + dir + "old " + dir + "rdiff.delta " + dir + "rdiff.new");
    };
    patch.ours.run = [&] {
      File basis(dir + "old", "rb"), in(dir + "ours.delta", "rb"), out(dir + "ours.new", "wb");
      Check(wrapper.ApplyPatch(&basis, &Read, &in, &Read, &out, &Write, &Seek), "patch");
    };

    std::cout << "delta_bench: " << (bytes >> 20) << " MiB, one 1 % change and a 100-byte insertion, "
              << rounds << " rounds; anchor is rdiff (blake2, rollsum, block 2048, strong sum 8)"
              << std::endl;
    const auto timings = zrbench::RunFigures({signature, delta, patch}, rounds);
    double anchorTotal = 0, oursTotal = 0;
    for (const auto& timing : timings) {
      anchorTotal += timing.anchorSeconds;
      oursTotal += timing.oursSeconds;
    }
    std::printf("all three jobs: rdiff %.3f s | ours %.3f s | time ratio ours/rdiff %.3fx\n", anchorTotal,
                oursTotal, oursTotal / anchorTotal);
    const bool sameDelta = SameContent(dir + "ours.delta", dir + "rdiff.delta");
    std::printf("delta bytes: rdiff %llu | ours %llu | identical %s; rebuilt file %s\n",
                static_cast<unsigned long long>(SizeOf(dir + "rdiff.delta")),
                static_cast<unsigned long long>(SizeOf(dir + "ours.delta")), sameDelta ? "yes" : "no",
                SameContent(dir + "ours.new", dir + "new") ? "matches" : "DIFFERS");
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "delta_bench: " << error.what() << std::endl;
    return 1;
  }
}
