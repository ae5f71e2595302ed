// What each compressed format gives CompressedSource: its streaming pass and
// a cursor that decodes from one of its access points. Internal to the store.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/compressed.h"

namespace compressed_detail {

struct AccessPoint {
  uint64_t out = 0;     // unpacked offset of the first byte decoded from here
  uint64_t in = 0;      // compressed byte offset (bzip2: bit offset)
  uint64_t in_end = 0;  // bzip2: bit offset where the block ends; else unused
  int bits = 0;         // gzip: bits of the byte before `in` still to read; -1 at a member's header
  uint32_t check = 0;   // xz: the stream's check type
  std::string window;   // gzip: the 32 KiB before `out`, deflated
};

// Reads the compressed file front to back in large pieces (pread; the file
// offset is never used, so several readers may share the descriptor).
class InputReader {
 public:
  InputReader(int fd, uint64_t at, size_t piece = 1u << 20) : fd_(fd), at_(at), buf_(piece) {}
  // The next piece, or an empty one at the end of the file; false with errno
  // set when the read fails.
  bool Next(const unsigned char** data, size_t* length);
  uint64_t at() const { return at_; }  // offset after the last piece
  // The offset after each piece is also stored there (progress for others).
  void ReportTo(std::atomic<uint64_t>* read_to) { report_ = read_to; }

 private:
  std::atomic<uint64_t>* report_ = nullptr;
  int fd_;
  uint64_t at_;
  std::vector<unsigned char> buf_;
};

// Reads exactly length bytes at offset; false at a short read (errno 0) or a
// failure (errno set).
bool ReadExactly(int fd, uint64_t offset, void* buf, size_t length);

// What a pass hands back to its source.
struct PassHooks {
  std::function<bool(const char*, size_t)> emit;  // false: stop (kCancelled)
  std::function<void(AccessPoint)> add_point;
  std::atomic<uint64_t>* read_to = nullptr;  // compressed bytes read, for progress
};

// Decodes forward from one access point. Next() gives the next bytes (> 0),
// 0 at the end of what this point covers (the next point, or the end of the
// data), -1 when the data does not decode.
class Cursor {
 public:
  virtual ~Cursor() = default;
  virtual int64_t Next(char* buf, size_t capacity) = 0;
};

class Codec {
 public:
  virtual ~Codec() = default;
  // Before the pass: the access points known from the file's own index (xz,
  // zstd), the announced unpacked size (0 when unknown) and, where the file
  // has no access points worth having, the reason to copy it (Japanese, for
  // the log). Returns false with errno set when the file cannot be read.
  virtual bool Prepare(std::vector<AccessPoint>* points, uint64_t* expected_size,
                       std::string* copy_reason) = 0;
  // The streaming pass. Points found on the way go to hooks.add_point.
  virtual CompressedPassResult Pass(const PassHooks& hooks) = 0;
  virtual std::unique_ptr<Cursor> Open(const AccessPoint& point) = 0;
};

std::unique_ptr<Codec> MakeGzipCodec(int fd);
std::unique_ptr<Codec> MakeBzip2Codec(int fd);
std::unique_ptr<Codec> MakeXzCodec(int fd);
std::unique_ptr<Codec> MakeZstdCodec(int fd);
// Transcodes UTF-16 to UTF-8 (store/utf16.cpp); skips a byte order mark of
// its order.
std::unique_ptr<Codec> MakeUtf16Codec(int fd, bool bigEndian);

}  // namespace compressed_detail
