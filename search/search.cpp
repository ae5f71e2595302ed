#include "search/search.h"

#include <cstdio>

#include "search/matcher.h"
#include "store/slots.h"

using search_detail::EntersBlock;
using search_detail::LineMatcher;

bool SearchRunning = false;

SearchHooks& SearchHooksRef() {
  static SearchHooks hooks;
  return hooks;
}

SearchOptions& DefaultSearchOptions() {
  static SearchOptions options;
  return options;
}

SearchOptions CurrentSearchOptions() {
  const SearchHooks& hooks = SearchHooksRef();
  return hooks.options ? hooks.options() : DefaultSearchOptions();
}

void UpperCaseCp932(std::string& text) { search_detail::UpperCaseBytes(text.data(), text.size()); }

std::string FormatSearchLogLine(int slot, int32_t lineNumber, std::string_view text) {
  // The result window reads positions 1-3 and 7-15 back as numbers, so the
  // widths are fixed: 19 characters before the text.
  char prefix[48];
  const int length = std::snprintf(prefix, sizeof prefix, " %2d : %9d :  ", slot, lineNumber);
  std::string line(prefix, static_cast<size_t>(length));
  line.append(text);
  return line;
}

int SearchNextReference(const std::string& pattern, int32_t& matchStart, int32_t& matchEnd) {
  const SearchOptions options = CurrentSearchOptions();
  if (CurrentSlot < 0 || CurrentSlot >= kSlotCount) return -1;
  FileSlot& slot = SlotTable[CurrentSlot];
  if (slot.ViewBase == nullptr) return -1;
  if (!search_detail::PatternCanMatch(pattern, options)) return -1;
  LineMatcher matcher;
  if (!matcher.Init(pattern, options)) return -1;

  const int step = options.Down ? 1 : -1;
  char text[kLineBufferSize];
  const int32_t first = search_detail::FirstLine(slot, step);
  for (int32_t line = first; line >= 0 && line < slot.LineCount; line += step) {
    if (line != first && EntersBlock(line, step)) {
      search_detail::ReportProgress(line);
    }
    if (!SearchRunning) return -1;
    const int length = GetLineInto(slot, line, text);
    int32_t start = 0;
    int32_t end = 0;
    if (!matcher.Match(text, length, start, end)) continue;
    matchStart = start;
    matchEnd = end;
    if (options.Continuous) search_detail::ReportHit(slot, line, text, length);
    return line;
  }
  return -1;
}
