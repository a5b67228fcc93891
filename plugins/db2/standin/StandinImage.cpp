#include "plugins/db2/standin/StandinImage.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "plugins/db2/standin/Db2Api.h"

namespace fs = std::filesystem;

namespace db2standin {

namespace {

constexpr size_t kPiece = 1024 * 1024;
constexpr size_t kMaxLine = 4096;
const char kImageMagic[] = "ZRDB2IMG1";

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ != -1) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now; false when the close reports an error (lost written data).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd == -1 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

ssize_t ReadSome(int fd, char* buffer, size_t size) {
  ssize_t n;
  do {
    n = ::read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

// Copies exactly `count` bytes from `in` to `out` through `buffer`.
bool CopyBytes(int in, int out, uint64_t count, std::vector<char>& buffer) {
  while (count > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(count, buffer.size()));
    const ssize_t n = ReadSome(in, buffer.data(), want);
    if (n <= 0 || !WriteAll(out, buffer.data(), static_cast<size_t>(n))) return false;
    count -= static_cast<uint64_t>(n);
  }
  return true;
}

// Reads an image through one buffer of kPiece bytes.
class ImageReader {
 public:
  explicit ImageReader(const fs::path& image)
      : fd_(::open(image.c_str(), O_RDONLY | O_CLOEXEC)), buffer_(kPiece) {
    struct stat st {};
    if (fd_.get() != -1 && ::fstat(fd_.get(), &st) == 0 && S_ISREG(st.st_mode)) {
      size_ = static_cast<uint64_t>(st.st_size);
      open_ = true;
    }
  }

  bool IsOpen() const { return open_; }

  // Starts again at the first byte.
  bool Rewind() {
    begin_ = end_ = 0;
    consumed_ = 0;
    return ::lseek(fd_.get(), 0, SEEK_SET) == 0;
  }

  // Bytes of the image not consumed yet, by its size when it was opened.
  uint64_t Left() const { return consumed_ < size_ ? size_ - consumed_ : 0; }

  // The next line without its "\n"; false at the end, on a read error or for
  // a line longer than kMaxLine.
  bool ReadLine(std::string& line) {
    line.clear();
    for (;;) {
      if (begin_ == end_ && !Fill()) return false;
      const char* start = buffer_.data() + begin_;
      const char* stop = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
      const size_t taken = stop == nullptr ? end_ - begin_ : static_cast<size_t>(stop - start);
      if (line.size() + taken > kMaxLine) return false;
      line.append(start, taken);
      Consume(taken + (stop == nullptr ? 0 : 1));
      if (stop != nullptr) return true;
    }
  }

  // Passes the next `count` bytes to `out`; false when the image ends sooner
  // or a read or write fails.
  bool CopyTo(int out, uint64_t count) {
    while (count > 0) {
      if (begin_ == end_ && !Fill()) return false;
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, end_ - begin_));
      if (!WriteAll(out, buffer_.data() + begin_, piece)) return false;
      Consume(piece);
      count -= piece;
    }
    return true;
  }

  // Steps over the next `count` bytes without reading them.
  bool Skip(uint64_t count) {
    if (count > Left()) return false;
    const size_t buffered = static_cast<size_t>(std::min<uint64_t>(count, end_ - begin_));
    Consume(buffered);
    count -= buffered;
    if (count == 0) return true;
    if (::lseek(fd_.get(), static_cast<off_t>(count), SEEK_CUR) < 0) return false;
    consumed_ += count;
    return true;
  }

  // True when every byte has been consumed.
  bool AtEnd() { return begin_ == end_ && !Fill(); }

 private:
  bool Fill() {
    const ssize_t n = ReadSome(fd_.get(), buffer_.data(), buffer_.size());
    begin_ = 0;
    end_ = n > 0 ? static_cast<size_t>(n) : 0;
    return n > 0;
  }
  void Consume(size_t count) {
    begin_ += count;
    consumed_ += count;
  }

  Fd fd_;
  std::vector<char> buffer_;
  size_t begin_ = 0;  // unread bytes of the buffer: [begin_, end_)
  size_t end_ = 0;
  uint64_t size_ = 0;
  uint64_t consumed_ = 0;
  bool open_ = false;
};

// "file <size> <name>" with a plain decimal size and a name that is one file
// of one folder.
bool ParseFileLine(const std::string& line, uint64_t& size, std::string& name) {
  static const char kPrefix[] = "file ";
  if (line.compare(0, sizeof(kPrefix) - 1, kPrefix) != 0) return false;
  size_t at = sizeof(kPrefix) - 1;
  const size_t digits = at;
  size = 0;
  while (at < line.size() && line[at] >= '0' && line[at] <= '9') {
    const uint64_t digit = static_cast<uint64_t>(line[at] - '0');
    if (size > (UINT64_MAX - digit) / 10) return false;
    size = size * 10 + digit;
    ++at;
  }
  if (at == digits || at >= line.size() || line[at] != ' ') return false;
  name = line.substr(at + 1);
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// Walks the image from its start: onFile(name, size) is called for each file
// and must consume exactly its `size` bytes; it returns 0 or a SQLCODE that
// ends the walk. Every declared size is checked against the bytes present
// before onFile sees it.
template <class OnFile>
int WalkImage(ImageReader& reader, const std::string& alias, OnFile onFile) {
  std::string line;
  if (!reader.ReadLine(line) || line != kImageMagic) return DB2_SQL_BAD_IMAGE;
  if (!reader.ReadLine(line) || line != "alias " + alias) return DB2_SQL_BAD_IMAGE;
  while (reader.ReadLine(line)) {
    if (line == "end") return reader.AtEnd() ? 0 : DB2_SQL_BAD_IMAGE;
    uint64_t size = 0;
    std::string name;
    if (!ParseFileLine(line, size, name) || size > reader.Left()) return DB2_SQL_BAD_IMAGE;
    const int code = onFile(name, size);
    if (code != 0) return code;
  }
  return DB2_SQL_BAD_IMAGE;
}

}  // namespace

bool WriteImage(const fs::path& database, const std::string& alias, const fs::path& image) {
  std::error_code ec;
  std::vector<fs::path> files;
  for (fs::directory_iterator it(database, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file()) files.push_back(it->path());
  }
  if (ec) return false;
  std::sort(files.begin(), files.end());
  Fd out(::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (out.get() == -1) return false;
  const std::string head = std::string(kImageMagic) + "\nalias " + alias + "\n";
  if (!WriteAll(out.get(), head.data(), head.size())) return false;
  std::vector<char> buffer(kPiece);
  for (const fs::path& file : files) {
    Fd in(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (in.get() == -1 || ::fstat(in.get(), &st) != 0) return false;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const std::string line = "file " + std::to_string(size) + " " + file.filename().string() + "\n";
    if (!WriteAll(out.get(), line.data(), line.size()) || !CopyBytes(in.get(), out.get(), size, buffer)) {
      return false;
    }
  }
  static const char kEnd[] = "end\n";
  return WriteAll(out.get(), kEnd, sizeof(kEnd) - 1) && out.Close();
}

int RestoreImage(const fs::path& image, const std::string& alias, const fs::path& database) {
  ImageReader reader(image);
  if (!reader.IsOpen()) return DB2_SQL_IO_ERROR;
  // First pass: headers only, the data is stepped over.
  int code = WalkImage(reader, alias, [&](const std::string&, uint64_t size) {
    return reader.Skip(size) ? 0 : DB2_SQL_BAD_IMAGE;
  });
  if (code != 0) return code;
  if (!reader.Rewind()) return DB2_SQL_IO_ERROR;

  std::error_code ec;
  for (fs::directory_iterator it(database, ec), end; !ec && it != end; it.increment(ec)) {
    fs::remove_all(it->path(), ec);
    if (ec) return DB2_SQL_IO_ERROR;
  }
  if (ec) return DB2_SQL_IO_ERROR;
  code = WalkImage(reader, alias, [&](const std::string& name, uint64_t size) {
    Fd out(::open((database / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (out.get() == -1) return DB2_SQL_IO_ERROR;
    return reader.CopyTo(out.get(), size) && out.Close() ? 0 : DB2_SQL_IO_ERROR;
  });
  // The image checked whole a moment ago: a failure now is one of the file system.
  return code == 0 ? 0 : DB2_SQL_IO_ERROR;
}

}  // namespace db2standin
