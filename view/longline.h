// Columns of long lines: lines whose text GetLine cuts (2047 bytes or more).
// The page shows any part of such a line without decoding it from its start
// at every draw: one walk over the line counts its display cells and leaves
// a checkpoint (raw offset, text offset, cell) about every 16 KiB of it;
// later questions start at the checkpoint before their answer. The
// checkpoints are kept for the lines recently drawn (a few pages' worth) and
// dropped when the document, the tab width or the encoding changes.
//
// Cells are counted as the page counts them (NextCluster): a TAB is TabWidth
// one-cell blanks, a character its cells, zero-width ones with the character
// before them.
#pragma once

#include <cstdint>
#include <string>

#include "store/slots.h"

namespace long_line {

// Where a row of a line starts when scrolled to a column: the cluster edge
// at raw byte raw of the line (text offset text), and the blanks that stand
// for the cut part of a wide character or a TAB before it.
struct RowStart {
  uint64_t raw = 0;
  uint64_t text = 0;
  int64_t blanks = 0;
};

// GetLineInto's text of a line the index shows to be long (its text
// reaches GetLine's cap whatever its TABs), read without moving the window:
// the rows of a page of long lines lie far apart. -1 for any other line.
int HeadText(FileSlot& slot, int32_t line, char* out);
// Whether HeadText would give the line's text: the line is long. Nothing
// of it is read but its first count, which is kept.
bool IsLong(FileSlot& slot, int32_t line);
// The line's display cells, counted whole (then kept).
int64_t Cells(FileSlot& slot, int32_t line);
// The start of the row scrolled to column (display cells).
RowStart StartAtColumn(FileSlot& slot, int32_t line, int64_t column);
// The cell where text offset text begins (the line's cells when past its end).
int64_t CellOfText(FileSlot& slot, int32_t line, uint64_t text);
// The line's display text from raw offset raw (a cluster edge) on, at most
// cap bytes, TABs expanded.
std::string TextFrom(FileSlot& slot, int32_t line, uint64_t raw, size_t cap);
// The size in bytes of the line's whole text, and of its text in the
// column block lo..hi (whole characters; a TAB's blanks one by one, as a
// block of GetLine's text takes them). With out, the text is appended to it.
uint64_t WholeText(FileSlot& slot, int32_t line, std::string* out);
uint64_t BlockText(FileSlot& slot, int32_t line, int64_t lo, int64_t hi, std::string* out);
// Forgets every line's checkpoints.
void Forget();

}  // namespace long_line
