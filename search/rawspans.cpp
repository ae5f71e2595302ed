#include "search/rawspans.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "store/lineindex.h"
#include "store/lineslice.h"
#include "store/platform.h"
#include "store/workers.h"

namespace sp = store_platform;

namespace search_detail {
namespace {

// Tiles decided at a time: 16 MiB, a few milliseconds on two cores, so that
// input gets through between spans.
constexpr int64_t kSpanTiles = 16;
// What one page table of the process maps: the workers take the tiles of a
// table at a time.
constexpr uint64_t kTableBytes = uint64_t{2} << 20;
// Starts kept a tile; a tile with more is dense, and the caller's own scan
// (which stops at the first start anyway) is as quick there.
constexpr size_t kTileStarts = 64;

enum : int8_t { kUndecidedTile = 0, kDecided = 1, kDense = 2 };

// Blocks of kCountBytes (whole ones, in the file) keep what they hold of
// TABs, line feeds and zero bytes, so that the text offset of a candidate
// megabytes into a line sums counts instead of reading the line again on the
// calling thread. The workers count every whole block of a tile they decide,
// a piece at a time right after its needle search, while its bytes are in
// the first-level cache (a fifth more work for them, where reading the lines
// of the candidates again, from memory, took the calling thread a quarter of
// the search); a block no tile counted is counted when an offset needs it.
// A block is a piece: an offset reads at most the two partial blocks at its
// line's start and at itself, 32 KiB from memory, where blocks of 64 KiB
// made it read up to 128 KiB for every candidate (five bytes a block: 320
// bytes a MiB of the file).
// What a worker reads at a time: a quarter of the first-level cache.
constexpr uint64_t kPieceBytes = uint64_t{16} << 10;
constexpr uint64_t kCountBytes = kPieceBytes;
constexpr uint64_t kCountsPerTile = kTileBytes / kCountBytes;
enum : uint8_t { kCounted = 1, kFeedSeen = 2, kZeroSeen = 4 };

uint8_t CountFlags(const LineByteCounts& counts) {
  return static_cast<uint8_t>(kCounted | (counts.feed ? kFeedSeen : 0) |
                              (counts.zero ? kZeroSeen : 0));
}

// What the tiles were decided for.
struct Key {
  uint64_t serial = 0;
  const LineIndex* index = nullptr;
  uint64_t fileSize = 0;
  int32_t lineCount = -1;
  std::string needle;
  bool fold = false;
  bool operator==(const Key&) const = default;
};

struct Tiles {
  Key key;
  std::vector<int8_t> state;
  // Offsets in the tile of every start of the needle there, ascending.
  std::vector<std::vector<uint32_t>> starts;
  // Per block of kCountBytes: its TABs, and kCounted | kFeedSeen | kZeroSeen.
  std::vector<uint32_t> blockTabs;
  std::vector<uint8_t> blockFlags;
  // Per tile: ranges [begin, end) (offsets in the tile) not read because an
  // earlier start of the needle in the same line was kept (DecideLines).
  // Every such range lies after a kept start of its line, so a forward
  // question from a line's start is answered exactly; any other question
  // that meets one decides the tile again whole.
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> holes;
};

Key SlotKey(const FileSlot& slot, const RawNeedle& needle) {
  return Key{slot.OpenSerial, slot.Index.get(), slot.FileSize,
             slot.LineCount,  needle.bytes(),   needle.fold()};
}

bool SameDocument(const Key& a, const Key& b) {
  return a.serial == b.serial && a.index == b.index && a.fileSize == b.fileSize &&
         a.lineCount == b.lineCount;
}

Tiles& Kept() {
  static Tiles tiles;
  return tiles;
}

// Every start of the needle in tiles [first, last] (mapped at base), the
// tiles taken in the scan's direction.
void DecideWhole(const FileSlot& slot, const RawNeedle& needle, const char* base, uint64_t mapStart,
                 uint64_t end, int64_t first, int64_t last, int step, Tiles& kept) {
  const size_t n = needle.size();
  auto decideTile = [&](int64_t tile) {
    const uint64_t tileBegin = static_cast<uint64_t>(tile) * kTileBytes;
    const uint64_t tileEnd = std::min(slot.FileSize, tileBegin + kTileBytes);
    const char* const tileStart = base + (tileBegin - mapStart);
    std::vector<uint32_t> found;
    int8_t state = kDecided;
    // A piece of kPieceBytes at a time: the starts in it (a start may end
    // n - 1 bytes past it), then its counts, read again from the
    // first-level cache.
    LineByteCounts counts;
    for (uint64_t piece = tileBegin; piece < tileEnd; piece += kPieceBytes) {
      const uint64_t pieceEnd = std::min(tileEnd, piece + kPieceBytes);
      const char* p = base + (piece - mapStart);
      const char* const stop = base + (std::min(end, pieceEnd + n - 1) - mapStart);
      while (state == kDecided && static_cast<size_t>(stop - p) >= n) {
        const char* at = needle.FindFirst(p, static_cast<size_t>(stop - p));
        if (at == nullptr) break;
        if (found.size() == kTileStarts) {
          state = kDense;
          break;
        }
        found.push_back(static_cast<uint32_t>(at - tileStart));
        p = at + 1;
      }
      if (pieceEnd - piece < kPieceBytes) break;  // the file's end: no whole block
      const LineByteCounts more = CountLineBytes(base + (piece - mapStart), kPieceBytes);
      counts.tabs += more.tabs;
      counts.feed |= more.feed;
      counts.zero |= more.zero;
      if (pieceEnd % kCountBytes == 0) {
        const size_t k = static_cast<size_t>(piece / kCountBytes);
        kept.blockTabs[k] = static_cast<uint32_t>(counts.tabs);
        kept.blockFlags[k] = CountFlags(counts);
        counts = LineByteCounts();
      }
    }
    kept.starts[static_cast<size_t>(tile)] = std::move(found);
    kept.state[static_cast<size_t>(tile)] = state;
  };
  // The tiles go to the workers a page table at a time (the tiles of 2 MiB
  // of the file, which the kernel maps at a 2 MiB edge), the nearest first.
  // Tiles handed out one at a time put both workers' page faults in the
  // same tables, where they took turns: a span took a sixth longer.
  constexpr int64_t kTableTiles = static_cast<int64_t>(kTableBytes / kTileBytes);
  const int64_t firstTable = first / kTableTiles;
  const int64_t lastTable = last / kTableTiles;
  std::atomic<int64_t> next{0};
  RunOnWorkers(WorkerCount(), [&](int) {
    for (int64_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) <= lastTable - firstTable;) {
      const int64_t table = step > 0 ? firstTable + i : lastTable - i;
      const int64_t low = std::max(first, table * kTableTiles);
      const int64_t high = std::min(last, table * kTableTiles + kTableTiles - 1);
      for (int64_t tile = low; tile <= high; ++tile) {
        decideTile(tile);
      }
    }
  });
}

// Counts block k of kCountBytes (whole in the file, mapped at p) into kept.
void CountBlock(const char* p, uint64_t k, Tiles& kept) {
  const LineByteCounts counts = CountLineBytes(p, kCountBytes);
  kept.blockTabs[static_cast<size_t>(k)] = static_cast<uint32_t>(counts.tabs);
  kept.blockFlags[static_cast<size_t>(k)] = CountFlags(counts);
}

// Lines of a span read line by line (DecideLines) at most: more lines than
// this (under 16 KiB on average) end few reads early, and are decided whole.
constexpr int64_t kSpanLines = 1024;

// A line's part in a span, read by one worker from its start up to the
// first start of the needle in it (found), or to its end.
struct LinePart {
  uint64_t begin = 0;
  uint64_t end = 0;
  size_t line = 0;  // in the span's lines
  uint64_t found = ~uint64_t{0};
  uint64_t unread = 0;  // [unread, end) was not read
};

// The first start of the needle in each line of the span's bytes [begin,
// end) (starts [begin, stop) kept, bytes read up to end), a line at a time:
// once a line has a start, the rest of it is left unread (a hole), as a
// forward scan matches a candidate's whole line and goes on at the next
// line. A line of several page tables is read in parts, which the workers
// take in order; a part whose line already has a start in an earlier part
// stops where it learns it. Whole count blocks read are counted. False when
// the span holds too many lines (the caller decides it whole).
bool DecideLines(const FileSlot& slot, const RawNeedle& needle, const char* base, uint64_t mapStart,
                 uint64_t begin, uint64_t stop, uint64_t end, Tiles& kept) {
  const int64_t low = slot.Index->LineAt(begin);
  const int64_t high = slot.Index->LineAt(stop - 1);
  if (low < 0 || high < low || high - low >= kSpanLines) return false;
  // Each line's start, and the start of the line after the last (or the
  // file's end).
  std::vector<uint64_t> starts(static_cast<size_t>(high - low + 2), slot.FileSize);
  const int64_t listed = std::min<int64_t>(high - low + 2, slot.LineCount - low);
  slot.Index->Starts(low, listed, starts.data());
  std::vector<LinePart> parts;
  for (size_t k = 0; k + 1 < starts.size(); ++k) {
    const uint64_t from = std::max(begin, starts[k]);
    const uint64_t to = std::min(stop, starts[k + 1]);
    for (uint64_t at = from; at < to;) {
      // Parts of at least two page tables, cut at a table's edge.
      uint64_t cut = to;
      if (to - at > 3 * kTableBytes) cut = (at / kTableBytes + 2) * kTableBytes;
      parts.push_back(LinePart{at, cut, k, ~uint64_t{0}, cut});
      at = cut;
    }
  }
  // Per line: its first start found so far by any part.
  std::vector<std::atomic<uint64_t>> firstFound(starts.size() - 1);
  for (auto& f : firstFound) f.store(~uint64_t{0}, std::memory_order_relaxed);
  const size_t n = needle.size();
  std::atomic<size_t> next{0};
  RunOnWorkers(WorkerCount(), [&](int) {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < parts.size();) {
      LinePart& part = parts[i];
      std::atomic<uint64_t>& lineFirst = firstFound[part.line];
      // A piece up to the next count block's edge at a time.
      for (uint64_t piece = part.begin; piece < part.end;) {
        if (lineFirst.load(std::memory_order_relaxed) < part.begin) {
          part.unread = piece;
          break;
        }
        const uint64_t pieceEnd = std::min(part.end, (piece / kCountBytes + 1) * kCountBytes);
        const char* p = base + (piece - mapStart);
        const uint64_t readEnd = std::min(end, pieceEnd + n - 1);
        const char* at = readEnd - piece >= n
                             ? needle.FindFirst(p, static_cast<size_t>(readEnd - piece))
                             : nullptr;
        if (piece % kCountBytes == 0 && pieceEnd - piece == kCountBytes) {
          CountBlock(p, piece / kCountBytes, kept);
        }
        if (at != nullptr && static_cast<uint64_t>(at - p) < pieceEnd - piece) {
          part.found = piece + static_cast<uint64_t>(at - p);
          part.unread = part.found + 1;
          uint64_t seen = lineFirst.load(std::memory_order_relaxed);
          while (part.found < seen &&
                 !lineFirst.compare_exchange_weak(seen, part.found, std::memory_order_relaxed)) {
          }
          break;
        }
        piece = pieceEnd;
      }
    }
  });
  // The parts lie in file order: each tile's starts and holes come out
  // ascending.
  for (const LinePart& part : parts) {
    if (part.found != ~uint64_t{0}) {
      const size_t t = static_cast<size_t>(part.found / kTileBytes);
      std::vector<uint32_t>& found = kept.starts[t];
      if (found.size() == kTileStarts) {
        kept.state[t] = kDense;
      } else {
        found.push_back(static_cast<uint32_t>(part.found - t * kTileBytes));
      }
    }
    for (uint64_t at = part.unread; at < part.end;) {
      const uint64_t t = at / kTileBytes;
      const uint64_t to = std::min(part.end, (t + 1) * kTileBytes);
      kept.holes[static_cast<size_t>(t)].emplace_back(static_cast<uint32_t>(at - t * kTileBytes),
                                                      static_cast<uint32_t>(to - t * kTileBytes));
      at = to;
    }
  }
  return true;
}

// Decides tiles [first, last] on the workers, taken in the scan's direction:
// every start of the needle in them, or with byLine only the first of each
// line (DecideLines). A span that cannot be mapped, or whose file shrank
// under the reading, stays undecided.
void DecideTiles(const FileSlot& slot, const RawNeedle& needle, int64_t first, int64_t last,
                 int step, bool byLine, Tiles& kept) {
  const uint64_t begin = static_cast<uint64_t>(first) * kTileBytes;
  const uint64_t stop = std::min(slot.FileSize, static_cast<uint64_t>(last + 1) * kTileBytes);
  // A start in the last tile may end needle.size() - 1 bytes past it.
  const uint64_t end = std::min(slot.FileSize, stop + needle.size() - 1);
  // At 2 MiB edges of the file, as the block filter's windows.
  const uint64_t mapStart = begin / kTableBytes * kTableBytes;
  const uint64_t mapLength =
      std::min(slot.FileSize, (end + kTableBytes - 1) / kTableBytes * kTableBytes) - mapStart;
  const char* base =
      end > begin ? sp::MapWindow(slot.MapHandle, mapStart, mapLength, false) : nullptr;
  if (base == nullptr) return;
  const int slotNumber = static_cast<int>(&slot - SlotTable);
  sp::RegisterWindow(slotNumber, sp::kSearchWindow, base, mapLength);
  for (int64_t t = first; t <= last; ++t) {
    kept.starts[static_cast<size_t>(t)].clear();
    kept.holes[static_cast<size_t>(t)].clear();
    kept.state[static_cast<size_t>(t)] = kDecided;
  }
  if (!byLine || step < 0 || !DecideLines(slot, needle, base, mapStart, begin, stop, end, kept)) {
    DecideWhole(slot, needle, base, mapStart, end, first, last, step, kept);
  }
  sp::UnregisterWindow(slotNumber, sp::kSearchWindow);
  sp::UnmapWindow(base, mapLength);
  if (sp::TruncationSeen(slotNumber)) {
    // Zero pages stood in for bytes the file lost: nothing read is known.
    std::fill(kept.state.begin() + first, kept.state.begin() + last + 1, kUndecidedTile);
    const auto flags = kept.blockFlags.begin();
    const auto perTile = static_cast<int64_t>(kCountsPerTile);
    std::fill(flags + first * perTile, flags + (last + 1) * perTile, 0);
  }
}

// The span to decide from tile t on in the scan's direction: up to a tile
// already decided, kSpanTiles tiles, or the tile limit (inclusive).
std::pair<int64_t, int64_t> Span(const Tiles& kept, int64_t t, int64_t limit, int step) {
  int64_t other = t;
  for (int64_t n = 1; n < kSpanTiles; ++n) {
    const int64_t u = other + step;
    if (step > 0 ? u > limit : u < limit) break;
    if (kept.state[static_cast<size_t>(u)] != kUndecidedTile) break;
    other = u;
  }
  return {std::min(t, other), std::max(t, other)};
}

}  // namespace

SpanAnswer FindInTiles(const FileSlot& slot, const RawNeedle& needle, uint64_t from, uint64_t end,
                       int step) {
  const uint64_t n = needle.size();
  if (n == 0 || end < from + n) return {SpanAnswer::kNone, 0};
  const SpanAnswer unknown{SpanAnswer::kUnknown, step > 0 ? from : end};
  if (WorkerCount() < 2 || slot.Worker != nullptr || slot.Truncated || slot.Compressed ||
      slot.MapHandle < 0 || end > slot.FileSize ||
      sp::TruncationSeen(static_cast<int>(&slot - SlotTable))) {
    return unknown;
  }
  Key key = SlotKey(slot, needle);
  Tiles& kept = Kept();
  if (!(kept.key == key)) {
    const size_t tiles = static_cast<size_t>((slot.FileSize + kTileBytes - 1) / kTileBytes);
    kept.key = std::move(key);
    kept.state.assign(tiles, kUndecidedTile);
    kept.starts.assign(tiles, {});
    kept.blockTabs.assign(tiles * kCountsPerTile, 0);
    kept.blockFlags.assign(tiles * kCountsPerTile, 0);
    kept.holes.assign(tiles, {});
  }
  // Starts s wholly in the range: from <= s <= top.
  const uint64_t top = end - n;
  bool decided = false;
  const int64_t low = static_cast<int64_t>(from / kTileBytes);
  const int64_t high = static_cast<int64_t>(top / kTileBytes);
  for (int64_t t = step > 0 ? low : high; t >= low && t <= high; t += step) {
    const uint64_t tileBegin = static_cast<uint64_t>(t) * kTileBytes;
    // Forward nothing before the tile is left; backward nothing after it:
    // the range cut there.
    const uint64_t cut =
        step > 0 ? std::max(from, tileBegin) : std::min(end, tileBegin + kTileBytes - 1 + n);
    const size_t k = static_cast<size_t>(t);
    for (;;) {
      const int8_t state = kept.state[k];
      if (state == kDecided) {
        // The answer in this tile, and the tile's bytes it says hold no
        // start, [near, far): they must not lie in a hole.
        const std::vector<uint32_t>& starts = kept.starts[k];
        const uint64_t tileEnd = tileBegin + kTileBytes;
        uint64_t near = std::max(from, tileBegin);
        uint64_t far = std::min(top + 1, tileEnd);
        SpanAnswer answer{SpanAnswer::kNoneUntil, 0};  // none here: the next tile
        if (step > 0) {
          const auto at = std::lower_bound(starts.begin(), starts.end(), near - tileBegin);
          if (at != starts.end()) {
            const uint64_t s = tileBegin + *at;
            far = std::min(far, s);
            answer =
                s <= top ? SpanAnswer{SpanAnswer::kFound, s} : SpanAnswer{SpanAnswer::kNone, 0};
          }
        } else {
          const auto after = std::upper_bound(starts.begin(), starts.end(), far - 1 - tileBegin);
          if (after != starts.begin()) {
            const uint64_t s = tileBegin + *(after - 1);
            near = std::max(near, s + 1);
            answer =
                s >= from ? SpanAnswer{SpanAnswer::kFound, s} : SpanAnswer{SpanAnswer::kNone, 0};
          }
        }
        const bool hole = std::any_of(kept.holes[k].begin(), kept.holes[k].end(), [&](auto h) {
          return tileBegin + h.first < far && tileBegin + h.second > near;
        });
        if (!hole) {
          if (answer.kind != SpanAnswer::kNoneUntil) return answer;
          break;
        }
      } else if (state != kUndecidedTile) {
        return {SpanAnswer::kUnknown, cut};
      }
      // Undecided, or an answer through bytes left unread: decided (again,
      // then whole).
      if (decided) return {SpanAnswer::kNoneUntil, cut};
      decided = true;
      const bool again = state != kUndecidedTile;
      const auto [first, last] = Span(kept, t, step > 0 ? high : low, step);
      DecideTiles(slot, needle, first, last, step, !again, kept);
      if (kept.state[k] == kUndecidedTile) return {SpanAnswer::kUnknown, cut};
    }
  }
  return {SpanAnswer::kNone, 0};
}

bool TextOffsetInTiles(FileSlot& slot, const LineBounds& bounds, uint64_t raw, bool stopAtZero,
                       uint64_t& text) {
  Tiles& kept = Kept();
  if (!bounds.ok || raw > bounds.length() || !SameDocument(kept.key, SlotKey(slot, RawNeedle())) ||
      sp::TruncationSeen(static_cast<int>(&slot - SlotTable))) {
    return TextOffsetOfRaw(slot, bounds, raw, stopAtZero, text);
  }
  uint64_t tabs = 0;
  for (uint64_t at = 0; at < raw;) {
    const uint64_t file = bounds.begin + at;
    const size_t k = static_cast<size_t>(file / kCountBytes);
    if (file % kCountBytes == 0 && raw - at >= kCountBytes && k < kept.blockFlags.size()) {
      if ((kept.blockFlags[k] & kCounted) == 0) {
        const LineSlice s = GetLineSlice(slot, bounds, at, kCountBytes);
        if (s.size == kCountBytes) {
          const LineByteCounts counts = CountLineBytes(s.data, s.size);
          kept.blockTabs[k] = static_cast<uint32_t>(counts.tabs);
          kept.blockFlags[k] = CountFlags(counts);
        }
      }
      const uint8_t flags = kept.blockFlags[k];
      if ((flags & kCounted) != 0) {
        if ((flags & kFeedSeen) != 0 || (stopAtZero && (flags & kZeroSeen) != 0)) return false;
        tabs += kept.blockTabs[k];
        at += kCountBytes;
        continue;
      }
    }
    const uint64_t next = std::min(raw, (file / kCountBytes + 1) * kCountBytes - bounds.begin);
    if (!TabsInLine(slot, bounds, at, next, stopAtZero, tabs)) return false;
    at = next;
  }
  text = TextOffsetOfTabs(raw, tabs);
  return true;
}

}  // namespace search_detail
