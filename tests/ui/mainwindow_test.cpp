// The main window driven through its handlers and events, against the log it
// writes and the slot table it leaves.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QWheelEvent>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "commands/Rpcmd1.h"
#include "search/search.h"
#include "store/slot_detail.h"
#include "store/slots.h"
#include "support/testfiles.h"
#include "ui/Rpjump.h"
#include "ui/Rpmain1.h"
#include "ui/Rpsearch.h"
#include "ui/Rpsearchlog.h"
#include "ui/dmkAbout.h"
#include "view/view.h"

namespace {

std::string NumberedLines(int count) {
  std::string text;
  for (int n = 1; n <= count; ++n) text += "line " + std::to_string(n) + "\r\n";
  return text;
}

// The command echoes only: the store's time stamps vary from run to run.
QStringList Echoes() {
  QStringList echoes;
  for (const QString& line : CmdHooks().log_lines()) {
    if (line.startsWith(QLatin1String(" > "))) echoes << line;
  }
  return echoes;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void TearDown() override { Destroy(); }

  // Makes the five windows as the program does.
  TRpEdit* Create(const QStringList& params = {}) {
    QList<QByteArray> encoded;
    for (const QString& param : params) encoded << QFile::encodeName(param);
    return Create(encoded);
  }
  TRpEdit* Create(const QList<QByteArray>& params) {
    InstallCommandHooks();
    ShowLineNumbers = true;
    RangeSelectionMode = false;
    TabWidth = 4;
    SearchRunning = false;
    window_ = new TRpEdit(params);
    // These tests look at what a complete open gives: the command line's
    // opens are waited for, later ones index in the call (the background
    // index has tests of its own).
    for (FileSlot& slot : SlotTable) WaitForIndex(slot);
    Hooks().index_wake = nullptr;
    CmdHooks().message_box = [this](const QString& caption, const QString& text) {
      boxes_ << caption + QLatin1String(": ") + text;
    };
    CreateDialogs(window_);
    return window_;
  }

  void Destroy() {
    if (window_ == nullptr) return;
    DestroyWindows(window_);
    window_ = nullptr;
  }

  QString File(const std::string& name, int lines) {
    return QString::fromStdString(dir_.Write(name, NumberedLines(lines)));
  }

  TempDir dir_;
  TRpEdit* window_ = nullptr;
  QStringList boxes_;
};

TEST(MainWindowSize, FollowsTheScreenWithinTheDesignBounds) {
  struct Row {
    const char* name;
    QSize screen;
    QSize window;
  };
  const Row rows[] = {
      {"large screen: 1024 x 768", {1920, 1080}, {1024, 768}},
      {"between: the screen itself", {1000, 700}, {1000, 700}},
      {"small screen: design size", {800, 600}, {900, 770}},
      {"wide but low: design height", {1280, 600}, {1024, 770}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(MainWindowSizeForScreen(row.screen), row.window) << row.name;
  }
}

TEST(MainWindowSize, TheRuleSizesTheFrameNotTheInside) {
  struct Row {
    const char* name;
    QMargins frame;
    QSize inside;
  };
  const Row rows[] = {
      {"no frame told yet", {}, {1024, 768}},
      {"title bar and borders", {4, 28, 4, 4}, {1016, 736}},
      {"a frame larger than the rule", {600, 500, 600, 500}, {0, 0}},
  };
  for (const Row& row : rows) {
    const QSize inside = MainWindowInsideSize({1024, 768}, row.frame);
    EXPECT_EQ(inside, row.inside) << row.name;
    // The frame around that inside fits a 1024 x 768 screen exactly.
    if (inside.width() > 0) {
      EXPECT_EQ(QRect(QPoint(0, 0), inside).marginsAdded(row.frame).size(), QSize(1024, 768))
          << row.name;
    }
  }
}

TEST_F(MainWindowTest, CommandLineOpensAtMostTwoFiles) {
  const QString a = File("a.txt", 20);
  const QString b = File("b.txt", 30);
  const QString c = File("c.txt", 40);
  struct Row {
    const char* name;
    QStringList params;
    QStringList echoes;
    int activeTab;
    int currentSlot;
  };
  const Row rows[] = {
      {"no parameter", {}, {}, 0, 0},
      {"one", {a}, {" > _chenge_view 0", " > _open_file 0 " + a}, 0, 0},
      {"two",
       {a, b},
       {" > _chenge_view 0", " > _open_file 0 " + a, " > _chenge_view 1", " > _open_file 1 " + b},
       1,
       1},
      {"three: the third ignored",
       {a, b, c},
       {" > _chenge_view 0", " > _open_file 0 " + a, " > _chenge_view 1", " > _open_file 1 " + b},
       1,
       1},
  };
  for (const Row& row : rows) {
    Create(row.params);
    EXPECT_EQ(Echoes(), row.echoes) << row.name;
    EXPECT_EQ(window_->PageControl1->currentIndex(), row.activeTab) << row.name;
    EXPECT_EQ(CurrentSlot, row.currentSlot) << row.name;
    EXPECT_EQ(SlotTable[2].ViewBase, nullptr) << row.name;
    EXPECT_EQ(boxes_, QStringList()) << row.name;
    Destroy();
  }
}

TEST_F(MainWindowTest, DropOpensOnlyTheFirstFileIntoTheCurrentSlot) {
  const QString before = File("before.txt", 10);
  // A long folder name: the full path reaches the store uncut.
  const std::string deep = std::string(150, 'd') + "/" + std::string(150, 'e');
  std::filesystem::create_directories(dir_.path() + "/" + deep);
  const QString first = File(deep + "/first.txt", 50);
  const QString second = File("second.txt", 60);
  const QString third = File("third.txt", 70);
  Create();
  window_->PageControl1->setCurrentIndex(2);  // the user picks the third tab
  rpcmd::_open_file(before);
  window_->N8Click();

  QMimeData mime;
  mime.setUrls(
      {QUrl::fromLocalFile(first), QUrl::fromLocalFile(second), QUrl::fromLocalFile(third)});
  QDragEnterEvent enter(QPoint(400, 400), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window_, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(400, 400), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window_, &drop);

  EXPECT_EQ(Echoes(), QStringList({" > _chenge_view 2", " > _open_file 2 " + first}));
  EXPECT_EQ(CurrentSlot, 2);
  EXPECT_EQ(window_->PageControl1->currentIndex(), 2);
  EXPECT_EQ(QString::fromStdString(SlotTable[2].FileName), first);
  EXPECT_EQ(SlotTable[2].LineCount, 50);
  EXPECT_EQ(SlotTable[0].ViewBase, nullptr);
  EXPECT_EQ(SlotTable[1].ViewBase, nullptr);
}

// Writes a file of numbered lines under a name given as bytes; returns the
// full path as bytes.
QByteArray FileNamedInBytes(const TempDir& dir, const QByteArray& name, int lines) {
  const std::string text = dir.Write("tmp-name", NumberedLines(lines));
  const QByteArray path = QByteArray::fromStdString(dir.path()) + "/" + name;
  EXPECT_EQ(0, ::rename(text.c_str(), path.constData()));
  return path;
}

TEST_F(MainWindowTest, NamesThatAreNotUtf8OpenFromTheCommandLineAndADrop) {
  // Shift-JIS names, "あ.txt" and "表.log", as archives from Windows hold
  // them: neither is UTF-8, both are shown as they read in Shift-JIS.
  const QByteArray a = FileNamedInBytes(dir_, "\x82\xA0.txt", 11);
  const QByteArray b = FileNamedInBytes(dir_, "\x95\x5C.log", 12);
  const QString folder = QString::fromStdString(dir_.path());

  // The command line: the bytes of argv.
  Create(QList<QByteArray>{a, b});
  EXPECT_EQ(SlotTable[0].LineCount, 11);
  EXPECT_EQ(SlotTable[1].LineCount, 12);
  EXPECT_EQ(Echoes(), QStringList({" > _chenge_view 0", " > _open_file 0 " + folder + "/あ.txt",
                                   " > _chenge_view 1", " > _open_file 1 " + folder + "/表.log"}));
  EXPECT_EQ(window_->StatusPanel[1]->text(), folder + "/表.log");
  EXPECT_EQ(window_->PageControl1->tabText(0), QStringLiteral("あ.txt"));
  Destroy();

  // A drop: the URL's path percent-decoded to bytes.
  Create();
  QMimeData mime;
  mime.setData("text/uri-list",
               "file://" + QByteArray::fromStdString(dir_.path()) + "/%82%A0.txt\r\n");
  ASSERT_EQ(mime.urls().size(), 1);
  QDragEnterEvent enter(QPoint(400, 400), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window_, &enter);
  QDropEvent drop(QPointF(400, 400), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window_, &drop);
  EXPECT_EQ(SlotTable[0].FileName, a.toStdString());
  EXPECT_EQ(SlotTable[0].LineCount, 11);
  // (The open dialog lists no such name: Qt's folder listing leaves out
  // names that are not UTF-8.)
}

TEST_F(MainWindowTest, ExitRunsThreeTimesHarmlessly) {
  Create({File("a.txt", 20), File("b.txt", 30)});
  QStringList all;
  CmdHooks().append_log = [&all](const QString& text) { all << text; };
  window_->show();
  window_->Exit1Click();  // _exit, then the close, which runs it again
  EXPECT_FALSE(window_->isVisible());
  Destroy();  // and once more as the window goes
  EXPECT_EQ(all, QStringList({" > _exit", " > _exit", " > _exit"}));
  for (int n = 0; n < kSlotCount; ++n) {
    EXPECT_EQ(SlotTable[n].ViewBase, nullptr) << n;
    EXPECT_EQ(SlotTable[n].FileHandle, -1) << n;
  }
}

TEST_F(MainWindowTest, CloseDuringContinuousSearchWaitsForTheScan) {
  Create({File("a.txt", 20)});
  window_->show();
  SearchRunning = true;
  CmdHooks().search_running(true);
  window_->close();
  EXPECT_TRUE(window_->isVisible());  // the scan is still on the stack
  EXPECT_FALSE(SearchRunning);        // and has been told to stop
  EXPECT_NE(SlotTable[0].ViewBase, nullptr);
  CmdHooks().search_running(false);
  QTRY_VERIFY(!window_->isVisible());
  EXPECT_EQ(SlotTable[0].ViewBase, nullptr);
  EXPECT_EQ(Echoes().last(), QStringLiteral(" > _exit"));
}

TEST_F(MainWindowTest, DropDuringContinuousSearchOpensNothing) {
  const QString dropped = File("dropped.txt", 30);
  Create({File("a.txt", 20)});
  window_->show();
  const QStringList before = Echoes();
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(dropped)});
  SearchRunning = true;
  CmdHooks().search_running(true);
  QDragEnterEvent enter(QPoint(400, 400), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window_, &enter);
  EXPECT_FALSE(enter.isAccepted());
  QDropEvent drop(QPointF(400, 400), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window_, &drop);
  CmdHooks().search_running(false);
  EXPECT_EQ(Echoes(), before);
  EXPECT_EQ(SlotTable[0].LineCount, 20);
}

TEST_F(MainWindowTest, CtrlWTogglesRangeSelectionWithoutTheContextMenu) {
  Create();
  window_->show();
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_));
  EXPECT_FALSE(window_->PopupMenu1->isVisible());
  QTest::keyClick(window_->Log1, Qt::Key_W, Qt::ControlModifier);
  EXPECT_TRUE(RangeSelectionMode);
  EXPECT_TRUE(window_->WinSelect->isChecked());
  QTest::keyClick(window_->ImageF[0], Qt::Key_W, Qt::ControlModifier);
  EXPECT_FALSE(RangeSelectionMode);
  EXPECT_FALSE(window_->WinSelect->isChecked());
  // And while the context menu is open, which then closes.
  window_->PopupMenu1->popup(window_->ImageF[0]->mapToGlobal(QPoint(50, 50)));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window_->PopupMenu1));
  QTest::keyClick(window_->PopupMenu1, Qt::Key_W, Qt::ControlModifier);
  EXPECT_TRUE(RangeSelectionMode);
  EXPECT_FALSE(window_->PopupMenu1->isVisible());
}

TEST_F(MainWindowTest, TabWidthBoxRules) {
  struct Row {
    const char* name;
    int before;
    const char* answer;  // null: Cancel
    int after;
  };
  const Row rows[] = {
      {"letters mean 4", 6, "abc", 4},     {"a number", 4, "8", 8},
      {"cancel keeps it", 6, nullptr, 6},  {"too wide is capped", 4, "100000", 32},
      {"negative means none", 4, "-5", 0},
  };
  Create();
  for (const Row& row : rows) {
    TabWidth = row.before;
    window_->Prompts.tab_width = [&row](const QString& current) {
      return row.answer != nullptr ? QString::fromUtf8(row.answer) : current;
    };
    window_->N8Click();
    window_->TabNoSetClick();
    EXPECT_EQ(TabWidth, row.after) << row.name;
    EXPECT_EQ(Echoes(), QStringList(QStringLiteral(" > _tab_set %1 ").arg(row.after))) << row.name;
  }
}

TEST_F(MainWindowTest, BottomOfFileShowsTheLastFullPage) {
  struct Row {
    const char* name;
    int lines;
    int top;
  };
  // top -1: the last line on the page's last row in sight (the raster is
  // taller than the window's frame shows).
  const Row rows[] = {{"fits on one page", 10, 0}, {"longer than a page", 1000, -1}};
  for (Row row : rows) {
    Create({File(std::string("f") + row.name, row.lines)});
    if (row.top < 0) row.top = row.lines - VisibleLinesPerPage(window_->ImageF[0]);
    EXPECT_LT(VisibleLinesPerPage(window_->ImageF[0]), LinesPerPage(window_->ImageF[0]));
    window_->N12Click();
    EXPECT_EQ(SlotTable[0].TopLine, row.top) << row.name;
    EXPECT_EQ(SlotTable[0].VScroll->value(), row.top) << row.name;
    // The end of the file turns follow mode on.
    EXPECT_EQ(
        Echoes().mid(Echoes().size() - 2),
        QStringList({QStringLiteral(" > _jump 0 %1").arg(row.top + 1), " > _follow_tail 0 1"}))
        << row.name;
    EXPECT_TRUE(SlotTable[0].FollowTail) << row.name;
    EXPECT_TRUE(window_->Tail1->isChecked()) << row.name;
    EXPECT_TRUE(window_->SpeedButton4->isChecked()) << row.name;
    Destroy();
  }
}

TEST_F(MainWindowTest, EmptyTabIgnoresSearchJumpBottomAndFont) {
  Create();
  window_->show();
  window_->Find2Click();
  window_->N10Click();
  window_->N12Click();
  window_->Font1Click();  // would block in its modal dialog if it ran
  EXPECT_EQ(Echoes(), QStringList());
  EXPECT_FALSE(SearchFom->isVisible());
  EXPECT_FALSE(JmpDialog->isVisible());
  window_->N11Click();  // top of file runs its command all the same
  EXPECT_EQ(Echoes(), QStringList(" > _jump 0 1"));
}

TEST_F(MainWindowTest, WheelAndKeysScrollTheCurrentPage) {
  Create({File("a.txt", 1000)});
  window_->show();
  // Ctrl+Home and Ctrl+End are menu shortcuts: they need the active window.
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_));
  PageImage* image = window_->ImageF[0];
  const int page = LinesPerPage(image);
  struct Row {
    const char* name;
    int wheel;  // angle delta; 0: the key instead
    Qt::Key key;
    int top;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
  };
  const Row rows[] = {
      {"one notch down: 3 lines", -120, Qt::Key_unknown, 3},
      {"two notches down", -240, Qt::Key_unknown, 9},
      {"one notch up", 120, Qt::Key_unknown, 6},
      {"page down", 0, Qt::Key_PageDown, 6 + page},
      {"line up", 0, Qt::Key_Up, 5 + page},
      {"page up", 0, Qt::Key_PageUp, 5},
      {"page up stops at the top", 0, Qt::Key_PageUp, 0},
      {"ctrl+end: the last page in sight", 0, Qt::Key_End, 1000 - VisibleLinesPerPage(image),
       Qt::ControlModifier},
      {"ctrl+home: the first page", 0, Qt::Key_Home, 0, Qt::ControlModifier},
  };
  for (const Row& row : rows) {
    if (row.wheel != 0) {
      QWheelEvent wheel(QPointF(100, 100), image->mapToGlobal(QPointF(100, 100)), QPoint(),
                        QPoint(0, row.wheel), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                        false);
      QApplication::sendEvent(image, &wheel);
    } else {
      QTest::keyClick(image, row.key, row.modifiers);
    }
    EXPECT_EQ(SlotTable[0].TopLine, row.top) << row.name;
  }
  // Scrolling runs no command; the two jumps run _jump like the menu items,
  // the end turns follow mode on and the jump to the top turns it off.
  EXPECT_EQ(Echoes(),
            QStringList({" > _chenge_view 0",
                         " > _open_file 0 " + QString::fromStdString(SlotTable[0].FileName),
                         QStringLiteral(" > _jump 0 %1").arg(1001 - VisibleLinesPerPage(image)),
                         " > _follow_tail 0 1", " > _jump 0 1", " > _follow_tail 0 0"}));
  EXPECT_FALSE(SlotTable[0].FollowTail);
}

TEST_F(MainWindowTest, SmallWheelStepsAddUpToLines) {
  Create({File("a.txt", 1000)});
  window_->show();
  PageImage* image = window_->ImageF[0];
  const int rowHeight = RowTop(1);
  struct Row {
    const char* name;
    std::vector<QPoint> steps;  // (angle, pixels) of each event, down negative
    int top;                    // TopLine after the steps, from 30
  };
  const Row rows[] = {
      {"eight steps of 15: one notch, 3 lines", std::vector<QPoint>(8, {-15, 0}), 33},
      {"seven steps of 15: 2 whole lines", std::vector<QPoint>(7, {-15, 0}), 32},
      {"one and a half notches twice: 9 lines", {{-180, 0}, {-180, 0}}, 39},
      {"a notch up", {{120, 0}}, 27},
      {"down 20, then up 60: up one line", {{-20, 0}, {60, 0}}, 29},
      {"pixels only: one row a line", std::vector<QPoint>(6, {0, -rowHeight / 2}), 33},
      {"pixels only, upwards", {{0, 2 * rowHeight + 1}}, 28},
  };
  for (const Row& row : rows) {
    rpcmd::_jump(30, true);
    for (const QPoint& step : row.steps) {
      QWheelEvent wheel(QPointF(100, 100), image->mapToGlobal(QPointF(100, 100)),
                        QPoint(0, step.y()), QPoint(0, step.x()), Qt::NoButton, Qt::NoModifier,
                        Qt::NoScrollPhase, false);
      QApplication::sendEvent(image, &wheel);
    }
    EXPECT_EQ(SlotTable[0].TopLine, row.top) << row.name;
    EXPECT_EQ(window_->StatusPanel[5]->text(), QString::number(row.top + 1)) << row.name;
    // What a row leaves over does not carry into the next.
    QWheelEvent reset(QPointF(100, 100), image->mapToGlobal(QPointF(100, 100)), QPoint(),
                      QPoint(0, row.steps.back().x() > 0 ? -1 : 1), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(image, &reset);
    QWheelEvent resetPixels(QPointF(100, 100), image->mapToGlobal(QPointF(100, 100)),
                            QPoint(0, row.steps.back().y() > 0 ? -1 : 1), QPoint(), Qt::NoButton,
                            Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(image, &resetPixels);
  }
}

TEST_F(MainWindowTest, TheResultWindowLeavesTheHitRowsInView) {
  std::string text;
  for (int n = 1; n <= 400; ++n) text += n == 200 ? "NEEDLE here\r\n" : "line\r\n";
  Create({QString::fromStdString(dir_.Write("hits.txt", text))});
  window_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window_));
  PageImage* image = window_->ImageF[0];
  // The rows a search (row 0) and a click on a result (row 4) show the hit on.
  const QRect hitRows(image->mapToGlobal(QPoint(0, 0)),
                      image->mapToGlobal(QPoint(image->width() - 1, RowTop(5) - 1)));
  const QRect screen = window_->screen()->availableGeometry();
  SearchFom->SearchCmb->setCurrentText("NEEDLE");
  SearchFom->SOp3_All->setChecked(true);  // 連続検索
  SearchFom->SearchB->click();
  ASSERT_TRUE(SearchLogF->isVisible());
  ASSERT_EQ(SlotTable[0].TopLine, 199);
  const QRect placed = SearchLogF->frameGeometry();
  EXPECT_FALSE(placed.intersects(hitRows));
  EXPECT_TRUE(screen.contains(placed));
  EXPECT_EQ(SearchLogF->size(), QSize(795, 197));
  // Shown again while on view, it stays where the user put it.
  SearchLogF->move(300, 40);
  window_->L1->trigger();
  EXPECT_EQ(SearchLogF->frameGeometry().topLeft(), QPoint(300, 40));
  // Hidden and shown again, it leaves the rows once more.
  SearchLogF->Button3->click();
  window_->L1->trigger();
  EXPECT_FALSE(SearchLogF->frameGeometry().intersects(hitRows));
}

TEST_F(MainWindowTest, ThePageKeepsTheFocusThatTheLogBoxWasNotGiven) {
  // (A dialog's return activates the window as the start does; the offscreen
  // platform does not, so tests/e2e/page_mends.sh covers that on X.)
  Create({File("a.txt", 1000), File("b.txt", 1000)});
  window_->show();
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_));
  auto focusOn = [](QWidget* widget) {
    return QTest::qWaitFor([widget] { return QApplication::focusWidget() == widget; }, 1000);
  };
  EXPECT_TRUE(focusOn(window_->ImageF[1]));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(SlotTable[1].TopLine, 1000 - VisibleLinesPerPage(window_->ImageF[1]));
  // A tab change hides the page that had the focus: the new page takes it.
  window_->PageControl1->setCurrentIndex(0);
  EXPECT_TRUE(focusOn(window_->ImageF[0]));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_PageDown);
  EXPECT_EQ(SlotTable[0].TopLine, LinesPerPage(window_->ImageF[0]));
  // A click puts the focus into the log box, which keeps it, also across a
  // tab change.
  window_->Log1->setFocus(Qt::MouseFocusReason);
  window_->PageControl1->setCurrentIndex(1);
  QTest::qWait(50);
  EXPECT_EQ(QApplication::focusWidget(), window_->Log1);
}

TEST_F(MainWindowTest, RightButtonDuringDragCancelsIt) {
  Create({File("a.txt", 100)});
  window_->show();
  window_->ImageF1MouseDown(Qt::LeftButton, 200, 20);
  EXPECT_TRUE(MouseSelecting);
  window_->ImageF1MouseMove(300, 80);
  window_->ImageF1MouseDown(Qt::RightButton, 300, 80);
  EXPECT_FALSE(MouseSelecting);
  window_->ImageF1MouseUp(Qt::LeftButton, 300, 80);
  EXPECT_FALSE(MouseSelecting);
}

}  // namespace

namespace {

// One row per menu entry: "caption | shortcut | hint", "-" for a separator.
QStringList MenuRows(const QList<QAction*>& actions) {
  QStringList rows;
  for (const QAction* action : actions) {
    if (action->isSeparator()) {
      rows << QStringLiteral("-");
      continue;
    }
    rows << action->text() + QLatin1String(" | ") + action->shortcut().toString() +
                QLatin1String(" | ") + action->statusTip();
  }
  return rows;
}

TEST_F(MainWindowTest, MenusInOrderWithTheirShortcutsAndHints) {
  Create();
  struct Row {
    const char* title;
    QStringList entries;
  };
  const Row rows[] = {
      {"ファイル(&F) |  | ",
       {"開く(&O) | Ctrl+O | テキストファイルを開きます", "閉じる(&C) |  | ファイルを閉じます", "-",
        "ログ保存(&S) |  | 実行ログをファイルに保存します", "-",
        "終了(&X) |  | Dolmikを終了します"}},
      {"検索(&S) |  | ",
       {"検索(&F) | Ctrl+F | 文字の検索を行います", "-",
        "指定行へ移動(&J) |  | 行番号を指定して移動します",
        "ファイル先頭へ移動(&T) | Ctrl+Home | ファイルの先頭に移動します",
        "ファイル最後へ移動(&B) | Ctrl+End | ファイルの最後へ移動します"}},
      {"表示(&V) |  | ",
       {"ログクリアー(&D) |  | 実行ログをクリアします", "-",
        "検索ログ表示(&L) |  | 検索ログを表示します",
        "フィルタ(&L)... | Ctrl+L | 条件に合う行だけを表示します", "-", "文字コード(&E) |  | ", "-",
        "末尾を追従(&T) | F | ファイルの末尾を表示し続けます", "-",
        "強調表示を消す |  | 検索した文字の強調表示を消します"}},
      {"設定 |  | ",
       {"フォント指定(&F) |  | 表示フォントを設定を行います", "-",
        "行番号表示(&V) |  | 行の先頭に行番号をふかします", "-", "タブ設定 |  | ", "-",
        "強調表示... |  | 指定した文字をどのページでも色付けします"}},
      {"ヘルプ(&H) |  | ヘルプを表示します",
       {"Dolmikヘルプ(&H) | F1 | ", "-", "バージョン情報(&A) |  | Dolmikの概要を表示します"}},
  };
  const QList<QAction*> titles = window_->MainMenu1->actions();
  ASSERT_EQ(titles.size(), static_cast<qsizetype>(std::size(rows)));
  for (qsizetype i = 0; i < titles.size(); ++i) {
    EXPECT_EQ(MenuRows({titles[i]}).first(), QString::fromUtf8(rows[i].title));
    EXPECT_EQ(MenuRows(titles[i]->menu()->actions()), rows[i].entries) << rows[i].title;
  }
  EXPECT_EQ(MenuRows(window_->PopupMenu1->actions()),
            QStringList({"ファイルを開く(&O) | Ctrl+O | ", "ファイルを閉じる(&Q) |  | ", "-",
                         "コピー |  | ", "-", "範囲選択モード(&W) | Ctrl+W | "}));
  EXPECT_TRUE(window_->DspLine->isChecked());
  EXPECT_FALSE(window_->WinSelect->isChecked());
}

TEST_F(MainWindowTest, PickingATabSwitchesTheSlotRedrawsAndForgetsTheSelection) {
  const QString a = File("a.txt", 500);
  Create({a});
  window_->show();
  rpcmd::_jump(99, true);
  const QImage clean = window_->ImageF[0]->Raster();
  window_->ImageF1MouseDown(Qt::LeftButton, 200, 20);
  window_->ImageF1MouseUp(Qt::LeftButton, 300, 80);
  ASSERT_NE(SlotTable[0].SelEndLine, -1);
  window_->N8Click();

  window_->PageControl1->setCurrentIndex(1);  // the user picks the second tab
  EXPECT_EQ(CurrentSlot, 1);
  EXPECT_EQ(SlotTable[1].Image, window_->ImageF[1]);
  QStringList panels;
  for (int n : {1, 3, 5}) panels << window_->StatusPanel[n]->text();
  EXPECT_EQ(panels, QStringList({"", "0", "1"}));

  window_->PageControl1->setCurrentIndex(0);  // and back
  EXPECT_EQ(Echoes(), QStringList({" > _chenge_view 1", " > _chenge_view 0"}));
  panels.clear();
  for (int n : {1, 3, 5}) panels << window_->StatusPanel[n]->text();
  EXPECT_EQ(panels, QStringList({a, "500", "100"}));
  EXPECT_EQ(SlotTable[0].TopLine, 99);
  EXPECT_EQ(SlotTable[0].SelStartLine, -1);
  EXPECT_EQ(SlotTable[0].SelEndLine, -1);
  // Nothing is left inverted: the page is the plain page of line 100.
  const QRect shown = ViewClientRect();  // what the page clears and the frame shows
  EXPECT_TRUE(window_->ImageF[0]->Raster().copy(shown) == clean.copy(shown));
  // A new drag inverts its own rows only, and they are what is copied.
  window_->ImageF1MouseDown(Qt::LeftButton, 200, RowTop(2) + 2);
  window_->ImageF1MouseMove(250, RowTop(3) + 2);
  window_->ImageF1MouseUp(Qt::LeftButton, 250, RowTop(3) + 2);
  QImage expected = clean;
  expected.invertPixels();
  QImage selected = clean;
  QPainter(&selected).drawImage(
      QRect(TextMargin, RowTop(2), selected.width() - TextMargin, RowTop(4) - RowTop(2)), expected,
      QRect(TextMargin, RowTop(2), selected.width() - TextMargin, RowTop(4) - RowTop(2)));
  EXPECT_TRUE(window_->ImageF[0]->Raster().copy(shown) == selected.copy(shown));
  QApplication::clipboard()->clear();
  window_->Copy1->trigger();
  EXPECT_EQ(QApplication::clipboard()->text(), "line 102\nline 103\n");
}

TEST_F(MainWindowTest, AClosedTabStaysBlankUnderClicksAndDrags) {
  Create({File("a.txt", 500)});
  window_->show();
  window_->ImageF1MouseDown(Qt::LeftButton, 200, RowTop(8) + 2);
  window_->ImageF1MouseUp(Qt::LeftButton, 300, RowTop(11) + 2);
  ASSERT_NE(SlotTable[0].SelEndLine, -1);
  window_->Close1->trigger();
  const QRect shown = ViewClientRect();  // what the page clears and the frame shows
  QImage white(shown.size(), window_->ImageF[0]->Raster().format());
  white.fill(Qt::white);
  EXPECT_TRUE(window_->ImageF[0]->Raster().copy(shown) == white);
  // A click, then a drag, on the blank page.
  window_->ImageF1MouseDown(Qt::LeftButton, 200, RowTop(2) + 2);
  window_->ImageF1MouseUp(Qt::LeftButton, 200, RowTop(2) + 2);
  EXPECT_TRUE(window_->ImageF[0]->Raster().copy(shown) == white);
  window_->ImageF1MouseDown(Qt::LeftButton, 200, RowTop(2) + 2);
  window_->ImageF1MouseMove(300, RowTop(6) + 2);
  window_->ImageF1MouseUp(Qt::LeftButton, 300, RowTop(6) + 2);
  EXPECT_TRUE(window_->ImageF[0]->Raster().copy(shown) == white);
  // A file opened into the tab shows no selection either.
  rpcmd::_open_file(File("b.txt", 500));
  window_->ImageF1MouseDown(Qt::LeftButton, 200, RowTop(2) + 2);
  EXPECT_EQ(SlotTable[0].SelEndLine, -1);
  const QImage page = window_->ImageF[0]->Raster().copy(shown);
  window_->ImageF1MouseUp(Qt::LeftButton, 200, RowTop(2) + 2);
  EXPECT_TRUE(window_->ImageF[0]->Raster().copy(shown) == page);
}

TEST_F(MainWindowTest, LineNumberAndRangeModeSwitches) {
  Create({File("a.txt", 100)});
  window_->show();
  // Line numbers: the command with the new state, for all tabs.
  window_->N8Click();
  window_->DspLine->trigger();
  EXPECT_FALSE(ShowLineNumbers);
  EXPECT_FALSE(window_->DspLine->isChecked());
  window_->DspLine->trigger();
  EXPECT_TRUE(ShowLineNumbers);
  EXPECT_EQ(Echoes(), QStringList({" > _dsp_lineno 0 0", " > _dsp_lineno 0 1"}));

  // Range mode: no command, and the selection is forgotten.
  window_->N8Click();
  window_->ImageF1MouseDown(Qt::LeftButton, 200, 20);
  window_->ImageF1MouseUp(Qt::LeftButton, 300, 80);
  ASSERT_NE(SlotTable[0].SelEndLine, -1);
  window_->WinSelect->trigger();
  EXPECT_TRUE(RangeSelectionMode);
  EXPECT_EQ(SlotTable[0].SelStartLine, -1);
  EXPECT_EQ(SlotTable[0].SelEndLine, -1);
  EXPECT_EQ(Echoes(), QStringList());
}

}  // namespace

namespace {

TEST_F(MainWindowTest, EncodingMenuFollowsTheTabAndIsEchoedAsACommand) {
  const QString euc = QString::fromStdString(dir_.Write("euc.txt", "\xC6\xFC\xCB\xDC\r\n"));
  const QString utf8 =
      QString::fromStdString(dir_.Write("utf8.txt", "\xE6\x97\xA5\xE6\x9C\xAC\r\n"));
  Create({euc, utf8});
  window_->show();
  auto checked = [this] {
    QStringList names;
    for (QAction* a : window_->CodeItem) {
      if (a->isChecked()) names << a->text();
    }
    return names;
  };
  window_->PageControl1->setCurrentIndex(0);
  EXPECT_EQ(window_->EncodingPanel->text(), QStringLiteral("EUC-JP"));
  EXPECT_EQ(checked(), QStringList({"自動判別"}));

  window_->CodeItem[1]->trigger();  // Shift_JIS for the first tab only
  EXPECT_EQ(Echoes().last(), QStringLiteral(" > _code_set 0 Shift_JIS"));
  EXPECT_EQ(SlotTable[0].Encoding, TextEncoding::kCp932);
  EXPECT_EQ(window_->EncodingPanel->text(), QStringLiteral("Shift_JIS"));

  window_->PageControl1->setCurrentIndex(1);
  EXPECT_EQ(window_->EncodingPanel->text(), QStringLiteral("UTF-8"));
  EXPECT_EQ(checked(), QStringList({"自動判別"}));

  window_->PageControl1->setCurrentIndex(0);
  EXPECT_EQ(checked(), QStringList({"Shift_JIS"}));
  window_->CodeItem[0]->trigger();  // back to the detected encoding
  EXPECT_EQ(Echoes().last(), QStringLiteral(" > _code_set 0 自動判別"));
  EXPECT_EQ(window_->EncodingPanel->text(), QStringLiteral("EUC-JP"));

  window_->PageControl1->setCurrentIndex(2);  // an empty tab: nothing to set
  const QStringList before = Echoes();
  window_->CodeItem[2]->trigger();
  EXPECT_EQ(Echoes(), before);
  EXPECT_EQ(checked(), QStringList({"自動判別"}));
  EXPECT_EQ(window_->EncodingPanel->text(), QString());
}

}  // namespace

namespace {

TEST_F(MainWindowTest, StatusTextsFitTheirPanelsAtTheDefaultWidth) {
  Create();
  window_->resize(1024, 768);
  window_->show();
  QLabel* panel = window_->StatusPanel[6];
  panel->setText(QStringLiteral("読み込み中 100%"));
  QCoreApplication::processEvents();
  EXPECT_GE(panel->contentsRect().width(), panel->fontMetrics().horizontalAdvance(panel->text()));
  EXPECT_GT(window_->StatusPanel[1]->width(), 300);  // the file name keeps most of its room
  // Texts longer than the design widths.
  const struct {
    int panel;
    const char* text;
  } kLong[] = {
      {6, "表示 1,500,000,000 / 2,147,483,646"},
      {6, "検索中 2,000,000,000 / 2,147,483,646"},
      {kEncodingPanel, "UTF-16LE"},
      {kEncodingPanel, "Shift_JIS (bzip2)"},
  };
  for (const auto& row : kLong) {
    slot_detail::SetStatus(row.panel, row.text);  // as the store and the commands write them
    QCoreApplication::processEvents();
    QLabel* label = row.panel == 6 ? window_->StatusPanel[6] : window_->EncodingPanel;
    EXPECT_GE(label->contentsRect().width(), label->fontMetrics().horizontalAdvance(label->text()))
        << row.text;
  }
}

}  // namespace
