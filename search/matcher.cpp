#define PCRE2_CODE_UNIT_WIDTH 0
#include "search/matcher.h"

#include <pcre2.h>

#include <algorithm>
#include <cstring>

#include "search/regexprep.h"

namespace search_detail {

namespace {

// The pattern's characters (DecodeUnits) up to length bytes.
std::u32string PatternUnits(const char* pattern, size_t length, TextEncoding encoding) {
  std::u32string units(length, U'\0');
  units.resize(DecodeUnits(encoding, pattern, length, units.data(), nullptr));
  return units;
}

}  // namespace

UnitRegex::~UnitRegex() {
  pcre2_match_data_free_32(static_cast<pcre2_match_data_32*>(data_));
  pcre2_code_free_32(static_cast<pcre2_code_32*>(code_));
}

bool UnitRegex::Compile(const std::string& pattern, TextEncoding encoding, bool ignoreCase) {
  // The expression ends at its first zero byte, as the line's subject does.
  const std::string typed(pattern.c_str());
  const std::u32string units = PatternUnits(typed.data(), typed.size(), encoding);
  // MULTILINE: ^ and $ at the line ends of joined lines too. Never UTF: a
  // unit is a character already, and units above Unicode are stand-ins.
  uint32_t options = PCRE2_MULTILINE | PCRE2_NEVER_UTF;
  if (ignoreCase) options |= PCRE2_CASELESS;
  int code = 0;
  PCRE2_SIZE offset = 0;
  code_ = pcre2_compile_32(reinterpret_cast<PCRE2_SPTR32>(units.data()), units.size(), options,
                           &code, &offset, nullptr);
  if (code_ == nullptr) {
    PCRE2_UCHAR32 reason[256];
    std::string text;
    if (pcre2_get_error_message_32(code, reason, 256) > 0) {
      for (const PCRE2_UCHAR32* r = reason; *r != 0; ++r) text += static_cast<char>(*r & 0x7F);
    }
    error_ = text;
    errorOffset_ = std::min<size_t>(offset, units.size());
    return false;
  }
  data_ = pcre2_match_data_create_32(1, nullptr);
  return true;
}

LineMatch UnitRegex::Find(const char32_t* units, size_t count, size_t from, size_t& start,
                          size_t& end) {
  auto* data = static_cast<pcre2_match_data_32*>(data_);
  const int rc =
      pcre2_match_32(static_cast<const pcre2_code_32*>(code_),
                     reinterpret_cast<PCRE2_SPTR32>(units), count, from, 0, data, nullptr);
  if (rc == PCRE2_ERROR_NOMATCH) return LineMatch::kNo;
  if (rc < 0) return LineMatch::kUndecided;
  const PCRE2_SIZE* vector = pcre2_get_ovector_pointer_32(data);
  start = vector[0];
  end = vector[1];
  return LineMatch::kYes;
}

UnitRegex::Piece UnitRegex::FindInPiece(const char32_t* units, size_t count, size_t from,
                                        bool notAtStart, bool more, size_t& start, size_t& end) {
  auto* data = static_cast<pcre2_match_data_32*>(data_);
  // Hard partial matching: a match that reaches the piece's end (a $ or \b
  // there included) is reported as partial, never taken as whole.
  uint32_t flags = 0;
  if (notAtStart) flags |= PCRE2_NOTBOL;
  if (more) flags |= PCRE2_PARTIAL_HARD;
  const int rc =
      pcre2_match_32(static_cast<const pcre2_code_32*>(code_),
                     reinterpret_cast<PCRE2_SPTR32>(units), count, from, flags, data, nullptr);
  if (rc == PCRE2_ERROR_NOMATCH) return Piece::kNo;
  const PCRE2_SIZE* vector = pcre2_get_ovector_pointer_32(data);
  if (rc == PCRE2_ERROR_PARTIAL) {
    start = vector[0];
    return Piece::kPartial;
  }
  if (rc < 0) return Piece::kUndecided;
  start = vector[0];
  end = vector[1];
  return Piece::kYes;
}

size_t UnitRegex::lookBehind() const {
  uint32_t units = 0;
  pcre2_pattern_info_32(static_cast<const pcre2_code_32*>(code_), PCRE2_INFO_MAXLOOKBEHIND, &units);
  // At least one: \b and \B look at the character before.
  return std::max<size_t>(units, 1);
}

std::string RegexSkeleton(const std::string& pattern, TextEncoding encoding) {
  const std::string typed(pattern.c_str());
  std::string skeleton;
  size_t i = 0;
  size_t backslashes = 0;  // the run of backslashes just before typed[i]
  while (i < typed.size()) {
    if (static_cast<unsigned char>(typed[i]) < 0x80) {
      backslashes = typed[i] == '\\' ? backslashes + 1 : 0;
      skeleton += typed[i++];
      continue;
    }
    const CharSpan c = NextChar(encoding, typed.data() + i, typed.size() - i);
    const bool escaped = (backslashes & 1) != 0;
    backslashes = 0;
    if (c.code == kNoCharacter || HasOtherCodes(encoding, c.code)) {
      // Escaped, the character stays one that is no literal byte: \d.
      skeleton += escaped ? 'd' : '.';
    } else {
      skeleton.append(typed, i, static_cast<size_t>(c.length));
    }
    i += static_cast<size_t>(c.length);
  }
  return skeleton;
}

bool LineMatcher::Init(const std::string& pattern, const SearchOptions& options,
                       TextEncoding encoding) {
  pattern_ = pattern;
  options_ = options;
  encoding_ = encoding;
  undecided_ = 0;
  if (options.Regex) {
    if (!regex_.Compile(pattern, encoding, options.IgnoreCase)) return false;
    const size_t most = RegexMaxUnits(RegexSkeleton(pattern, encoding), encoding);
    reachBefore_ = most == SIZE_MAX ? SIZE_MAX : most + regex_.lookBehind();
    return true;
  }
  needle_ = PatternUnits(pattern.data(), pattern.size(), encoding);
  if (options.IgnoreCase) FoldUnits(needle_.data(), needle_.size());
  reachBefore_ = needle_.size();
  return true;
}

bool LineMatcher::Match(const char* text, int length, int32_t& matchStart, int32_t& matchEnd) {
  size_t bytes = static_cast<size_t>(std::max(length, 0));
  // The expression sees the line up to its first zero byte (no character
  // of any of the encodings holds one).
  if (options_.Regex) bytes = strnlen(text, bytes);
  const size_t count = DecodeUnits(encoding_, text, bytes, units_, origin_);
  size_t start = 0;
  size_t end = 0;
  if (options_.Regex) {
    const LineMatch found = regex_.Find(units_, count, 0, start, end);
    if (found == LineMatch::kUndecided) ++undecided_;
    if (found != LineMatch::kYes) return false;
  } else {
    if (needle_.empty() || needle_.size() > count) return false;
    if (options_.IgnoreCase) FoldUnits(units_, count);
    const char32_t* hit = std::search(units_, units_ + count, needle_.begin(), needle_.end());
    if (hit == units_ + count) return false;
    start = static_cast<size_t>(hit - units_);
    end = start + needle_.size();
  }
  matchStart = origin_[start];
  matchEnd = origin_[end];
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

void ReportHit(FileSlot& slot, int32_t line, const char* text, int length, int64_t matchStart,
               int64_t matchEnd) {
  const SearchHooks& hooks = SearchHooksRef();
  HitSpan span{matchStart, matchEnd, length >= kMaxLineText};
  if (hooks.hit && span.cut) {
    hooks.hit(CurrentSlot, line, LongHitText(slot, line, matchStart, matchEnd), span);
  } else if (hooks.hit) {
    hooks.hit(CurrentSlot, line, std::string_view(text, static_cast<size_t>(length)), span);
  }
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
