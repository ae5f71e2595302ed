#include "ui/Rpmain1.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QFontDialog>
#include <QFontInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QWheelEvent>
#include <QWindow>

#include <algorithm>

#include "commands/Rpcmd1.h"
#include "commands/jumps.h"
#include "search/search.h"
#include "ui/Rpjump.h"
#include "ui/Rpsearch.h"
#include "ui/Rpsearchlog.h"
#include "ui/designfont.h"
#include "ui/dmkAbout.h"
#include "ui/filterdialog.h"
#include "ui/highlightdialog.h"
#include "ui/statuspanels.h"
#include "view/shownlines.h"
#include "view/view.h"

TRpEdit* RpEdit = nullptr;
TJmpDialog* JmpDialog = nullptr;
TSearchFom* SearchFom = nullptr;
TSearchLogF* SearchLogF = nullptr;
TAbout* About = nullptr;

bool MouseSelecting = false;

QWidget* MainWindowWidget() { return RpEdit; }

void ActivateSlotPage(int slot) {
  if (RpEdit != nullptr) RpEdit->ActivatePage(slot);
}

QPoint BelowHitRows(const QSize& frameSize) {
  if (RpEdit == nullptr) return QPoint(-2, 158);  // the design place
  return RpEdit->BelowHitRows(frameSize);
}

QSize MainWindowSizeForScreen(const QSize& screen) {
  // Height first, then width, each from its own screen dimension; a small
  // screen keeps the design size in that dimension.
  const int height = screen.height() > 600 ? std::min(screen.height(), 768) : 770;
  const int width = screen.width() > 800 ? std::min(screen.width(), 1024) : 900;
  return QSize(width, height);
}

QSize MainWindowInsideSize(const QSize& outer, const QMargins& frame) {
  return QSize(std::max(outer.width() - frame.left() - frame.right(), 0),
               std::max(outer.height() - frame.top() - frame.bottom(), 0));
}

namespace {

// Design geometry at 96 dpi. The client area (below the menu bar, above the
// status bar) is 892 x 702; the page control fills it below y = 136.
constexpr int kToolBarHeight = 35;
constexpr int kLogLeft = 14;
constexpr int kLogTop = 40;
constexpr int kLogHeight = 97;
constexpr int kLogRightGap = 2;  // 892 - 14 - 876
constexpr int kPagesTop = 136;
constexpr int kPagesRightGap = 2;  // 892 - 890
constexpr QSize kDesignClient(892, 702);
// Inside a page (client 882 x 539 at design size).
constexpr int kFrameLeft = 12;
constexpr int kFrameTop = 4;
constexpr int kFrameRightGap = 16;    // 882 - 12 - 854
constexpr int kFrameBottomGap = 18;   // 539 - 4 - 517
constexpr int kVScrollRightGap = 14;  // 882 - 868
constexpr int kVScrollTop = 8;
constexpr int kVScrollBottomGap = 19;  // 539 - 8 - 512
constexpr int kHScrollBottomGap = 17;  // 539 - 522
constexpr int kHScrollRightGap = 17;   // 882 - 12 - 853
constexpr int kBarThickness = 16;
constexpr int kImageTop = 4;  // the image's place inside its frame
constexpr int kWheelLines = 3;
// How long after start-up a frame reported by the window manager still
// refits the window; later size changes are the user's.
constexpr int kFrameWaitMs = 3000;

constexpr int kStatusWidths[7] = {50, 500, 30, 80, 30, 80, 50};
const char* const kStatusTexts[7] = {"ファイル名", "", "行数", "", "現在", "", ""};
constexpr int kProgressPanel = 6;

bool CurrentSlotHasDocument() { return SlotTable[CurrentSlot].ViewBase != nullptr; }

QString DefaultOpenFile() {
  return QFileDialog::getOpenFileName(RpEdit, QString(), QString(), QString(), nullptr,
                                      QFileDialog::DontUseNativeDialog);
}

QString DefaultSaveLogFile() {
  // No default suffix: the name is used exactly as typed.
  QFileDialog dialog(RpEdit, QStringLiteral("実行ログ保存"), QString(),
                     QStringLiteral("log (*.log)"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(QString());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().first();
}

QString DefaultTabWidth(const QString& current) {
  bool ok = false;
  const QString text =
      QInputDialog::getText(RpEdit, QStringLiteral("タブ設定"), QStringLiteral("タブ数値指定"),
                            QLineEdit::Normal, current, &ok);
  return ok ? text : current;
}

}  // namespace

namespace {
QList<QByteArray> EncodedNames(const QStringList& names) {
  QList<QByteArray> encoded;
  for (const QString& name : names) encoded << QFile::encodeName(name);
  return encoded;
}
}  // namespace

TRpEdit::TRpEdit(const QStringList& params, QWidget* parent)
    : TRpEdit(EncodedNames(params), parent) {}

TRpEdit::TRpEdit(const QList<QByteArray>& params, QWidget* parent) : QMainWindow(parent) {
  // The global is set before anything else runs, as the commands run by the
  // command line below already reach the window through it.
  RpEdit = this;
  Prompts.open_file = DefaultOpenFile;
  Prompts.save_log_file = DefaultSaveLogFile;
  Prompts.tab_width = DefaultTabWidth;

  setObjectName(QStringLiteral("RpEdit"));
  setWindowTitle(QStringLiteral("Dolmik"));
  setFont(QFont(QStringLiteral("ＭＳ Ｐゴシック"), 9));
  resize(900, 770);

  client_ = new QWidget(this);
  client_->setObjectName(QStringLiteral("client"));
  setCentralWidget(client_);
  BuildToolBar();
  Log1 = new QPlainTextEdit(client_);
  Log1->setObjectName(QStringLiteral("Log1"));
  Log1->setFont(DesignFont(QStringLiteral("ＭＳ ゴシック"), 12));
  Log1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Log1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Log1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Log1->setToolTip(QStringLiteral("実行ログを表示しています。メモ的にも使用できます。"));
  // Files dropped on the log open like files dropped anywhere on the window.
  Log1->setAcceptDrops(false);
  // Watched for the focus it gets back when the window is activated.
  Log1->installEventFilter(this);
  BuildPages();
  BuildStatusBar();
  BuildMenus();
  InstallHooks();
  client_->installEventFilter(this);
  client_->resize(kDesignClient);
  LayOutClient();

  // Start state: no documents, an empty log, white pages in the page font.
  ResetSlotTable();
  Log1->clear();
  for (int n = 0; n < kSlotCount; ++n) {
    // A raster starts white; filling it here would only take its memory for
    // a tab that may never show a document.
    ImageF[n]->SetCanvasFont(QFont(QStringLiteral("ＭＳ 明朝"), 9));
    PageControl1->setTabText(n, QStringLiteral("ファイル%1").arg(n));
    RegisterSlotControls(n, TabSheet[n], ImageF[n], ScrollF[n], ScrollHF[n]);
  }
  CurrentSlot = 0;
  BindSlotControls(0);
  SlotTable[0].DrawRow = 0;
  SlotTable[0].MaxLineWidth = 0;
  ActivatePage(0);
  MouseSelecting = false;
  built_ = true;

  FormCreate(params);
}

TRpEdit::~TRpEdit() {
  rpcmd::_exit();  // stops every indexer, whose wake would post to this window
  Hooks().index_wake = nullptr;
  // The hooks point into this window; later callers find them unset.
  CommandHooks& hooks = CmdHooks();
  hooks.append_log = nullptr;
  hooks.log_lines = nullptr;
  hooks.set_status = nullptr;
  hooks.set_tab_caption = nullptr;
  hooks.set_line_number_check = nullptr;
  hooks.set_encoding_check = nullptr;
  hooks.search_progress = nullptr;
  hooks.index_progress = nullptr;
  ViewHooks& view = ViewHooksRef();
  view.set_top_line_status = nullptr;
  view.page_control_size = nullptr;
  view.notice = nullptr;
  view.log = nullptr;
  for (int n = 0; n < kSlotCount; ++n) {
    RegisterSlotControls(n, nullptr, nullptr, nullptr, nullptr);
    SlotTable[n].TabSheet = nullptr;
    SlotTable[n].Image = nullptr;
    SlotTable[n].VScroll = nullptr;
    SlotTable[n].HScroll = nullptr;
  }
  if (RpEdit == this) RpEdit = nullptr;
}

void TRpEdit::BuildToolBar() {
  ToolBar1 = new QWidget(client_);
  ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
  auto makeButton = [this](const char* name, const char* icon, int left, const QString& hint) {
    auto* button = new QToolButton(ToolBar1);
    button->setObjectName(QLatin1String(name));
    button->setIcon(QIcon(QLatin1String(icon)));
    button->setIconSize(QSize(24, 23));
    button->setAutoRaise(true);
    button->setGeometry(left, 2, 33, 30);
    button->setFocusPolicy(Qt::NoFocus);
    if (!hint.isEmpty()) button->setToolTip(hint);
    return button;
  };
  // Gaps of 10, 6 and 5 pixels before the three buttons.
  SpeedButton1 =
      makeButton("SpeedButton1", ":/icons/open.png", 10, QStringLiteral("ファイルを開く"));
  SpeedButton2 =
      makeButton("SpeedButton2", ":/icons/save.png", 10 + 33 + 6, QStringLiteral("メモを保存する"));
  SpeedButton3 = makeButton("SpeedButton3", ":/icons/find.png", 10 + 33 + 6 + 33 + 5, QString());
  SpeedButton3->setIconSize(QSize(16, 16));
  connect(SpeedButton1, &QToolButton::clicked, this, &TRpEdit::SpeedButton1Click);
  connect(SpeedButton2, &QToolButton::clicked, this, &TRpEdit::SpeedButton2Click);
  connect(SpeedButton3, &QToolButton::clicked, this, &TRpEdit::SpeedButton3Click);
  // Follow mode, after a gap of 5 like the find button's.
  SpeedButton4 = makeButton("SpeedButton4", ":/icons/follow.png", 10 + 33 + 6 + 33 + 5 + 33 + 5,
                            QStringLiteral("ファイルの末尾を表示し続けます (F)"));
  SpeedButton4->setCheckable(true);
  connect(SpeedButton4, &QToolButton::clicked, this, &TRpEdit::Tail1Click);
}

void TRpEdit::BuildPages() {
  PageControl1 = new QTabWidget(client_);
  PageControl1->setObjectName(QStringLiteral("PageControl1"));
  static const char* const kFrameNames[kSlotCount] = {"GroupBox2", "GroupBox1", "GroupBox13",
                                                      "GroupBox14"};
  void (TRpEdit::*const vscrollHandlers[kSlotCount])() = {
      &TRpEdit::ScrollF1Change, &TRpEdit::ScrollF2Change, &TRpEdit::ScrollF3Change,
      &TRpEdit::ScrollF4Change};
  for (int n = 0; n < kSlotCount; ++n) {
    TabSheet[n] = new TabPage();
    TabSheet[n]->setObjectName(QStringLiteral("TabSheet%1").arg(n + 1));
    Frame[n] = new QWidget(TabSheet[n]);
    Frame[n]->setObjectName(QLatin1String(kFrameNames[n]));
    // The image keeps its size whatever the window's; the frame clips it.
    ImageF[n] = new PageImage(n == 0 ? 1250 : 1280, 800, Frame[n]);
    ImageF[n]->setObjectName(QStringLiteral("ImageF%1").arg(n + 1));
    ImageF[n]->setFixedSize(ImageF[n]->RasterSize());
    ImageF[n]->move(0, kImageTop);
    ImageF[n]->setToolTip(QStringLiteral("[m1]で選択します。[m2]でメニューを表示します。"));
    ImageF[n]->setFocusPolicy(Qt::ClickFocus);
    // A tab change hands the focus to the new tab page: its image takes it,
    // so that the page keys act on the page on view.
    TabSheet[n]->setFocusProxy(ImageF[n]);
    ImageF[n]->installEventFilter(this);
    Frame[n]->installEventFilter(this);
    ScrollF[n] = new PageScrollBar(Qt::Vertical, TabSheet[n]);
    ScrollF[n]->setObjectName(QStringLiteral("ScrollF%1").arg(n + 1));
    ScrollF[n]->setRange(0, 0);
    ScrollHF[n] = new PageScrollBar(Qt::Horizontal, TabSheet[n]);
    ScrollHF[n]->setObjectName(QStringLiteral("ScrollHF%1").arg(n + 1));
    ScrollHF[n]->setRange(0, 0);
    connect(ScrollF[n], &QScrollBar::valueChanged, this, vscrollHandlers[n]);
    connect(ScrollHF[n], &QScrollBar::valueChanged, this, &TRpEdit::ScrollHF1Change);
    PageImage* image = ImageF[n];
    connect(image, &PageImage::mousePressed, this,
            [this, image](Qt::MouseButton button, int x, int y) {
              ImageF1MouseDown(button, x, y);
              if (button == Qt::RightButton) PopupMenu1->popup(image->mapToGlobal(QPoint(x, y)));
            });
    connect(image, &PageImage::mouseMoved, this, &TRpEdit::ImageF1MouseMove);
    connect(image, &PageImage::mouseReleased, this, &TRpEdit::ImageF1MouseUp);
    TabSheet[n]->installEventFilter(this);
    PageControl1->addTab(TabSheet[n], QString());
  }
  // Only a tab the user picks runs the handler; ActivatePage sets the guard.
  connect(PageControl1, &QTabWidget::currentChanged, this, [this] {
    if (!activatingPage_ && built_) PageControl1Change();
  });
  PageControl1->installEventFilter(this);
}

void TRpEdit::BuildStatusBar() {
  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setSizeGripEnabled(true);
  for (int n = 0; n < 7; ++n) {
    StatusPanel[n] = new QLabel(QString::fromUtf8(kStatusTexts[n]), StatusBar1);
    StatusPanel[n]->setObjectName(QStringLiteral("StatusPanel%1").arg(n));
    StatusPanel[n]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    // The design widths, widened where the stand-in font draws a label
    // wider than the original did ("ファイル名" needs about 60 pixels).
    const int width = std::max(
        kStatusWidths[n], StatusPanel[n]->fontMetrics().horizontalAdvance(StatusPanel[n]->text()) +
                              2 * StatusPanel[n]->frameWidth() + 6);
    StatusPanel[n]->setMinimumWidth(width);
    if (n != kProgressPanel && n != 1) StatusPanel[n]->setFixedWidth(width);
    // The file name panel first, then the progress panel take what is left.
    StatusBar1->addWidget(StatusPanel[n], n == 1 ? 100 : n == kProgressPanel ? 1 : 0);
  }
  MakeRoomForProgress(StatusPanel[1], StatusPanel[kProgressPanel], kStatusWidths[1]);
  // The current document's encoding, at the right end.
  EncodingPanel = new QLabel(StatusBar1);
  EncodingPanel->setObjectName(QStringLiteral("EncodingPanel"));
  EncodingPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  EncodingPanel->setFixedWidth(
      EncodingPanel->fontMetrics().horizontalAdvance(QStringLiteral("Shift_JIS")) +
      2 * EncodingPanel->frameWidth() + 12);
  StatusBar1->addWidget(EncodingPanel, 0);
  // Shown while the current tab's file is being indexed: ends the open.
  IndexCancel = new QPushButton(QStringLiteral("キャンセル"), StatusBar1);
  IndexCancel->setObjectName(QStringLiteral("IndexCancel"));
  IndexCancel->setFocusPolicy(Qt::NoFocus);
  IndexCancel->hide();
  StatusBar1->addPermanentWidget(IndexCancel);
  connect(IndexCancel, &QPushButton::clicked, this, &TRpEdit::IndexCancelClick);
  setStatusBar(StatusBar1);
}

void TRpEdit::BuildMenus() {
  MainMenu1 = menuBar();
  MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
  auto item = [this](QMenu* menu, const char* name, const char* caption, const QKeySequence& key,
                     const char* hint, void (TRpEdit::*handler)()) {
    auto* action = new QAction(QString::fromUtf8(caption), this);
    action->setObjectName(QLatin1String(name));
    if (!key.isEmpty()) action->setShortcut(key);
    if (hint != nullptr) {
      action->setStatusTip(QString::fromUtf8(hint));
      action->setToolTip(QString::fromUtf8(hint));
    }
    connect(action, &QAction::triggered, this, handler);
    menu->addAction(action);
    return action;
  };
  auto title = [this](const char* name, const char* caption, const char* hint) {
    QMenu* menu = MainMenu1->addMenu(QString::fromUtf8(caption));
    menu->setObjectName(QLatin1String(name));
    menu->setToolTipsVisible(true);
    if (hint != nullptr) menu->menuAction()->setStatusTip(QString::fromUtf8(hint));
    return menu;
  };

  QMenu* fa1 = title("fa1", "ファイル(&F)", nullptr);
  Open1 = item(fa1, "Open1", "開く(&O)", QKeySequence(Qt::CTRL | Qt::Key_O),
               "テキストファイルを開きます", &TRpEdit::Open1Click);
  Close1 = item(fa1, "Close1", "閉じる(&C)", {}, "ファイルを閉じます", &TRpEdit::Close1Click);
  fa1->addSeparator();
  SaveAs1 = item(fa1, "SaveAs1", "ログ保存(&S)", {}, "実行ログをファイルに保存します",
                 &TRpEdit::SaveAs1Click);
  fa1->addSeparator();
  Exit1 = item(fa1, "Exit1", "終了(&X)", {}, "Dolmikを終了します", &TRpEdit::Exit1Click);

  QMenu* find1 = title("Find1", "検索(&S)", nullptr);
  Find2 = item(find1, "Find2", "検索(&F)", QKeySequence(Qt::CTRL | Qt::Key_F),
               "文字の検索を行います", &TRpEdit::Find2Click);
  find1->addSeparator();
  N10 =
      item(find1, "N10", "指定行へ移動(&J)", {}, "行番号を指定して移動します", &TRpEdit::N10Click);
  // Ctrl+Home and Ctrl+End: the keys users expect for the top and the end
  // of a document, given to these two items.
  N11 = item(find1, "N11", "ファイル先頭へ移動(&T)", QKeySequence(Qt::CTRL | Qt::Key_Home),
             "ファイルの先頭に移動します", &TRpEdit::N11Click);
  N12 = item(find1, "N12", "ファイル最後へ移動(&B)", QKeySequence(Qt::CTRL | Qt::Key_End),
             "ファイルの最後へ移動します", &TRpEdit::N12Click);

  QMenu* show1 = title("Show1", "表示(&V)", nullptr);
  N8 = item(show1, "N8", "ログクリアー(&D)", {}, "実行ログをクリアします", &TRpEdit::N8Click);
  show1->addSeparator();
  L1 = item(show1, "L1", "検索ログ表示(&L)", {}, "検索ログを表示します", &TRpEdit::L1Click);
  InstallFilterUi(this, show1);
  show1->addSeparator();
  // The encoding of the current tab's document: detected, or one chosen.
  Code1 = show1->addMenu(QStringLiteral("文字コード(&E)"));
  Code1->setObjectName(QStringLiteral("Code1"));
  auto* codes = new QActionGroup(this);
  codes->setExclusive(true);
  const struct {
    const char* name;
    int choice;
  } kCodes[] = {{"CodeAuto", kAutoEncoding},
                {"CodeSjis", static_cast<int>(TextEncoding::kCp932)},
                {"CodeUtf8", static_cast<int>(TextEncoding::kUtf8)},
                {"CodeEuc", static_cast<int>(TextEncoding::kEucJp)},
                {"CodeUtf16Le", kUtf16LeChoice},
                {"CodeUtf16Be", kUtf16BeChoice}};
  for (size_t i = 0; i < std::size(kCodes); ++i) {
    auto* action = new QAction(EncodingChoiceName(kCodes[i].choice), this);
    action->setObjectName(QLatin1String(kCodes[i].name));
    action->setCheckable(true);
    action->setChecked(kCodes[i].choice == kAutoEncoding);
    action->setData(kCodes[i].choice);
    codes->addAction(action);
    Code1->addAction(action);
    CodeItem[i] = action;
    const int choice = kCodes[i].choice;
    connect(action, &QAction::triggered, this, [this, choice] { CodeClick(choice); });
  }

  show1->addSeparator();
  // F, as in the pagers and log viewers that follow a file; a text field
  // with the focus takes the key for itself.
  Tail1 = item(show1, "Tail1", "末尾を追従(&T)", QKeySequence(Qt::Key_F),
               "ファイルの末尾を表示し続けます", &TRpEdit::Tail1Click);
  Tail1->setCheckable(true);

  QMenu* n4 = title("N4", "設定", nullptr);
  Font1 = item(n4, "Font1", "フォント指定(&F)", {}, "表示フォントを設定を行います",
               &TRpEdit::Font1Click);
  n4->addSeparator();
  DspLine = item(n4, "DspLine", "行番号表示(&V)", {}, "行の先頭に行番号をふかします",
                 &TRpEdit::DspLineClick);
  DspLine->setCheckable(true);
  DspLine->setChecked(true);
  n4->addSeparator();
  TabNoSet = item(n4, "TabNoSet", "タブ設定", {}, nullptr, &TRpEdit::TabNoSetClick);
  InstallHighlightUi(this, show1, n4);

  QMenu* help1 = title("Help1", "ヘルプ(&H)", "ヘルプを表示します");
  Ranpok1 = item(help1, "Ranpok1", "Dolmikヘルプ(&H)", QKeySequence(Qt::Key_F1), nullptr,
                 &TRpEdit::Ranpok1Click);
  help1->addSeparator();
  About1 = item(help1, "About1", "バージョン情報(&A)", {}, "Dolmikの概要を表示します",
                &TRpEdit::About1Click);

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
  Open2 = item(PopupMenu1, "Open2", "ファイルを開く(&O)", QKeySequence(Qt::CTRL | Qt::Key_O),
               nullptr, &TRpEdit::Open2Click);
  Close2 = item(PopupMenu1, "Close2", "ファイルを閉じる(&Q)", {}, nullptr, &TRpEdit::Close2Click);
  PopupMenu1->addSeparator();
  Copy1 = item(PopupMenu1, "Copy1", "コピー", {}, nullptr, &TRpEdit::Copy1Click);
  PopupMenu1->addSeparator();
  WinSelect = item(PopupMenu1, "WinSelect", "範囲選択モード(&W)",
                   QKeySequence(Qt::CTRL | Qt::Key_W), nullptr, &TRpEdit::WinSelectClick);
  WinSelect->setCheckable(true);
  WinSelect->setChecked(false);
  // Ctrl+W also acts while the context menu is closed, anywhere in the window.
  addAction(WinSelect);

  // Esc ends an open whose index is being built, like the キャンセル button.
  IndexCancelKey = new QAction(this);
  IndexCancelKey->setObjectName(QStringLiteral("IndexCancelKey"));
  IndexCancelKey->setShortcut(QKeySequence(Qt::Key_Escape));
  IndexCancelKey->setEnabled(false);
  connect(IndexCancelKey, &QAction::triggered, this, &TRpEdit::IndexCancelClick);
  addAction(IndexCancelKey);
  // The toolkit leaves a context menu's own shortcuts dead while it is open
  // (the keys only navigate it); eventFilter passes Ctrl+O and Ctrl+W on.
  PopupMenu1->installEventFilter(this);
}

void TRpEdit::InstallHooks() {
  CommandHooks& hooks = CmdHooks();
  hooks.append_log = [this](const QString& text) {
    Log1->appendPlainText(text);
    // The index build and the scans keep the event loop waiting; the echo of
    // the command that started them should show meanwhile.
    if (Log1->isVisible()) Log1->viewport()->repaint();
  };
  hooks.log_lines = [this]() -> QStringList {
    const QString text = Log1->toPlainText();
    if (text.isEmpty()) return {};
    return text.split(QLatin1Char('\n'));
  };
  hooks.message_box = [](const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Ok);
    box.exec();
  };
  hooks.set_status = [this](int panel, const QString& text) { SetStatus(panel, text); };
  hooks.set_tab_caption = [this](int slot, const QString& text) {
    if (slot < 0 || slot >= kSlotCount) return;
    PageControl1->setTabText(slot, text);
    PageControl1->tabBar()->repaint();
  };
  hooks.set_line_number_check = [this](bool on) { DspLine->setChecked(on); };
  hooks.set_encoding_check = [this](int choice) {
    for (QAction* item : CodeItem) item->setChecked(item->data().toInt() == choice);
  };
  hooks.set_follow_check = [this](bool on) {
    Tail1->setChecked(on);
    SpeedButton4->setChecked(on);
  };
  hooks.search_progress = [this](int32_t line, int32_t lineCount) {
    ShowSearchProgress(line, lineCount);
  };
  hooks.index_progress = [this](int slot) {
    if (slot == CurrentSlot) ShowIndexState();
  };
  // The indexer's news comes from its own thread: only a queued call to the
  // store's pump crosses over, and the pump runs here, between events.
  Hooks().index_wake = [this](int slot) {
    QMetaObject::invokeMethod(
        this, [slot] { PumpIndex(SlotTable[slot]); }, Qt::QueuedConnection);
  };

  ViewHooks& view = ViewHooksRef();
  view.set_top_line_status = [this](const QString& text) { SetStatus(5, text); };
  view.set_jump_field = [](const QString& text) {
    if (JmpDialog != nullptr) JmpDialog->JumpPos->setText(text);
  };
  view.page_control_size = [this] { return PageControl1->size(); };
  view.notice = [this](const QString& text) {
    QMessageBox::information(this, windowTitle(), text);
  };
  view.log = [](const QString& text) { AppendLog(text); };
}

void TRpEdit::WatchContinuousSearch() {
  CommandHooks& hooks = CmdHooks();
  auto dialogs = hooks.search_running;
  hooks.search_running = [this, dialogs](bool running) {
    if (dialogs) dialogs(running);
    searchActive_ = running;
    if (running) return;
    // Cleared with the next paint; an immediate repaint here would only
    // delay showing the hit.
    StatusPanel[kProgressPanel]->clear();
    // A close asked for during the scan happens now that it has returned.
    if (closePending_) {
      closePending_ = false;
      QTimer::singleShot(0, this, &QWidget::close);
    }
  };
}

void TRpEdit::FormCreate(const QList<QByteArray>& params) {
  FitFrameToScreen();
  move(0, 0);
  // The window manager tells the frame's size only once the window is on
  // screen; the size is fitted again then (see event()).
  framePending_ = true;
  QTimer::singleShot(kFrameWaitMs, this, [this] { framePending_ = false; });
  setAcceptDrops(true);
  if (!params.isEmpty()) {
    // An open draws the file's first page as soon as its first lines are
    // indexed and goes on indexing within the same call; the window must
    // already be on screen for that page to be seen before the index is done.
    ShowBeforeOpening();
    rpcmd::_chenge_view(0);
    rpcmd::_open_file(params.at(0));
  }
  if (params.size() >= 2) {
    rpcmd::_chenge_view(1);
    rpcmd::_open_file(params.at(1));
    ActivatePage(1);
  }
}

void TRpEdit::FitFrameToScreen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  // The screen rule gives the outer size; resize() sets the inside.
  const QMargins frame = windowHandle() != nullptr ? windowHandle()->frameMargins() : QMargins();
  resize(MainWindowInsideSize(MainWindowSizeForScreen(screen->size()), frame));
}

bool TRpEdit::event(QEvent* event) {
  if (framePending_ && (event->type() == QEvent::Move || event->type() == QEvent::Show ||
                        event->type() == QEvent::Resize)) {
    if (windowHandle() != nullptr && !windowHandle()->frameMargins().isNull()) {
      framePending_ = false;
      FitFrameToScreen();
    }
  }
  return QMainWindow::event(event);
}

void TRpEdit::ShowBeforeOpening() {
  show();
  // The window system reports the window exposed a little later; only then
  // does an immediate repaint reach the screen. Input waits until the opens
  // are done, as it would during any open.
  QElapsedTimer waited;
  waited.start();
  while (windowHandle() != nullptr && !windowHandle()->isExposed() && waited.elapsed() < 1000) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
  }
}

void TRpEdit::FormClose() { rpcmd::_exit(); }

void TRpEdit::ActivatePage(int slot) {
  if (slot < 0 || slot >= kSlotCount) return;
  activatingPage_ = true;
  PageControl1->setCurrentIndex(slot);
  activatingPage_ = false;
}

void TRpEdit::SetStatus(int panel, const QString& text) {
  QLabel* label = panel == kEncodingPanel     ? EncodingPanel
                  : (panel >= 0 && panel < 7) ? StatusPanel[panel]
                                              : nullptr;
  if (label == nullptr) return;
  label->setText(text);
  FitPanelToText(label);
  // Written during the index build and the scans, which keep the event loop
  // waiting: paint now.
  label->repaint();
}

void TRpEdit::ShowSearchProgress(int line, int lineCount) {
  const QLocale english(QLocale::English);
  SetStatus(
      kProgressPanel,
      QStringLiteral("検索中 %1 / %2").arg(english.toString(line), english.toString(lineCount)));
  // Lets the Cancel buttons' clicks (and a close request) through; the
  // dialogs disable every other window while the scan runs.
  QCoreApplication::processEvents();
}

void TRpEdit::ShowIndexState() {
  const FileSlot& slot = SlotTable[CurrentSlot];
  const bool indexing = slot.ViewBase != nullptr && !IndexComplete(slot);
  // The search needs the whole file; it is offered again once the index is
  // complete (FindString refuses meanwhile, should a dialog still be open).
  Find2->setEnabled(!indexing);
  SpeedButton3->setEnabled(!indexing);
  IndexCancel->setVisible(indexing);
  IndexCancelKey->setEnabled(indexing);
  if (searchActive_) return;  // the panel shows the search's progress
  if (!indexing) {
    if (indexShown_) StatusPanel[kProgressPanel]->clear();
    indexShown_ = false;
    return;
  }
  indexShown_ = true;
  // The count is in panel 3; this one is narrow beside the encoding panel.
  SetStatus(kProgressPanel, QStringLiteral("読み込み中 %1%").arg(IndexShare(slot)));
}

void TRpEdit::IndexCancelClick() {
  if (searchActive_) return;
  // A jump waiting for its line is given up first; the open goes on.
  if (GiveUpJumpWait()) return;
  CancelOpen();
}

// ---------------------------------------------------------------- layout

void TRpEdit::LayOutClient() {
  const QSize size = client_->size();
  ToolBar1->setGeometry(0, 0, size.width(), kToolBarHeight);
  Log1->setGeometry(kLogLeft, kLogTop, std::max(0, size.width() - kLogLeft - kLogRightGap),
                    kLogHeight);
  PageControl1->setGeometry(0, kPagesTop, std::max(0, size.width() - kPagesRightGap),
                            std::max(0, size.height() - kPagesTop));
}

void TRpEdit::LayOutPage(int slot) {
  const QSize size = TabSheet[slot]->size();
  const int w = size.width();
  const int h = size.height();
  Frame[slot]->setGeometry(kFrameLeft, kFrameTop, std::max(0, w - kFrameLeft - kFrameRightGap),
                           std::max(0, h - kFrameTop - kFrameBottomGap));
  ScrollF[slot]->setGeometry(w - kVScrollRightGap, kVScrollTop, kBarThickness,
                             std::max(0, h - kVScrollTop - kVScrollBottomGap));
  ScrollHF[slot]->setGeometry(kFrameLeft, h - kHScrollBottomGap,
                              std::max(0, w - kFrameLeft - kHScrollRightGap), kBarThickness);
}

bool TRpEdit::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Log1 && event->type() == QEvent::FocusIn) {
    // The log box keeps a focus the user gave it: a click, or the return
    // from its own context menu, the menu bar or a shortcut. Any other way
    // in (the window activated at start or after a dialog, the focus passed
    // on from a page hidden by a tab change) would leave the page keys,
    // Ctrl+Home and Ctrl+End among them, to the log box; the page takes the
    // focus back once the change is done.
    const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason != Qt::MouseFocusReason && reason != Qt::PopupFocusReason &&
        reason != Qt::MenuBarFocusReason && reason != Qt::ShortcutFocusReason) {
      QTimer::singleShot(0, this, &TRpEdit::FocusCurrentPage);
    }
    return false;
  }
  if (event->type() == QEvent::Resize) {
    if (watched == client_) {
      LayOutClient();
    } else if (watched == PageControl1) {
      PageControl1Resize();
    } else {
      for (int n = 0; n < kSlotCount; ++n) {
        if (watched == TabSheet[n]) LayOutPage(n);
      }
    }
    return false;
  }
  if (watched == PopupMenu1 && event->type() == QEvent::KeyPress) {
    const QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
    for (QAction* action : {Open2, WinSelect}) {
      if (action->shortcut() != pressed) continue;
      PopupMenu1->hide();
      action->trigger();
      return true;
    }
    return false;
  }
  bool onPage = false;
  for (int n = 0; n < kSlotCount; ++n)
    onPage = onPage || watched == ImageF[n] || watched == Frame[n];
  if (!onPage) return false;
  if (event->type() == QEvent::Wheel) {
    const int lines = WheelLines(*static_cast<QWheelEvent*>(event));
    if (lines != 0) ScrollCurrentPage(lines);
    return true;
  }
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) return false;
    FileSlot& slot = SlotTable[CurrentSlot];
    const int page = slot.Image != nullptr ? LinesPerPage(slot.Image) : 1;
    switch (key->key()) {
      case Qt::Key_PageUp:
        ScrollCurrentPage(-page);
        return true;
      case Qt::Key_PageDown:
        ScrollCurrentPage(page);
        return true;
      case Qt::Key_Up:
        ScrollCurrentPage(-1);
        return true;
      case Qt::Key_Down:
        ScrollCurrentPage(1);
        return true;
      default:
        return false;
    }
  }
  return false;
}

int TRpEdit::WheelLines(const QWheelEvent& wheel) {
  // A notch is 120 units of angle and three lines, so 40 units make a line.
  // Touchpads and smooth wheels send a notch in small steps, some only in
  // pixels (a row's height is a line); what a step leaves over is kept for
  // the next, so that eight steps of 15 scroll as far as one notch. Turning
  // back starts afresh.
  auto take = [](int& rest, int delta, int perLine) {
    if ((rest > 0 && delta < 0) || (rest < 0 && delta > 0)) rest = 0;
    rest += delta;
    const int lines = rest / perLine;
    rest -= lines * perLine;
    return -lines;  // up (positive) shows earlier lines
  };
  const int angle = wheel.angleDelta().y();
  if (angle != 0) {
    wheelPixels_ = 0;
    return take(wheelAngle_, angle, 120 / kWheelLines);
  }
  const int pixels = wheel.pixelDelta().y();
  if (pixels == 0) return 0;
  wheelAngle_ = 0;
  return take(wheelPixels_, pixels, std::max(RowTop(1), 1));
}

QPoint TRpEdit::BelowHitRows(const QSize& frameSize) const {
  // A click in the result list makes the hit the fifth row; a few pixels of
  // white below it keep its inversion clear of the window's frame.
  constexpr int kHitRows = 5;
  constexpr int kGap = 6;
  PageImage* image = ImageF[std::clamp(PageControl1->currentIndex(), 0, kSlotCount - 1)];
  const int below = image->mapToGlobal(QPoint(0, RowTop(kHitRows))).y() + kGap;
  const QScreen* screen = this->screen();
  const QRect area =
      screen != nullptr ? screen->availableGeometry() : QRect(QPoint(0, 0), frameGeometry().size());
  // Inside the screen first: on a screen too low for the window below the
  // rows, it rises over them rather than leave the screen.
  const int x = std::clamp(frameGeometry().left(), area.left(),
                           std::max(area.left(), area.right() + 1 - frameSize.width()));
  const int y =
      std::clamp(below, area.top(), std::max(area.top(), area.bottom() + 1 - frameSize.height()));
  return QPoint(x, y);
}

void TRpEdit::FocusCurrentPage() {
  if (!Log1->hasFocus()) return;  // the user has put it elsewhere meanwhile
  PageImage* page = ImageF[std::clamp(PageControl1->currentIndex(), 0, kSlotCount - 1)];
  if (page->isVisible()) page->setFocus(Qt::OtherFocusReason);
}

void TRpEdit::ScrollCurrentPage(int lines) {
  PageScrollBar* bar = SlotTable[CurrentSlot].VScroll;
  if (bar == nullptr) return;
  // Its change handler draws the page.
  bar->setValue(ScrolledTopLine(*bar, lines));
}

// ---------------------------------------------------------------- events

void TRpEdit::closeEvent(QCloseEvent* event) {
  if (searchActive_) {
    // The scan is still on the stack below this event; tearing the documents
    // down now would pull the file from under it. Stop it and close once it
    // has returned (WatchContinuousSearch).
    SearchRunning = false;
    closePending_ = true;
    event->ignore();
    return;
  }
  FormClose();
  event->accept();
  // The main window's close ends the program even while other windows show.
  QCoreApplication::exit(0);
}

void TRpEdit::dragEnterEvent(QDragEnterEvent* event) {
  // The window itself stays enabled during a continuous search (its dialogs'
  // Cancel buttons live in it); an open then would pull the document from
  // under the scan.
  if (searchActive_) return;
  const QList<QUrl> urls = event->mimeData()->urls();
  if (!urls.isEmpty() && urls.first().isLocalFile()) event->acceptProposedAction();
}

void TRpEdit::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (searchActive_ || urls.isEmpty() || !urls.first().isLocalFile()) return;
  event->acceptProposedAction();
  // Only the first file is used, with its full path however long. The
  // URL's path is percent-decoded to bytes, not to text: a name that is not
  // UTF-8 arrives as the bytes the file system holds.
  const QByteArray path =
      QByteArray::fromPercentEncoding(urls.first().path(QUrl::FullyEncoded).toLatin1());
  ActivatePage(CurrentSlot);
  rpcmd::_chenge_view(CurrentSlot);
  rpcmd::_open_file(path);
}

// ---------------------------------------------------------------- handlers

void TRpEdit::Open1Click() {
  const QString path = Prompts.open_file ? Prompts.open_file() : QString();
  // The dialog deals in text: it lists no name that is not UTF-8 (its folder
  // listing leaves such names out), so every path it gives encodes back to
  // the bytes of its file. Such names open from the command line or a drop.
  if (!path.isEmpty()) rpcmd::_open_file(QFile::encodeName(path));
}

void TRpEdit::Close1Click() { rpcmd::_quit_file(); }

void TRpEdit::SaveAs1Click() {
  const QString path = Prompts.save_log_file ? Prompts.save_log_file() : QString();
  if (!path.isEmpty()) rpcmd::_save_memo(path);
}

void TRpEdit::Exit1Click() {
  if (searchActive_) {
    // The scan is on the stack below: closeEvent stops it and closes once
    // it has returned.
    close();
    return;
  }
  try {
    rpcmd::_exit();
    close();
  } catch (...) {
    // Whatever goes wrong while the window closes is dropped silently.
  }
}

void TRpEdit::Find2Click() {
  if (!CurrentSlotHasDocument() || SearchFom == nullptr) return;
  SearchFom->show();
  SearchFom->raise();
  SearchFom->activateWindow();
  SearchFom->SearchCmb->setFocus();
}

void TRpEdit::N10Click() {
  if (!CurrentSlotHasDocument() || JmpDialog == nullptr) return;
  JmpDialog->JumpPos->setText(QString::number(SlotTable[CurrentSlot].TopLine + 1));
  JmpDialog->show();
  JmpDialog->raise();
  JmpDialog->activateWindow();
}

void TRpEdit::N11Click() { rpcmd::_jump(0, true); }

void TRpEdit::N12Click() {
  if (!CurrentSlotHasDocument()) return;
  // The last page in sight: where the window is lower than the raster, the
  // raster's last rows are hidden and would hide the file's last lines.
  rpcmd::_jump(LastPageTop(SlotTable[CurrentSlot]), true);
  // The end of the file is where following starts again (a compressed file
  // is never followed).
  if (!SlotTable[CurrentSlot].FollowTail && !SlotTable[CurrentSlot].Compressed)
    rpcmd::_follow_tail(true);
}

void TRpEdit::Tail1Click() {
  // The menu item and the button toggle the current tab's mode; both show
  // the tab's state again afterwards (an empty tab cannot follow).
  rpcmd::_follow_tail(!SlotTable[CurrentSlot].FollowTail);
}

void TRpEdit::N8Click() { Log1->clear(); }

void TRpEdit::L1Click() {
  if (SearchLogF != nullptr) SearchLogF->ShowBelowHitRows();
}

void TRpEdit::Font1Click() {
  if (!CurrentSlotHasDocument()) return;
  const FileSlot& slot = SlotTable[CurrentSlot];
  PageImage* image = slot.Image != nullptr ? slot.Image : ImageF[CurrentSlot];
  // The page fonts' names are aliases of installed fonts; the dialog lists
  // only real families, so it starts on the family that stands in.
  QFont initial = image->CanvasFont();
  initial.setFamily(QFontInfo(initial).family());
  QFontDialog dialog(initial, this);
  dialog.setOption(QFontDialog::DontUseNativeDialog);
  if (auto* box = dialog.findChild<QDialogButtonBox*>()) {
    QPushButton* apply = box->addButton(QStringLiteral("適用"), QDialogButtonBox::ApplyRole);
    apply->setObjectName(QStringLiteral("FontApply"));
    connect(apply, &QPushButton::clicked, this, &TRpEdit::FontDialog1Apply);
  }
  // OK and Cancel alike leave the page font as it is: only Apply sets it.
  FontDialog1 = &dialog;
  dialog.exec();
  FontDialog1 = nullptr;
}

void TRpEdit::FontDialog1Apply() {
  if (FontDialog1 != nullptr) rpcmd::_font_set(FontDialog1->currentFont());
}

void TRpEdit::CodeClick(int choice) {
  if (!CurrentSlotHasDocument()) {
    ShowSlotEncoding();  // the radio mark goes back to what the tab has
    return;
  }
  rpcmd::_code_set(choice);
}

void TRpEdit::DspLineClick() {
  // The action has already inverted its own check mark.
  rpcmd::_dsp_lineno(DspLine->isChecked());
}

void TRpEdit::TabNoSetClick() {
  const QString current = QString::number(TabWidth);
  const QString text = Prompts.tab_width ? Prompts.tab_width(current) : current;
  bool ok = false;
  int width = text.trimmed().toInt(&ok);
  if (!ok) width = 4;
  // Wider tabs than 32 blanks serve no text, and a huge width would only
  // push a line's text far to the right; negative means none.
  width = std::clamp(width, 0, 32);
  rpcmd::_tab_set(width);
}

void TRpEdit::Ranpok1Click() {
  const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/dolmik.htm");
  // A missing page or browser stays silent; the viewer is started detached,
  // so nothing waits for it.
  if (QFileInfo::exists(path)) QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void TRpEdit::About1Click() {
  if (About == nullptr) return;
  About->show();
  About->raise();
  About->activateWindow();
}

void TRpEdit::Copy1Click() { CopySelection(); }

void TRpEdit::WinSelectClick() {
  // The action has already inverted its check mark; the mode follows it.
  RangeSelectionMode = WinSelect->isChecked();
  ResetSelection(true);
  DrawView(SlotTable[CurrentSlot].TopLine, false);
}

void TRpEdit::ScrollFChange() {
  // Whichever bar sent the change, only the current slot's bar is read.
  const FileSlot& slot = SlotTable[CurrentSlot];
  if (slot.FileHandle == -1 || slot.VScroll == nullptr) return;
  // A scroll upwards leaves follow mode: the user reads back. (The bar moved
  // by a file read again from the start is no such scroll.)
  if (slot.FollowTail && !slot.Reloading && slot.VScroll->value() < RowOfLine(slot, slot.TopLine)) {
    rpcmd::_follow_tail(false);
  }
  DrawView(LineOfRow(slot, slot.VScroll->value()), false);
}

void TRpEdit::ScrollHF1Change() {
  const FileSlot& slot = SlotTable[CurrentSlot];
  if (slot.FileHandle == -1 || slot.HScroll == nullptr) return;
  DrawViewAtColumn(slot.HScroll->value());
}

void TRpEdit::PageControl1Change() {
  rpcmd::_chenge_view(PageControl1->currentIndex());
  // Forgotten before the redraw, which would otherwise invert the selection
  // once more and leave it on the page with no selection behind it.
  ResetSelection(true);
  DrawView(SlotTable[CurrentSlot].TopLine, false);
  ShowIndexState();
}

void TRpEdit::PageControl1Resize() {
  if (!built_) return;
  DrawView(SlotTable[CurrentSlot].TopLine, false);
}

void TRpEdit::ImageF1MouseDown(Qt::MouseButton button, int x, int y) {
  if (button == Qt::LeftButton) {
    ResetSelection(false);
    if (MouseSelecting) {
      MouseSelecting = false;
      return;
    }
    BeginSelection(x, y);
    MouseSelecting = true;
    return;
  }
  if (MouseSelecting) {
    ResetSelection(false);
    MouseSelecting = false;
  }
}

void TRpEdit::ImageF1MouseMove(int x, int y) {
  if (MouseSelecting) ExtendSelection(x, y);
}

void TRpEdit::ImageF1MouseUp(Qt::MouseButton button, int x, int y) {
  if (button != Qt::LeftButton || !MouseSelecting) return;
  EndSelection(x, y);
  MouseSelecting = false;
}

namespace {
template <typename Dialog>
Dialog* MakeDialog(TRpEdit* owner) {
  auto* window = new Dialog(owner);
  if (!window->isWindow()) window->setWindowFlags(window->windowFlags() | Qt::Dialog);
  window->hide();
  return window;
}

template <typename Window>
void DeleteWindow(Window*& window) {
  delete window;
  window = nullptr;
}
}  // namespace

void CreateDialogs(TRpEdit* main) {
  JmpDialog = MakeDialog<TJmpDialog>(main);
  SearchFom = MakeDialog<TSearchFom>(main);
  SearchLogF = MakeDialog<TSearchLogF>(main);
  About = MakeDialog<TAbout>(main);
  InstallDialogHooks();
  main->WatchContinuousSearch();
}

void DestroyWindows(TRpEdit* main) {
  DeleteWindow(About);
  DeleteWindow(SearchLogF);
  DeleteWindow(SearchFom);
  DeleteWindow(JmpDialog);
  delete main;
}
