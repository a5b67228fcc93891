// Finding the factory functions an extension library exports.

#pragma once

#include <dlfcn.h>

namespace zr {

// The export `name` of `library` (a dlopen handle) as the factory type `Fn`
// (one of the types of plugin-api/PluginExports.h); null when the library
// has no such export.
template <typename Fn>
Fn FindFactory(void* library, const char* name) {
  return reinterpret_cast<Fn>(dlsym(library, name));
}

}  // namespace zr
