// Replays saved inputs through a fuzz target's entry point without libFuzzer, so every build (g++
// included) runs the reproducers and the seed corpus. Each argument is a file or a folder (its regular
// files in name order; names starting with "." are skipped); a missing folder counts as empty.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

std::vector<boost::filesystem::path> Inputs(const boost::filesystem::path& argument) {
  std::vector<boost::filesystem::path> files;
  boost::system::error_code ec;
  if (boost::filesystem::is_regular_file(argument, ec)) return {argument};
  if (!boost::filesystem::is_directory(argument, ec)) return files;
  for (boost::filesystem::directory_iterator it(argument, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.empty() && name[0] != '.' && boost::filesystem::is_regular_file(it->path(), ec)) {
      files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    for (const boost::filesystem::path& file : Inputs(argv[i])) {
      std::ifstream in(file.string(), std::ios::binary);
      const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (!in.eof() && in.fail()) {
        std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
        return 1;
      }
      std::fprintf(stderr, "replay %s (%zu bytes)\n", file.string().c_str(), bytes.size());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++count;
    }
  }
  std::printf("%d inputs replayed\n", count);
  return 0;
}
