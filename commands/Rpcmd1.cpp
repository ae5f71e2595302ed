#include "commands/Rpcmd1.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QStringEncoder>
#include <QTimer>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "commands/filter.h"
#include "commands/highlight.h"
#include "commands/hitplace.h"
#include "commands/jumps.h"
#include "search/search.h"
#include "store/compressed_slot.h"
#include "store/displayname.h"
#include "store/encoding.h"
#include "store/slots.h"
#include "view/shownlines.h"
#include "view/view.h"

CommandHooks& CmdHooks() {
  static CommandHooks hooks;
  return hooks;
}

namespace {

// Search progress reaches the status bar (and lets Cancel input through) at
// most this often; more would cost painting time on scans with many hits.
// The scan offers a call at least every 50 ms, so Cancel answers within
// about 0.1 s plus the time of one line.
constexpr qint64 kProgressIntervalMs = 100;

QElapsedTimer& ProgressTimer() {
  static QElapsedTimer timer;
  return timer;
}

// Passes the line reached on to the UI when the interval has run out; the
// first call after ResetProgressThrottle always passes.
void ThrottledSearchProgress(int32_t line) {
  auto& hooks = CmdHooks();
  if (!hooks.search_progress) return;
  QElapsedTimer& timer = ProgressTimer();
  if (timer.isValid() && timer.elapsed() < kProgressIntervalMs) return;
  timer.start();
  hooks.search_progress(line, SlotTable[CurrentSlot].LineCount);
}

void ResetProgressThrottle() { ProgressTimer().invalidate(); }

void SetStatus(int panel, const QString& text) {
  if (CmdHooks().set_status) CmdHooks().set_status(panel, text);
}

bool SlotHoldsDocument() { return SlotTable[CurrentSlot].ViewBase != nullptr; }

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The slot's native path bytes as text for the screen and the log.
QString DisplayPath(const std::string& native) { return FromUtf8(DisplayName(native)); }

int SlotIndex(const FileSlot& slot) { return static_cast<int>(&slot - SlotTable); }

}  // namespace

void AppendLog(const QString& text) {
  if (CmdHooks().append_log) CmdHooks().append_log(text);
}

void ReportError(const QString& text) {
  auto& hooks = CmdHooks();
  if (hooks.message_box) {
    hooks.message_box(QStringLiteral("Error"), text);
  } else {
    QMessageBox::information(nullptr, QStringLiteral("Error"), text);
  }
  AppendLog(QStringLiteral("# *** ERROR *** ") + text);
}

void ReportLastOsError() { ReportError(FromUtf8(LastOsErrorText())); }

QString ClockText() {
  const QLocale locale = QLocale::system();
  const QDateTime now = QDateTime::currentDateTime();
  return locale.toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
         locale.toString(now.time(), QLocale::LongFormat);
}

QString EncodingChoiceName(int choice) {
  if (choice == kAutoEncoding) return QStringLiteral("自動判別");
  if (choice == kUtf16LeChoice) return QStringLiteral("UTF-16LE");
  if (choice == kUtf16BeChoice) return QStringLiteral("UTF-16BE");
  return QString::fromLatin1(EncodingName(static_cast<TextEncoding>(choice)));
}

void ShowSlotEncoding() {
  const FileSlot& slot = SlotTable[CurrentSlot];
  const bool open = slot.ViewBase != nullptr;
  SetStatus(kEncodingPanel, open ? QString::fromStdString(EncodingPanelText(slot)) : QString());
  if (CmdHooks().set_encoding_check) {
    const CompressedFormat utf16 = Utf16FormatOf(slot);
    const int chosen = utf16 == CompressedFormat::kUtf16Le   ? kUtf16LeChoice
                       : utf16 == CompressedFormat::kUtf16Be ? kUtf16BeChoice
                                                             : static_cast<int>(slot.Encoding);
    CmdHooks().set_encoding_check(open && slot.EncodingChosen ? chosen : kAutoEncoding);
  }
}

namespace {

// The last full page of a followed slot: drawn when it is on view, else
// kept as its top line for when it is.
void ShowTail(FileSlot& slot) {
  // The rows in sight, so that the last line is seen whatever the window's size.
  const int rows = slot.Image != nullptr ? VisibleLinesPerPage(slot.Image) : 1;
  const int32_t top = LineOfRow(slot, std::max<int64_t>(0, int64_t{ShownRows(slot)} - rows));
  if (SlotIndex(slot) == CurrentSlot && slot.Image != nullptr) {
    DrawView(top, true);
  } else {
    slot.TopLine = top;
  }
}

void ShowFollowCheck() {
  if (CmdHooks().set_follow_check) CmdHooks().set_follow_check(SlotTable[CurrentSlot].FollowTail);
}

// The tab of a slot left empty (closed, cancelled, refused, failed): its
// default caption, no file name, count or top line, a blank page with its
// bars at 0, and the window told, so that no progress, キャンセル or greyed
// search stays behind.
void ShowEmptySlot(int index) {
  FileSlot& slot = SlotTable[index];
  slot.FileName.clear();
  if (CmdHooks().set_tab_caption) {
    CmdHooks().set_tab_caption(index, QStringLiteral("ファイル") + QString::number(index));
  }
  if (index == CurrentSlot) {
    SetStatus(1, QString());
    SetStatus(3, QString());
    SetStatus(5, QString());
    ShowSlotEncoding();
    ShowFollowCheck();
    // A blank tab has no selection to invert and its bars stand at 0.
    ResetSelection(true);
    ResetHorizontalScroll();
    if (slot.Image != nullptr) ClearView();
  }
  SyncVerticalScroll(slot);
  if (CmdHooks().index_progress) CmdHooks().index_progress(index);
}

// A choice between UTF-16 and the byte encodings changes the text the slot
// holds and its line starts: the file is read again the chosen way, from
// its first line. Returns 1 when the document as read serves the choice, 0
// when it was read again, -1 when the choice is refused or the read failed
// (the log says why; the document stays as it was on a refusal).
int ReadAgainForChoice(int choice) {
  FileSlot& slot = SlotTable[CurrentSlot];
  const CompressedFormat now = Utf16FormatOf(slot);
  OpenAs as = OpenAs::kBytes;
  bool again = now != CompressedFormat::kNone;
  if (choice == kUtf16LeChoice || choice == kUtf16BeChoice) {
    if (slot.Compressed && now == CompressedFormat::kNone) {
      AppendLog(QStringLiteral("# *** ERROR *** 圧縮ファイルは UTF-16 として読めません: ") +
                DisplayPath(slot.FileName));
      return -1;
    }
    const bool little = choice == kUtf16LeChoice;
    as = little ? OpenAs::kUtf16Le : OpenAs::kUtf16Be;
    again = now != (little ? CompressedFormat::kUtf16Le : CompressedFormat::kUtf16Be);
  } else if (choice == kAutoEncoding) {
    as = OpenAs::kDetect;
    again = slot.OpenedAs != OpenAs::kDetect;
  }
  if (!again) return 1;
  const std::string path = slot.FileName;
  ResetSelection(true);
  ResetHorizontalScroll();
  const int result = OpenDocument(path, as);
  ShowFollowCheck();
  if (result != 0) {
    if (!SlotHoldsDocument()) ShowEmptySlot(CurrentSlot);
    return -1;
  }
  AppendLog(QStringLiteral("# 文字コードを %1 にしたので、ファイルを先頭から読み直しました: %2")
                .arg(EncodingChoiceName(choice), DisplayPath(path)));
  return 0;
}

}  // namespace

void InstallCommandHooks() {
  StoreHooks& store = Hooks();
  store.log = [](const std::string& text) { AppendLog(FromUtf8(text)); };
  store.report_error = [](const std::string& text) { ReportError(FromUtf8(text)); };
  store.set_caption = [](FileSlot& slot, const std::string& text) {
    if (CmdHooks().set_tab_caption) CmdHooks().set_tab_caption(SlotIndex(slot), FromUtf8(text));
  };
  store.set_status = [](int panel, const std::string& text) { SetStatus(panel, FromUtf8(text)); };
  store.first_page = [](FileSlot&) {
    DrawView(0, false);
    RefreshView();
  };
  store.index_progress = [](FileSlot& slot) {
    if (slot.ViewBase == nullptr) {
      ShowEmptySlot(SlotIndex(slot));  // the index failed: the slot is empty
      return;
    }
    // The bar grows with the lines indexed, so the user can scroll to them.
    SetVerticalRange(slot);
    TakeJumpWait(slot);
    if (CmdHooks().index_progress) CmdHooks().index_progress(SlotIndex(slot));
  };
  store.index_done = [](FileSlot& slot) {
    SetVerticalRange(slot);  // 0..LineCount, page LineCount / 20 + 1
    // The user may have scrolled while the index grew, or be on another tab.
    // A followed file read again (rotated) shows its end.
    if (slot.FollowTail) {
      ShowTail(slot);
    } else if (SlotIndex(slot) == CurrentSlot) {
      DrawView(slot.TopLine, true);
    }
    TakeJumpWait(slot);
    if (CmdHooks().index_progress) CmdHooks().index_progress(SlotIndex(slot));
  };
  store.index_grown = [](FileSlot& slot, int32_t linesBefore) {
    SetVerticalRange(slot);
    if (slot.FollowTail) {
      ShowTail(slot);
    } else if (SlotIndex(slot) == CurrentSlot && slot.Image != nullptr &&
               int64_t{slot.TopLine} + LinesPerPage(slot.Image) >= linesBefore) {
      // The page shows the end: its empty rows fill, its last line may have
      // grown. A page further up (and its highlight) is left as it is.
      DrawView(slot.TopLine, false);
    }
    if (CmdHooks().index_progress) CmdHooks().index_progress(SlotIndex(slot));
  };
  store.truncated = [](FileSlot& slot) {
    // Told in the middle of a page draw: the modal box waits until the draw
    // (and whatever command runs it) has returned to the event loop.
    const QString name = DisplayPath(slot.FileName);
    QTimer::singleShot(0, QCoreApplication::instance(), [name] {
      ReportError(QStringLiteral("ファイル %1 は他のプログラムによって切り詰められました。"
                                 "新しい末尾より後の行は空行として表示します。")
                      .arg(name));
    });
  };
  store.clock_text = [] { return ClockText().toStdString(); };
  InstallHighlightMarks();

  SearchHooks& search = SearchHooksRef();
  search.hit = [](int slot, int32_t line, std::string_view text, const HitSpan& span) {
    if (!CmdHooks().append_search_log) return;
    // A filtered tab searches the lines it shows.
    if (slot >= 0 && slot < kSlotCount && !LineShown(SlotTable[slot], line)) return;
    const std::string row = FormatSearchLogLine(slot, line + 1, text);
    const TextEncoding encoding =
        slot >= 0 && slot < kSlotCount ? SlotTable[slot].Encoding : TextEncoding::kCp932;
    const QString shown = DecodeText(encoding, row.data(), static_cast<int>(row.size()));
    // The line keeps what its shown text cannot give back: stand-ins for
    // bytes that decode to nothing, a character with two codes.
    HitSource source{
        encoding,
        {},
        slot >= 0 && slot < kSlotCount && Utf16FormatOf(SlotTable[slot]) != CompressedFormat::kNone,
        {}};
    std::string again;
    if (!Encode(encoding, shown.toStdU16String(), again) || again != row) source.bytes = row;
    if (span.cut) source.place = PlaceOfHit(slot, line, span);
    if (CmdHooks().append_search_hit) {
      CmdHooks().append_search_hit(shown, std::move(source));
    } else {
      CmdHooks().append_search_log(shown);
    }
  };
  search.progress = [](int32_t line) { ThrottledSearchProgress(line); };
}

namespace rpcmd {

int _exit() {
  AppendLog(QStringLiteral(" > _exit"));
  const int32_t saved = CurrentSlot;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    CurrentSlot = slot;
    CloseDocument();
  }
  // The windows may still draw after the first of the two or three runs at
  // the end of the program; they find the tab that was current before.
  CurrentSlot = (saved >= 0 && saved < kSlotCount) ? saved : 0;
  return 0;
}

int _open_file(const QByteArray& nativePath) {
  const std::string native(nativePath.constData(), static_cast<size_t>(nativePath.size()));
  AppendLog(QStringLiteral(" > _open_file ") + QString::number(CurrentSlot) + QLatin1Char(' ') +
            DisplayPath(native));
  // The old document's selection and column go with it: the new page starts
  // at column 0 with its bar there, and nothing on it is inverted.
  ResetSelection(true);
  ResetHorizontalScroll();
  const int result = OpenDocument(native);
  ShowSlotEncoding();
  ShowFollowCheck();  // a new document starts without follow mode
  // A refused open has closed what the slot held: its tab must not keep
  // the old document's traces, nor show the refused file's name.
  if (result != 0 && !SlotHoldsDocument()) ShowEmptySlot(CurrentSlot);
  return result;
}

int _open_file(const QString& path) { return _open_file(QFile::encodeName(path)); }

int _quit_file() {
  AppendLog(QStringLiteral(" > _quit_file ") + QString::number(CurrentSlot));
  CloseDocument();
  if (SlotHoldsDocument()) return -1;  // the window could not be unmapped
  ShowEmptySlot(CurrentSlot);
  return 0;
}

int _font_set(const QFont& font) {
  int points = font.pointSize();
  if (points < 0) points = QFontInfo(font).pointSize();  // a font given in pixels
  AppendLog(QStringLiteral(" > _font_set ") + QString::number(CurrentSlot) + QLatin1Char(' ') +
            font.family() + QLatin1Char(' ') + QString::number(points) + QLatin1Char(' '));
  FileSlot& slot = SlotTable[CurrentSlot];
  if (slot.Image != nullptr) SetViewFont(font);
  DrawView(slot.TopLine, false);
  return 0;
}

int _save_memo(const QString& fileName) {
  AppendLog(QStringLiteral(" > _save_memo ") + fileName);
  const QStringList lines = CmdHooks().log_lines ? CmdHooks().log_lines() : QStringList();
  return SaveExecutionLog(lines, fileName);
}

int _save_search_log(const QString& fileName) {
  AppendLog(QStringLiteral(" > _save_search_log ") + fileName);
  const QStringList lines =
      CmdHooks().search_log_lines ? CmdHooks().search_log_lines() : QStringList();
  const CommandHooks& hooks = CmdHooks();
  if (hooks.search_log_source) return SaveSearchLogLines(lines, hooks.search_log_source, fileName);
  return SaveSearchLogLines(
      lines, [](int) { return std::optional<HitSource>(); }, fileName);
}

int _dsp_lineno(bool on) {
  AppendLog(QStringLiteral(" > _dsp_lineno ") + QString::number(CurrentSlot) + QLatin1Char(' ') +
            QString::number(on ? 1 : 0));
  ShowLineNumbers = on;
  if (CmdHooks().set_line_number_check) CmdHooks().set_line_number_check(on);
  if (!SlotHoldsDocument()) return -1;
  DrawView(SlotTable[CurrentSlot].TopLine, false);
  return 0;
}

int _chenge_view(int slot) {
  // A bad number is echoed as given, but CurrentSlot never holds it, not
  // even while the echo is written: everything indexes SlotTable with it.
  const bool valid = slot >= 0 && slot < kSlotCount;
  CurrentSlot = valid ? slot : 0;
  AppendLog(QStringLiteral(" > _chenge_view ") + QString::number(slot));
  if (!valid) return -1;
  BindSlotControls(slot);
  FileSlot& current = SlotTable[slot];
  // Whatever happened while the tab was hidden (growth, a reload, a jump
  // that waited), its bar agrees with its count and page again.
  SyncVerticalScroll(current);
  SetStatus(1, DisplayPath(current.FileName));
  SetStatus(3, QString::number(current.LineCount));
  SetStatus(5, QString::number(current.TopLine + 1));
  ShowSlotEncoding();
  ShowFollowCheck();
  return 0;
}

int _jump(int32_t topLine, bool moveScrollBar) {
  AppendLog(QStringLiteral(" > _jump ") + QString::number(CurrentSlot) + QLatin1Char(' ') +
            QString::number(static_cast<int64_t>(topLine) + 1));
  if (!SlotHoldsDocument()) return -1;
  // A jump is the user's choice of a place: it ends follow mode unless the
  // place shows the end (then the next growth keeps it shown).
  if (SlotTable[CurrentSlot].FollowTail && !PageShowsEnd(SlotTable[CurrentSlot], topLine)) {
    _follow_tail(false);
  }
  // The page never starts above the first line, whatever a caller computed.
  DrawView(std::max<int32_t>(topLine, 0), moveScrollBar);
  return 0;
}

int _select(int32_t lineNumber) {
  // The echo names the line as the user sees it (1-based, as given).
  AppendLog(QStringLiteral(" > _select ") + QString::number(CurrentSlot) + QLatin1Char(' ') +
            QString::number(lineNumber));
  if (!SlotHoldsDocument()) return -1;
  const FileSlot& slot = SlotTable[CurrentSlot];
  // A line the filter hides has no row.
  if (ActiveFilter(slot) != nullptr && !LineShown(slot, lineNumber - 1)) return 0;
  HighlightRow(static_cast<int>(std::clamp<int64_t>(
      RowOfLine(slot, lineNumber - 1) - RowOfLine(slot, slot.TopLine), -1, INT32_MAX)));
  return 0;
}

int _tab_set(int width) {
  AppendLog(QStringLiteral(" > _tab_set ") + QString::number(width) + QLatin1Char(' '));
  TabWidth = width;
  DrawView(SlotTable[CurrentSlot].TopLine, false);
  return 0;
}

int _find_str(const QString& text) { return FindString(text); }

int _code_set(int choice) {
  const bool valid = choice == kAutoEncoding || choice == static_cast<int>(TextEncoding::kCp932) ||
                     choice == static_cast<int>(TextEncoding::kUtf8) ||
                     choice == static_cast<int>(TextEncoding::kEucJp) || choice == kUtf16LeChoice ||
                     choice == kUtf16BeChoice;
  AppendLog(QStringLiteral(" > _code_set ") + QString::number(CurrentSlot) + QLatin1Char(' ') +
            (valid ? EncodingChoiceName(choice) : QString::number(choice)));
  if (!valid || !SlotHoldsDocument()) {
    ShowSlotEncoding();
    return -1;
  }
  if (ReadAgainForChoice(choice) < 0) {
    ShowSlotEncoding();
    return -1;
  }
  FileSlot& slot = SlotTable[CurrentSlot];
  slot.EncodingChosen = choice != kAutoEncoding;
  // A UTF-16 document holds UTF-8 text, as detected.
  const bool byteEncoding = slot.EncodingChosen && Utf16FormatOf(slot) == CompressedFormat::kNone;
  slot.Encoding = byteEncoding ? static_cast<TextEncoding>(choice) : slot.DetectedEncoding;
  ShowSlotEncoding();
  // Columns are display cells of the encoding: a selection made in the old
  // one would name other characters now.
  if (slot.Image != nullptr) {
    ResetSelection(true);
    DrawView(slot.TopLine, false);
  }
  return 0;
}

int _follow_tail(bool on) {
  AppendLog(QStringLiteral(" > _follow_tail ") + QString::number(CurrentSlot) + QLatin1Char(' ') +
            QString::number(on ? 1 : 0));
  FileSlot& slot = SlotTable[CurrentSlot];
  if (!SlotHoldsDocument()) {
    slot.FollowTail = false;
    ShowFollowCheck();
    return -1;
  }
  // A compressed file is not followed: it does not grow in place.
  if (const std::string refusal = FollowRefusal(slot); on && !refusal.empty()) {
    AppendLog(QString::fromStdString(refusal));
    slot.FollowTail = false;
    ShowFollowCheck();
    return -1;
  }
  slot.FollowTail = on;
  ShowFollowCheck();
  if (on) ShowTail(slot);
  return 0;
}

}  // namespace rpcmd

namespace {

// The reports a search adds after its usual ones: the lines the expression
// engine could not decide (its match limit reached), and where a cancelled
// search stopped.
void ReportSearchEnd(const QString& text, const SearchRun& run) {
  if (run.undecided > 0) {
    AppendLog(QStringLiteral("#        判定できなかった行: ") + QString::number(run.undecided) +
              QStringLiteral(" 行 (正規表現の照合回数が上限に達しました)"));
  }
  if (run.stopped) {
    AppendLog(QStringLiteral("#        検索中止: ") + QString::number(int64_t{run.reached} + 1) +
              QStringLiteral(" 行目まで検索しました(") + text + QLatin1Char(')'));
  }
}

}  // namespace

namespace {

// The hit FindString last showed inverted on its page.
struct ShownHit {
  int slot = -1;
  int32_t line = -1;
  int64_t start = 0;
  int64_t end = 0;
};
ShownHit g_shownHit;

// The continuous search over every open tab, in tab order: each from its
// first line, its hits listed with its tab number. A hidden tab keeps its
// page, drawn again where it was (a hit shown meanwhile may have moved it
// down and sideways); the tab on view shows its last hit inverted, as after
// a search of its own (or its page, when it holds none).
int FindInAllTabs(const QString& text) {
  const int home = CurrentSlot;
  int result = -1;
  ShownHit homeHit;
  for (int s = 0; s < kSlotCount; ++s) {
    FileSlot& slot = SlotTable[s];
    if (slot.ViewBase == nullptr) continue;
    CurrentSlot = s;
    const int32_t top = slot.TopLine;
    const int32_t left = slot.LeftColumn;
    const bool follow = slot.FollowTail;
    slot.TopLine = 0;
    g_shownHit = ShownHit{};
    const bool found = FindString(text) == 0;
    if (found) result = 0;
    if (s == home && found) {
      homeHit = g_shownHit;
    } else {
      slot.TopLine = top;
      slot.FollowTail = follow;
      SyncVerticalScroll(slot);
      if (found) {
        if (slot.HScroll != nullptr) {
          const QSignalBlocker quiet(slot.HScroll);
          slot.HScroll->setValue(left);
        }
        DrawViewAtColumn(left);
      }
    }
    if (!SearchRunning) break;  // cancelled: the tabs after it are not searched
  }
  CurrentSlot = home;
  const FileSlot& shown = SlotTable[home];
  if (shown.ViewBase != nullptr) {
    DrawView(shown.TopLine, false);
    if (homeHit.slot == home) ShowMatch(homeHit.line, homeHit.start, homeHit.end);
    ShowFollowCheck();
  }
  return result;
}

}  // namespace

int FindString(const QString& text) {
  if (const SearchOptions o = CurrentSearchOptions(); o.Continuous && o.AllTabs) {
    static bool inner = false;
    if (!inner) {
      inner = true;
      const int result = FindInAllTabs(text);
      inner = false;
      return result;
    }
  }
  auto& hooks = CmdHooks();
  // The reports quote the text as typed; it is concatenated, never used as
  // a format, so a "%" in it stays as it is.
  AppendLog(QStringLiteral(" > _find_str ") + QString::number(CurrentSlot) + QLatin1Char(' ') +
            text);
  if (!IndexComplete(SlotTable[CurrentSlot])) {
    // A scan of part of the file would report "not found" for lines that
    // are still to come.
    AppendLog(QStringLiteral("# *** ERROR *** 行インデックスの作成中は検索できません"));
    return -1;
  }
  if (FilterBuilding()) {
    // The lines a filtered tab shows are not all known yet.
    AppendLog(QStringLiteral("# *** ERROR *** フィルタの作成中は検索できません"));
    return -1;
  }
  const SearchOptions options =
      SearchHooksRef().options ? SearchHooksRef().options() : SearchOptions{};
  // The text is searched as bytes of the document's own encoding. A
  // character that encoding cannot hold could never be found; a stand-in for
  // it would find something else.
  const TextEncoding encoding = SlotTable[CurrentSlot].Encoding;
  std::string pattern;
  size_t bad = 0;
  if (!Encode(encoding, text.toStdU16String(), pattern, &bad)) {
    const qsizetype at = static_cast<qsizetype>(bad);
    const qsizetype width = at + 1 < text.size() && text[at].isHighSurrogate() ? 2 : 1;
    ReportError(QStringLiteral("検索文字列の「%1」は %2 では表せないため検索できません")
                    .arg(text.mid(at, width), QString::fromLatin1(EncodingName(encoding))));
    return -1;
  }
  // The pattern is searched as typed: the matcher ignores the case of ASCII
  // letters itself, and an expression is never rewritten.
  if (options.Regex) {
    // An expression that does not compile is the user's to mend; searching
    // nothing and reporting "not found" would pretend the file was read.
    const std::string reason = RegexError(pattern, encoding);
    if (!reason.empty()) {
      ReportError(QStringLiteral("正規表現が正しくありません: ") + FromUtf8(reason));
      return -1;
    }
  }
  // Every occurrence of the text on the pages is marked from now on.
  MarkSearchText(text, options.Regex, options.IgnoreCase);
  SearchRunning = true;
  // The lines the scan walks stay as they are until the hit is shown: a
  // followed file's growth, truncation or replacement is taken in after.
  struct HoldFileChanges {
    HoldFileChanges() { DeferFileChanges(true); }
    ~HoldFileChanges() { DeferFileChanges(false); }
  } hold;

  int32_t matchStart = 0;
  int32_t matchEnd = 0;
  int32_t hit = -1;
  int count = 0;
  // Input gets through the progress calls: everything else is disabled
  // meanwhile, and whatever still changes the document ends the search.
  const SearchDocument document = SearchDocument::Current();
  if (options.Continuous) {
    if (hooks.show_search_log) hooks.show_search_log();
    if (hooks.append_search_log) {
      hooks.append_search_log(QStringLiteral("# 連続検索開始　(") + text + QLatin1Char(')'));
    }
    if (hooks.flush_search_log) hooks.flush_search_log();
  }
  if (hooks.search_running) hooks.search_running(true);
  ResetProgressThrottle();
  SearchRun run;
  if (options.Continuous) {
    // The search starts on the top line itself: a hit there is listed. Each
    // later call starts beyond the previous hit.
    run.withTopLine = true;
    // An empty pattern would match every line; the dialog never sends one,
    // and it is treated as a text that is not found.
    while (!pattern.empty()) {
      const int line = SearchNextWith(pattern, matchStart, matchEnd, run);
      run.withTopLine = false;
      if (line < 0) break;
      if (!LineShown(SlotTable[CurrentSlot], line)) continue;  // hidden by the filter
      ++count;
      hit = line;
      // The scan reports progress only between lines it examines; a file
      // full of hits gets its progress (and its Cancel) from here.
      ThrottledSearchProgress(line);
      if (!document.StillCurrent()) {
        SearchRunning = false;  // as a cancel does
        run.stopped = true;
        run.reached = line;
        break;
      }
    }
  } else if (!pattern.empty()) {
    // A filtered tab finds the next hit among the lines it shows: a hidden
    // hit is passed over, the scan going on from it.
    FileSlot& slot = SlotTable[CurrentSlot];
    const int32_t top = slot.TopLine;
    for (;;) {
      hit = SearchNextWith(pattern, matchStart, matchEnd, run);
      if (hit < 0 || run.stopped || LineShown(slot, hit) || !document.StillCurrent()) break;
      slot.TopLine = hit;
    }
    if (hit < 0 || !LineShown(slot, hit)) {
      if (document.StillCurrent()) slot.TopLine = top;
      hit = -1;
    }
    if (hit >= 0) count = 1;
  }
  if (hooks.search_running) hooks.search_running(false);
  // A file cut at the line limit: a search through its end did not see the
  // lines after the limit, and a report of it must not suggest otherwise.
  const bool cut =
      SlotTable[CurrentSlot].PastLineLimit && !run.stopped && (options.Continuous || count == 0);
  const QString cutNote = QStringLiteral("# 上限の 2,147,483,646 行より後の行は検索していません");
  if (options.Continuous) {
    const QString report = QStringLiteral("# 連続検索終了  (") + text +
                           QStringLiteral(")検索数: ") + QString::number(count) + QLatin1Char(' ');
    AppendLog(report);
    if (hooks.append_search_log) hooks.append_search_log(report);
    if (cut && hooks.append_search_log) hooks.append_search_log(cutNote);
    if (hooks.flush_search_log) hooks.flush_search_log();
  } else if (count > 0) {
    AppendLog(QStringLiteral("#        検索結果: ") + QString::number(hit + 1) +
              QStringLiteral(" 行目に(") + text + QStringLiteral(")が有ります"));
  }
  ReportSearchEnd(text, run);
  // A cancelled search said where it stopped; it did not find "nothing".
  if (count == 0 && !run.stopped) {
    AppendLog(QStringLiteral("# *** ERROR *** 検索文字が見つかりません"));
  }
  if (cut) AppendLog(cutNote);
  if (count == 0) return -1;
  // The hits belong to a document that is gone: nothing to show.
  if (!document.StillCurrent()) return -1;
  // The hit stays in view: the next growth must not carry the page away.
  if (SlotTable[CurrentSlot].FollowTail) rpcmd::_follow_tail(false);
  DrawView(hit, true);
  ShowMatch(hit, run.matchStart, run.matchEnd);
  g_shownHit = ShownHit{CurrentSlot, hit, run.matchStart, run.matchEnd};
  return 0;
}

int CancelOpen() {
  if (CancelIndex(SlotTable[CurrentSlot]) != 0) return -1;
  ShowEmptySlot(CurrentSlot);
  return 0;
}
