// The exact per-line matcher shared by the line-by-line scan and the fast
// scan: whatever the fast scan finds in the raw bytes is confirmed here, on the
// line's display text, so both scans agree on every hit and every offset.
#pragma once

#include <pcre2posix.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "search/regexprep.h"
#include "search/search.h"
#include "store/encoding.h"
#include "store/slots.h"

namespace search_detail {

// True when position pos of text is the second byte of a double-byte
// character: the run of lead bytes directly before it, bounded by a byte that
// is not a lead byte or by the start of the text, has odd length. Walking the
// text forward from a character start gives the same answer, because every
// byte outside the lead set ends a character.
bool IsTrailByte(const char* text, size_t pos);

// Leftmost occurrence of needle in text that begins a character of the
// encoding (in Shift-JIS: does not start on a trail byte), or SIZE_MAX. An
// empty needle is never found. The needle is whole characters of the same
// encoding, so a hit that begins on a character start also ends on an edge.
size_t FindPlain(const char* text, size_t length, const char* needle, size_t needleLength,
                 TextEncoding encoding = TextEncoding::kCp932);

// a-z to A-Z, walking the text from its first byte as a character start; the
// byte after a lead byte is skipped. Only ASCII letters are folded.
void UpperCaseBytes(char* text, size_t length);
// The same in any encoding: only ASCII letters, never a byte inside a
// multi-byte character.
void UpperCaseBytes(char* text, size_t length, TextEncoding encoding);

// Regular expressions run in PCRE2's UTF mode for UTF-8 and EUC-JP text, so
// that '.' and a class take a whole character. The library refuses a subject
// that is not valid UTF-8; each byte that begins no character is therefore
// replaced by this one before matching: a one-byte character, as the page
// shows it (one stand-in), that '.' and a negated class match and that no
// typed letter or character does. Offsets stay valid.
constexpr char kInvalidByteStandIn = 0x1A;
// Replaces the bytes of text that begin no UTF-8 character; true when any was.
bool SanitizeUtf8(char* text, size_t length);

// False for a plain text that no line can hold: the empty text, and a text
// longer than the longest line text (2047 bytes), which simply finds nothing.
inline bool PatternCanMatch(const std::string& pattern, const SearchOptions& options) {
  return options.Regex || (!pattern.empty() && pattern.size() <= size_t{kMaxLineText});
}

// regcomp/regfree for one call. The expression (PrepareRegex of the typed
// one) is compiled with REG_NEWLINE alone; case is handled by upper-casing
// the subject, never by REG_ICASE.
class CompiledRegex {
 public:
  CompiledRegex() = default;
  ~CompiledRegex();
  CompiledRegex(const CompiledRegex&) = delete;
  CompiledRegex& operator=(const CompiledRegex&) = delete;

  // utf: the expression is UTF-8 and the subjects are (sanitized) UTF-8.
  bool Compile(const std::string& pattern, bool utf = false);
  bool compiled() const { return compiled_; }
  regex_t* get() { return &regex_; }

  // The first match that starts at or after from in subject[0, length)
  // (offsets into the whole subject, which lookbehinds and anchors see as
  // the line it is: ^ does not match at from > 0). False on no match.
  bool MatchFrom(const char* subject, size_t length, size_t from, int32_t& matchStart,
                 int32_t& matchEnd);

 private:
  regex_t regex_{};
  bool compiled_ = false;
};

// Matches one line's display text the way the scan must: upper-cased first
// when case is ignored, then the plain leftmost non-trail occurrence or the
// first regexec match that begins on a character start (a match that begins
// on the second byte of a character is tried again from the next character
// start).
class LineMatcher {
 public:
  // pattern is in the document's encoding. False when the regular
  // expression does not compile.
  bool Init(const std::string& pattern, const SearchOptions& options,
            TextEncoding encoding = TextEncoding::kCp932);
  const std::string& pattern() const { return pattern_; }
  const SearchOptions& options() const { return options_; }
  TextEncoding encoding() const { return encoding_; }
  regex_t* regex() { return regex_.get(); }
  // True when the compiled expression reads UTF-8 subjects: a subject built
  // for regex() must then be passed through SanitizeUtf8. EUC-JP lines are
  // converted (MatchSubject does it) and never reach regex() directly.
  bool utf8Subjects() const { return options_.Regex && encoding_ == TextEncoding::kUtf8; }
  // The expression as the fast scan's analyses may read it: one ASCII
  // placeholder for each multi-byte character (see RegexSkeleton).
  const std::string& analysedPattern() const { return analysed_; }

  // text holds length bytes of a line (kLineBufferSize bytes of room); it is
  // not changed. True on a match, with the offsets into the text.
  bool Match(const char* text, int length, int32_t& matchStart, int32_t& matchEnd);

  // Same, for a subject that is already upper-cased when case is ignored and
  // NUL-terminated at subject[length] (the regex sees it up to its first zero).
  bool MatchSubject(const char* subject, int length, int32_t& matchStart, int32_t& matchEnd);

 private:
  // EUC-JP under a regular expression: the line as UTF-8, its invalid bytes
  // as stand-ins, and for each UTF-8 byte the offset of its EUC-JP character.
  bool MatchEucJp(const char* subject, int length, int32_t& matchStart, int32_t& matchEnd);

  std::string pattern_;
  std::string analysed_;
  SearchOptions options_;
  TextEncoding encoding_ = TextEncoding::kCp932;
  CompiledRegex regex_;
  char subject_[kLineBufferSize + 1];
  char utf8Subject_[kLineBufferSize + 1];
  std::string converted_;
  std::vector<int32_t> origin_;
};

// The expression handed to the engine and whether it runs in UTF mode:
// Shift-JIS through PrepareRegex (double-byte characters as units), UTF-8 as
// typed, EUC-JP converted to UTF-8.
std::string EngineRegex(const std::string& pattern, TextEncoding encoding, bool* utf);

// The typed expression with each multi-byte character of the encoding
// replaced by '.', which the fast scan's analyses (RequiredLiteral,
// RegexIsLineLocal) read as one character that is no literal byte: what they
// find in it holds for the real expression, and they never see a byte of a
// multi-byte character as a metacharacter. Shift-JIS is returned as it is
// (the analyses read its double-byte characters themselves).
std::string RegexSkeleton(const std::string& pattern, TextEncoding encoding);

// The first line a scan examines: the one after (or before) the top line,
// kept inside the document so that a top line out of range (which the view
// never sets) cannot make the scan report a line that does not exist.
inline int32_t FirstLine(const FileSlot& slot, int step) {
  const int64_t first = int64_t{slot.TopLine} + step;
  if (step > 0) return static_cast<int32_t>(std::max<int64_t>(first, 0));
  return static_cast<int32_t>(std::min<int64_t>(first, int64_t{slot.LineCount} - 1));
}

// True when the scan reaches line at the start of a block in its direction;
// the progress hook is called there (not for the first line examined).
inline bool EntersBlock(int32_t line, int step) {
  return step > 0 ? (line & (kLinesPerBlock - 1)) == 0
                  : (line & (kLinesPerBlock - 1)) == kLinesPerBlock - 1;
}

// Calls the progress hook, if any.
void ReportProgress(int32_t line);

// Tells when the scan should call the progress hook by time, so that input
// gets through while single lines are slow. The clock is read every stride
// ticks; the stride adapts so that it is read about once a millisecond,
// whatever a tick costs.
class PollClock {
 public:
  using Clock = std::chrono::steady_clock;
  PollClock();
  // Counts one unit of work (a line, a candidate, a chunk); true when the
  // interval has run out since the last poll.
  bool Tick() {
    if (--countdown_ > 0) return false;
    return Check();
  }
  // A progress call was made (by time or at a block start).
  void Polled() { last_ = Clock::now(); }

 private:
  bool Check();
  Clock::duration interval_;
  Clock::time_point last_;
  Clock::time_point lastCheck_;
  int32_t stride_ = 1;
  int32_t countdown_ = 1;
};

// Calls the progress hook and tells whether the scan may go on: SearchRunning
// still set and the document the same. When the document changed,
// SearchRunning is cleared, so that the caller stops as after a cancel.
bool LetInputThrough(int32_t line, const SearchDocument& document, PollClock& clock);

// Continuous search: the hit hook with the text as fetched, then TopLine.
void ReportHit(FileSlot& slot, int32_t line, const char* text, int length);

}  // namespace search_detail
