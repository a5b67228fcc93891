#include "zrlib/filesystem/FileSystem.h"

#include <sys/stat.h>

#include <boost/filesystem.hpp>
#include <exception>
#include <new>
#include <random>

#include "zrlib/strings/Strings.h"

namespace ZRLib {
namespace filesystem {

namespace bfs = boost::filesystem;

namespace {

// A name of the form tmpnam hands out ("file" and six letters or digits).
std::wstring RandomFileName() {
  static const wchar_t kAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof(kAlphabet) / sizeof(kAlphabet[0]) - 2);
  std::wstring name = L"file";
  for (int i = 0; i < 6; ++i) name.push_back(kAlphabet[pick(generator)]);
  return name;
}

// True unless path names an existing entry (a dangling link counts as one).
// The name is checked as toAstr spells it, which is how callers create the
// file. A name that cannot be checked (unconvertible, folder not searchable)
// is taken, since no file could be created under it either.
bool IsNameFree(const std::wstring& path) {
  std::string name;
  try {
    name = strings::toAstr(path);
  } catch (const std::bad_alloc&) {
    return true;
  }
  struct stat st {};
  return ::lstat(name.c_str(), &st) != 0;
}

// The file-system name of a wide path, spelt as toAstr spells it (the
// process's LC_CTYPE locale), so that these functions see the same file as
// callers that open the path through toAstr. Boost's own wide conversion is
// not used: it reads the environment's locale once, and throws exceptions of
// its own (std::runtime_error when the environment names a locale that does
// not exist, for every path). Throws std::bad_alloc as toAstr does.
bfs::path NativePath(const std::wstring& path) { return bfs::path(strings::toAstr(path)); }

// NativePath of a path that may be unconvertible: false when the locale cannot
// spell it, since no file this process opens can have that name then.
bool TryNativePath(const wchar_t* path, bfs::path& out) {
  try {
    out = NativePath(path);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// One step of CreateFolder: prefix exists as a folder afterwards. A folder
// that another process creates meanwhile counts as created.
bool EnsureFolder(const std::wstring& prefix) {
  const bfs::path folder = NativePath(prefix);
  if (bfs::is_directory(folder)) return true;
  return bfs::create_directories(folder) || bfs::is_directory(folder);
}

}  // namespace

std::wstring GetTempFolderPath() { return L"/tmp/"; }

std::wstring GetUniqueTempFilePath(const std::wstring& folder) {
  std::wstring prefix = folder;
  if (prefix.empty() || prefix.back() != L'/') prefix += L'/';
  for (;;) {
    std::wstring candidate = prefix + RandomFileName();
    if (IsNameFree(candidate)) return candidate;
  }
}

bool IsFolderExists(const wchar_t* path) {
  bfs::path native;
  if (path == nullptr || !TryNativePath(path, native)) return false;
  return bfs::is_directory(native);
}

bool IsFileExists(const wchar_t* path) {
  bfs::path native;
  if (path == nullptr || !TryNativePath(path, native)) return false;
  const bfs::file_status status = bfs::status(native);
  return bfs::exists(status) && !bfs::is_directory(status);
}

bool CreateFolder(const std::wstring& path) {
  if (path.size() <= 3) return false;
  try {
    std::wstring::size_type start = path[1] == L':' ? 3 : 7;
    for (;;) {
      const auto separator = path.find(L'\\', start + 1);
      if (!EnsureFolder(path.substr(0, separator))) return false;
      if (separator == std::wstring::npos) return IsFolderExists(path.c_str());
      start = separator;
    }
  } catch (const std::exception&) {
    return false;
  }
}

bool DeleteNonEmptyFolder(const std::wstring& path) {
  try {
    const bfs::path folder = NativePath(path);
    if (bfs::exists(folder)) bfs::remove_all(folder);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace filesystem
}  // namespace ZRLib
