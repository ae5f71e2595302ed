// Page drawing and scrolling, checked on the raster against the rows the page
// should show, with the scroll bars wired as the main window wires them.
#include "view_fixture.h"

namespace {

using Drawing = ViewTest;

QStringList Rows(const std::vector<std::string>& lines, int32_t first, int32_t leftColumn) {
  QStringList rows;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& t = lines[i];
    std::string shown = static_cast<size_t>(leftColumn) < t.size() ? t.substr(leftColumn) : "";
    // A scroll into the middle of a double-byte character shows its right
    // half as a blank, never its second byte as a character of its own.
    if (!shown.empty() &&
        !IsCharStart(TextEncoding::kCp932, t.data(), t.size(), static_cast<size_t>(leftColumn))) {
      shown[0] = ' ';
    }
    rows.append(LineNumberPrefix(first + static_cast<int32_t>(i)) +
                DecodeCp932(shown.data(), static_cast<int>(shown.size())));
  }
  return rows;
}

TEST_F(Drawing, TenLinesFillTheFirstRowsAndLeaveTheRestWhite) {
  const std::vector<std::string> lines = NumberedLines(10);
  Open(lines);
  EXPECT_EQ("", PageDiff(ReferencePage(Rows(lines, 0, 0)), Raster()));
  EXPECT_EQ(0, Slot().TopLine);
  EXPECT_EQ(QString("1"), status_.last());
  EXPECT_EQ(QString("1"), jump_.last());
}

TEST_F(Drawing, WithoutLineNumbersARowIsOneBlankAndTheLine) {
  ShowLineNumbers = false;
  Open({"abc", "\x93\xFA\x96\x7B"});
  EXPECT_EQ("", PageDiff(ReferencePage({" abc", QString::fromUtf8(" 日本")}), Raster()));
}

TEST_F(Drawing, NoDocumentDrawsNothing) {
  Raster().fill(Qt::gray);
  const QImage before = Raster();
  Slot().TopLine = 7;
  DrawView(0, false);
  EXPECT_EQ(before, Raster());
  EXPECT_EQ(7, Slot().TopLine);
  EXPECT_TRUE(status_.isEmpty());
}

TEST_F(Drawing, LeftColumnHidesLeadingBytesButNotThePrefix) {
  const std::vector<std::string> lines = {"abcdef", "abc",
                                          "ab\x93\xFA\x96\x7B"
                                          "cd",
                                          "", "\x93\xFA\x96\x7B\x8C\xEA"};
  struct Case {
    const char* name;
    int column;
  };
  const Case cases[] = {{"three_bytes", 3}, {"inside_double_byte", 3}, {"five", 5}, {"none", 0}};
  Open(lines);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hscroll_->setValue(c.column);
    EXPECT_EQ(c.column, Slot().LeftColumn);
    EXPECT_EQ("", PageDiff(ReferencePage(Rows(lines, 0, c.column)), Raster()));
    EXPECT_EQ(8, hscroll_->maximum());
  }
}

TEST_F(Drawing, NegativeColumnDrawsUnshifted) {
  const std::vector<std::string> lines = {"abcdef", "xyz"};
  Open(lines);
  DrawViewAtColumn(-3);
  EXPECT_EQ(0, Slot().LeftColumn);
  EXPECT_EQ("", PageDiff(ReferencePage(Rows(lines, 0, 0)), Raster()));
}

TEST_F(Drawing, HorizontalMaximumFollowsTheLongestLineOfThePage) {
  std::vector<std::string> lines(200);
  lines[10] = std::string(200, 'x');  // first page: 200 bytes
  lines[70] = std::string(120, 'y');  // second page: 120 bytes
  lines[80] = std::string(40, 'z');
  // Third page (from 140): nothing but empty lines.
  Open(lines);
  EXPECT_EQ(200, hscroll_->maximum());
  vscroll_->setValue(63);
  EXPECT_EQ(120, hscroll_->maximum());
  vscroll_->setValue(140);
  EXPECT_EQ(120, hscroll_->maximum());  // an all-empty page keeps the range
  vscroll_->setValue(63);
  hscroll_->setValue(5);
  EXPECT_EQ(120, hscroll_->maximum());
  EXPECT_EQ(5, Slot().LeftColumn);
}

TEST_F(Drawing, VerticalRangeReachesTheLineCount) {
  Open(NumberedLines(1000));
  EXPECT_EQ(0, vscroll_->minimum());
  EXPECT_EQ(1000, vscroll_->maximum());
  EXPECT_EQ(51, vscroll_->pageStep());
  EXPECT_EQ(1, vscroll_->singleStep());
  vscroll_->setValue(1000);
  EXPECT_EQ(1000, Slot().TopLine);
  EXPECT_EQ("", PageDiff(ReferencePage({}), Raster()));
  EXPECT_EQ(QString("1001"), status_.last());

  FileSlot big;
  PageScrollBar bar(Qt::Vertical);
  big.VScroll = &bar;
  big.LineCount = 10000000;
  SetVerticalRange(big);
  EXPECT_EQ(500001, bar.pageStep());
}

TEST_F(Drawing, MovingTheScrollBarFromTheViewDrawsThePageOnce) {
  const std::vector<std::string> lines = NumberedLines(1000);
  Open(lines);
  const int calls = vertical_calls_;
  DrawView(500, true);  // the bar moves quietly: its handler does not draw the page again
  EXPECT_EQ(calls, vertical_calls_);
  EXPECT_EQ(500, Slot().TopLine);
  EXPECT_EQ(500, vscroll_->value());
  const std::vector<std::string> page(lines.begin() + 500, lines.begin() + 563);
  EXPECT_EQ("", PageDiff(ReferencePage(Rows(page, 500, 0)), Raster()));
}

// Every line of the new page is shorter than the horizontal position: the
// range shrinks under it, and the page shown must be the new one at the
// clamped column, never a mix of both.
TEST_F(Drawing, ShrinkingHorizontalRangeRedrawsTheNewPageAtTheClampedColumn) {
  std::vector<std::string> lines;
  for (int i = 0; i < 63; ++i) lines.push_back(std::string(100, static_cast<char>('a' + i % 26)));
  for (int i = 0; i < 63; ++i) lines.push_back(i == 5 ? "0123456789" : "short");
  Open(lines);
  hscroll_->setValue(50);
  EXPECT_EQ(50, Slot().LeftColumn);
  vscroll_->setValue(63);
  EXPECT_EQ(63, Slot().TopLine);
  EXPECT_EQ(10, hscroll_->maximum());
  EXPECT_EQ(10, hscroll_->value());
  EXPECT_EQ(10, Slot().LeftColumn);
  const std::vector<std::string> page(lines.begin() + 63, lines.end());
  EXPECT_EQ("", PageDiff(ReferencePage(Rows(page, 63, 10)), Raster()));
}

TEST_F(Drawing, StatusShowsTheTopLineAlsoForABlankPage) {
  Open(NumberedLines(5));
  status_.clear();
  jump_.clear();
  DrawView(3, false);
  DrawView(40, false);
  EXPECT_EQ(QStringList({"4", "41"}), status_);
  EXPECT_EQ(QStringList({"4", "41"}), jump_);
}

}  // namespace
