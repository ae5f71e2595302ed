// The text view: one page of the current slot's document drawn into the
// raster of that slot's tab, with its geometry, scrolling, selection and copy.
// Every operation acts on SlotTable[CurrentSlot] and its controls.
#pragma once

#include <QFont>
#include <QImage>
#include <QRect>
#include <QScrollBar>
#include <QString>
#include <QWidget>
#include <climits>
#include <cstdint>
#include <functional>
#include <string>

#include "store/slots.h"

// The raster of one tab: a QImage of fixed size with a font of its own (the
// canvas font), shown by this widget at its top-left corner.
class PageImage : public QWidget {
  Q_OBJECT
 public:
  PageImage(int width, int height, QWidget* parent = nullptr);
  // The raster's memory (4 MiB) is taken when the tab is first drawn on: a
  // tab that never shows a document costs none. Until then it reads as white.
  QImage& Raster();
  QSize RasterSize() const { return size_; }
  const QFont& CanvasFont() const { return font_; }
  void SetCanvasFont(const QFont& font) { font_ = font; }
  int FontSize() const;  // points, an integer (the geometry's "font size")

 signals:
  void mousePressed(Qt::MouseButton button, int x, int y);
  void mouseMoved(int x, int y);
  void mouseReleased(Qt::MouseButton button, int x, int y);

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;

 private:
  QSize size_;
  QImage raster_;  // null until first used
  QFont font_;
};

class PageScrollBar : public QScrollBar {
  Q_OBJECT
 public:
  using QScrollBar::QScrollBar;
};

class TabPage : public QWidget {
  Q_OBJECT
 public:
  using QWidget::QWidget;
};

// Shared settings (one for all tabs).
extern bool ShowLineNumbers;     // true at start
extern int32_t TextMargin;       // pixels; x where a line's own text begins
extern double AverageCharWidth;  // pixels per byte; 10.0 until the first draw
extern bool RangeSelectionMode;  // column-block selection (the WinSelect check mark)

// Where the view writes outside its raster; the main window fills these in.
struct ViewHooks {
  std::function<void(const QString&)> set_top_line_status;  // status panel 5
  std::function<void(const QString&)> set_jump_field;       // JumpPos, when the dialog exists
  std::function<QSize()> page_control_size;                 // PageControl1's size
  std::function<void(const QString&)> notice;               // a modal notice (copy too large)
  std::function<void(const QString&)> log;                  // a line of the execution log
};
ViewHooks& ViewHooksRef();

// Slot n's controls (TabSheetN+1, ImageFN+1, ScrollFN+1, ScrollHFN+1), made by
// the main window at start-up; BindSlotControls copies them into the slot.
void RegisterSlotControls(int slot, TabPage* tab, PageImage* image, PageScrollBar* vscroll,
                          PageScrollBar* hscroll);
void BindSlotControls(int slot);

// Geometry and metrics.
void UpdateTextMetrics();
// AverageCharWidth from a line's bytes in the current slot's encoding:
// pixels per display cell.
void MeasureCharWidth(const std::string& text);
void SetViewFont(const QFont& font);
int LinesPerPage(PageImage* image);
// Rows of the page that are wholly in sight: the raster is clipped by its
// frame when the window is smaller than the raster. At least 1, at most
// LinesPerPage.
int VisibleLinesPerPage(PageImage* image);
QRect ViewClientRect();
QString LineNumberPrefix(
    int32_t line);  // " %9d :  " with line + 1 (ten digits past 999,999,999 lines), or " "
// Top of page row r in pixels: trunc(font size x 1.4 x r), for the current slot.
int RowTop(int row);
// Byte column under raster x and line under raster y, for the current slot's
// TopLine and LeftColumn; both are never negative.
int32_t ColumnAtX(int x);
int32_t LineAtY(int y);
// The vertical bar's value moved by lines (negative: up), kept in its range.
int32_t ScrolledTopLine(const QScrollBar& bar, int64_t lines);
// The vertical scroll bar of a slot after its index is built: 0..LineCount,
// arrows 1 line, page LineCount / 20 + 1 lines. Sets no position and sends
// no notification.
void SetVerticalRange(FileSlot& slot);
// The same, and the bar's position at the slot's TopLine, without a
// notification: a tab shown again after changes while it was hidden.
void SyncVerticalScroll(FileSlot& slot);

// Page drawing and scrolling.
void DrawView(int32_t topLine, bool setScrollPosition);
void ClearView();
void RefreshView();
void DrawLine(int32_t line);
void DrawLineShifted(int32_t column, int32_t line);
void DrawViewAtColumn(int32_t leftColumn);
// LeftColumn 0 and the horizontal bar at 0 with no range, without a
// notification: a document opened or closed starts at column 0, and the bar
// must agree before the first line is drawn (the draw clamps to the bar).
void ResetHorizontalScroll();

// Selection, highlights and copy.
void BeginSelection(int x, int y);
void ExtendSelection(int x, int y);
void EndSelection(int x, int y);
void ResetSelection(bool forget);
void ToggleSelectionHighlight();
void FollowVerticalScroll(int32_t delta);
void FollowHorizontalScroll(int32_t delta);
void HighlightMatch(int32_t line, const std::string& lineText, int32_t matchStart,
                    int32_t matchEnd);
void HighlightRow(int row);
// Shows a search hit on line (the page's top row after DrawView): the page
// scrolls sideways when the hit is not wholly in view, and the hit's cells
// are inverted. matchStart and matchEnd are byte offsets of the line's
// whole text (SearchRun), of any size.
void ShowMatch(int32_t line, int64_t matchStart, int64_t matchEnd);
// The sideways part of ShowMatch alone: the page is drawn again a quarter
// of its width before the hit when the hit is not wholly in view (line on
// the page). Returns the left column the page stands at.
int64_t ScrollToMatch(int32_t line, int64_t matchStart, int64_t matchEnd);
// The largest column the horizontal range and scroll position take.
constexpr int64_t kMaxColumn = INT32_MAX - 1;
void CopySelection();
// A copy of more lines than this copies nothing and tells the user why.
constexpr int32_t kMaxCopyLines = 1000000;
// A copy of more bytes of text than this (line ends included) copies nothing
// and tells the user its size: the clipboard holds it twice over as UTF-16.
constexpr uint64_t kMaxCopyBytes = uint64_t{256} << 20;
// Copies the bytes of one line that lie in columns c1..c2 (display cells,
// widened to whole characters) to out; returns the count.
int CutColumns(const char* lineBytes, int length, int c1, int c2, char* out,
               TextEncoding encoding = TextEncoding::kCp932);

// Shift-JIS (CP932) bytes to Unicode, for drawing, measuring and the
// clipboard. A zero byte always becomes the visible stand-in U+00B7 (the
// clipboard never gets a NUL); with stand_ins an undecodable byte does too,
// so that the row still lines up, and without them it becomes U+FFFD.
QString DecodeCp932(const char* bytes, int length, bool stand_ins = true);
// The same for any of the document encodings.
QString DecodeText(TextEncoding encoding, const char* bytes, int length, bool stand_ins = true);
QByteArray EncodeCp932(const QString& text);

// Maps the page fonts' names ("ＭＳ 明朝", "ＭＳ ゴシック", "ＭＳ Ｐゴシック") to the
// installed IPA fonts. Called once at start-up, after the QApplication exists.
void InstallFontSubstitutions();
