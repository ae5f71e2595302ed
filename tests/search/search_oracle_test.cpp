// The fast scan against the line-by-line oracle on generated documents that
// hold every awkward kind of line, for many patterns, both directions, single
// and continuous, from several top lines.
#include <cstdint>
#include <string>
#include <vector>

#include "search/rawfind.h"
#include "search/search.h"
#include "search_fixture.h"

namespace {

struct Random {
  uint64_t state;
  uint32_t Below(uint32_t n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>((state >> 33) % n);
  }
};

// One line of mixed content, its line end included.
std::string MakeLine(Random& random, bool lfOnly) {
  static const char* const kPieces[] = {
      "abc",  "ZQXJ", "WARN", "warn",  "WaRn", " ",        "\t",       "\t\t",     "x",
      "A",    "a b",  "word", "12345", "\\",   "\x83\x5C", "\x83\x41", "\x82\x61", "\x81\x40",
      "\x83", "\r",   "ab",   "c",     "ZQ",   "XJ",       "\x95\x5C", "\x83\x83"};
  std::string line;
  const uint32_t kind = random.Below(40);
  if (kind == 0) {
    // empty line
  } else if (kind == 1) {
    // Long: the token lands around and past the 2047-byte cap.
    line.assign(2030 + random.Below(40), 'y');
    line += random.Below(2) ? "ZQXJ" : "abc";
    line.append(random.Below(3000), 'z');
  } else if (kind == 2) {
    line = std::string("ab") + '\0' + "cabc";  // a zero byte inside
  } else {
    const uint32_t pieces = 1 + random.Below(8);
    for (uint32_t i = 0; i < pieces; ++i) line += kPieces[random.Below(std::size(kPieces))];
  }
  line += (lfOnly || random.Below(8) == 0) ? "\n" : "\r\n";
  return line;
}

std::string MakeDocument(uint64_t seed, int lines, bool lfOnly, bool finalFeed) {
  Random random{seed};
  std::string file;
  for (int i = 0; i < lines; ++i) file += MakeLine(random, lfOnly);
  if (!finalFeed) file += "abc ZQXJ tail";
  return file;
}

struct Query {
  const char* name;
  std::string pattern;  // as typed; upper-cased for the call when case is ignored
  bool regex;
  bool ignoreCase;
};

const std::vector<Query> kQueries = {
    {"token", "ZQXJ", false, false},
    {"dense_token", "WARN", false, false},
    {"short", "abc", false, false},
    {"single_byte", "A", false, false},
    {"backslash", "\\", false, false},
    {"sjis_5c", "\x83\x5C", false, false},
    {"sjis_letter_trail", "\x83\x41", false, false},
    {"with_blank", "a b", false, false},
    {"blanks_only", "    ", false, false},
    {"blank_then_token", " ZQXJ", false, false},
    {"tab_byte", "x\tx", false, false},
    {"blanks_of_a_tab", "c    x", false, false},
    {"blank_of_a_tab", "c x", false, false},
    {"cr_inside", "\rabc", false, false},
    {"zero_tail", std::string("b\0c", 3), false, false},
    {"long_run", std::string(30, 'y') + "ZQXJ", false, false},
    {"icase_token", "warn", false, true},
    {"icase_short", "aBc", false, true},
    {"icase_trail", "\x83\x61", false, true},
    {"regex_literal", "ZQXJ", true, false},
    {"regex_class", "Z[Q]X.", true, false},
    {"regex_start", "^abc", true, false},
    {"regex_end", "abc$", true, false},
    {"regex_empty_line", "^$", true, false},
    {"regex_alternation", "(ZQXJ|WARN)x", true, false},
    {"regex_backslash_byte", "\\\\", true, false},
    {"regex_word", "\\bword\\b", true, false},
    {"regex_after_zero", "cabc", true, false},
    {"regex_blanks", "a +b", true, false},
    {"regex_space_class", "\\s+x", true, false},
    {"regex_lookahead", "ab(?!c)", true, false},
    {"regex_negated", "[^ ]ZQ", true, false},
    {"regex_optional_group", "ZQ(XJ)?", true, false},
    {"regex_optional_byte", "ab?c", true, false},
    {"regex_repeat_count", "a{0}ZQXJ", true, false},
    {"regex_repeat_then_text", "y{2,}ZQ", true, false},
    {"regex_top_alternative", "ZQXJ|abc", true, false},
    {"regex_posix_class", "[[:upper:]]QXJ", true, false},
    {"regex_hex_escape", "\\x5AQXJ", true, false},
    {"regex_class_with_bracket", "[]x]ZQ", true, false},
    {"regex_plus", "W+ARN", true, false},
    {"regex_nothing_after", "abc(?!\\s)", true, false},
    {"regex_nothing_before", "(?<![a-z])abc", true, false},
    {"regex_subject_start", "\\Aabc", true, false},
    {"regex_subject_end", "abc\\z", true, false},
    {"regex_icase_digit", "\\d", true, true},
    {"regex_icase_word", "w[a-z]rn", true, true},
};

struct Document {
  const char* name;
  uint64_t seed;
  int lines;
  bool lfOnly;
  bool finalFeed;
  int tabWidth;
};

const Document kDocuments[] = {
    {"crlf_three_blocks", 1, 2 * 8192 + 777, false, true, 4},
    {"lf_only_no_final_feed", 2, 8192 + 5, true, false, 4},
    {"tab_width_0", 3, 9000, false, true, 0},
    {"tab_width_1", 4, 9000, false, false, 1},
};

class OracleTest : public SearchTest, public ::testing::WithParamInterface<Document> {};

TEST_P(OracleTest, FastScanAgreesWithLineByLine) {
  const Document& doc = GetParam();
  Open(MakeDocument(doc.seed, doc.lines, doc.lfOnly, doc.finalFeed));
  TabWidth = doc.tabWidth;
  const int32_t count = SlotTable[CurrentSlot].LineCount;
  ASSERT_GT(count, doc.lines - 1);
  const int32_t tops[] = {0, 8191, 8192, count / 2, count - 1};
  for (const Query& query : kQueries) {
    std::string pattern = query.pattern;
    if (query.ignoreCase) UpperCaseCp932(pattern);
    for (const bool down : {true, false}) {
      for (const bool continuous : {false, true}) {
        options_ = SearchOptions{query.ignoreCase, query.regex, continuous, down};
        for (const int32_t top : tops) {
          // Continuous runs cover the rest of the file from one start each way.
          if (continuous && top != (down ? 0 : count - 1) && top != count / 2) continue;
          const Outcome outcome = RunBoth(pattern, top, continuous);
          if (::testing::Test::HasFailure()) {
            FAIL() << doc.name << " / " << query.name << (down ? " down" : " up")
                   << (continuous ? " continuous" : " single") << " from " << top;
          }
          (void)outcome;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Generated, OracleTest, ::testing::ValuesIn(kDocuments),
                         [](const auto& info) { return std::string(info.param.name); });

// A block of very long lines: its window is longer than the usual 16 MiB.
TEST_F(SearchTest, BlockOfLongLinesAgreesWithLineByLine) {
  std::string file;
  for (int i = 0; i < 8192 + 300; ++i) {
    std::string line(2100, static_cast<char>('a' + i % 26));
    if (i % 97 == 0) line.replace(2040, 4, "ZQXJ");  // past the cap when it starts after 2043
    if (i % 89 == 0) line.replace(i % 2000, 4, "ZQXJ");
    file += line + "\r\n";
  }
  Open(file);
  for (const bool down : {true, false}) {
    options_ = SearchOptions{false, false, true, down};
    const Outcome outcome = RunBoth("ZQXJ", down ? 0 : SlotTable[CurrentSlot].LineCount - 1, true);
    EXPECT_GT(outcome.hits.size(), 80u);
    options_.Regex = true;
    RunBoth("Z.XJ", down ? 0 : SlotTable[CurrentSlot].LineCount - 1, true);
  }
}

// The raw filter against a plain scan of every position, at every alignment.
TEST(RawNeedle, FindsFirstAndLastLikeAPlainScan) {
  Random random{7};
  std::string hay;
  for (int i = 0; i < 3000; ++i) hay += "abAB\x83z"[random.Below(6)];
  struct Case {
    const char* name;
    std::string needle;
    bool fold;
  };
  const Case cases[] = {{"one", "a", false},          {"one_fold", "A", true},
                        {"two", "ab", false},         {"two_fold", "AB", true},
                        {"three", "aba", false},      {"long_fold", "ABAB", true},
                        {"sjis_fold", "\x83Z", true}, {"absent", "zzzzz", false}};
  for (const Case& c : cases) {
    const search_detail::RawNeedle needle(c.needle, c.fold);
    auto matches = [&](size_t at) {
      for (size_t k = 0; k < c.needle.size(); ++k) {
        char h = hay[at + k];
        if (c.fold && h >= 'a' && h <= 'z') h = static_cast<char>(h - 32);
        if (h != c.needle[k]) return false;
      }
      return true;
    };
    for (size_t begin = 0; begin < 70; begin += 3) {
      for (size_t end = hay.size(); end + 80 > hay.size() && end >= begin; end -= 7) {
        ptrdiff_t first = -1;
        ptrdiff_t last = -1;
        for (size_t at = begin; at + c.needle.size() <= end; ++at) {
          if (!matches(at)) continue;
          if (first < 0) first = static_cast<ptrdiff_t>(at);
          last = static_cast<ptrdiff_t>(at);
        }
        const char* f = needle.FindFirst(hay.data() + begin, end - begin);
        const char* l = needle.FindLast(hay.data() + begin, end - begin);
        EXPECT_EQ(f ? f - hay.data() : -1, first) << c.name << " " << begin << ".." << end;
        EXPECT_EQ(l ? l - hay.data() : -1, last) << c.name << " " << begin << ".." << end;
      }
    }
  }
}

}  // namespace
