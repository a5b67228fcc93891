// The three jobs of delta copying, run with librsync: the signature of a
// file, the delta of a new file against a signature, and the patch that
// rebuilds a file from its basis and a delta. Data comes in and goes out only
// through the caller's callbacks, so a job can read from and write to
// plug-ins, remote calls or a thread hand-off buffer.
//
// Signatures are BLAKE2 with rollsum, block 2048, strong sum 8: byte for
// byte what `rdiff -H blake2 -R rollsum -b 2048 -S 8 signature` writes. A
// new file of one delta piece (kDeltaPieceLength, 4 MiB) or less gives what
// `rdiff delta` makes of such a signature. A longer one is cut into pieces
// of whole blocks whose deltas are made apart and joined into one delta:
// its bytes may differ from rdiff's (a match across a piece boundary is
// sent as literal data), and `rdiff patch` rebuilds the same file from it.
//
// Output reaches a write callback in pieces of at most kBufferLength bytes,
// at least 256 KiB each but the last while a job streams (a signature, the
// first piece of a delta); the later pieces of a delta go out as soon as
// they are done, in order, so those writes may be small.
//
// Results are librsync's: 0 done, 100 input/output error (a write callback
// that took less than offered, a failed seek, a patch that needs a basis it
// was not given), 102 out of memory, 103 input ended early (a cut-off delta,
// a basis shorter than the delta's copy commands), 107 a piece's delta
// that is not a whole delta (never written); 1 when the wrapper could not be
// made or a signature cannot be loaded. librsync's own error lines go
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
  static constexpr std::uint32_t kDeltaPieceLength = 4 * 1024 * 1024;

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
  // cut off or not a signature gives 1 and nothing else runs. The first
  // piece of the new file is one job on the calling thread that writes as
  // it reads (a failing write stops it early); the later pieces are worked
  // on by up to four threads of its own, each with its own loaded copy of
  // the signature, while the calling thread reads ahead and writes the
  // pieces' deltas in order. `readNew`, `readSignature` and `write` are
  // called only from the calling thread; every thread has ended when it
  // returns, and nothing is written after a failure.
  // Memory, whatever the new file's size: the signature's bytes, plus one
  // loaded copy per thread of about three times that (threads beyond the
  // first only while their copies stay within 512 MiB: a basis over about
  // 10 GiB gets fewer threads); up to two pieces read ahead per thread
  // and their deltas: at four threads 32 MiB of pieces, and as much again
  // of deltas for a new file of literal data.
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

  // For tests, before any job: MakeDelta's pieces of `length` bytes,
  // rounded down to whole blocks (one at least) instead of
  // kDeltaPieceLength.
  void SetDeltaPieceLength(std::size_t length);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zr
