#include "agent/data/delta/RsyncWrapper.h"

#include <librsync.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "zrlib/strings/Strings.h"

// A broken buffer state is a programming fault, in release builds too.
#define ZR_RSYNC_CHECK(condition)                                                                        \
  do {                                                                                                   \
    if (!(condition)) {                                                                                  \
      std::fprintf(stderr, "Assertion failed: %s, file CRsyncWrapper, line %d\n", #condition, __LINE__); \
      std::abort();                                                                                      \
    }                                                                                                    \
  } while (0)

namespace zr {
namespace {

constexpr int kNoWrapper = 1;

// librsync writes its errors narrow to stderr, which the agent has made
// wide-oriented (narrow writes would vanish): pass them to the wide stream.
void TraceToLog(rs_loglevel, char const* message) {
  static std::mutex mutex;
  std::string text = message != nullptr ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::lock_guard<std::mutex> lock(mutex);
  std::wcerr << ZRLib::strings::toWstrOrEscaped(text) << std::endl;
}

void RouteLibraryErrors() {
  static std::once_flag once;
  std::call_once(once, [] {
    rs_trace_to(&TraceToLog);
    rs_trace_set_level(RS_LOG_ERR);
  });
}

struct JobDeleter {
  void operator()(rs_job_t* job) const { rs_job_free(job); }
};
using JobPtr = std::unique_ptr<rs_job_t, JobDeleter>;

struct SignatureDeleter {
  void operator()(rs_signature_t* signature) const { rs_free_sumset(signature); }
};
using SignaturePtr = std::unique_ptr<rs_signature_t, SignatureDeleter>;

// One input or output of a job.
struct Stream {
  void* user = nullptr;
  std::unique_ptr<unsigned char[]> buffer;
  std::size_t length = 0;
  CRsyncWrapper::ReadCallback read = nullptr;
  CRsyncWrapper::WriteCallback write = nullptr;
  CRsyncWrapper::SeekCallback seek = nullptr;

  // False when the buffer cannot be had.
  bool Allocate(std::size_t size) {
    length = size;
    if (size == 0) return true;
    buffer.reset(new (std::nothrow) unsigned char[size]);
    return buffer != nullptr;
  }
  char* Begin() const { return reinterpret_cast<char*>(buffer.get()); }
};

rs_result Fill(rs_job_t*, rs_buffers_t* buffers, void* opaque) {
  Stream& stream = *static_cast<Stream*>(opaque);
  if (buffers->next_in != nullptr) {
    ZR_RSYNC_CHECK(buffers->avail_in <= stream.length);
    ZR_RSYNC_CHECK(buffers->next_in >= stream.Begin() &&
                   buffers->next_in + buffers->avail_in <= stream.Begin() + stream.length);
  } else {
    ZR_RSYNC_CHECK(buffers->avail_in == 0);
  }
  if (buffers->eof_in) return RS_DONE;
  if (buffers->avail_in != 0) return RS_DONE;
  const std::size_t got = stream.read(stream.buffer.get(), stream.length, stream.user);
  if (got > stream.length) return RS_IO_ERROR;
  if (got != 0) {
    buffers->next_in = stream.Begin();
    buffers->avail_in = got;
    buffers->eof_in = 0;
  } else {
    buffers->eof_in = 1;
  }
  return RS_DONE;
}

// Output is passed on once this much is present, or at the job's end: a
// write per job step would make a remote call or a thread hand-off for
// every few bytes of copy commands.
constexpr std::size_t kFlushBytes = 256 * 1024;

rs_result Drain(rs_buffers_t* buffers, Stream& stream, bool last) {
  if (buffers->next_out != nullptr) {
    ZR_RSYNC_CHECK(buffers->avail_out <= stream.length);
    ZR_RSYNC_CHECK(buffers->next_out >= stream.Begin() &&
                   buffers->next_out <= stream.Begin() + stream.length);
    const std::size_t present = static_cast<std::size_t>(buffers->next_out - stream.Begin());
    if (present == 0) return RS_DONE;
    if (!last && present < kFlushBytes && buffers->avail_out > 0) return RS_DONE;
    if (stream.write(stream.buffer.get(), present, stream.user) != present) return RS_IO_ERROR;
  } else {
    ZR_RSYNC_CHECK(buffers->avail_out == 0);
  }
  buffers->next_out = stream.Begin();
  buffers->avail_out = stream.length;
  return RS_DONE;
}

// Basis access of the patch job. Without a basis a copy command cannot be
// served: an error, not a call through null.
rs_result CopyFromBasis(void* opaque, rs_long_t position, std::size_t* length, void** buffer) {
  const Stream* basis = static_cast<const Stream*>(opaque);
  if (basis == nullptr || basis->read == nullptr || basis->seek == nullptr) return RS_IO_ERROR;
  if (position < 0 || !basis->seek(static_cast<std::uint64_t>(position), basis->user)) return RS_IO_ERROR;
  const std::size_t got = basis->read(static_cast<unsigned char*>(*buffer), *length, basis->user);
  if (got == 0) return RS_INPUT_ENDED;
  if (got > *length) return RS_IO_ERROR;
  *length = got;
  return RS_DONE;
}

// A signature is its header (magic, block length, strong-sum length) and
// one record per block, each block summed on its own: pieces of whole
// blocks can be signed apart and joined, leaving out every header but the
// first.
constexpr std::size_t kSignatureHeaderLength = 12;
constexpr unsigned kMostJobThreads = 4;

unsigned JobThreads() { return std::clamp(std::thread::hardware_concurrency(), 1u, kMostJobThreads); }

// A piece of the input of a signature or delta job, worked on by one thread.
struct Piece {
  rs_result result = RS_DONE;
  std::vector<unsigned char> input;  // given back for the next piece
  std::size_t size = 0;
  std::vector<unsigned char> output;
  SignaturePtr signature;  // delta: the worker's own, given back for the next piece
};

Piece SignPiece(Piece piece, std::uint32_t blockLength, std::uint32_t strongSumLength) {
  JobPtr job(rs_sig_begin(blockLength, strongSumLength, RS_BLAKE2_SIG_MAGIC));
  if (!job) {
    piece.result = RS_MEM_ERROR;
    return piece;
  }
  const std::size_t blocks = (piece.size + blockLength - 1) / blockLength;
  piece.output.resize(kSignatureHeaderLength + blocks * (4 + strongSumLength));
  rs_buffers_t buffers{};
  buffers.next_in = reinterpret_cast<char*>(piece.input.data());
  buffers.avail_in = piece.size;
  buffers.eof_in = 1;
  buffers.next_out = reinterpret_cast<char*>(piece.output.data());
  buffers.avail_out = piece.output.size();
  rs_result result;
  do {
    result = rs_job_iter(job.get(), &buffers);
  } while (result == RS_BLOCKED && buffers.avail_out > 0);
  // Blocked with no room left: the records did not fit the reckoning.
  piece.result = result == RS_BLOCKED ? RS_IO_ERROR : result;
  piece.output.resize(piece.output.size() - buffers.avail_out);
  return piece;
}

// Loads a signature from all of its bytes and builds its hash table: 0, 102
// out of memory, or 1 when the bytes are not a whole signature (building
// the table of one that did not load aborts the process: never tried).
int LoadSignature(const std::vector<unsigned char>& bytes, SignaturePtr& signature) {
  rs_signature_t* loaded = nullptr;
  JobPtr load(rs_loadsig_begin(&loaded));
  signature.reset(loaded);
  if (!load) return RS_MEM_ERROR;
  rs_buffers_t buffers{};
  buffers.next_in = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
  buffers.avail_in = bytes.size();
  buffers.eof_in = 1;
  rs_result result;
  std::size_t before;
  do {
    before = buffers.avail_in;
    result = rs_job_iter(load.get(), &buffers);
  } while (result == RS_BLOCKED && buffers.avail_in < before);
  if (result == RS_MEM_ERROR) return RS_MEM_ERROR;
  if (result != RS_DONE || !signature) return kNoWrapper;
  const rs_result built = rs_build_hash_table(signature.get());
  if (built == RS_DONE) return RS_DONE;
  return built == RS_MEM_ERROR ? RS_MEM_ERROR : kNoWrapper;
}

// A delta is its magic, its commands and the end command (one zero byte).
// Copy commands address the basis absolutely and literals are inline, so
// the deltas of consecutive pieces of the new file join into one delta: the
// first piece's magic, every piece's commands, one end command.
constexpr unsigned char kDeltaMagic[] = {0x72, 0x73, 0x02, 0x36};
constexpr std::size_t kDeltaMagicLength = sizeof kDeltaMagic;
constexpr unsigned char kDeltaEnd = 0;

// The delta of one piece against the worker's own signature (loaded from
// `signatureBytes` when the piece brings none). Its input goes to the job
// in `feedLength` steps: librsync copies what it is given into a buffer of
// its own.
Piece DeltaPiece(Piece piece, const std::vector<unsigned char>& signatureBytes, std::size_t feedLength) {
  if (!piece.signature) {
    piece.result = static_cast<rs_result>(LoadSignature(signatureBytes, piece.signature));
    if (piece.result != RS_DONE) return piece;
  }
  JobPtr job(rs_delta_begin(piece.signature.get()));
  if (!job) {
    piece.result = RS_MEM_ERROR;
    return piece;
  }
  // Room for the commands of matched data; past that, room for the whole
  // piece as literal data at once (literal commands add a few bytes per
  // 32 KiB): growing by steps leaves freed buffers in each thread's heap.
  const std::size_t most = piece.size + piece.size / 1024 + 4096;
  std::size_t given = 0;
  std::size_t produced = 0;
  rs_buffers_t buffers{};
  buffers.eof_in = piece.size == 0;
  rs_result result = RS_BLOCKED;
  int idle = 0;
  try {
    piece.output.resize(std::min<std::size_t>(most, 64 * 1024));
    for (;;) {
      if (buffers.avail_in == 0 && given < piece.size) {
        buffers.next_in = reinterpret_cast<char*>(piece.input.data() + given);
        buffers.avail_in = std::min(feedLength, piece.size - given);
        given += buffers.avail_in;
        buffers.eof_in = given == piece.size;
      }
      const std::size_t room = piece.output.size();
      if (produced == room) piece.output.resize(room < most ? most : room * 2);
      buffers.next_out = reinterpret_cast<char*>(piece.output.data() + produced);
      buffers.avail_out = piece.output.size() - produced;
      const std::size_t inBefore = buffers.avail_in;
      const std::size_t producedBefore = produced;
      result = rs_job_iter(job.get(), &buffers);
      produced = piece.output.size() - buffers.avail_out;
      if (result != RS_BLOCKED) break;
      // Blocked twice with input or its end and room, moving nothing: stuck.
      const bool moved = buffers.avail_in != inBefore || produced != producedBefore;
      idle = !moved && buffers.avail_out > 0 && (buffers.avail_in > 0 || given == piece.size) ? idle + 1 : 0;
      if (idle == 2) {
        result = RS_INTERNAL_ERROR;
        break;
      }
    }
  } catch (const std::bad_alloc&) {
    result = RS_MEM_ERROR;
  }
  piece.output.resize(produced);
  piece.result = result;
  if (result == RS_DONE && (produced < kDeltaMagicLength + 1 ||
                            !std::equal(kDeltaMagic, kDeltaMagic + kDeltaMagicLength, piece.output.begin()) ||
                            piece.output.back() != kDeltaEnd))
    piece.result = RS_INTERNAL_ERROR;
  return piece;
}

// Fills `piece` from `read` up to its capacity or the end of the input;
// false on a read that claims more than it was given room for.
bool FillPiece(Piece& piece, const Stream& input, bool& ended) {
  piece.size = 0;
  while (!ended && piece.size < piece.input.size()) {
    const std::size_t room = piece.input.size() - piece.size;
    const std::size_t got = input.read(piece.input.data() + piece.size, room, input.user);
    if (got > room) return false;
    if (got == 0) ended = true;
    piece.size += got;
  }
  return true;
}

// Reads everything `input` delivers into `bytes`, `step` bytes a read;
// false on a read that claims more than it was given room for.
bool ReadWhole(const Stream& input, std::size_t step, std::vector<unsigned char>& bytes) {
  for (;;) {
    const std::size_t size = bytes.size();
    bytes.resize(size + step);
    const std::size_t got = input.read(bytes.data() + size, step, input.user);
    bytes.resize(size + std::min(got, step));
    if (got > step) return false;
    if (got == 0) return true;
  }
}

// Delta pieces read ahead per thread: one slow piece (literal data is
// scanned byte by byte) leaves the other threads work.
constexpr unsigned kDeltaPiecesPerThread = 2;

// A loaded signature takes about three times its bytes. Delta threads
// beyond the first load their own copy only while these copies stay within
// this budget: a large basis gets fewer threads.
constexpr std::size_t kSignatureCopiesBudget = 512u << 20;

unsigned DeltaThreads(std::size_t signatureLength) {
  const std::size_t copies = kSignatureCopiesBudget / (3 * std::max<std::size_t>(signatureLength, 1));
  return static_cast<unsigned>(std::min<std::size_t>(JobThreads(), 1 + copies));
}

// librsync's rs_job_drive, but the output step knows the job's last step.
int Drive(rs_job_t* job, Stream* input, Stream* output) {
  rs_buffers_t buffers{};
  rs_result result;
  do {
    if (input != nullptr && !buffers.eof_in) {
      const rs_result filled = Fill(job, &buffers, input);
      if (filled != RS_DONE) return filled;
    }
    result = rs_job_iter(job, &buffers);
    if (result != RS_DONE && result != RS_BLOCKED) return result;
    if (output != nullptr) {
      const rs_result drained = Drain(&buffers, *output, result == RS_DONE);
      if (drained != RS_DONE) return drained;
    }
  } while (result != RS_DONE);
  return result;
}

// The bytes of a delta on their way to the write callback, gathered in the
// output stream's buffer.
class DeltaOutput {
 public:
  explicit DeltaOutput(const Stream& stream) : stream_(stream) {}
  // False on a short write. A full buffer is written when more comes, so
  // the last byte put can still be taken back.
  bool Put(const unsigned char* data, std::size_t length) {
    while (length > 0) {
      if (present_ == stream_.length && !Flush()) return false;
      const std::size_t n = std::min(length, stream_.length - present_);
      std::memcpy(stream_.buffer.get() + present_, data, n);
      present_ += n;
      data += n;
      length -= n;
    }
    return true;
  }
  // Takes back the last byte put when it is `byte`.
  bool TakeBack(unsigned char byte) {
    if (present_ == 0 || stream_.buffer[present_ - 1] != byte) return false;
    --present_;
    return true;
  }
  bool Flush() {
    const std::size_t length = present_;
    present_ = 0;
    return length == 0 || stream_.write(stream_.buffer.get(), length, stream_.user) == length;
  }

 private:
  const Stream& stream_;
  std::size_t present_ = 0;
};

// The first piece of a delta is one job on the calling thread that reads
// and writes as it goes, as a job over the whole input would: its delta
// (less the end command) goes out before the rest of the input is read,
// and a failing write ends the job early. `ended` tells whether the input
// ended within the piece.
class FirstDeltaPiece {
 public:
  FirstDeltaPiece(const Stream& input, std::size_t length, DeltaOutput& out)
      : input_(input), left_(length), out_(out) {}

  int Run(rs_signature_t* signature, std::size_t bufferLength, bool& ended) {
    Stream input{this, nullptr, 0, &Read, nullptr, nullptr};
    Stream output{this, nullptr, 0, nullptr, &Write, nullptr};
    if (!input.Allocate(bufferLength) || !output.Allocate(bufferLength)) return RS_MEM_ERROR;
    JobPtr job(rs_delta_begin(signature));
    if (!job) return RS_MEM_ERROR;
    const int result = Drive(job.get(), &input, &output);
    ended = ended_;
    if (notDelta_ || (result == RS_DONE && !out_.TakeBack(kDeltaEnd))) return RS_INTERNAL_ERROR;
    return result;
  }

 private:
  static std::size_t Read(unsigned char* buffer, std::size_t capacity, void* user) {
    auto& self = *static_cast<FirstDeltaPiece*>(user);
    const std::size_t room = std::min(capacity, self.left_);
    if (room == 0) return 0;
    const std::size_t got = self.input_.read(buffer, room, self.input_.user);
    // More than the room: reported as more than the capacity, which fails the job.
    if (got > room) return capacity + 1;
    self.left_ -= got;
    self.ended_ = got == 0;
    return got;
  }
  static std::size_t Write(const unsigned char* data, std::size_t length, void* user) {
    auto& self = *static_cast<FirstDeltaPiece*>(user);
    if (self.written_ == 0 &&
        (length < kDeltaMagicLength || !std::equal(kDeltaMagic, kDeltaMagic + kDeltaMagicLength, data))) {
      self.notDelta_ = true;
      return 0;
    }
    self.written_ += length;
    return self.out_.Put(data, length) ? length : 0;
  }

  const Stream& input_;
  std::size_t left_;
  DeltaOutput& out_;
  bool ended_ = false;
  bool notDelta_ = false;
  std::size_t written_ = 0;
};

// The threads of one delta job. Each takes the oldest piece queued, makes
// its delta with a signature of its own (librsync counts look-ups in the
// signature: no two threads share one) and marks it done.
class DeltaWorkers {
 public:
  struct Slot {
    Piece piece;
    bool done = false;
  };

  DeltaWorkers(const std::vector<unsigned char>& signatureBytes, std::size_t feedLength,
               SignaturePtr signature)
      : signatureBytes_(signatureBytes), feedLength_(feedLength) {
    idle_.push_back(std::move(signature));
  }
  ~DeltaWorkers() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    queued_.notify_all();
    for (auto& thread : threads_) thread.join();
  }
  DeltaWorkers(const DeltaWorkers&) = delete;
  DeltaWorkers& operator=(const DeltaWorkers&) = delete;

  // Hands `slot` to the threads, starting one more while fewer than `most`
  // run; without any thread the piece is worked on here.
  void Queue(Slot& slot, unsigned most) {
    if (threads_.size() < most) {
      try {
        threads_.emplace_back([this] { Work(); });
      } catch (const std::system_error&) {
      }
    }
    if (threads_.empty()) {
      Run(slot);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(&slot);
    }
    queued_.notify_one();
  }
  // Works on `slot` on the calling thread.
  void Run(Slot& slot) {
    slot.piece.signature = TakeIdle();
    slot.piece = DeltaPiece(std::move(slot.piece), signatureBytes_, feedLength_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (slot.piece.signature) idle_.push_back(std::move(slot.piece.signature));
    slot.done = true;
  }
  void WaitFor(const Slot& slot) {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&] { return slot.done; });
  }
  bool IsDone(const Slot& slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    return slot.done;
  }

 private:
  SignaturePtr TakeIdle() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.empty()) return nullptr;
    SignaturePtr signature = std::move(idle_.back());
    idle_.pop_back();
    return signature;
  }
  void Work() {
    SignaturePtr signature = TakeIdle();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      queued_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      Slot& slot = *queue_.front();
      queue_.pop_front();
      lock.unlock();
      slot.piece.signature = std::move(signature);
      slot.piece = DeltaPiece(std::move(slot.piece), signatureBytes_, feedLength_);
      signature = std::move(slot.piece.signature);
      lock.lock();
      slot.done = true;
      finished_.notify_all();
    }
  }

  const std::vector<unsigned char>& signatureBytes_;
  const std::size_t feedLength_;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<Slot*> queue_;
  std::vector<SignaturePtr> idle_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace

struct CRsyncWrapper::Impl {
  std::uint32_t inputLength = kBufferLength;
  std::uint32_t outputLength = kBufferLength;
  std::uint32_t blockLength = kBlockLength;
  std::uint32_t strongSumLength = kStrongSumLength;
  std::size_t deltaPieceLength = kDeltaPieceLength;
};

CRsyncWrapper::CRsyncWrapper() : impl_(new (std::nothrow) Impl) { RouteLibraryErrors(); }

CRsyncWrapper::~CRsyncWrapper() = default;

std::uint32_t CRsyncWrapper::GetBlockLength() const { return impl_ ? impl_->blockLength : kBlockLength; }

void CRsyncWrapper::SetDeltaPieceLength(std::size_t length) {
  if (impl_)
    impl_->deltaPieceLength = std::max<std::size_t>(length - length % impl_->blockLength, impl_->blockLength);
}

int CRsyncWrapper::MakeSignature(void* inputUser, ReadCallback read, void* outputUser, WriteCallback write) {
  if (!impl_ || read == nullptr || write == nullptr) return kNoWrapper;
  const Stream input{inputUser, nullptr, 0, read, nullptr, nullptr};
  // The input is read here in pieces of the input buffer's length (whole
  // blocks), signed on up to kMostJobThreads threads and written in order:
  // the same bytes as one job over the whole input.
  const std::size_t pieceLength = impl_->inputLength - impl_->inputLength % impl_->blockLength;
  const unsigned threads = JobThreads();
  std::deque<std::future<Piece>> pending;
  std::vector<std::vector<unsigned char>> spare;
  bool ended = false;
  bool first = true;
  int result = RS_DONE;
  // Writes the oldest signed piece; false once anything failed.
  auto writeOldest = [&] {
    Piece piece = pending.front().get();
    pending.pop_front();
    if (result == RS_DONE && piece.result != RS_DONE) result = piece.result;
    if (result == RS_DONE) {
      const std::size_t skip = first ? 0 : std::min(kSignatureHeaderLength, piece.output.size());
      const std::size_t length = piece.output.size() - skip;
      if (length > 0 && write(piece.output.data() + skip, length, outputUser) != length) result = RS_IO_ERROR;
      first = false;
    }
    spare.push_back(std::move(piece.input));
    return result == RS_DONE;
  };
  // The first piece goes even when empty: it carries the header.
  for (bool any = true; any && !ended;) {
    Piece piece;
    if (!spare.empty()) {
      piece.input = std::move(spare.back());
      spare.pop_back();
    }
    try {
      piece.input.resize(pieceLength);
    } catch (const std::bad_alloc&) {
      result = RS_MEM_ERROR;
      break;
    }
    if (!FillPiece(piece, input, ended)) {
      result = RS_IO_ERROR;
      break;
    }
    any = piece.size > 0 || (first && pending.empty());
    if (!any) break;
    const std::uint32_t blockLength = impl_->blockLength;
    const std::uint32_t strongSumLength = impl_->strongSumLength;
    auto taken = std::make_shared<Piece>(std::move(piece));
    auto sign = [taken, blockLength, strongSumLength] {
      return SignPiece(std::move(*taken), blockLength, strongSumLength);
    };
    // An input of one piece is signed here: a thread would only add its start.
    const bool alone = ended && pending.empty();
    try {
      pending.push_back(std::async(alone ? std::launch::deferred : std::launch::async, sign));
    } catch (const std::system_error&) {
      // No thread to be had: signed here.
      pending.push_back(std::async(std::launch::deferred, sign));
    }
    if (pending.size() >= threads && !writeOldest()) break;
  }
  while (!pending.empty()) static_cast<void>(writeOldest());
  return result;
}

int CRsyncWrapper::MakeDelta(void* newUser, ReadCallback readNew, void* signatureUser,
                             ReadCallback readSignature, void* deltaUser, WriteCallback write) {
  if (!impl_ || readNew == nullptr || readSignature == nullptr || write == nullptr) return kNoWrapper;
  // The signature is read here whole; each thread loads its own copy.
  std::vector<unsigned char> signatureBytes;
  const Stream signatureInput{signatureUser, nullptr, 0, readSignature, nullptr, nullptr};
  try {
    if (!ReadWhole(signatureInput, impl_->inputLength, signatureBytes)) return kNoWrapper;
  } catch (const std::bad_alloc&) {
    return RS_MEM_ERROR;
  }
  SignaturePtr signature;
  const int loaded = LoadSignature(signatureBytes, signature);
  if (loaded != RS_DONE) return loaded;

  const Stream input{newUser, nullptr, 0, readNew, nullptr, nullptr};
  Stream output{deltaUser, nullptr, 0, nullptr, write, nullptr};
  if (!output.Allocate(impl_->outputLength)) return RS_MEM_ERROR;
  DeltaOutput out(output);
  const std::size_t pieceLength = impl_->deltaPieceLength;
  bool ended = false;
  const int firstResult =
      FirstDeltaPiece(input, pieceLength, out).Run(signature.get(), impl_->inputLength, ended);
  if (firstResult != RS_DONE) return firstResult;
  // The rest is read here in pieces of whole blocks (so that unmoved data
  // matches from each piece's first byte), their deltas made on up to
  // kMostJobThreads threads while the next pieces are read, and joined in
  // order.
  const unsigned threads = DeltaThreads(signatureBytes.size());
  // One thread works with the signature loaded here: no copy to load.
  if (threads == 1) std::vector<unsigned char>().swap(signatureBytes);
  using Slot = DeltaWorkers::Slot;
  std::deque<std::unique_ptr<Slot>> pending;  // read, not yet written
  std::vector<std::unique_ptr<Slot>> spare;
  DeltaWorkers workers(signatureBytes, impl_->inputLength, std::move(signature));
  int result = ended || out.Flush() ? RS_DONE : RS_IO_ERROR;
  // Puts the oldest piece's commands out (not its magic nor its end
  // command); false once anything failed.
  auto putOldest = [&] {
    std::unique_ptr<Slot> slot = std::move(pending.front());
    pending.pop_front();
    workers.WaitFor(*slot);
    const Piece& piece = slot->piece;
    if (piece.result != RS_DONE) {
      result = piece.result;
    } else if (!out.Put(piece.output.data() + kDeltaMagicLength,
                        piece.output.size() - kDeltaMagicLength - 1)) {
      result = RS_IO_ERROR;
    }
    spare.push_back(std::move(slot));
    return result == RS_DONE;
  };
  // What is out goes on once no further piece is done: the peer's patch
  // starts early, and pieces done together make one write.
  auto flush = [&] {
    if (!out.Flush()) result = RS_IO_ERROR;
    return result == RS_DONE;
  };
  while (result == RS_DONE && !ended) {
    std::unique_ptr<Slot> slot;
    try {
      if (spare.empty()) {
        slot = std::make_unique<Slot>();
      } else {
        slot = std::move(spare.back());
        spare.pop_back();
        slot->piece.result = RS_DONE;
        slot->done = false;
      }
      slot->piece.input.resize(pieceLength);
    } catch (const std::bad_alloc&) {
      result = RS_MEM_ERROR;
      break;
    }
    if (!FillPiece(slot->piece, input, ended)) {
      result = RS_IO_ERROR;
      break;
    }
    if (slot->piece.size == 0) break;
    // A few pieces per thread are read ahead: one slow piece (literal data
    // is scanned byte by byte) leaves the other threads work.
    bool going = true;
    while (going && !pending.empty() &&
           (pending.size() >= kDeltaPiecesPerThread * threads || workers.IsDone(*pending.front())))
      going = putOldest();
    if (!going || !flush()) break;
    pending.push_back(std::move(slot));
    workers.Queue(*pending.back(), threads);
  }
  // After a failure, the pieces still queued are dropped and the threads
  // joined on the way out.
  while (result == RS_DONE && !pending.empty()) {
    if (!workers.IsDone(*pending.front()) && !flush()) break;
    static_cast<void>(putOldest());
  }
  if (result == RS_DONE && (!out.Put(&kDeltaEnd, 1) || !flush())) result = RS_IO_ERROR;
  return result;
}

int CRsyncWrapper::ApplyPatch(void* basisUser, ReadCallback readBasis, void* deltaUser,
                              ReadCallback readDelta, void* outputUser, WriteCallback write,
                              SeekCallback seek) {
  if (!impl_) return kNoWrapper;
  Stream basis{basisUser, nullptr, 0, readBasis, nullptr, seek};
  const bool haveBasis = readBasis != nullptr;
  Stream input{deltaUser, nullptr, 0, readDelta, nullptr, nullptr};
  Stream output{outputUser, nullptr, 0, nullptr, write, nullptr};
  if (readDelta != nullptr && !input.Allocate(impl_->inputLength)) return RS_MEM_ERROR;
  // The rebuilt file passes through a buffer that stays in the cache between
  // the basis read and the write of each piece.
  if (write != nullptr && !output.Allocate(kFlushBytes)) return RS_MEM_ERROR;
  JobPtr job(rs_patch_begin(&CopyFromBasis, haveBasis ? &basis : nullptr));
  if (!job) return RS_MEM_ERROR;
  return Drive(job.get(), readDelta != nullptr ? &input : nullptr, write != nullptr ? &output : nullptr);
}

}  // namespace zr
