// Writes the seed archives of our own Zip64 writer into a folder: used by make_corpus.sh (ZR_FUZZ builds).
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "plugins/db2/zip/ZipStreamWriter.h"

namespace {

class CFileWriter : public IZipFilterOutputWriter {
 public:
  explicit CFileWriter(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {}
  ~CFileWriter() {
    if (file_ != nullptr) std::fclose(file_);
  }
  int Write(const unsigned char* data, unsigned int& size) override {
    return file_ != nullptr && std::fwrite(data, 1, size, file_) == size ? 0 : 1;
  }

 private:
  std::FILE* file_;
};

bool WriteArchive(const std::string& path, const std::vector<std::pair<std::wstring, std::string>>& entries) {
  CFileWriter out(path);
  CZipFilter packer;
  if (packer.BeginTransaction(&out) != 0) return false;
  for (const auto& entry : entries) {
    unsigned int size = static_cast<unsigned int>(entry.second.size());
    if (packer.PrepareTransform(entry.first, true) != 0 ||
        packer.DirectTransform(reinterpret_cast<const unsigned char*>(entry.second.data()), size) != 0 ||
        packer.FinishTransform() != 0) {
      return false;
    }
  }
  return packer.CommitTransaction() == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  std::string rows;
  for (int i = 0; i < 200; ++i)
    rows += "row " + std::to_string(i) + " | value " + std::to_string(i * 7) + "\n";
  const std::string image =
      "ZRDB2IMG1\nalias FUZZ\nfile 5 t1\nhellofile 0 t2\nfile 12 t3\nrow\n1\nrow\n2\nend\n";
  bool ok = WriteArchive(folder + "/ours-one.zip", {{L"a.txt", "hello, zip\n"}});
  ok = ok && WriteArchive(folder + "/ours-three.zip",
                          {{L"dir\\rows.txt", rows}, {L"empty", ""}, {L"\u00e9t\u00e9.txt", "summer"}});
  ok = ok &&
       WriteArchive(folder + "/ours-db2.zip", {{L"FUZZ.0.DB2INST1.DBPART000.20260101000000.001", image}});
  return ok ? 0 : 1;
}
