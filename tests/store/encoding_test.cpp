// The encoding unit: characters, cells, decoding and encoding, case folding
// and detection, each case run through all three encodings where it applies.
#include "store/encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/japanese.h"

namespace {

using E = TextEncoding;

struct CharCase {
  const char* name;
  E encoding;
  std::string bytes;
  CharSpan expected;
};

TEST(Encoding, NextCharSplitsEachEncodingIntoCharactersAndCells) {
  const CharCase cases[] = {
      {"ascii", E::kUtf8, "a", {1, 1, U'a'}},
      {"sjis_kanji", E::kCp932, "\x93\xFA", {2, 2, U'日'}},
      {"sjis_trail_5c", E::kCp932, "\x95\x5C", {2, 2, U'表'}},
      {"sjis_half_kana", E::kCp932, "\xB1", {1, 1, U'ｱ'}},
      {"sjis_lone_lead", E::kCp932, "\x93", {1, 1, kNoCharacter}},
      {"sjis_lead_bad_trail", E::kCp932, "\x93 ", {1, 1, kNoCharacter}},
      {"sjis_unassigned_pair", E::kCp932, "\x85\x40", {2, 2, kNoCharacter}},
      {"sjis_undefined_single", E::kCp932, "\xFD", {1, 1, kNoCharacter}},
      {"utf8_kanji", E::kUtf8, "\xE6\x97\xA5", {3, 2, U'日'}},
      {"utf8_half_kana", E::kUtf8, "\xEF\xBD\xB1", {3, 1, U'ｱ'}},
      {"utf8_four_bytes", E::kUtf8, "\xF0\xA0\xAE\xB7", {4, 2, U'𠮷'}},
      {"utf8_latin", E::kUtf8, "\xC3\xA9", {2, 1, U'é'}},
      {"utf8_greek_is_wide_as_in_sjis", E::kUtf8, "\xCE\xB1", {2, 2, U'α'}},
      {"utf8_cut", E::kUtf8, "\xE6\x97", {1, 1, kNoCharacter}},
      {"utf8_overlong", E::kUtf8, "\xC0\xAF", {1, 1, kNoCharacter}},
      {"utf8_surrogate", E::kUtf8, "\xED\xA0\x80", {1, 1, kNoCharacter}},
      {"utf8_lone_continuation", E::kUtf8, "\x80", {1, 1, kNoCharacter}},
      {"euc_kanji", E::kEucJp, "\xC6\xFC", {2, 2, U'日'}},
      {"euc_half_kana", E::kEucJp, "\x8E\xB1", {2, 1, U'ｱ'}},
      {"euc_jis0212", E::kEucJp, "\x8F\xB0\xA1", {3, 2, U'丂'}},
      {"euc_jis0212_unassigned", E::kEucJp, "\x8F\xA1\xA1", {3, 3, kNoCharacter}},
      {"euc_cut_pair", E::kEucJp, "\xC6", {1, 1, kNoCharacter}},
      {"euc_bad_kana", E::kEucJp, "\x8E\xE0", {1, 1, kNoCharacter}},
      // Characters that draw no advance of their own take no cell.
      {"utf8_combining_acute", E::kUtf8, "\xCC\x81", {2, 0, U'\u0301'}},
      {"utf8_kana_voiced_mark", E::kUtf8, "\xE3\x82\x99", {3, 0, U'\u3099'}},
      {"utf8_variation_selector", E::kUtf8, "\xEF\xB8\x8F", {3, 0, U'\uFE0F'}},
      {"utf8_ideographic_variation", E::kUtf8, "\xF3\xA0\x84\x80", {4, 0, U'\U000E0100'}},
      {"utf8_zero_width_joiner", E::kUtf8, "\xE2\x80\x8D", {3, 0, U'\u200D'}},
  };
  for (const CharCase& c : cases) {
    SCOPED_TRACE(c.name);
    const CharSpan got = NextChar(c.encoding, c.bytes.data(), c.bytes.size());
    EXPECT_EQ(c.expected.length, got.length);
    EXPECT_EQ(c.expected.cells, got.cells);
    EXPECT_EQ(static_cast<uint32_t>(c.expected.code), static_cast<uint32_t>(got.code));
  }
}

TEST(Encoding, SampleTextRoundTripsAndTakesTheSameCellsInEveryEncoding) {
  for (const E e : japanese::kAll) {
    SCOPED_TRACE(EncodingName(e));
    for (const japanese::SampleLine& line : japanese::Lines()) {
      std::string bytes;
      const bool held = Encode(e, line.text, bytes);
      EXPECT_EQ(japanese::Holds(e, line), held);
      if (!held) continue;
      EXPECT_EQ(line.text, Decode(e, bytes));
      std::string utf8;
      ASSERT_TRUE(Encode(E::kUtf8, line.text, utf8));
      EXPECT_EQ(CellWidth(E::kUtf8, utf8.data(), utf8.size()),
                CellWidth(e, bytes.data(), bytes.size()));
    }
  }
}

TEST(Encoding, DecodeShowsEveryUndecodableByteAsOneCell) {
  struct Case {
    const char* name;
    E encoding;
    std::string bytes;
    DecodeMode mode;
    std::u16string expected;
  };
  const Case cases[] = {
      {"utf8_stand_ins", E::kUtf8, std::string("a\xFF\0b\xE6\x97", 6), DecodeMode::kStandIns,
       u"a··b··"},
      {"utf8_replacement", E::kUtf8, std::string("a\xFF\0b", 4), DecodeMode::kReplacement,
       std::u16string(u"a\uFFFD\u00B7b")},
      {"euc_unassigned_0212", E::kEucJp, "\x8F\xA1\xA1x", DecodeMode::kStandIns, u"···x"},
      {"sjis_unassigned_pair", E::kCp932, "\x85\x40z", DecodeMode::kStandIns, u"··z"},
      {"utf8_surrogate_pair_out", E::kUtf8, "\xF0\x9F\x8D\xA3", DecodeMode::kStandIns, u"🍣"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string got = Decode(c.encoding, c.bytes, c.mode);
    EXPECT_EQ(c.expected, got);
    if (c.mode == DecodeMode::kStandIns) {
      EXPECT_EQ(CellWidth(c.encoding, c.bytes.data(), c.bytes.size()),
                static_cast<int>(got.size()));
    }
  }
}

TEST(Encoding, EncodeRefusesWhatTheEncodingCannotHold) {
  struct Case {
    const char* name;
    E encoding;
    std::u16string text;
    bool ok;
    std::string bytes;
    size_t badIndex;
  };
  const Case cases[] = {
      {"sjis_kanji", E::kCp932, u"a日本", true, "a\x93\xFA\x96\x7B", 0},
      {"sjis_wave_dash_alias", E::kCp932, u"\u301C", true, "\x81\x60", 0},
      {"sjis_0212_refused", E::kCp932, u"ab丂", false, "", 2},
      {"sjis_four_byte_refused", E::kCp932, u"𠮷", false, "", 0},
      {"euc_kanji", E::kEucJp, u"日ｱ", true, "\xC6\xFC\x8E\xB1", 0},
      {"euc_0212", E::kEucJp, u"丂", true, "\x8F\xB0\xA1", 0},
      {"euc_emoji_refused", E::kEucJp, u"x🍣", false, "", 1},
      {"utf8_four_bytes", E::kUtf8, u"𠮷", true, "\xF0\xA0\xAE\xB7", 0},
      {"lone_surrogate_refused", E::kUtf8, std::u16string(1, char16_t(0xD800)), false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    size_t bad = 99;
    EXPECT_EQ(c.ok, Encode(c.encoding, c.text, out, &bad));
    if (c.ok) {
      EXPECT_EQ(c.bytes, out);
    } else {
      EXPECT_EQ(c.badIndex, bad);
    }
  }
}

TEST(Encoding, CharacterStartsAndCaseFoldingNeverSplitACharacter) {
  struct Case {
    const char* name;
    E encoding;
    std::string text;
    std::string starts;  // '^' where a character begins, '.' inside one
    std::string upper;
  };
  const Case cases[] = {
      {"sjis_trail_letter", E::kCp932, "a\x83\x61z", "^^.^", "A\x83\x61Z"},
      {"sjis_trail_5c", E::kCp932, "\x95\x5C\x5C", "^.^", "\x95\x5C\x5C"},
      {"sjis_kana_run", E::kCp932, "\xB1\xB1\x93\xFA", "^^^.", "\xB1\xB1\x93\xFA"},
      {"sjis_lead_then_blank", E::kCp932, "\x93 a", "^^^", "\x93 A"},
      {"utf8", E::kUtf8, "a\xE6\x97\xA5z", "^^..^", "A\xE6\x97\xA5Z"},
      {"utf8_stray_continuation", E::kUtf8, "\x97\xA5\xE6", "^^^", "\x97\xA5\xE6"},
      {"euc_pair_then_0212", E::kEucJp, "\xC6\xFC\x8F\xB0\xA1q", "^.^..^", "\xC6\xFC\x8F\xB0\xA1Q"},
      {"euc_kana", E::kEucJp, "\x8E\xB1\x8E\xB2", "^.^.", "\x8E\xB1\x8E\xB2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string starts;
    for (size_t i = 0; i < c.text.size(); ++i) {
      starts += IsCharStart(c.encoding, c.text.data(), c.text.size(), i) ? '^' : '.';
    }
    EXPECT_EQ(c.starts, starts);
    std::string upper = c.text;
    UpperCaseAscii(c.encoding, upper.data(), upper.size());
    EXPECT_EQ(c.upper, upper);
  }
}

// The search reads characters through DecodeUnits, the page through
// DecodeInto: on any bytes, stray and cut sequences included, both must
// split the text at the same places (IsCharStart's too) into the same
// characters, or a search finds what the page does not show.
TEST(Encoding, SearchUnitsSplitRandomBytesAsThePageDoes) {
  uint64_t state = 18;
  auto below = [&state](uint32_t n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>((state >> 33) % n);
  };
  // Bytes that begin, continue or break characters in one encoding or another.
  static const unsigned char kBytes[] = {'a',  '0',  ' ',  0,    0x5C, 0x40, 0x7F, 0x80, 0x81, 0x8E,
                                         0x8F, 0x9F, 0xA1, 0xB0, 0xC3, 0xDF, 0xE0, 0xE6, 0xED, 0xEF,
                                         0xF0, 0xF4, 0xFA, 0xFC, 0xFD, 0xFE, 0xFF, 0xBF};
  for (const E e : {E::kCp932, E::kUtf8, E::kEucJp}) {
    for (int round = 0; round < 3000; ++round) {
      std::string text(below(12), '\0');
      for (char& c : text) c = static_cast<char>(kBytes[below(sizeof kBytes)]);
      std::vector<char32_t> units(text.size());
      std::vector<int32_t> origin(text.size() + 1);
      units.resize(DecodeUnits(e, text.data(), text.size(), units.data(), origin.data()));
      std::string starts(text.size(), '.');
      std::u16string drawn;
      for (size_t k = 0; k < units.size(); ++k) {
        starts[static_cast<size_t>(origin[k])] = '^';
        const size_t bytes = static_cast<size_t>(origin[k + 1] - origin[k]);
        if (units[k] >= kUndecodableBase) {
          drawn.append(bytes, u'\u00B7');
        } else if (units[k] == 0) {
          drawn += u'\u00B7';
        } else if (units[k] >= 0x10000) {
          drawn += static_cast<char16_t>(0xD800 + ((units[k] - 0x10000) >> 10));
          drawn += static_cast<char16_t>(0xDC00 + ((units[k] - 0x10000) & 0x3FF));
        } else {
          drawn += static_cast<char16_t>(units[k]);
        }
      }
      std::string charStarts;
      for (size_t i = 0; i < text.size(); ++i) {
        charStarts += IsCharStart(e, text.data(), text.size(), i) ? '^' : '.';
      }
      ASSERT_EQ(origin[units.size()], static_cast<int32_t>(text.size()));
      ASSERT_EQ(Decode(e, text), drawn) << EncodingName(e) << " round " << round;
      ASSERT_EQ(charStarts, starts) << EncodingName(e) << " round " << round;
    }
  }
}

// A character with two codes decodes to one code point, which the search
// is told not to look for by its bytes.
TEST(Encoding, DuplicateCodesDecodeToOneCharacter) {
  struct Case {
    E encoding;
    std::string a, b;
  };
  const Case cases[] = {
      {E::kCp932, "\xED\x40", "\xFA\x5C"},      // 纊, NEC-selected and IBM rows
      {E::kCp932, "\x87\x9A", "\x81\xE6"},      // ∵, NEC row 13 and JIS X 0208
      {E::kEucJp, "\xA1\xC1", "\x8F\xA2\xB7"},  // ～, JIS X 0208 and 0212
      {E::kEucJp, "\xAD\xE2", "\x8F\xA2\xF1"},  // №
  };
  for (const Case& c : cases) {
    const CharSpan a = NextChar(c.encoding, c.a.data(), c.a.size());
    const CharSpan b = NextChar(c.encoding, c.b.data(), c.b.size());
    EXPECT_NE(a.code, kNoCharacter) << c.a;
    EXPECT_EQ(a.code, b.code) << c.a;
    EXPECT_TRUE(HasOtherCodes(c.encoding, a.code)) << c.a;
  }
  EXPECT_FALSE(HasOtherCodes(E::kCp932, U'日'));
  EXPECT_FALSE(HasOtherCodes(E::kUtf8, U'∵'));
}

TEST(Encoding, DetectionFromTheStartOfTheFile) {
  const std::string sjis = japanese::File(E::kCp932);
  const std::string utf8 = japanese::File(E::kUtf8);
  const std::string euc = japanese::File(E::kEucJp);
  std::string utf16;
  for (const char c : std::string("Hello, world\r\n")) {
    utf16 += c;
    utf16 += '\0';
  }
  // Japanese in UTF-16 without a byte order mark: zero bytes only in its
  // line end and in the low byte of U+3000.
  std::string utf16le;
  std::string utf16be;
  for (const char16_t c : std::u16string(u"日本語の　テキスト\r\n二行目\r\n")) {
    utf16le += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    utf16be += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
  }
  // ASCII with a stray zero byte after a line feed reads as a UTF-16 line
  // feed and CJK units, but its other line ends do not.
  const std::string asciiWithZero("ab\n\0cd\nefgh\nijklm\nopq\nrstu\n", 28);
  std::string sjisKanaOnly;  // a Shift-JIS file with only double-byte text
  for (int i = 0; i < 40; ++i) sjisKanaOnly += "\x82\xA0\x82\xA2\x83\x41\x8A\xBF\r\n";
  struct Case {
    const char* name;
    std::string bytes;
    bool wholeFile;
    E encoding;
    int bom;
    bool utf16;
  };
  const Case cases[] = {
      {"empty", "", true, E::kCp932, 0, false},
      {"ascii", "plain text\r\n", true, E::kCp932, 0, false},
      {"utf8_bom", "\xEF\xBB\xBFok", true, E::kUtf8, 3, false},
      {"utf8_bom_only", "\xEF\xBB\xBF", true, E::kUtf8, 3, false},
      {"utf16le_bom", "\xFF\xFEh\0i\0", true, E::kCp932, 0, true},
      {"utf16be_bom", std::string("\xFE\xFF\0h", 4), true, E::kCp932, 0, true},
      {"utf16_without_bom", utf16, true, E::kCp932, 0, true},
      {"zeros_are_not_utf16", std::string(64, '\0'), true, E::kCp932, 0, false},
      {"sample_sjis", sjis, true, E::kCp932, 0, false},
      {"sample_utf8_with_bad_bytes", utf8, true, E::kUtf8, 0, false},
      {"sample_eucjp", euc, true, E::kEucJp, 0, false},
      {"sjis_common_text", sjisKanaOnly, true, E::kCp932, 0, false},
      {"utf8_short_with_a_bad_byte", "\xE6\x97\xA5\xE6\x9C\xAC a\xFF \xE4\xB8\x82", true, E::kUtf8,
       0, false},
      {"utf8_cut_at_sample_end", "ascii \xE6\x97\xA5\xE6\x97", false, E::kUtf8, 0, false},
      {"eucjp_cut_at_sample_end", "\xC6\xFC\xCB\xDC\xB8\xEC\xC6", false, E::kEucJp, 0, false},
      {"utf16le_japanese_without_bom", utf16le, true, E::kCp932, 0, true},
      {"utf16be_japanese_without_bom", utf16be, true, E::kCp932, 0, true},
      {"ascii_with_a_stray_zero", asciiWithZero, true, E::kCp932, 0, false},
      {"utf8_little_japanese_few_stray_bytes",
       "log: \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E ok\r\nbad \x93\xFA\r\n", true, E::kUtf8, 0,
       false},
      {"eucjp_half_width_kana_only", "\x8E\xB1\x8E\xB2\x8E\xB3\r\n\x8E\xC4\r\n", true, E::kEucJp, 0,
       false},
      {"eucjp_jis_x_0212_only", "\x8F\xA2\xB7 \x8F\xB0\xA1\x8F\xA2\xF1\r\n", true, E::kEucJp, 0,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EncodingGuess g = DetectEncoding(c.bytes.data(), c.bytes.size(), c.wholeFile);
    EXPECT_EQ(EncodingName(c.encoding), std::string(EncodingName(g.encoding)));
    EXPECT_EQ(c.bom, g.bomLength);
    EXPECT_EQ(c.utf16, g.utf16);
  }
}

}  // namespace
