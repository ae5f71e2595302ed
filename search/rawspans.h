// The raw plan's needle over long ranges of bytes on every core. A block of
// long lines (or the file's last block) is one range of many megabytes that
// the block filter cannot split by lines; here the file is cut into tiles of
// kTileBytes instead, the store's workers find every start of the needle in
// a span of tiles side by side, and the scan walks the starts kept, in file
// order, from call to call of a continuous search. Like the block filter it
// only answers what it knows: a tile it could not read, or with more starts
// than it keeps, is left to the caller's own scan.
#pragma once

#include <cstdint>

#include "search/rawfind.h"
#include "store/lineslice.h"
#include "store/slots.h"

namespace search_detail {

// Tiles of the file: tile t holds the needle starts in [t, t + 1) * kTileBytes.
constexpr uint64_t kTileBytes = uint64_t{1} << 20;

struct SpanAnswer {
  enum Kind {
    kFound,      // at: the first (forward) / last (backward) start wholly in the range
    kNone,       // no start of the needle lies wholly in the range
    kNoneUntil,  // none wholly in the range before at (forward) / at or after at
                 // (backward): ask again with the range cut there
    kUnknown,    // as kNoneUntil, but the caller looks at the rest itself
  };
  Kind kind = kUnknown;
  uint64_t at = 0;
};

// Where the needle lies wholly inside file bytes [from, end), looked up in
// (and, a span of tiles at a time, added to) the tiles decided for the
// slot's document and this needle. step > 0: its first start, else its
// last. Decides at most one span per call, so the caller can let input
// through between calls.
SpanAnswer FindInTiles(const FileSlot& slot, const RawNeedle& needle, uint64_t from, uint64_t end,
                       int step);

// TextOffsetOfRaw, with the TABs (and the line feeds and zero bytes that
// end the text) of whole blocks the tiles counted for the document taken from
// there: a candidate megabytes into a line reads at most two blocks.
bool TextOffsetInTiles(FileSlot& slot, const LineBounds& bounds, uint64_t raw, bool stopAtZero,
                       uint64_t& text);

}  // namespace search_detail
