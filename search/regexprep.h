// What the search knows about a regular expression before it runs it: the
// expression as compiled (double-byte characters made literal units), and
// the two shortcuts of the fast scan (a run of bytes every match contains,
// and whether lines may be joined for one regexec). The shortcut analyses
// read the expression as typed and refuse whatever they do not fully
// understand: a wrong answer there loses hits, no answer only costs time.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace search_detail {

// Lead bytes of a double-byte Shift-JIS character (code page 932): 0x81-0x9F
// and 0xE0-0xFC. 0xFD-0xFF stand alone, as the view decodes them.
inline bool IsLeadByte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Bytes of the character that starts at text[pos] (1 or 2), the way the
// view splits a line: a lead byte and the byte after it, whatever that is,
// form one character; a lead byte at the end stands alone.
inline size_t CharLength(const char* text, size_t pos, size_t length) {
  return IsLeadByte(static_cast<unsigned char>(text[pos])) && pos + 1 < length ? 2 : 1;
}

// The expression handed to regcomp: each double-byte character becomes one
// literal unit "(?:\xLL\xTT)", so that a quantifier after it repeats the
// whole character and its second byte is never read as a metacharacter. In a
// bracket expression a double-byte member stands for that character, and a
// range between double-byte characters for the characters whose codes (lead
// byte * 256 + trail byte) lie in it; a negated expression then matches one
// whole character that is not a member. Everything else is passed on as
// typed. The expression ends at its first zero byte, as regcomp reads it.
// origin, when given, receives for each byte of the result the offset of the
// typed byte it came from.
std::string PrepareRegex(const std::string& pattern, std::vector<size_t>* origin = nullptr);

// The longest run of bytes that every match of the expression contains, or
// the empty string when none is known.
std::string RequiredLiteral(const std::string& pattern);

// True when the expression can only match inside one line and decides the
// same at a line feed as at the end (or start) of the subject, so that a
// search over lines joined by line feeds finds a match in every line that
// has one.
bool RegexIsLineLocal(const std::string& pattern);

}  // namespace search_detail
