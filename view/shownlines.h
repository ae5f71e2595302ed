// The rows of a tab: every line of its document, or only the lines its
// filter shows (store/linefilter.h). A row is the rank of a shown line; the
// rows past the last shown line stand for the lines past the document's
// end, so that a page below the end stays blank as without a filter. Without
// a filter a row is its line. TopLine, the selection and every command's
// line stay file lines; the vertical scroll bar counts rows.
#pragma once

#include <cstdint>
#include <vector>

#include "store/slots.h"

class LineFilter;

// The slot's filter when it is in force (built on the slot's index with
// the tab width now), else null.
LineFilter* ActiveFilter(const FileSlot& slot);
// Rows that hold a line: LineCount, or the shown lines found so far.
int32_t ShownRows(const FileSlot& slot);
// The row of a line; a line that is not shown gets the row of the first
// shown line after it.
int64_t RowOfLine(const FileSlot& slot, int32_t line);
// The line of a row (rows may lie past the last shown line).
int32_t LineOfRow(const FileSlot& slot, int64_t row);
// The first shown line at or after line (past the end when none).
inline int32_t SnapToShown(const FileSlot& slot, int32_t line) {
  return LineOfRow(slot, RowOfLine(slot, line));
}
// True when the line is one the tab shows (a line of the document).
bool LineShown(const FileSlot& slot, int32_t line);
// The lines of rows [row, row + count) that hold a line, in order.
void LinesOfRows(const FileSlot& slot, int64_t row, int count, std::vector<int32_t>& out);
