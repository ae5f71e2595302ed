#include "ui/Rpsearchlog.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QMenu>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>
#include <fstream>
#include <functional>
#include <iterator>

#include "search/search.h"
#include "support/testfiles.h"
#include "tests/ui/dialog_windows.h"
#include "view/view.h"

namespace {

// An optimised build appends half a million lines in about 0.1 s; the
// unoptimised sanitizer build takes several times longer. A text edit that
// lays out every appended block would take minutes in either.
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
constexpr qint64 kAppendLimitMs = 5000;
#else
constexpr qint64 kAppendLimitMs = 1000;
#endif

QString LogLine(int slot, int32_t lineNumber, const char* text) {
  return QString::fromStdString(FormatSearchLogLine(slot, lineNumber, text));
}

class SearchResultWindow : public DialogWindows {
 protected:
  void SetUp() override {
    DialogWindows::SetUp();
    // Memo line 0 is the empty line the window starts with.
    for (const QString& line : {QStringLiteral("# 連続検索開始 : abc"),       // 1: a report
                                LogLine(2, 42, "abc in tab 3"),               // 2
                                LogLine(0, 3, "abc in line 3"),               // 3
                                LogLine(0, 42, "abc"),                        // 4
                                QStringLiteral("  1 :        42"),            // 5: 15 bytes
                                QStringLiteral(" xy :        42 :  abc")}) {  // 6
      SearchLogF->SearchLog->AppendLine(line);
    }
    SearchLogF->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(SearchLogF));
    SearchLogF->SearchLog->Flush();
    SearchLogF->SearchLog->verticalScrollBar()->setValue(0);
    log.clear();
  }

  void ClickRow(int line) {
    LineMemo* memo = SearchLogF->SearchLog;
    const int y = (line - memo->TopLine()) * memo->RowHeight() + memo->RowHeight() / 2;
    QTest::mouseClick(memo->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(20, y));
  }
};

TEST_F(SearchResultWindow, ClickJumpsToTheHitOfItsLine) {
  struct Row {
    const char* name;
    int currentSlot;
    int memoLine;
    QStringList log;
    int activePage;
  };
  const Row rows[] = {
      {"the first memo line is never taken", 0, 0, {}, 0},
      {"a report line does nothing", 0, 1, {}, 0},
      {"a line of 15 bytes does nothing", 0, 5, {}, 0},
      {"a slot field that is no number does nothing", 0, 6, {}, 0},
      {"a hit in another tab switches the tab first",
       0,
       2,
       {" > _chenge_view 2", " > _jump 2 38", " > _select 2 42"},
       2},
      {"a hit in the current tab", 0, 4, {" > _jump 0 38", " > _select 0 42"}, 0},
      {"a hit in line 3 shows the first page",
       1,
       3,
       {" > _chenge_view 0", " > _jump 0 1", " > _select 0 3"},
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    rpcmd::_chenge_view(row.currentSlot);
    main_->ActivatePage(row.currentSlot);
    log.clear();
    ClickRow(row.memoLine);
    EXPECT_EQ(SearchLogF->SearchLog->CaretLine(), row.memoLine);
    EXPECT_EQ(log, row.log);
    EXPECT_EQ(main_->PageControl1->currentIndex(), row.activePage);
    EXPECT_EQ(CurrentSlot, row.activePage);
  }
}

TEST_F(SearchResultWindow, ATenDigitLineNumberIsReadWhole) {
  SearchLogF->SearchLog->AppendLine(LogLine(0, 2000000000, "ten digits widen the field"));
  SearchLogF->SearchLog->Flush();
  log.clear();
  ClickRow(7);
  EXPECT_EQ(log, (QStringList{" > _jump 0 1999999996", " > _select 0 2000000000"}));
}

// Up and Down jump to the line that holds the caret when the key goes down,
// then move the caret.
TEST_F(SearchResultWindow, UpAndDownJumpBeforeTheCaretMoves) {
  struct Step {
    Qt::Key key;
    QStringList log;
    int caretAfter;
  };
  ClickRow(2);
  const Step steps[] = {
      {Qt::Key_Down, {" > _jump 2 38", " > _select 2 42"}, 3},
      {Qt::Key_Down, {" > _chenge_view 0", " > _jump 0 1", " > _select 0 3"}, 4},
      {Qt::Key_Up, {" > _jump 0 38", " > _select 0 42"}, 3},
      {Qt::Key_Up, {" > _jump 0 1", " > _select 0 3"}, 2},
      {Qt::Key_Up, {" > _chenge_view 2", " > _jump 2 38", " > _select 2 42"}, 1},
      {Qt::Key_Up, {}, 0},   // a report line
      {Qt::Key_Up, {}, 0},   // the first line, and no line above it
      {Qt::Key_End, {}, 0},  // other keys never jump
  };
  int i = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(i++);
    log.clear();
    QTest::keyClick(SearchLogF->SearchLog, step.key);
    EXPECT_EQ(log, step.log);
    EXPECT_EQ(SearchLogF->SearchLog->CaretLine(), step.caretAfter);
  }
}

// Lines are selected with a click, Shift+click, a drag or Shift+Up/Down and
// copied with Ctrl+C or the context menu's コピー, each followed by a line
// feed; extending a selection jumps nowhere.
TEST_F(SearchResultWindow, SelectedLinesAreCopied) {
  LineMemo* memo = SearchLogF->SearchLog;
  auto rowPoint = [memo](int line) {
    return QPoint(20, (line - memo->TopLine()) * memo->RowHeight() + memo->RowHeight() / 2);
  };
  auto shiftClick = [&](int line) {
    QTest::mouseClick(memo->viewport(), Qt::LeftButton, Qt::ShiftModifier, rowPoint(line));
  };
  auto ctrlC = [memo] { QTest::keyClick(memo, Qt::Key_C, Qt::ControlModifier); };
  auto contextCopy = [&](int line) {
    // The menu runs its own loop: its first action is triggered from there.
    QTimer::singleShot(0, [] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      ASSERT_NE(menu, nullptr);
      EXPECT_EQ(menu->actions().value(0)->text(), QStringLiteral("コピー"));
      menu->actions().value(0)->trigger();
      menu->close();
    });
    QTest::mousePress(memo->viewport(), Qt::RightButton, Qt::NoModifier, rowPoint(line));
    QContextMenuEvent event(QContextMenuEvent::Mouse, rowPoint(line),
                            memo->viewport()->mapToGlobal(rowPoint(line)));
    QApplication::sendEvent(memo->viewport(), &event);
    QTest::mouseRelease(memo->viewport(), Qt::RightButton, Qt::NoModifier, rowPoint(line));
  };
  const QString l2 = LogLine(2, 42, "abc in tab 3");
  const QString l3 = LogLine(0, 3, "abc in line 3");
  const QString l4 = LogLine(0, 42, "abc");
  struct Row {
    const char* name;
    std::function<void()> select;
    std::function<void()> copy;
    QString clipboard;
    QStringList log;  // while selecting and copying, after the first click
  };
  const Row rows[] = {
      {"one line, Ctrl+C", [] {}, ctrlC, l3 + "\n", {}},
      {"Shift+click below",
       [&] { shiftClick(5); },
       ctrlC,
       QStringList{l3, l4, "  1 :        42"}.join("\n") + "\n",
       {}},
      {"Shift+click above", [&] { shiftClick(2); }, ctrlC, l2 + "\n" + l3 + "\n", {}},
      {"drag",
       [&] {
         QTest::mouseMove(memo->viewport(), rowPoint(4));
         QMouseEvent move(QEvent::MouseMove, rowPoint(4),
                          memo->viewport()->mapToGlobal(rowPoint(4)), Qt::NoButton, Qt::LeftButton,
                          Qt::NoModifier);
         QApplication::sendEvent(memo->viewport(), &move);
       },
       ctrlC,
       l3 + "\n" + l4 + "\n",
       {}},
      {"Shift+Down twice",
       [memo] {
         QTest::keyClick(memo, Qt::Key_Down, Qt::ShiftModifier);
         QTest::keyClick(memo, Qt::Key_Down, Qt::ShiftModifier);
       },
       ctrlC,
       QStringList{l3, l4, "  1 :        42"}.join("\n") + "\n",
       {}},
      {"context menu over a range",
       [&] { shiftClick(4); },
       [&] { contextCopy(4); },
       l3 + "\n" + l4 + "\n",
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    QApplication::clipboard()->clear();
    ClickRow(3);
    log.clear();
    row.select();
    row.copy();
    EXPECT_EQ(QApplication::clipboard()->text(), row.clipboard);
    EXPECT_EQ(log, row.log);
  }
}

// A hit line is saved as the bytes the store gave, whatever they decode to:
// zero bytes, FD-FF, a lone lead byte and the NEC and IBM duplicate codes
// all come back as they were.
TEST_F(SearchResultWindow, SavedSearchLogHoldsTheLinesBytes) {
  TempDir dir;
  static const char kLine[] = "hit \0 \xFD\xFE\xFF \xED\x40\x87\x90\xFA\x5C end\x82";
  const std::string line(kLine, sizeof kLine - 1);
  const std::string path = dir.Write("bytes.txt", "x\r\n" + line + "\r\n");
  rpcmd::_open_file(QString::fromStdString(path));
  SearchFom->SOp3_All->setChecked(true);
  SearchLogF->SearchLog->Clear();
  rpcmd::_find_str(QStringLiteral("hit"));
  const QString saved = QString::fromStdString(dir.path() + "/saved.log");
  ASSERT_EQ(rpcmd::_save_search_log(saved), 0);
  const std::string expected =
      "# \x98\x41\x91\xB1\x8C\x9F\x8D\xF5\x8A\x4A\x8E\x6E\x81\x40(hit)\r\n" +
      FormatSearchLogLine(0, 2, line) + "\r\n" +
      "# \x98\x41\x91\xB1\x8C\x9F\x8D\xF5\x8F\x49\x97\xB9  (hit)\x8C\x9F\x8D\xF5\x90\x94: 1 \r\n";
  std::ifstream file(saved.toStdString(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, expected);
}

// The bytes go with the hit: after クリアー, the same text found in a
// Shift-JIS document of the same tab is saved with that document's bytes.
TEST_F(SearchResultWindow, ClearedHitsTakeTheirBytesWithThem) {
  TempDir dir;
  SearchFom->SOp3_All->setChecked(true);
  const std::string sjis = "\x93\xFA\x96\x7B hit";
  for (const std::string& line : {std::string("\xE6\x97\xA5\xE6\x9C\xAC hit"), sjis}) {
    QTest::mouseClick(SearchLogF->Button2, Qt::LeftButton);
    rpcmd::_open_file(QString::fromStdString(dir.Write("same.txt", "x\r\n" + line + "\r\n")));
    rpcmd::_find_str(QStringLiteral("hit"));
  }
  const QString saved = QString::fromStdString(dir.path() + "/saved.log");
  ASSERT_EQ(rpcmd::_save_search_log(saved), 0);
  std::ifstream file(saved.toStdString(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(bytes.find(FormatSearchLogLine(0, 2, sjis) + "\r\n"), std::string::npos) << bytes;
  EXPECT_EQ(bytes.find("\xE6\x97\xA5"), std::string::npos) << bytes;
}

// A hit line the window shows cut is saved whole from its document (TABs
// as the search expanded them), and as shown once the document is gone.
TEST_F(SearchResultWindow, ALongHitLineIsSavedWholeWhileItsDocumentIsOpen) {
  TempDir dir;
  const std::string line = "x\t\x93\xFA\x96\x7B" + std::string(6000, 'a') + " ZQXJ" +
                           std::string(3000, 'b') + "\x82\xA0";
  std::string text = line;
  text.replace(1, 1, "    ");
  const std::string path = dir.Write("long.txt", "first\r\n" + line + "\r\nlast\r\n");
  SearchFom->SOp3_All->setChecked(true);
  const QString saved = QString::fromStdString(dir.path() + "/saved.log");
  struct Row {
    const char* name;
    std::function<void()> after;  // between the search and the save
    bool whole;
  };
  const Row rows[] = {
      {"the document open", [] {}, true},
      {"another tab width since", [] { rpcmd::_tab_set(8); }, true},
      {"the document closed", [] { rpcmd::_quit_file(); }, false},
      {"the same file opened anew", [&] { rpcmd::_open_file(QString::fromStdString(path)); },
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TabWidth = 4;
    rpcmd::_open_file(QString::fromStdString(path));
    SearchLogF->SearchLog->Clear();
    rpcmd::_find_str(QStringLiteral("ZQXJ"));
    const QStringList shown = SearchLogF->SearchLog->Lines();
    ASSERT_EQ(shown.size(), 3);
    row.after();
    log.clear();
    ASSERT_EQ(rpcmd::_save_search_log(saved), 0);
    std::ifstream file(saved.toStdString(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t first = bytes.find("\r\n") + 2;
    const std::string hit = bytes.substr(first, bytes.find("\r\n", first) - first);
    if (row.whole) {
      EXPECT_EQ(hit, FormatSearchLogLine(0, 2, text));
      EXPECT_EQ(log.size(), 1);
    } else {
      EXPECT_EQ(hit, EncodeCp932(shown[1]).toStdString());
      EXPECT_LT(hit.size(), 3000u);
      EXPECT_TRUE(log.last().startsWith(QStringLiteral("# 元の文書が")))
          << log.last().toStdString();
    }
  }
}

// A click on the search-log line of a hit far right in a long line scrolls
// the page sideways to the hit before the row is inverted.
TEST_F(SearchResultWindow, AClickShowsAHitFarRightInALongLine) {
  TempDir dir;
  const std::string line = std::string(200000, 'a') + " ZQXJ " + std::string(100000, 'a');
  rpcmd::_open_file(QString::fromStdString(dir.Write("long.txt", "first\r\n" + line + "\r\n")));
  SearchFom->SOp3_All->setChecked(true);
  SearchLogF->SearchLog->Clear();
  rpcmd::_find_str(QStringLiteral("ZQXJ"));
  rpcmd::_jump(0, true);
  DrawViewAtColumn(0);
  FileSlot& slot = SlotTable[0];
  ASSERT_EQ(slot.LeftColumn, 0);
  const QImage& raster = main_->ImageF[0]->Raster();
  const QRect row(TextMargin, RowTop(1), raster.width() - TextMargin, RowTop(2) - RowTop(1));
  const QImage before = raster.copy(row);  // only a's: the same at any column
  ClickRow(1);
  EXPECT_EQ(log.mid(log.size() - 2), (QStringList{" > _jump 0 1", " > _select 0 2"}));
  EXPECT_GT(slot.LeftColumn, 150000);
  EXPECT_LT(slot.LeftColumn, 200001);
  EXPECT_EQ(main_->ScrollHF[0]->value(), slot.LeftColumn);
  QImage after = raster.copy(row);
  EXPECT_NE(after.pixel(row.width() - 2, row.height() / 2),
            before.pixel(row.width() - 2, row.height() / 2))
      << "the row is inverted";
  after.invertPixels();
  EXPECT_NE(after, before) << "the inverted row shows the hit, not only a's";
}

TEST_F(SearchResultWindow, ClearEmptiesTheMemoAndTheNextLineComesFirst) {
  QTest::mouseClick(SearchLogF->Button2, Qt::LeftButton);
  EXPECT_EQ(CmdHooks().search_log_lines(), QStringList{});
  CmdHooks().append_search_log(QStringLiteral("# start"));
  EXPECT_EQ(CmdHooks().search_log_lines(), QStringList{QStringLiteral("# start")});
  EXPECT_EQ(log, QStringList{});
}

TEST_F(SearchResultWindow, HalfAMillionLinesStayFast) {
  constexpr int kLines = 500000;
  QStringList lines;
  lines.reserve(kLines);
  for (int i = 1; i <= kLines; ++i) lines.append(LogLine(0, i, "a line of the file that matched"));
  QElapsedTimer timer;
  timer.start();
  for (const QString& line : lines) CmdHooks().append_search_log(line);
  CmdHooks().flush_search_log();
  const qint64 appendMs = timer.elapsed();
  RecordProperty("append_and_flush_ms", static_cast<int>(appendMs));
  EXPECT_LT(appendMs, kAppendLimitMs);

  LineMemo* memo = SearchLogF->SearchLog;
  EXPECT_EQ(memo->LineCount(), 7 + kLines);
  // The memo follows the newest line.
  EXPECT_EQ(memo->CaretLine(), 6 + kLines);
  EXPECT_EQ(memo->TopLine() + memo->VisibleRows() - 1, 6 + kLines);

  timer.restart();
  memo->verticalScrollBar()->setValue(250000);
  memo->viewport()->repaint();
  log.clear();
  ClickRow(250001);
  EXPECT_EQ(log, (QStringList{" > _jump 0 249991", " > _select 0 249995"}));
  EXPECT_LT(timer.elapsed(), kAppendLimitMs / 5);  // a scroll, a repaint and a click
}

}  // namespace
