// The same Japanese text in Shift-JIS, UTF-8 and EUC-JP must give the same
// hits: the same lines and the same matched characters, for plain search,
// ignored case and regular expressions, through the fast scan and the
// line-by-line oracle alike.
#include <string>
#include <vector>

#include "search_fixture.h"
#include "support/japanese.h"

namespace {

enum class InSjis {
  kSame,  // the same hits in all three encodings
  kNone,  // only lines that Shift-JIS cannot hold match
};

struct Query {
  const char* name;
  std::u16string typed;
  bool regex;
  bool ignoreCase;
  size_t hits;  // in UTF-8
  InSjis sjis;
};

// Each hit as "line text | matched text", decoded.
using Hits = std::vector<std::u16string>;

class EncodingSearch : public SearchTest {
 protected:
  // Every hit from the top of the document, one single search after the
  // other, through the given scan; empty when the text is not encodable.
  Hits AllHits(SearchFunction function, TextEncoding e, const Query& q) {
    std::string pattern;
    if (!Encode(e, q.typed, pattern)) return {u"<not encodable>"};
    options_ = SearchOptions{q.ignoreCase, q.regex, false, true};
    Hits hits;
    FileSlot& slot = SlotTable[CurrentSlot];
    slot.TopLine = -1;
    SearchRunning = true;
    for (;;) {
      int32_t start = 0;
      int32_t end = 0;
      const int line = function(pattern, start, end);
      if (line < 0) break;
      const std::string text = GetLine(slot, line);
      hits.push_back(
          Decode(e, text) + u" | " +
          Decode(e, text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start))));
      slot.TopLine = line;
    }
    return hits;
  }
};

TEST_F(EncodingSearch, TheSameTextGivesTheSameHitsInEveryEncoding) {
  const Query queries[] = {
      {"plain_kanji", u"日本", false, false, 2, InSjis::kSame},
      {"plain_half_kana", u"ﾃｽﾄ", false, false, 1, InSjis::kSame},
      {"plain_after_tab", u"    タブ", false, false, 1, InSjis::kSame},
      {"plain_5c_never_inside_a_character", u"\\", false, false, 0, InSjis::kSame},
      {"plain_ignore_case_ascii_only", u"abc", false, true, 1, InSjis::kSame},
      {"plain_full_width_letters_keep_their_case", u"ａｂｃ", false, true, 1, InSjis::kSame},
      {"regex_quantified_character", u"本+語", true, false, 1, InSjis::kSame},
      {"regex_class_of_characters", u"[表能]示?", true, false, 1, InSjis::kSame},
      {"regex_range_of_kana", u"[ｱ-ｳ]{2}", true, false, 1, InSjis::kSame},
      {"regex_ignore_case", u"abc 全角[Ａ-Ｚ]+", true, true, 1, InSjis::kSame},
      {"regex_anchored_ascii", u"^second", true, false, 1, InSjis::kSame},
      {"regex_dot_is_one_character", u"ソ.予", true, false, 1, InSjis::kSame},
      {"regex_invalid_byte_is_one_character", u"バイト.$", true, false, 1, InSjis::kSame},
      {"regex_negated_class_takes_the_invalid_byte", u"不正[^ ]$", true, false, 1, InSjis::kSame},
      {"regex_four_byte_character", u"^.野家", true, false, 1, InSjis::kNone},
      {"plain_jis_x_0212", u"丂丄", false, false, 1, InSjis::kNone},
      {"regex_jis_x_0212", u"補助.字", true, false, 1, InSjis::kNone},
  };
  std::vector<TextEncoding> encodings(std::begin(japanese::kAll), std::end(japanese::kAll));
  for (const Query& q : queries) {
    SCOPED_TRACE(q.name);
    std::vector<Hits> results;
    for (const TextEncoding e : encodings) {
      SCOPED_TRACE(EncodingName(e));
      Open(japanese::File(e));
      ASSERT_EQ(e, SlotTable[CurrentSlot].Encoding);
      const Hits reference = AllHits(SearchNextReference, e, q);
      EXPECT_EQ(reference, AllHits(SearchNext, e, q));
      results.push_back(reference);
      CloseDocument();
    }
    EXPECT_EQ(q.hits, results[1].size());  // UTF-8 holds every line
    switch (q.sjis) {
      case InSjis::kSame:
        EXPECT_EQ(results[1], results[0]) << "Shift-JIS";
        break;
      case InSjis::kNone:
        EXPECT_TRUE(results[0].empty() || results[0] == Hits{u"<not encodable>"});
        break;
    }
    if (std::string(q.name) == "regex_four_byte_character") {
      EXPECT_EQ(Hits{}, results[2]) << "EUC-JP holds no such line";
    } else {
      EXPECT_EQ(results[1], results[2]) << "EUC-JP";
    }
  }
}

}  // namespace
