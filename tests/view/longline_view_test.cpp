// Lines longer than GetLine's text, in the three encodings: the page shows
// any column of them, the horizontal range reaches their last cell, a copy
// takes them whole or any column block of them, a search hit far right is
// scrolled into view, and a copy over the limit is refused with its size.
#include <unistd.h>

#include <QClipboard>
#include <QGuiApplication>
#include <algorithm>
#include <random>
#include <tuple>

#include "support/japanese.h"
#include "view/longline.h"
#include "view_fixture.h"

namespace {

using japanese::kAll;

// Characters of text and their cells, TABs as four blanks.
std::u32string Chars(const std::u16string& t) {
  std::u32string out;
  for (size_t i = 0; i < t.size(); ++i) {
    char32_t c = t[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < t.size())
      c = 0x10000 + ((c - 0xD800) << 10) + (t[++i] - 0xDC00);
    if (c == U'\t') {
      out += U"    ";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// The cells lo..hi of text, as a row scrolled to lo shows them (cut wide
// characters as blanks) or as a block copy takes them (whole characters).
QString Cells(const std::u32string& text, int64_t lo, int64_t hi, bool block) {
  std::u32string out;
  int64_t cell = 0;
  for (const char32_t c : text) {
    const int w = CodePointCells(c);
    if (cell >= lo && cell + w - 1 <= hi) {
      out.push_back(c);
    } else if (cell < lo && cell + w > lo) {
      if (block) {
        out.push_back(c);
      } else {
        out.append(static_cast<size_t>(cell + w - lo), U' ');
      }
    } else if (block && cell <= hi && cell + w - 1 > hi) {
      out.push_back(c);
    }
    cell += w;
    if (cell > hi + 1) break;
  }
  return QString::fromUcs4(out.data(), static_cast<qsizetype>(out.size()));
}

int64_t Width(const std::u32string& text) {
  int64_t cells = 0;
  for (const char32_t c : text) cells += CodePointCells(c);
  return cells;
}

class LongLines : public ViewTest {
 protected:
  // Each sample line the encoding holds, repeated to about 40 KB.
  std::vector<std::u32string> OpenLong(TextEncoding e) {
    CloseDocument();
    std::vector<std::u32string> texts;
    std::string bytes;
    for (const japanese::SampleLine& l : japanese::Lines()) {
      if (!japanese::Holds(e, l) || !l.badTail.empty()) continue;
      std::u16string text;
      while (text.size() < 15000) text += l.text;
      std::string encoded;
      Encode(e, text, encoded);
      bytes += encoded + "\r\n";
      texts.push_back(Chars(text));
    }
    OpenBytes(bytes);
    Slot().Encoding = e;
    DrawView(0, false);
    return texts;
  }
};

TEST_F(LongLines, PageShowsAnyColumnAndTheRangeReachesTheEnd) {
  for (const TextEncoding e : kAll) {
    SCOPED_TRACE(EncodingName(e));
    const std::vector<std::u32string> texts = OpenLong(e);
    int64_t widest = 0;
    for (const auto& t : texts) widest = std::max(widest, Width(t));
    EXPECT_EQ(widest, hscroll_->maximum());
    for (const int64_t column : {int64_t{0}, int64_t{2047}, int64_t{9001}, widest - 7}) {
      SCOPED_TRACE(column);
      hscroll_->setValue(static_cast<int>(column));
      QStringList rows;
      for (size_t i = 0; i < texts.size(); ++i) {
        rows.append(LineNumberPrefix(static_cast<int32_t>(i)) +
                    Cells(texts[i], column, column + 300, false));
      }
      EXPECT_EQ("", PageDiff(ReferencePage(rows), Raster()));
    }
    hscroll_->setValue(0);
  }
}

// Random long lines of every kind of character each encoding parses
// (combining marks, lone leads, cut sequences, TABs among them): the cells,
// the row starts at random columns and the cells of random text offsets are
// those of a plain walk over the line's clusters from its start, across
// checkpoints and the pieces it is read in.
TEST_F(LongLines, ColumnsAgreeWithAWalkOverTheClustersFromTheStart) {
  const std::u16string chars[] = {u"abc ",    u"\t",     u"日本語", u"かな", u"ｶﾀｶﾅ",   u"か\u3099",
                                  u"e\u0301", u"\u3099", u"\uFE0F", u"𠮷",   u"🍣",      u"ＡＢＣ",
                                  u"\u00E9",  u"\u0915", u"\uD55C", u"丂",   u"\u30FC", u"x"};
  const std::string bad[] = {"\xFF", "\x80", "\xE3\x81", "\x81", "\x8F\xA1", "\x8E"};
  std::mt19937 random(20);
  // Five lines an encoding: a cluster of many marks across the end of a
  // piece read is rare in any one of them.
  for (int lines = 0; lines < 15; ++lines) {
    const TextEncoding e = kAll[lines % std::size(kAll)];
    SCOPED_TRACE(std::string(EncodingName(e)) + " line " + std::to_string(lines));
    std::vector<std::string> pieces;
    for (const std::u16string& c : chars) {
      std::string encoded;
      if (Encode(e, c, encoded)) pieces.push_back(encoded);
    }
    std::string line;
    while (line.size() < 200000) {
      // Mostly runs of one piece (long stretches of Japanese), now and
      // then a bad byte.
      const std::string& piece =
          random() % 40 == 0 ? bad[random() % std::size(bad)] : pieces[random() % pieces.size()];
      for (unsigned n = random() % 30 + 1; n > 0; --n) line += piece;
    }
    CloseDocument();
    OpenBytes("short\r\n" + line + "\r\n");
    Slot().Encoding = e;
    long_line::Forget();
    // The clusters as the page counts them: a TAB alone, else a character
    // with cells and those without after it.
    struct Cluster {
      uint64_t raw, text;
      int64_t cell;
      uint64_t rawLength, textLength;
      int64_t cells;
    };
    std::vector<Cluster> clusters;
    uint64_t raw = 0, text = 0;
    int64_t cell = 0;
    while (raw < line.size()) {
      Cluster k{raw, text, cell, 1, 4, 4};
      if (line[raw] != '\t') {
        k.rawLength = 0;
        k.cells = 0;
        while (raw + k.rawLength < line.size()) {
          const size_t at = raw + k.rawLength;
          const CharSpan c = NextChar(e, line.data() + at, line.size() - at);
          if (c.cells > 0 && k.cells > 0) break;
          k.rawLength += static_cast<uint64_t>(c.length);
          k.cells += c.cells;
        }
        k.textLength = k.rawLength;
      }
      clusters.push_back(k);
      raw += k.rawLength;
      text += k.textLength;
      cell += k.cells;
    }
    ASSERT_EQ(cell, long_line::Cells(Slot(), 1));
    for (int round = 0; round < 400; ++round) {
      const int64_t column = static_cast<int64_t>(random() % static_cast<uint64_t>(cell + 2));
      // The first cluster that does not end at or before the column.
      auto k = std::find_if(clusters.begin(), clusters.end(),
                            [&](const Cluster& c) { return c.cell + c.cells > column; });
      long_line::RowStart want{line.size(), text, 0};
      if (k != clusters.end()) {
        want = k->cell == column
                   ? long_line::RowStart{k->raw, k->text, 0}
                   : long_line::RowStart{k->raw + k->rawLength, k->text + k->textLength,
                                         k->cell + k->cells - column};
      }
      const long_line::RowStart got = long_line::StartAtColumn(Slot(), 1, column);
      ASSERT_EQ(std::make_tuple(want.raw, want.text, want.blanks),
                std::make_tuple(got.raw, got.text, got.blanks))
          << "column " << column;
      const uint64_t at = random() % (text + 1);
      auto t = std::find_if(clusters.begin(), clusters.end(),
                            [&](const Cluster& c) { return c.text + c.textLength > at; });
      int64_t wantCell = cell;
      if (t != clusters.end()) {
        wantCell = t->rawLength == 1 && t->textLength != 1
                       ? t->cell + static_cast<int64_t>(at - t->text)
                       : t->cell;
      }
      ASSERT_EQ(wantCell, long_line::CellOfText(Slot(), 1, at)) << "text " << at;
    }
  }
}

TEST_F(LongLines, CopiesTakeWholeLinesAndBlocksAtAnyColumn) {
  struct Case {
    const char* name;
    bool range;
    int c1, c2;
  };
  const Case cases[] = {{"whole", false, 0, 0},
                        {"block_far_right", true, 20001, 20013},
                        {"block_reversed", true, 9013, 9000},
                        {"block_to_the_end", true, 30000, 2000000}};
  for (const TextEncoding e : kAll) {
    SCOPED_TRACE(EncodingName(e));
    const std::vector<std::u32string> texts = OpenLong(e);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      RangeSelectionMode = c.range;
      Slot().SelStartLine = 0;
      Slot().SelStartColumn = c.c1;
      Slot().SelEndLine = static_cast<int32_t>(texts.size()) - 1;
      Slot().SelEndColumn = c.c2;
      QString want;
      for (const auto& t : texts) {
        want += c.range ? Cells(t, std::min(c.c1, c.c2), std::max(c.c1, c.c2), true)
                        : QString::fromUcs4(t.data(), static_cast<qsizetype>(t.size()));
        want += QLatin1Char('\n');
      }
      CopySelection();
      EXPECT_TRUE(want == QGuiApplication::clipboard()->text());
    }
  }
  RangeSelectionMode = false;
}

TEST_F(LongLines, AHitFarRightIsScrolledIntoViewAndInverted) {
  OpenBytes("short\r\n" + std::string(50000, 'a') + "\tEND" + std::string(3000, 'b') + "\r\n");
  DrawView(1, false);
  const QImage plain = Raster();
  ShowMatch(1, 50004, 50007);  // the TAB is four blanks
  const int64_t hit = 50004;
  EXPECT_LE(Slot().LeftColumn, hit);
  EXPECT_GT(Slot().LeftColumn + 100, hit);
  EXPECT_EQ(Slot().LeftColumn, hscroll_->value());
  // Only the hit's cells on the top row differ from the page drawn there.
  const QImage inverted = Raster();
  DrawViewAtColumn(Slot().LeftColumn);
  // Blanks and letters differ in width: a few cells of slack.
  const int x0 = XOf(static_cast<int>(hit) - 4);
  const int x1 = XOf(static_cast<int>(hit) + 7);
  int changed = 0;
  for (int y = 0; y < Raster().height(); ++y) {
    for (int x = 0; x < Raster().width(); ++x) {
      if (inverted.pixel(x, y) == Raster().pixel(x, y)) continue;
      ++changed;
      ASSERT_TRUE(y < RowTop(1) && x >= x0 && x <= x1) << x << "," << y;
    }
  }
  EXPECT_GT(changed, 0);
  EXPECT_NE(plain, inverted);
}

TEST_F(LongLines, ACopyOverTheLimitIsRefusedWithItsSize) {
  QStringList logged;
  ViewHooksRef().log = [&](const QString& s) { logged.append(s); };
  // A sparse file: one line of 300 MiB of zero bytes.
  const std::string path = dir_.Write("big.txt", "x\r\n");
  ASSERT_EQ(0, truncate(path.c_str(), (off_t{300} << 20) + 3));
  ASSERT_EQ(0, OpenDocument(path));
  WaitForIndex(Slot());
  Slot().SelStartLine = 0;
  Slot().SelStartColumn = 0;
  Slot().SelEndLine = 1;
  Slot().SelEndColumn = 5;
  QGuiApplication::clipboard()->setText("untouched");
  CopySelection();
  EXPECT_EQ(QString("untouched"), QGuiApplication::clipboard()->text());
  ASSERT_EQ(1, notices_.size());
  EXPECT_TRUE(notices_[0].contains("314,572,803")) << notices_[0].toStdString();
  EXPECT_EQ(notices_, logged);
}

}  // namespace
