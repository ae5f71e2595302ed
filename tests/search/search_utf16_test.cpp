// A UTF-16 file, in either order, with or without a byte order mark, gives
// the hits of the same text in UTF-8: the same lines and matched bytes, for
// plain search, ignored case and regular expressions, through the fast scan
// and the line-by-line oracle alike.
#include <string>
#include <vector>

#include "search_fixture.h"
#include "support/utf16text.h"

namespace {

using Utf16Search = SearchTest;

TEST_F(Utf16Search, EveryOrderGivesTheHitsOfTheUtf8Text) {
  const struct {
    const char* pattern;
    bool regex;
    bool ignore_case;
  } queries[] = {
      {"接続エラー", false, false}, {"error", false, true},
      {"    タブ", false, false},   {"𠮷野家", false, false},
      {"^.野家", true, false},      {"行 [0-9]*5 +接続エラー err", true, true},
      {"えおabc", false, false},    {"^$", true, false},
      {"retry ok$", true, true},
  };
  const std::string text = utf16text::Sample(1u << 20);
  Open(text);
  std::vector<Outcome> expected;
  options_.Continuous = true;
  for (const auto& q : queries) {
    options_.Regex = q.regex;
    options_.IgnoreCase = q.ignore_case;
    expected.push_back(RunBoth(q.pattern, -1, true));
    EXPECT_GT(expected.back().hits.size(), 0u) << q.pattern;
  }
  for (const bool big : {false, true}) {
    for (const bool bom : {false, true}) {
      SCOPED_TRACE(std::string(big ? "BE" : "LE") + (bom ? " with mark" : ""));
      Open(utf16text::FromUtf8(text, big, bom));
      for (size_t i = 0; i < std::size(queries); ++i) {
        options_.Regex = queries[i].regex;
        options_.IgnoreCase = queries[i].ignore_case;
        EXPECT_EQ(expected[i], RunBoth(queries[i].pattern, -1, true)) << queries[i].pattern;
      }
    }
  }
}

}  // namespace
