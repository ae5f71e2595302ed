#include "store/lineslice.h"

#include <immintrin.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "store/slot_detail.h"

namespace {

// The end of the bytes the file still holds, for a slot that saw its file
// shrink.
uint64_t ReadableEnd(const FileSlot& slot, uint64_t end) {
  return slot.Truncated ? std::min(end, slot.TruncatedSize) : end;
}

// [begin, end) of the file mapped and still in the file (end - begin at most
// kMaxSliceBytes); null when it cannot be read.
const char* MapBytes(FileSlot& slot, uint64_t begin, uint64_t& end) {
  if (MapWindowAt(slot, begin, end) != 0) return nullptr;
  slot_detail::NoteTruncation(slot);
  end = std::min(ReadableEnd(slot, end), slot.WindowOffset + slot.ViewLength);
  if (begin >= end || begin < slot.WindowOffset) return nullptr;
  return slot.ViewBase + (begin - slot.WindowOffset);
}

}  // namespace

LineBounds GetLineBounds(FileSlot& slot, int32_t line) {
  LineBounds bounds;
  if (line < 0 || line >= slot.LineCount || !slot.Index) return bounds;
  bounds.begin = slot.Index->Start(line);
  bool byFeed = false;
  if (int64_t{line} + 1 < slot.Index->Size()) {
    const uint64_t next = slot.Index->Start(line + 1);
    if (next <= bounds.begin) return bounds;
    bounds.end = next - 1;
    byFeed = true;
  } else {
    bounds.end = slot.FileSize;
  }
  bounds.end = std::max(ReadableEnd(slot, bounds.end), bounds.begin);
  bounds.ok = true;
  if (byFeed && bounds.end > bounds.begin) {
    uint64_t end = bounds.end;
    const char* last = MapBytes(slot, bounds.end - 1, end);
    if (last != nullptr && end == bounds.end && *last == '\r') --bounds.end;
  }
  return bounds;
}

LineSlice GetLineSlice(FileSlot& slot, int32_t line, uint64_t from, size_t want) {
  return GetLineSlice(slot, GetLineBounds(slot, line), from, want);
}

LineSlice GetLineSlice(FileSlot& slot, const LineBounds& bounds, uint64_t from, size_t want) {
  if (!bounds.ok || from >= bounds.length()) return {};
  const uint64_t begin = bounds.begin + from;
  uint64_t end = begin + std::min<uint64_t>({want, kMaxSliceBytes, bounds.end - begin});
  const char* p = MapBytes(slot, begin, end);
  if (p == nullptr) return {};
  return LineSlice{p, static_cast<size_t>(end - begin)};
}

LineSlice PeekLineSlice(FileSlot& slot, const LineBounds& bounds, uint64_t from, size_t want,
                        char* scratch) {
  if (!bounds.ok || from >= bounds.length()) return {};
  const uint64_t begin = bounds.begin + from;
  const uint64_t end =
      ReadableEnd(slot, begin + std::min<uint64_t>({want, kMaxSliceBytes, bounds.end - begin}));
  if (begin >= end) return {};
  if (slot.ViewBase != nullptr && begin >= slot.WindowOffset &&
      end <= slot.WindowOffset + slot.ViewLength) {
    return LineSlice{slot.ViewBase + (begin - slot.WindowOffset), static_cast<size_t>(end - begin)};
  }
  if (slot.Compressed || slot.FileHandle < 0) return GetLineSlice(slot, bounds, from, want);
  size_t got = 0;
  const size_t size = static_cast<size_t>(end - begin);
  while (got < size) {
    const ssize_t n =
        ::pread(slot.FileHandle, scratch + got, size - got, static_cast<off_t>(begin + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the file shrank, or cannot be read: what was read
    got += static_cast<size_t>(n);
  }
  return LineSlice{got > 0 ? scratch : nullptr, got};
}

namespace {

// CountLineBytes over the first size / 32 * 32 bytes, with AVX2, a run of
// kRun bytes at a time: a run whose bytes are all 11 or more (no TAB, line
// feed nor zero byte: most runs of most text) is passed over after one
// minimum a vector; in the others TABs are counted in byte lanes (a compare
// gives -1 a TAB; kRun / 32 < 256 steps, so no lane overflows).
__attribute__((target("avx2"))) LineByteCounts CountAvx2(const unsigned char* p, size_t size) {
  constexpr size_t kRun = 4096;
  const __m256i tabs = _mm256_set1_epi8('\t');
  const __m256i feeds = _mm256_set1_epi8('\n');
  const __m256i zeros = _mm256_setzero_si256();
  const __m256i eleven = _mm256_set1_epi8(11);
  __m256i seenFeed = _mm256_setzero_si256();
  __m256i seenZero = _mm256_setzero_si256();
  __m256i sums = _mm256_setzero_si256();
  const size_t whole = size / 32 * 32;
  for (size_t run = 0; run < whole; run += kRun) {
    const size_t stop = std::min(whole, run + kRun);
    __m256i low = _mm256_set1_epi8(-1);
    for (size_t i = run; i < stop; i += 32) {
      low = _mm256_min_epu8(low, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
    }
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(low, eleven), low)) == -1) {
      continue;
    }
    __m256i lanes = _mm256_setzero_si256();
    for (size_t i = run; i < stop; i += 32) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      seenFeed = _mm256_or_si256(seenFeed, _mm256_cmpeq_epi8(v, feeds));
      seenZero = _mm256_or_si256(seenZero, _mm256_cmpeq_epi8(v, zeros));
      lanes = _mm256_sub_epi8(lanes, _mm256_cmpeq_epi8(v, tabs));
    }
    sums = _mm256_add_epi64(sums, _mm256_sad_epu8(lanes, zeros));
  }
  alignas(32) uint64_t parts[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(parts), sums);
  LineByteCounts counts;
  counts.tabs = parts[0] + parts[1] + parts[2] + parts[3];
  counts.feed = !_mm256_testz_si256(seenFeed, seenFeed);
  counts.zero = !_mm256_testz_si256(seenZero, seenZero);
  return counts;
}

bool AvxAvailable() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}

}  // namespace

LineByteCounts CountLineBytes(const char* data, size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  LineByteCounts counts;
  size_t i = 0;
  if (AvxAvailable()) {
    counts = CountAvx2(p, size);
    i = size / 32 * 32;
  }
  const __m128i tabs = _mm_set1_epi8('\t');
  const __m128i feeds = _mm_set1_epi8('\n');
  const __m128i zeros = _mm_setzero_si128();
  __m128i seenFeed = _mm_setzero_si128();
  __m128i seenZero = _mm_setzero_si128();
  // As CountAvx2, sixteen lanes at a time.
  while (i + 16 <= size) {
    __m128i lanes = _mm_setzero_si128();
    const size_t stop = std::min(size - 15, i + 255 * 16);
    for (; i < stop; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      seenFeed = _mm_or_si128(seenFeed, _mm_cmpeq_epi8(v, feeds));
      seenZero = _mm_or_si128(seenZero, _mm_cmpeq_epi8(v, zeros));
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(v, tabs));
    }
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    counts.tabs += static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
                   static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  }
  counts.feed |= _mm_movemask_epi8(seenFeed) != 0;
  counts.zero |= _mm_movemask_epi8(seenZero) != 0;
  for (; i < size; ++i) {
    counts.feed |= p[i] == '\n';
    counts.zero |= p[i] == '\0';
    counts.tabs += p[i] == '\t' ? 1 : 0;
  }
  return counts;
}

bool TabsInLine(FileSlot& slot, const LineBounds& bounds, uint64_t from, uint64_t to,
                bool stopAtZero, uint64_t& tabs) {
  if (!bounds.ok || to > bounds.length() || from > to) return false;
  for (uint64_t at = from; at < to;) {
    const LineSlice s = GetLineSlice(slot, bounds, at, static_cast<size_t>(to - at));
    if (s.size == 0) return false;
    const LineByteCounts counts = CountLineBytes(s.data, s.size);
    if (counts.feed || (stopAtZero && counts.zero)) return false;
    tabs += counts.tabs;
    at += s.size;
  }
  return true;
}

uint64_t TextOffsetOfTabs(uint64_t raw, uint64_t tabs) {
  return raw - tabs + tabs * static_cast<uint64_t>(std::max<int32_t>(TabWidth, 0));
}

bool TextOffsetOfRaw(FileSlot& slot, const LineBounds& bounds, uint64_t raw, bool stopAtZero,
                     uint64_t& text) {
  uint64_t tabs = 0;
  if (!TabsInLine(slot, bounds, 0, raw, stopAtZero, tabs)) return false;
  text = TextOffsetOfTabs(raw, tabs);
  return true;
}

LineTextReader::LineTextReader(FileSlot& slot, int32_t line, uint64_t from, uint64_t text)
    : slot_(slot), bounds_(GetLineBounds(slot, line)), text_(text) {
  pos_ = bounds_.begin + std::min(from, bounds_.length());
}

size_t LineTextReader::Read(char* out, size_t cap) {
  size_t produced = 0;
  while (produced < cap) {
    if (blanks_ > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(blanks_, cap - produced));
      std::memset(out + produced, ' ', n);
      produced += n;
      blanks_ -= n;
      continue;
    }
    if (pos_ >= bounds_.end) break;
    // The slice ends at the next step boundary, so that a reader moving
    // through the line remaps once per window step.
    uint64_t end = std::min(bounds_.end, (pos_ / kWindowStep + 1) * kWindowStep);
    const char* p = MapBytes(slot_, pos_, end);
    if (p == nullptr) {
      bounds_.end = pos_;  // unreadable: the text ends here
      break;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(end - pos_, cap - produced));
    size_t i = 0;
    while (i < n && produced < cap) {
      const char* tab = static_cast<const char*>(std::memchr(p + i, '\t', n - i));
      const size_t run = (tab != nullptr ? static_cast<size_t>(tab - p) : n) - i;
      const char* feed = static_cast<const char*>(std::memchr(p + i, '\n', run));
      if (feed != nullptr) {
        const size_t k = static_cast<size_t>(feed - (p + i));
        std::memcpy(out + produced, p + i, k);
        produced += k;
        if (produced > 0 && out[produced - 1] == '\r') --produced;
        pos_ += i + k;
        bounds_.end = pos_;
        text_ += produced;
        return produced;
      }
      std::memcpy(out + produced, p + i, run);
      produced += run;
      i += run;
      if (tab != nullptr) {
        ++i;
        blanks_ = tabWidth_ > 0 ? static_cast<uint64_t>(tabWidth_) : 0;
        break;  // the blanks are given at the top of the loop
      }
    }
    pos_ += i;
  }
  text_ += produced;
  return produced;
}

uint64_t LineTextReader::Skip(uint64_t count) {
  uint64_t passed = 0;
  while (passed < count) {
    if (blanks_ > 0) {
      const uint64_t n = std::min(blanks_, count - passed);
      blanks_ -= n;
      passed += n;
      continue;
    }
    if (pos_ >= bounds_.end) break;
    uint64_t end = std::min(bounds_.end, (pos_ / kWindowStep + 1) * kWindowStep);
    const char* p = MapBytes(slot_, pos_, end);
    if (p == nullptr) {
      bounds_.end = pos_;
      break;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(end - pos_, count - passed));
    const char* tab = static_cast<const char*>(std::memchr(p, '\t', n));
    const size_t run = tab != nullptr ? static_cast<size_t>(tab - p) : n;
    if (std::memchr(p, '\n', run) != nullptr) break;  // a stray feed: read the text instead
    pos_ += run;
    passed += run;
    if (tab != nullptr) {
      ++pos_;
      blanks_ = tabWidth_ > 0 ? static_cast<uint64_t>(tabWidth_) : 0;
    }
  }
  text_ += passed;
  return passed;
}
