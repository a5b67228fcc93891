#include "agent/data/delta/RsyncWrapper.h"

#include <librsync.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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
constexpr unsigned kMostSigningThreads = 4;

struct SignedPiece {
  rs_result result = RS_DONE;
  std::vector<unsigned char> input;  // given back for the next piece
  std::size_t size = 0;
  std::vector<unsigned char> output;
};

SignedPiece SignPiece(SignedPiece piece, std::uint32_t blockLength, std::uint32_t strongSumLength) {
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

// Fills `piece` from `read` up to its capacity or the end of the input;
// false on a read that claims more than it was given room for.
bool FillPiece(SignedPiece& piece, const Stream& input, bool& ended) {
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

}  // namespace

struct CRsyncWrapper::Impl {
  std::uint32_t inputLength = kBufferLength;
  std::uint32_t outputLength = kBufferLength;
  std::uint32_t blockLength = kBlockLength;
  std::uint32_t strongSumLength = kStrongSumLength;
};

CRsyncWrapper::CRsyncWrapper() : impl_(new (std::nothrow) Impl) { RouteLibraryErrors(); }

CRsyncWrapper::~CRsyncWrapper() = default;

std::uint32_t CRsyncWrapper::GetBlockLength() const { return impl_ ? impl_->blockLength : kBlockLength; }

int CRsyncWrapper::MakeSignature(void* inputUser, ReadCallback read, void* outputUser, WriteCallback write) {
  if (!impl_ || read == nullptr || write == nullptr) return kNoWrapper;
  const Stream input{inputUser, nullptr, 0, read, nullptr, nullptr};
  // The input is read here in pieces of the input buffer's length (whole
  // blocks), signed on up to kMostSigningThreads threads and written in
  // order: the same bytes as one job over the whole input.
  const std::size_t pieceLength = impl_->inputLength - impl_->inputLength % impl_->blockLength;
  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMostSigningThreads);
  std::deque<std::future<SignedPiece>> pending;
  std::vector<std::vector<unsigned char>> spare;
  bool ended = false;
  bool first = true;
  int result = RS_DONE;
  // Writes the oldest signed piece; false once anything failed.
  auto writeOldest = [&] {
    SignedPiece piece = pending.front().get();
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
    SignedPiece piece;
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
    auto taken = std::make_shared<SignedPiece>(std::move(piece));
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
  SignaturePtr signature;
  {
    Stream signatureInput{signatureUser, nullptr, 0, readSignature, nullptr, nullptr};
    if (!signatureInput.Allocate(impl_->inputLength)) return RS_MEM_ERROR;
    rs_signature_t* loaded = nullptr;
    JobPtr load(rs_loadsig_begin(&loaded));
    signature.reset(loaded);
    if (!load) return RS_MEM_ERROR;
    // Building the hash table of a signature that did not load aborts the
    // process: only a fully loaded one goes on.
    if (Drive(load.get(), &signatureInput, nullptr) != RS_DONE) return kNoWrapper;
  }
  if (!signature || rs_build_hash_table(signature.get()) != RS_DONE) return kNoWrapper;
  Stream input{newUser, nullptr, 0, readNew, nullptr, nullptr};
  Stream output{deltaUser, nullptr, 0, nullptr, write, nullptr};
  if (!input.Allocate(impl_->inputLength) || !output.Allocate(impl_->outputLength)) return RS_MEM_ERROR;
  JobPtr job(rs_delta_begin(signature.get()));
  if (!job) return RS_MEM_ERROR;
  return Drive(job.get(), &input, &output);
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
