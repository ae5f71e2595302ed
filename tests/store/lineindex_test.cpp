// The compressed line index against a plain array of offsets: lines of every
// length class around the code width edges, long lines at group
// and chunk edges, offsets past 4 GiB and 2^40, appends in batches of every
// size, truncation, and a reader running beside the writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "store/lineindex.h"

namespace {

constexpr int64_t kGroup = 128;    // lines a group
constexpr int64_t kChunk = 65536;  // lines a chunk
constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kGiB = uint64_t{1} << 30;

// Starts of lines whose distances (line length with its line feed) come
// from next(i), the first at first_start.
std::vector<uint64_t> MakeStarts(uint64_t first_start, int64_t lines,
                                 const std::function<uint64_t(int64_t)>& next) {
  std::vector<uint64_t> starts(static_cast<size_t>(lines));
  uint64_t at = first_start;
  for (int64_t i = 0; i < lines; ++i) {
    starts[static_cast<size_t>(i)] = at;
    at += next(i);
  }
  return starts;
}

// How a batch goes in: plainly, or with its groups coded beforehand for the
// line it really starts at, or for a line off by `off` (which the index must
// notice).
struct Coding {
  bool coded = false;
  int64_t off = 0;
  // Coded from the starts as 32-bit offsets (as a scan's piece lists them),
  // where the batch spans less than 4 GiB.
  bool offsets = false;
};

// Appends starts in batches whose sizes come from batch(k) for the k-th batch.
void AppendInBatches(LineIndex& index, const std::vector<uint64_t>& starts, size_t from,
                     const std::function<size_t(size_t)>& batch, Coding coding = {}) {
  LineIndex::CodedRun run;
  for (size_t k = 0; from < starts.size(); ++k) {
    const size_t n = std::min(std::max<size_t>(batch(k), 1), starts.size() - from);
    const uint64_t begin = starts[from] - from % 3;  // a run's first byte, before its first start
    if (coding.offsets && starts[from + n - 1] - begin <= UINT32_MAX) {
      std::vector<uint32_t> offsets(n);
      for (size_t i = 0; i < n; ++i) offsets[i] = static_cast<uint32_t>(starts[from + i] - begin);
      FeedBits bits;
      bits.begin = begin;
      bits.listed = offsets.data();
      bits.feeds = n;
      LineIndex::CodeRun(bits, index.Size() + coding.off, &run);
      ASSERT_EQ(n, index.AppendCoded(bits, run));
    } else if (coding.coded) {
      LineIndex::CodeRun(starts.data() + from, n, index.Size() + coding.off, &run);
      ASSERT_EQ(n, index.AppendCoded(starts.data() + from, n, run));
    } else {
      ASSERT_EQ(n, index.Append(starts.data() + from, n));
    }
    from += n;
  }
}

// Lines worth probing one by one: both sides of every group edge, a stride,
// and random ones.
std::vector<int64_t> ProbeLines(int64_t size, std::mt19937_64& random) {
  std::vector<int64_t> lines;
  for (int64_t i = 0; i < size; ++i) {
    const int64_t in_group = i % kGroup;
    if (in_group <= 2 || in_group >= kGroup - 2 || i % 97 == 0 || i + 3 >= size) {
      lines.push_back(i);
    }
  }
  for (int k = 0; k < 500 && size > 0; ++k) lines.push_back(random() % size);
  return lines;
}

// Checks every query of the index against the plain array.
void ExpectSameAs(const LineIndex& index, const std::vector<uint64_t>& want) {
  const int64_t size = static_cast<int64_t>(want.size());
  ASSERT_EQ(size, index.Size());
  if (size == 0) {
    EXPECT_EQ(-1, index.LineAt(0));
    EXPECT_EQ(-1, index.LineAt(UINT64_MAX));
    return;
  }
  std::vector<uint64_t> got(want.size());
  index.Starts(0, size, got.data());
  const auto bad = std::mismatch(got.begin(), got.end(), want.begin());
  ASSERT_TRUE(bad.first == got.end()) << "Starts differ first at line " << (bad.first - got.begin())
                                      << ": " << *bad.first << " instead of " << *bad.second;

  std::mt19937_64 random(size);
  for (const int64_t line : ProbeLines(size, random)) {
    const uint64_t start = want[static_cast<size_t>(line)];
    ASSERT_EQ(start, index.Start(line)) << "line " << line;
    ASSERT_EQ(line, index.LineAt(start)) << "at the start of line " << line;
    if (start > 0) {
      ASSERT_EQ(line - 1, index.LineAt(start - 1)) << "just before line " << line;
    }
    if (line + 1 < size) {
      const uint64_t next = want[static_cast<size_t>(line + 1)];
      ASSERT_EQ(line, index.LineAt(start + (next - start) / 2)) << "inside line " << line;
      ASSERT_EQ(line, index.LineAt(next - 1)) << "at the end of line " << line;
    }
    // Within a range of lines around it (a search's block), against the
    // array's own answer, at both ends of the range and beyond them.
    const int64_t low = std::max<int64_t>(0, line - static_cast<int64_t>(random() % 300));
    const int64_t high = std::min<int64_t>(size - 1, line + static_cast<int64_t>(random() % 300));
    auto bounded = [&](uint64_t offset) -> int64_t {
      if (offset < want[static_cast<size_t>(low)]) return -1;
      const auto after = std::upper_bound(want.begin() + low, want.begin() + high + 1, offset);
      return (after - want.begin()) - 1;
    };
    for (const uint64_t offset :
         {start, start - (start > 0 ? 1 : 0), want[static_cast<size_t>(low)],
          want[static_cast<size_t>(low)] - (low > 0 ? 1 : 0), want[static_cast<size_t>(high)],
          want[static_cast<size_t>(high)] + 1, uint64_t{UINT64_MAX}}) {
      ASSERT_EQ(bounded(offset), index.LineAt(offset, low, high))
          << "offset " << offset << " in lines " << low << ".." << high;
    }
    // A page of 63 rows from here, cut at the end of the index.
    const int64_t n = std::min<int64_t>(63, size - line);
    std::vector<uint64_t> page(static_cast<size_t>(n));
    index.Starts(line, n, page.data());
    ASSERT_TRUE(std::equal(page.begin(), page.end(), want.begin() + line)) << "page at " << line;
  }
  EXPECT_EQ(size - 1, index.LineAt(UINT64_MAX));
}

struct Layout {
  const char* name;
  uint64_t first_start;
  int64_t lines;
  std::function<uint64_t(int64_t)> distance;
};

// Distances at both sides of every code width's edge, kept so that the sum
// of a whole layout stays below 2^64.
constexpr uint64_t kWidthEdges[] = {254,
                                    255,
                                    256,
                                    65535,
                                    65536,
                                    65537,
                                    (uint64_t{1} << 32) - 1,
                                    uint64_t{1} << 32,
                                    (uint64_t{1} << 32) + 1,
                                    uint64_t{1} << 35,
                                    uint64_t{1} << 42};

uint64_t WidthEdge(std::mt19937_64& random) {
  return kWidthEdges[random() % std::size(kWidthEdges)];
}

std::vector<Layout> Layouts() {
  auto fixed = [](uint64_t d) { return [d](int64_t) { return d; }; };
  auto random_mix = [](uint64_t seed) {
    auto random = std::make_shared<std::mt19937_64>(seed);
    return [random](int64_t) -> uint64_t {
      const unsigned kind = (*random)() % 100;
      if (kind < 70) return 1 + (*random)() % 254;
      if (kind < 80) return 254 + (*random)() % 4;
      if (kind < 95) return 1 + (*random)() % 70000;
      if (kind < 99) return WidthEdge(*random);
      return 3 * kMiB + (*random)() % (5 * kMiB);
    };
  };
  const int64_t two_chunks = 2 * kChunk + 300;
  return {
      {"Empty", 0, 0, fixed(1)},
      {"OneLine", 7, 1, fixed(1)},
      {"EmptyLines", 0, two_chunks, fixed(1)},
      // Groups of empty lines but for one line of one byte.
      {"EmptyLinesButOne", 0, 5000, [](int64_t i) -> uint64_t { return i % 131 == 7 ? 2 : 1; }},
      {"OneByteLines", 0, 5000, fixed(2)},
      {"Lines254", 0, 5000, fixed(254)},
      {"Lines255", 0, 5000, fixed(255)},
      {"Lines256", 0, two_chunks, fixed(256)},
      {"Lines65535", 0, 5000, fixed(65535)},
      {"Lines65536", 0, 5000, fixed(65536)},
      {"LinesOfSeveralMiB", 0, two_chunks, fixed(5 * kMiB + 3)},
      {"PastFourGiB", 5 * kGiB + 11, two_chunks, random_mix(1)},
      {"PastTwoToThe40", (uint64_t{1} << 40) + 3, 3000, random_mix(2)},
      {"EveryWidthEdge", 0, 40000,
       [random = std::make_shared<std::mt19937_64>(3)](int64_t) { return WidthEdge(*random); }},
      // Each group's lengths differ by exactly one edge: the widest code of
      // the group sits on it.
      {"SpreadOnEveryWidthEdge", 5, 40000,
       [](int64_t i) -> uint64_t {
         const uint64_t edge = kWidthEdges[(i / kGroup) % std::size(kWidthEdges)];
         return i % 5 == 2 ? 7 + edge : 7;
       }},
      {"LongLinesAtGroupEdges", 0, 20000,
       [](int64_t i) -> uint64_t {
         const int64_t g = i % kGroup;
         return g == 0 || g == 1 || g == kGroup - 1 ? 3 * kMiB : 27;
       }},
      {"LongLinesAtChunkEdges", 100, two_chunks,
       [](int64_t i) -> uint64_t {
         const int64_t c = i % kChunk;
         return c == 0 || c == 1 || c == kChunk - 2 || c == kChunk - 1 ? 70000 : 30;
       }},
      {"RandomMix", 0, two_chunks, random_mix(4)},
  };
}

TEST(LineIndexTest, AgreesWithPlainOffsetsForEveryLayoutAndBatching) {
  struct Batching {
    const char* name;
    std::function<size_t(size_t)> batch;
    Coding coding;
  };
  auto random_large = [](uint64_t seed) {
    return [random = std::make_shared<std::mt19937_64>(seed)](size_t) {
      return static_cast<size_t>((*random)() % 70000);
    };
  };
  const std::vector<Batching> batchings = {
      {"AllAtOnce", [](size_t) { return SIZE_MAX; }, {}},
      {"OneByOne", [](size_t) { return size_t{1}; }, {}},
      {"EverySize", [](size_t k) { return k % 300 + 1; }, {}},
      {"RandomLarge", random_large(5), {}},
      // Runs coded away from the index, as the workers code their pieces.
      {"CodedAllAtOnce", [](size_t) { return SIZE_MAX; }, {true, 0}},
      {"CodedEverySize", [](size_t k) { return k * 37 % 700 + 1; }, {true, 0}},
      {"CodedRandomLarge", random_large(11), {true, 0}},
      {"CodedForTheLineAfter", random_large(12), {true, 1}},
      {"CodedForAGroupBefore", random_large(13), {true, -128}},
      {"OffsetsAllAtOnce", [](size_t) { return SIZE_MAX; }, {true, 0, true}},
      {"OffsetsEverySize", [](size_t k) { return k * 37 % 700 + 1; }, {true, 0, true}},
      {"OffsetsForTheLineAfter", random_large(14), {true, 1, true}},
  };
  for (const Layout& layout : Layouts()) {
    const std::vector<uint64_t> starts =
        MakeStarts(layout.first_start, layout.lines, layout.distance);
    for (const auto& [batching, batch, coding] : batchings) {
      SCOPED_TRACE(std::string(layout.name) + "/" + batching);
      LineIndex index;
      AppendInBatches(index, starts, 0, batch, coding);
      ExpectSameAs(index, starts);
    }
  }
}

TEST(LineIndexTest, TruncateThenAppendAgain) {
  std::mt19937_64 random(6);
  const std::vector<uint64_t> starts = MakeStarts(kGiB, 2 * kChunk + 300, [&](int64_t) {
    return random() % 3 == 0 ? 200 + random() % 40000 : 1 + random() % 100;
  });
  const int64_t size = static_cast<int64_t>(starts.size());
  LineIndex index;
  const size_t empty_bytes = index.MemoryBytes();
  // The last two ask for more lines than there are, and for fewer than none.
  for (const int64_t asked :
       {int64_t{0}, int64_t{1}, kGroup - 1, kGroup, kGroup + 1, kChunk - 1, kChunk, kChunk + 1,
        2 * kChunk + 17, size, size + 1000, int64_t{-5}}) {
    SCOPED_TRACE("keep " + std::to_string(asked));
    const int64_t keep = std::clamp<int64_t>(asked, 0, size);
    index.Clear();
    AppendInBatches(index, starts, 0, [](size_t) { return SIZE_MAX; });
    const size_t full_bytes = index.MemoryBytes();
    index.TruncateTo(asked);
    ExpectSameAs(index, std::vector<uint64_t>(starts.begin(), starts.begin() + keep));
    if (keep == 0) {
      EXPECT_EQ(empty_bytes, index.MemoryBytes());
    }
    if (keep < kChunk) {
      EXPECT_LT(index.MemoryBytes(), full_bytes);
    }
    // Again with runs coded beforehand, as the workers hand them over.
    AppendInBatches(index, starts, static_cast<size_t>(keep),
                    [](size_t k) { return k * 37 % 1000; }, {true, 0});
    ExpectSameAs(index, starts);
    EXPECT_EQ(full_bytes, index.MemoryBytes());
  }
}

// The bounds the header states, by the spread of line lengths within a
// group, plus the directory and the unfilled rest of the last chunk.
TEST(LineIndexTest, MemoryStaysWithinTheStatedBound) {
  struct Row {
    const char* name;
    uint64_t shortest;
    uint64_t spread;  // distances are shortest + [0, spread)
    double bytes_a_line;
  };
  const std::vector<Row> rows = {
      {"EqualLines", 27, 1, 0.13},
      {"EmptyLines", 1, 1, 0.13},
      {"ShortLogLines", 12, 33, 1.13},
      {"Lines256", 200, 256, 1.13},
      {"MixUnder64KiB", 1, 65536, 2.13},
      {"LinesUpTo4GiB", 1, uint64_t{1} << 32, 4.13},
      {"Lines2ToThe35", uint64_t{1} << 35, 1, 8.13},
  };
  const int64_t lines = 3 * kChunk;
  const double slack = 256 * 1024 + 24 * 1024;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::mt19937_64 random(10);
    LineIndex index;
    const std::vector<uint64_t> starts =
        MakeStarts(0, lines, [&](int64_t) { return row.shortest + random() % row.spread; });
    ASSERT_EQ(starts.size(), index.Append(starts.data(), starts.size()));
    EXPECT_LE(static_cast<double>(index.MemoryBytes()), row.bytes_a_line * lines + slack);
  }
}

// One thread appends in uneven batches while another reads below the size
// it last saw; every answer must match the plain array. Run under ASan too.
TEST(LineIndexTest, ReaderBesideTheWriterSeesOnlyFinishedLines) {
  std::mt19937_64 random(7);
  const std::vector<uint64_t> starts = MakeStarts(3, 3 * kChunk, [&](int64_t) {
    return random() % 50 == 0 ? 300 + random() % 100000 : 1 + random() % 60;
  });
  LineIndex index;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::mt19937_64 sizes(8);
    // Every other batch coded beforehand: groups copied in whole.
    bool coded = false;
    for (size_t from = 0; from < starts.size();) {
      std::this_thread::yield();  // let the reader in between batches
      const size_t n = std::min<size_t>(sizes() % 2000 + 1, starts.size() - from);
      LineIndex::CodedRun run;
      if ((coded = !coded)) LineIndex::CodeRun(starts.data() + from, n, index.Size(), &run);
      ASSERT_EQ(n, index.AppendCoded(starts.data() + from, n, run));
      from += n;
    }
    done.store(true);
  });
  std::mt19937_64 pick(9);
  int64_t reads = 0;
  bool failed = false;
  while (!failed && (!done.load() || reads == 0)) {
    const int64_t size = index.Size();
    if (size == 0) continue;
    const int64_t line = static_cast<int64_t>(pick() % size);
    uint64_t page[63];
    const int64_t n = std::min<int64_t>(63, size - line);
    index.Starts(line, n, page);
    failed = !std::equal(page, page + n, starts.begin() + line) ||
             index.Start(size - 1) != starts[static_cast<size_t>(size - 1)] ||
             index.LineAt(starts[static_cast<size_t>(line)]) != line;
    ++reads;
  }
  writer.join();
  EXPECT_FALSE(failed) << "a read below Size() differed after " << reads << " reads";
  ExpectSameAs(index, starts);
}

}  // namespace
