// Decoding and encoding at the view's edges, and the column cut of a block
// copy, over ASCII, half-width kana, double-byte characters (trail 0x5C and
// letters among them) and broken sequences.
#include <gtest/gtest.h>

#include <QString>
#include <string>

#include "view/view.h"

namespace {

struct DecodeCase {
  const char* name;
  std::string bytes;
  bool stand_ins;
  QString expected;
};

TEST(Cp932, DecodesEveryByteToOneCellOrOneCharacter) {
  const QString dot = QString(QChar(0x00B7));
  const DecodeCase cases[] = {
      {"ascii", "abc 123", true, "abc 123"},
      {"half_width_kana", "\xB1\xB2\xDF", true, QString::fromUtf8("ｱｲﾟ")},
      {"kanji", "\x93\xFA\x96\x7B", true, QString::fromUtf8("日本")},
      {"trail_0x5c", "\x95\x5C\x8E\xA6", true, QString::fromUtf8("表示")},
      {"trail_letter", "\x83\x41\x83\x62", true, QString::fromUtf8("アッ")},
      {"lone_lead_at_end", std::string("ab\x82"), true, "ab" + dot},
      {"lead_then_blank", std::string("\x82 x"), true, dot + " x"},
      {"zero_byte", std::string("a\0b", 3), true, "a" + dot + "b"},
      {"unassigned_pair", "\x85\x40z", true, dot + dot + "z"},
      {"undefined_single", "\x80\xA0\xFD", true, dot + dot + dot},
      {"zero_byte_plain", std::string("a\0b", 3), false, "a" + dot + "b"},
      {"lone_lead_plain", "ab\x82", false, QString("ab") + QChar(0xFFFD)},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected,
              DecodeCp932(c.bytes.data(), static_cast<int>(c.bytes.size()), c.stand_ins));
  }
}

TEST(Cp932, EncodeIsTheInverseOfDecode) {
  const std::string bytes = "abc \x93\xFA\x96\x7B\x8C\xEA \xB1 \x95\x5C";
  const QString text = DecodeCp932(bytes.data(), static_cast<int>(bytes.size()));
  EXPECT_EQ(QString::fromUtf8("abc 日本語 ｱ 表"), text);
  EXPECT_EQ(QByteArray::fromStdString(bytes), EncodeCp932(text));
}

struct CutCase {
  const char* name;
  std::string line;
  int c1, c2;
  std::string expected;
};

TEST(Cp932, CutColumnsWidensToWholeCharacters) {
  const std::string jp =
      "ab\x93\xFA\x96\x7B"
      "cd";  // a b 日 本 c d: 日 at 2-3, 本 at 4-5
  const CutCase cases[] = {
      {"ascii_middle", "abcdefgh", 2, 4, "cde"},
      {"columns_reversed", "abcdefgh", 4, 2, "cde"},
      {"start_on_trail_byte", jp, 3, 3, "\x93\xFA"},
      {"end_on_lead_byte", jp, 0, 4, "ab\x93\xFA\x96\x7B"},
      {"start_on_trail_end_on_lead", jp, 3, 4, "\x93\xFA\x96\x7B"},
      {"hi_past_end", "abcdef", 2, 100, "cdef"},
      {"hi_on_last_byte", "abcdef", 2, 5, "cdef"},
      {"lo_past_end", "abc", 4, 9, ""},
      {"lo_at_length", "abc", 3, 9, ""},
      {"lo_at_length_after_cut_lead", "ab\x93", 3, 9, "\x93"},
      {"empty_line", "", 0, 5, ""},
      {"negative_lo", "abcdef", -3, 1, "ab"},
  };
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.name);
    char out[kLineBufferSize];
    const int n = CutColumns(c.line.data(), static_cast<int>(c.line.size()), c.c1, c.c2, out);
    EXPECT_EQ(c.expected, std::string(out, static_cast<size_t>(n)));
  }
}

}  // namespace
