// Lines longer than GetLine's text: both scans must examine every byte of
// them, in every plan and encoding, and agree with one match over the whole
// line's text decoded at once (no pieces, no partial matching).
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "search/matcher.h"
#include "search/rawspans.h"
#include "search_fixture.h"
#include "store/lineslice.h"
#include "store/workers.h"

namespace {

// The whole line's text as one string, the way GetLine makes it but uncut.
std::string WholeText(const std::string& raw, int tab) {
  std::string text;
  for (const char c : raw) {
    if (c == '\t') {
      text.append(static_cast<size_t>(std::max(tab, 0)), ' ');
    } else {
      text += c;
    }
  }
  return text;
}

// The first match in the whole text, in one call: {-1, -1} when none.
std::pair<int64_t, int64_t> WholeMatch(std::string text, const std::string& pattern,
                                       const SearchOptions& options, TextEncoding e) {
  if (options.Regex) text = text.substr(0, strnlen(text.c_str(), text.size()));
  std::vector<char32_t> units(text.size() + 1);
  std::vector<int32_t> origin(text.size() + 2);
  const size_t count = DecodeUnits(e, text.data(), text.size(), units.data(), origin.data());
  size_t start = 0;
  size_t end = 0;
  if (options.Regex) {
    search_detail::UnitRegex regex;
    if (!regex.Compile(pattern, e, options.IgnoreCase) ||
        regex.Find(units.data(), count, 0, start, end) != search_detail::LineMatch::kYes) {
      return {-1, -1};
    }
  } else {
    std::vector<char32_t> needle(pattern.size() + 1);
    needle.resize(DecodeUnits(e, pattern.data(), pattern.size(), needle.data(), nullptr));
    if (options.IgnoreCase) {
      search_detail::FoldUnits(needle.data(), needle.size());
      search_detail::FoldUnits(units.data(), count);
    }
    const auto hit =
        std::search(units.begin(), units.begin() + count, needle.begin(), needle.end());
    if (hit == units.begin() + count) return {-1, -1};
    start = static_cast<size_t>(hit - units.begin());
    end = start + needle.size();
  }
  return {origin[start], origin[end]};
}

struct Query {
  const char* name;
  std::u16string typed;
  bool regex;
  bool ignoreCase;
};

const Query kQueries[] = {
    {"plain", u"END", false, false},
    {"plain_wide", u"終わEND", false, false},
    {"icase", u"end", false, true},
    {"regex_literal", u"E.D$", true, false},
    {"regex_no_literal", u"[E][N][D]$", true, false},
    {"regex_word", u"\\bEND\\b", true, false},
    {"regex_run", u"わ+END", true, false},
    {"regex_lookbehind", u"(?<=わ)END", true, false},
    {"regex_absent", u"ENDX|^$X", true, false},
    {"plain_absent", u"ENDEND", false, false},
};

// Line lengths around the cut and a piece (64 KiB); in Shift-JIS three lines
// of 3,000,000 bytes, so that a window step (8 MiB) lies inside the third.
const size_t kLengths[] = {2046, 2047, 2048, 2500, 65536 + 5, 30, 3000000, 3000000, 3000000};

// A line of about length bytes in encoding e: wide characters, blanks and
// TABs, then the word at its end (or none, for every fourth line).
std::string MakeLine(TextEncoding e, size_t length, int index) {
  std::string wide;
  Encode(e, u"わ", wide);
  std::string line;
  const std::string unit = index % 2 ? "ab\t" + wide : wide + wide + " x";
  while (line.size() + unit.size() + 8 < length) line += unit;
  std::string end;
  Encode(e, index % 4 == 3 ? u"終わEN" : u"終わEND", end);
  return line + end;
}

// Lines whose word lies across the end of the first piece (64 KiB less a
// few bytes): each starts at a different byte, characters cut at the edge.
std::string MakeEdgeLine(TextEncoding e, size_t at) {
  std::string wide;
  std::string end;
  Encode(e, u"わ ", wide);  // short runs: a run of one character would cost its square
  Encode(e, u"わEND", end);
  std::string line(at % 3, 'y');
  while (line.size() + wide.size() <= at) line += wide;
  line.append(at - line.size(), 'y');
  line += end;
  while (line.size() < at + 3000) line += wide;
  return line;
}

class LongLineSearch : public SearchTest {};

TEST_F(LongLineSearch, HitsAtTheEndsOfLongLinesInEveryPlanAndEncoding) {
  for (const TextEncoding e : {TextEncoding::kCp932, TextEncoding::kUtf8, TextEncoding::kEucJp}) {
    std::vector<std::string> lines;
    std::string file;
    const size_t count = std::size(kLengths) - (e == TextEncoding::kCp932 ? 0 : 2);
    for (size_t i = 0; i < count; ++i) {
      lines.push_back(MakeLine(e, kLengths[i], static_cast<int>(i)));
      file += lines.back() + (i % 3 == 0 ? "\n" : "\r\n");
    }
    for (size_t at = 65516; at < 65540; ++at) {
      lines.push_back(MakeEdgeLine(e, at));
      file += lines.back() + "\n";
    }
    Open(file);
    SlotTable[CurrentSlot].Encoding = e;
    for (const Query& q : kQueries) {
      std::string pattern;
      ASSERT_TRUE(Encode(e, q.typed, pattern));
      options_ = SearchOptions{q.ignoreCase, q.regex, true, true};
      std::vector<int32_t> expected;
      std::pair<int64_t, int64_t> first{-1, -1};
      for (size_t i = 0; i < lines.size(); ++i) {
        const auto m = WholeMatch(WholeText(lines[i], TabWidth), pattern, options_, e);
        if (m.first < 0) continue;
        if (expected.empty()) first = m;
        expected.push_back(static_cast<int32_t>(i));
      }
      const std::string where = std::string(q.name) + " in encoding " + std::to_string(int(e));
      expected.push_back(-1);
      EXPECT_EQ(RunBoth(pattern, -1, true).lines, expected) << where;
      options_.Down = false;
      std::vector<int32_t> upward(expected.rbegin() + 1, expected.rend());
      upward.push_back(-1);
      EXPECT_EQ(RunBoth(pattern, static_cast<int32_t>(lines.size()), true).lines, upward) << where;
      // The offsets of the first hit, from a single search down.
      options_ = SearchOptions{q.ignoreCase, q.regex, false, true};
      SlotTable[CurrentSlot].TopLine = -1;
      SearchRun run;
      int32_t start = 0;
      int32_t end = 0;
      if (first.first >= 0) {
        EXPECT_EQ(SearchNextWith(pattern, start, end, run), expected.front()) << where;
        EXPECT_EQ(run.matchStart, first.first) << where;
        EXPECT_EQ(run.matchEnd, first.second) << where;
      }
    }
  }
}

// The search log shows a long line's start, then the hit and a little after
// it, with a mark where text is left out.
TEST_F(LongLineSearch, TheLogShowsALongLinesStartAndItsHit) {
  const std::string line = std::string(2990, 'a') + "\tEND" + std::string(300, 'b');
  Open("x\n" + line + "\n" + std::string(1500, 'c') + "END");
  std::string mark;
  Encode(TextEncoding::kCp932, u" … ", mark);
  options_ = SearchOptions{false, false, true, true};
  Run(SearchNext, "END", -1, true);
  ASSERT_EQ(hits_.size(), 2u);
  EXPECT_EQ(hits_[0].text, std::string(1000, 'a') + mark + "END" + std::string(100, 'b') + mark);
  EXPECT_EQ(hits_[1].text, std::string(1500, 'c') + "END");  // short: whole
  Run(SearchNext, "aaa", -1, true);
  ASSERT_EQ(hits_.size(), 1u);
  EXPECT_EQ(hits_[0].text, std::string(1000, 'a') + mark);
}

// A long line is matched from just before the raw finder's candidate: the
// start found there must split characters as the whole line does, and the
// offsets must count every TAB before it. Traps: trail bytes that look like
// the word, runs in which no edge can be told (so the whole way is taken),
// cut characters just before the word, TABs, and hits at many places past
// the first piece.
TEST_F(LongLineSearch, MatchingFromNearTheCandidateAgreesWithTheWholeLine) {
  struct Encoded {
    TextEncoding e;
    std::vector<std::string> fill;  // what the line is made of: no needle in it
    std::string blind;              // a character whose runs hold no known edge
    std::string trap;               // just before the word in some lines
  };
  const Encoded encodings[] = {
      // 0x8345 ends in 'E'; 0x889F has a trail that may be a lead.
      {TextEncoding::kCp932,
       {"\x88\x9F\x88\x9F", "a\t", " ", "\x82\xED", "\x83\x45N"},
       "\x88\x9F",
       "\x83\x45ND"},
      {TextEncoding::kUtf8,
       {"\xE3\x82\x8F", "\t", "EN", "x ", "\xF0\x9F\x98\x80"},
       "\xE3\x82\x8F",
       "\xE3\x82"},
      {TextEncoding::kEucJp,
       {"\xA4\xEF\xA4\xEF", "\x8F\xB0\xA1", "\x8E\xB1", "\tE", "N "},
       "\xA4\xEF",
       "\xA4"},
  };
  for (const Encoded& enc : encodings) {
    std::mt19937 random(7);
    std::vector<std::string> lines;
    std::string file;
    std::string word;
    Encode(enc.e, u"わEND", word);
    for (int i = 0; i < 25; ++i) {
      std::string line;
      const size_t at = 66000 + random() % 9000;
      while (line.size() < at) line += enc.fill[random() % enc.fill.size()];
      for (int k = 0; i % 4 == 2 && k < 200; ++k) line += enc.blind;
      if (i % 3 == 1) line += enc.trap;
      line += i % 6 == 5 ? std::string("EN") : word.substr(i % 2 ? 0 : word.size() - 3);
      while (line.size() < at + 200) line += enc.fill[random() % enc.fill.size()];
      lines.push_back(line);
      file += line + "\r\n";
    }
    // Without its line end the last line ends at the file's end, and is
    // looked for in its own turn.
    for (const bool feedAtEnd : {true, false}) {
      Open(feedAtEnd ? file : file.substr(0, file.size() - 2));
      SlotTable[CurrentSlot].Encoding = enc.e;
      for (const Query& q :
           {Query{"plain", u"END", false, false}, Query{"wide", u"わEND", false, false},
            Query{"icase", u"eNd", false, true}, Query{"regex", u"わ?E.D", true, false},
            Query{"regex_bounded", u"(わx?){0,9}\\bEND", true, false},
            Query{"regex_unbounded", u"わ+END", true, false}}) {
        std::string pattern;
        ASSERT_TRUE(Encode(enc.e, q.typed, pattern));
        options_ = SearchOptions{q.ignoreCase, q.regex, true, true};
        std::vector<int32_t> expected;
        for (size_t i = 0; i < lines.size(); ++i) {
          if (WholeMatch(WholeText(lines[i], TabWidth), pattern, options_, enc.e).first >= 0) {
            expected.push_back(static_cast<int32_t>(i));
          }
        }
        expected.push_back(-1);
        EXPECT_EQ(RunBoth(pattern, -1, true).lines, expected)
            << q.name << " in encoding " << static_cast<int>(enc.e);
      }
    }
  }
}

// The slices and the text reader give a long line's bytes exactly, from any
// offset, across window edges.
TEST_F(LongLineSearch, SlicesAndTextOfALineLongerThanAWindow) {
  std::string line;
  for (size_t i = 0; line.size() < (size_t{20} << 20); ++i) line += "0123456789\tabcdef"[i % 17];
  Open("first\r\n" + line + "\r\nlast");
  TabWidth = 3;
  FileSlot& slot = SlotTable[CurrentSlot];
  const LineBounds bounds = GetLineBounds(slot, 1);
  ASSERT_TRUE(bounds.ok);
  EXPECT_EQ(bounds.length(), line.size());
  for (const uint64_t from : {uint64_t{0}, uint64_t{8} << 20, (uint64_t{16} << 20) - 3,
                              uint64_t{line.size() - 5}, uint64_t{line.size()}}) {
    const LineSlice slice = GetLineSlice(slot, 1, from, 100);
    EXPECT_EQ(std::string(slice.data, slice.size), line.substr(from, 100)) << from;
  }
  LineTextReader reader(slot, 1);
  std::string text;
  std::vector<char> piece(70001);
  while (size_t n = reader.Read(piece.data(), piece.size())) text.append(piece.data(), n);
  EXPECT_TRUE(text == WholeText(line, 3));
  EXPECT_EQ(reader.text(), text.size());
}

}  // namespace

// Long lines searched through the workers' tiles (1 MiB of the file each):
// words at tile and count-block (16 KiB) edges, a tile with more words than
// it keeps, TABs before every word (text offsets counted a block at a
// time), a zero byte before a word (a regex sees the text up to it), in the
// three encodings, down and up, continuous and from lines in between.
TEST_F(LongLineSearch, TilesOfLongLinesGiveTheOraclesHits) {
  constexpr size_t kTile = size_t{1} << 20;
  constexpr size_t kBlock = size_t{16} << 10;
  // File offsets of words (before the line feeds go in).
  std::vector<size_t> words = {
      kBlock - 2,    3 * kBlock,   kTile - 3, kTile - 1, kTile, kTile + 1, 2 * kTile + kBlock - 1,
      3 * kTile - 2, 4 * kTile + 5};
  for (size_t k = 0; k < 90; ++k) words.push_back(kTile + 4096 + 37 * k);  // a dense tile
  const size_t feeds[] = {700000, 2 * kTile + 5, 3 * kTile + 100, 3 * kTile + 2100000};
  // Words that begin or end a line: at a range's ends.
  for (const size_t at : {feeds[0] + 1, feeds[1] - 3, feeds[2] + 1, feeds[3] - 3}) {
    words.push_back(at);
  }
  SetWorkerCountForTest(2);
  for (const TextEncoding e : {TextEncoding::kCp932, TextEncoding::kUtf8, TextEncoding::kEucJp}) {
    std::string wide;
    Encode(e, u"わ", wide);
    std::mt19937 random(11);
    std::string file;
    while (file.size() < 5 * kTile + 300000) {
      const unsigned pick = random() % 16;
      file += pick == 0 ? "\t" : pick < 4 ? wide : std::string(1, static_cast<char>('a' + pick));
    }
    for (const size_t at : words) file.replace(at, 3, "END");
    file[3 * kTile + 200] = '\0';  // a regex sees the fourth line only up to here
    for (const size_t at : feeds) file[at] = '\n';
    Open(file);
    WaitForIndex(SlotTable[CurrentSlot]);
    SlotTable[CurrentSlot].Encoding = e;
    const int32_t count = SlotTable[CurrentSlot].LineCount;
    for (const Query& q :
         {Query{"plain", u"END", false, false}, Query{"icase", u"enD", false, true},
          Query{"regex", u"[E]ND", true, false}}) {
      std::string pattern;
      ASSERT_TRUE(Encode(e, q.typed, pattern));
      for (const bool down : {true, false}) {
        SCOPED_TRACE(std::string(q.name) + (down ? " down" : " up") + " in encoding " +
                     std::to_string(static_cast<int>(e)));
        options_ = SearchOptions{q.ignoreCase, q.regex, true, down};
        RunBoth(pattern, down ? -1 : count, true);
        options_.Continuous = false;
        for (int32_t top = 0; top < count; ++top) RunBoth(pattern, top);
      }
    }
  }
  SetWorkerCountForTest(0);
}

// A forward scan's tiles leave the rest of a line unread once it has a
// start of the needle; questions from inside such a rest, and backward
// ones, must still get the first (last) start in the range: each question
// follows the scan's own questions from every line's start, on tiles
// decided afresh, and is answered as the caller reads the tiles' answers.
TEST_F(LongLineSearch, TilesAnswerExactlyWhereLinesWereLeftUnread) {
  constexpr uint64_t kTile = uint64_t{1} << 20;
  std::string file(12 * kTile, 'a');
  // Line 2 spans eight tiles (read in parts), with words in its first
  // tile, at a tile edge and tiles later.
  const std::vector<uint64_t> starts = {0, kTile / 2, 3 * kTile + 8, 11 * kTile + 100};
  const std::vector<uint64_t> words = {
      100,           kTile / 2 + 10, kTile + 5,      2 * kTile + 3, 3 * kTile + 20, 3 * kTile + 30,
      5 * kTile - 2, 7 * kTile + 9,  10 * kTile + 5, 12 * kTile - 3};
  for (size_t k = 1; k < starts.size(); ++k) file[starts[k] - 1] = '\n';
  for (const uint64_t at : words) file.replace(at, 3, "END");
  SetWorkerCountForTest(2);
  Open(file);
  WaitForIndex(SlotTable[CurrentSlot]);
  const FileSlot& slot = SlotTable[CurrentSlot];
  const search_detail::RawNeedle needle("END", false);
  using search_detail::SpanAnswer;
  constexpr uint64_t kNone = ~uint64_t{0};
  // As the scan reads the answers: a range cut is asked again, the rest of
  // an unknown one read here.
  auto ask = [&](uint64_t from, uint64_t end, int step) {
    for (;;) {
      const SpanAnswer a = search_detail::FindInTiles(slot, needle, from, end, step);
      if (a.kind == SpanAnswer::kFound) return a.at;
      if (a.kind == SpanAnswer::kNone) return kNone;
      (step > 0 ? from : end) = a.at;
      if (a.kind == SpanAnswer::kUnknown) break;
    }
    const std::string range = end > from ? file.substr(from, end - from) : std::string();
    const size_t at = step > 0 ? range.find("END") : range.rfind("END");
    return at == std::string::npos ? kNone : from + at;
  };
  std::vector<std::tuple<uint64_t, uint64_t, int>> questions;
  for (const uint64_t w : words) {
    questions.emplace_back(w + 1, file.size(), 1);
    questions.emplace_back(w - 1, w + 2, 1);
    questions.emplace_back(0, w + 2, -1);
    questions.emplace_back(w + 1, file.size(), -1);
  }
  for (const auto& [from, end, step] : questions) {
    SCOPED_TRACE(std::to_string(from) + " " + std::to_string(end) + " " + std::to_string(step));
    search_detail::FindInTiles(slot, search_detail::RawNeedle("ENX", false), 0, file.size(), 1);
    for (const uint64_t s : starts) {
      const size_t at = file.find("END", s);
      EXPECT_EQ(ask(s, file.size(), 1), at == std::string::npos ? kNone : at);
    }
    const std::string range = file.substr(from, end - from);
    const size_t at = step > 0 ? range.find("END") : range.rfind("END");
    EXPECT_EQ(ask(from, end, step), at == std::string::npos ? kNone : from + at);
  }
  SetWorkerCountForTest(0);
}

// Random documents of long lines searched through the tiles. Each line's
// first word (the one a search reports) lies a few bytes in, deep in, or at
// an edge where the workers' reading turns (tile, count block, piece), after
// a TAB and a double-byte character, whole or cut; TABs lie across every
// piece edge; some lines hold more words after the first, one line spans
// many tiles. In the three encodings, with several tab widths, down and up,
// continuous and from every line: every hit's line and log text (cut from
// its offsets) is the oracle's.
TEST_F(LongLineSearch, RandomLongLinesAgreeWithTheOracleAcrossTileEdges) {
  constexpr size_t kPiece = size_t{16} << 10;  // tiles and count blocks are multiples
  struct Case {
    TextEncoding e;
    uint32_t seed;
    int tab;
  };
  const Case cases[] = {{TextEncoding::kCp932, 5, 4},
                        {TextEncoding::kUtf8, 6, 1},
                        {TextEncoding::kEucJp, 7, 8},
                        {TextEncoding::kCp932, 8, 3}};
  SetWorkerCountForTest(2);
  for (const Case& c : cases) {
    std::mt19937 random(c.seed);
    std::string wide;
    std::string before;
    Encode(c.e, u"わ", wide);
    Encode(c.e, u"わ\t", before);
    // Two of the cases begin with a line of over three page tables (read in
    // parts by both workers).
    const bool longFirst = c.seed % 2 == 0;
    std::string file;
    while (file.size() < ((longFirst ? size_t{12} : size_t{6}) << 20)) {
      const unsigned pick = random() % 12;
      file += pick == 0 ? "\t" : pick < 4 ? wide : std::string(1, static_cast<char>('a' + pick));
    }
    for (size_t edge = kPiece; edge < file.size(); edge += kPiece) {
      file[edge - 1 + random() % 3] = '\t';
    }
    std::vector<size_t> feeds = {0};
    if (longFirst) feeds.push_back((size_t{7} << 20) + random() % 900000);
    while (feeds.back() + (size_t{1} << 20) < file.size()) {
      feeds.push_back(feeds.back() + 40000 + random() % 700000);
      file[feeds.back()] = '\n';
    }
    for (size_t k = 0; k + 1 < feeds.size(); ++k) {
      const size_t begin = feeds[k] + 1;
      const size_t length = feeds[k + 1] - begin;
      size_t at = 0;
      switch (random() % 4) {
        case 0:  // close to the start, on either side of matching from there
          at = begin + 6 + random() % 1400;
          break;
        case 1:  // at a piece edge well into the line
          at = (begin + 20000 + random() % (length - 30000)) / kPiece * kPiece - 4 + random() % 8;
          break;
        case 2:
          at = begin + 6 + random() % (length - 12);
          break;
        default:
          continue;  // no word
      }
      const std::string lead = random() % 2 ? before : wide.substr(0, 2) + "\t";
      file.replace(at - lead.size(), lead.size() + 3, lead + "END");
      // Words after the first, which a forward scan need not read, in the
      // same tile or tiles later.
      for (size_t more = random() % 3; more > 0 && at + 40 < begin + length; --more) {
        at += 16 + random() % (begin + length - at - 24);
        file.replace(at - 1, 4, "\tEND");
      }
    }
    TabWidth = c.tab;
    Open(file);
    WaitForIndex(SlotTable[CurrentSlot]);
    SlotTable[CurrentSlot].Encoding = c.e;
    const int32_t count = SlotTable[CurrentSlot].LineCount;
    for (const Query& q :
         {Query{"plain", u"END", false, false}, Query{"icase", u"eNd", false, true},
          Query{"regex", u"[E]ND", true, false}, Query{"regex_wide", u"わ?\\s?E.D", true, false}}) {
      std::string pattern;
      ASSERT_TRUE(Encode(c.e, q.typed, pattern));
      for (const bool down : {true, false}) {
        SCOPED_TRACE(std::string(q.name) + (down ? " down" : " up") + " seed " +
                     std::to_string(c.seed));
        options_ = SearchOptions{q.ignoreCase, q.regex, true, down};
        RunBoth(pattern, down ? -1 : count, true);
        // Single searches from every line, through the tiles kept.
        options_.Continuous = false;
        for (int32_t top = 0; top < count; ++top) RunBoth(pattern, top);
      }
    }
  }
  SetWorkerCountForTest(0);
}
