// The same Japanese text in Shift-JIS, UTF-8 and EUC-JP must look and copy
// the same: the page's pixels, a horizontal scroll by display cells, and the
// clipboard's text for whole lines and column blocks.
#include <QClipboard>
#include <QGuiApplication>

#include "support/japanese.h"
#include "view_fixture.h"

namespace {

using japanese::kAll;

// Code points of UTF-16 text (surrogate pairs joined).
std::u32string CodePoints(const std::u16string& t) {
  std::u32string out;
  for (size_t i = 0; i < t.size(); ++i) {
    char32_t c = t[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < t.size())
      c = 0x10000 + ((c - 0xD800) << 10) + (t[++i] - 0xDC00);
    out.push_back(c);
  }
  return out;
}

QString FromCodePoints(const std::u32string& t) {
  return QString::fromUcs4(t.data(), static_cast<qsizetype>(t.size()));
}

// The row a page scrolled left by `column` cells shows: whole characters from
// that cell on, a cut wide character's right half as a blank. A character
// of no cells goes with the one before it.
QString ShiftedText(const std::u16string& text, int column) {
  std::u32string out;
  int cell = 0;
  bool shown = false;  // the last character with cells is shown
  for (const char32_t c : CodePoints(text)) {
    const int w = CodePointCells(c);
    if (w == 0) {
      if (shown) out.push_back(c);
    } else if (cell >= column) {
      out.push_back(c);
      shown = true;
    } else if (cell + w > column) {
      out.append(static_cast<size_t>(cell + w - column), U' ');
    }
    cell += w;
  }
  return FromCodePoints(out);
}

// The characters whose cells meet columns lo..hi (with the characters of no
// cells after them); to the line's end when hi reaches its last cell.
QString BlockText(const std::u16string& text, int lo, int hi) {
  std::u32string out;
  int cell = 0;
  bool taken = false;
  for (const char32_t c : CodePoints(text)) {
    const int w = CodePointCells(c);
    if (w > 0) taken = cell + w > lo && cell <= hi;
    if (taken) out.push_back(c);
    cell += w;
  }
  return FromCodePoints(out);
}

class Encodings : public ViewTest {
 protected:
  void OpenSample(TextEncoding e) {
    CloseDocument();
    OpenBytes(japanese::File(e));
    ASSERT_EQ(e, Slot().Encoding);
  }
  QString Clipboard() { return QGuiApplication::clipboard()->text(); }
  void Select(int line1, int col1, int line2, int col2) {
    Slot().SelStartLine = line1;
    Slot().SelStartColumn = col1;
    Slot().SelEndLine = line2;
    Slot().SelEndColumn = col2;
  }
};

TEST_F(Encodings, PageShowsTheSameCharactersScrolledByTheSameCells) {
  for (const TextEncoding e : kAll) {
    SCOPED_TRACE(EncodingName(e));
    OpenSample(e);
    const std::vector<std::u16string> expected = japanese::Expected(e, u'\u00B7');
    for (const int column : {0, 3, 4, 9}) {
      SCOPED_TRACE(column);
      hscroll_->setValue(column);
      QStringList rows;
      for (size_t i = 0; i < expected.size(); ++i) {
        rows.append(LineNumberPrefix(static_cast<int32_t>(i)) + ShiftedText(expected[i], column));
      }
      EXPECT_EQ("", PageDiff(ReferencePage(rows), Raster()));
    }
    // The horizontal range is the widest line in cells, the same in every
    // encoding for the lines they share.
    int widest = 0;
    for (const std::u16string& t : expected) {
      int cells = 0;
      for (const char32_t c : CodePoints(t)) cells += CodePointCells(c);
      widest = std::max(widest, cells);
    }
    EXPECT_EQ(widest, hscroll_->maximum());
    hscroll_->setValue(0);
  }
}

TEST_F(Encodings, CopiesOfLinesAndBlocksGiveTheSameCharacters) {
  struct Case {
    const char* name;
    bool range;
    int c1, c2;
  };
  const Case cases[] = {
      {"whole_lines", false, 0, 5},    {"block_start", true, 0, 3},
      {"block_cuts_wide", true, 3, 8}, {"block_one_cell", true, 5, 5},
      {"block_reversed", true, 8, 3},  {"block_to_line_end", true, 9, 60},
  };
  for (const TextEncoding e : kAll) {
    SCOPED_TRACE(EncodingName(e));
    OpenSample(e);
    const std::vector<std::u16string> expected = japanese::Expected(e, u'\uFFFD');
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      RangeSelectionMode = c.range;
      Select(0, c.c1, static_cast<int>(expected.size()) - 1, c.c2);
      QString want;
      for (const std::u16string& t : expected) {
        want += c.range ? BlockText(t, std::min(c.c1, c.c2), std::max(c.c1, c.c2))
                        : QString::fromStdU16String(t);
        want += QLatin1Char('\n');
      }
      QGuiApplication::clipboard()->setText("untouched");
      CopySelection();
      EXPECT_EQ(want, Clipboard());
    }
  }
  RangeSelectionMode = false;
}

// Combining marks take no column: a drag copies the characters it is drawn
// over, the highlight covers the same ones, and a line full of marks does
// not change where the mouse finds a column on the other lines.
TEST_F(Encodings, ZeroWidthCharactersStayWithTheirBaseAndKeepTheScale) {
  const QString accented = QStringLiteral(u"e\u0301").repeated(30);  // the widest line
  Open({"0123456789", accented.toStdString()});
  ASSERT_EQ(TextEncoding::kUtf8, Slot().Encoding);
  const QFontMetrics fm(image_->CanvasFont(), &Raster());
  const QImage page =
      ReferencePage({LineNumberPrefix(0) + "0123456789", LineNumberPrefix(1) + accented});
  // Raster x of the middle of character `index` of a line, from the font.
  auto middle = [&](const QString& line, int size, int index) {
    const int left = fm.horizontalAdvance(line.left(size * index));
    return TextMargin + (left + fm.horizontalAdvance(line.left(size * (index + 1)))) / 2;
  };
  struct Case {
    const char* name;
    int line;
    int from, to;  // characters under the mouse
    QString copied;
  };
  const Case cases[] = {
      {"digits", 0, 1, 8, "12345678\n"},
      {"accented", 1, 2, 4, QStringLiteral(u"e\u0301").repeated(3) + "\n"},
  };
  RangeSelectionMode = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString line = c.line == 0 ? QString("0123456789") : accented;
    const int size = c.line == 0 ? 1 : 2;
    const int y = YOf(c.line);
    ResetSelection(true);
    DrawView(0, false);
    BeginSelection(middle(line, size, c.from), y);
    ExtendSelection(middle(line, size, c.to), y);
    EndSelection(middle(line, size, c.to), y);
    const QRect block(
        QPoint(TextMargin + fm.horizontalAdvance(line.left(size * c.from)), RowTop(c.line)),
        QPoint(TextMargin + fm.horizontalAdvance(line.left(size * (c.to + 1))) - 1,
               RowTop(c.line + 1) - 1));
    EXPECT_EQ("", PageDiff(Inverted(page, block), Raster()));
    CopySelection();
    EXPECT_EQ(c.copied, Clipboard());
  }
  RangeSelectionMode = false;
}

}  // namespace
