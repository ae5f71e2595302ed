// Mouse selection, its highlight on the raster, follow-scroll and copy, read
// back from the clipboard byte for byte.
#include <QClipboard>
#include <QGuiApplication>

#include "view_fixture.h"

namespace {

class Selection : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    lines_ = NumberedLines(20);
    lines_[6] =
        "ab\x93\xFA\x96\x7B"
        "cdefgh";  // byte 3 is the trail byte of 日
    Open(lines_);
    QGuiApplication::clipboard()->setText("untouched");
  }

  void Drag(int line1, int col1, int line2, int col2) {
    BeginSelection(XOf(col1), YOf(line1));
    ExtendSelection(XOf(col2), YOf(line2));
    EndSelection(XOf(col2), YOf(line2));
  }

  QByteArray ClipboardBytes() { return EncodeCp932(QGuiApplication::clipboard()->text()); }

  std::string LinesText(int first, int last) {
    std::string text;
    for (int i = first; i <= last; ++i) text += lines_[i] + "\n";
    return text;
  }

  QRect RowsRect(int first, int last) {
    return QRect(QPoint(TextMargin, RowTop(first - Slot().TopLine)),
                 QPoint(Raster().width() - 1, RowTop(last + 1 - Slot().TopLine) - 1));
  }

  std::vector<std::string> lines_;
};

TEST_F(Selection, DragsCopyTheSelectedLinesOrBlock) {
  struct Case {
    const char* name;
    bool range;
    int line1, col1, line2, col2;
    std::string expected;
  };
  const Case cases[] = {
      {"lines_downwards", false, 5, 4, 7, 2, LinesText(5, 7)},
      {"lines_upwards", false, 7, 2, 5, 4, LinesText(5, 7)},
      {"block_from_trail_byte", true, 5, 3, 7, 6,
       "e 00\n\x93\xFA\x96\x7B"
       "c\ne 00\n"},
      {"block_upwards", true, 7, 6, 5, 3,
       "e 00\n\x93\xFA\x96\x7B"
       "c\ne 00\n"},
      // The first line and column 0 are lines and columns like any other.
      {"ends_on_line_0", false, 2, 5, 0, 5, LinesText(0, 2)},
      {"ends_in_column_0", false, 3, 5, 4, 0, LinesText(3, 4)},
      {"block_ends_in_column_0", true, 3, 2, 4, 0, "lin\nlin\n"},
      // Rows below the last line add no lines of their own.
      {"past_the_last_line", false, 18, 0, 25, 3, LinesText(18, 19)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RangeSelectionMode = c.range;
    QGuiApplication::clipboard()->setText("untouched");
    Drag(c.line1, c.col1, c.line2, c.col2);
    CopySelection();
    EXPECT_EQ(QByteArray::fromStdString(c.expected), ClipboardBytes());
    ResetSelection(false);
  }
}

TEST_F(Selection, TheClipboardGetsTheStandInForAZeroByteNeverANul) {
  lines_[3] = std::string("a\0b\0", 4);
  lines_[4] = std::string("\0", 1);
  Open(lines_);
  for (const bool range : {false, true}) {
    SCOPED_TRACE(range ? "block" : "lines");
    RangeSelectionMode = range;
    Drag(3, 0, 4, 5);
    CopySelection();
    const QString dot(QChar(0x00B7));
    EXPECT_EQ("a" + dot + "b" + dot + "\n" + dot + "\n", QGuiApplication::clipboard()->text());
    ResetSelection(false);
  }
}

TEST_F(Selection, ClickWithoutMovementLeavesNoSelection) {
  BeginSelection(XOf(4), YOf(5));
  EndSelection(XOf(4), YOf(5));
  EXPECT_EQ(std::vector<int32_t>({-1, -1, -1, -1}),
            std::vector<int32_t>({Slot().SelStartColumn, Slot().SelStartLine, Slot().SelEndColumn,
                                  Slot().SelEndLine}));
  CopySelection();
  EXPECT_EQ(QString("untouched"), QGuiApplication::clipboard()->text());
}

TEST_F(Selection, DragAboveThePageEndsOnTheFirstLine) {
  BeginSelection(XOf(0), YOf(3));
  ExtendSelection(-40, -30);  // the mouse left the image upwards and leftwards
  EndSelection(-40, -30);
  EXPECT_EQ(std::vector<int32_t>({0, 3, 0, 0}),
            std::vector<int32_t>({Slot().SelStartColumn, Slot().SelStartLine, Slot().SelEndColumn,
                                  Slot().SelEndLine}));
  CopySelection();
  EXPECT_EQ(QByteArray::fromStdString(LinesText(0, 3)), ClipboardBytes());
}

TEST_F(Selection, HighlightTogglesAndARedrawWipesIt) {
  const QImage clean = Raster();
  struct Case {
    const char* name;
    int line1, line2;
  };
  const Case cases[] = {{"middle", 5, 7}, {"from_line_0", 2, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Drag(c.line1, 3, c.line2, 3);
    const int lo = std::min(c.line1, c.line2), hi = std::max(c.line1, c.line2);
    EXPECT_EQ("", PageDiff(Inverted(clean, RowsRect(lo, hi)), Raster()));
    ResetSelection(false);  // the mouse-down before the next selection
    EXPECT_EQ("", PageDiff(clean, Raster()));
  }
  ResetSelection(true);
  HighlightRow(2);
  EXPECT_EQ("", PageDiff(Inverted(clean, RowsRect(2, 2)), Raster()));
  DrawView(0, false);
  EXPECT_EQ("", PageDiff(clean, Raster()));
}

TEST_F(Selection, BlockHighlightCoversItsColumnsOnly) {
  const QImage clean = Raster();
  RangeSelectionMode = true;
  Drag(5, 2, 7, 4);
  auto cells = [this](int line, int lo, int hi) {
    return QRect(QPoint(XOf(lo) - 1, RowTop(line)), QPoint(XOf(hi + 1) - 2, RowTop(line + 1) - 1));
  };
  // Line 6 holds 本 in columns 4-5: its row takes the whole character.
  const QImage expected =
      Inverted(Inverted(Inverted(clean, cells(5, 2, 4)), cells(6, 2, 5)), cells(7, 2, 4));
  EXPECT_EQ("", PageDiff(expected, Raster()));
}

TEST_F(Selection, MatchHighlightMeasuresTheRealText) {
  DrawView(6, false);
  const QImage clean = Raster();
  const QFontMetrics fm(image_->CanvasFont(), &Raster());
  HighlightMatch(6, lines_[6], 2, 6);  // 日本
  const int left = fm.horizontalAdvance("ab") + TextMargin;
  const int right = fm.horizontalAdvance(QString::fromUtf8("ab日本")) + TextMargin;
  EXPECT_EQ("", PageDiff(Inverted(clean, QRect(QPoint(left, 0), QPoint(right - 1, 11))), Raster()));
  DrawView(7, false);
  DrawView(6, false);
  EXPECT_EQ("", PageDiff(clean, Raster()));
}

TEST_F(Selection, EndFollowsVerticalScrollWithinTheFile) {
  struct Step {
    const char* name;
    int top;
    int32_t endLine;
  };
  Drag(10, 0, 12, 5);
  const Step steps[] = {
      {"down_3", 3, 15},
      {"up_past_anchor", 0, 12},
      {"down_to_the_end", 19, 19},  // 12 + 19 = 31 lies past the last line
      {"back_to_the_top", 0, 0},    // 19 - 19 = 0: line 0 is a line like any other
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    vscroll_->setValue(s.top);
    EXPECT_EQ(10, Slot().SelStartLine);
    EXPECT_EQ(s.endLine, Slot().SelEndLine);
  }
  // The shown highlight is always the one of the current fields.
  const QImage shown = Raster();
  ResetSelection(true);
  DrawView(0, false);
  EXPECT_EQ("", PageDiff(Inverted(Raster(), RowsRect(0, 10)), shown));
}

TEST_F(Selection, EndColumnFollowsHorizontalScroll) {
  RangeSelectionMode = true;
  Drag(3, 2, 4, 6);
  hscroll_->setValue(4);
  EXPECT_EQ(10, Slot().SelEndColumn);
  hscroll_->setValue(0);
  EXPECT_EQ(6, Slot().SelEndColumn);
}

class HugeSelection : public ViewTest {};

TEST_F(HugeSelection, CopiesUpToTheLimitAndRefusesMoreWithANotice) {
  OpenBytes(std::string(kMaxCopyLines + 5, '\n'));
  struct Case {
    const char* name;
    int32_t last;
    int notices;
    qsizetype copied;  // line feeds on the clipboard
  };
  const Case cases[] = {
      {"at_the_limit", kMaxCopyLines - 1, 0, kMaxCopyLines},
      {"one_more", kMaxCopyLines, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    notices_.clear();
    QGuiApplication::clipboard()->setText("");
    Slot().SelStartColumn = 0;
    Slot().SelStartLine = 0;
    Slot().SelEndColumn = 0;
    Slot().SelEndLine = c.last;
    CopySelection();
    EXPECT_EQ(c.notices, notices_.size());
    EXPECT_EQ(c.copied, QGuiApplication::clipboard()->text().size());
  }
  EXPECT_EQ(QStringList({"選択範囲が大きすぎます。コピーできるのは 1,000,000 行までです。"}),
            notices_);
}

TEST(NoSelectionAtStart, EverySlotStartsWithoutASelection) {
  ResetSlotTable();
  for (const FileSlot& s : SlotTable) {
    EXPECT_EQ(
        std::vector<int32_t>({-1, -1, -1, -1}),
        std::vector<int32_t>({s.SelStartColumn, s.SelStartLine, s.SelEndColumn, s.SelEndLine}));
  }
}

}  // namespace

namespace {

// Rows and bar values near the end of a document of 2^31 - 2 lines: no
// clamp at a billion, no wrap past INT32_MAX.
TEST_F(Selection, LinesAndScrollValuesNearTheLineLimit) {
  FileSlot& slot = SlotTable[0];
  slot.LineCount = kMaxLineCount;
  const double h = image_->FontSize() * 1.4;
  struct Row {
    int32_t top;
    int y;
    int32_t line;
  };
  const Row rows[] = {{1000000000, 0, 1000000000},
                      {kMaxLineCount - 60, static_cast<int>(h * 59.5), kMaxLineCount - 1},
                      {kMaxLineCount, static_cast<int>(h * 30), kMaxLineCount},
                      {5, -100, 0}};
  for (const Row& r : rows) {
    slot.TopLine = r.top;
    EXPECT_EQ(LineAtY(r.y), r.line) << r.top << " " << r.y;
  }
  SetVerticalRange(slot);
  vscroll_->blockSignals(true);
  vscroll_->setValue(kMaxLineCount - 40);
  EXPECT_EQ(ScrolledTopLine(*vscroll_, 63), kMaxLineCount);  // a page down on the last page
  EXPECT_EQ(ScrolledTopLine(*vscroll_, -3), kMaxLineCount - 43);
  vscroll_->setValue(0);
  EXPECT_EQ(ScrolledTopLine(*vscroll_, -63), 0);
}

}  // namespace
