// What the fast scan knows about a regular expression before it runs it: a
// run of bytes every match contains, and whether lines may be joined for one
// match call. The analyses read the expression's skeleton (RegexSkeleton:
// bytes of the document's encoding, multi-byte characters whole) and refuse
// whatever they do not fully understand: a wrong answer there loses hits, no
// answer only costs time.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "store/encoding.h"

namespace search_detail {

// The longest run of bytes that every match of the expression contains, or
// the empty string when none is known.
std::string RequiredLiteral(const std::string& pattern, TextEncoding encoding);

// The most characters a match of the expression can take (its look-behind
// aside), or SIZE_MAX when there is no bound or the expression is not
// understood; in the same forms as RequiredLiteral reads.
size_t RegexMaxUnits(const std::string& pattern, TextEncoding encoding);

// True when the expression can only match inside one line and decides the
// same at a line feed as at the end (or start) of the subject, so that a
// search over lines joined by line feeds finds a match in every line that
// has one.
bool RegexIsLineLocal(const std::string& pattern, TextEncoding encoding);

// The longest run of a plain pattern's characters without a blank, TAB,
// line feed or a character the encoding writes with more than one code, as
// bytes: every line whose text holds the pattern holds it in its raw bytes.
std::string LongestPlainPiece(const std::string& pattern, TextEncoding encoding);

}  // namespace search_detail
