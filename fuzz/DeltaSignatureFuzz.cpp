// A hostile peer serving the signature to CRsyncSource's delta worker: the signature bytes come from the
// input, in pieces of an input-chosen size, optionally cut by a failed read; the delta stream may
// refuse a write.
//
// Input: a flags byte (bit 0: the signature bytes are a basis whose real signature is served; bit 1:
// the signature read fails at the offset byte * 16; bit 2: the delta stream refuses writes past the
// offset byte * 64), the piece size byte, the offset byte, the signature length (16 bits,
// little-endian), the signature, then the new file.
//
// Properties: the job ends (no spin, no hang of the caller); Close gives 0 or 1, and 1 after a failed
// signature read or a refused delta write; a delta that Close accepts rebuilds a file of the new
// file's length from any basis, and the new file itself from the basis of a real signature.
#include <algorithm>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>

#include "agent/data/delta/IRsyncSourceWrite.h"
#include "agent/data/delta/RsyncSource.h"
#include "agent/data/delta/RsyncWrapper.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzStreams.h"
#include "plugin-api/ResultCodes.h"

using fuzzio::Sink;
using fuzzio::Source;

namespace {

// The peer: serves `signature`, takes the delta.
class CHostilePeer final : public zr::IRsyncSourceWrite {
 public:
  std::string signature;
  size_t piece = 1;
  size_t failAt = SIZE_MAX;    // the signature read at this offset fails
  size_t refuseAt = SIZE_MAX;  // a delta write that would pass this many bytes is refused
  std::string delta;
  bool failed = false;
  bool refused = false;

  int OpenFileSignature(const std::wstring&, unsigned int& handle) override {
    handle = 1;
    return zr::kSuccess;
  }
  int ReadFileSignature(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override {
    FUZZ_CHECK(handle == 1);
    if (at_ >= failAt) {
      failed = true;
      return zr::kFailed;
    }
    size_t n = std::min<size_t>({size, piece, signature.size() - at_, failAt - at_});
    if (n == 0) {
      size = 0;
      return zr::kHandleEof;
    }
    std::memcpy(buffer, signature.data() + at_, n);
    at_ += n;
    size = static_cast<unsigned int>(n);
    return zr::kSuccess;
  }
  int CloseFileSignature(const unsigned int&) override { return zr::kSuccess; }
  int OpenFilePatching(const std::wstring&, const std::wstring&, unsigned int& handle) override {
    handle = 2;
    return zr::kSuccess;
  }
  int WriteFilePatching(const unsigned char* data, unsigned int& size, const unsigned int& handle) override {
    FUZZ_CHECK(handle == 2);
    if (delta.size() + size > refuseAt) {
      refused = true;
      return zr::kFailed;
    }
    delta.append(reinterpret_cast<const char*>(data), size);
    return zr::kSuccess;
  }
  int CloseFilePatching(const unsigned int&) override { return zr::kSuccess; }
  int OpenFilePatch(const std::wstring&, const std::wstring&, unsigned int&) override {
    return zr::kNotSupported;
  }
  int ReadFilePatch(unsigned char*, unsigned int&, const unsigned int&) override { return zr::kNotSupported; }
  int CloseFilePatch(const unsigned int&) override { return zr::kNotSupported; }

 private:
  size_t at_ = 0;
};

// A basis of zeros as long as any copy asks.
size_t ReadZeros(unsigned char* buffer, size_t capacity, void*) {
  std::memset(buffer, 0, capacity);
  return capacity;
}
bool SeekAnywhere(uint64_t, void*) { return true; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  // librsync's complaints about bad signatures and the hand-off's trace lines.
  std::wcerr.setstate(std::ios::badbit);
  std::cout.setstate(std::ios::badbit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzio::Input input{data, size};
  const uint8_t flags = input.Byte();
  const bool realSignature = (flags & 1) != 0;
  const size_t piece = 1 + input.Byte() * 67u;
  const size_t offset = input.Byte();
  const std::string signatureBytes = input.Take(input.Word());
  const std::string newFile = input.Rest();

  CHostilePeer peer;
  peer.piece = piece;
  if (flags & 2) peer.failAt = offset * 16;
  if (flags & 4) peer.refuseAt = offset * 64;
  zr::CRsyncWrapper wrapper;
  if (realSignature) {
    Source basis(signatureBytes, piece);
    Sink signature;
    FUZZ_CHECK(wrapper.MakeSignature(&basis, &Source::Read, &signature, &Sink::Write) == 0);
    peer.signature = signature.bytes;
  } else {
    peer.signature = signatureBytes;
  }

  zrtest::NullLog log;
  int closed = 0;
  {
    zr::CRsyncSource source(&log, &peer);
    unsigned int handle = 0;
    FUZZ_CHECK(source.Open(L"base", L"file", handle) == 0);
    FUZZ_CHECK(handle == 2);
    for (size_t at = 0; at < newFile.size(); at += piece) {
      unsigned int n = static_cast<unsigned int>(std::min(piece, newFile.size() - at));
      if (source.Write(reinterpret_cast<const unsigned char*>(newFile.data()) + at, n) != 0) break;
    }
    closed = source.Close();
  }
  FUZZ_CHECK(closed == 0 || closed == 1);
  if (peer.failed || peer.refused) FUZZ_CHECK(closed == 1);
  if (realSignature && peer.failAt == SIZE_MAX && peer.refuseAt == SIZE_MAX) FUZZ_CHECK(closed == 0);
  if (closed != 0) return 0;

  Source delta(peer.delta, piece);
  Sink rebuilt;
  rebuilt.keep = 0;
  FUZZ_CHECK(wrapper.ApplyPatch(nullptr, &ReadZeros, &delta, &Source::Read, &rebuilt, &Sink::Write,
                                &SeekAnywhere) == 0);
  FUZZ_CHECK(rebuilt.count == newFile.size());
  if (realSignature) {
    Source basis(signatureBytes, piece);
    Source again(peer.delta, piece);
    Sink exact;
    FUZZ_CHECK(wrapper.ApplyPatch(&basis, &Source::Read, &again, &Source::Read, &exact, &Sink::Write,
                                  &Source::Seek) == 0);
    FUZZ_CHECK(exact.bytes == newFile);
  }
  return 0;
}
