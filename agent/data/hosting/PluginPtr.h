// Ownership of objects made by a plug-in or filter library: they are freed
// only through their own Destroy(), inside the library that made them.

#pragma once

#include <memory>

namespace zr {

struct DestroyDeleter {
  // Exceptions from a library's Destroy are swallowed: a plug-in must not
  // throw, and a destructor path cannot report it.
  template <class T>
  void operator()(T* object) const noexcept {
    if (object == nullptr) return;
    try {
      object->Destroy();
    } catch (...) {
    }
  }
};

template <class T>
using PluginPtr = std::unique_ptr<T, DestroyDeleter>;

}  // namespace zr
