// bzip2: every block is an access point.
//
// A block starts with the 48-bit magic 0x314159265359 at any bit position
// and ends where the next block's magic, or the end-of-stream magic
// 0x177245385090, starts. The library decodes whole streams only, so a
// block is decoded on its own by framing it as a stream of one block: the
// header "BZh9", the block's bits, the end-of-stream magic and, as the
// stream's combined CRC, the block's own CRC (the combined CRC of one block
// is that block's CRC). The magic may also occur by chance inside a block's
// data; a block that does not decode is tried again up to a later magic.
#include <bzlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "store/compressed_codec.h"

namespace compressed_detail {
namespace {

constexpr uint64_t kBlockMagic = 0x314159265359ull;
constexpr uint64_t kEndMagic = 0x177245385090ull;
// A block unpacks to at most 900,000 bytes before its first run-length
// stage, which may expand 5 bytes into 259: about 46.6 MB.
constexpr size_t kMaxBlockOutput = 48u << 20;
// How many later magics a block that does not decode is tried up to.
constexpr int kMaxMerges = 8;

struct Magic {
  uint64_t bit;
  bool end;  // the end-of-stream magic
};

// Finds the magics that start in [from, to) (bit offsets of the bytes held
// in data, whose first byte is at byte offset base); data holds at least 7
// bytes after byte (to - 1) / 8, or zeros are assumed past its end.
void FindMagics(const unsigned char* data, size_t size, uint64_t base, uint64_t from_byte,
                uint64_t to_byte, std::vector<Magic>* found) {
  auto byte_at = [&](uint64_t i) -> uint64_t {
    const uint64_t at = i - base;
    return at < size ? data[at] : 0;
  };
  uint64_t w = 0;  // the 64 bits from byte i on
  for (uint64_t k = 0; k < 8; ++k) w = (w << 8) | byte_at(from_byte + k);
  for (uint64_t i = from_byte; i < to_byte; ++i) {
    for (int s = 0; s < 8; ++s) {
      const uint64_t v = (w >> (16 - s)) & 0xFFFFFFFFFFFFull;
      if (v == kBlockMagic || v == kEndMagic)
        found->push_back(Magic{i * 8 + static_cast<uint64_t>(s), v == kEndMagic});
    }
    w = (w << 8) | byte_at(i + 8);
  }
}

class BitWriter {
 public:
  void Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      acc_ = static_cast<uint8_t>((acc_ << 1) | ((value >> i) & 1));
      if (++n_ == 8) {
        out_.push_back(acc_);
        acc_ = 0;
        n_ = 0;
      }
    }
  }
  void Byte(uint8_t b) { n_ == 0 ? out_.push_back(b) : Put(b, 8); }
  std::vector<unsigned char>& Finish() {
    if (n_ > 0) Put(0, 8 - n_);
    return out_;
  }

 private:
  std::vector<unsigned char> out_;
  uint8_t acc_ = 0;
  int n_ = 0;
};

// Decodes the block held in bits [begin, end) of data (data[0] is byte
// offset base of the file). False when it does not decode to a whole block
// with a good CRC.
bool DecodeBlock(const unsigned char* data, size_t size, uint64_t base, uint64_t begin,
                 uint64_t end, std::vector<char>* out) {
  if (end < begin + 80) return false;
  auto bit_byte = [&](uint64_t bit) -> uint8_t {  // 8 bits from bit offset bit
    const size_t j = static_cast<size_t>(bit / 8 - base);
    const int shift = static_cast<int>(bit % 8);
    const unsigned hi = j < size ? data[j] : 0;
    const unsigned lo = j + 1 < size ? data[j + 1] : 0;
    return static_cast<uint8_t>(((hi << 8 | lo) >> (8 - shift)) & 0xFF);
  };
  BitWriter w;
  for (const char c : {'B', 'Z', 'h', '9'}) w.Byte(static_cast<uint8_t>(c));
  uint64_t bit = begin;
  for (; bit + 8 <= end; bit += 8) w.Byte(bit_byte(bit));
  if (bit < end) {
    const int rest = static_cast<int>(end - bit);
    w.Put(bit_byte(bit) >> (8 - rest), rest);
  }
  uint32_t crc = 0;
  for (int k = 0; k < 4; ++k) crc = crc << 8 | bit_byte(begin + 48 + 8 * static_cast<uint64_t>(k));
  w.Put(static_cast<uint32_t>(kEndMagic >> 24), 24);
  w.Put(static_cast<uint32_t>(kEndMagic & 0xFFFFFF), 24);
  w.Put(crc, 32);
  std::vector<unsigned char>& stream = w.Finish();

  bz_stream s;
  std::memset(&s, 0, sizeof s);
  if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) return false;
  s.next_in = reinterpret_cast<char*>(stream.data());
  s.avail_in = static_cast<unsigned>(stream.size());
  out->resize(1u << 20);
  size_t produced = 0;
  int rc = BZ_OK;
  for (;;) {
    if (produced == out->size()) {
      if (out->size() >= kMaxBlockOutput) break;
      out->resize(out->size() * 2);
    }
    s.next_out = out->data() + produced;
    s.avail_out = static_cast<unsigned>(out->size() - produced);
    rc = BZ2_bzDecompress(&s);
    produced = out->size() - s.avail_out;
    if (rc != BZ_OK) break;
    if (s.avail_in == 0 && s.avail_out > 0) break;  // wants more: not a whole block
  }
  BZ2_bzDecompressEnd(&s);
  out->resize(produced);
  return rc == BZ_STREAM_END;
}

class Bzip2Cursor : public Cursor {
 public:
  explicit Bzip2Cursor(std::vector<char> block) : block_(std::move(block)) {}
  int64_t Next(char* buf, size_t capacity) override {
    const size_t n = std::min(capacity, block_.size() - at_);
    std::memcpy(buf, block_.data() + at_, n);
    at_ += n;
    return static_cast<int64_t>(n);
  }

 private:
  std::vector<char> block_;
  size_t at_ = 0;
};

class Bzip2Codec : public Codec {
 public:
  explicit Bzip2Codec(int fd) : fd_(fd) {}

  bool Prepare(std::vector<AccessPoint>*, uint64_t* expected_size, std::string*) override {
    *expected_size = 0;
    return true;
  }

  CompressedPassResult Pass(const PassHooks& hooks) override {
    using Kind = CompressedPassResult::Kind;
    CompressedPassResult result;
    InputReader input(fd_, 0, 4u << 20);
    input.ReportTo(hooks.read_to);
    std::vector<unsigned char> buf;  // compressed bytes from byte offset base on
    uint64_t base = 0;
    uint64_t scanned = 0;  // bytes whose magics are in `magics`
    std::vector<Magic> magics;
    size_t next = 0;  // first magic not yet used
    uint64_t out = 0;
    bool eof = false;
    std::vector<char> block;
    auto finish = [&](Kind kind, uint64_t at) {
      result.kind = kind;
      result.stopped_at = at;
      return result;
    };
    for (;;) {
      // Skip end magics to the next block magic.
      while (next < magics.size() && magics[next].end) ++next;
      // A block needs its end: the next magic, or the end of the file.
      const bool have_end = next + 1 < magics.size();
      if (next < magics.size() && (have_end || eof)) {
        const uint64_t begin = magics[next].bit;
        bool decoded = false;
        size_t end_index = next + 1;
        for (int tries = 0; tries <= kMaxMerges; ++tries, ++end_index) {
          if (end_index > magics.size()) break;
          if (end_index == magics.size() && !eof) break;
          const uint64_t end = end_index < magics.size() ? magics[end_index].bit : input.at() * 8;
          if (DecodeBlock(buf.data(), buf.size(), base, begin, end, &block)) {
            decoded = true;
            if (!hooks.emit(block.data(), block.size())) return finish(Kind::kCancelled, begin / 8);
            AccessPoint point;
            point.out = out;
            point.in = begin;
            point.in_end = end;
            hooks.add_point(std::move(point));
            out += block.size();
            next = end_index;
            break;
          }
        }
        if (!decoded) {
          if (end_index >= magics.size() && !eof &&
              end_index - next <= static_cast<size_t>(kMaxMerges)) {
            // Maybe a chance magic ended it early: read on, then try again.
          } else {
            return finish(eof && end_index >= magics.size() ? Kind::kTruncated : Kind::kCorrupt,
                          begin / 8);
          }
        } else {
          if (next >= magics.size()) {
            // The block ran to the end of the file: no end-of-stream magic.
            return finish(Kind::kTruncated, input.at());
          }
          continue;
        }
      } else if (eof) {
        if (magics.empty()) return finish(Kind::kCorrupt, 0);
        return finish(Kind::kComplete, input.at());
      }
      // Read on; keep the bytes from the current block's first byte.
      const uint64_t keep_from =
          next < magics.size() ? magics[next].bit / 8 : (scanned > 8 ? scanned - 8 : 0);
      if (keep_from > base) {
        buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(keep_from - base));
        base = keep_from;
      }
      const unsigned char* data = nullptr;
      size_t length = 0;
      if (!input.Next(&data, &length)) {
        result.error = errno;
        return finish(Kind::kOsError, next < magics.size() ? magics[next].bit / 8 : input.at());
      }
      eof = length == 0;
      buf.insert(buf.end(), data, data + length);
      // A magic starting in the last 7 bytes is found once more bytes came.
      const uint64_t scan_to =
          eof ? base + buf.size() : (base + buf.size() > 7 ? base + buf.size() - 7 : 0);
      if (scan_to > scanned) {
        FindMagics(buf.data(), buf.size(), base, scanned, scan_to, &magics);
        scanned = scan_to;
      }
    }
  }

  std::unique_ptr<Cursor> Open(const AccessPoint& point) override {
    const uint64_t first = point.in / 8;
    const uint64_t last = (point.in_end + 7) / 8 + 1;
    std::vector<unsigned char> data(static_cast<size_t>(last - first));
    errno = 0;
    if (!ReadExactly(fd_, first, data.data(), data.size()) && errno != 0) return nullptr;
    std::vector<char> block;
    if (!DecodeBlock(data.data(), data.size(), first, point.in, point.in_end, &block)) {
      errno = EIO;
      return nullptr;
    }
    return std::make_unique<Bzip2Cursor>(std::move(block));
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<Codec> MakeBzip2Codec(int fd) { return std::make_unique<Bzip2Codec>(fd); }

}  // namespace compressed_detail
