// Result codes of every plug-in, filter, broker, target and data operation.
// The numbers are those of the remote enum IDLErrorID; plug-ins compiled
// against bare numbers keep working (the ABI is the int).

#pragma once

namespace zr {

inline constexpr int kSuccess = 0;       // done
inline constexpr int kFailed = 1;        // any failure without a code of its own
inline constexpr int kPathNotFound = 3;  // the path names nothing
inline constexpr int kAccessDenied = 4;  // the store refuses the operation
inline constexpr int kHandleEof = 5;     // end of data: ends every read loop
inline constexpr int kNotSupported = 6;  // the object cannot do this operation
inline constexpr int kDiskFull = 7;      // the store ran out of space

// The servant layer passes these codes through and turns any other into kFailed.
[[nodiscard]] constexpr int PassableResult(int result) {
  return (result == kSuccess || result == kPathNotFound || result == kAccessDenied || result == kHandleEof ||
          result == kNotSupported || result == kDiskFull)
             ? result
             : kFailed;
}

}  // namespace zr
