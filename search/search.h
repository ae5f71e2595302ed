// The search scan: the next line of the current document that holds a text or
// matches a regular expression. Plain C++ over the store and PCRE2 (32-bit
// units, one a character); it reaches the windows only through SearchHooks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "store/encoding.h"

// The search dialog's four option controls, read at every call.
struct SearchOptions {
  bool IgnoreCase = false;  // SOp1_NoUL: ASCII letters match either case
  bool Regex = false;       // SOp2_Reg
  bool Continuous = false;  // SOp3_All
  bool Down = true;         // SRd2_Down; false = SRd1_Up
  bool AllTabs = false;     // SOp4_Tabs: a continuous search runs over every open tab
};

// Cleared by the Cancel buttons; the scan tests it before every line.
extern bool SearchRunning;

// The document a scan works on. Input let through during a scan may close,
// replace or switch the document or change the tab width; whoever let it
// through compares with the value taken at the start and ends as a cancel
// does when anything differs.
struct SearchDocument {
  int32_t slot = -1;
  uint64_t serial = 0;  // FileSlot::OpenSerial
  int32_t lineCount = 0;
  int32_t tabWidth = 0;
  TextEncoding encoding = TextEncoding::kCp932;  // chosen from a menu for an open document

  static SearchDocument Current();
  bool StillCurrent() const;
};

// Where a hit of a continuous search lies in its line.
struct HitSpan {
  // Byte offsets of the match in the line's whole text, end exclusive.
  int64_t matchStart = 0;
  int64_t matchEnd = 0;
  // The text given with the hit is not the whole line but its start and
  // the hit, cut with a mark (a line longer than GetLine's text).
  bool cut = false;
};

struct SearchHooks {
  // The current options (the dialog's controls); a plain struct until then.
  std::function<SearchOptions()> options;
  // Continuous search: one hit. text is the line as GetLine returned it
  // (bytes of the document's encoding), or for a longer line what the log
  // shows of it (span.cut). The receiver appends the search-log line.
  std::function<void(int slot, int32_t line, std::string_view text, const HitSpan& span)> hit;
  // Called during a scan with the line reached: at every block start (every
  // 8192 lines) and by time (poll_interval_ms). The receiver may let input
  // through and clear SearchRunning; after each call the scan checks that
  // its document is still the same (slot, open, line count, tab width) and
  // ends as a cancel does when it is not.
  std::function<void(int32_t line)> progress;
  // The scan also calls progress when this many milliseconds have passed
  // since its last call, even inside a block (0: at every line or candidate).
  int poll_interval_ms = 50;
};
SearchHooks& SearchHooksRef();

// The options used while SearchHooksRef().options is unset.
SearchOptions& DefaultSearchOptions();
// SearchHooksRef().options() when set, else DefaultSearchOptions().
SearchOptions CurrentSearchOptions();

// What one scan call is asked besides the pattern, and what it tells besides
// its result.
struct SearchRun {
  // Examine the top line too: the first call of a continuous search, so
  // that a hit on the line the search starts from is listed.
  bool withTopLine = false;
  // Added to: lines on which a regular expression reached the engine's
  // match limit, neither hits nor known to hold none.
  int64_t undecided = 0;
  // Set when the call ended as after a cancel (SearchRunning cleared, or the
  // document changed under the scan), with the last line it examined (the
  // top line when none).
  bool stopped = false;
  int32_t reached = -1;
  // On a hit: the match as byte offsets of the line's text. The offsets the
  // calls below write are these cut to 32 bits (INT32_MAX at most); a line
  // of any length has its true offsets here.
  int64_t matchStart = 0;
  int64_t matchEnd = 0;
};

// Returns the 0-based index of the next matching line in the chosen
// direction (the top line itself is examined only with run.withTopLine), or
// -1. matchStart and matchEnd (byte offsets, end exclusive) are written only
// on a match. The pattern is as typed, never upper-cased: case is ignored
// by the matcher.
int SearchNextWith(const std::string& pattern, int32_t& matchStart, int32_t& matchEnd,
                   SearchRun& run);
int SearchNext(const std::string& pattern, int32_t& matchStart, int32_t& matchEnd);

// The straightforward line-by-line scan with the same contract; the tests use
// it as the oracle for the fast paths.
int SearchNextReferenceWith(const std::string& pattern, int32_t& matchStart, int32_t& matchEnd,
                            SearchRun& run);
int SearchNextReference(const std::string& pattern, int32_t& matchStart, int32_t& matchEnd);

// Empty when the regular expression compiles; else why not, for the user:
// the library's reason and the 1-based character position where it stopped.
// pattern is in the document's encoding.
std::string RegexError(const std::string& pattern, TextEncoding encoding = TextEncoding::kCp932);

// a-z to A-Z on whole Shift-JIS characters; the length never changes.
void UpperCaseCp932(std::string& text);
// ASCII a-z to A-Z on whole characters of the encoding (the length stays).
void UpperCaseText(std::string& text, TextEncoding encoding);

// Format(" %2d : %9d :  ", slot, lineNumber) followed by the text.
std::string FormatSearchLogLine(int slot, int32_t lineNumber, std::string_view text);
