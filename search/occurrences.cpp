#include "search/occurrences.h"

#include <algorithm>
#include <cstring>

#include "search/matcher.h"

struct OccurrenceFinder::State {
  TextEncoding encoding = TextEncoding::kCp932;
  bool regex = false;
  bool ignoreCase = false;
  std::u32string needle;
  search_detail::UnitRegex expression;
  std::vector<char32_t> units;
  std::vector<int32_t> origin;
};

OccurrenceFinder::OccurrenceFinder() : state_(std::make_unique<State>()) {}
OccurrenceFinder::~OccurrenceFinder() = default;

bool OccurrenceFinder::Init(const std::string& pattern, bool regex, bool ignoreCase,
                            TextEncoding encoding) {
  State& s = *state_;
  s.encoding = encoding;
  s.regex = regex;
  s.ignoreCase = ignoreCase;
  if (pattern.empty()) return false;
  if (regex) return s.expression.Compile(pattern, encoding, ignoreCase);
  s.needle.assign(pattern.size(), U'\0');
  s.needle.resize(DecodeUnits(encoding, pattern.data(), pattern.size(), s.needle.data(), nullptr));
  if (ignoreCase) search_detail::FoldUnits(s.needle.data(), s.needle.size());
  return !s.needle.empty();
}

void OccurrenceFinder::FindAll(const char* text, int length,
                               std::vector<std::pair<int32_t, int32_t>>& out) {
  out.clear();
  State& s = *state_;
  size_t bytes = static_cast<size_t>(std::max(length, 0));
  // The expression sees the line up to its first zero byte, as the search.
  if (s.regex) bytes = strnlen(text, bytes);
  s.units.resize(bytes + 1);
  s.origin.resize(bytes + 2);
  const size_t count = DecodeUnits(s.encoding, text, bytes, s.units.data(), s.origin.data());
  auto add = [&](size_t start, size_t end) {
    if (end > start) out.emplace_back(s.origin[start], s.origin[end]);
  };
  if (s.regex) {
    if (!s.expression.compiled()) return;
    size_t from = 0;
    while (from <= count) {
      size_t start = 0;
      size_t end = 0;
      if (s.expression.Find(s.units.data(), count, from, start, end) !=
          search_detail::LineMatch::kYes) {
        break;
      }
      add(start, end);
      from = end > start ? end : start + 1;
    }
    return;
  }
  if (s.needle.empty() || s.needle.size() > count) return;
  if (s.ignoreCase) search_detail::FoldUnits(s.units.data(), count);
  const char32_t* begin = s.units.data();
  const char32_t* end = begin + count;
  for (const char32_t* at = begin;;) {
    at = std::search(at, end, s.needle.begin(), s.needle.end());
    if (at == end) break;
    const size_t start = static_cast<size_t>(at - begin);
    add(start, start + s.needle.size());
    at += s.needle.size();
  }
}
