#include "plugins/db2/zip/ParallelDeflater.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "plugin-api/ResultCodes.h"

namespace {

// The deflate window: what a piece may refer back to before its start.
constexpr unsigned int kWindow = 32 * 1024;
// Room for the sync-flush marker and the bits before it, beyond deflateBound.
constexpr unsigned int kFlushRoom = 64;

}  // namespace

void ParallelDeflater::StreamEnd::operator()(z_stream* stream) const {
  deflateEnd(stream);
  delete stream;
}

ParallelDeflater::ParallelDeflater(unsigned threads, int level) : tail_(new unsigned char[kWindow]) {
  threads = std::max(threads, 1u);
  pieces_.resize(threads * kPiecesPerThread);
  for (Piece& piece : pieces_) {
    piece.input.reset(new unsigned char[kPieceSize]);
    piece.dictionary.reset(new unsigned char[kWindow]);
  }
  for (unsigned i = 0; i < threads; ++i) {
    std::unique_ptr<z_stream> stream(new z_stream{});
    if (deflateInit2(stream.get(), level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::runtime_error("deflateInit2");
    }
    streams_.emplace_back(stream.release());
  }
  line_ = std::make_unique<db2::CSlotLine>(
      static_cast<unsigned>(pieces_.size()), threads,
      [this](unsigned slot, unsigned worker) { return Deflate(slot, worker); });
}

ParallelDeflater::~ParallelDeflater() {
  // The threads go before the pieces and streams they use.
  line_.reset();
}

int ParallelDeflater::Add(const unsigned char* data, unsigned int size, const Sink& sink) {
  while (size > 0) {
    if (current_ < 0) {
      const int result = TakePiece(sink);
      if (result != zr::kSuccess) return result;
    }
    Piece& piece = pieces_[static_cast<unsigned>(current_)];
    const unsigned int count = std::min(size, kPieceSize - piece.size);
    std::memcpy(piece.input.get() + piece.size, data, count);
    piece.size += count;
    data += count;
    size -= count;
    if (piece.size == kPieceSize) Submit(false);
  }
  return zr::kSuccess;
}

int ParallelDeflater::Finish(const Sink& sink) {
  if (current_ < 0) {
    // The last piece may be empty: it still ends the stream.
    const int result = TakePiece(sink);
    if (result != zr::kSuccess) return result;
  }
  Submit(true);
  for (bool drained = false; !drained;) {
    const int result = Deliver(sink, &drained);
    if (result != zr::kSuccess) return result;
  }
  return zr::kSuccess;
}

int ParallelDeflater::TakePiece(const Sink& sink) {
  int slot;
  while ((slot = line_->Take()) < 0) {
    bool drained = false;
    const int result = Deliver(sink, &drained);
    if (result != zr::kSuccess) return result;
    // Nothing queued and nothing free: the line has failed.
    if (drained) return zr::kFailed;
  }
  current_ = slot;
  Piece& piece = pieces_[static_cast<unsigned>(slot)];
  piece.size = 0;
  piece.dictionarySize = tailSize_;
  std::memcpy(piece.dictionary.get(), tail_.get(), tailSize_);
  return zr::kSuccess;
}

void ParallelDeflater::Submit(bool last) {
  Piece& piece = pieces_[static_cast<unsigned>(current_)];
  piece.last = last;
  // Every piece but the last is full, and a full piece is larger than the
  // window: its end is the next piece's dictionary.
  tailSize_ = std::min(piece.size, kWindow);
  std::memcpy(tail_.get(), piece.input.get() + piece.size - tailSize_, tailSize_);
  line_->Queue(static_cast<unsigned>(current_));
  current_ = -1;
}

int ParallelDeflater::Deliver(const Sink& sink, bool* drained) {
  unsigned slot = 0;
  const int next = line_->Next(slot);
  *drained = next == 0;
  if (next == 0) return zr::kSuccess;
  const Piece& piece = pieces_[slot];
  const int result = next < 0 ? zr::kFailed : sink(piece.output.data(), piece.produced);
  line_->Release(slot);
  return result;
}

bool ParallelDeflater::Deflate(unsigned slot, unsigned worker) {
  Piece& piece = pieces_[slot];
  z_stream& stream = *streams_[worker];
  if (deflateReset(&stream) != Z_OK) return false;
  if (piece.dictionarySize > 0 &&
      deflateSetDictionary(&stream, piece.dictionary.get(), piece.dictionarySize) != Z_OK) {
    return false;
  }
  const std::size_t bound = deflateBound(&stream, piece.size) + kFlushRoom;
  if (piece.output.size() < bound) piece.output.resize(bound);
  const int flush = piece.last ? Z_FINISH : Z_SYNC_FLUSH;
  stream.next_in = piece.input.get();
  stream.avail_in = piece.size;
  std::size_t produced = 0;
  for (;;) {
    stream.next_out = piece.output.data() + produced;
    stream.avail_out = static_cast<uInt>(piece.output.size() - produced);
    const int z = deflate(&stream, flush);
    produced = piece.output.size() - stream.avail_out;
    if (z != Z_OK && z != Z_STREAM_END && z != Z_BUF_ERROR) return false;
    if (piece.last ? z == Z_STREAM_END : stream.avail_out != 0) break;
    // Deflate stopped short of its end with room left: it cannot go on.
    if (stream.avail_out != 0) return false;
    piece.output.resize(piece.output.size() + kWindow);
  }
  piece.produced = static_cast<unsigned int>(produced);
  return true;
}
