#include "view/shownlines.h"

#include <algorithm>

#include "store/linefilter.h"

LineFilter* ActiveFilter(const FileSlot& slot) {
  LineFilter* filter = slot.Filter.get();
  if (filter == nullptr || filter->index() != slot.Index.get() || filter->tabWidth() != TabWidth) {
    return nullptr;
  }
  return filter;
}

int32_t ShownRows(const FileSlot& slot) {
  const LineFilter* filter = ActiveFilter(slot);
  return filter != nullptr ? filter->ShownCount() : std::max<int32_t>(slot.LineCount, 0);
}

int64_t RowOfLine(const FileSlot& slot, int32_t line) {
  const LineFilter* filter = ActiveFilter(slot);
  if (filter == nullptr) return line;
  if (line >= slot.LineCount) return int64_t{filter->ShownCount()} + (line - slot.LineCount);
  return filter->RankOf(line);
}

int32_t LineOfRow(const FileSlot& slot, int64_t row) {
  const LineFilter* filter = ActiveFilter(slot);
  row = std::max<int64_t>(row, 0);
  if (filter == nullptr) return static_cast<int32_t>(std::min<int64_t>(row, kMaxLineCount));
  const int32_t shown = filter->ShownCount();
  if (row < shown) return filter->ShownLine(static_cast<int32_t>(row));
  return static_cast<int32_t>(
      std::min<int64_t>(int64_t{slot.LineCount} + (row - shown), kMaxLineCount));
}

bool LineShown(const FileSlot& slot, int32_t line) {
  if (line < 0 || line >= slot.LineCount) return false;
  const LineFilter* filter = ActiveFilter(slot);
  if (filter == nullptr) return true;
  const int32_t rank = filter->RankOf(line);
  return rank < filter->ShownCount() && filter->ShownLine(rank) == line;
}

void LinesOfRows(const FileSlot& slot, int64_t row, int count, std::vector<int32_t>& out) {
  out.clear();
  const int64_t end = std::min<int64_t>(row + std::max(count, 0), ShownRows(slot));
  for (int64_t r = std::max<int64_t>(row, 0); r < end; ++r) out.push_back(LineOfRow(slot, r));
}
