#include "ui/Rpsearchlog.h"

#include <QAction>
#include <QGuiApplication>
#include <QPointer>
#include <QStatusBar>
#include <algorithm>
#include <any>
#include <optional>
#include <vector>

#include "commands/Rpcmd1.h"
#include "commands/hitplace.h"
#include "store/slots.h"
#include "ui/Rpjump.h"
#include "ui/Rpsearch.h"
#include "ui/designfont.h"
#include "ui/dmkAbout.h"
#include "ui/forms.h"
#include "view/view.h"

// The icons are compiled into this static library, where the linker would
// drop their unreferenced registration; this reference keeps it, and the
// registration runs before main() in every program that links the windows.
static int InitIconResources() {
  Q_INIT_RESOURCE(dolmik);
  return 0;
}
[[maybe_unused]] static const int iconResources = InitIconResources();

TSearchLogF::TSearchLogF(QWidget* parent) : QWidget(parent, Qt::Dialog) {
  setWindowTitle(QStringLiteral("検索結果"));
  setFont(PGothic(12));
  resize(795, 197);  // client area of an 803 x 224 window
  move(-2, 158);

  Button1 = new QPushButton(QStringLiteral("保存"), this);
  Button1->setToolTip(QStringLiteral("検索結果をファイルに保存します"));
  // SaveDialog1 is made at its first use: made here, its file system model
  // and threads would start with the program and compete with the first
  // open's index.
  Button2 = new QPushButton(QStringLiteral("クリアー"), this);
  // Its hint "検索結果はクリアーします" was never shown; no tooltip.
  Button3 = new QPushButton(QStringLiteral("閉じる"), this);
  Button4 = new QPushButton(QStringLiteral("キャンセル"), this);
  Button4->setVisible(false);
  SearchLog = new LineMemo(this);
  SearchLog->setToolTip(QStringLiteral("ファイル行番号に移動します"));
  SearchLog->AppendLine(QString());
  SearchLog->Flush();
  setTabOrder(Button1, Button2);
  setTabOrder(Button2, Button3);
  setTabOrder(Button3, Button4);
  setTabOrder(Button4, SearchLog);

  connect(Button1, &QPushButton::clicked, this, &TSearchLogF::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TSearchLogF::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TSearchLogF::Button3Click);
  connect(Button4, &QPushButton::clicked, this, &TSearchLogF::Button4Click);
  connect(SearchLog, &LineMemo::mousePressedAfter, this, &TSearchLogF::SearchLogMouseDown);
  connect(SearchLog, &LineMemo::keyPressedBefore, this, &TSearchLogF::SearchLogKeyDown);
}

// Design layout at 795 x 197: the memo keeps its 8-pixel margins and the
// 44 pixels below it; Save, Clear and Close keep their distance to the right
// and bottom edges, Cancel to the left and bottom edges.
void TSearchLogF::ShowBelowHitRows() {
  if (!isVisible()) move(BelowHitRows(frameGeometry().size()));
  show();
  raise();
}

void TSearchLogF::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int w = width();
  const int h = height();
  SearchLog->setGeometry(8, 8, std::max(0, w - 14), std::max(0, h - 52));
  Button1->setGeometry(w - 279, h - 37, 81, 25);
  Button2->setGeometry(w - 191, h - 37, 81, 25);
  Button3->setGeometry(w - 103, h - 37, 89, 25);
  Button4->setGeometry(8, h - 37, 89, 25);
}

void TSearchLogF::Button3Click() { close(); }

void TSearchLogF::Button1Click() {
  if (SaveDialog1 == nullptr) {
    SaveDialog1 = new QFileDialog(this);
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
  }
  SaveDialog1->setWindowTitle(QStringLiteral("検索ログ保存"));
  if (SaveDialog1->exec() != QDialog::Accepted) return;
  const QStringList files = SaveDialog1->selectedFiles();
  if (files.isEmpty() || files.front().isEmpty()) return;
  rpcmd::_save_search_log(files.front());
}

void TSearchLogF::Button2Click() { SearchLog->Clear(); }

void TSearchLogF::Button4Click() { SearchRunning = false; }

void TSearchLogF::SearchLogMouseDown(Qt::MouseButton button) {
  // Shift+click extends the selection of lines to copy, and another button
  // over a range keeps it for the context menu's コピー: no jump then.
  if (QGuiApplication::keyboardModifiers() & Qt::ShiftModifier) return;
  if (button != Qt::LeftButton && SearchLog->SelectedLineCount() > 1) return;
  JumpToLogLine();
}

void TSearchLogF::SearchLogKeyDown(int key) {
  if (QGuiApplication::keyboardModifiers() & Qt::ShiftModifier) return;  // extends the selection
  if (key == Qt::Key_Up || key == Qt::Key_Down) JumpToLogLine();
}

void TSearchLogF::SelectCaretLine(LineMemo* memo) {
  if (memo->CaretLine() == 0) return;
  memo->SelectCaretLine();
}

namespace {

// A hit keeps its encoding with its line in the memo as tag (plus one;
// kFromUtf16 set for a line of a UTF-16 file), and its own bytes and its
// place where it has them, so that クリアー frees them with the line.
constexpr uint8_t kFromUtf16 = 0x80;

std::optional<HitSource> SourceOfLine(const LineMemo& memo, int line) {
  const uint8_t tag = memo.LineTag(line);
  if (tag == 0) return std::nullopt;
  if (const std::any* extra = memo.LineExtra(line)) {
    if (const auto* source = std::any_cast<HitSource>(extra)) return *source;
  }
  return HitSource{
      static_cast<TextEncoding>((tag & ~kFromUtf16) - 1), {}, (tag & kFromUtf16) != 0, {}};
}

}  // namespace

void TSearchLogF::JumpToLogLine() {
  SelectCaretLine(SearchLog);
  // The fields are byte positions of the Shift-JIS line: slot in bytes 1-3,
  // line number from byte 7 to the " :" after it (" %2d : %9d :  "; nine
  // columns, ten for line numbers from 1,000,000,000 on).
  const QByteArray bytes = EncodeCp932(SearchLog->SelectedText());
  if (bytes.size() <= 15) return;
  const qsizetype numberEnd = bytes.indexOf(" :", 7);
  if (numberEnd < 0) return;
  const std::optional<int32_t> slot = ParseInt32(QString::fromLatin1(bytes.mid(0, 3)));
  const std::optional<int32_t> lineNumber =
      ParseInt32(QString::fromLatin1(bytes.mid(6, numberEnd - 6)));
  if (!slot || !lineNumber) return;
  if (*slot != CurrentSlot) {
    rpcmd::_chenge_view(*slot);
    // A bad number leaves slot 0 current; show the page that is current.
    ActivateSlotPage(CurrentSlot);
  }
  rpcmd::_jump(static_cast<int32_t>(std::max<int64_t>(0, int64_t{*lineNumber} - 5)), true);
  // A line shown cut knows where its hit lies: the page goes sideways to it
  // before the row is inverted.
  const std::optional<HitSource> source = SourceOfLine(*SearchLog, SearchLog->CaretLine());
  if (source && source->place && source->place->line == int64_t{*lineNumber} - 1) {
    ScrollToHitPlace(*source->place);
  }
  rpcmd::_select(*lineNumber);
}

// The hooks through which the command layer and the scan reach the dialogs.
namespace {
// What a hit keeps besides its tag, when it has more.
std::any ExtraOfHit(HitSource source) {
  if (source.bytes.empty() && !source.place) return {};
  return source;
}

// Controls disabled for a search, re-enabled when it ends: only
// those that were enabled before, so that nothing else changes state.
std::vector<QPointer<QWidget>>& DisabledForSearch() {
  static std::vector<QPointer<QWidget>> widgets;
  return widgets;
}

// Shortcut keys of the main window's actions would reach it even with its
// menu bar disabled; the actions are disabled as well.
std::vector<QPointer<QAction>>& ActionsDisabledForSearch() {
  static std::vector<QPointer<QAction>> actions;
  return actions;
}

void DisableActions(QWidget* window) {
  if (window == nullptr) return;
  for (QAction* action : window->findChildren<QAction*>()) {
    if (!action->isEnabled()) continue;
    action->setEnabled(false);
    ActionsDisabledForSearch().emplace_back(action);
  }
}

void DisableForSearch(QWidget* widget) {
  if (widget == nullptr || !widget->isEnabled()) return;
  widget->setEnabled(false);
  DisabledForSearch().emplace_back(widget);
}

// The dialogs are windows owned by the main window, and disabling a widget
// disables its child windows too; so the main window's own controls are
// disabled one by one, never the window itself, and the Cancel buttons stay
// usable. A status bar takes no input and shows the scan's progress, so it
// stays enabled (a disabled one draws its text greyed out).
void DisableWindowContents(QWidget* window, const QWidget* keep) {
  if (window == nullptr) return;
  for (QObject* child : window->children()) {
    auto* widget = qobject_cast<QWidget*>(child);
    if (widget == nullptr || widget->isWindow() || widget == keep) continue;
    if (qobject_cast<QStatusBar*>(widget) != nullptr) continue;
    DisableForSearch(widget);
  }
}

void SearchRunningChanged(bool running) {
  if (SearchLogF != nullptr) SearchLogF->Button4->setVisible(running);
  if (SearchFom != nullptr) SearchFom->ThreadCancel->setVisible(running);
  if (running) {
    DisableWindowContents(MainWindowWidget(), nullptr);
    DisableActions(MainWindowWidget());
    DisableForSearch(JmpDialog);
    DisableForSearch(About);
    if (SearchLogF != nullptr) DisableWindowContents(SearchLogF, SearchLogF->Button4);
    if (SearchFom != nullptr) {
      DisableWindowContents(SearchFom, SearchFom->ThreadCancel);
    }
  } else {
    for (const QPointer<QWidget>& widget : DisabledForSearch()) {
      if (widget) widget->setEnabled(true);
    }
    DisabledForSearch().clear();
    for (const QPointer<QAction>& action : ActionsDisabledForSearch()) {
      if (action) action->setEnabled(true);
    }
    ActionsDisabledForSearch().clear();
  }
}
}  // namespace

void InstallDialogHooks() {
  SearchHooksRef().options = [] {
    return SearchFom != nullptr ? SearchFom->Options() : SearchOptions{};
  };
  CommandHooks& hooks = CmdHooks();
  hooks.show_search_log = [] {
    if (SearchLogF != nullptr) SearchLogF->ShowBelowHitRows();
  };
  hooks.append_search_log = [](const QString& line) {
    if (SearchLogF != nullptr) SearchLogF->SearchLog->AppendLine(line);
  };
  hooks.append_search_hit = [](const QString& line, HitSource source) {
    if (SearchLogF == nullptr) return;
    const int tag = (static_cast<int>(source.encoding) + 1) | (source.fromUtf16 ? kFromUtf16 : 0);
    SearchLogF->SearchLog->AppendLine(line, static_cast<uint8_t>(tag),
                                      ExtraOfHit(std::move(source)));
  };
  hooks.search_log_source = [](int line) -> std::optional<HitSource> {
    return SearchLogF != nullptr ? SourceOfLine(*SearchLogF->SearchLog, line) : std::nullopt;
  };
  hooks.flush_search_log = [] {
    if (SearchLogF != nullptr) SearchLogF->SearchLog->Flush();
  };
  hooks.search_log_lines = [] {
    return SearchLogF != nullptr ? SearchLogF->SearchLog->Lines() : QStringList{};
  };
  hooks.search_running = SearchRunningChanged;
}
