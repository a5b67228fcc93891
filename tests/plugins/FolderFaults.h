// Faults the folder test plug-in can be told to inject, set by the tests
// through the exported functions below. Every fault is off by default and
// after ZrTestResetFaults; the settings hold for every object of the library.

#pragma once

#include "plugin-api/PluginExports.h"

namespace zrtest {

enum Fault {
  kFailWriteAfter = 0,  // bytes: writes beyond this many (all handles) fail; -1 off
  kWriteFailCode = 1,   // the result of such a failed write (default 1)
  kFailReadAfter = 2,   // bytes: reads beyond this many (all handles) fail with 1; -1 off
  kFailSeek = 3,        // non-zero: every SeekFile fails with 1
  kShortRead = 4,       // non-zero: no ReadFile delivers more than this many bytes
  kReuseHandles = 5,    // non-zero: OpenFile hands out the lowest free handle
  kFailWriteClose = 6,  // non-zero: closing a file opened for writing returns this code
  kReadDelayMs = 7,     // non-zero: every ReadFile first sleeps this many milliseconds
  kFaultCount = 8
};

}  // namespace zrtest

// Sets fault `which` to `value`; unknown faults are ignored.
ZR_PLUGIN_EXPORT void ZrTestSetFault(int which, long long value);
// Turns every fault off and forgets the bytes counted so far.
ZR_PLUGIN_EXPORT void ZrTestResetFaults();
