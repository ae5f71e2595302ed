#include "search/rawfind.h"

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace search_detail {
namespace {

inline unsigned char FoldByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

constexpr size_t kPrefetchDistance = 4096;

inline bool IsUpperLetter(unsigned char c) { return c >= 'A' && c <= 'Z'; }

bool AvxAvailable() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}

// The first+last byte filter (two compares per position, the middle bytes
// only for positions that pass): 32 positions per step with AVX2, 16 with
// SSE2. Both look at exactly the same positions as the scalar loop would.
struct Filter {
  unsigned char first;
  unsigned char last;
  unsigned char firstMask;
  unsigned char lastMask;
  size_t size;
};

__attribute__((target("avx2"))) const char* FirstAvx2(const char* text, size_t length,
                                                      const Filter& f, const RawNeedle& needle,
                                                      size_t* scanned) {
  const __m256i first = _mm256_set1_epi8(static_cast<char>(f.first));
  const __m256i last = _mm256_set1_epi8(static_cast<char>(f.last));
  const __m256i firstMask = _mm256_set1_epi8(static_cast<char>(f.firstMask));
  const __m256i lastMask = _mm256_set1_epi8(static_cast<char>(f.lastMask));
  const size_t starts = length - f.size + 1;  // positions to try
  size_t i = 0;
  // Two 32-byte steps per turn with one test of both masks: the needle's
  // end bytes are rare in most text, so the loop mostly only loads and
  // compares. The prefetch runs across 4 KiB page boundaries, where the
  // hardware prefetcher stops.
  for (; i + 64 <= starts; i += 64) {
    _mm_prefetch(text + i + kPrefetchDistance, _MM_HINT_T0);
    const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + f.size - 1));
    const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + 32));
    const __m256i b1 =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + 32 + f.size - 1));
    const __m256i eq0 = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(a0, firstMask), first),
                                         _mm256_cmpeq_epi8(_mm256_and_si256(b0, lastMask), last));
    const __m256i eq1 = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(a1, firstMask), first),
                                         _mm256_cmpeq_epi8(_mm256_and_si256(b1, lastMask), last));
    if (_mm256_testz_si256(_mm256_or_si256(eq0, eq1), _mm256_or_si256(eq0, eq1))) continue;
    uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(eq0)) |
                    uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(eq1))} << 32;
    while (mask != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctzll(mask));
      if (needle.MatchesAt(text + i + bit)) return text + i + bit;
      mask &= mask - 1;
    }
  }
  for (; i + 32 <= starts; i += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + f.size - 1));
    const __m256i eq = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(a, firstMask), first),
                                        _mm256_cmpeq_epi8(_mm256_and_si256(b, lastMask), last));
    uint32_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(eq));
    while (mask != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
      if (needle.MatchesAt(text + i + bit)) return text + i + bit;
      mask &= mask - 1;
    }
  }
  *scanned = i;
  return nullptr;
}

__attribute__((target("avx2"))) const char* LastAvx2(const char* text, size_t length,
                                                     const Filter& f, const RawNeedle& needle,
                                                     size_t* remaining) {
  const __m256i first = _mm256_set1_epi8(static_cast<char>(f.first));
  const __m256i last = _mm256_set1_epi8(static_cast<char>(f.last));
  const __m256i firstMask = _mm256_set1_epi8(static_cast<char>(f.firstMask));
  const __m256i lastMask = _mm256_set1_epi8(static_cast<char>(f.lastMask));
  size_t end = length - f.size + 1;  // positions [0, end) are left to try
  while (end >= 32) {
    const size_t i = end - 32;
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + f.size - 1));
    const __m256i eq = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(a, firstMask), first),
                                        _mm256_cmpeq_epi8(_mm256_and_si256(b, lastMask), last));
    uint32_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(eq));
    while (mask != 0) {
      const unsigned bit = 31u - static_cast<unsigned>(__builtin_clz(mask));
      if (needle.MatchesAt(text + i + bit)) return text + i + bit;
      mask &= ~(uint32_t{1} << bit);
    }
    end = i;
  }
  *remaining = end;
  return nullptr;
}

const char* FirstSse2(const char* text, size_t length, const Filter& f, const RawNeedle& needle,
                      size_t* scanned) {
  const __m128i first = _mm_set1_epi8(static_cast<char>(f.first));
  const __m128i last = _mm_set1_epi8(static_cast<char>(f.last));
  const __m128i firstMask = _mm_set1_epi8(static_cast<char>(f.firstMask));
  const __m128i lastMask = _mm_set1_epi8(static_cast<char>(f.lastMask));
  const size_t starts = length - f.size + 1;
  size_t i = 0;
  for (; i + 16 <= starts; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + f.size - 1));
    const __m128i eq = _mm_and_si128(_mm_cmpeq_epi8(_mm_and_si128(a, firstMask), first),
                                     _mm_cmpeq_epi8(_mm_and_si128(b, lastMask), last));
    uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(eq));
    while (mask != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
      if (needle.MatchesAt(text + i + bit)) return text + i + bit;
      mask &= mask - 1;
    }
  }
  *scanned = i;
  return nullptr;
}

const char* LastSse2(const char* text, size_t length, const Filter& f, const RawNeedle& needle,
                     size_t* remaining) {
  const __m128i first = _mm_set1_epi8(static_cast<char>(f.first));
  const __m128i last = _mm_set1_epi8(static_cast<char>(f.last));
  const __m128i firstMask = _mm_set1_epi8(static_cast<char>(f.firstMask));
  const __m128i lastMask = _mm_set1_epi8(static_cast<char>(f.lastMask));
  size_t end = length - f.size + 1;
  while (end >= 16) {
    const size_t i = end - 16;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + f.size - 1));
    const __m128i eq = _mm_and_si128(_mm_cmpeq_epi8(_mm_and_si128(a, firstMask), first),
                                     _mm_cmpeq_epi8(_mm_and_si128(b, lastMask), last));
    uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(eq));
    while (mask != 0) {
      const unsigned bit = 31u - static_cast<unsigned>(__builtin_clz(mask));
      if (needle.MatchesAt(text + i + bit)) return text + i + bit;
      mask &= ~(uint32_t{1} << bit);
    }
    end = i;
  }
  *remaining = end;
  return nullptr;
}

}  // namespace

RawNeedle::RawNeedle(std::string bytes, bool fold) : bytes_(std::move(bytes)), fold_(fold) {
  if (fold_) {
    for (char& c : bytes_) c = static_cast<char>(FoldByte(static_cast<unsigned char>(c)));
  }
  if (!bytes_.empty()) {
    const unsigned char first = static_cast<unsigned char>(bytes_.front());
    const unsigned char last = static_cast<unsigned char>(bytes_.back());
    firstMask_ = (fold_ && IsUpperLetter(first)) ? 0xDF : 0xFF;
    lastMask_ = (fold_ && IsUpperLetter(last)) ? 0xDF : 0xFF;
  }
}

bool RawNeedle::MatchesAt(const char* text) const {
  const size_t n = bytes_.size();
  if (!fold_) return std::memcmp(text, bytes_.data(), n) == 0;
  for (size_t k = 0; k < n; ++k) {
    if (FoldByte(static_cast<unsigned char>(text[k])) != static_cast<unsigned char>(bytes_[k])) {
      return false;
    }
  }
  return true;
}

const char* RawNeedle::FindFirst(const char* text, size_t length) const {
  const size_t n = bytes_.size();
  if (n == 0 || length < n) return nullptr;
  if (n == 1 && !fold_) return static_cast<const char*>(std::memchr(text, bytes_[0], length));
  const Filter filter{static_cast<unsigned char>(bytes_.front()),
                      static_cast<unsigned char>(bytes_.back()), firstMask_, lastMask_, n};
  size_t scanned = 0;
  const char* found = AvxAvailable() ? FirstAvx2(text, length, filter, *this, &scanned)
                                     : FirstSse2(text, length, filter, *this, &scanned);
  if (found != nullptr) return found;
  for (size_t i = scanned; i + n <= length; ++i) {
    if (MatchesAt(text + i)) return text + i;
  }
  return nullptr;
}

const char* RawNeedle::FindLast(const char* text, size_t length) const {
  const size_t n = bytes_.size();
  if (n == 0 || length < n) return nullptr;
  if (n == 1 && !fold_) return static_cast<const char*>(memrchr(text, bytes_[0], length));
  const Filter filter{static_cast<unsigned char>(bytes_.front()),
                      static_cast<unsigned char>(bytes_.back()), firstMask_, lastMask_, n};
  size_t remaining = 0;
  const char* found = AvxAvailable() ? LastAvx2(text, length, filter, *this, &remaining)
                                     : LastSse2(text, length, filter, *this, &remaining);
  if (found != nullptr) return found;
  for (size_t i = remaining; i-- > 0;) {
    if (MatchesAt(text + i)) return text + i;
  }
  return nullptr;
}

}  // namespace search_detail
