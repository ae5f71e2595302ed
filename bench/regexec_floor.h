// The floor for a regular expression, shared by the search benchmarks.
#pragma once

#include <pcre2posix.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bench/timing.h"
#include "store/encoding.h"
#include "store/slots.h"

// Seconds of regexec on every line's text of the current document and
// nothing else; the texts are fetched a block at a time outside the timed
// part. flags go to regcomp (REG_NEWLINE, with REG_UTF for UTF-8 text).
// matches: the lines that matched. -1 when the pattern does not compile.
// With REG_UTF in flags, a document in another encoding is read as the same
// text in UTF-8 (each line converted outside the timed part): the floor of a
// search that reads characters.
inline double RegexecFloor(const std::string& pattern, int flags, size_t* matches) {
  regex_t regex;
  if (regcomp(&regex, pattern.c_str(), flags) != 0) return -1;
  FileSlot& slot = SlotTable[CurrentSlot];
  std::vector<char> texts;
  std::vector<uint32_t> starts;
  Clock::duration timed{};
  *matches = 0;
  for (int32_t first = 0; first < slot.LineCount; first += kLinesPerBlock) {
    const int32_t last = std::min(first + kLinesPerBlock, slot.LineCount);
    texts.resize(static_cast<size_t>(last - first) * kLineBufferSize);
    starts.clear();
    size_t used = 0;
    const bool convert = (flags & REG_UTF) != 0 && slot.Encoding != TextEncoding::kUtf8;
    std::string utf8;
    for (int32_t line = first; line < last; ++line) {
      starts.push_back(static_cast<uint32_t>(used));
      int length = GetLineInto(slot, line, texts.data() + used);
      if (convert) {
        Encode(TextEncoding::kUtf8,
               Decode(slot.Encoding,
                      std::string_view(texts.data() + used, static_cast<size_t>(length))),
               utf8);
        // A UTF-8 character takes at most 3 bytes where the text took 1.
        if (texts.size() < used + utf8.size() + 1 + kLineBufferSize) {
          texts.resize(texts.size() * 2 + utf8.size() + kLineBufferSize);
        }
        std::memcpy(texts.data() + used, utf8.data(), utf8.size());
        length = static_cast<int>(utf8.size());
      }
      texts[used + static_cast<size_t>(length)] = '\0';
      used += static_cast<size_t>(length) + 1;
    }
    const Clock::time_point begin = Clock::now();
    for (const uint32_t start : starts) {
      regmatch_t slots[2];
      if (regexec(&regex, texts.data() + start, 2, slots, 0) == 0) ++*matches;
    }
    timed += Clock::now() - begin;
  }
  regfree(&regex);
  return Seconds(timed);
}
