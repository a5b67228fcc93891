#pragma once

#include <string>

namespace zr {

// Sets the process locale (C and C++) once, from the environment; when the
// environment names a locale that does not exist, from "C.UTF-8", else "C".
// Returns the name of the locale set.
// REQUIRES: called on the main thread before any other thread starts.
std::string SetProcessLocale();

}  // namespace zr
