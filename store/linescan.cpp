#include "store/linescan.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// Records are file offsets (uint64_t) or offsets from the run's first byte
// (uint32_t, a run shorter than 4 GiB): base + position + 1 either way.
template <typename T>
inline void PutRecord(T* record, uint64_t offset) {
  *record = static_cast<T>(offset);
}

// Records the line feeds of one 64-byte step one by one, stopping at room.
// Returns true when room ran out (then *consumed is set).
template <typename T>
inline bool EmitChecked(uint64_t mask, size_t i, uint64_t base, T* out, size_t room,
                        size_t* written, size_t* consumed) {
  while (mask != 0) {
    const size_t at = i + static_cast<size_t>(__builtin_ctzll(mask));
    PutRecord(out + *written, base + at + 1);
    if (++*written == room) {
      *consumed = at + 1;
      return true;
    }
    mask &= mask - 1;
  }
  return false;
}

template <typename T>
size_t ScalarTail(const char* p, size_t i, size_t length, uint64_t base, T* out, size_t room,
                  size_t written, size_t* consumed) {
  for (; i < length; ++i) {
    if (p[i] != '\n') continue;
    PutRecord(out + written, base + i + 1);
    if (++written == room) {
      *consumed = i + 1;
      return written;
    }
  }
  *consumed = length;
  return written;
}

template <typename T>
size_t RecordBaseline(const char* p, size_t length, uint64_t base, T* out, size_t room,
                      size_t* consumed) {
  size_t written = 0;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i feed = _mm_set1_epi8('\n');
  for (; i + 64 <= length; i += 64) {
    const char* q = p + i;
    _mm_prefetch(q + 4096, _MM_HINT_T0);
    const uint64_t m0 = static_cast<uint32_t>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)), feed)));
    const uint64_t m1 = static_cast<uint32_t>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16)), feed)));
    const uint64_t m2 = static_cast<uint32_t>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 32)), feed)));
    const uint64_t m3 = static_cast<uint32_t>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 48)), feed)));
    const uint64_t mask = m0 | (m1 << 16) | (m2 << 32) | (m3 << 48);
    if (EmitChecked(mask, i, base, out, room, &written, consumed)) return written;
  }
#endif
  return ScalarTail(p, i, length, base, out, room, written, consumed);
}

#if defined(__x86_64__)

// Why this shape, measured on a warm 1 GiB file of 27-byte lines:
// - the hardware prefetcher stops at each 4 KiB page of the mapping, so the
//   page ahead is requested by hand (the scan alone went from 0.45 s to
//   0.20 s);
// - while at least 64 records of room are left, each 64-byte step writes
//   its records four at a time without a test per line feed (scratch
//   values past the real ones are overwritten later), which spares the
//   branch that mispredicted on the varying number of lines per step;
// - a step of 64 line feeds (a run of empty lines) writes its consecutive
//   starts as vectors, a fifth of the work of taking them bit by bit.
//   The records are stored one by one: packed into a vector first (as the
//   compiler would have it for 32-bit ones) the scan took a fifth longer.
template <typename T>
__attribute__((target("avx2,bmi,bmi2,popcnt"), optimize("no-tree-slp-vectorize"))) bool RecordWide(
    const char* p, size_t length, uint64_t base, T* out, size_t room, size_t* consumed,
    size_t* written_out) {
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                                __builtin_cpu_supports("popcnt");
  if (!supported) return false;
  size_t written = 0;
  size_t i = 0;
  const __m256i feed = _mm256_set1_epi8('\n');
  for (; i + 64 <= length; i += 64) {
    const char* q = p + i;
    _mm_prefetch(q + 4096, _MM_HINT_T0);
    const uint64_t lo = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)), feed)));
    const uint64_t hi = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32)), feed)));
    uint64_t mask = lo | (hi << 32);
    if (mask == 0) continue;
    if (room - written < 64) {
      if (EmitChecked(mask, i, base, out, room, &written, consumed)) {
        *written_out = written;
        return true;
      }
      continue;
    }
    const uint64_t start = base + i + 1;
    T* o = out + written;
    if (mask == ~uint64_t{0}) {
      // 64 empty lines: their starts follow each other, a vector a store.
      if constexpr (sizeof(T) == 8) {
        __m256i next = _mm256_add_epi64(_mm256_set1_epi64x(static_cast<long long>(start)),
                                        _mm256_setr_epi64x(0, 1, 2, 3));
        const __m256i four = _mm256_set1_epi64x(4);
        for (size_t k = 0; k < 64; k += 4) {
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + k), next);
          next = _mm256_add_epi64(next, four);
        }
      } else {
        __m256i next = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(start)),
                                        _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        const __m256i eight = _mm256_set1_epi32(8);
        for (size_t k = 0; k < 64; k += 8) {
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + k), next);
          next = _mm256_add_epi32(next, eight);
        }
      }
      written += 64;
      if (written == room) {
        *consumed = i + 64;
        *written_out = written;
        return true;
      }
      continue;
    }
    const size_t count = static_cast<size_t>(_mm_popcnt_u64(mask));
    for (size_t k = 0; k < count; k += 4) {
      PutRecord(o + k, start + _tzcnt_u64(mask));
      mask = _blsr_u64(mask);
      PutRecord(o + k + 1, start + _tzcnt_u64(mask));
      mask = _blsr_u64(mask);
      PutRecord(o + k + 2, start + _tzcnt_u64(mask));
      mask = _blsr_u64(mask);
      PutRecord(o + k + 3, start + _tzcnt_u64(mask));
      mask = _blsr_u64(mask);
    }
    written += count;
    if (written == room) {
      const uint64_t full = lo | (hi << 32);
      *consumed = i + 64 - static_cast<size_t>(__builtin_clzll(full));
      *written_out = written;
      return true;
    }
  }
  *written_out = ScalarTail(p, i, length, base, out, room, written, consumed);
  return true;
}

#else

template <typename T>
bool RecordWide(const char*, size_t, uint64_t, T*, size_t, size_t*, size_t*) {
  return false;
}

#endif

}  // namespace

size_t RecordLineStartsBaseline(const char* p, size_t length, uint64_t base, uint64_t* out,
                                size_t room, size_t* consumed) {
  return RecordBaseline(p, length, base, out, room, consumed);
}

bool RecordLineStartsWide(const char* p, size_t length, uint64_t base, uint64_t* out, size_t room,
                          size_t* consumed, size_t* written) {
  return RecordWide(p, length, base, out, room, consumed, written);
}

size_t RecordLineOffsetsBaseline(const char* p, size_t length, uint32_t* out, size_t room,
                                 size_t* consumed) {
  return RecordBaseline(p, length, 0, out, room, consumed);
}

size_t RecordLineOffsets(const char* p, size_t length, uint32_t* out, size_t room,
                         size_t* consumed) {
  size_t written = 0;
  if (RecordWide(p, length, 0, out, room, consumed, &written)) return written;
  return RecordBaseline(p, length, 0, out, room, consumed);
}

namespace {

// The bits of the bytes from i on, fewer than 64 of them.
uint64_t TailBits(const char* p, size_t i, size_t length) {
  uint64_t mask = 0;
  for (size_t j = i; j < length; ++j) mask |= uint64_t{p[j] == '\n'} << (j - i);
  return mask;
}

#if defined(__x86_64__)
// The page ahead is asked for by hand, as in RecordLineStartsWide; the rest
// is a compare, a mask and its count a 64-byte step.
__attribute__((target("avx2,popcnt"))) bool MarkLineFeedsWide(const char* p, size_t length,
                                                              uint64_t* words, size_t* feeds) {
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  if (!supported) return false;
  const __m256i feed = _mm256_set1_epi8('\n');
  size_t count = 0;
  size_t i = 0;
  for (; i + 64 <= length; i += 64) {
    const char* q = p + i;
    _mm_prefetch(q + 4096, _MM_HINT_T0);
    const uint64_t lo = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)), feed)));
    const uint64_t hi = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32)), feed)));
    const uint64_t mask = lo | (hi << 32);
    words[i / 64] = mask;
    count += static_cast<size_t>(_mm_popcnt_u64(mask));
  }
  if (i < length) {
    words[i / 64] = TailBits(p, i, length);
    count += static_cast<size_t>(__builtin_popcountll(words[i / 64]));
  }
  *feeds = count;
  return true;
}
#else
bool MarkLineFeedsWide(const char*, size_t, uint64_t*, size_t*) { return false; }
#endif

}  // namespace

size_t MarkLineFeedsBaseline(const char* p, size_t length, uint64_t* words) {
  size_t count = 0;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i feed = _mm_set1_epi8('\n');
  for (; i + 64 <= length; i += 64) {
    const char* q = p + i;
    _mm_prefetch(q + 4096, _MM_HINT_T0);
    uint64_t mask = 0;
    for (int k = 0; k < 4; ++k) {
      mask |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(
                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16 * k)), feed)))}
              << (16 * k);
    }
    words[i / 64] = mask;
    count += static_cast<size_t>(__builtin_popcountll(mask));
  }
#endif
  for (; i < length; i += 64) {
    words[i / 64] = TailBits(p, i, std::min(length, i + 64));
    count += static_cast<size_t>(__builtin_popcountll(words[i / 64]));
  }
  return count;
}

size_t MarkLineFeeds(const char* p, size_t length, uint64_t* words) {
  size_t feeds = 0;
  if (MarkLineFeedsWide(p, length, words, &feeds)) return feeds;
  return MarkLineFeedsBaseline(p, length, words);
}

namespace {

// FeedBits::Starts over words[0, word_count), each start written as base +
// (its offset within the run) into T.
template <typename T>
__attribute__((always_inline)) inline size_t TakeFeeds(const uint64_t* words, size_t word_count,
                                                       size_t* at, T* out, size_t room,
                                                       uint64_t base) {
  size_t k = *at / 64;
  if (k >= word_count || room == 0) return 0;
  uint64_t mask = words[k] & (~uint64_t{0} << (*at % 64));
  size_t n = 0;
  for (;;) {
    if (mask != 0) {
      const uint64_t first = base + k * 64 + 1;
      const size_t count = static_cast<size_t>(__builtin_popcountll(mask));
      if (count + 3 <= room - n) {
        // The whole word, four a step without a test a line feed (the
        // varying count mispredicted): up to three scratch values after.
        // Bit 63 set stands in for an empty mask, whose count is undefined.
        T* o = out + n;
        for (size_t i = 0; i < count; i += 4) {
          for (size_t j = 0; j < 4; ++j) {
            o[i + j] = static_cast<T>(
                first + static_cast<uint64_t>(__builtin_ctzll(mask | uint64_t{1} << 63)));
            mask &= mask - 1;
          }
        }
        n += count;
      } else {
        for (;;) {
          const size_t bit = static_cast<size_t>(__builtin_ctzll(mask));
          out[n++] = static_cast<T>(first + bit);
          mask &= mask - 1;
          if (n == room) {
            *at = k * 64 + bit + 1;
            return n;
          }
          if (mask == 0) break;
        }
      }
    }
    if (++k == word_count) {
      *at = word_count * 64;
      return n;
    }
    mask = words[k];
  }
}

#if defined(__x86_64__)
// With the processor's own count and trailing-zero instructions (a library
// call for the count otherwise).
template <typename T>
__attribute__((target("popcnt,bmi"))) size_t TakeFeedsWide(const uint64_t* words, size_t word_count,
                                                           size_t* at, T* out, size_t room,
                                                           uint64_t base) {
  return TakeFeeds(words, word_count, at, out, room, base);
}
#endif

template <typename T>
size_t TakeFeedsChosen(const uint64_t* words, size_t word_count, size_t* at, T* out, size_t room,
                       uint64_t base) {
#if defined(__x86_64__)
  static const bool wide = __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi");
  if (wide) return TakeFeedsWide(words, word_count, at, out, room, base);
#endif
  return TakeFeeds(words, word_count, at, out, room, base);
}

}  // namespace

size_t FeedBits::Starts(size_t* at, uint64_t* out, size_t room) const {
  if (listed != nullptr) {
    const size_t from = std::min(*at, feeds);
    const size_t n = std::min(room, feeds - from);
    for (size_t i = 0; i < n; ++i) out[i] = begin + listed[from + i];
    *at = from + n;
    return n;
  }
  return TakeFeedsChosen(words, word_count, at, out, room, begin);
}

size_t FeedBits::Offsets(size_t* at, uint32_t* out, size_t room) const {
  if (listed != nullptr) {
    const size_t from = std::min(*at, feeds);
    const size_t n = std::min(room, feeds - from);
    std::copy(listed + from, listed + from + n, out);
    *at = from + n;
    return n;
  }
  return TakeFeedsChosen(words, word_count, at, out, room, 0);
}

uint64_t FeedBits::LastStart() const {
  if (listed != nullptr) return begin + (feeds > 0 ? listed[feeds - 1] : 0);
  for (size_t k = word_count; k-- > 0;) {
    if (words[k] != 0)
      return begin + k * 64 + static_cast<size_t>(63 - __builtin_clzll(words[k])) + 1;
  }
  return begin;
}

size_t RecordLineStarts(const char* p, size_t length, uint64_t base, uint64_t* out, size_t room,
                        size_t* consumed) {
  size_t written = 0;
  if (RecordLineStartsWide(p, length, base, out, room, consumed, &written)) return written;
  return RecordLineStartsBaseline(p, length, base, out, room, consumed);
}
