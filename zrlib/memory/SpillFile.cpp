#include "zrlib/memory/SpillFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "zrlib/filesystem/FileSystem.h"
#include "zrlib/strings/Strings.h"

namespace ZRLib {
namespace memory {

namespace {

// How many fresh names are tried when a name turns out to be taken.
constexpr int kNameAttempts = 16;

// Creates narrowPath exclusively; null with errno set on failure.
std::FILE* createExclusive(const std::string& narrowPath) {
  const int fd = ::open(narrowPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        S_IRUSR | S_IWUSR);
  if (fd < 0) return nullptr;
  std::FILE* stream = ::fdopen(fd, "a+b");
  if (stream == nullptr) {
    const int saved = errno;
    ::close(fd);
    ::unlink(narrowPath.c_str());
    errno = saved;
  }
  return stream;
}

// The folder part of path, with its trailing "/".
std::wstring folderOf(const std::wstring& path) {
  const std::wstring::size_type slash = path.rfind(L'/');
  return slash == std::wstring::npos ? std::wstring(L"./") : path.substr(0, slash + 1);
}

}  // namespace

std::FILE* CreateSpillFile(std::wstring& path, std::string& narrowPath) {
  try {
    std::wstring candidate = path;
    std::string narrow = narrowPath;
    for (int attempt = 0;; ++attempt) {
      std::FILE* stream = createExclusive(narrow);
      if (stream != nullptr) {
        path.swap(candidate);
        narrowPath.swap(narrow);
        return stream;
      }
      if (errno != EEXIST || attempt + 1 >= kNameAttempts) return nullptr;
      candidate = filesystem::GetUniqueTempFilePath(folderOf(path));
      narrow = strings::toAstr(candidate);
    }
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace memory
}  // namespace ZRLib
