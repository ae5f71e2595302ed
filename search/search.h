// The search scan: the next line of the current document that holds a text or
// matches a regular expression. Plain C++ over the store and PCRE2's POSIX
// wrapper; it reaches the windows only through SearchHooks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The search dialog's four option controls, read at every call.
struct SearchOptions {
  bool IgnoreCase = false;  // SOp1_NoUL: lines are upper-cased before matching
  bool Regex = false;       // SOp2_Reg
  bool Continuous = false;  // SOp3_All
  bool Down = true;         // SRd2_Down; false = SRd1_Up
};

// Cleared by the Cancel buttons; the scan tests it before every line.
extern bool SearchRunning;

struct SearchHooks {
  // The current options (the dialog's controls); a plain struct until then.
  std::function<SearchOptions()> options;
  // Continuous search: one hit. text is the line as GetLine returned it
  // (Shift-JIS bytes). The receiver appends the search-log line.
  std::function<void(int slot, int32_t line, std::string_view text)> hit;
  // Called now and then during a scan (at least every 64 Ki lines) with the
  // line reached; the receiver may let Cancel input through and clear
  // SearchRunning.
  std::function<void(int32_t line)> progress;
};
SearchHooks& SearchHooksRef();

// The options used while SearchHooksRef().options is unset.
SearchOptions& DefaultSearchOptions();
// SearchHooksRef().options() when set, else DefaultSearchOptions().
SearchOptions CurrentSearchOptions();

// Returns the 0-based index of the next matching line in the chosen
// direction (the top line itself is never examined), or -1. matchStart and
// matchEnd (byte offsets, end exclusive) are written only on a match.
int SearchNext(const std::string& pattern, int32_t& matchStart, int32_t& matchEnd);

// The straightforward line-by-line scan with the same contract; the tests use
// it as the oracle for the fast paths.
int SearchNextReference(const std::string& pattern, int32_t& matchStart, int32_t& matchEnd);

// a-z to A-Z at every byte that is not the second byte of a double-byte
// character; the length never changes.
void UpperCaseCp932(std::string& text);

// Format(" %2d : %9d :  ", slot, lineNumber) followed by the text.
std::string FormatSearchLogLine(int slot, int32_t lineNumber, std::string_view text);
