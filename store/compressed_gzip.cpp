// gzip: one or many members; checkpoints at deflate block boundaries.
//
// The pass inflates block by block (Z_BLOCK). At a block boundary at least
// kGzipSpan bytes of output after the last checkpoint it keeps one: the
// compressed offset, the bits of the previous byte not yet read, and the
// sliding window (the last 32 KiB of output), deflated. A cursor primes a raw
// inflater with those bits and the window and goes on from there; at the end
// of a member it skips the trailer and reads the next member's header.
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "store/compressed_codec.h"

namespace compressed_detail {
namespace {

constexpr int kGzipWindowBits = 15 + 16;  // a gzip header and trailer
constexpr int kRawWindowBits = -15;       // bare deflate data
constexpr size_t kOut = 256u << 10;

// After a member: true when the bytes at `data` (more may follow in the
// file) start another member. Trailing zero bytes (padding some tape and
// block tools add) end the file quietly.
enum class After { kMember, kEnd, kGarbage, kNeedMore };
After WhatFollows(const unsigned char* data, size_t length, bool at_eof) {
  if (length == 0) return at_eof ? After::kEnd : After::kNeedMore;
  if (data[0] == 0x1F) {
    if (length < 2) return at_eof ? After::kGarbage : After::kNeedMore;
    return data[1] == 0x8B ? After::kMember : After::kGarbage;
  }
  for (size_t i = 0; i < length; ++i)
    if (data[i] != 0) return After::kGarbage;
  return at_eof ? After::kEnd : After::kNeedMore;
}

class GzipCursor : public Cursor {
 public:
  GzipCursor(int fd, const AccessPoint& point)
      : input_fd_(fd), input_(fd, point.bits > 0 ? point.in - 1 : point.in, 256u << 10) {
    std::memset(&s_, 0, sizeof s_);
    ok_ = inflateInit2(&s_, point.bits < 0 ? kGzipWindowBits : kRawWindowBits) == Z_OK;
    raw_ = point.bits >= 0;
    if (!ok_ || point.bits < 0) return;
    std::string window;
    if (!point.window.empty()) {
      window.resize(32768);
      uLongf length = window.size();
      ok_ = uncompress(reinterpret_cast<Bytef*>(window.data()), &length,
                       reinterpret_cast<const Bytef*>(point.window.data()),
                       point.window.size()) == Z_OK;
      window.resize(length);
    }
    if (ok_ && point.bits > 0) {
      ok_ = Fill() && s_.avail_in > 0;
      if (ok_) {
        const int byte = *s_.next_in;
        ++s_.next_in;
        --s_.avail_in;
        ok_ = inflatePrime(&s_, point.bits, byte >> (8 - point.bits)) == Z_OK;
      }
    }
    if (ok_ && !window.empty())
      ok_ = inflateSetDictionary(&s_, reinterpret_cast<const Bytef*>(window.data()),
                                 static_cast<uInt>(window.size())) == Z_OK;
  }
  ~GzipCursor() override { inflateEnd(&s_); }

  bool ok() const { return ok_; }

  int64_t Next(char* buf, size_t capacity) override {
    if (!ok_) return -1;
    if (done_) return 0;
    s_.next_out = reinterpret_cast<Bytef*>(buf);
    s_.avail_out = static_cast<uInt>(capacity);
    while (s_.avail_out > 0) {
      if (s_.avail_in == 0 && !Fill()) return -1;
      if (s_.avail_in == 0) {
        // The file ends inside a member: what came out so far stands.
        done_ = true;
        break;
      }
      const int rc = inflate(&s_, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        if (!NextMember()) {
          done_ = true;
          break;
        }
        continue;
      }
      if (rc != Z_OK && rc != Z_BUF_ERROR) return -1;
    }
    return static_cast<int64_t>(capacity - s_.avail_out);
  }

 private:
  bool Fill() {
    const unsigned char* data = nullptr;
    size_t length = 0;
    if (!input_.Next(&data, &length)) return false;
    s_.next_in = const_cast<Bytef*>(data);
    s_.avail_in = static_cast<uInt>(length);
    return true;
  }
  // After the end of a member's deflate data: skips its trailer (when the
  // inflater read raw data) and starts on the next member, if one follows.
  bool NextMember() {
    uint64_t at = input_.at() - s_.avail_in;
    if (raw_) at += 8;
    unsigned char magic[2];
    if (!ReadExactly(input_fd_, at, magic, 2) || magic[0] != 0x1F || magic[1] != 0x8B) return false;
    input_ = InputReader(input_fd_, at, 256u << 10);
    s_.avail_in = 0;
    raw_ = false;
    return inflateReset2(&s_, kGzipWindowBits) == Z_OK;
  }

  int input_fd_;
  InputReader input_;
  z_stream s_;
  bool ok_ = false;
  bool raw_ = true;
  bool done_ = false;
};

class GzipCodec : public Codec {
 public:
  explicit GzipCodec(int fd) : fd_(fd) {}

  bool Prepare(std::vector<AccessPoint>* points, uint64_t* expected_size, std::string*) override {
    *expected_size = 0;
    AccessPoint first;
    first.bits = -1;  // the first member's header
    points->push_back(first);
    return true;
  }

  CompressedPassResult Pass(const PassHooks& hooks) override {
    CompressedPassResult result;
    z_stream s;
    std::memset(&s, 0, sizeof s);
    if (inflateInit2(&s, kGzipWindowBits) != Z_OK) {
      result.kind = CompressedPassResult::Kind::kOsError;
      result.error = ENOMEM;
      return result;
    }
    InputReader input(fd_, 0);
    input.ReportTo(hooks.read_to);
    std::vector<char> out(kOut);
    uint64_t handed = 0;      // output handed to the pass's caller
    uint64_t last_point = 0;  // output offset of the last checkpoint
    uint64_t consumed = 0;    // compressed bytes taken by inflate
    bool in_member = true;
    bool eof = false;
    unsigned char window[32768];
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    auto flush = [&]() {
      const size_t n = out.size() - s.avail_out;
      if (n > 0 && !hooks.emit(out.data(), n)) return false;
      handed += n;
      s.next_out = reinterpret_cast<Bytef*>(out.data());
      s.avail_out = static_cast<uInt>(out.size());
      return true;
    };
    auto stop = [&](CompressedPassResult::Kind kind, uint64_t at, int error) {
      inflateEnd(&s);
      result.kind = kind;
      result.stopped_at = at;
      result.error = error;
      return result;
    };
    for (;;) {
      if (s.avail_in == 0 && !eof) {
        const unsigned char* data = nullptr;
        size_t length = 0;
        if (!input.Next(&data, &length)) {
          const int error = errno;
          flush();
          return stop(CompressedPassResult::Kind::kOsError, consumed, error);
        }
        eof = length == 0;
        s.next_in = const_cast<Bytef*>(data);
        s.avail_in = static_cast<uInt>(length);
      }
      if (!in_member) {
        const After after = WhatFollows(s.next_in, s.avail_in, eof);
        if (after == After::kEnd) break;
        if (after == After::kGarbage) {
          if (!flush()) return stop(CompressedPassResult::Kind::kCancelled, consumed, 0);
          return stop(CompressedPassResult::Kind::kCorrupt, consumed, 0);
        }
        if (after == After::kNeedMore) {
          // Only zeros so far, or a lone 0x1F at the end of a piece: read on.
          if (s.avail_in >= 2 || eof) {
            consumed += s.avail_in;
            s.avail_in = 0;
            continue;
          }
          // Rare: keep the last byte by re-reading from its offset.
          input = InputReader(fd_, consumed);
          s.avail_in = 0;
          continue;
        }
        in_member = true;
        inflateReset(&s);
        if (handed + (out.size() - s.avail_out) - last_point >= CompressedSource::kGzipSpan) {
          if (!flush()) return stop(CompressedPassResult::Kind::kCancelled, consumed, 0);
          AccessPoint point;
          point.out = handed;
          point.in = consumed;
          point.bits = -1;
          hooks.add_point(std::move(point));
          last_point = handed;
        }
      }
      if (eof && s.avail_in == 0) {
        // Output the inflater still holds (a match cut by a full buffer)
        // comes out without more input.
        for (;;) {
          if (!flush()) return stop(CompressedPassResult::Kind::kCancelled, consumed, 0);
          const int rc = inflate(&s, Z_BLOCK);
          if (s.avail_out == out.size() || (rc != Z_OK && rc != Z_BUF_ERROR)) break;
        }
        flush();
        return stop(CompressedPassResult::Kind::kTruncated, consumed, 0);
      }
      const uInt before = s.avail_in;
      const int rc = inflate(&s, Z_BLOCK);
      consumed += before - s.avail_in;
      if (rc == Z_STREAM_END) {
        in_member = false;
        continue;
      }
      if (rc != Z_OK && rc != Z_BUF_ERROR) {
        if (!flush()) return stop(CompressedPassResult::Kind::kCancelled, consumed, 0);
        return stop(CompressedPassResult::Kind::kCorrupt, consumed, 0);
      }
      if (s.avail_out == 0 && !flush())
        return stop(CompressedPassResult::Kind::kCancelled, consumed, 0);
      const uint64_t out_at = handed + (out.size() - s.avail_out);
      if ((s.data_type & 128) && !(s.data_type & 64) &&
          out_at - last_point >= CompressedSource::kGzipSpan) {
        uInt length = sizeof window;
        if (inflateGetDictionary(&s, window, &length) == Z_OK) {
          AccessPoint point;
          point.out = out_at;
          point.in = consumed;
          point.bits = s.data_type & 7;
          uLongf packed = compressBound(length);
          point.window.resize(packed);
          if (compress2(reinterpret_cast<Bytef*>(point.window.data()), &packed, window, length,
                        1) == Z_OK) {
            point.window.resize(packed);
            point.window.shrink_to_fit();
            // Output not yet handed out must be handed before the point is
            // used: reads stop at what was handed.
            hooks.add_point(std::move(point));
            last_point = out_at;
          }
        }
      }
    }
    if (!flush()) return stop(CompressedPassResult::Kind::kCancelled, consumed, 0);
    return stop(CompressedPassResult::Kind::kComplete, consumed, 0);
  }

  std::unique_ptr<Cursor> Open(const AccessPoint& point) override {
    auto cursor = std::make_unique<GzipCursor>(fd_, point);
    if (!cursor->ok()) {
      errno = EIO;
      return nullptr;
    }
    return cursor;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<Codec> MakeGzipCodec(int fd) { return std::make_unique<GzipCodec>(fd); }

}  // namespace compressed_detail
