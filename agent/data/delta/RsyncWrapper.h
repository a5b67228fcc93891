// The three jobs of delta copying, run with librsync: the signature of a
// file, the delta of a new file against a signature, and the patch that
// rebuilds a file from its basis and a delta. Data comes in and goes out only
// through the caller's callbacks, so a job can read from and write to
// plug-ins, remote calls or a thread hand-off buffer.
//
// Signatures are BLAKE2 with rollsum, block 2048, strong sum 8: byte for
// byte what `rdiff -H blake2 -R rollsum -b 2048 -S 8 signature` writes, and
// deltas are what `rdiff delta` makes of such a signature.
//
// Output reaches a write callback in pieces of at least 256 KiB, the rest at
// the job's end.
//
// Results are librsync's: 0 done, 100 input/output error (a write callback
// that took less than offered, a failed seek, a patch that needs a basis it
// was not given), 102 out of memory, 103 input ended early (a cut-off delta,
// a basis shorter than the delta's copy commands); 1 when the wrapper could
// not be made or a signature cannot be loaded. librsync's own error lines go
// to the agent's log (the wide standard error stream).
//
// Thread: any; jobs hold no state between calls, so one wrapper may run
// jobs on several threads at once.

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zr {

class CRsyncWrapper {
 public:
  // Places at most `capacity` bytes at `buffer`; returns their count, 0 at
  // the end of the input.
  using ReadCallback = std::size_t (*)(unsigned char* buffer, std::size_t capacity, void* user);
  // Takes `length` bytes; returns the count taken. Anything short of
  // `length` ends the job with 100.
  using WriteCallback = std::size_t (*)(const unsigned char* data, std::size_t length, void* user);
  // Moves the basis read position to `position`; false ends the job with 100.
  using SeekCallback = bool (*)(std::uint64_t position, void* user);

  static constexpr std::uint32_t kBufferLength = 1024000;
  static constexpr std::uint32_t kBlockLength = 2048;
  static constexpr std::uint32_t kStrongSumLength = 8;

  CRsyncWrapper();
  ~CRsyncWrapper();

  CRsyncWrapper(const CRsyncWrapper&) = delete;
  CRsyncWrapper& operator=(const CRsyncWrapper&) = delete;

  // Writes the signature of everything `read` delivers to `write`. An empty
  // input gives the signature of an empty file. Pieces of the input are
  // summed on up to four threads of its own; `read` and `write` are called
  // only from the calling thread.
  [[nodiscard]] int MakeSignature(void* inputUser, ReadCallback read, void* outputUser, WriteCallback write);

  // Loads the signature from `readSignature`, then writes to `write` the
  // delta of what `readNew` delivers against it. A signature that is empty,
  // cut off or not a signature gives 1 and nothing else runs.
  [[nodiscard]] int MakeDelta(void* newUser, ReadCallback readNew, void* signatureUser,
                              ReadCallback readSignature, void* deltaUser, WriteCallback write);

  // Rebuilds a file from the basis (`readBasis` after `seek`) and the delta
  // (`readDelta`) and writes it to `write`. A null callback leaves its stream
  // out: a delta with copy commands and no basis gives 100. A complete delta
  // is read up to its end command and no further.
  [[nodiscard]] int ApplyPatch(void* basisUser, ReadCallback readBasis, void* deltaUser,
                               ReadCallback readDelta, void* outputUser, WriteCallback write,
                               SeekCallback seek);

  // The signature block length: 2048.
  std::uint32_t GetBlockLength() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zr
