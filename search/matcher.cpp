#define PCRE2_CODE_UNIT_WIDTH 8
#include "search/matcher.h"

#include <pcre2.h>

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
  compiled_ = regcomp(&regex_, PrepareRegex(pattern).c_str(), REG_NEWLINE) == 0;
  return compiled_;
}

bool CompiledRegex::MatchFrom(const char* subject, size_t length, size_t from, int32_t& matchStart,
                              int32_t& matchEnd) {
  // regexec's REG_STARTEND would present the rest of the line as a subject
  // of its own (^ and \A matching at its start, lookbehinds blind); the
  // library's own call with a start offset keeps the line whole. regcomp's
  // code and match data serve it as they are.
  const auto* code = static_cast<const pcre2_code*>(regex_.re_pcre2_code);
  auto* data = static_cast<pcre2_match_data*>(regex_.re_match_data);
  const int rc =
      pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject), length, from, 0, data, nullptr);
  if (rc < 0) return false;
  const PCRE2_SIZE* vector = pcre2_get_ovector_pointer(data);
  matchStart = static_cast<int32_t>(vector[0]);
  matchEnd = static_cast<int32_t>(vector[1]);
  return true;
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
    size_t start = static_cast<size_t>(slots[0].rm_so);
    size_t end = static_cast<size_t>(slots[0].rm_eo);
    if (start > 0 && IsTrailByte(subject, start)) {
      // A hit begins on a character start, as a plain hit does: try again
      // from the next one until a match does or none is left.
      const size_t visible = std::strlen(subject);
      int32_t s = 0;
      int32_t e = 0;
      do {
        if (start + 1 > visible || !regex_.MatchFrom(subject, visible, start + 1, s, e)) {
          return false;
        }
        start = static_cast<size_t>(s);
        end = static_cast<size_t>(e);
      } while (IsTrailByte(subject, start));
    }
    matchStart = static_cast<int32_t>(start);
    matchEnd = static_cast<int32_t>(end);
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

PollClock::PollClock()
    : interval_(std::chrono::milliseconds(std::max(0, SearchHooksRef().poll_interval_ms))),
      last_(Clock::now()),
      lastCheck_(last_) {}

bool PollClock::Check() {
  const Clock::time_point now = Clock::now();
  if (interval_ <= Clock::duration::zero()) {
    countdown_ = 1;
    return true;
  }
  const Clock::duration since = now - lastCheck_;
  lastCheck_ = now;
  if (since < std::chrono::milliseconds(1)) {
    stride_ = std::min(stride_ * 2, int32_t{4096});
  } else if (since > std::chrono::milliseconds(4)) {
    stride_ = std::max(stride_ / 2, int32_t{1});
  }
  countdown_ = stride_;
  return now - last_ >= interval_;
}

bool LetInputThrough(int32_t line, const SearchDocument& document, PollClock& clock) {
  ReportProgress(line);
  clock.Polled();
  if (!document.StillCurrent()) SearchRunning = false;
  return SearchRunning;
}

void ReportHit(FileSlot& slot, int32_t line, const char* text, int length) {
  const SearchHooks& hooks = SearchHooksRef();
  if (hooks.hit) hooks.hit(CurrentSlot, line, std::string_view(text, static_cast<size_t>(length)));
  slot.TopLine = line;
}

}  // namespace search_detail

SearchDocument SearchDocument::Current() {
  SearchDocument document;
  if (CurrentSlot < 0 || CurrentSlot >= kSlotCount) return document;
  const FileSlot& slot = SlotTable[CurrentSlot];
  document.slot = CurrentSlot;
  document.serial = slot.OpenSerial;
  document.lineCount = slot.LineCount;
  document.tabWidth = TabWidth;
  document.encoding = slot.Encoding;
  return document;
}

bool SearchDocument::StillCurrent() const {
  if (CurrentSlot != slot || slot < 0 || slot >= kSlotCount) return false;
  const FileSlot& current = SlotTable[slot];
  return current.ViewBase != nullptr && current.OpenSerial == serial &&
         current.LineCount == lineCount && TabWidth == tabWidth && current.Encoding == encoding;
}
