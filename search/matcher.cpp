#include "search/matcher.h"

#include <cstring>

namespace search_detail {

bool IsTrailByte(const char* text, size_t pos) {
  size_t run = 0;
  while (run < pos && IsLeadByte(static_cast<unsigned char>(text[pos - run - 1]))) ++run;
  return (run & 1) != 0;
}

size_t FindPlain(const char* text, size_t length, const char* needle, size_t needleLength) {
  if (needleLength == 0 || needleLength > length) return SIZE_MAX;
  size_t from = 0;
  while (from + needleLength <= length) {
    const void* found = memmem(text + from, length - from, needle, needleLength);
    if (found == nullptr) return SIZE_MAX;
    const size_t pos = static_cast<size_t>(static_cast<const char*>(found) - text);
    if (!IsTrailByte(text, pos)) return pos;
    from = pos + 1;
  }
  return SIZE_MAX;
}

void UpperCaseBytes(char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (IsLeadByte(c)) {
      ++i;  // the trail byte stays as it is, whatever its value
    } else if (c >= 'a' && c <= 'z') {
      text[i] = static_cast<char>(c - ('a' - 'A'));
    }
  }
}

CompiledRegex::~CompiledRegex() {
  if (compiled_) regfree(&regex_);
}

bool CompiledRegex::Compile(const std::string& pattern) {
  if (compiled_) {
    regfree(&regex_);
    compiled_ = false;
  }
  compiled_ = regcomp(&regex_, pattern.c_str(), REG_NEWLINE) == 0;
  return compiled_;
}

bool LineMatcher::Init(const std::string& pattern, const SearchOptions& options) {
  pattern_ = pattern;
  options_ = options;
  if (options.Regex) return regex_.Compile(pattern);
  return true;
}

bool LineMatcher::Match(const char* text, int length, int32_t& matchStart, int32_t& matchEnd) {
  std::memcpy(subject_, text, static_cast<size_t>(length));
  subject_[length] = '\0';
  if (options_.IgnoreCase) UpperCaseBytes(subject_, static_cast<size_t>(length));
  return MatchSubject(subject_, length, matchStart, matchEnd);
}

bool LineMatcher::MatchSubject(const char* subject, int length, int32_t& matchStart,
                               int32_t& matchEnd) {
  if (options_.Regex) {
    // The subject is a C string: a line with an embedded zero byte is seen by
    // the expression only up to that byte.
    regmatch_t slots[2];
    if (regexec(regex_.get(), subject, 2, slots, 0) != 0) return false;
    matchStart = static_cast<int32_t>(slots[0].rm_so);
    matchEnd = static_cast<int32_t>(slots[0].rm_eo);
    return true;
  }
  const size_t pos =
      FindPlain(subject, static_cast<size_t>(length), pattern_.data(), pattern_.size());
  if (pos == SIZE_MAX) return false;
  matchStart = static_cast<int32_t>(pos);
  matchEnd = static_cast<int32_t>(pos + pattern_.size());
  return true;
}

void ReportProgress(int32_t line) {
  const SearchHooks& hooks = SearchHooksRef();
  if (hooks.progress) hooks.progress(line);
}

void ReportHit(FileSlot& slot, int32_t line, const char* text, int length) {
  const SearchHooks& hooks = SearchHooksRef();
  if (hooks.hit) hooks.hit(CurrentSlot, line, std::string_view(text, static_cast<size_t>(length)));
  slot.TopLine = line;
}

}  // namespace search_detail
