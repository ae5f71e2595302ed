// The raw plan's filter on every core: for whole blocks of lines, whether
// the needle occurs anywhere in the bytes the plan would search. The store's
// workers decide a span of blocks at a time, side by side; the scan then
// skips the blocks without a candidate and runs its exact plan, on the
// calling thread, on the others. It only ever says "maybe" where it does not
// know, so the hits stay those of the single-threaded scan.
#pragma once

#include <cstdint>

#include "search/rawfind.h"
#include "store/slots.h"

namespace search_detail {

// False only when lines [low, high] form a whole block (not the file's last,
// whose last line the plan matches on its own) and the needle occurs nowhere
// in their raw bytes [start of low, start of high + 1). step: the scan's
// direction, in which the next span is decided. Decisions are kept while the
// document, its line count and the needle stay the same.
bool BlockMayHold(const FileSlot& slot, const RawNeedle& needle, int32_t low, int32_t high,
                  int step);

}  // namespace search_detail
