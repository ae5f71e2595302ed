// The behaviours of the scan, each run through the fast scan and the oracle.
#include <string>
#include <vector>

#include "search/search.h"
#include "search_fixture.h"
#include "store/platform.h"

namespace {

SearchOptions Opts(bool ignoreCase, bool regex, bool continuous, bool down) {
  SearchOptions options;
  options.IgnoreCase = ignoreCase;
  options.Regex = regex;
  options.Continuous = continuous;
  options.Down = down;
  return options;
}

const SearchOptions kPlainDown = Opts(false, false, false, true);
const SearchOptions kPlainUp = Opts(false, false, false, false);
const SearchOptions kAllDown = Opts(false, false, true, true);
const SearchOptions kAllUp = Opts(false, false, true, false);
const SearchOptions kRegexDown = Opts(false, true, false, true);
const SearchOptions kRegexUp = Opts(false, true, false, false);
const SearchOptions kRegexAllDown = Opts(false, true, true, true);
const SearchOptions kCaseAllDown = Opts(true, false, true, true);
const SearchOptions kCaseRegexAllDown = Opts(true, true, true, true);

struct Row {
  const char* name;
  std::string file;
  std::string pattern;  // as typed
  SearchOptions options;
  int32_t topLine;
  bool all;  // call again until -1
  std::vector<int32_t> lines;
  int32_t matchStart;  // -7 / -9: never written
  int32_t matchEnd;
  std::vector<int32_t> hitLines;  // lines handed to the hit hook
  int32_t topLineAfter;
};

const std::string kThree = "top abc\r\nnone\r\nxabc\r\nabc abc\r\nno\r\nabc\r\n";

const std::vector<Row> kRows = {
    {"single_found", kThree, "abc", kPlainDown, 0, false, {2}, 1, 4, {}, 0},
    {"single_not_found", kThree, "zzz", kPlainDown, 0, false, {-1}, -7, -9, {}, 0},
    {"single_up_found", kThree, "abc", kPlainUp, 4, false, {3}, 0, 3, {}, 4},
    {"leftmost_of_two", kThree, "abc", kPlainDown, 2, false, {3}, 0, 3, {}, 2},
    {"continuous_three_down", kThree, "abc", kAllDown, 0, true, {2, 3, 5, -1}, 0, 3, {2, 3, 5}, 5},
    {"continuous_three_up", kThree, "abc", kAllUp, 5, true, {3, 2, 0, -1}, 4, 7, {3, 2, 0}, 0},
    {"continuous_zero_hits", kThree, "zzz", kAllDown, 1, true, {-1}, -7, -9, {}, 1},
    {"top_line_skipped_down", "abc\r\nx\r\n", "abc", kPlainDown, 0, false, {-1}, -7, -9, {}, 0},
    {"top_line_skipped_up", "x\r\nabc\r\n", "abc", kPlainUp, 1, false, {-1}, -7, -9, {}, 1},
    {"last_line_down_reads_nothing", kThree, "abc", kPlainDown, 5, false, {-1}, -7, -9, {}, 5},
    {"first_line_up_reads_nothing", kThree, "abc", kPlainUp, 0, false, {-1}, -7, -9, {}, 0},
    // A lead byte before a byte that cannot follow it stands alone, as the
    // page draws it ("x ·0 abc"): the digit after it begins a character.
    {"stray_lead_then_digit",
     "x\r\nx \x81\x30 abc\r\n",
     "0 abc",
     kPlainDown,
     0,
     false,
     {1},
     3,
     8,
     {},
     0},
    {"stray_lead_then_digit_regex",
     "x\r\nx \x81\x30 abc\r\n",
     "\\d a",
     kRegexDown,
     0,
     false,
     {1},
     3,
     6,
     {},
     0},
    // A character written with its other code is found by the one typed.
    {"nec_and_ibm_codes",
     "x\r\n\xFA\x5C\r\n\xED\x40\r\n",
     "\xED\x40",
     kAllDown,
     0,
     true,
     {1, 2, -1},
     0,
     2,
     {1, 2},
     2},
    {"nec_and_ibm_codes_regex",
     "x\r\n\x87\x9A\r\n\x81\xE6\r\n",
     "^\x81\xE6$",
     kRegexAllDown,
     0,
     true,
     {1, 2, -1},
     0,
     2,
     {1, 2},
     2},
    // 0x83 0x5C is one double-byte character: its 0x5C is no backslash.
    {"trail_5c_plain", "x\r\n\x83\x5C\r\n", "\x5C", kPlainDown, 0, false, {-1}, -7, -9, {}, 0},
    // A regex hit, as a plain one, begins on a character start.
    {"trail_5c_regex", "x\r\n\x83\x5C\r\n", "\\\\", kRegexDown, 0, false, {-1}, -7, -9, {}, 0},
    {"trail_5c_then_real_5c",
     "x\r\n\x83\x5C\x5C\r\n",
     "\x5C",
     kPlainDown,
     0,
     false,
     {1},
     2,
     3,
     {},
     0},
    // 0xFD-0xFF are single bytes: the byte after one starts a character.
    {"byte_fd_is_no_lead",
     "x\r\n\xFD\x5C\xFF\x5C\r\n",
     "\x5C",
     kPlainDown,
     0,
     false,
     {1},
     1,
     2,
     {},
     0},
    {"lead_run_even_is_not_trail",
     "x\r\n\x83\x83\x41\r\n",
     "A",
     kPlainDown,
     0,
     false,
     {1},
     2,
     3,
     {},
     0},
    {"ignore_case_abc",
     "x\r\nABC\r\n-abc\r\n--aBc\r\nab c\r\n",
     "ABC",
     kCaseAllDown,
     0,
     true,
     {1, 2, 3, -1},
     2,
     5,
     {1, 2, 3},
     3},
    // A letter that is the trail byte of a double-byte character is not folded.
    {"ignore_case_keeps_trail",
     "x\r\n\x83\x61\r\n\x83\x41\r\n",
     "A",
     kCaseAllDown,
     0,
     true,
     {-1},
     -7,
     -9,
     {},
     0},
    // Ignore case leaves the expression as typed: \D stays the non-digit class.
    {"ignore_case_regex_digit_class",
     "x\r\n123\r\n12a\r\n",
     "\\D",
     kCaseRegexAllDown,
     0,
     true,
     {2, -1},
     2,
     3,
     {2},
     2},
    {"anchor_start", "x\r\ncab\r\nabc\r\n", "^ab", kRegexAllDown, 0, true, {2, -1}, 0, 2, {2}, 2},
    {"anchor_end",
     "x\r\nabcab\r\nabc\r\nab\r\n",
     "ab$",
     kRegexAllDown,
     0,
     true,
     {1, 3, -1},
     0,
     2,
     {1, 3},
     3},
    {"empty_line_regex", "x\r\n\r\nabc\r\n", "^$", kRegexAllDown, 0, true, {1, -1}, 0, 0, {1}, 1},
    {"empty_line_plain", "x\r\n\r\n", " ", kPlainDown, 0, false, {-1}, -7, -9, {}, 0},
    {"tab_seen_as_blanks", "x\r\na\tb\r\n", "a    b", kPlainDown, 0, false, {1}, 0, 6, {}, 0},
    {"tab_byte_never_matches", "x\r\na\tb\r\n", "a\tb", kPlainDown, 0, false, {-1}, -7, -9, {}, 0},
    {"tab_blank_pattern", "x\r\nab\r\na\tb\r\n", "  ", kPlainDown, 0, false, {2}, 1, 3, {}, 0},
    {"tab_regex_blank", "x\r\na\tb\r\n", "a +b", kRegexDown, 0, false, {1}, 0, 6, {}, 0},
    {"regex_does_not_compile", kThree, "(abc", kRegexDown, 0, false, {-1}, -7, -9, {}, 0},
    {"lf_only_lines", "x\nabc\nzabc\n", "abc", kAllDown, 0, true, {1, 2, -1}, 1, 4, {1, 2}, 2},
    {"last_line_without_lf", "x\r\nyy\r\nabc", "abc", kAllDown, 0, true, {2, -1}, 0, 3, {2}, 2},
    {"top_line_past_the_end_up", "x\r\n\r\n", "^$", kRegexUp, 7, false, {1}, 0, 0, {}, 7},
    {"cr_is_not_text", "x\r\nab\r\n", "b\r", kPlainDown, 0, false, {-1}, -7, -9, {}, 0},
};

class ScenarioTest : public SearchTest, public ::testing::WithParamInterface<Row> {};

TEST_P(ScenarioTest, BothScansGiveTheExpectedResult) {
  const Row& row = GetParam();
  Open(row.file);
  options_ = row.options;
  const Outcome outcome = RunBoth(row.pattern, row.topLine, row.all);
  EXPECT_EQ(outcome.lines, row.lines);
  EXPECT_EQ(outcome.matchStart, row.matchStart);
  EXPECT_EQ(outcome.matchEnd, row.matchEnd);
  std::vector<int32_t> hitLines;
  for (const Hit& hit : outcome.hits) {
    hitLines.push_back(hit.line);
    EXPECT_EQ(hit.text, GetLine(SlotTable[CurrentSlot], hit.line));  // as fetched
    EXPECT_EQ(hit.slot, CurrentSlot);
  }
  EXPECT_EQ(hitLines, row.hitLines);
  EXPECT_EQ(outcome.topLine, row.topLineAfter);
}

INSTANTIATE_TEST_SUITE_P(Scan, ScenarioTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SearchTest, TwoContinuousCallsReturnSuccessiveHits) {
  Open(kThree);
  options_ = kAllDown;
  for (SearchFunction function : {SearchNextReference, SearchNext}) {
    SlotTable[CurrentSlot].TopLine = 0;
    int32_t start = 0;
    int32_t end = 0;
    EXPECT_EQ(function("abc", start, end), 2);
    EXPECT_EQ(SlotTable[CurrentSlot].TopLine, 2);
    EXPECT_EQ(function("abc", start, end), 3);
    EXPECT_EQ(SlotTable[CurrentSlot].TopLine, 3);
  }
}

TEST_F(SearchTest, StoppedSearchReadsNoLine) {
  // Two blocks: a scan from line 0 would have to map the first block.
  std::string file;
  for (int i = 0; i < 9000; ++i) file += "line\r\n";
  file += "abc\r\n";
  Open(file);
  options_ = kAllDown;
  for (SearchFunction function : {SearchNextReference, SearchNext}) {
    FileSlot& slot = SlotTable[CurrentSlot];
    const uint64_t maps = store_platform::MapCallCount();
    slot.TopLine = 0;
    SearchRunning = false;
    int32_t start = -7;
    int32_t end = -9;
    EXPECT_EQ(function("line", start, end), -1);
    EXPECT_EQ(start, -7);
    EXPECT_EQ(store_platform::MapCallCount(), maps);
    EXPECT_TRUE(hits_.empty());
  }
}

TEST_F(SearchTest, ProgressHookCanStopTheScan) {
  std::string file;
  for (int i = 0; i < 3 * 8192 + 100; ++i) file += (i == 20000 ? "abc\r\n" : "line\r\n");
  Open(file);
  struct Case {
    const char* name;
    bool down;
    int stopAtCall;  // the progress call that clears SearchRunning
    int32_t expected;
    int calls;  // progress calls made
  };
  const Case cases[] = {{"down_stops_before_hit", true, 2, -1, 2},
                        {"down_hit_before_stop", true, 3, 20000, 2},
                        {"up_stops_before_hit", false, 1, -1, 1},
                        {"up_hit_before_stop", false, 2, 20000, 1}};
  for (const Case& c : cases) {
    options_ = Opts(false, false, false, c.down);
    for (SearchFunction function : {SearchNextReference, SearchNext}) {
      std::vector<int32_t> reported;
      SearchHooksRef().progress = [&](int32_t line) {
        reported.push_back(line);
        if (static_cast<int>(reported.size()) == c.stopAtCall) SearchRunning = false;
      };
      const Outcome outcome = Run(function, "abc", c.down ? 0 : 3 * 8192 + 99);
      EXPECT_EQ(outcome.lines, std::vector<int32_t>{c.expected}) << c.name;
      const std::vector<int32_t> blockStarts =
          c.down ? std::vector<int32_t>{8192, 16384, 24576}
                 : std::vector<int32_t>{3 * 8192 - 1, 2 * 8192 - 1, 8191};
      EXPECT_EQ(reported, std::vector<int32_t>(blockStarts.begin(), blockStarts.begin() + c.calls))
          << c.name;
    }
  }
}

TEST_F(SearchTest, TextLongerThanAnyLineFindsNothing) {
  Open("x\r\n" + std::string(3000, 'a') + "\r\n");
  options_ = kPlainDown;
  EXPECT_EQ(RunBoth(std::string(3000, 'a'), 0).lines, std::vector<int32_t>{1});
  EXPECT_EQ(RunBoth(std::string(3001, 'a'), 0).lines, std::vector<int32_t>{-1});
  const Outcome longest = RunBoth(std::string(2047, 'a'), 0);
  EXPECT_EQ(longest.lines, std::vector<int32_t>{1});
  EXPECT_EQ(longest.matchEnd, 2047);
}

TEST_F(SearchTest, NoDocumentFindsNothing) {
  options_ = kAllDown;
  EXPECT_EQ(RunBoth("abc", 0).lines, std::vector<int32_t>{-1});
}

TEST_F(SearchTest, UnsetOptionsHookUsesTheDefaults) {
  Open("x\r\nabc\r\n");
  SearchHooksRef().options = nullptr;
  DefaultSearchOptions() = kPlainUp;
  EXPECT_EQ(RunBoth("abc", 1).lines, std::vector<int32_t>{-1});
  DefaultSearchOptions() = kPlainDown;
  EXPECT_EQ(RunBoth("abc", 0).lines, std::vector<int32_t>{1});
}

// Regular expressions over Shift-JIS text: a double-byte character is one
// literal unit whatever its second byte, and a hit begins on a character
// start. Every row runs through both scans.
TEST_F(SearchTest, RegexReadsDoubleByteCharactersAsUnits) {
  struct Case {
    const char* name;
    std::string file;
    std::string pattern;
    std::vector<int32_t> lines;  // continuous, downward from line 0
  };
  const Case cases[] = {
      {"brace_trail_then_alternative",
       "x\r\nERROR {a\r\nWARN {b\r\nINFO\r\n",
       "ERROR {|WARN {",
       {1, 2, -1}},
      {"plus_sign_trail_then_alternative",
       "x\r\n\x8D\x87\x8Cv\x81{\r\n\x8F\xAC\x8Cv\r\n\x8D\x87\r\n",
       "\x8D\x87\x8Cv\x81{|\x8F\xAC\x8Cv",
       {1, 2, -1}},
      {"bo_trail_is_a_brace",
       "x\r\n\x83\x8D\x83{\x83"
       "b\x83g\r\n\x8B@\x8A"
       "B\r\n\x83\x8D\r\n",
       "\x83\x8D\x83{\x83"
       "b\x83g|\x8B@\x8A"
       "B",
       {1, 2, -1}},
      {"po_trail_is_a_bar",
       "x\r\n\x83|\x83"
       "C\x83\x93\x83g\r\n\x83"
       "Ax\r\n",
       "\x83|\x83"
       "C\x83\x93\x83g",
       {1, -1}},
      {"ascii_after_a_double_byte_character",
       "x\r\n\x81"
       "API\r\nAPI\r\n",
       "API",
       {2, -1}},
      {"quantifier_repeats_the_character",
       "x\r\n\x83"
       "AA\r\n\x83"
       "A\x83"
       "A\r\n",
       "\x83"
       "A{2}",
       {2, -1}},
      {"class_of_double_byte_characters",
       "x\r\nA\r\n\x83"
       "C\r\n",
       "[\x83"
       "A\x83"
       "C]",
       {2, -1}},
      {"negated_class_takes_whole_characters",
       "x\r\n\x83"
       "A\x83\x93\r\n\x83"
       "C\x83\x93\r\n",
       "[^\x83"
       "A]\x83\x93",
       {2, -1}},
      {"range_of_double_byte_characters",
       "x\r\n\x83"
       "E\r\n\x83"
       "C\r\nA\r\n",
       "[\x83"
       "A-\x83"
       "C]",
       {2, -1}},
      // A lead byte before a blank is one unit, and that blank may be a TAB
      // in the file: no raw filter may look for it.
      {"lead_byte_then_expanded_tab", "x\r\n\xF1\tz\r\n", "\xF1 ", {1, -1}},
  };
  for (const Case& c : cases) {
    Open(c.file);
    options_ = kRegexAllDown;
    EXPECT_EQ(RunBoth(c.pattern, 0, true).lines, c.lines) << c.name;
    CloseDocument();
  }
}

TEST(SearchLogLine, FixedWidthsAndTextQuotedUnchanged) {
  struct Case {
    const char* name;
    int slot;
    int32_t line;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"first_line", 0, 1, "abc", "  0 :         1 :  abc"},
      {"percent_kept", 3, 12, "100%d %s%%", "  3 :        12 :  100%d %s%%"},
      {"nine_digits", 1, 50003967, "", "  1 :  50003967 :  "},
      {"ten_digits_widen_the_field", 1, 2147483646, "x", "  1 : 2147483646 :  x"},
      {"sjis_and_zero", 2, 7, std::string("\x83\x5C\0z", 4),
       std::string("  2 :         7 :  \x83\x5C\0z", 23)},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FormatSearchLogLine(c.slot, c.line, c.text), c.expected) << c.name;
  EXPECT_EQ(FormatSearchLogLine(0, 1, "abc").size(), 19u + 3u);
}

TEST(UpperCase, AsciiLettersOutsideDoubleByteCharacters) {
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"ascii", "abc XyZ 09", "ABC XYZ 09"},
      {"trail_letter_kept", "\x83\x61z", "\x83\x61Z"},
      {"lead_run", "\x81\x81\x61", "\x81\x81\x41"},
      {"lead_at_end", "a\x83", "A\x83"},
      {"full_width_kept", "\x82\x81", "\x82\x81"},
      {"fd_to_ff_are_no_lead",
       "\xFD"
       "a\xFE"
       "b\xFF"
       "c",
       "\xFD"
       "A\xFE"
       "B\xFF"
       "C"},
  };
  for (const Case& c : cases) {
    std::string text = c.in;
    UpperCaseCp932(text);
    EXPECT_EQ(text, c.out) << c.name;
  }
}

}  // namespace

// A line on which the expression reaches the engine's match limit is
// neither a hit nor silently passed over: both scans count it.
TEST_F(SearchTest, LinesTheEngineCannotDecideAreCounted) {
  const std::string slow = std::string(40, 'a') + "b";
  Open("x\r\n" + slow + "\r\naaa\r\n" + slow + "\r\n");
  options_ = kRegexAllDown;
  for (const SearchFunction function : {SearchNextReference, SearchNext}) {
    SlotTable[CurrentSlot].TopLine = 0;
    SearchRun run;
    std::vector<int32_t> lines;
    for (;;) {
      int32_t start = 0;
      int32_t end = 0;
      const int line = function == SearchNext ? SearchNextWith("(a+)+$", start, end, run)
                                              : SearchNextReferenceWith("(a+)+$", start, end, run);
      lines.push_back(line);
      if (line < 0) break;
    }
    EXPECT_EQ(lines, (std::vector<int32_t>{2, -1}));
    EXPECT_EQ(run.undecided, 2);
    EXPECT_FALSE(run.stopped);
  }
}
