// The rules of a filter and the line test made from them: a line is shown
// when it matches at least one include rule (every line, when there is
// none) and no exclude rule. Each rule matches as a search with its options
// would (LineMatcher): the same characters in every encoding, case folded
// for ASCII letters only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "store/encoding.h"
#include "store/linefilter.h"

struct FilterRule {
  std::string text;  // bytes of the document's encoding, as typed
  bool exclude = false;
  bool regex = false;
  bool ignoreCase = false;
};

// Empty when the rule can be used; else why not, for the user (a regular
// expression that does not compile).
std::string FilterRuleError(const FilterRule& rule, TextEncoding encoding);

// The test of the rules, or null when one of them cannot be used.
std::unique_ptr<LineTest> MakeFilterTest(const std::vector<FilterRule>& rules,
                                         TextEncoding encoding);
