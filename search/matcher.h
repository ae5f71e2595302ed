// The exact per-line matcher shared by the line-by-line scan and the fast
// scan: whatever the fast scan finds in the raw bytes is confirmed here, on the
// line's display text, so both scans agree on every hit and every offset.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "search/regexprep.h"
#include "search/search.h"
#include "store/encoding.h"
#include "store/slots.h"
#include "store/textpieces.h"

namespace search_detail {

// False for a plain text that no line can hold: the empty text.
inline bool PatternCanMatch(const std::string& pattern, const SearchOptions& options) {
  return options.Regex || !pattern.empty();
}

// What matching one line decided. kUndecided: the engine reached its match
// limit on the line, so it is neither a hit nor known to hold none.
enum class LineMatch : uint8_t { kNo, kYes, kUndecided };

// A regular expression compiled for subjects of characters: one 32-bit unit
// per character (DecodeUnits), whatever the document's encoding, so that '.'
// is one character, classes and ranges go by code point, and \b and \W see
// whole characters in every encoding. Case is ignored, when asked, by the
// engine (PCRE2_CASELESS) outside UTF and UCP mode: with the library's own
// tables only ASCII letters have another case, so the expression is never
// rewritten and \d, \w, classes and (?i) mean what they mean without it.
class UnitRegex {
 public:
  UnitRegex() = default;
  ~UnitRegex();
  UnitRegex(const UnitRegex&) = delete;
  UnitRegex& operator=(const UnitRegex&) = delete;

  // pattern: bytes of the encoding, up to its first zero byte. False when it
  // does not compile; error and errorOffset (in characters) then say why.
  bool Compile(const std::string& pattern, TextEncoding encoding, bool ignoreCase);
  bool compiled() const { return code_ != nullptr; }
  const std::string& error() const { return error_; }
  size_t errorOffset() const { return errorOffset_; }

  // The first match in units[0, count) that starts at or after from.
  // kUndecided when the engine gave up (a resource limit).
  LineMatch Find(const char32_t* units, size_t count, size_t from, size_t& start, size_t& end);

  // Find on a piece of a longer subject: notAtStart when units[0] is not the
  // subject's first character (the units before from are only looked back
  // at), more when the subject goes on after units[count). kPartial (with
  // more only): no match before start, and one may begin at start that the
  // units after the piece decide.
  enum class Piece : uint8_t { kNo, kYes, kUndecided, kPartial };
  Piece FindInPiece(const char32_t* units, size_t count, size_t from, bool notAtStart, bool more,
                    size_t& start, size_t& end);
  // Characters before a match start the expression may look at.
  size_t lookBehind() const;

 private:
  void* code_ = nullptr;  // pcre2_code_32
  void* data_ = nullptr;  // pcre2_match_data_32
  std::string error_;
  size_t errorOffset_ = 0;
};

// Matches one line's display text the way the scan must: the text and the
// pattern are read as characters of the document's encoding (DecodeUnits,
// split as the page splits them), so a hit begins and ends on character
// edges, a character written with either of its codes is found by both, and
// the same text gives the same hit in every encoding. Plain search finds the
// leftmost occurrence, with ASCII letters folded when case is ignored; a
// regular expression its first match (UnitRegex). Offsets are bytes of the
// text.
class LineMatcher {
 public:
  // pattern is in the document's encoding, as typed (never upper-cased).
  // False when the regular expression does not compile.
  bool Init(const std::string& pattern, const SearchOptions& options,
            TextEncoding encoding = TextEncoding::kCp932);
  const std::string& pattern() const { return pattern_; }
  const SearchOptions& options() const { return options_; }
  TextEncoding encoding() const { return encoding_; }
  UnitRegex& regex() { return regex_; }

  // text holds length bytes of a line; it is not changed. True on a match,
  // with the offsets into the text. A line the engine could not decide is
  // no match and is counted in undecided().
  bool Match(const char* text, int length, int32_t& matchStart, int32_t& matchEnd);

  // Match over a whole line of any length (GetLine's text without its cut),
  // read a piece at a time (store/lineslice.h): memory stays bounded by
  // the pattern, not by the line. Offsets are bytes of the line's text.
  // poll is called between pieces; when it returns false the match ends
  // at once, as no match, without touching the slot again. A regular
  // expression whose match in progress would span more than
  // kMaxKeptUnits characters is undecided, as at the engine's limits.
  bool MatchLong(FileSlot& slot, int32_t line, int64_t& matchStart, int64_t& matchEnd,
                 const std::function<bool()>& poll = {});
  // MatchLong over text from any reader of a line's text pieces.
  bool MatchPieces(TextPieces& text, int64_t& matchStart, int64_t& matchEnd,
                   const std::function<bool()>& poll = {});
  // MatchLong for a line whose bytes hold the raw finder's needle first at
  // raw offset near (every match holds the needle, so none starts more than
  // the pattern's length before it): matched from a character edge known
  // shortly before near, the text offset there counted from the line's
  // TABs. A regular expression without a known bound on its matches
  // (RegexMaxUnits), and a line without a known edge there, go the whole
  // way.
  bool MatchLongNear(FileSlot& slot, int32_t line, uint64_t near, int64_t& matchStart,
                     int64_t& matchEnd, const std::function<bool()>& poll = {});
  static constexpr size_t kMaxKeptUnits = size_t{2} << 20;

  // Lines on which the regular expression reached the engine's limits.
  int64_t undecided() const { return undecided_; }

 private:
  // MatchPieces for text that begins at text offset origin of its line
  // (notAtStart: after the line's start).
  bool MatchFrom(TextPieces& text, uint64_t origin, bool notAtStart, int64_t& matchStart,
                 int64_t& matchEnd, const std::function<bool()>& poll);

  std::string pattern_;
  SearchOptions options_;
  TextEncoding encoding_ = TextEncoding::kCp932;
  UnitRegex regex_;
  std::u32string needle_;  // plain: the pattern's characters, folded when case is ignored
  // The most characters before a match's needle bytes plus the look-behind:
  // how far before the needle a match may reach; SIZE_MAX: no bound known.
  size_t reachBefore_ = SIZE_MAX;
  char32_t units_[kLineBufferSize + 1];
  int32_t origin_[kLineBufferSize + 2];
  int64_t undecided_ = 0;
};

// a-z to A-Z in units (ASCII letters only).
inline void FoldUnits(char32_t* units, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (units[i] >= U'a' && units[i] <= U'z') units[i] -= U'a' - U'A';
  }
}

// The expression as the fast scan's analyses (RequiredLiteral,
// RegexIsLineLocal) read it: ASCII as typed, each character of the encoding
// that is written with more than one code, or that does not decode, as '.'
// (or 'd' after an escaping backslash: one character that is no literal
// byte either way), every other character as its bytes. What the analyses find in it then holds in
// the raw bytes of every line that matches.
std::string RegexSkeleton(const std::string& pattern, TextEncoding encoding);

// The first line a scan examines: the one after (or before) the top line, or
// the top line itself when asked, kept inside the document so that a top
// line out of range (which the view never sets) cannot make the scan report
// a line that does not exist.
inline int32_t FirstLine(const FileSlot& slot, int step, bool withTop = false) {
  const int64_t first = int64_t{slot.TopLine} + (withTop ? 0 : step);
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

// A hit's offsets into run and, cut to 32 bits, into the caller's two.
inline void SetMatch(SearchRun& run, int64_t start, int64_t end, int32_t& matchStart,
                     int32_t& matchEnd) {
  run.matchStart = start;
  run.matchEnd = end;
  matchStart = static_cast<int32_t>(std::min<int64_t>(start, INT32_MAX));
  matchEnd = static_cast<int32_t>(std::min<int64_t>(end, INT32_MAX));
}

// Continuous search: the hit hook with the text as fetched, then TopLine. A
// text GetLine may have cut is listed as LongHitText makes it.
void ReportHit(FileSlot& slot, int32_t line, const char* text, int length, int64_t matchStart,
               int64_t matchEnd);

// What the search log shows of a hit on a long line: the line's start, a
// mark, then the hit (its first kShownHit bytes) and a little of what follows
// it, and the mark again where the line goes on; cut on character edges,
// in the document's encoding.
std::string LongHitText(FileSlot& slot, int32_t line, int64_t matchStart, int64_t matchEnd);
constexpr size_t kShownStart = 1000;
constexpr size_t kShownHit = 800;
constexpr size_t kShownAfter = 100;

}  // namespace search_detail
