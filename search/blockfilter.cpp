#include "search/blockfilter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "search/linetext.h"
#include "store/encoding.h"
#include "store/lineindex.h"
#include "store/platform.h"
#include "store/workers.h"

namespace sp = store_platform;

namespace search_detail {
namespace {

using Clock = std::chrono::steady_clock;

// Blocks decided at a time: at most 64, and no more than about 16 MiB of
// the file (64 blocks of log lines), a few milliseconds on two cores for a
// needle, so that input and a cancel get through between spans.
constexpr int32_t kSpanBlocks = 64;
constexpr uint64_t kSpanBytes = uint64_t{16} << 20;
// What one page table of the process maps.
constexpr uint64_t kTableBytes = uint64_t{2} << 20;
// A span of line matches ends after this long: a block not begun by then
// is left undecided, one begun is a "maybe" that the scan goes through with
// its own polls. An expression slow on every line so holds no input back.
constexpr auto kSpanTime = std::chrono::milliseconds(80);
// Lines joined for one match call, and lines between looks at the clock.
constexpr int32_t kJoinedLines = 512;
constexpr int32_t kClockLines = 64;

// kStarts: a needle's block whose starts are all listed.
enum : int8_t { kUnknown = 0, kNone = 1, kMaybe = 2, kStarts = 3 };
// Starts of a needle listed per block; a block with more is left to the
// scan, which stops at the first hit anyway. (A rare word has one or none in
// a block of log lines.) A list takes 256 bytes at most, 1.2 MiB for a file
// of 40 million lines, all of its blocks listed.
constexpr size_t kBlockStarts = 64;

// What the decisions were made for.
struct Key {
  uint64_t serial = 0;
  const LineIndex* index = nullptr;
  uint64_t fileSize = 0;
  int32_t lineCount = -1;
  int32_t tabWidth = 0;
  bool raw = false;
  bool joined = false;
  std::string text;  // the needle's bytes, or the pattern
  bool ignoreCase = false;
  bool regex = false;
  TextEncoding encoding = TextEncoding::kCp932;
  bool operator==(const Key&) const = default;
};

// The decisions of the last search's document and query, kept from call to
// call: a continuous search calls once per hit.
struct Decisions {
  Key key;
  std::vector<int8_t> blocks;
  // Of a kStarts block: its needle's starts, as offsets from the block's
  // first byte, ascending.
  std::vector<std::vector<uint32_t>> starts;
  // One matcher a worker, compiled on its first line query.
  std::unique_ptr<LineMatcher> matchers[8];
};

Decisions& Kept() {
  static Decisions decisions;
  return decisions;
}

// Whether any of a block's lines may match: starts holds the starts of its
// lines and of the line after it, read at base + (start - mapStart), with
// mapEnd the end of what is mapped. kMaybe also for a line whose text GetLine
// may cut, one the engine left undecided, and when the deadline passes.
int8_t LinesDecision(LineMatcher& matcher, bool joined, const char* base, uint64_t mapStart,
                     uint64_t mapEnd, const uint64_t* starts, Clock::time_point deadline) {
  thread_local std::vector<char32_t> chunk;
  char text[kLineBufferSize];
  size_t used = 0;
  for (int32_t i = 0; i < kLinesPerBlock; ++i) {
    if (i % kClockLines == 0 && Clock::now() > deadline) return kMaybe;
    const uint64_t n = starts[i + 1] - starts[i];
    if (n > size_t{kMaxLineText}) return kMaybe;
    const char* p = base + (starts[i] - mapStart);
    const size_t length = TextFromRaw(p, n, mapEnd - starts[i], text, joined);
    if (length >= size_t{kMaxLineText}) return kMaybe;
    if (!joined) {
      const int64_t undecided = matcher.undecided();
      int32_t start = 0;
      int32_t end = 0;
      if (matcher.Match(text, static_cast<int>(length), start, end) ||
          matcher.undecided() != undecided) {
        return kMaybe;
      }
      continue;
    }
    if (chunk.size() < used + kLineBufferSize + 1) {
      chunk.resize(std::max(chunk.size() * 2, size_t{1} << 16));
    }
    used += DecodeUnits(matcher.encoding(), text, length, chunk.data() + used, nullptr);
    chunk[used++] = U'\n';
    if ((i + 1) % kJoinedLines == 0 || i + 1 == kLinesPerBlock) {
      size_t start = 0;
      size_t end = 0;
      if (matcher.regex().Find(chunk.data(), used, 0, start, end) != LineMatch::kNo) {
        return kMaybe;
      }
      used = 0;
    }
  }
  return kNone;
}

// The needle's starts in [p, p + length) into found: kNone, kStarts, or
// kMaybe when there are more than kBlockStarts.
int8_t NeedleStarts(const RawNeedle& needle, const char* p, uint64_t length,
                    std::vector<uint32_t>& found) {
  const char* const end = p + length;
  for (const char* at = p; static_cast<size_t>(end - at) >= needle.size();) {
    at = needle.FindFirst(at, static_cast<size_t>(end - at));
    if (at == nullptr) break;
    if (found.size() == kBlockStarts) {
      found = std::vector<uint32_t>();
      return kMaybe;
    }
    found.push_back(static_cast<uint32_t>(at - p));
    ++at;
  }
  found.shrink_to_fit();
  return found.empty() ? kNone : kStarts;
}

// Decides blocks [first, last] (whole ones, below the file's last block),
// taken in the scan's direction.
void DecideSpan(const FileSlot& slot, const BlockQuery& query, int32_t first, int32_t last,
                int step, Decisions& kept) {
  std::vector<int8_t>& blocks = kept.blocks;
  const int32_t count = last - first + 1;
  std::vector<uint64_t> edges(static_cast<size_t>(count) + 1);
  for (int32_t k = 0; k <= count; ++k) {
    edges[static_cast<size_t>(k)] = slot.Index->Start(int64_t{first + k} * kLinesPerBlock);
  }
  // The window begins and ends at 2 MiB edges of the file (or at its end):
  // a folio of 2 MiB in the page cache is then mapped with one entry and one
  // fault. A window's partial first and last 2 MiB took an entry a page.
  const uint64_t mapStart = edges.front() / kTableBytes * kTableBytes;
  const uint64_t mapLength =
      std::min(slot.FileSize, (edges.back() + kTableBytes - 1) / kTableBytes * kTableBytes) -
      mapStart;
  const char* base =
      mapLength > 0 ? sp::MapWindow(slot.MapHandle, mapStart, mapLength, false) : nullptr;
  if (base == nullptr) {
    for (int32_t b = first; b <= last; ++b) blocks[static_cast<size_t>(b)] = kMaybe;
    return;
  }
  const int slotNumber = static_cast<int>(&slot - SlotTable);
  sp::RegisterWindow(slotNumber, sp::kSearchWindow, base, mapLength);
  const Clock::time_point deadline = Clock::now() + kSpanTime;
  std::atomic<int32_t> next{0};
  // A needle's blocks go to the workers a page table at a time (the blocks
  // that begin in the same 2 MiB of the file, which the kernel maps at a
  // 2 MiB edge), the nearest first: blocks handed out one at a time put both
  // workers' page faults in the same tables, where they took turns. Lines
  // matched go one block at a time.
  std::vector<int32_t> groups;  // the first block (from first) of each, then count
  for (int32_t k = 0; k < count; ++k) {
    if (k == 0 || query.needle == nullptr ||
        edges[static_cast<size_t>(k)] / kTableBytes !=
            edges[static_cast<size_t>(k) - 1] / kTableBytes) {
      groups.push_back(k);
    }
  }
  groups.push_back(count);
  const int32_t groupCount = static_cast<int32_t>(groups.size()) - 1;
  RunOnWorkers(WorkerCount(), [&](int worker) {
    int32_t k = 0;
    int32_t groupEnd = 0;
    // The next block (from first) to decide, or -1.
    auto take = [&]() -> int32_t {
      if (k < groupEnd) return k++;
      const int32_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= groupCount) return -1;
      const int32_t group = step > 0 ? i : groupCount - 1 - i;
      k = groups[static_cast<size_t>(group)];
      groupEnd = groups[static_cast<size_t>(group) + 1];
      return k++;
    };
    LineMatcher* matcher = nullptr;
    thread_local std::vector<uint64_t> starts;
    if (query.needle == nullptr) {
      std::unique_ptr<LineMatcher>& own = kept.matchers[worker];
      if (own == nullptr) {
        own = std::make_unique<LineMatcher>();
        const LineMatcher& model = *query.lines;
        if (!own->Init(model.pattern(), model.options(), model.encoding())) own.reset();
      }
      matcher = own.get();
      starts.resize(kLinesPerBlock + 1);
    }
    for (int32_t taken; (taken = take()) >= 0;) {
      const int32_t block = first + taken;
      const uint64_t begin = edges[static_cast<size_t>(taken)];
      const uint64_t end = edges[static_cast<size_t>(taken) + 1];
      int8_t decision = kMaybe;
      if (query.needle != nullptr) {
        std::vector<uint32_t> found;
        decision = NeedleStarts(*query.needle, base + (begin - mapStart), end - begin, found);
        kept.starts[static_cast<size_t>(block)] = std::move(found);
      } else if (matcher != nullptr) {
        // Not begun after the deadline: left for a later span.
        if (Clock::now() > deadline) return;
        slot.Index->Starts(int64_t{block} * kLinesPerBlock, kLinesPerBlock, starts.data());
        starts[kLinesPerBlock] = end;
        decision = LinesDecision(*matcher, query.joined, base, mapStart, mapStart + mapLength,
                                 starts.data(), deadline);
      }
      blocks[static_cast<size_t>(block)] = decision;
    }
  });
  sp::UnregisterWindow(slotNumber, sp::kSearchWindow);
  sp::UnmapWindow(base, mapLength);
  if (sp::TruncationSeen(slotNumber)) {
    // Zero pages stood in for bytes the file lost: the scan looks itself.
    for (int32_t b = first; b <= last; ++b) {
      blocks[static_cast<size_t>(b)] = kMaybe;
      kept.starts[static_cast<size_t>(b)].clear();
    }
  }
}

Key KeyFor(const FileSlot& slot, const BlockQuery& query) {
  Key key;
  key.serial = slot.OpenSerial;
  key.index = slot.Index.get();
  key.fileSize = slot.FileSize;
  key.lineCount = slot.LineCount;
  key.tabWidth = TabWidth;
  key.raw = query.needle != nullptr;
  if (query.needle != nullptr) {
    key.text = query.needle->bytes();
    key.ignoreCase = query.needle->fold();
  } else {
    key.joined = query.joined;
    key.text = query.lines->pattern();
    key.ignoreCase = query.lines->options().IgnoreCase;
    key.regex = query.lines->options().Regex;
    key.encoding = query.lines->encoding();
  }
  return key;
}

}  // namespace

bool BlockMayHold(const FileSlot& slot, const BlockQuery& query, int32_t low, int32_t high,
                  int step) {
  // Only whole blocks below the last one, of a document whose index is
  // complete and whose bytes are all there.
  const int32_t block = low / kLinesPerBlock;
  const int32_t lastBlock = (slot.LineCount - 1) / kLinesPerBlock;
  if (WorkerCount() < 2 || slot.Worker != nullptr || slot.Truncated || slot.MapHandle < 0 ||
      low % kLinesPerBlock != 0 || high != low + kLinesPerBlock - 1 || block >= lastBlock ||
      (query.needle == nullptr ? query.lines == nullptr : query.needle->empty())) {
    return true;
  }
  Key key = KeyFor(slot, query);
  Decisions& kept = Kept();
  if (!(kept.key == key)) {
    const bool sameLines = !key.raw && !kept.key.raw && kept.key.text == key.text &&
                           kept.key.ignoreCase == key.ignoreCase && kept.key.regex == key.regex &&
                           kept.key.encoding == key.encoding;
    if (!sameLines) {
      for (std::unique_ptr<LineMatcher>& matcher : kept.matchers) matcher.reset();
    }
    kept.key = std::move(key);
    kept.blocks.assign(static_cast<size_t>(lastBlock), kUnknown);
    kept.starts.assign(static_cast<size_t>(lastBlock), {});
  }
  if (kept.blocks[static_cast<size_t>(block)] == kUnknown) {
    int32_t first = block;
    int32_t last = block;
    // The span goes on in the scan's direction, up to a block already known
    // or the span's size.
    auto edge = [&](int32_t b) { return slot.Index->Start(int64_t{b} * kLinesPerBlock); };
    for (int32_t n = 1; n < kSpanBlocks; ++n) {
      const int32_t b = step > 0 ? last + 1 : first - 1;
      if (b < 0 || b >= lastBlock || kept.blocks[static_cast<size_t>(b)] != kUnknown) break;
      if (step > 0 ? edge(b + 1) - edge(first) > kSpanBytes
                   : edge(last + 1) - edge(b) > kSpanBytes) {
        break;
      }
      (step > 0 ? last : first) = b;
    }
    if (edge(last + 1) - edge(first) > kSpanBytes) {
      // A block of long lines: the plan goes through it with its own polls.
      kept.blocks[static_cast<size_t>(block)] = kMaybe;
    } else {
      DecideSpan(slot, query, first, last, step, kept);
    }
  }
  return kept.blocks[static_cast<size_t>(block)] != kNone;
}

bool BlockStarts(const FileSlot& slot, const BlockQuery& query, int32_t block,
                 std::vector<uint64_t>& starts) {
  const Decisions& kept = Kept();
  if (query.needle == nullptr || block < 0 || static_cast<size_t>(block) >= kept.blocks.size() ||
      kept.blocks[static_cast<size_t>(block)] != kStarts || slot.Truncated ||
      !(kept.key == KeyFor(slot, query))) {
    return false;
  }
  const uint64_t begin = slot.Index->Start(int64_t{block} * kLinesPerBlock);
  starts.clear();
  for (const uint32_t offset : kept.starts[static_cast<size_t>(block)]) {
    starts.push_back(begin + offset);
  }
  return true;
}

}  // namespace search_detail
