// Row positions, rows per page, the line-number prefix, the text margin, the
// character-width estimate and the client rectangle.
#include <QFontMetrics>

#include "view_fixture.h"

namespace {

using Geometry = ViewTest;

TEST_F(Geometry, RowTopsTruncateTheProductNotEachRow) {
  struct Case {
    const char* name;
    int size;
    std::vector<int> tops;
    int rows;
  };
  const Case cases[] = {
      {"size_9", 9, {0, 12, 25, 37, 50}, 63},
      {"size_12", 12, {0, 16, 33, 50, 67, 83}, 47},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QFont font(QStringLiteral("ＭＳ 明朝"), c.size);
    SetViewFont(font);
    std::vector<int> tops;
    for (size_t r = 0; r < c.tops.size(); ++r) tops.push_back(RowTop(static_cast<int>(r)));
    EXPECT_EQ(c.tops, tops);
    EXPECT_EQ(c.rows, LinesPerPage(image_.get()));
  }
}

TEST_F(Geometry, PrefixAndMarginFollowTheLineNumberSetting) {
  struct Case {
    const char* name;
    bool numbers;
    int32_t lineCount;  // of the document: ten digits from 1,000,000,000 lines on
    int32_t line;
    QString prefix;
    QString measured;  // the prefix the margin is measured on
  };
  const Case cases[] = {
      {"first_line", true, 10, 0, "         1 :  ", "         0 :  "},
      {"line_123", true, 200, 122, "       123 :  ", "         0 :  "},
      {"nine_digits", true, 999999999, 123456788, " 123456789 :  ", "         0 :  "},
      {"ten_digit_document", true, 1000000000, 0, "          1 :  ", "          0 :  "},
      {"ten_digits", true, 2147483646, 2147483645, " 2147483646 :  ", "          0 :  "},
      {"without_numbers", false, 2147483646, 5, " ", " "},
  };
  const QFontMetrics fm(image_->CanvasFont(), &Raster());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ShowLineNumbers = c.numbers;
    SlotTable[CurrentSlot].LineCount = c.lineCount;
    EXPECT_EQ(c.prefix, LineNumberPrefix(c.line));
    UpdateTextMetrics();
    EXPECT_EQ(fm.horizontalAdvance(c.measured) + 10, TextMargin);
    EXPECT_EQ(static_cast<double>(fm.horizontalAdvance(c.measured)) / c.measured.size(),
              AverageCharWidth);
  }
}

TEST_F(Geometry, ClientRectFollowsThePageControl) {
  ViewHooksRef().page_control_size = nullptr;  // the form's own size
  EXPECT_EQ(QRect(0, 0, 860, 536), ViewClientRect());
  ViewHooksRef().page_control_size = [] { return QSize(1000, 700); };
  EXPECT_EQ(QRect(0, 0, 970, 670), ViewClientRect());
}

TEST_F(Geometry, CharWidthBelongsToTheFirstLongestLineOrThePrefix) {
  // A proportional font, so that lines of equal length differ in width.
  SetViewFont(QFont(QStringLiteral("ＭＳ Ｐゴシック"), 9));
  const QFontMetrics fm(image_->CanvasFont(), &Raster());
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    double expected;
  };
  const Case cases[] = {
      {"first_of_longest", {"ab", "iiiiii", "WWWWWW"}, fm.horizontalAdvance("iiiiii") / 6.0},
      {"only_empty_lines", {"", "", ""}, fm.horizontalAdvance("         0 :  ") / 14.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Open(c.lines);
    EXPECT_EQ(c.expected, AverageCharWidth);
  }
}

TEST_F(Geometry, FontChangeReachesOnlyTheCurrentTab) {
  PageImage second(1280, 800);
  RegisterSlotControls(1, nullptr, &second, nullptr, nullptr);
  BindSlotControls(1);
  CurrentSlot = 1;
  SetViewFont(QFont(QStringLiteral("ＭＳ ゴシック"), 12));
  EXPECT_EQ(12, second.FontSize());
  EXPECT_EQ(9, image_->FontSize());
  CurrentSlot = 0;
  Open({"abc"});
  const QFontMetrics fm(image_->CanvasFont(), &Raster());
  EXPECT_EQ(fm.horizontalAdvance("         0 :  ") + 10, TextMargin);
  RegisterSlotControls(1, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace
