// UTF-16 to UTF-8, and the transcoding codec a UTF-16 file is read through.
#include "store/utf16.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "store/compressed_codec.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

char* PutThree(uint32_t code, char* out) {
  out[0] = static_cast<char>(0xE0 | (code >> 12));
  out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (code & 0x3F));
  return out + 3;
}

}  // namespace

char* Utf16Decoder::Unit(uint16_t unit, char* out) {
  if (has_high_) {
    has_high_ = false;
    if (unit >= 0xDC00 && unit < 0xE000) {
      const uint32_t code = 0x10000 + ((uint32_t{high_} - 0xD800) << 10) + (unit - 0xDC00u);
      out[0] = static_cast<char>(0xF0 | (code >> 18));
      out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out[3] = static_cast<char>(0x80 | (code & 0x3F));
      return out + 4;
    }
    out = PutThree(high_, out);  // a first half without its second
  }
  if (unit < 0x80) {
    *out++ = static_cast<char>(unit);
  } else if (unit < 0x800) {
    *out++ = static_cast<char>(0xC0 | (unit >> 6));
    *out++ = static_cast<char>(0x80 | (unit & 0x3F));
  } else if (unit >= 0xD800 && unit < 0xDC00) {
    has_high_ = true;
    high_ = unit;
  } else {
    out = PutThree(unit, out);  // also a second half without its first
  }
  return out;
}

size_t Utf16Decoder::Feed(const unsigned char* in, size_t length, char* out) {
  char* o = out;
  size_t i = 0;
  auto read = [this](const unsigned char* p) {
    return static_cast<uint16_t>(big_ ? (p[0] << 8) | p[1] : (p[1] << 8) | p[0]);
  };
  if (has_byte_ && length > 0) {
    const unsigned char unit[2] = {byte_, in[0]};
    has_byte_ = false;
    o = Unit(read(unit), o);
    i = 1;
  }
  for (;;) {
#if defined(__SSE2__)
    // Sixteen units at a time while they are all ASCII: packed to bytes.
    if (!has_high_) {
      const __m128i high_bits = _mm_set1_epi16(static_cast<short>(0xFF80));
      const __m128i zero = _mm_setzero_si128();
      while (i + 32 <= length) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 16));
        if (big_) {
          a = _mm_or_si128(_mm_slli_epi16(a, 8), _mm_srli_epi16(a, 8));
          b = _mm_or_si128(_mm_slli_epi16(b, 8), _mm_srli_epi16(b, 8));
        }
        const __m128i any = _mm_and_si128(_mm_or_si128(a, b), high_bits);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(any, zero)) != 0xFFFF) break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(a, b));
        i += 32;
        o += 16;
      }
    }
#endif
    // The block that is not all ASCII, one unit at a time.
    const size_t limit = std::min(length, i + 32);
    for (; i + 2 <= limit; i += 2) o = Unit(read(in + i), o);
    if (i + 2 > length) break;
  }
  if (i < length) {
    has_byte_ = true;
    byte_ = in[i];
  }
  return static_cast<size_t>(o - out);
}

size_t Utf16Decoder::Finish(char* out) {
  char* o = out;
  if (has_high_) o = PutThree(high_, o);
  if (has_byte_) *o++ = static_cast<char>(0xFF);
  has_high_ = has_byte_ = false;
  return static_cast<size_t>(o - out);
}

namespace compressed_detail {
namespace {

// Bytes of the file read in one step of the pass: small enough that the
// kernel's copy stays in the cache (256 KiB pieces made the pass a fifth
// slower). And the UTF-8 output between two access points: a read decodes
// at most about that much.
constexpr size_t kPassPiece = 64u << 10;
constexpr uint64_t kPointSpan = 512u << 10;

class Utf16Cursor : public Cursor {
 public:
  Utf16Cursor(int fd, uint64_t at, bool big) : fd_(fd), at_(at), decoder_(big) {}

  int64_t Next(char* buf, size_t capacity) override {
    if (capacity < 16) return -1;
    const size_t want = (capacity - 8) / 3 * 2;
    if (input_.size() < want) input_.resize(want);
    while (!done_) {
      const ssize_t n = pread(fd_, input_.data(), want, static_cast<off_t>(at_));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      at_ += static_cast<uint64_t>(n);
      size_t made = 0;
      if (n == 0) {
        done_ = true;
        made = decoder_.Finish(buf);
      } else {
        made = decoder_.Feed(input_.data(), static_cast<size_t>(n), buf);
      }
      if (made > 0) return static_cast<int64_t>(made);
    }
    return 0;
  }

 private:
  int fd_;
  uint64_t at_;
  Utf16Decoder decoder_;
  std::vector<unsigned char> input_;
  bool done_ = false;
};

class Utf16Codec : public Codec {
 public:
  Utf16Codec(int fd, bool big) : fd_(fd), big_(big) {}

  bool Prepare(std::vector<AccessPoint>* points, uint64_t* expected_size, std::string*) override {
    unsigned char head[2] = {};
    const ssize_t got = pread(fd_, head, 2, 0);
    if (got < 0) return false;
    start_ = static_cast<uint64_t>(Utf16BomLength(head, static_cast<size_t>(got), big_));
    AccessPoint first;
    first.in = start_;
    points->push_back(first);
    *expected_size = 0;
    return true;
  }

  CompressedPassResult Pass(const PassHooks& hooks) override {
    InputReader reader(fd_, start_, kPassPiece);
    if (hooks.read_to) reader.ReportTo(hooks.read_to);
    Utf16Decoder decoder(big_);
    std::vector<char> out(Utf16Decoder::Bound(kPassPiece));
    uint64_t made = 0;
    uint64_t last_point = 0;
    CompressedPassResult result;
    for (;;) {
      if (decoder.AtBoundary() && made - last_point >= kPointSpan) {
        AccessPoint point;
        point.out = made;
        point.in = reader.at();
        hooks.add_point(std::move(point));
        last_point = made;
      }
      const unsigned char* data = nullptr;
      size_t length = 0;
      if (!reader.Next(&data, &length)) {
        result.kind = CompressedPassResult::Kind::kOsError;
        result.error = errno;
        result.stopped_at = reader.at();
        return result;
      }
      const size_t n =
          length > 0 ? decoder.Feed(data, length, out.data()) : decoder.Finish(out.data());
      if (n > 0 && !hooks.emit(out.data(), n)) {
        result.kind = CompressedPassResult::Kind::kCancelled;
        result.stopped_at = reader.at();
        return result;
      }
      made += n;
      if (length == 0) {
        result.kind = CompressedPassResult::Kind::kComplete;
        result.stopped_at = reader.at();
        return result;
      }
    }
  }

  std::unique_ptr<Cursor> Open(const AccessPoint& point) override {
    return std::make_unique<Utf16Cursor>(fd_, point.in, big_);
  }

 private:
  int fd_;
  bool big_;
  uint64_t start_ = 0;
};

}  // namespace

std::unique_ptr<Codec> MakeUtf16Codec(int fd, bool bigEndian) {
  return std::make_unique<Utf16Codec>(fd, bigEndian);
}

}  // namespace compressed_detail
