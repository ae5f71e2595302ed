#include "ui/Rpjump.h"

#include <limits>
#include <optional>
#include <string>

#include "commands/jumps.h"
#include "support/testfiles.h"
#include "tests/ui/dialog_windows.h"
#include "view/view.h"

namespace {

TEST(ParseInt32, AcceptsLeadingBlanksAndASignOnly) {
  struct Row {
    const char* name;
    const char* text;
    std::optional<int32_t> value;
  };
  const Row rows[] = {
      {"plain", "100", 100},
      {"leading blanks", "   42", 42},
      {"plus sign", "+7", 7},
      {"minus sign", "-7", -7},
      {"blanks before the sign", "  -7", -7},
      {"leading zeros", "007", 7},
      {"largest", "2147483647", std::numeric_limits<int32_t>::max()},
      {"smallest", "-2147483648", std::numeric_limits<int32_t>::min()},
      {"one past the largest", "2147483648", std::nullopt},
      {"one past the smallest", "-2147483649", std::nullopt},
      {"far too long", "99999999999999999999999", std::nullopt},
      {"empty", "", std::nullopt},
      {"blanks only", "   ", std::nullopt},
      {"sign only", "-", std::nullopt},
      {"letters", "abc", std::nullopt},
      {"trailing letters", "12a", std::nullopt},
      {"trailing blank", "12 ", std::nullopt},
      {"blank after the sign", "- 7", std::nullopt},
      {"tab before", "\t7", std::nullopt},
      {"full-width digits", "１２", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(ParseInt32(QString::fromUtf8(row.text)), row.value);
  }
}

class JumpDialog : public DialogWindows {
 protected:
  static constexpr int32_t kLines = 50000;

  void OpenNumberedFile(int32_t lines) {
    std::string text;
    for (int32_t i = 1; i <= lines; ++i) text += "line " + std::to_string(i) + "\r\n";
    rpcmd::_open_file(QString::fromStdString(dir_.Write("numbered.txt", text)));
    ASSERT_EQ(SlotTable[0].LineCount, lines);
  }

  void Move(const QString& typed) {
    JmpDialog->JumpPos->setText(typed);
    QTest::mouseClick(JmpDialog->Button1, Qt::LeftButton);
  }

  TempDir dir_;
};

TEST_F(JumpDialog, TypedNumberBecomesTheTopLine) {
  OpenNumberedFile(kLines);
  // Past the end: the page of ファイル最後へ移動, the last line in sight.
  const int32_t lastPage = LastPageTop(SlotTable[0]);
  ASSERT_GT(lastPage, 100);
  struct Row {
    const char* name;
    const char* typed;
    int32_t topLine;  // 0-based, after the move
    bool jumps;
  };
  const Row rows[] = {
      {"first line", "1", 0, true},
      {"zero means the first line", "0", 0, true},
      {"negative means the first line", "-7", 0, true},
      {"smallest number", "-2147483648", 0, true},
      {"a line in the middle", "100", 99, true},
      {"the last line", "50000", kLines - 1, true},
      {"one past the last line", "50001", lastPage, true},
      {"largest number", "2147483647", lastPage, true},
      {"letters keep the page", "abc", 1233, false},
      {"empty text keeps the page", "", 1233, false},
      {"out of range keeps the page", "2147483648", 1233, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    rpcmd::_jump(1233, true);
    log.clear();
    Move(QString::fromUtf8(row.typed));
    EXPECT_EQ(SlotTable[0].TopLine, row.topLine);
    // The page draw writes the new top line back into the field; a text that
    // did not convert is replaced by the current one.
    EXPECT_EQ(JmpDialog->JumpPos->text(), QString::number(row.topLine + 1));
    const QStringList expected =
        row.jumps ? QStringList{QStringLiteral(" > _jump 0 %1").arg(row.topLine + 1)}
                  : QStringList{};
    EXPECT_EQ(log, expected);
  }
}

TEST_F(JumpDialog, PastTheEndOfAShortFileShowsItsLastPageInSight) {
  OpenNumberedFile(20);
  log.clear();
  Move(QStringLiteral("500"));
  const int32_t top = LastPageTop(SlotTable[0]);
  EXPECT_EQ(log, QStringList{QStringLiteral(" > _jump 0 %1").arg(top + 1)});
  EXPECT_EQ(SlotTable[0].TopLine, top);
  EXPECT_GE(top + VisibleLinesPerPage(SlotTable[0].Image), 20);  // the last line in sight
}

TEST_F(JumpDialog, EmptyTabIgnoresMove) {
  Move(QStringLiteral("abc"));
  EXPECT_EQ(log, QStringList{});
  EXPECT_EQ(JmpDialog->JumpPos->text(), QStringLiteral("abc"));
}

}  // namespace
