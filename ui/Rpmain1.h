// The main window: execution log, four tab pages with their page rasters and
// scroll bars, toolbar, status bar, the main and context menus, file drops and
// the command line. Its handlers are thin: each checks one precondition and
// runs one command, one view operation or shows one of the other windows.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMainWindow>
#include <QMargins>
#include <QSize>
#include <QString>
#include <QStringList>
#include <functional>

#include "store/slots.h"
#include "ui/forms.h"

class QAction;
class QFontDialog;
class QLabel;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QToolButton;
class QWheelEvent;
class PageImage;
class PageScrollBar;
class TabPage;

// True while a left-button drag selection is in progress on a page image.
extern bool MouseSelecting;

// Window size for a screen of the given size: the height is the screen's, at
// most 768, when the screen is taller than 600 and 770 otherwise; the width
// is the screen's, at most 1024, when it is wider than 800 and 900 otherwise.
QSize MainWindowSizeForScreen(const QSize& screen);
// The inside size that gives the window the outer size with this frame (the
// title bar and borders the window manager adds; none before it has told).
QSize MainWindowInsideSize(const QSize& outer, const QMargins& frame);

// Where the handlers ask the user something; tests put stand-ins here.
struct MainWindowPrompts {
  // The chosen file's full path; empty when the dialog was cancelled.
  std::function<QString()> open_file;
  std::function<QString()> save_log_file;
  // The tab-width input box: returns the typed text, or current on Cancel.
  std::function<QString(const QString& current)> tab_width;
};

class TRpEdit : public QMainWindow {
  Q_OBJECT
 public:
  // params: the command-line parameters after the program name, as the bytes
  // the system gave; the first two are opened into slots 0 and 1, further
  // ones are ignored.
  explicit TRpEdit(const QList<QByteArray>& params, QWidget* parent = nullptr);
  // The same with parameters as text, encoded for the system.
  explicit TRpEdit(const QStringList& params, QWidget* parent = nullptr);
  ~TRpEdit() override;

  // Makes slot n's tab the active page without running PageControl1Change.
  void ActivatePage(int slot);
  // See BelowHitRows in ui/forms.h.
  QPoint BelowHitRows(const QSize& frameSize) const;
  // Tracks continuous searches through CmdHooks().search_running
  // (wrapping whatever the dialogs installed), so that a close request during
  // a scan cancels it first. Call after InstallDialogHooks().
  void WatchContinuousSearch();

  MainWindowPrompts Prompts;

  // Controls, with the names the handlers and the tests use.
  QWidget* ToolBar1 = nullptr;
  QToolButton* SpeedButton1 = nullptr;
  QToolButton* SpeedButton2 = nullptr;
  QToolButton* SpeedButton3 = nullptr;
  QToolButton* SpeedButton4 = nullptr;  // 末尾を追従
  QPlainTextEdit* Log1 = nullptr;
  QTabWidget* PageControl1 = nullptr;
  TabPage* TabSheet[kSlotCount] = {};
  QWidget* Frame[kSlotCount] = {};  // GroupBox2, GroupBox1, GroupBox13, GroupBox14
  PageImage* ImageF[kSlotCount] = {};
  PageScrollBar* ScrollF[kSlotCount] = {};
  PageScrollBar* ScrollHF[kSlotCount] = {};
  QStatusBar* StatusBar1 = nullptr;
  QLabel* StatusPanel[7] = {};
  QLabel* EncodingPanel = nullptr;  // status panel kEncodingPanel

  QMenuBar* MainMenu1 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QAction* Open1 = nullptr;
  QAction* Close1 = nullptr;
  QAction* SaveAs1 = nullptr;
  QAction* Exit1 = nullptr;
  QAction* Find2 = nullptr;
  QAction* N10 = nullptr;
  QAction* N11 = nullptr;
  QAction* N12 = nullptr;
  QAction* N8 = nullptr;
  QAction* L1 = nullptr;
  QAction* Font1 = nullptr;
  QAction* DspLine = nullptr;
  QAction* TabNoSet = nullptr;
  QMenu* Code1 = nullptr;  // 表示 > 文字コード(&E)
  // Its radio items: 自動判別, Shift_JIS, UTF-8, EUC-JP.
  QAction* CodeItem[6] = {};
  QAction* Tail1 = nullptr;  // 末尾を追従: follow mode of the current tab
  QAction* Ranpok1 = nullptr;
  QAction* About1 = nullptr;
  QAction* Open2 = nullptr;
  QAction* Close2 = nullptr;
  QAction* Copy1 = nullptr;
  QAction* WinSelect = nullptr;
  // Ending an open while its index is built: a status-bar button and Esc.
  QPushButton* IndexCancel = nullptr;
  QAction* IndexCancelKey = nullptr;
  QFontDialog* FontDialog1 = nullptr;  // only while Font1Click runs

 public slots:
  void Open1Click();
  void Close1Click();
  void SaveAs1Click();
  void Exit1Click();
  void Find2Click();
  void N10Click();
  void N11Click();
  void N12Click();
  void N8Click();
  void L1Click();
  void Font1Click();
  void FontDialog1Apply();
  void DspLineClick();
  void CodeClick(int choice);
  void TabNoSetClick();
  void Ranpok1Click();
  void About1Click();
  void Open2Click() { Open1Click(); }
  void Close2Click() { Close1Click(); }
  void Copy1Click();
  void WinSelectClick();
  void IndexCancelClick();
  void SpeedButton1Click() { Open1Click(); }
  void SpeedButton2Click() { SaveAs1Click(); }
  void SpeedButton3Click() { Find2Click(); }
  void Tail1Click();
  void ScrollF1Change() { ScrollFChange(); }
  void ScrollF2Change() { ScrollFChange(); }
  void ScrollF3Change() { ScrollFChange(); }
  void ScrollF4Change() { ScrollFChange(); }
  void ScrollHF1Change();
  void PageControl1Change();
  void PageControl1Resize();
  void ImageF1MouseDown(Qt::MouseButton button, int x, int y);
  void ImageF1MouseMove(int x, int y);
  void ImageF1MouseUp(Qt::MouseButton button, int x, int y);

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildToolBar();
  void BuildPages();
  void BuildStatusBar();
  void BuildMenus();
  void InstallHooks();
  void FormCreate(const QList<QByteArray>& params);
  void ShowBeforeOpening();
  // Sizes the window so that its frame follows the screen rule.
  void FitFrameToScreen();
  void FormClose();
  void ScrollFChange();
  void LayOutClient();
  void LayOutPage(int slot);
  void ScrollCurrentPage(int lines);
  // Gives the current page the focus that the log box got without a click.
  void FocusCurrentPage();
  // Lines to scroll for a wheel event (negative: up), with the rest of
  // earlier small steps added in.
  int WheelLines(const QWheelEvent& wheel);
  void SetStatus(int panel, const QString& text);
  void ShowSearchProgress(int line, int lineCount);
  // The current tab's index: count and share in the progress panel, the
  // cancel controls, and the search actions that wait for the whole file.
  void ShowIndexState();

  QWidget* client_ = nullptr;
  bool activatingPage_ = false;  // the program, not the user, changes the tab
  bool searchActive_ = false;    // a search is scanning
  bool closePending_ = false;    // a close came in during a scan
  bool built_ = false;           // all controls exist; resize handling may draw
  bool framePending_ = false;    // the window manager has not yet told the frame
  int wheelAngle_ = 0;           // wheel angle (1/8 degree) not yet scrolled
  int wheelPixels_ = 0;          // touchpad pixels not yet scrolled
  bool indexShown_ = false;      // the progress panel shows an index's progress
};

extern TRpEdit* RpEdit;
