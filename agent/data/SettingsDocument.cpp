#include "agent/data/SettingsDocument.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>

#include "zrlib/filesystem/FileSystem.h"
#include "zrlib/strings/Strings.h"

namespace zr {

using ZRLib::strings::UTF8toWstr;
using ZRLib::strings::WstrToUTF8;

namespace {

std::string ParamXPath(const std::wstring& key) {
  return "link/parameters/param[@name='" + WstrToUTF8(key) + "']";
}

// The file a path finally names, following symbolic links (relative targets
// are taken from the link's folder). A path that is no link is returned as it is.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
    std::string target(static_cast<size_t>(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), &target[0], target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return path;
    target.resize(static_cast<size_t>(n));
    if (target[0] != '/') {
      const size_t slash = path.rfind('/');
      target = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
    }
    path = target;
  }
  return path;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool SettingsDocument::Find(const std::string& xpath, pugi::xml_node& node) const {
  node = pugi::xml_node();
  try {
    // Built either way, pugixml reports a bad expression by throwing or through result().
    const pugi::xpath_query query(xpath.c_str());
    if (!query.result()) return false;
    node = query.evaluate_node(document_).node();
    return true;
  } catch (const pugi::xpath_exception&) {
    return false;
  }
}

bool SettingsDocument::SetText(pugi::xml_node element, const std::wstring& value) {
  pugi::xml_node text = element.first_child();
  if (!text) text = element.append_child(pugi::node_pcdata);
  return text && text.set_value(WstrToUTF8(value).c_str());
}

bool SettingsDocument::Create() {
  document_.reset();
  pugi::xml_node link = document_.append_child("link");
  if (!link) return false;
  pugi::xml_node header = link.append_child("header");
  header.append_child("related_object").append_child(pugi::node_pcdata).set_value("Workstation");
  header.append_child("version").append_child(pugi::node_pcdata).set_value(WstrToUTF8(kVersion).c_str());
  link.append_child("parameters");
  return true;
}

bool SettingsDocument::LoadFile(const std::wstring& path) {
  document_.reset();
  try {
    if (!ZRLib::filesystem::IsFileExists(path.c_str())) {
      Create();
      return false;
    }
    return static_cast<bool>(document_.load_file(ZRLib::strings::toAstr(path).c_str()));
  } catch (...) {
    document_.reset();
    return false;
  }
}

bool SettingsDocument::SaveFile(const std::wstring& path) const {
  std::string target;
  std::string data;
  try {
    target = ZRLib::strings::toAstr(path);
    std::ostringstream out;
    document_.save(out, "\t", pugi::format_indent | pugi::format_write_bom, pugi::encoding_utf8);
    if (!out) return false;
    data = out.str();
  } catch (...) {
    return false;
  }
  if (target.empty()) return false;
  // A linked settings file is saved to the link's target, so the link stays.
  target = FollowLinks(target);
  // A file this process may not write is not replaced behind its back.
  if (::access(target.c_str(), F_OK) == 0 && ::access(target.c_str(), W_OK) != 0) return false;

  std::string temporary = target + ".XXXXXX";
  const int fd = ::mkstemp(&temporary[0]);
  if (fd < 0) return false;
  // Keep the mode of the file being replaced; a new file gets the usual 0644.
  struct stat existing {};
  const mode_t mode = ::stat(target.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
  bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, data) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

std::wstring SettingsDocument::GetHeaderValue(const std::wstring& name) const {
  pugi::xml_node node;
  if (!Find("link/header/" + WstrToUTF8(name), node)) return std::wstring();
  return UTF8toWstr(node.first_child().value());
}

bool SettingsDocument::SetHeaderValue(const std::wstring& name, const std::wstring& value) {
  const std::string narrowName = WstrToUTF8(name);
  pugi::xml_node node;
  if (!Find("link/header/" + narrowName, node)) return false;
  if (!node) {
    pugi::xml_node header;
    if (!Find("link/header", header) || !header) return false;
    node = header.append_child(narrowName.c_str());
    if (!node) return false;
  }
  return SetText(node, value);
}

std::wstring SettingsDocument::GetParamText(const std::wstring& key) const {
  pugi::xml_node node;
  if (!Find(ParamXPath(key), node)) return std::wstring();
  return UTF8toWstr(node.first_child().value());
}

void SettingsDocument::GetParam(const std::wstring& key, std::wstring& out) const {
  std::wstring text = GetParamText(key);
  if (!text.empty()) out = std::move(text);
}

void SettingsDocument::GetBoolParam(const std::wstring& key, bool& out) const {
  const std::wstring text = GetParamText(key);
  if (!text.empty()) out = text == L"1" || text == L"true" || text == L"yes";
}

bool SettingsDocument::SetParam(const std::wstring& key, const std::wstring& value) {
  pugi::xml_node node;
  if (!Find(ParamXPath(key), node)) return false;
  if (!node) {
    pugi::xml_node parameters;
    if (!Find("link/parameters", parameters) || !parameters) return false;
    node = parameters.append_child("param");
    if (!node || !node.append_attribute("name").set_value(WstrToUTF8(key).c_str())) return false;
  }
  return SetText(node, value);
}

bool SettingsDocument::SetBoolParam(const std::wstring& key, bool flag) {
  return SetParam(key, flag ? L"yes" : L"no");
}

}  // namespace zr
