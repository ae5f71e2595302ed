// Lines longer than GetLine's text, in the three encodings: the page shows
// any column of them, the horizontal range reaches their last cell, a copy
// takes them whole or any column block of them, a search hit far right is
// scrolled into view, and a copy over the limit is refused with its size.
#include <unistd.h>
#include <QClipboard>
#include <QGuiApplication>

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
