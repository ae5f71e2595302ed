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

size_t FindPlain(const char* text, size_t length, const char* needle, size_t needleLength,
                 TextEncoding encoding) {
  if (needleLength == 0 || needleLength > length) return SIZE_MAX;
  size_t from = 0;
  while (from + needleLength <= length) {
    const void* found = memmem(text + from, length - from, needle, needleLength);
    if (found == nullptr) return SIZE_MAX;
    const size_t pos = static_cast<size_t>(static_cast<const char*>(found) - text);
    const bool start = encoding == TextEncoding::kCp932 ? !IsTrailByte(text, pos)
                                                        : IsCharStart(encoding, text, length, pos);
    if (start) return pos;
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

void UpperCaseBytes(char* text, size_t length, TextEncoding encoding) {
  if (encoding == TextEncoding::kCp932) {
    UpperCaseBytes(text, length);
  } else {
    UpperCaseAscii(encoding, text, length);
  }
}

bool SanitizeUtf8(char* text, size_t length) {
  bool changed = false;
  size_t i = 0;
  while (i < length) {
    // Eight ASCII bytes at a time: the common case.
    if (i + 8 <= length) {
      uint64_t word;
      std::memcpy(&word, text + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const CharSpan c = NextChar(TextEncoding::kUtf8, text + i, length - i);
    if (c.code == kNoCharacter) {
      text[i] = kInvalidByteStandIn;
      changed = true;
    }
    i += static_cast<size_t>(c.length);
  }
  return changed;
}

std::string EngineRegex(const std::string& pattern, TextEncoding encoding, bool* utf) {
  *utf = encoding != TextEncoding::kCp932;
  switch (encoding) {
    case TextEncoding::kCp932:
      return PrepareRegex(pattern);
    case TextEncoding::kUtf8:
      return pattern;
    case TextEncoding::kEucJp:
      break;
  }
  const std::u16string text = Decode(encoding, pattern, DecodeMode::kReplacement);
  std::string utf8;
  Encode(TextEncoding::kUtf8, text, utf8);
  return utf8;
}

std::string RegexSkeleton(const std::string& pattern, TextEncoding encoding) {
  if (encoding == TextEncoding::kCp932) return pattern;
  std::string skeleton;
  size_t i = 0;
  while (i < pattern.size()) {
    if (static_cast<unsigned char>(pattern[i]) < 0x80) {
      skeleton += pattern[i++];
      continue;
    }
    skeleton += '.';
    i += static_cast<size_t>(NextChar(encoding, pattern.data() + i, pattern.size() - i).length);
  }
  return skeleton;
}

CompiledRegex::~CompiledRegex() {
  if (compiled_) regfree(&regex_);
}

bool CompiledRegex::Compile(const std::string& pattern, bool utf) {
  if (compiled_) {
    regfree(&regex_);
    compiled_ = false;
  }
  compiled_ = regcomp(&regex_, pattern.c_str(), REG_NEWLINE | (utf ? REG_UTF : 0)) == 0;
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

bool LineMatcher::Init(const std::string& pattern, const SearchOptions& options,
                       TextEncoding encoding) {
  pattern_ = pattern;
  options_ = options;
  encoding_ = encoding;
  analysed_ = RegexSkeleton(pattern, encoding);
  if (!options.Regex) return true;
  bool utf = false;
  const std::string engine = EngineRegex(pattern, encoding, &utf);
  return regex_.Compile(engine, utf);
}

bool LineMatcher::Match(const char* text, int length, int32_t& matchStart, int32_t& matchEnd) {
  std::memcpy(subject_, text, static_cast<size_t>(length));
  subject_[length] = '\0';
  if (options_.IgnoreCase) UpperCaseBytes(subject_, static_cast<size_t>(length), encoding_);
  return MatchSubject(subject_, length, matchStart, matchEnd);
}

bool LineMatcher::MatchEucJp(const char* subject, int length, int32_t& matchStart,
                             int32_t& matchEnd) {
  // The regex sees the line up to its first zero byte, as in every encoding.
  const size_t visible = strnlen(subject, static_cast<size_t>(length));
  converted_.clear();
  origin_.clear();
  size_t at = 0;
  while (at < visible) {
    const CharSpan c = NextChar(encoding_, subject + at, visible - at);
    if (c.code == kNoCharacter) {
      for (int i = 0; i < c.length; ++i) {
        converted_ += kInvalidByteStandIn;
        origin_.push_back(static_cast<int32_t>(at) + i);
      }
    } else {
      // EUC-JP holds nothing beyond the Basic Multilingual Plane.
      const char32_t v = c.code;
      const size_t before = converted_.size();
      if (v < 0x80) {
        converted_ += static_cast<char>(v);
      } else if (v < 0x800) {
        converted_ += static_cast<char>(0xC0 | (v >> 6));
        converted_ += static_cast<char>(0x80 | (v & 0x3F));
      } else {
        converted_ += static_cast<char>(0xE0 | (v >> 12));
        converted_ += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
        converted_ += static_cast<char>(0x80 | (v & 0x3F));
      }
      origin_.insert(origin_.end(), converted_.size() - before, static_cast<int32_t>(at));
    }
    at += static_cast<size_t>(c.length);
  }
  origin_.push_back(static_cast<int32_t>(visible));
  regmatch_t slots[2];
  slots[0].rm_so = 0;
  slots[0].rm_eo = static_cast<regoff_t>(converted_.size());
  if (regexec(regex_.get(), converted_.c_str(), 2, slots, REG_STARTEND) != 0) return false;
  // Every UTF-8 match starts and ends on a character edge, which maps back to
  // the first byte of an EUC-JP character (or the end).
  matchStart = origin_[static_cast<size_t>(slots[0].rm_so)];
  matchEnd = origin_[static_cast<size_t>(slots[0].rm_eo)];
  return true;
}

bool LineMatcher::MatchSubject(const char* subject, int length, int32_t& matchStart,
                               int32_t& matchEnd) {
  if (options_.Regex && encoding_ == TextEncoding::kEucJp) {
    return MatchEucJp(subject, length, matchStart, matchEnd);
  }
  if (options_.Regex && encoding_ == TextEncoding::kUtf8) {
    // Valid UTF-8 is what the library reads; every match then begins and
    // ends on a character edge. The subject's own bytes are left alone.
    const size_t visible = strnlen(subject, static_cast<size_t>(length));
    std::memcpy(utf8Subject_, subject, visible);
    utf8Subject_[visible] = '\0';
    SanitizeUtf8(utf8Subject_, visible);
    regmatch_t slots[2];
    slots[0].rm_so = 0;
    slots[0].rm_eo = static_cast<regoff_t>(visible);
    if (regexec(regex_.get(), utf8Subject_, 2, slots, REG_STARTEND) != 0) return false;
    matchStart = static_cast<int32_t>(slots[0].rm_so);
    matchEnd = static_cast<int32_t>(slots[0].rm_eo);
    return true;
  }
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
      FindPlain(subject, static_cast<size_t>(length), pattern_.data(), pattern_.size(), encoding_);
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
