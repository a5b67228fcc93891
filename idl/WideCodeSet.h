#pragma once

namespace zr {

// The name of the agent's native wide-character code set, to be given to omniORB
// as "nativeWCharCodeSet" before ORB_init. It is UCS-4 (one 32-bit wchar_t per
// code point, advertised as UCS-4), as omniORB's own, except that a string sent
// in UTF-16 is handed over with its count of UTF-16 units, so characters above
// U+FFFF reach a UTF-16 peer whole, and a string received in UTF-16 (an empty
// one included) is turned into code points within its own buffer.
// The first call registers the code set with omniORB; make it before the first
// ORB of the process is initialised. Thread-safe.
const char* NativeWideCodeSet();

}  // namespace zr
