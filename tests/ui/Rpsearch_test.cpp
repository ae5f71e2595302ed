#include "ui/Rpsearch.h"

#include <vector>

#include "tests/ui/dialog_windows.h"

namespace {

class SearchDialog : public DialogWindows {
 protected:
  void Search(const QString& text) {
    SearchFom->SearchCmb->setEditText(text);
    QTest::mouseClick(SearchFom->SearchB, Qt::LeftButton);
  }
  QStringList History() const {
    QStringList items;
    for (int i = 0; i < SearchFom->SearchCmb->count(); ++i) {
      items.append(SearchFom->SearchCmb->itemText(i));
    }
    return items;
  }
};

TEST_F(SearchDialog, HistoryKeepsEachTextOnceNewestFirst) {
  struct Row {
    const char* name;
    QStringList searches;
    QStringList history;
  };
  const Row rows[] = {
      {"a repeated text stays once", {"abc", "abc"}, {"abc"}},
      {"a new text goes first", {"abc", "abc", "xyz"}, {"xyz", "abc"}},
      {"a reused text keeps its place", {"abc", "abc", "xyz", "abc"}, {"xyz", "abc"}},
      {"case makes a different text", {"abc", "ABC"}, {"ABC", "abc"}},
      {"blanks are part of the text", {" abc", "abc", " abc"}, {"abc", " abc"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SearchFom->SearchCmb->clear();
    log.clear();
    QStringList echoes;
    for (const QString& text : row.searches) {
      Search(text);
      echoes.append(QStringLiteral(" > _find_str 0 ") + text);
    }
    EXPECT_EQ(History(), row.history);
    // No document is open: each search leaves only its echo.
    EXPECT_EQ(log.filter(QStringLiteral(" > ")), echoes);
  }
}

TEST_F(SearchDialog, EmptyTextRunsNothing) {
  Search(QStringLiteral("abc"));
  log.clear();
  SearchFom->show();
  Search(QString());
  EXPECT_EQ(log, QStringList{});
  EXPECT_EQ(History(), QStringList{QStringLiteral("abc")});
  EXPECT_TRUE(SearchFom->isVisible());
}

TEST_F(SearchDialog, ContinuousSearchHidesTheDialogSingleSearchKeepsIt) {
  struct Row {
    const char* name;
    bool continuous;
    bool visibleAfter;
  };
  const Row rows[] = {{"single search", false, true}, {"continuous search", true, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SearchFom->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(SearchFom));
    SearchFom->SOp3_All->setChecked(row.continuous);
    Search(QStringLiteral("abc"));
    EXPECT_EQ(SearchFom->isVisible(), row.visibleAfter);
  }
}

TEST_F(SearchDialog, ScanReadsTheOptionControls) {
  SearchFom->SOp1_NoUL->setChecked(true);
  SearchFom->SRd1_Up->setChecked(true);
  const SearchOptions options = SearchHooksRef().options();
  EXPECT_EQ(options.IgnoreCase, true);
  EXPECT_EQ(options.Regex, false);
  EXPECT_EQ(options.Continuous, false);
  EXPECT_EQ(options.Down, false);
}

// While a continuous search runs only the two Cancel buttons take input; the
// dialogs are windows of the main window, so disabling the main window as a
// whole would disable the Cancel buttons with it.
TEST_F(SearchDialog, RunningSearchLeavesOnlyCancelEnabled) {
  SearchLogF->show();
  SearchFom->show();
  CmdHooks().search_running(true);
  EXPECT_EQ(SearchLogF->Button4->isVisible(), true);
  EXPECT_EQ(SearchLogF->Button4->isEnabled(), true);
  EXPECT_EQ(SearchFom->ThreadCancel->isVisible(), true);
  EXPECT_EQ(SearchFom->ThreadCancel->isEnabled(), true);
  const std::vector<QWidget*> others = {
      SearchLogF->Button1,   SearchLogF->Button2, SearchLogF->Button3,
      SearchLogF->SearchLog, SearchFom->SearchB,  SearchFom->SearchCmb,
      SearchFom->Button3,    JmpDialog,           About,
      main_->PageControl1};
  for (QWidget* other : others) {
    EXPECT_EQ(other->isEnabled(), false) << other->metaObject()->className();
  }
  EXPECT_EQ(main_->Open1->isEnabled(), false);  // Ctrl+O must not open a file mid-scan

  SearchRunning = true;
  QTest::mouseClick(SearchLogF->Button4, Qt::LeftButton);
  EXPECT_EQ(SearchRunning, false);

  CmdHooks().search_running(false);
  EXPECT_EQ(SearchLogF->Button4->isVisible(), false);
  EXPECT_EQ(SearchFom->ThreadCancel->isVisible(), false);
  for (QWidget* other : others) {
    EXPECT_EQ(other->isEnabled(), true) << other->metaObject()->className();
  }
  EXPECT_EQ(main_->Open1->isEnabled(), true);
}

}  // namespace
