// Raw deflate of one entry in pieces on several threads, joined into one
// stream.
//
// The input is cut into pieces of kPieceSize bytes. Each piece is deflated on
// its own, primed with the 32 KiB of input before it as dictionary, and ends
// with a sync flush (the last with finish), so the pieces' outputs joined in
// order are one raw-deflate stream that any inflater reads: the way pigz
// joins its blocks. The bytes differ from one deflate over the whole input;
// what they inflate to does not.
//
// Memory: kPiecesPerThread pieces per thread, each its input, its dictionary
// and its output (about 1 MiB), plus one deflate state per thread; flat in the
// input size. Not thread-safe: one caller thread at a time; the threads are
// the object's own and are joined when it is destroyed.
#pragma once

#include <zlib.h>

#include <functional>
#include <memory>
#include <vector>

#include "plugins/db2/zip/SlotLine.h"

class ParallelDeflater {
 public:
  static constexpr unsigned int kPieceSize = 512 * 1024;
  static constexpr unsigned int kPiecesPerThread = 2;

  // Takes `size` bytes of output in stream order; returns zr::kSuccess or a
  // failure result, which ends the entry.
  using Sink = std::function<int(const unsigned char* data, unsigned int size)>;

  // Starts `threads` (at least 1) deflating threads at `level`. Throws
  // std::bad_alloc, std::system_error, or std::runtime_error when deflate
  // cannot start.
  ParallelDeflater(unsigned threads, int level);
  // Stops the threads (a piece in progress runs to its end) and joins them.
  ~ParallelDeflater();
  ParallelDeflater(const ParallelDeflater&) = delete;
  ParallelDeflater& operator=(const ParallelDeflater&) = delete;

  // Takes all `size` bytes of `data`; output that is ready goes to `sink`,
  // and the call waits for output only when every piece is busy.
  // zr::kSuccess; zr::kFailed when a piece failed to deflate; the sink's
  // failure result.
  [[nodiscard]] int Add(const unsigned char* data, unsigned int size, const Sink& sink);

  // Ends the stream: deflates what is left and hands every remaining byte
  // to `sink`. Results as Add. Nothing may be added afterwards.
  [[nodiscard]] int Finish(const Sink& sink);

 private:
  struct Piece {
    std::unique_ptr<unsigned char[]> input;
    unsigned int size = 0;
    std::unique_ptr<unsigned char[]> dictionary;
    unsigned int dictionarySize = 0;
    bool last = false;
    std::vector<unsigned char> output;
    unsigned int produced = 0;
  };
  struct StreamEnd {
    void operator()(z_stream* stream) const;
  };

  // A free piece becomes the current one, handing finished output to `sink`
  // while none is free.
  int TakePiece(const Sink& sink);
  // Queues the current piece.
  void Submit(bool last);
  // Waits for the oldest queued piece and hands its output to `sink`; 0
  // (zr::kSuccess) once nothing is queued, `*drained` then set.
  int Deliver(const Sink& sink, bool* drained);
  // A thread's work: deflates `slot` with the thread's stream.
  bool Deflate(unsigned slot, unsigned worker);

  std::vector<Piece> pieces_;
  std::vector<std::unique_ptr<z_stream, StreamEnd>> streams_;  // one per thread
  std::unique_ptr<unsigned char[]> tail_;                      // the last 32 KiB queued
  unsigned int tailSize_ = 0;
  int current_ = -1;  // the piece being filled
  std::unique_ptr<db2::CSlotLine> line_;
};
