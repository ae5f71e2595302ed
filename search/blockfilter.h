// The scan's filter on every core: for whole blocks of lines, whether any
// line of the block may hold a hit. The store's workers decide a span of
// blocks at a time, side by side; the scan then skips the blocks without a
// candidate and runs its exact plan, on the calling thread, on the others,
// so hits still come in file order and every hook is called there. It only
// ever says "maybe" where it does not know, so the hits stay those of the
// single-threaded scan.
#pragma once

#include <cstdint>
#include <vector>

#include "search/matcher.h"
#include "search/rawfind.h"
#include "store/slots.h"

namespace search_detail {

// What the workers look for in a block's lines.
struct BlockQuery {
  // The raw plan: the needle anywhere in the block's raw bytes.
  const RawNeedle* needle = nullptr;
  // Else a line whose display text the matcher's pattern matches, with the
  // matcher's options and encoding; each worker compiles its own.
  const LineMatcher* lines = nullptr;
  // The expression cannot match across a line feed and looks at nothing
  // outside the line: the workers match a run of lines joined with line
  // feeds at once.
  bool joined = false;
};

// False only when lines [low, high] form a whole block (not the file's last,
// whose last line the plan matches on its own) that holds no candidate of
// the query: for a needle, nowhere in its raw bytes [start of low, start of
// high + 1); for a matcher, on none of its lines, each of them short enough
// that its text is all of it and every match decided. step: the scan's
// direction, in which the next span is decided. Decisions are kept while the
// document, its line count, TabWidth and the query stay the same.
bool BlockMayHold(const FileSlot& slot, const BlockQuery& query, int32_t low, int32_t high,
                  int step);

// Every start of the query's needle in the bytes of a whole block that the
// workers decided under the same document and query (file offsets,
// ascending), when they listed them all; false when not known, and the
// scan reads the block itself.
bool BlockStarts(const FileSlot& slot, const BlockQuery& query, int32_t block,
                 std::vector<uint64_t>& starts);

}  // namespace search_detail
