#include "store/lineslice.h"

#include <emmintrin.h>

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

bool TextOffsetOfRaw(FileSlot& slot, const LineBounds& bounds, uint64_t raw, bool stopAtZero,
                     uint64_t& text) {
  if (!bounds.ok || raw > bounds.length()) return false;
  const __m128i tabs = _mm_set1_epi8('\t');
  const __m128i feeds = _mm_set1_epi8('\n');
  const __m128i zeros = stopAtZero ? _mm_set1_epi8('\0') : feeds;
  uint64_t tabCount = 0;
  for (uint64_t at = 0; at < raw;) {
    const LineSlice s = GetLineSlice(slot, bounds, at, static_cast<size_t>(raw - at));
    if (s.size == 0) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data);
    size_t i = 0;
    // TABs are counted in sixteen byte lanes (a compare gives -1 a TAB),
    // summed into tabCount before a lane could pass 255.
    while (i + 16 <= s.size) {
      __m128i lanes = _mm_setzero_si128();
      const size_t stop = std::min(s.size - 15, i + 255 * 16);
      for (; i < stop; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        if (_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, feeds), _mm_cmpeq_epi8(v, zeros))) !=
            0) {
          return false;
        }
        lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(v, tabs));
      }
      const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
      tabCount += static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
                  static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
    for (; i < s.size; ++i) {
      if (p[i] == '\n' || (stopAtZero && p[i] == '\0')) return false;
      tabCount += p[i] == '\t' ? 1 : 0;
    }
    at += s.size;
  }
  text = raw - tabCount + tabCount * static_cast<uint64_t>(std::max<int32_t>(TabWidth, 0));
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
