// What the agent keeps about one loaded filter library.

#pragma once

#include <string>

namespace zr {

class CFilterEntry {
 public:
  CFilterEntry() = default;
  CFilterEntry(void* library, std::wstring name, std::wstring version, bool valid)
      : library_(library), name_(std::move(name)), version_(std::move(version)), valid_(valid) {}

  // The dlopen handle, owned by the extension loader.
  void* GetLibrary() const { return library_; }
  // Name and version from "GetFilterInfo"; empty when the library has none.
  const std::wstring& GetName() const { return name_; }
  const std::wstring& GetVersion() const { return version_; }
  // True when "GetFilterInfo" existed and returned an object.
  bool IsValid() const { return valid_; }

 private:
  void* library_ = nullptr;
  std::wstring name_;
  std::wstring version_;
  bool valid_ = false;
};

}  // namespace zr
