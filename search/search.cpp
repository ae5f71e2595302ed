#define PCRE2_CODE_UNIT_WIDTH 8
#include "search/search.h"

#include <pcre2.h>

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

void UpperCaseCp932(std::string& text) { search_detail::UpperCaseBytes(text.data(), text.size()); }

void UpperCaseText(std::string& text, TextEncoding encoding) {
  search_detail::UpperCaseBytes(text.data(), text.size(), encoding);
}

std::string RegexError(const std::string& pattern, TextEncoding encoding) {
  std::vector<size_t> origin;
  bool utf = false;
  const std::string prepared = encoding == TextEncoding::kCp932
                                   ? search_detail::PrepareRegex(pattern, &origin)
                                   : search_detail::EngineRegex(pattern, encoding, &utf);
  int code = 0;
  PCRE2_SIZE offset = 0;
  // regcomp's options for REG_NEWLINE (and REG_UTF).
  pcre2_code* compiled =
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(prepared.c_str()), PCRE2_ZERO_TERMINATED,
                    PCRE2_MULTILINE | (utf ? PCRE2_UTF : 0), &code, &offset, nullptr);
  if (compiled != nullptr) {
    pcre2_code_free(compiled);
    return {};
  }
  PCRE2_UCHAR reason[256];
  if (pcre2_get_error_message(code, reason, sizeof reason) < 0) reason[0] = 0;
  // The offset into the prepared expression, back to a character of the
  // typed one (the end when it lies beyond it).
  size_t characters = 0;
  if (utf) {
    // The engine's text is UTF-8: count its characters up to the offset.
    for (size_t i = 0; i < offset && i < prepared.size(); ++i) {
      characters += (static_cast<unsigned char>(prepared[i]) & 0xC0) != 0x80;
    }
  } else {
    const std::string typed(pattern.c_str());
    const size_t at = offset < origin.size() ? origin[offset] : typed.size();
    for (size_t i = 0; i < at && i < typed.size(); ++characters) {
      i += search_detail::CharLength(typed.data(), i, typed.size());
    }
  }
  return std::string(reinterpret_cast<const char*>(reason)) + " (" +
         std::to_string(characters + 1) + " 文字目)";
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

int SearchNextReference(const std::string& pattern, int32_t& matchStart, int32_t& matchEnd) {
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
  const int32_t first = search_detail::FirstLine(slot, step);
  for (int32_t line = first; line >= 0 && line < slot.LineCount; line += step) {
    if (line != first && (EntersBlock(line, step) || clock.Tick()) &&
        !search_detail::LetInputThrough(line, document, clock)) {
      return -1;
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
