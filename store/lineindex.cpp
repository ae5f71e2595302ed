#include "store/lineindex.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// Codes of a group (128 lines): one for each line but its first.
constexpr uint32_t kCodesPerGroup = 127;
// Width classes of a group's codes, and their bytes: 0, 1, 2, 4, 8.
constexpr uint32_t kWidthOf[5] = {0, 1, 2, 4, 8};
// A group's codes take this many bytes (padded to 8, so that a head can
// point to them in 32 bits).
constexpr uint64_t CodeBytes(uint32_t w) {
  return (kCodesPerGroup * kWidthOf[w] + 7) & ~uint64_t{7};
}
// The arrays are filled in a page at a time.
constexpr uint64_t kPage = 4096;
constexpr uint64_t RoundUpToPage(uint64_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }
// The widest step a head holds; a larger smallest distance is coded from it.
constexpr uint64_t kMaxStep = (uint64_t{1} << 29) - 1;

template <typename T>
inline T Load(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <typename T>
inline void Store(uint8_t* p, T value) {
  std::memcpy(p, &value, sizeof value);
}

// Sum of n one-byte codes, n <= 127. Only those bytes are read: the ones
// after them may belong to a group the writer is coding now.
inline uint64_t SumBytes(const uint8_t* code, uint32_t n) {
  uint64_t total = 0;
  uint32_t i = 0;
#if defined(__SSE2__)
  if (n >= 16) {
    // 16 codes a step, added up by psadbw. The last step overlaps the one
    // before it and masks the overlap out, instead of reading past n.
    alignas(16) static const uint8_t kTail[32] = {0,    0,    0,    0,    0,    0,    0,    0,
                                                  0,    0,    0,    0,    0,    0,    0,    0,
                                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    for (; i + 16 <= n; i += 16) {
      sums = _mm_add_epi64(
          sums, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(code + i)), zero));
    }
    if (i < n) {
      const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kTail + (n - i)));
      const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(code + n - 16));
      sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_and_si128(keep, last), zero));
    }
    return static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  }
#endif
  for (; i < n; ++i) total += code[i];
  return total;
}

// Sum of n two-byte codes, n <= 127 (each lane stays below 2^23).
inline uint64_t SumPairs(const uint8_t* code, uint32_t n) {
  uint64_t total = 0;
  uint32_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  __m128i sums = zero;
  for (; i + 8 <= n; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(code + 2 * i));
    sums = _mm_add_epi32(sums,
                         _mm_add_epi32(_mm_unpacklo_epi16(v, zero), _mm_unpackhi_epi16(v, zero)));
  }
  alignas(16) uint32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sums);
  total = uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
#endif
  for (; i < n; ++i) total += Load<uint16_t>(code + 2 * i);
  return total;
}

// Sum of the first n codes of width class w.
inline uint64_t SumCodes(const uint8_t* code, uint32_t w, uint32_t n) {
  switch (w) {
    case 0:
      return 0;
    case 1:
      return SumBytes(code, n);
    case 2:
      return SumPairs(code, n);
    case 3: {
      uint64_t total = 0;
      for (uint32_t i = 0; i < n; ++i) total += Load<uint32_t>(code + 4 * i);
      return total;
    }
    default: {
      uint64_t total = 0;
      for (uint32_t i = 0; i < n; ++i) total += Load<uint64_t>(code + 8 * i);
      return total;
    }
  }
}

// Code i of width class w.
inline uint64_t CodeAt(const uint8_t* code, uint32_t w, uint32_t i) {
  switch (w) {
    case 0:
      return 0;
    case 1:
      return code[i];
    case 2:
      return Load<uint16_t>(code + 2 * i);
    case 3:
      return Load<uint32_t>(code + 4 * i);
    default:
      return Load<uint64_t>(code + 8 * i);
  }
}

// Writes the codes of width class w: each distance less the step.
template <typename D>
void WriteCodes(uint8_t* code, const D* d, uint64_t step, uint32_t w) {
  switch (w) {
    case 0:
      break;
    case 1:
      for (uint32_t k = 0; k < kCodesPerGroup; ++k) code[k] = static_cast<uint8_t>(d[k] - step);
      break;
    case 2:
      for (uint32_t k = 0; k < kCodesPerGroup; ++k) {
        Store(code + 2 * k, static_cast<uint16_t>(d[k] - step));
      }
      break;
    case 3:
      for (uint32_t k = 0; k < kCodesPerGroup; ++k) {
        Store(code + 4 * k, static_cast<uint32_t>(d[k] - step));
      }
      break;
    default:
      for (uint32_t k = 0; k < kCodesPerGroup; ++k) Store(code + 8 * k, uint64_t{d[k] - step});
      break;
  }
}

#if defined(__x86_64__)
// The least of small's eight lanes and the greatest of large's.
__attribute__((target("avx2"))) inline void LanesMinMax(__m256i small, __m256i large, uint32_t* low,
                                                        uint32_t* high) {
  alignas(32) uint32_t lanes[16];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), small);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 8), large);
  *low = lanes[0];
  *high = lanes[8];
  for (int i = 1; i < 8; ++i) {
    *low = std::min(*low, lanes[i]);
    *high = std::max(*high, lanes[8 + i]);
  }
}

bool DistancesOfHalves(const uint32_t* half, uint32_t* d, uint32_t* low, uint32_t* high);
// The distances of a group of 128 starts that spans less than 4 GiB, as 32
// bits, with their smallest and largest: eight a step, where the scalar loop
// took a third of the index's time on a file of empty lines. False where the
// processor has no AVX2.
__attribute__((target("avx2"))) bool Distances32(const uint64_t* s, uint32_t* d, uint32_t* low,
                                                 uint32_t* high) {
  static const bool supported = __builtin_cpu_supports("avx2");
  if (!supported) return false;
  // The low halves of the starts: their differences are the distances.
  alignas(32) uint32_t half[128];
  const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  for (int k = 0; k < 128; k += 8) {
    const __m256i a = _mm256_permutevar8x32_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + k)), pick);
    const __m256i b = _mm256_permutevar8x32_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + k + 4)), pick);
    _mm256_store_si256(reinterpret_cast<__m256i*>(half + k), _mm256_permute2x128_si256(a, b, 0x20));
  }
  return DistancesOfHalves(half, d, low, high);
}

// The same from 128 starts as 32 bits (any base: only differences count).
__attribute__((target("avx2"))) bool DistancesOfHalves(const uint32_t* half, uint32_t* d,
                                                       uint32_t* low, uint32_t* high) {
  static const bool supported = __builtin_cpu_supports("avx2");
  if (!supported) return false;
  __m256i small = _mm256_set1_epi32(-1);
  __m256i large = _mm256_setzero_si256();
  int k = 0;
  for (; k + 8 <= 120; k += 8) {
    const __m256i v =
        _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(half + k + 1)),
                         _mm256_loadu_si256(reinterpret_cast<const __m256i*>(half + k)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + k), v);
    small = _mm256_min_epu32(small, v);
    large = _mm256_max_epu32(large, v);
  }
  uint32_t lo = 0;
  uint32_t hi = 0;
  LanesMinMax(small, large, &lo, &hi);
  for (; k < static_cast<int>(kCodesPerGroup); ++k) {
    d[k] = half[k + 1] - half[k];
    lo = std::min(lo, d[k]);
    hi = std::max(hi, d[k]);
  }
  *low = lo;
  *high = hi;
  return true;
}
#else
bool Distances32(const uint64_t*, uint32_t*, uint32_t*, uint32_t*) { return false; }
bool DistancesOfHalves(const uint32_t*, uint32_t*, uint32_t*, uint32_t*) { return false; }
#endif

// The width class of a group's codes: the fewest bytes that hold span.
constexpr uint32_t WidthFor(uint64_t span) {
  return span == 0            ? 0
         : span <= UINT8_MAX  ? 1
         : span <= UINT16_MAX ? 2
         : span <= UINT32_MAX ? 3
                              : 4;
}

}  // namespace

namespace {

// How one group is coded, taken from its 128 starts: its step, the width of
// its codes and the distances they come from.
struct GroupCoding {
  uint32_t d32[kCodesPerGroup];
  uint64_t d64[kCodesPerGroup];
  bool narrow;
  uint64_t step;
  uint32_t w;

  explicit GroupCoding(const uint64_t* starts) {
    // The step is the smallest distance; every distance the same (empty
    // lines, fixed-length records) leaves no codes at all.
    uint32_t low32 = 1;
    uint32_t high32 = 1;
    // Starts strictly increase, so distances that add up to one byte each
    // are all one (empty lines): no distances to take, and no codes.
    const uint64_t spread = starts[kCodesPerGroup] - starts[0];
    narrow = spread == kCodesPerGroup ||
             (spread <= UINT32_MAX && Distances32(starts, d32, &low32, &high32));
    uint64_t low = low32;
    uint64_t high = high32;
    if (!narrow) {
      low = UINT64_MAX;
      high = 0;
      for (uint32_t k = 0; k < kCodesPerGroup; ++k) {
        d64[k] = starts[k + 1] - starts[k];
        low = std::min(low, d64[k]);
        high = std::max(high, d64[k]);
      }
    }
    step = std::min(low, kMaxStep);
    w = WidthFor(high - step);
  }
  // The same from the group's starts as 32-bit offsets from any base.
  explicit GroupCoding(const uint32_t* half) : narrow(true) {
    uint32_t low = 1;
    uint32_t high = 1;
    if (half[kCodesPerGroup] - half[0] != kCodesPerGroup &&
        !DistancesOfHalves(half, d32, &low, &high)) {
      low = UINT32_MAX;
      high = 0;
      for (uint32_t k = 0; k < kCodesPerGroup; ++k) {
        d32[k] = half[k + 1] - half[k];
        low = std::min(low, d32[k]);
        high = std::max(high, d32[k]);
      }
    }
    step = std::min<uint64_t>(low, kMaxStep);
    w = WidthFor(high - step);
  }
  uint64_t Bytes() const { return CodeBytes(w); }
  void Write(uint8_t* code) const {
    if (narrow) {
      WriteCodes(code, d32, step, w);
    } else {
      WriteCodes(code, d64, step, w);
    }
  }
  uint32_t StepWidth() const { return static_cast<uint32_t>(step << 3 | w); }
};

// Codes one group from its 128 starts as 32-bit offsets from any base
// (only differences count) into code, which has room for CodeBytes(4);
// returns the head's step and width. The padding after the codes is zeroed.
#if defined(__x86_64__)
// Distances, their smallest and largest, and codes of one or two bytes
// packed straight from the vectors: the distances are never stored, where
// a pass to store them and another to narrow them took as long as the
// scan's own writes on a file of short lines. False where the processor has
// no AVX2.
// Distances k .. k + 7 of a group's 32-bit starts.
__attribute__((target("avx2"))) inline __m256i EightDistances(const uint32_t* half, int k) {
  return _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(half + k + 1)),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(half + k)));
}

__attribute__((target("avx2"))) bool CodeOffsetsWide(const uint32_t* half, uint8_t* code,
                                                     uint32_t* step_width) {
  static const bool supported = __builtin_cpu_supports("avx2");
  if (!supported) return false;
  // The last step starts at 119, overlapping the one before it, so that
  // nothing past half[127] is read.
  constexpr int kLast = static_cast<int>(kCodesPerGroup) - 8;
  __m256i small = _mm256_set1_epi32(-1);
  __m256i large = _mm256_setzero_si256();
  for (int k = 0;; k = std::min(k + 8, kLast)) {
    const __m256i v = EightDistances(half, k);
    small = _mm256_min_epu32(small, v);
    large = _mm256_max_epu32(large, v);
    if (k == kLast) break;
  }
  uint32_t low = 0;
  uint32_t high = 0;
  LanesMinMax(small, large, &low, &high);
  const uint64_t step = std::min<uint64_t>(low, kMaxStep);
  const uint32_t w = WidthFor(high - step);
  const __m256i less = _mm256_set1_epi32(static_cast<int>(step));
  if (w == 1 || w == 2) {
    for (int k = 0;; k = std::min(k + 8, kLast)) {
      // Codes fit their width, so the saturating packs keep them whole.
      const __m256i pairs = _mm256_packus_epi32(_mm256_sub_epi32(EightDistances(half, k), less),
                                                _mm256_setzero_si256());
      if (w == 1) {
        const __m256i bytes = _mm256_packus_epi16(pairs, pairs);
        _mm_storel_epi64(
            reinterpret_cast<__m128i*>(code + k),
            _mm_unpacklo_epi32(_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1)));
      } else {
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(code + 2 * k),
            _mm_unpacklo_epi64(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1)));
      }
      if (k == kLast) break;
    }
    std::memset(code + kCodesPerGroup * kWidthOf[w], 0,
                CodeBytes(w) - kCodesPerGroup * kWidthOf[w]);
  } else if (w > 2) {
    uint32_t d[kCodesPerGroup];
    for (uint32_t k = 0; k < kCodesPerGroup; ++k) d[k] = half[k + 1] - half[k];
    WriteCodes(code, d, step, w);
  }
  *step_width = static_cast<uint32_t>(step << 3 | w);
  return true;
}
#endif

uint32_t CodeOffsets(const uint32_t* half, uint8_t* code) {
#if defined(__x86_64__)
  uint32_t step_width;
  if (CodeOffsetsWide(half, code, &step_width)) return step_width;
#endif
  const GroupCoding coding(half);
  coding.Write(code);
  return coding.StepWidth();
}

constexpr uint64_t kHeadBytes = (LineIndex::kMaxLines / 128 + 1) * 16;
constexpr uint64_t kCodeReserve = (LineIndex::kMaxLines / 128 + 1) * CodeBytes(4);

uint8_t* Reserve(uint64_t bytes) {
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return memory == MAP_FAILED ? nullptr : static_cast<uint8_t*>(memory);
}

}  // namespace

LineIndex::LineIndex() : open_(new std::atomic<uint64_t>[kGroupLines]()) {
  static_assert(sizeof(Head) == 16);
  // Address space only: a failure shows as lack of memory at the first
  // group coded.
  heads_ = reinterpret_cast<Head*>(Reserve(kHeadBytes));
  codes_ = Reserve(kCodeReserve);
  memory_bytes_.store(kGroupLines * sizeof(uint64_t), std::memory_order_relaxed);
}

LineIndex::~LineIndex() {
  if (heads_ != nullptr) munmap(heads_, kHeadBytes);
  if (codes_ != nullptr) munmap(codes_, kCodeReserve);
}

bool LineIndex::Fill(uint8_t* array, uint64_t& filled, uint64_t want) {
  want = RoundUpToPage(want);
  if (want <= filled) return true;
  if (array == nullptr) return false;
  // Filled in at once, which costs less than faulting the pages in one by
  // one; an older kernel that does not know the advice faults them in.
  if (madvise(array + filled, want - filled, MADV_POPULATE_WRITE) != 0 && errno != EINVAL) {
    return false;
  }
  memory_bytes_.fetch_add(want - filled, std::memory_order_relaxed);
  filled = want;
  return true;
}

void LineIndex::Unfill(uint8_t* array, uint64_t& filled, uint64_t keep) {
  keep = RoundUpToPage(keep);
  if (keep >= filled) return;
  madvise(array + keep, filled - keep, MADV_DONTNEED);
  memory_bytes_.fetch_sub(filled - keep, std::memory_order_relaxed);
  filled = keep;
}

bool LineIndex::CodeGroup(int64_t group, const uint64_t* starts) {
  const GroupCoding coding(starts);
  const uint64_t at = code_end_;
  if (!Fill(reinterpret_cast<uint8_t*>(heads_), heads_filled_,
            static_cast<uint64_t>(group + 1) * sizeof(Head)) ||
      !Fill(codes_, codes_filled_, at + coding.Bytes())) {
    return false;
  }
  coding.Write(codes_ + at);
  heads_[group] = {starts[0], static_cast<uint32_t>(at >> 3), coding.StepWidth()};
  code_end_ = at + coding.Bytes();
  coded_.store(group + 1, std::memory_order_release);
  return true;
}

int64_t LineIndex::StartRun(size_t n, int64_t first_line, CodedRun* run) {
  const int64_t count = static_cast<int64_t>(n);
  run->n_ = n;
  run->first_line_ = first_line;
  run->lead_ =
      std::min((kGroupLines - (first_line & (kGroupLines - 1))) & (kGroupLines - 1), count);
  // Only groups that end within the most lines an index holds. None until
  // all are coded: a run whose buffers could not grow leaves its groups to
  // the writer, which codes them itself (and meets the lack of memory, if
  // it lasts, where it can say so).
  run->groups_ = 0;
  run->code_bytes_ = 0;
  return std::max<int64_t>(
      0, std::min(count - run->lead_, kMaxLines - first_line - run->lead_) >> kGroupShift);
}

void LineIndex::CodeRun(const uint64_t* starts, size_t n, int64_t first_line, CodedRun* run) {
  run->starts_ = starts;
  run->bits_ = nullptr;
  run->listed_ = nullptr;
  const int64_t groups = StartRun(n, first_line, run);
  uint64_t at = 0;
  try {
    if (run->heads_.size() < static_cast<size_t>(groups)) {
      run->heads_.resize(static_cast<size_t>(groups));
    }
    for (int64_t g = 0; g < groups; ++g) {
      const uint64_t* group = starts + run->lead_ + (g << kGroupShift);
      const GroupCoding coding(group);
      if (run->codes_.size() < at + coding.Bytes()) {
        run->codes_.resize(std::max<size_t>(2 * run->codes_.size(), at + CodeBytes(4)));
      }
      coding.Write(run->codes_.data() + at);
      run->heads_[static_cast<size_t>(g)] = {group[0], static_cast<uint32_t>(at >> 3),
                                             coding.StepWidth()};
      at += coding.Bytes();
    }
  } catch (const std::bad_alloc&) {
    return;
  }
  run->groups_ = groups;
  run->code_bytes_ = at;
}

namespace {

// The 64 bits of a run from bit at on (zeros past its end).
inline uint64_t BitsFrom(const FeedBits& bits, size_t at) {
  const size_t k = at / 64;
  const unsigned shift = static_cast<unsigned>(at % 64);
  if (k >= bits.word_count) return 0;
  const uint64_t low = bits.words[k] >> shift;
  if (shift == 0 || k + 1 >= bits.word_count) return low;
  return low | bits.words[k + 1] << (64 - shift);
}

}  // namespace

void LineIndex::CodeRun(const FeedBits& bits, int64_t first_line, CodedRun* run) {
  run->starts_ = nullptr;
  run->bits_ = bits.words;
  run->listed_ = bits.listed;
  const int64_t groups = StartRun(bits.feeds, first_line, run);
  uint64_t group[kGroupLines];
  alignas(32) uint32_t half[kGroupLines];
  // Offsets within the run fit in 32 bits (a scan's pieces are far shorter;
  // listed ones are offsets already).
  const bool narrow = bits.listed != nullptr || bits.word_count < (size_t{1} << 25);
  size_t at = 0;
  bits.Starts(&at, group, static_cast<size_t>(run->lead_));
  uint64_t code_at = 0;
  try {
    if (run->heads_.size() < static_cast<size_t>(groups)) {
      run->heads_.resize(static_cast<size_t>(groups));
    }
    for (int64_t g = 0; g < groups; ++g) {
      Head& head = run->heads_[static_cast<size_t>(g)];
      if (bits.listed == nullptr && BitsFrom(bits, at) == ~uint64_t{0} &&
          BitsFrom(bits, at + 64) == ~uint64_t{0}) {
        // 128 empty lines from here on: a step of one, no codes.
        head = {bits.begin + at + 1, static_cast<uint32_t>(code_at >> 3), uint32_t{1} << 3};
        at += kGroupLines;
        continue;
      }
      if (run->codes_.size() < code_at + CodeBytes(4)) {
        run->codes_.resize(std::max<size_t>(2 * run->codes_.size(), code_at + CodeBytes(4)));
      }
      uint8_t* code = run->codes_.data() + code_at;
      uint64_t base;
      uint32_t step_width;
      if (narrow) {
        // Offsets within the run: the distances come without a pass to
        // narrow them, and listed ones are coded where they lie.
        const uint32_t* offsets = half;
        if (bits.listed != nullptr) {
          offsets = bits.listed + at;
          at += kGroupLines;
        } else {
          bits.Offsets(&at, half, kGroupLines);
        }
        base = bits.begin + offsets[0];
        step_width = CodeOffsets(offsets, code);
      } else {
        bits.Starts(&at, group, kGroupLines);
        base = group[0];
        const GroupCoding coding(group);
        coding.Write(code);
        step_width = coding.StepWidth();
      }
      head = {base, static_cast<uint32_t>(code_at >> 3), step_width};
      code_at += CodeBytes(step_width & 7);
    }
  } catch (const std::bad_alloc&) {
    return;
  }
  run->groups_ = groups;
  run->code_bytes_ = code_at;
  run->tail_at_ = at;
}

size_t LineIndex::AppendFeeds(const FeedBits& bits, size_t at) {
  uint64_t batch[1024];
  size_t done = 0;
  for (;;) {
    const size_t n = bits.Starts(&at, batch, std::size(batch));
    if (n == 0) return done;
    const size_t taken = Append(batch, n);
    done += taken;
    if (taken < n) return done;
  }
}

size_t LineIndex::AppendCoded(const FeedBits& bits, const CodedRun& run) {
  const int64_t size = size_.load(std::memory_order_relaxed);
  if (run.starts_ != nullptr || run.bits_ != bits.words || run.listed_ != bits.listed ||
      run.n_ != bits.feeds || run.first_line_ != size || run.groups_ == 0) {
    return AppendFeeds(bits);
  }
  uint64_t lead[kGroupLines];
  size_t at = 0;
  const size_t lead_count = bits.Starts(&at, lead, static_cast<size_t>(run.lead_));
  size_t done = Append(lead, lead_count);
  const int64_t group = (size + run.lead_) >> kGroupShift;
  if (done < lead_count || coded_.load(std::memory_order_relaxed) != group) return done;
  const int64_t lines = CopyGroups(group, run);
  if (lines < 0) return done + AppendFeeds(bits, at);
  size_.store(size + run.lead_ + lines, std::memory_order_release);
  done += static_cast<size_t>(lines);
  return done + AppendFeeds(bits, run.tail_at_);
}

int64_t LineIndex::CopyGroups(int64_t group, const CodedRun& run) {
  const uint64_t at = code_end_;
  if (!Fill(reinterpret_cast<uint8_t*>(heads_), heads_filled_,
            static_cast<uint64_t>(group + run.groups_) * sizeof(Head)) ||
      !Fill(codes_, codes_filled_, at + run.code_bytes_)) {
    return -1;
  }
  // Groups of equal distances have no codes: then there is nothing to copy
  // (and the run's buffer may be null).
  if (run.code_bytes_ > 0) std::memcpy(codes_ + at, run.codes_.data(), run.code_bytes_);
  const uint32_t place = static_cast<uint32_t>(at >> 3);
  Head* head = heads_ + group;
  for (int64_t g = 0; g < run.groups_; ++g) {
    head[g] = run.heads_[static_cast<size_t>(g)];
    head[g].place += place;
  }
  code_end_ = at + run.code_bytes_;
  coded_.store(group + run.groups_, std::memory_order_release);
  return run.groups_ << kGroupShift;
}

size_t LineIndex::AppendCoded(const uint64_t* starts, size_t n, const CodedRun& run) {
  const int64_t size = size_.load(std::memory_order_relaxed);
  if (run.starts_ != starts || run.bits_ != nullptr || run.listed_ != nullptr || run.n_ != n ||
      run.first_line_ != size || run.groups_ == 0) {
    return Append(starts, n);
  }
  const size_t lead = static_cast<size_t>(run.lead_);
  size_t done = Append(starts, lead);
  // The lead completes the open group: the coded groups come next, unless
  // the index refused some of the lead.
  const int64_t group = (size + run.lead_) >> kGroupShift;
  if (done < lead || coded_.load(std::memory_order_relaxed) != group) return done;
  const int64_t lines = CopyGroups(group, run);
  if (lines < 0) return done + Append(starts + done, n - done);
  size_.store(size + run.lead_ + lines, std::memory_order_release);
  done += static_cast<size_t>(lines);
  return done + Append(starts + done, n - done);
}

size_t LineIndex::Append(const uint64_t* starts, size_t n) {
  int64_t size = size_.load(std::memory_order_relaxed);
  size_t done = 0;
  uint64_t group_starts[kGroupLines];
  while (done < n && size < kMaxLines) {
    const int64_t k = size & (kGroupLines - 1);
    const int64_t group = size >> kGroupShift;
    const int64_t take =
        std::min<int64_t>({kGroupLines - k, static_cast<int64_t>(n - done), kMaxLines - size});
    if (k == 0 && take == kGroupLines) {
      // A whole group at once: coded straight from the batch.
      if (!CodeGroup(group, starts + done)) break;
    } else {
      // Into the open group. Its previous starts (another group's) may be
      // read only until coded_ says that group is coded, which it said
      // before this fence.
      if (k == 0) std::atomic_thread_fence(std::memory_order_release);
      for (int64_t i = 0; i < take; ++i) {
        open_[k + i].store(starts[done + i], std::memory_order_relaxed);
      }
      if (k + take == kGroupLines) {
        for (int64_t i = 0; i < kGroupLines; ++i) {
          group_starts[i] = open_[i].load(std::memory_order_relaxed);
        }
        if (!CodeGroup(group, group_starts)) {
          // The group stays open without its last line.
          done += static_cast<size_t>(take - 1);
          size += take - 1;
          break;
        }
      }
    }
    done += static_cast<size_t>(take);
    size += take;
  }
  size_.store(size, std::memory_order_release);
  return done;
}

bool LineIndex::GroupStarts(int64_t first, int64_t n, uint64_t* out) const {
  const int64_t group = first >> kGroupShift;
  const uint32_t k = static_cast<uint32_t>(first & (kGroupLines - 1));
  if (group >= coded_.load(std::memory_order_acquire)) {
    for (int64_t i = 0; i < n; ++i) out[i] = open_[k + i].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    return group >= coded_.load(std::memory_order_relaxed);
  }
  const Head head = heads_[group];
  const uint64_t step = head.step_width >> 3;
  const uint32_t w = head.step_width & 7;
  const uint8_t* code = codes_ + (uint64_t{head.place} << 3);
  uint64_t start = head.base + k * step + SumCodes(code, w, k);
  out[0] = start;
  for (int64_t i = 1; i < n; ++i) {
    start += step + CodeAt(code, w, k + static_cast<uint32_t>(i) - 1);
    out[i] = start;
  }
  return true;
}

uint64_t LineIndex::GroupBase(int64_t group) const {
  if (group < coded_.load(std::memory_order_acquire)) return heads_[group].base;
  uint64_t base;
  while (!GroupStarts(group << kGroupShift, 1, &base)) {
  }
  return base;
}

uint64_t LineIndex::Start(int64_t line) const {
  uint64_t start;
  while (!GroupStarts(line, 1, &start)) {
  }
  return start;
}

void LineIndex::Starts(int64_t first, int64_t n, uint64_t* out) const {
  while (n > 0) {
    const int64_t m = std::min(n, kGroupLines - (first & (kGroupLines - 1)));
    if (!GroupStarts(first, m, out)) continue;
    first += m;
    out += m;
    n -= m;
  }
}

int64_t LineIndex::LineAt(uint64_t offset, int64_t low, int64_t high) const {
  const int64_t size = std::min(Size(), high + 1);
  if (size <= 0 || low >= size) return -1;
  low = std::max<int64_t>(low, 0);
  // The last group whose first start is <= offset; the answer is in it.
  // low's group is taken without a look: low's own start decides below.
  int64_t lo = (low >> kGroupShift) + 1;
  int64_t hi = ((size - 1) >> kGroupShift) + 1;  // that group is lo - 1
  const int64_t coded = coded_.load(std::memory_order_acquire);
  while (lo < hi) {
    const int64_t mid = lo + (hi - lo) / 2;
    if ((mid < coded ? heads_[mid].base : GroupBase(mid)) <= offset) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const int64_t group = lo - 1;
  const int64_t first = std::max(group << kGroupShift, low);
  const int64_t end = std::min(size, (group << kGroupShift) + kGroupLines);
  if (group < coded) {
    // Step through the group's codes until a start passes offset.
    const Head head = heads_[group];
    const uint64_t step = head.step_width >> 3;
    const uint32_t w = head.step_width & 7;
    const uint8_t* code = codes_ + (uint64_t{head.place} << 3);
    uint32_t k = static_cast<uint32_t>(first & (kGroupLines - 1));
    const uint32_t last = static_cast<uint32_t>((end - 1) & (kGroupLines - 1));
    uint64_t start = head.base + k * step + SumCodes(code, w, k);
    if (start > offset) return -1;
    for (; k < last; ++k) {
      const uint64_t next = start + step + CodeAt(code, w, k);
      if (next > offset) break;
      start = next;
    }
    return (group << kGroupShift) + k;
  }
  uint64_t starts[kGroupLines];
  Starts(first, end - first, starts);
  if (starts[0] > offset) return -1;
  return first + (std::upper_bound(starts, starts + (end - first), offset) - starts) - 1;
}

void LineIndex::TruncateTo(int64_t lines) {
  // Lines never appended are not made up, whatever the caller asks.
  lines = std::clamp<int64_t>(lines, 0, size_.load(std::memory_order_relaxed));
  const int64_t keep_coded = lines >> kGroupShift;
  const int64_t rest = lines & (kGroupLines - 1);
  if (keep_coded < coded_.load(std::memory_order_relaxed)) {
    // The group cut in two becomes the open one again.
    uint64_t starts[kGroupLines];
    if (rest > 0) Starts(keep_coded << kGroupShift, rest, starts);
    for (int64_t i = 0; i < rest; ++i) open_[i].store(starts[i], std::memory_order_relaxed);
    coded_.store(keep_coded, std::memory_order_release);
    code_end_ = keep_coded == 0 ? 0
                                : (uint64_t{heads_[keep_coded - 1].place} << 3) +
                                      CodeBytes(heads_[keep_coded - 1].step_width & 7);
  }
  size_.store(lines, std::memory_order_release);
  Unfill(reinterpret_cast<uint8_t*>(heads_), heads_filled_,
         static_cast<uint64_t>(keep_coded) * sizeof(Head));
  Unfill(codes_, codes_filled_, code_end_);
}

size_t LineIndex::MemoryBytes() const { return memory_bytes_.load(std::memory_order_relaxed); }
