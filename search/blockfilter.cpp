#include "search/blockfilter.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "store/lineindex.h"
#include "store/platform.h"
#include "store/workers.h"

namespace sp = store_platform;

namespace search_detail {
namespace {

// Blocks decided at a time: at most 64, and no more than about 16 MiB of
// the file (64 blocks of log lines), a few milliseconds on two cores, so
// that input and a cancel get through between spans.
constexpr int32_t kSpanBlocks = 64;
constexpr uint64_t kSpanBytes = uint64_t{16} << 20;

enum : int8_t { kUnknown = 0, kNone = 1, kMaybe = 2 };

// The decisions of the last search's document and needle, kept from call to
// call: a continuous search calls once per hit.
struct Decisions {
  uint64_t serial = 0;
  const LineIndex* index = nullptr;
  uint64_t fileSize = 0;
  int32_t lineCount = -1;
  std::string needle;
  bool fold = false;
  std::vector<int8_t> blocks;
};

Decisions& Kept() {
  static Decisions decisions;
  return decisions;
}

// Decides blocks [first, last] (whole ones, below the file's last block).
void DecideSpan(const FileSlot& slot, const RawNeedle& needle, int32_t first, int32_t last,
                std::vector<int8_t>& blocks) {
  const int32_t count = last - first + 1;
  std::vector<uint64_t> edges(static_cast<size_t>(count) + 1);
  for (int32_t k = 0; k <= count; ++k) {
    edges[static_cast<size_t>(k)] = slot.Index->Start(int64_t{first + k} * kLinesPerBlock);
  }
  const uint64_t granularity = sp::AllocationGranularity();
  const uint64_t map_start = edges.front() / granularity * granularity;
  const uint64_t map_length = edges.back() - map_start;
  const char* base =
      map_length > 0 ? sp::MapWindow(slot.MapHandle, map_start, map_length, false) : nullptr;
  if (base == nullptr) {
    for (int32_t b = first; b <= last; ++b) blocks[static_cast<size_t>(b)] = kMaybe;
    return;
  }
  const int slot_number = static_cast<int>(&slot - SlotTable);
  sp::RegisterWindow(slot_number, sp::kScanWindow, base, map_length);
  std::atomic<int32_t> next{0};
  RunOnWorkers(WorkerCount(), [&](int) {
    for (int32_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
      const uint64_t begin = edges[static_cast<size_t>(k)];
      const uint64_t end = edges[static_cast<size_t>(k) + 1];
      const bool found = end > begin && needle.FindFirst(base + (begin - map_start), end - begin);
      blocks[static_cast<size_t>(first + k)] = found ? kMaybe : kNone;
    }
  });
  sp::UnregisterWindow(slot_number, sp::kScanWindow);
  sp::UnmapWindow(base, map_length);
}

}  // namespace

bool BlockMayHold(const FileSlot& slot, const RawNeedle& needle, int32_t low, int32_t high,
                  int step) {
  // Only whole blocks below the last one, of a document whose index is
  // complete and whose bytes are all there; the filter's own window needs
  // the scan window's place in the truncation guard, free without an
  // indexer.
  const int32_t block = low / kLinesPerBlock;
  const int32_t last_block = (slot.LineCount - 1) / kLinesPerBlock;
  if (WorkerCount() < 2 || slot.Worker != nullptr || slot.Truncated || slot.MapHandle < 0 ||
      low % kLinesPerBlock != 0 || high != low + kLinesPerBlock - 1 || block >= last_block ||
      needle.empty()) {
    return true;
  }
  Decisions& kept = Kept();
  if (kept.serial != slot.OpenSerial || kept.index != slot.Index.get() ||
      kept.fileSize != slot.FileSize || kept.lineCount != slot.LineCount ||
      kept.needle != needle.bytes() || kept.fold != needle.fold()) {
    kept.serial = slot.OpenSerial;
    kept.index = slot.Index.get();
    kept.fileSize = slot.FileSize;
    kept.lineCount = slot.LineCount;
    kept.needle = needle.bytes();
    kept.fold = needle.fold();
    kept.blocks.assign(static_cast<size_t>(last_block), kUnknown);
  }
  if (kept.blocks[static_cast<size_t>(block)] == kUnknown) {
    int32_t first = block;
    int32_t last = block;
    // The span goes on in the scan's direction, up to a block already known
    // or the span's size.
    auto edge = [&](int32_t b) { return slot.Index->Start(int64_t{b} * kLinesPerBlock); };
    for (int32_t n = 1; n < kSpanBlocks; ++n) {
      const int32_t b = step > 0 ? last + 1 : first - 1;
      if (b < 0 || b >= last_block || kept.blocks[static_cast<size_t>(b)] != kUnknown) break;
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
      DecideSpan(slot, needle, first, last, kept.blocks);
    }
  }
  return kept.blocks[static_cast<size_t>(block)] != kNone;
}

}  // namespace search_detail
