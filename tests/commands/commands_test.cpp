// The command layer checked through what it writes: every hook is a
// recording stand-in, and each case compares the whole log (and the search
// result lines, the status panels, the captions) with what it must be.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStringEncoder>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands/Rpcmd1.h"
#include "commands/filter.h"
#include "commands/highlight.h"
#include "commands/jumps.h"
#include "search/search.h"
#include "store/indexer.h"
#include "store/slots.h"
#include "support/testfiles.h"
#include "support/utf16text.h"
#include "view/shownlines.h"
#include "view/view.h"

namespace {

struct Recorder {
  QStringList log;
  QStringList boxes;  // "caption|text"
  QStringList searchLog;
  std::vector<std::optional<HitSource>> sources;  // by searchLog line, as far as hits reach
  QStringList events;                             // show, flush, running 1/0 of the result window
  QString status[8];                              // panels 0..6 and kEncodingPanel
  QString captions[kSlotCount];
  bool lineNumberCheck = true;
  int encodingCheck = -2;  // the menu's checked choice
  std::function<void(int32_t, int32_t)> progress;
};

struct SlotControls {
  std::unique_ptr<TabPage> tab;
  PageImage* image;  // children of tab
  PageScrollBar* vscroll;
  PageScrollBar* hscroll;
};

std::string Cp932(const QString& text) {
  QStringEncoder encoder("windows-31j");
  return QByteArray(encoder.encode(text)).toStdString();
}

// The lines as a file: CP932 bytes, CR LF after each.
std::string FileBytes(const QStringList& lines) {
  std::string bytes;
  for (const QString& line : lines) bytes += Cp932(line) + "\r\n";
  return bytes;
}

std::string ReadBytes(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return "<missing>";
  return file.readAll().toStdString();
}

// First and last pixel row in which the two images differ; {-1, -1} if none.
std::pair<int, int> ChangedRows(const QImage& a, const QImage& b) {
  std::pair<int, int> rows{-1, -1};
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      if (a.pixel(x, y) != b.pixel(x, y)) {
        if (rows.first < 0) rows.first = y;
        rows.second = y;
        break;
      }
    }
  }
  return rows;
}

class CommandsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (int slot = 0; slot < kSlotCount; ++slot) {
      SlotControls& c = controls_[slot];
      c.tab = std::make_unique<TabPage>();
      c.image = new PageImage(800, 600, c.tab.get());
      c.vscroll = new PageScrollBar(Qt::Vertical, c.tab.get());
      c.hscroll = new PageScrollBar(Qt::Horizontal, c.tab.get());
      RegisterSlotControls(slot, c.tab.get(), c.image, c.vscroll, c.hscroll);
    }
  }
  static void TearDownTestSuite() {
    for (SlotControls& c : controls_) c.tab.reset();
  }

  void SetUp() override {
    ResetSlotTable();
    for (int slot = 0; slot < kSlotCount; ++slot) BindSlotControls(slot);
    CurrentSlot = 0;
    TabWidth = 4;
    ShowLineNumbers = true;
    SearchRunning = true;
    options_ = SearchOptions{};
    rec_ = Recorder{};

    InstallCommandHooks();
    Hooks().clock_text = [] { return std::string("CLOCK"); };
    SearchHooksRef().options = [this] { return options_; };
    CommandHooks& h = CmdHooks();
    h = CommandHooks{};
    h.append_log = [this](const QString& t) { rec_.log << t; };
    h.log_lines = [this] { return rec_.log; };
    h.message_box = [this](const QString& c, const QString& t) { rec_.boxes << c + "|" + t; };
    h.set_status = [this](int panel, const QString& t) { rec_.status[panel] = t; };
    h.set_tab_caption = [this](int slot, const QString& t) { rec_.captions[slot] = t; };
    h.set_encoding_check = [this](int choice) { rec_.encodingCheck = choice; };
    h.set_line_number_check = [this](bool on) { rec_.lineNumberCheck = on; };
    h.show_search_log = [this] { rec_.events << "show"; };
    h.append_search_log = [this](const QString& t) { rec_.searchLog << t; };
    h.flush_search_log = [this] { rec_.events << "flush"; };
    h.append_search_hit = [this](const QString& t, HitSource source) {
      rec_.sources.resize(static_cast<size_t>(rec_.searchLog.size()));
      rec_.sources.push_back(std::move(source));
      rec_.searchLog << t;
    };
    h.search_log_lines = [this] { return rec_.searchLog; };
    h.search_log_source = [this](int i) {
      return static_cast<size_t>(i) < rec_.sources.size() ? rec_.sources[static_cast<size_t>(i)]
                                                          : std::nullopt;
    };
    h.search_running = [this](bool on) { rec_.events << (on ? "running 1" : "running 0"); };
    h.search_progress = [this](int32_t line, int32_t count) {
      if (rec_.progress) rec_.progress(line, count);
    };
    ViewHooksRef().set_top_line_status = [this](const QString& t) { rec_.status[5] = t; };
    ViewHooksRef().page_control_size = [] { return QSize(800, 640); };
  }

  void TearDown() override {
    for (int slot = 0; slot < kSlotCount; ++slot) {
      CurrentSlot = slot;
      CloseDocument();
    }
    ResetSlotTable();
    CmdHooks() = CommandHooks{};
  }

  // Opens the lines as a file into the slot and forgets what that recorded.
  QString Open(int slot, const QStringList& lines, const std::string& name = "a.txt") {
    const QString path = QString::fromStdString(dir_.Write(name, FileBytes(lines)));
    CurrentSlot = slot;
    rpcmd::_open_file(path);
    EXPECT_NE(SlotTable[slot].ViewBase, nullptr) << name;
    rec_ = Recorder{};
    return path;
  }

  QImage& Raster(int slot) { return controls_[slot].image->Raster(); }
  double RowHeight(int slot) { return controls_[slot].image->FontSize() * 1.4; }

  static inline SlotControls controls_[kSlotCount];
  TempDir dir_;
  Recorder rec_;
  SearchOptions options_;
};

TEST_F(CommandsTest, CommandsOnEmptyTabs) {
  struct Row {
    const char* name;
    std::function<int()> run;
    QStringList log;
    int result;
    std::function<void(const Recorder&)> check;
  };
  const std::vector<Row> rows = {
      {"jump", [] { return rpcmd::_jump(10, true); }, {" > _jump 0 11"}, -1, nullptr},
      {"select", [] { return rpcmd::_select(42); }, {" > _select 0 42"}, -1, nullptr},
      {"line numbers off",
       [] { return rpcmd::_dsp_lineno(false); },
       {" > _dsp_lineno 0 0"},
       -1,
       [](const Recorder& r) {
         EXPECT_FALSE(ShowLineNumbers);
         EXPECT_FALSE(r.lineNumberCheck);
       }},
      {"tab width 8",
       [] { return rpcmd::_tab_set(8); },
       {" > _tab_set 8 "},
       0,
       [](const Recorder&) { EXPECT_EQ(TabWidth, 8); }},
      {"font",
       [] { return rpcmd::_font_set(QFont("ＭＳ ゴシック", 12)); },
       {" > _font_set 0 ＭＳ ゴシック 12 "},
       0,
       [](const Recorder&) {  // this tab only
         EXPECT_EQ(controls_[0].image->CanvasFont().family(), "ＭＳ ゴシック");
         EXPECT_NE(controls_[1].image->CanvasFont().family(), "ＭＳ ゴシック");
       }},
      {"exit three times",
       [] {
         CurrentSlot = 2;
         return rpcmd::_exit() + rpcmd::_exit() + rpcmd::_exit();
       },
       {" > _exit", " > _exit", " > _exit"},
       0,
       [](const Recorder&) { EXPECT_EQ(CurrentSlot, 2); }},
      {"view a tab never used",
       [] { return rpcmd::_chenge_view(2); },
       {" > _chenge_view 2"},
       0,
       [](const Recorder& r) {
         EXPECT_EQ(CurrentSlot, 2);
         EXPECT_EQ((QStringList{r.status[1], r.status[3], r.status[5]}),
                   (QStringList{"", "0", "1"}));
       }},
      {"view slot 4",
       [] { return rpcmd::_chenge_view(4); },
       {" > _chenge_view 4"},
       -1,
       [](const Recorder&) { EXPECT_EQ(CurrentSlot, 0); }},
      {"view slot -1",
       [] {
         CurrentSlot = 3;
         return rpcmd::_chenge_view(-1);
       },
       {" > _chenge_view -1"},
       -1,
       [](const Recorder&) { EXPECT_EQ(CurrentSlot, 0); }},
      {"quit the third tab",
       [] {
         CurrentSlot = 2;
         return rpcmd::_quit_file();
       },
       {" > _quit_file 2"},
       0,
       [](const Recorder& r) {
         EXPECT_EQ(r.captions[2], "ファイル2");
         EXPECT_EQ((QStringList{r.status[1], r.status[3], r.status[5]}), (QStringList{"", "", ""}));
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    for (QString& s : rec_.status) s = "old";
    EXPECT_EQ(row.run(), row.result);
    EXPECT_EQ(rec_.log, row.log);
    EXPECT_EQ(rec_.boxes, QStringList());
    if (row.check) row.check(rec_);
  }
}

TEST_F(CommandsTest, OpenLogsTimeStampsAndSetsUpTheTab) {
  // An empty file is an empty document, opened like any other (a log just
  // created is followed from its first line on).
  const struct {
    const char* name;
    QStringList lines;
    QString count;
    int maximum;
  } rows[] = {{"ten.txt", QStringList(10, "x"), "10", 10}, {"empty.txt", {}, "0", 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    const QString path = QString::fromStdString(
        dir_.Write(row.name, row.lines.isEmpty() ? std::string() : FileBytes(row.lines)));
    CurrentSlot = 2;
    EXPECT_EQ(rpcmd::_open_file(path), 0);
    EXPECT_EQ(rec_.log, (QStringList{" > _open_file 2 " + path,
                                     "# 　　　　　　　ファイルオープン開始 :(CLOCK)===",
                                     "# 　　　　　　　ファイルオープン終了 :(CLOCK)==="}));
    EXPECT_EQ(rec_.captions[2], row.name);
    EXPECT_EQ((QStringList{rec_.status[1], rec_.status[3], rec_.status[5]}),
              (QStringList{path, row.count, "1"}));
    const PageScrollBar* v = controls_[2].vscroll;
    EXPECT_EQ((std::vector<int>{v->minimum(), v->maximum(), v->pageStep(), v->value()}),
              (std::vector<int>{0, row.maximum, 1, 0}));
  }
}

TEST_F(CommandsTest, FailedOpenLogsWhyWithoutABox) {
  const std::vector<std::pair<const char*, QString>> rows = {
      {"ファイルが見つかりません", QString::fromStdString(dir_.path() + "/missing.txt")},
      {"フォルダーです", QString::fromStdString(dir_.path())},
  };
  for (const auto& [reason, path] : rows) {
    SCOPED_TRACE(path.toStdString());
    rec_.log.clear();
    rpcmd::_open_file(path);
    EXPECT_EQ(rec_.log, (QStringList{" > _open_file 0 " + path,
                                     QStringLiteral("# *** ERROR *** ファイルを開けません（") +
                                         QString::fromUtf8(reason) + "）: " + path}));
    EXPECT_EQ(rec_.boxes, QStringList());
    EXPECT_EQ(SlotTable[0].ViewBase, nullptr);
  }
}

// Names from Windows archives are Shift-JIS bytes: shown decoded as such
// on the tab, in the status bar and in the log; a name that decodes in
// neither shows stand-ins. Either opens from its own bytes.
TEST_F(CommandsTest, ANameThatIsNotUtf8OpensAndShowsDecoded) {
  const struct {
    QByteArray name;
    QString shown;
  } rows[] = {{"\x93\xFA\x96\x7B.txt", QStringLiteral("日本.txt")},
              {"\xFF\xFE.txt", QString(2, QChar(0xFFFD)) + ".txt"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.shown.toStdString());
    const QByteArray path = QByteArray::fromStdString(dir_.path()) + "/" + row.name;
    const std::string plain = dir_.Write("x", "sjis name\r\n");
    ASSERT_EQ(0, ::rename(plain.c_str(), path.constData()));
    rec_ = Recorder{};
    CurrentSlot = 1;
    EXPECT_EQ(rpcmd::_open_file(path), 0);
    ASSERT_NE(SlotTable[1].ViewBase, nullptr);
    EXPECT_EQ(SlotTable[1].FileName, path.toStdString());
    EXPECT_EQ(SlotTable[1].LineCount, 1);
    const QString shown = QString::fromStdString(dir_.path()) + "/" + row.shown;
    EXPECT_EQ(rec_.log.first(), " > _open_file 1 " + shown);
    EXPECT_EQ(rec_.status[1], shown);
    EXPECT_EQ(rec_.captions[1], row.shown);
  }
}

TEST_F(CommandsTest, ANewDocumentStartsAtColumnZeroWithItsBar) {
  Open(0, QStringList(30, QString(300, 'w')), "wide.txt");
  PageScrollBar* bar = controls_[0].hscroll;
  ASSERT_EQ(bar->maximum(), 300);
  bar->setValue(290);  // the user drags the bar to the far right
  DrawViewAtColumn(290);
  for (const bool closeFirst : {true, false}) {
    SCOPED_TRACE(closeFirst ? "closed, then opened" : "opened over it");
    if (closeFirst) {
      rpcmd::_quit_file();
      EXPECT_EQ(bar->value(), 0);
    }
    Open(0, QStringList(30, QString(30, 'n')), closeFirst ? "narrow1.txt" : "narrow2.txt");
    EXPECT_EQ(SlotTable[0].LeftColumn, 0);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(bar->maximum(), 30);
    // The first row shows its text, not only its line number: ink beyond the
    // prefix.
    QImage row = Raster(0).copy(TextMargin + 20, 0, 150, RowTop(1));
    QImage white(row.size(), row.format());
    white.fill(Qt::white);
    EXPECT_NE(ChangedRows(row, white), (std::pair<int, int>{-1, -1}));
    bar->setMaximum(300);
    bar->setValue(290);
    DrawViewAtColumn(290);
  }
}

TEST_F(CommandsTest, ReportErrorShowsTheBoxThenLogs) {
  ReportError("abc");
  EXPECT_EQ(rec_.boxes, QStringList{"Error|abc"});
  EXPECT_EQ(rec_.log, QStringList{"# *** ERROR *** abc"});
}

TEST_F(CommandsTest, QuitFileBlanksTheTabThatHeldADocument) {
  Open(2, QStringList(100, "some text"));
  rpcmd::_jump(30, true);
  rec_ = Recorder{};
  EXPECT_EQ(rpcmd::_quit_file(), 0);
  EXPECT_EQ(rec_.log, QStringList{" > _quit_file 2"});
  EXPECT_EQ(rec_.captions[2], "ファイル2");
  EXPECT_EQ((QStringList{rec_.status[1], rec_.status[3], rec_.status[5]}),
            (QStringList{"", "", ""}));
  EXPECT_EQ(SlotTable[2].ViewBase, nullptr);
  EXPECT_EQ(controls_[2].vscroll->value(), 0);
  QImage white(Raster(2).size(), Raster(2).format());
  white.fill(Qt::white);
  EXPECT_EQ(ChangedRows(Raster(2), white), (std::pair<int, int>{-1, -1}));
}

TEST_F(CommandsTest, JumpThenSelectInvertsTheRowOfTheLine) {
  Open(0, QStringList(100, "some text"));
  EXPECT_EQ(rpcmd::_jump(37, true), 0);
  EXPECT_EQ(SlotTable[0].TopLine, 37);
  EXPECT_EQ(controls_[0].vscroll->value(), 37);
  EXPECT_EQ(rec_.status[5], "38");
  const QImage before = Raster(0).copy();
  EXPECT_EQ(rpcmd::_select(42), 0);
  EXPECT_EQ(rec_.log, (QStringList{" > _jump 0 38", " > _select 0 42"}));
  const double h = RowHeight(0);
  const auto [first, last] = ChangedRows(before, Raster(0));
  EXPECT_EQ(first, static_cast<int>(h * 4));
  EXPECT_LE(last, static_cast<int>(h * 5));
}

TEST_F(CommandsTest, AFilteredTabScrollsJumpsAndSearchesOverTheShownLines) {
  QStringList lines;  // every third line, from line 2 (1-based), is INFO
  for (int i = 0; i < 1000; ++i)
    lines << QString("line %1 %2").arg(i + 1).arg(i % 3 == 1 ? "INFO" : "DEBUG");
  Open(0, lines);
  FileSlot& slot = SlotTable[0];
  ASSERT_EQ(rpcmd::_filter({"INFO"}), 0);
  WaitForFilter();
  EXPECT_EQ(rec_.log,
            (QStringList{" > _filter 0 + INFO", "# フィルタ完了: 1000 行中 333 行を表示"}));
  EXPECT_EQ(controls_[0].vscroll->maximum(), 333);
  EXPECT_EQ(slot.TopLine, 1);  // the first shown line at or after the top
  // A jump to a hidden line shows the next shown one; the bar counts rows.
  rpcmd::_jump(5, true);
  EXPECT_EQ(slot.TopLine, 7);
  EXPECT_EQ(controls_[0].vscroll->value(), 2);
  EXPECT_EQ(LastPageTop(slot), LineOfRow(slot, 333 - VisibleLinesPerPage(slot.Image)));
  // Searches see the shown lines only.
  rpcmd::_jump(0, true);
  options_ = SearchOptions{.Continuous = true};
  rec_ = Recorder{};
  FindString("line");
  EXPECT_EQ(rec_.searchLog.size(), 333 + 2);
  EXPECT_TRUE(rec_.searchLog.filter("DEBUG").isEmpty());
  options_ = SearchOptions{};
  EXPECT_EQ(FindString("DEBUG"), -1);
  // 解除 keeps the line on top and gives every line back.
  rpcmd::_jump(500, true);
  const int32_t top = slot.TopLine;
  EXPECT_EQ(rpcmd::_filter_clear(), 0);
  EXPECT_EQ(slot.TopLine, top);
  EXPECT_EQ(controls_[0].vscroll->maximum(), 1000);
  EXPECT_EQ(rec_.log.last(), " > _filter 0 clear");
}

// Pixels of a colour in a page row, from x on.
int PixelsOf(const QImage& image, QRgb colour, int top, int bottom, int x = 0) {
  int n = 0;
  for (int y = top; y < bottom; ++y) {
    for (int i = x; i < image.width(); ++i)
      n += (image.pixel(i, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
  }
  return n;
}

TEST_F(CommandsTest, EveryOccurrenceOfTheSearchAndOfTheRulesIsColoured) {
  Open(1, {"ZZ", "xyz", "zz"}, "b.txt");
  Open(0, {"top", "abc def ABC", "xyz", "zz abc"});
  const QRgb mark = SearchMarkColour().rgb();
  const auto row = [&](int slot, int r) {
    const double h = RowHeight(slot);
    return std::pair{static_cast<int>(h * r), static_cast<int>(h * (r + 1))};
  };
  options_ = SearchOptions{.IgnoreCase = true};
  ASSERT_EQ(FindString("abc"), 0);
  // The hit (line 2's abc, now on row 0) is inverted; its other ABC and row
  // 2's abc are marked; row 1 holds no occurrence, row 3 no line.
  const struct {
    int row;
    bool marked;
  } rows[] = {{0, true}, {1, false}, {2, true}, {3, false}};
  for (const auto& r : rows) {
    const auto [top, bottom] = row(0, r.row);
    EXPECT_EQ(PixelsOf(Raster(0), mark, top, bottom) > 0, r.marked) << "row " << r.row;
  }
  // Another text in the search box, or 強調表示を消す, takes the marks away.
  SearchTextEdited("abc");
  EXPECT_GT(PixelsOf(Raster(0), mark, 0, Raster(0).height()), 0);
  SearchTextEdited("ab");
  EXPECT_EQ(PixelsOf(Raster(0), mark, 0, Raster(0).height()), 0);
  ClearSearchMarks();
  // A rule colours every page of every tab.
  const QColor green(0x80, 0xF0, 0x80);
  ASSERT_TRUE(SetHighlightRules({{"z+", true, true, green}}));
  for (const int slot : {0, 1}) {
    rpcmd::_chenge_view(slot);
    DrawView(0, false);
    for (int r = 0; r < 4; ++r) {
      const auto [top, bottom] = row(slot, r);
      const bool z = slot == 1 ? r < 3 : r >= 2;
      EXPECT_EQ(PixelsOf(Raster(slot), green.rgb(), top, bottom) > 0, z) << slot << " " << r;
    }
  }
  EXPECT_FALSE(SetHighlightRules({{"(", true, false, green}}));
  SetHighlightRules({});
}

// The tab on view shows its last hit inverted; a hidden tab whose last hit
// lay far to the right keeps its page as it was, not scrolled sideways.
TEST_F(CommandsTest, AContinuousSearchOfAllTabsListsEachTabsHitsInTabOrder) {
  const std::string far = std::string(300, 'x') + " abc again";
  Open(2, {"abc two", "none"}, "c.txt");
  Open(0, {"none", "abc zero", QString::fromStdString(far)});
  Open(1, {"nothing", "here", "at", "x abc"}, "b.txt");
  rpcmd::_jump(2, true);
  options_ = SearchOptions{.Continuous = true, .AllTabs = true};
  rec_ = Recorder{};
  EXPECT_EQ(FindString("abc"), 0);
  const QStringList hits = rec_.searchLog.filter(QRegularExpression("^ +\\d+ : "));
  auto line = [](int slot, int number, const std::string& text) {
    return QString::fromStdString(FormatSearchLogLine(slot, number, text));
  };
  EXPECT_EQ(hits, (QStringList{line(0, 2, "abc zero"), line(0, 3, far), line(1, 4, "x abc"),
                               line(2, 1, "abc two")}));
  EXPECT_EQ(CurrentSlot, 1);
  EXPECT_EQ(SlotTable[1].TopLine, 3);
  EXPECT_EQ(SlotTable[0].TopLine, 0);
  EXPECT_EQ(SlotTable[2].TopLine, 0);
  // The hit on view is inverted: a redraw without it differs in its row
  // only.
  const QImage shown = Raster(1).copy();
  DrawView(SlotTable[1].TopLine, false);
  const auto [first, last] = ChangedRows(shown, Raster(1));
  EXPECT_EQ(first, 0);
  EXPECT_LE(last, static_cast<int>(RowHeight(1)));
  // The hidden tab: at its column, its page drawn there.
  EXPECT_EQ(SlotTable[0].LeftColumn, 0);
  EXPECT_EQ(controls_[0].hscroll->value(), 0);
  const QImage hidden = Raster(0).copy();
  rpcmd::_chenge_view(0);
  DrawView(0, false);
  EXPECT_EQ(ChangedRows(hidden, Raster(0)), (std::pair<int, int>{-1, -1}));
}

TEST_F(CommandsTest, AnyTabWidthKeepsLinesWithinTheBuffer) {
  Open(0, {"a\tb\tc", QString(3000, '\t') + "x", "plain"});
  for (int width : {-5, 0, 1, 8, 2047, 2048, 100000, INT_MAX}) {
    SCOPED_TRACE(width);
    rec_.log.clear();
    EXPECT_EQ(rpcmd::_tab_set(width), 0);
    EXPECT_EQ(rec_.log, QStringList{" > _tab_set " + QString::number(width) + " "});
    EXPECT_EQ(TabWidth, width);
    for (int32_t line = 0; line < 3; ++line) {
      EXPECT_LE(GetLine(SlotTable[0], line).size(), static_cast<size_t>(kMaxLineText));
    }
  }
  TabWidth = 8;
  const std::string eight(8, ' ');
  EXPECT_EQ(GetLine(SlotTable[0], 0), "a" + eight + "b" + eight + "c");
}

// The file every search row runs over (0-based line index on the left).
const QStringList kSearchLines = {
    "first line",          // 0
    "alpha abc",           // 1
    "nothing",             // 2
    "ABC upper",           // 3
    "x abc",               // 4
    "digits 123",          // 5
    "percent 100% done",   // 6
    "tail abc",            // 7
    "日本語の検索テスト",  // 8
    "end",                 // 9
};

TEST_F(CommandsTest, FindReportsAndShowsTheHit) {
  const QString error = "# *** ERROR *** 検索文字が見つかりません";
  struct Row {
    const char* name;
    int slot;
    int32_t top;
    SearchOptions options;
    QString text;
    int result;
    QStringList log;        // after the echo
    QStringList searchLog;  // result window lines
    int32_t topAfter;
  };
  const SearchOptions single{};
  const SearchOptions all{.Continuous = true};
  const SearchOptions allUp{.Continuous = true, .Down = false};
  const std::vector<Row> rows = {
      {"single found",
       0,
       0,
       single,
       "abc",
       0,
       {"#        検索結果: 2 行目に(abc)が有ります"},
       {},
       1},
      {"single not found", 0, 0, single, "zzz", -1, {error}, {}, 0},
      {"match on the top line skipped",
       0,
       1,
       single,
       "abc",
       0,
       {"#        検索結果: 5 行目に(abc)が有ります"},
       {},
       4},
      {"case kept", 0, 0, single, "ABC", 0, {"#        検索結果: 4 行目に(ABC)が有ります"}, {}, 3},
      {"ignore case quotes as typed",
       0,
       0,
       {.IgnoreCase = true},
       "Abc",
       0,
       {"#        検索結果: 2 行目に(Abc)が有ります"},
       {},
       1},
      {"regex digit",
       0,
       0,
       {.Regex = true},
       "\\d",
       0,
       {"#        検索結果: 6 行目に(\\d)が有ります"},
       {},
       5},
      {"regex digit ignoring case is still a digit",
       0,
       0,
       {.IgnoreCase = true, .Regex = true},
       "\\d",
       0,
       {"#        検索結果: 6 行目に(\\d)が有ります"},
       {},
       5},
      {"empty text", 0, 0, single, "", -1, {error}, {}, 0},
      {"percent quoted",
       0,
       0,
       single,
       "100%",
       0,
       {"#        検索結果: 7 行目に(100%)が有ります"},
       {},
       6},
      {"upward",
       0,
       9,
       {.Down = false},
       "abc",
       0,
       {"#        検索結果: 8 行目に(abc)が有ります"},
       {},
       7},
      {"continuous down",
       0,
       0,
       all,
       "abc",
       0,
       {"# 連続検索終了  (abc)検索数: 3 "},
       {"# 連続検索開始　(abc)", "  0 :         2 :  alpha abc", "  0 :         5 :  x abc",
        "  0 :         8 :  tail abc", "# 連続検索終了  (abc)検索数: 3 "},
       7},
      {"continuous up in slot 1",
       1,
       9,
       allUp,
       "abc",
       0,
       {"# 連続検索終了  (abc)検索数: 3 "},
       {"# 連続検索開始　(abc)", "  1 :         8 :  tail abc", "  1 :         5 :  x abc",
        "  1 :         2 :  alpha abc", "# 連続検索終了  (abc)検索数: 3 "},
       1},
      {"continuous ignoring case",
       0,
       0,
       {.IgnoreCase = true, .Continuous = true},
       "abc",
       0,
       {"# 連続検索終了  (abc)検索数: 4 "},
       {"# 連続検索開始　(abc)", "  0 :         2 :  alpha abc", "  0 :         4 :  ABC upper",
        "  0 :         5 :  x abc", "  0 :         8 :  tail abc",
        "# 連続検索終了  (abc)検索数: 4 "},
       7},
      {"continuous double-byte",
       0,
       0,
       all,
       "検索",
       0,
       {"# 連続検索終了  (検索)検索数: 1 "},
       {"# 連続検索開始　(検索)", "  0 :         9 :  日本語の検索テスト",
        "# 連続検索終了  (検索)検索数: 1 "},
       8},
      {"continuous zero hits with percent",
       0,
       3,
       all,
       "%d%s%1",
       -1,
       {"# 連続検索終了  (%d%s%1)検索数: 0 ", error},
       {"# 連続検索開始　(%d%s%1)", "# 連続検索終了  (%d%s%1)検索数: 0 "},
       3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    Open(row.slot, kSearchLines);
    if (row.top > 0) rpcmd::_jump(row.top, true);
    rec_ = Recorder{};
    options_ = row.options;
    EXPECT_EQ(rpcmd::_find_str(row.text), row.result);
    EXPECT_EQ(rec_.log,
              QStringList{" > _find_str " + QString::number(row.slot) + " " + row.text} + row.log);
    EXPECT_EQ(rec_.searchLog, row.searchLog);
    // A single search, too, disables the windows while it runs.
    EXPECT_EQ(rec_.events, row.options.Continuous
                               ? (QStringList{"show", "flush", "running 1", "running 0", "flush"})
                               : (QStringList{"running 1", "running 0"}));
    EXPECT_EQ(SlotTable[row.slot].TopLine, row.topAfter);
    EXPECT_EQ(controls_[row.slot].vscroll->value(), row.topAfter);
    if (row.result == 0) {
      // The match is inverted on the top row: a redraw without it differs
      // there and nowhere else.
      const QImage shown = Raster(row.slot).copy();
      DrawView(SlotTable[row.slot].TopLine, false);
      const auto [first, last] = ChangedRows(shown, Raster(row.slot));
      EXPECT_EQ(first, 0);
      EXPECT_LE(last, static_cast<int>(RowHeight(row.slot)));
    }
    TearDown();
  }
}

TEST_F(CommandsTest, TwoContinuousSearchesInARow) {
  Open(0, kSearchLines);
  options_ = {.Continuous = true};
  EXPECT_EQ(FindString("abc"), 0);
  // The second starts on the last hit, the top line, and lists it again.
  EXPECT_EQ(FindString("abc"), 0);
  EXPECT_EQ(rec_.log, (QStringList{" > _find_str 0 abc", "# 連続検索終了  (abc)検索数: 3 ",
                                   " > _find_str 0 abc", "# 連続検索終了  (abc)検索数: 1 "}));
  EXPECT_EQ(rec_.searchLog.size(), 5 + 3);
  EXPECT_EQ(SlotTable[0].TopLine, 7);
}

TEST_F(CommandsTest, CancelEndsAContinuousSearchWithTheHitsSoFar) {
  constexpr int kLines = 20000;
  Open(0, QStringList(kLines, "hit here"));
  options_ = {.Continuous = true};
  rec_.progress = [](int32_t, int32_t) { SearchRunning = false; };  // the Cancel button
  EXPECT_EQ(FindString("hit"), 0);
  const int hits = static_cast<int>(rec_.searchLog.size()) - 2;
  EXPECT_GE(hits, 1);
  EXPECT_LT(hits, kLines - 1);
  const QString report = "# 連続検索終了  (hit)検索数: " + QString::number(hits) + " ";
  // The top line is a hit too: the last hit is line hits - 1, where it stopped.
  EXPECT_EQ(rec_.log, (QStringList{" > _find_str 0 hit", report,
                                   "#        検索中止: " + QString::number(hits) +
                                       " 行目まで検索しました(hit)"}));
  EXPECT_EQ(rec_.searchLog.back(), report);
  EXPECT_EQ(SlotTable[0].TopLine, hits - 1);
  EXPECT_FALSE(SearchRunning);
}

// Input let through a search may close, replace or switch its document; the
// search then ends as after a cancel and shows no hit of the gone document.
TEST_F(CommandsTest, SearchEndsWhenItsDocumentChangesUnderIt) {
  constexpr int kLines = 20000;
  struct Row {
    const char* name;
    SearchOptions options;
    std::function<void(const QString& other)> change;
  };
  const std::vector<Row> rows = {
      {"continuous, closed", {.Continuous = true}, [](const QString&) { rpcmd::_quit_file(); }},
      {"continuous, tab switched",
       {.Continuous = true},
       [](const QString&) { rpcmd::_chenge_view(1); }},
      {"continuous, tab width", {.Continuous = true}, [](const QString&) { rpcmd::_tab_set(8); }},
      {"single, closed", {}, [](const QString&) { rpcmd::_quit_file(); }},
      {"single, replaced", {}, [](const QString& other) { rpcmd::_open_file(other); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    // Every line a hit for the continuous search; one at the end for the
    // single search, so that it runs long enough to be interrupted.
    QStringList lines =
        row.options.Continuous ? QStringList(kLines, "hit here") : QStringList(kLines, "none here");
    lines << "hit";
    Open(0, lines);
    const QString other = QString::fromStdString(dir_.Write("b.txt", "other\r\n"));
    options_ = row.options;
    bool changed = false;
    rec_.progress = [&](int32_t, int32_t) {
      if (!changed) row.change(other);
      changed = true;
    };
    SearchHooksRef().poll_interval_ms = 0;
    EXPECT_EQ(FindString("hit"), -1);
    SearchHooksRef().poll_interval_ms = 50;
    EXPECT_TRUE(changed);
    EXPECT_FALSE(SearchRunning);
    EXPECT_EQ(rec_.events.mid(rec_.events.indexOf("running 1"), 2),
              (QStringList{"running 1", "running 0"}));
    // The hit's page was not drawn: nothing logged a found report.
    for (const QString& line : rec_.log)
      EXPECT_FALSE(line.contains("検索結果")) << line.toStdString();
  }
}

// An expression that does not compile is reported as such, with the
// library's reason and where it stopped, and nothing is searched.
TEST_F(CommandsTest, InvalidRegexIsReportedNotSearched) {
  struct Row {
    QString text;
    bool continuous;
    QString reason;
  };
  const std::vector<Row> rows = {
      {"(", false, "missing closing parenthesis (2 文字目)"},
      {"[a-", true, "missing terminating ] for character class (4 文字目)"},
      {"a{2,1}", false, "numbers out of order in {} quantifier (6 文字目)"},
      {"日本(", false, "missing closing parenthesis (4 文字目)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text.toStdString());
    SetUp();
    Open(0, kSearchLines);
    options_ = {.Regex = true, .Continuous = row.continuous};
    EXPECT_EQ(rpcmd::_find_str(row.text), -1);
    const QString message = "正規表現が正しくありません: " + row.reason;
    EXPECT_EQ(rec_.log, (QStringList{" > _find_str 0 " + row.text, "# *** ERROR *** " + message}));
    EXPECT_EQ(rec_.boxes, QStringList{"Error|" + message});
    EXPECT_TRUE(rec_.events.isEmpty());
    EXPECT_TRUE(rec_.searchLog.isEmpty());
  }
}

TEST_F(CommandsTest, SavesWriteCp932WithCrLf) {
  const std::string japanese = "\x93\xfa\x96\x7b\x8c\xea";  // 日本語
  struct Row {
    const char* name;
    std::string existing;  // "" = no file yet
    std::function<int(const QString&)> save;
    QStringList log;  // after the command, {} for none
    std::string bytes;
  };
  const std::vector<Row> rows = {
      {"lines",
       "",
       [](const QString& f) {
         return SaveExecutionLog({"abc", "日本語", ""}, f);
       },
       {},
       "abc\r\n" + japanese + "\r\n\r\n"},
      {"no lines", "old", [](const QString& f) { return SaveExecutionLog({}, f); }, {}, ""},
      {"over a longer file",
       std::string(10000, 'z'),
       [](const QString& f) { return SaveExecutionLog({"x"}, f); },
       {},
       "x\r\n"},
      {"log with its echo",
       "",
       [](const QString& f) { return rpcmd::_save_memo(f); },
       {"note", " > _save_memo %1"},
       "note\r\n > _save_memo %1\r\n"},
      {"search log",
       "",
       [](const QString& f) { return rpcmd::_save_search_log(f); },
       {"note", " > _save_search_log %1"},
       "  0 :         1 :  " + japanese + "\r\n"},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string name = "save" + std::to_string(n++) + ".log";
    const std::string path =
        row.existing.empty() ? dir_.path() + "/" + name : dir_.Write(name, row.existing);
    const QString file = QString::fromStdString(path);
    rec_.log = QStringList{"note"};
    rec_.searchLog = QStringList{"  0 :         1 :  日本語"};
    EXPECT_EQ(row.save(file), 0);
    std::string bytes = row.bytes;
    if (const size_t at = bytes.find("%1"); at != std::string::npos) bytes.replace(at, 2, path);
    EXPECT_EQ(ReadBytes(path), bytes);
    QStringList log = row.log.isEmpty() ? QStringList{"note"} : row.log;
    for (QString& line : log) line.replace("%1", file);
    EXPECT_EQ(rec_.log, log);
    EXPECT_EQ(rec_.boxes, QStringList());
  }
}

// Text that CP932 cannot hold (an echoed search, a name with stand-ins, a
// note typed into the log) is never replaced nor refused: the whole log is
// written as UTF-8 and the log says so, in the file too.
TEST_F(CommandsTest, ALogThatCp932CannotHoldIsSavedAsUtf8) {
  const std::string old = dir_.Write("typed.log", "old contents\r\n");
  const QString file = QString::fromStdString(old);
  rec_.log = QStringList{"abc 〜 ok", QString::fromUtf8("a😀b€\xEF\xBF\xBD")};
  EXPECT_EQ(rpcmd::_save_memo(file), 0);
  const QString note = "# 実行ログを UTF-8 で保存します（Shift_JIS で表せない文字があるため）";
  EXPECT_EQ(ReadBytes(old),
            ("abc 〜 ok\r\na😀b€\xEF\xBF\xBD\r\n > _save_memo " + file + "\r\n" + note + "\r\n")
                .toStdString());
  EXPECT_EQ(rec_.boxes, QStringList());
  EXPECT_EQ(rec_.log.back(), note);
}

// The search text is typed as Unicode: the input methods' code points are
// searched as the bytes the text holds, and a character that CP932 has no
// code for is refused instead of being searched as something else.
TEST_F(CommandsTest, TypedSearchTextIsSearchedInCp932) {
  struct Row {
    QString text;
    QStringList log;  // after the echo
    QStringList boxes;
  };
  const QString refused = "検索文字列の「%1」は Shift_JIS では表せないため検索できません";
  const std::vector<Row> rows = {
      {"〜", {"#        検索結果: 2 行目に(〜)が有ります"}, {}},
      {"−5", {"#        検索結果: 3 行目に(−5)が有ります"}, {}},
      {"a😀", {"# *** ERROR *** " + refused.arg("😀")}, {"Error|" + refused.arg("😀")}},
      {"€€", {"# *** ERROR *** " + refused.arg("€")}, {"Error|" + refused.arg("€")}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text.toStdString());
    SetUp();
    CurrentSlot = 0;
    const QString path = QString::fromStdString(dir_.Write("typed.txt",
                                                           "x\r\n10\x81\x60"
                                                           "20\r\n\x81\x7C"
                                                           "5\r\n"));
    rpcmd::_open_file(path);
    rec_ = Recorder{};
    options_ = SearchOptions{};
    rpcmd::_find_str(row.text);
    EXPECT_EQ(rec_.log, QStringList{" > _find_str 0 " + row.text} + row.log);
    EXPECT_EQ(rec_.boxes, row.boxes);
  }
}

TEST_F(CommandsTest, FailedSaveReportsAndKeepsTheOldFile) {
  const std::string old = dir_.Write("old.log", "old contents\r\n");
  const QString folderIsAFile = QString::fromStdString(old + "/x.log");
  const QStringList lines(400, "a line that does not fit");

  // Too big for the file size limit: the write fails after the old file
  // would have been deleted by a delete-then-write save.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 1000;
  setrlimit(RLIMIT_FSIZE, &small);
  const int tooBig = SaveExecutionLog(lines, QString::fromStdString(old));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(tooBig, -1);
  EXPECT_EQ(ReadBytes(old), "old contents\r\n");
  EXPECT_EQ(SaveExecutionLog(lines, folderIsAFile), -1);
  // The file and the system's reason, in the box and in the log.
  const QStringList texts = {
      "ファイル " + QString::fromStdString(old) + " に保存できませんでした: " + strerror(EFBIG),
      "ファイル " + folderIsAFile + " に保存できませんでした: " + strerror(ENOTDIR)};
  EXPECT_EQ(rec_.boxes, (QStringList{"Error|" + texts[0], "Error|" + texts[1]}));
  EXPECT_EQ(rec_.log, (QStringList{"# *** ERROR *** " + texts[0], "# *** ERROR *** " + texts[1]}));
  EXPECT_EQ(QDir(QString::fromStdString(dir_.path())).entryList(QDir::Files | QDir::Hidden),
            QStringList{"old.log"});
}

TEST_F(CommandsTest, HalfAMillionHitsAreAllListedAndCounted) {
  constexpr int kLines = 500000;
  QStringList lines(kLines, "a hit on every line");
  lines[0] = "top";
  Open(0, lines);
  options_ = {.Continuous = true};
  QElapsedTimer timer;
  timer.start();
  EXPECT_EQ(FindString("hit"), 0);
  std::printf("%d hits in %lld ms\n", kLines - 1, static_cast<long long>(timer.elapsed()));
  EXPECT_EQ(rec_.searchLog.size(), kLines + 1);
  EXPECT_EQ(rec_.log.back(), "# 連続検索終了  (hit)検索数: " + QString::number(kLines - 1) + " ");
  EXPECT_EQ(rec_.searchLog[kLines - 1], "  0 :    500000 :  a hit on every line");
  EXPECT_EQ(SlotTable[0].TopLine, kLines - 1);
}

TEST_F(CommandsTest, TruncationReadsTheFileAgainWithoutABox) {
  QStringList lines;
  for (int i = 0; i < 30000; ++i) lines << QString("line %1").arg(i, 6, 10, QChar('0'));
  const QString path = Open(0, lines);
  ASSERT_EQ(0, ::truncate(path.toLocal8Bit().constData(), 13 * 12000 + 4));
  // The moment in between: the vanished lines read as empty, no crash.
  DrawView(29000, false);
  DrawView(28000, false);
  QElapsedTimer waited;
  waited.start();
  while (SlotTable[0].LineCount != 12001 && waited.elapsed() < 20000) {
    QCoreApplication::processEvents();
    PumpIndex(SlotTable[0]);
  }
  EXPECT_EQ(SlotTable[0].LineCount, 12001);
  EXPECT_EQ(QString::fromStdString(GetLine(SlotTable[0], 12000)), "line");
  EXPECT_EQ(rec_.boxes, QStringList());
  EXPECT_TRUE(rec_.log.contains("# ファイルが切り詰められたので、先頭から読み直します: " + path));
}

}  // namespace

namespace {

// The search text in the document's encoding, and the saved search log in
// the encoding of the documents its hits came from.
class EncodingCommands : public CommandsTest {
 protected:
  void OpenRaw(int slot, const std::string& bytes, const std::string& name) {
    CurrentSlot = slot;
    rpcmd::_open_file(QString::fromStdString(dir_.Write(name, bytes)));
    ASSERT_NE(SlotTable[slot].ViewBase, nullptr) << name;
  }
};

TEST_F(EncodingCommands, SearchTextTheEncodingCannotHoldIsRefused) {
  struct Row {
    const char* name;
    std::string file;  // its encoding is detected
    QString typed;
    QString error;  // empty: the text is searched and found
  };
  const Row rows[] = {
      {"sjis_jis_x_0212", "\x93\xFA\x96\x7B\r\n", QStringLiteral("日丂"),
       QStringLiteral("検索文字列の「丂」は Shift_JIS では表せないため検索できません")},
      {"eucjp_four_bytes", "\xC6\xFC\xCB\xDC\r\n", QStringLiteral("本𠮷"),
       QStringLiteral("検索文字列の「𠮷」は EUC-JP では表せないため検索できません")},
      {"utf8_holds_everything", "x\r\n\xF0\xA0\xAE\xB7\xE4\xB8\x82\r\n", QStringLiteral("𠮷丂"),
       QString()},
      {"eucjp_jis_x_0212", "x\r\n\xC6\xFC\x8F\xB0\xA1\xC6\xFC\xCB\xDC\xC6\xFC\xCB\xDC\r\n",
       QStringLiteral("丂"), QString()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OpenRaw(0, row.file, std::string(row.name) + ".txt");
    rec_ = Recorder{};
    const int result = FindString(row.typed);
    if (row.error.isEmpty()) {
      EXPECT_EQ(0, result);
      EXPECT_EQ(QStringList({" > _find_str 0 " + row.typed,
                             "#        検索結果: 2 行目に(" + row.typed + ")が有ります"}),
                rec_.log);
    } else {
      EXPECT_EQ(-1, result);
      EXPECT_EQ(QStringList({" > _find_str 0 " + row.typed, "# *** ERROR *** " + row.error}),
                rec_.log);
      EXPECT_EQ(QStringList({"Error|" + row.error}), rec_.boxes);
    }
  }
}

TEST_F(EncodingCommands, SavedSearchLogKeepsEachHitLinesOwnBytes) {
  struct Row {
    const char* name;
    std::vector<std::pair<int, std::string>> files;  // slot, bytes (encoding detected)
    std::string expected;
    QString note;  // the log line about the file's encoding, if any
  };
  // 日本 a, then 0xFF, a byte no encoding decodes, in Shift-JIS and UTF-8.
  const std::string sjisLine = "\x93\xFA\x96\x7B a\xFF";
  const std::string utf8Line = "\xE6\x97\xA5\xE6\x9C\xAC a\xFF \xE4\xB8\x82";
  const std::string sjisStart = "# \x98\x41\x91\xB1\x8C\x9F\x8D\xF5\x8A\x4A\x8E\x6E\x81\x40(";
  const std::string sjisEnd = "# \x98\x41\x91\xB1\x8C\x9F\x8D\xF5\x8F\x49\x97\xB9  (";
  const std::string sjisCount = ")\x8C\x9F\x8D\xF5\x90\x94: ";
  const std::string utf8Start = "# 連続検索開始　(";
  const std::string utf8End = "# 連続検索終了  (";
  const std::string utf8Count = ")検索数: ";
  const Row rows[] = {
      {"shift_jis_only",
       {{0, "x\r\n" + sjisLine + "\r\n"}},
       sjisStart + "\x93\xFA\x96\x7B)\r\n  0 :         2 :  " + sjisLine + "\r\n" + sjisEnd +
           "\x93\xFA\x96\x7B" + sjisCount + "1 \r\n",
       QString()},
      {"utf8_only",
       {{0, "x\r\n" + utf8Line + "\r\n"}},
       utf8Start + "日本)\r\n  0 :         2 :  " + utf8Line + "\r\n" + utf8End + "日本" +
           utf8Count + "1 \r\n",
       QStringLiteral("# 検索ログを UTF-8 で保存します")},
      {"both_make_utf8_and_keep_the_broken_byte",
       {{0, "x\r\n" + sjisLine + "\r\n"}, {1, "x\r\n" + utf8Line + "\r\n"}},
       utf8Start + "日本)\r\n  0 :         2 :  日本 a\xFF\r\n" + utf8End + "日本" + utf8Count +
           "1 \r\n" + utf8Start + "日本)\r\n  1 :         2 :  " + utf8Line + "\r\n" + utf8End +
           "日本" + utf8Count + "1 \r\n",
       QStringLiteral("# 検索ログを UTF-8 で保存します")},
      {"utf16_written_as_utf8_with_a_note",
       {{0, utf16text::FromUtf8("x\r\n日本 a 丂\r\n", true, false)}},
       utf8Start + "日本)\r\n  0 :         2 :  日本 a 丂\r\n" + utf8End + "日本" + utf8Count +
           "1 \r\n# UTF-16 のファイルの行は UTF-8 で書いています\r\n",
       QStringLiteral("# 検索ログを UTF-8 で保存します")},
  };
  options_.Continuous = true;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    QStringList searchLog;
    std::vector<std::optional<HitSource>> sources;
    for (const auto& [slot, bytes] : row.files) {
      OpenRaw(slot, bytes, std::string(row.name) + std::to_string(slot) + ".txt");
      rec_.searchLog = searchLog;
      rec_.sources = sources;
      FindString(QStringLiteral("日本"));
      searchLog = rec_.searchLog;
      sources = rec_.sources;
    }
    rec_.log.clear();
    const std::string path = dir_.path() + "/" + row.name + ".log";
    EXPECT_EQ(0, rpcmd::_save_search_log(QString::fromStdString(path)));
    EXPECT_EQ(row.expected, ReadBytes(path));
    QStringList log = {" > _save_search_log " + QString::fromStdString(path)};
    if (!row.note.isEmpty()) log << row.note;
    EXPECT_EQ(log, rec_.log);
    for (int slot = 0; slot < kSlotCount; ++slot) {
      CurrentSlot = slot;
      CloseDocument();
    }
  }
}

TEST_F(EncodingCommands, ChoosingUtf16OrABytesEncodingReadsTheFileAgainThatWay) {
  const std::string text = "日本\r\nabc\r\n";
  OpenRaw(0, utf16text::FromUtf8(text, false, true), "wide.txt");
  const QString path = QString::fromStdString(dir_.path() + "/wide.txt");
  EXPECT_EQ("UTF-16LE", rec_.status[kEncodingPanel]);
  EXPECT_EQ(kAutoEncoding, rec_.encodingCheck);
  const struct {
    int choice;
    const char* panel;
    int32_t lines;
    std::string first;  // the start of line 0
    bool readAgain;
  } steps[] = {
      {static_cast<int>(TextEncoding::kCp932), "Shift_JIS", 3, "\xFF\xFE\xE5\x65", true},
      {static_cast<int>(TextEncoding::kUtf8), "UTF-8", 3, "\xFF\xFE\xE5\x65", false},
      {kUtf16BeChoice, "UTF-16BE", 1, "\xEF\xBF\xBE", true},  // no U+000A in that order
      {kUtf16LeChoice, "UTF-16LE", 2, "日本", true},
      {kUtf16LeChoice, "UTF-16LE", 2, "日本", false},
      {kAutoEncoding, "UTF-16LE", 2, "日本", true},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.panel);
    rec_.log.clear();
    EXPECT_EQ(0, rpcmd::_code_set(step.choice));
    const FileSlot& slot = SlotTable[0];
    EXPECT_EQ(step.panel, rec_.status[kEncodingPanel]);
    EXPECT_EQ(step.choice, rec_.encodingCheck);
    EXPECT_EQ(step.lines, slot.LineCount);
    EXPECT_EQ(step.first, GetLine(SlotTable[0], 0).substr(0, step.first.size()));
    EXPECT_EQ(step.readAgain,
              rec_.log.contains("# 文字コードを " + EncodingChoiceName(step.choice) +
                                " にしたので、ファイルを先頭から読み直しました: " + path));
  }
}

}  // namespace

namespace {

// The index built on its own thread, as in the program; this thread pumps.
class BackgroundCommands : public CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    Hooks().index_wake = [](int) {};
    CmdHooks().index_progress = [this](int slot) { progress_ << slot; };
  }
  void TearDown() override {
    HoldIndexersAfterChunks(-1);
    LimitIndexStartsForTest(-1);
    Hooks().index_wake = nullptr;
    CommandsTest::TearDown();
  }
  QString OpenHeld(int slot, int lines, const std::string& name) {
    HoldIndexersAfterChunks(0);
    const QString path =
        QString::fromStdString(dir_.Write(name, FileBytes(QStringList(lines, "x"))));
    CurrentSlot = slot;
    rpcmd::_open_file(path);
    EXPECT_FALSE(IndexComplete(SlotTable[slot]));
    return path;
  }
  void Finish(int slot) {
    HoldIndexersAfterChunks(-1);
    WaitForIndex(SlotTable[slot]);
  }
  QList<int> progress_;
};

TEST_F(BackgroundCommands, ACloseOrARefusedOpenLeavesABlankTab) {
  OpenHeld(1, 100, "held.txt");
  const QString other = Open(0, {"other"}, "other.txt");
  struct Row {
    const char* name;
    std::function<void()> run;
  };
  const Row rows[] = {
      {"closed during its index", [] { rpcmd::_quit_file(); }},
      {"the file of another tab", [&] { rpcmd::_open_file(other); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (SlotTable[1].ViewBase == nullptr) OpenHeld(1, 100, "held.txt");
    CurrentSlot = 1;
    rec_ = Recorder{};
    for (QString& text : rec_.status) text = "old";
    rec_.captions[1] = "held.txt";
    progress_.clear();
    row.run();
    EXPECT_EQ(SlotTable[1].ViewBase, nullptr);
    EXPECT_EQ(SlotTable[1].FileName, "");
    EXPECT_EQ(rec_.captions[1], "ファイル1");
    EXPECT_EQ((QStringList{rec_.status[1], rec_.status[3], rec_.status[5]}),
              (QStringList{"", "", ""}));
    // The window is told, so that its progress and キャンセル go.
    EXPECT_TRUE(progress_.contains(1));
    rpcmd::_chenge_view(1);
    EXPECT_EQ(rec_.status[1], "");
  }
}

TEST_F(BackgroundCommands, AJumpWaitsForItsLineAndEndsFollowingUnlessAtTheEnd) {
  const std::string names[] = {"wait.txt", "give-up.txt", "far.txt"};
  for (int row = 0; row < 3; ++row) {
    SCOPED_TRACE(names[row]);
    OpenHeld(0, 5000, names[row]);
    rpcmd::_follow_tail(true);
    rec_ = Recorder{};
    const int64_t line = row == 2 ? 9000 : 3000;  // far: past the end
    EXPECT_EQ(JumpToLine(line), 0);
    EXPECT_TRUE(JumpWaiting());
    EXPECT_EQ(rec_.log.value(0),
              QString("# %1 行目の読み込みを待っています（Esc で中止）").arg(line + 1));
    if (row == 1) {
      EXPECT_TRUE(GiveUpJumpWait());
    }
    Finish(0);
    const FileSlot& slot = SlotTable[0];
    EXPECT_FALSE(JumpWaiting());
    // Given up, it follows to the end; past the end, the last page shows.
    EXPECT_EQ(slot.TopLine, row == 0 ? 3000 : LastPageTop(slot));
    EXPECT_EQ(slot.FollowTail, row != 0);
  }
}

TEST_F(BackgroundCommands, AnOpenEndNamesItsFileWhenAnotherOpenStartedAfterIt) {
  const QString first = OpenHeld(0, 10, "first.txt");
  const QString second = OpenHeld(1, 10, "second.txt");
  rec_ = Recorder{};
  Finish(0);
  Finish(1);
  EXPECT_EQ(rec_.log, (QStringList{"# 　　　　　　　ファイルオープン終了 :(CLOCK)=== " + first,
                                   "# 　　　　　　　ファイルオープン終了 :(CLOCK)==="}));
}

TEST_F(BackgroundCommands, ASearchPastTheLineLimitSaysWhatItDidNotSearch) {
  LimitIndexStartsForTest(5);
  const QString path = QString::fromStdString(
      dir_.Write("over.txt", FileBytes({"a", "b", "c", "d", "e", "f", "x", "h"})));
  Hooks().index_wake = nullptr;
  rpcmd::_open_file(path);
  ASSERT_EQ(SlotTable[0].LineCount, 5);
  const QString limit = QStringLiteral(
      "ファイルの行数が上限の 2,147,483,646 行を超えるので、2,147,483,646 行目までを表示します: ");
  EXPECT_EQ(rec_.boxes, QStringList{"Error|" + limit + path});
  rec_ = Recorder{};
  EXPECT_EQ(FindString("x"), -1);
  EXPECT_EQ(rec_.log, (QStringList{" > _find_str 0 x", "# *** ERROR *** 検索文字が見つかりません",
                                   "# 上限の 2,147,483,646 行より後の行は検索していません"}));
}

}  // namespace
