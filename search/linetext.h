// A line's display text built straight from its mapped bytes, as GetLine
// builds it: the scans use it to read many lines without a GetLine call each.
#pragma once

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "store/slots.h"

namespace search_detail {

// Copies [p, p + length) to out with each TAB as TabWidth blanks (none
// when TabWidth <= 0), cut at 2047 bytes, as GetLineInto does.
inline size_t ExpandTabs(const char* p, size_t length, char* out) {
  const int tab = TabWidth;
  size_t produced = 0;
  const char* src = p;
  const char* end = p + length;
  while (src < end && produced < size_t{kMaxLineText}) {
    const char* next =
        static_cast<const char*>(std::memchr(src, '\t', static_cast<size_t>(end - src)));
    const char* runEnd = next != nullptr ? next : end;
    const size_t run = std::min(static_cast<size_t>(runEnd - src), kMaxLineText - produced);
    std::memcpy(out + produced, src, run);
    produced += run;
    if (next == nullptr) break;
    const size_t blanks = tab > 0 ? std::min<size_t>(tab, kMaxLineText - produced) : 0;
    std::memset(out + produced, ' ', blanks);
    produced += blanks;
    src = next + 1;
  }
  return produced;
}

// The display text of a line from its raw bytes [p, p + n), its line feed
// included, built as GetLineInto builds it: the line ends at its line feed
// when at most 2047 bytes come before it (a CR before it dropped), else
// after 2047 bytes; each TAB becomes TabWidth blanks; at most 2047 bytes. With
// cutAtZero the text ends at its first zero byte, which is all that
// the expression sees of it. readable: bytes that may be read from p (>= n).
inline size_t TextFromRaw(const char* p, size_t n, size_t readable, char* out, bool cutAtZero) {
  size_t length = n - 1;
  if (length > size_t{kMaxLineText}) {
    length = size_t{kMaxLineText};
  } else if (length > 0 && p[length - 1] == '\r') {
    --length;
  }
  if (length <= 32 && readable >= 32) {
    // Most lines: two 16-byte copies and one look for TABs and zeros.
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), b);
    const uint32_t valid = length < 32 ? (uint32_t{1} << length) - 1 : ~uint32_t{0};
    const __m128i tab = _mm_set1_epi8('\t');
    uint32_t tabs = (static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, tab))) |
                     static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, tab))) << 16) &
                    valid;
    if (cutAtZero) {
      const __m128i zero = _mm_setzero_si128();
      const uint32_t zeros =
          (static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, zero))) |
           static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, zero))) << 16) &
          valid;
      if (zeros != 0) {
        length = static_cast<size_t>(__builtin_ctz(zeros));
        tabs &= (uint32_t{1} << length) - 1;
      }
    }
    if (tabs == 0) return length;
    // A few bytes: a plain loop beats the block copies of ExpandTabs.
    const int width = TabWidth;
    size_t produced = 0;
    for (size_t i = 0; i < length; ++i) {
      if (p[i] != '\t') {
        out[produced++] = p[i];
      } else if (width > 0) {
        const size_t blanks = std::min<size_t>(width, kMaxLineText - produced);
        std::memset(out + produced, ' ', blanks);
        produced += blanks;
        if (produced == size_t{kMaxLineText}) break;
      }
    }
    return produced;
  }
  if (cutAtZero) {
    if (const void* zero = std::memchr(p, '\0', length)) {
      length = static_cast<size_t>(static_cast<const char*>(zero) - p);
    }
  }
  return ExpandTabs(p, length, out);
}

}  // namespace search_detail
