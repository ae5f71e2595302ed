#include "search/search.h"

#include <cstdio>
#include <vector>

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

void UpperCaseCp932(std::string& text) {
  UpperCaseAscii(TextEncoding::kCp932, text.data(), text.size());
}

void UpperCaseText(std::string& text, TextEncoding encoding) {
  UpperCaseAscii(encoding, text.data(), text.size());
}

std::string RegexError(const std::string& pattern, TextEncoding encoding) {
  // Compiled as the scan compiles it; case makes no difference to whether
  // an expression compiles.
  search_detail::UnitRegex regex;
  if (regex.Compile(pattern, encoding, false)) return {};
  // The engine reads one unit per character: its offset is the character's.
  return regex.error() + " (" + std::to_string(regex.errorOffset() + 1) + " 文字目)";
}

std::string FormatSearchLogLine(int slot, int32_t lineNumber, std::string_view text) {
  // The result window reads positions 1-3 and 7-15 back as numbers, so the
  // widths are fixed: 19 characters before the text.
  char prefix[48];
  const int length = std::snprintf(prefix, sizeof prefix, " %2d : %9d :  ", slot, lineNumber);
  std::string line(prefix, static_cast<size_t>(length));
  line.append(text);
  return line;
}

int SearchNextReferenceWith(const std::string& pattern, int32_t& matchStart, int32_t& matchEnd,
                            SearchRun& run) {
  const SearchOptions options = CurrentSearchOptions();
  if (CurrentSlot < 0 || CurrentSlot >= kSlotCount) return -1;
  FileSlot& slot = SlotTable[CurrentSlot];
  if (slot.ViewBase == nullptr) return -1;
  if (!search_detail::PatternCanMatch(pattern, options)) return -1;
  LineMatcher matcher;
  if (!matcher.Init(pattern, options, slot.Encoding)) return -1;
  const SearchDocument document = SearchDocument::Current();
  search_detail::PollClock clock;

  const int step = options.Down ? 1 : -1;
  char text[kLineBufferSize];
  const int32_t first = search_detail::FirstLine(slot, step, run.withTopLine);
  int32_t line = first;
  int result = -1;
  for (; line >= 0 && line < slot.LineCount; line += step) {
    if (line != first && (EntersBlock(line, step) || clock.Tick()) &&
        !search_detail::LetInputThrough(line, document, clock)) {
      break;
    }
    if (!SearchRunning) break;
    const int length = GetLineInto(slot, line, text);
    int64_t start = 0;
    int64_t end = 0;
    if (length >= kMaxLineText) {
      // GetLine's text may be cut: the whole line is matched.
      const bool found = matcher.MatchLong(slot, line, start, end, [&] {
        return !clock.Tick() || search_detail::LetInputThrough(line, document, clock);
      });
      if (!SearchRunning) break;
      if (!found) continue;
    } else {
      int32_t start32 = 0;
      int32_t end32 = 0;
      if (!matcher.Match(text, length, start32, end32)) continue;
      start = start32;
      end = end32;
    }
    search_detail::SetMatch(run, start, end, matchStart, matchEnd);
    if (options.Continuous) search_detail::ReportHit(slot, line, text, length, start, end);
    result = line;
    break;
  }
  run.undecided += matcher.undecided();
  if (result < 0 && !SearchRunning) {
    run.stopped = true;
    run.reached = line == first ? slot.TopLine : line - step;
  }
  return result;
}

int SearchNextReference(const std::string& pattern, int32_t& matchStart, int32_t& matchEnd) {
  SearchRun run;
  return SearchNextReferenceWith(pattern, matchStart, matchEnd, run);
}
