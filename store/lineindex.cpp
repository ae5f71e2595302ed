#include "store/lineindex.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Escape code in Chunk::code: the distance is the next varint of the group.
constexpr uint8_t kEscape = 255;
// A LEB128 varint of a 64-bit value takes at most 10 bytes.
constexpr uint32_t kMaxVarint = 10;
// The escape stream of a chunk lies in segments allocated as it grows: a
// small first one, so that a chunk with a few long lines stays small, then
// segments of kSegmentBytes.
constexpr uint32_t kFirstSegmentBytes = 256;
constexpr uint32_t kSegmentShift = 12;
constexpr uint32_t kSegmentBytes = uint32_t{1} << kSegmentShift;

constexpr uint32_t SegmentOf(uint32_t pos) {
  return pos < kFirstSegmentBytes ? 0 : 1 + ((pos - kFirstSegmentBytes) >> kSegmentShift);
}
constexpr uint32_t SegmentBegin(uint32_t segment) {
  return segment == 0 ? 0 : kFirstSegmentBytes + ((segment - 1) << kSegmentShift);
}
constexpr uint32_t SegmentSize(uint32_t segment) {
  return segment == 0 ? kFirstSegmentBytes : kSegmentBytes;
}

// A varint never straddles two segments: when fewer than kMaxVarint bytes
// remain in a segment, the writer goes on at the start of the next one, and
// the reader skips the same way. Returns the position where the varint at
// pos really begins.
inline uint32_t VarintAt(uint32_t pos) {
  const uint32_t segment = SegmentOf(pos);
  const uint32_t end = SegmentBegin(segment) + SegmentSize(segment);
  return end - pos < kMaxVarint ? end : pos;
}

struct CodeSum {
  uint64_t sum;      // of all codes, escapes counted as 255
  uint32_t escapes;  // codes that are kEscape
};

// Sums code[0, n), n <= 128. Only those bytes are read: the ones after them
// may be the writer's, still being written.
inline CodeSum SumCodes(const uint8_t* code, uint32_t n) {
  CodeSum total{0, 0};
  uint32_t i = 0;
#if defined(__SSE2__)
  if (n >= 16) {
    // 16 codes a step: psadbw adds them up, and the escape lanes count down
    // from zero (at most 8 steps, no byte wraps). The last step overlaps the
    // one before it and masks the overlap out, instead of reading past n.
    alignas(16) static const uint8_t kTail[32] = {0,    0,    0,    0,    0,    0,    0,    0,
                                                  0,    0,    0,    0,    0,    0,    0,    0,
                                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const __m128i zero = _mm_setzero_si128();
    const __m128i escape = _mm_set1_epi8(static_cast<char>(kEscape));
    __m128i sums = zero;
    __m128i escapes = zero;
    auto add = [&](__m128i v) {
      sums = _mm_add_epi64(sums, _mm_sad_epu8(v, zero));
      escapes = _mm_sub_epi8(escapes, _mm_cmpeq_epi8(v, escape));
    };
    for (; i + 16 <= n; i += 16) add(_mm_loadu_si128(reinterpret_cast<const __m128i*>(code + i)));
    if (i < n) {
      const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kTail + (n - i)));
      add(_mm_and_si128(keep, _mm_loadu_si128(reinterpret_cast<const __m128i*>(code + n - 16))));
    }
    const __m128i counts = _mm_sad_epu8(escapes, zero);
    total.sum = static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
                static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    total.escapes = static_cast<uint32_t>(_mm_cvtsi128_si32(counts)) +
                    static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(counts, counts)));
    return total;
  }
#endif
  for (; i < n; ++i) {
    total.sum += code[i];
    total.escapes += code[i] == kEscape;
  }
  return total;
}

}  // namespace

struct LineIndex::Chunk {
  // Every line but the first of each group may escape with a varint of up
  // to kMaxVarint bytes, and every segment after the first and before the
  // last holds at least kSegmentBytes - (kMaxVarint - 1) bytes of them.
  static constexpr uint32_t kMaxEscapeBytes = kGroupsPerChunk * (kGroupLines - 1) * kMaxVarint;
  static constexpr uint32_t kMaxSegments = 2 + kMaxEscapeBytes / (kSegmentBytes - (kMaxVarint - 1));
  // Escape positions are 32-bit.
  static_assert(SegmentBegin(kMaxSegments) < (uint64_t{1} << 32));

  // Start of the first line of each group.
  uint64_t base[kGroupsPerChunk];
  // Where the escapes of each group begin in this chunk's escape stream;
  // they follow in the order of their lines.
  uint32_t escape_at[kGroupsPerChunk];
  // For a line that is not first in its group: its distance from the
  // previous start when below 255, else kEscape. 0 for first lines.
  uint8_t code[kChunkLines];
  // The escape stream, allocated as it grows.
  uint8_t* segments[kMaxSegments] = {};

  uint64_t ReadEscape(uint32_t& pos) const {
    pos = VarintAt(pos);
    const uint32_t segment = SegmentOf(pos);
    const uint8_t* p = segments[segment] + (pos - SegmentBegin(segment));
    uint64_t value = 0;
    int shift = 0;
    uint32_t used = 0;
    uint8_t byte;
    do {
      byte = p[used++];
      value |= uint64_t{byte & 0x7Fu} << shift;
      shift += 7;
    } while (byte & 0x80u);
    pos += used;
    return value;
  }
};

const size_t LineIndex::kChunkBytes = (sizeof(Chunk) + 4095) & ~size_t{4095};

// A line, its start, and the escape position after that line's own escape:
// enough to step to the next line without looking back.
struct LineIndex::Cursor {
  const Chunk* chunk;
  int64_t line;
  uint64_t start;
  uint32_t escape;

  // Moves to line + 1, which must be below the index's size.
  void Next(const LineIndex& index) {
    ++line;
    const int64_t at = line & (kChunkLines - 1);
    if ((at & (kGroupLines - 1)) == 0) {
      if (at == 0) chunk = index.ChunkOf(line);
      start = chunk->base[at >> kGroupShift];
      escape = chunk->escape_at[at >> kGroupShift];
      return;
    }
    const uint8_t code = chunk->code[at];
    start += code != kEscape ? code : chunk->ReadEscape(escape);
  }
};

LineIndex::LineIndex() : chunks_(new std::atomic<Chunk*>[kMaxChunks]()) {
  memory_bytes_.store(kMaxChunks * sizeof(std::atomic<Chunk*>), std::memory_order_relaxed);
}

LineIndex::~LineIndex() {
  for (int64_t c = 0; c < chunk_count_; ++c) FreeChunk(chunks_[c].load(std::memory_order_relaxed));
}

void LineIndex::FreeChunk(Chunk* c) {
  size_t freed = kChunkBytes;
  for (uint32_t s = 0; s < Chunk::kMaxSegments && c->segments[s]; ++s) {
    delete[] c->segments[s];
    freed += SegmentSize(s);
  }
  c->~Chunk();
  munmap(c, kChunkBytes);
  memory_bytes_.fetch_sub(freed, std::memory_order_relaxed);
}

bool LineIndex::PutEscape(Chunk* c, uint64_t d) {
  const uint32_t pos = VarintAt(escape_end_);
  const uint32_t s = SegmentOf(pos);
  if (!c->segments[s]) {
    c->segments[s] = new (std::nothrow) uint8_t[SegmentSize(s)];
    if (!c->segments[s]) return false;
    memory_bytes_.fetch_add(SegmentSize(s), std::memory_order_relaxed);
  }
  uint8_t* p = c->segments[s] + (pos - SegmentBegin(s));
  uint32_t used = 0;
  while (d >= 0x80) {
    p[used++] = static_cast<uint8_t>(d | 0x80);
    d >>= 7;
  }
  p[used++] = static_cast<uint8_t>(d);
  escape_end_ = pos + used;
  return true;
}

size_t LineIndex::Append(const uint64_t* starts, size_t n) {
  int64_t size = size_.load(std::memory_order_relaxed);
  size_t done = 0;
  while (done < n && size < kMaxLines) {
    const int64_t chunk = size >> kChunkShift;
    if (chunk == chunk_count_) {
      // A mapping of its own, unlike a heap block, goes back to the system
      // when the chunk is freed; its pages are filled in at once, which
      // costs less than faulting them in one by one (40 million fresh
      // lines: 37 ms of CPU instead of 51 ms on the heap).
      void* memory = mmap(nullptr, kChunkBytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
      if (memory == MAP_FAILED) break;
      Chunk* fresh = new (memory) Chunk;
      memory_bytes_.fetch_add(kChunkBytes, std::memory_order_relaxed);
      chunks_[chunk].store(fresh, std::memory_order_relaxed);
      ++chunk_count_;
      escape_end_ = 0;
    }
    Chunk* c = chunks_[chunk].load(std::memory_order_relaxed);
    const int64_t at = size & (kChunkLines - 1);
    const int64_t in_group = at & (kGroupLines - 1);
    if (in_group == 0) {
      c->base[at >> kGroupShift] = starts[done];
      c->escape_at[at >> kGroupShift] = escape_end_;
      c->code[at] = 0;  // summed with the others, adding nothing
      last_start_ = starts[done];
      ++done;
      ++size;
      continue;
    }
    // The rest of this group, as far as the batch and kMaxLines allow.
    const size_t take = static_cast<size_t>(std::min<int64_t>(
        {kGroupLines - in_group, static_cast<int64_t>(n - done), kMaxLines - size}));
    const uint64_t* from = starts + done;
    uint8_t* code = c->code + at;
    uint64_t last = last_start_;
    size_t i = 0;
    for (; i < take; ++i) {
      const uint64_t d = from[i] - last;
      if (d < kEscape) {
        code[i] = static_cast<uint8_t>(d);
      } else {
        if (!PutEscape(c, d)) break;
        code[i] = kEscape;
      }
      last = from[i];
    }
    last_start_ = last;
    done += i;
    size += static_cast<int64_t>(i);
    if (i < take) break;
  }
  size_.store(size, std::memory_order_release);
  return done;
}

LineIndex::Cursor LineIndex::Seek(int64_t line) const {
  const Chunk* c = ChunkOf(line);
  const int64_t at = line & (kChunkLines - 1);
  const int64_t group = at >> kGroupShift;
  // Plain distances are summed at once (the escape codes with them, taken
  // out again below); only the escaped ones need the stream. The group's
  // first code is 0.
  const CodeSum codes =
      SumCodes(c->code + (group << kGroupShift), static_cast<uint32_t>(at & (kGroupLines - 1)) + 1);
  uint32_t escapes = codes.escapes;
  Cursor cursor{c, line, c->base[group] + codes.sum - uint64_t{kEscape} * escapes,
                c->escape_at[group]};
  while (escapes-- > 0) cursor.start += c->ReadEscape(cursor.escape);
  return cursor;
}

uint64_t LineIndex::Start(int64_t line) const { return Seek(line).start; }

void LineIndex::Starts(int64_t first, int64_t n, uint64_t* out) const {
  if (n <= 0) return;
  Cursor cursor = Seek(first);
  out[0] = cursor.start;
  for (int64_t i = 1; i < n; ++i) {
    cursor.Next(*this);
    out[i] = cursor.start;
  }
}

int64_t LineIndex::LineAt(uint64_t offset, int64_t low, int64_t high) const {
  const int64_t size = std::min(Size(), high + 1);
  if (size <= 0 || low >= size) return -1;
  low = std::max<int64_t>(low, 0);
  auto base = [this](int64_t group) {
    return ChunkOf(group << kGroupShift)->base[group & (kGroupsPerChunk - 1)];
  };
  // The last group whose first start is <= offset; the answer is in it.
  // low's group is taken without a look: low's own start decides below.
  int64_t lo = (low >> kGroupShift) + 1;
  int64_t hi = ((size - 1) >> kGroupShift) + 1;  // that group is lo - 1
  while (lo < hi) {
    const int64_t mid = lo + (hi - lo) / 2;
    if (base(mid) <= offset) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const int64_t first = std::max((lo - 1) << kGroupShift, low);
  const int64_t end = std::min(size, ((lo - 1) << kGroupShift) + kGroupLines);
  Cursor cursor = Seek(first);
  if (cursor.start > offset) return -1;
  while (cursor.line + 1 < end) {
    Cursor next = cursor;
    next.Next(*this);
    if (next.start > offset) break;
    cursor = next;
  }
  return cursor.line;
}

void LineIndex::TruncateTo(int64_t lines) {
  // Lines never appended are not made up, whatever the caller asks.
  lines = std::clamp<int64_t>(lines, 0, size_.load(std::memory_order_relaxed));
  size_.store(lines, std::memory_order_release);
  const int64_t keep = (lines + kChunkLines - 1) >> kChunkShift;
  for (int64_t c = keep; c < chunk_count_; ++c) {
    FreeChunk(chunks_[c].load(std::memory_order_relaxed));
    chunks_[c].store(nullptr, std::memory_order_relaxed);
  }
  chunk_count_ = std::min(chunk_count_, keep);
  if (lines == 0) {
    last_start_ = 0;
    escape_end_ = 0;
    return;
  }
  // The writer goes on after the last kept line; the escape segments past
  // it in its chunk are dropped.
  const Cursor last = Seek(lines - 1);
  last_start_ = last.start;
  escape_end_ = last.escape;
  Chunk* c = chunks_[(lines - 1) >> kChunkShift].load(std::memory_order_relaxed);
  // The first segment not yet written to: the one after the last byte.
  const uint32_t unused = escape_end_ == 0 ? 0 : SegmentOf(escape_end_ - 1) + 1;
  for (uint32_t s = unused; s < Chunk::kMaxSegments && c->segments[s]; ++s) {
    delete[] c->segments[s];
    c->segments[s] = nullptr;
    memory_bytes_.fetch_sub(SegmentSize(s), std::memory_order_relaxed);
  }
}

size_t LineIndex::MemoryBytes() const { return memory_bytes_.load(std::memory_order_relaxed); }
