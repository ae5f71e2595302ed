// Page drawing, geometry, scrolling, selection and copy of the current slot.
//
// Units: rows and y in raster pixels; columns are display cells of a line as
// GetLine returns it (TABs expanded), in the document's encoding: a wide
// character is two columns in every encoding, and in Shift-JIS a column is a
// byte; lines are absolute and 0-based.
#include <QClipboard>
#include <QGuiApplication>
#include <QPainter>
#include <QSignalBlocker>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "view/highlights.h"
#include "view/longline.h"
#include "view/rowglyphs.h"
#include "view/shownlines.h"
#include "view/view.h"
#include "view/view_internal.h"

bool ShowLineNumbers = true;
int32_t TextMargin = 0;
double AverageCharWidth = 10.0;
bool RangeSelectionMode = false;

namespace {

constexpr int kTextOriginX = 10;
constexpr double kLineHeightFactor = 1.4;  // multiplies the size in points as if it were pixels
constexpr int kDefaultPageControlWidth = 890;
constexpr int kDefaultPageControlHeight = 566;

struct SlotControls {
  TabPage* tab = nullptr;
  PageImage* image = nullptr;
  PageScrollBar* vscroll = nullptr;
  PageScrollBar* hscroll = nullptr;
};
SlotControls g_controls[kSlotCount];

FileSlot& Current() { return SlotTable[CurrentSlot]; }

// The one painter of a page draw. Opening a QPainter per row costs more than
// drawing the row; a page draw opens one and the rows share it. Inversions
// work on the pixels directly and run only while no painter is open.
QPainter* g_pagePainter = nullptr;
QImage* g_pagePainterImage = nullptr;

class PagePainterScope {
 public:
  explicit PagePainterScope(PageImage* image) {
    if (image == nullptr || g_pagePainter != nullptr) return;
    painter_.begin(&image->Raster());
    painter_.setFont(image->CanvasFont());
    painter_.setPen(Qt::black);
    painter_.setBackground(Qt::white);
    painter_.setBackgroundMode(Qt::OpaqueMode);  // text is drawn on its own white box
    g_pagePainter = &painter_;
    g_pagePainterImage = &image->Raster();
    owner_ = true;
  }
  ~PagePainterScope() {
    if (!owner_) return;
    painter_.end();
    g_pagePainter = nullptr;
    g_pagePainterImage = nullptr;
  }
  PagePainterScope(const PagePainterScope&) = delete;
  PagePainterScope& operator=(const PagePainterScope&) = delete;

 private:
  QPainter painter_;
  bool owner_ = false;
};

double RowHeight(const PageImage& image) { return image.FontSize() * kLineHeightFactor; }

// Row tops are trunc(size x 1.4 x r): the product is truncated, not each height.
int RowTopOf(const PageImage& image, double row) {
  const double y = RowHeight(image) * row;
  if (y <= -1e9) return -1000000000;
  if (y >= 1e9) return 1000000000;
  return static_cast<int>(y);
}

// Clamps a real coordinate into int range before truncating (no UB for a
// selection far off the page).
int TruncClamp(double v) {
  if (v <= -1e9) return -1000000000;
  if (v >= 1e9) return 1000000000;
  return static_cast<int>(v);
}

// Inverts the pixels of the rectangle (right and bottom exclusive) that lie on
// the raster; doing it twice restores them exactly.
void InvertRect(PageImage* image, int left, int top, int right, int bottom) {
  if (image == nullptr) return;
  QImage& raster = image->Raster();
  const QRect r =
      QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)).intersected(raster.rect());
  if (r.isEmpty()) return;
  for (int y = r.top(); y <= r.bottom(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(raster.scanLine(y));
    for (int x = r.left(); x <= r.right(); ++x) line[x] ^= 0x00FFFFFFu;
  }
  image->update(r);
}

// Digits of the line-number column: nine hold every number below
// 1,000,000,000; a document with more lines gets a tenth for all its rows.
int LineNumberDigits() { return Current().LineCount >= 1000000000 ? 10 : 9; }

int FormatPrefix(int32_t line, char* out) {
  if (!ShowLineNumbers) {
    out[0] = ' ';
    return 1;
  }
  return std::snprintf(out, 32, " %*lld :  ", LineNumberDigits(),
                       static_cast<long long>(static_cast<int64_t>(line) + 1));
}

// The horizontal range found by the rows drawn since the page draw began;
// applied to the scroll bar once the rows are done (see FinishHorizontalRange).
int g_pageDrawDepth = 0;
bool g_maxRaised = false;

// Sets HScroll.Max to MaxLineWidth without letting the bar notify while the
// page is half drawn. When the new maximum pulls the position down, the page
// is drawn once more at the clamped column, as the deferred notification.
void FinishHorizontalRange() {
  if (!g_maxRaised) return;
  g_maxRaised = false;
  FileSlot& slot = Current();
  PageScrollBar* h = slot.HScroll;
  if (h == nullptr) return;
  const int before = h->value();
  {
    const QSignalBlocker blocker(h);
    h->setMaximum(slot.MaxLineWidth);
  }
  if (h->value() != before) DrawViewAtColumn(h->value());
}

// Byte offset in text where a row scrolled left by column cells begins, and
// the blanks that stand for the right half of a wide character the scroll
// cut in two, so that every later character keeps its column.
int ShownFrom(TextEncoding encoding, const char* text, int length, int32_t column, int* blanks) {
  *blanks = 0;
  if (column <= 0) return 0;
  if (encoding == TextEncoding::kCp932) {
    // One cell per byte: only a double-byte character can be cut.
    if (column >= length) return length;
    if (IsCharStart(encoding, text, static_cast<size_t>(length), static_cast<size_t>(column))) {
      return column;
    }
    *blanks = 1;
    return column + 1;
  }
  int pos = 0;
  int cell = 0;
  while (pos < length && cell < column) {
    const Cluster c = NextCluster(encoding, text + pos, length - pos);
    pos += c.length;
    cell += c.cells;
  }
  if (cell > column) *blanks = cell - column;
  return pos;
}

void DrawRowText(FileSlot& slot, int32_t line, int32_t column) {
  PageImage* image = slot.Image;
  if (image == nullptr) return;
  // A long line's row is read from its column on (below); its head is read
  // only to measure the character width.
  char text[kLineBufferSize];
  int length = 0;
  bool longLine = long_line::IsLong(slot, line);
  if (!longLine) {
    length = std::clamp(GetLineInto(slot, line, text), 0, kMaxLineText);
    longLine = length >= kMaxLineText;
  }
  char prefix[32];
  const int prefixLength = FormatPrefix(line, prefix);
  const int y = RowTopOf(*image, slot.DrawRow);
  slot.DrawRow += 1;
  // The horizontal range counts display cells, as the scroll position does.
  // A line GetLine may cut is counted whole (long_line keeps the count).
  const int64_t cells = longLine ? long_line::Cells(slot, line)
                                 : CellWidth(slot.Encoding, text, static_cast<size_t>(length));
  if (cells > slot.MaxLineWidth) {
    slot.MaxLineWidth = static_cast<int32_t>(std::min<int64_t>(cells, kMaxColumn));
    g_maxRaised = true;
    if (longLine && length == 0) length = std::max(long_line::HeadText(slot, line, text), 0);
    MeasureCharWidth(std::string(text, static_cast<size_t>(length)));
  }
  static QString row;  // reused: no allocation per row once it has grown
  row.resize(0);
  AppendCp932(row, prefix, prefixLength, true);
  // The text the row shows from (marks are found in it): GetLine's text
  // scrolled by from bytes, or for a long line the part in view.
  const char* shownText = text;
  int shownLength = length;
  int from = 0;
  int blanks = 0;
  std::string part;
  if (longLine) {
    // Only the cells in view are read and decoded: from the column's
    // cluster on, as many bytes as the raster's width can show.
    const long_line::RowStart start = long_line::StartAtColumn(slot, line, column);
    const double perCell = std::max(AverageCharWidth, 1.0);
    const size_t shown = static_cast<size_t>(image->Raster().width() / perCell) + 2;
    part = long_line::TextFrom(slot, line, start.raw, shown * 4 + 64);
    shownText = part.data();
    shownLength = static_cast<int>(part.size());
    blanks = static_cast<int>(std::min<int64_t>(start.blanks, 4096));
  } else {
    from = ShownFrom(slot.Encoding, text, length, column, &blanks);
  }
  row.append(QString(blanks, QLatin1Char(' ')));
  const qsizetype textStart = row.size();
  if (from < shownLength) {
    AppendDecoded(row, slot.Encoding, shownText + from, shownLength - from, true);
  }
  if (longLine) {
    // The text is laid out whole when drawn: what lies past the raster's
    // right edge is cut (twice the cells of the average width, for narrow
    // characters; the bytes read allow four a cell, for wide ones).
    const double perCell = std::max(AverageCharWidth, 1.0);
    const qsizetype fits = static_cast<qsizetype>(image->Raster().width() / perCell) * 2 + 16;
    if (row.size() > textStart + fits) row.truncate(textStart + fits);
  }

  {
    PagePainterScope scope(image);
    const int baseline = y + CanvasMetrics(*image).ascent();
    if (!DrawRowGlyphs(*g_pagePainter, kTextOriginX, baseline, row, image->Raster().width())) {
      g_pagePainter->drawText(QPoint(kTextOriginX, baseline), row);
    }
    PaintRowMarks(*g_pagePainter, *image, slot.Encoding, TextMargin, y,
                  RowTopOf(*image, slot.DrawRow) - y, shownText, shownLength, from, blanks);
  }
  if (g_pageDrawDepth == 0) {
    image->update();  // a page draw updates the whole image once, in ClearView
    FinishHorizontalRange();
  }
}

// Runs the rows of one page with one painter; the horizontal range settles
// once the rows are done.
template <typename Rows>
void DrawPageRows(FileSlot& slot, Rows rows) {
  ++g_pageDrawDepth;
  {
    PagePainterScope scope(slot.Image);
    ClearView();
    rows();
  }
  --g_pageDrawDepth;
}

// The lines of the page whose first row shows top: the shown lines from
// top on, as many as the page has rows.
const std::vector<int32_t>& PageLines(const FileSlot& slot, int32_t top) {
  static std::vector<int32_t> lines;
  LinesOfRows(slot, RowOfLine(slot, top), LinesPerPage(slot.Image), lines);
  return lines;
}

}  // namespace

// --- controls ---------------------------------------------------------------

ViewHooks& ViewHooksRef() {
  static ViewHooks hooks;
  return hooks;
}

void RegisterSlotControls(int slot, TabPage* tab, PageImage* image, PageScrollBar* vscroll,
                          PageScrollBar* hscroll) {
  if (slot < 0 || slot >= kSlotCount) return;
  g_controls[slot] = SlotControls{tab, image, vscroll, hscroll};
  for (PageScrollBar* bar : {vscroll, hscroll}) {
    if (bar == nullptr) continue;
    const QSignalBlocker blocker(bar);
    bar->setRange(0, 0);
    bar->setSingleStep(1);
  }
  if (hscroll != nullptr) hscroll->setPageStep(1);
}

void BindSlotControls(int slot) {
  if (slot < 0 || slot >= kSlotCount) return;
  FileSlot& s = SlotTable[slot];
  s.TabSheet = g_controls[slot].tab;
  s.Image = g_controls[slot].image;
  s.VScroll = g_controls[slot].vscroll;
  s.HScroll = g_controls[slot].hscroll;
}

void SetVerticalRange(FileSlot& slot) {
  if (slot.VScroll == nullptr) return;
  const int32_t count = ShownRows(slot);
  const QSignalBlocker blocker(slot.VScroll);
  slot.VScroll->setRange(0, count);
  slot.VScroll->setSingleStep(1);
  slot.VScroll->setPageStep(count / 20 + 1);
}

void SyncVerticalScroll(FileSlot& slot) {
  if (slot.VScroll == nullptr) return;
  SetVerticalRange(slot);
  const QSignalBlocker quiet(slot.VScroll);
  slot.VScroll->setValue(static_cast<int>(RowOfLine(slot, slot.TopLine)));
}

// --- geometry and metrics ---------------------------------------------------

void MeasureCharWidth(const std::string& text) {
  const FileSlot& slot = Current();
  PageImage* image = slot.Image;
  if (image == nullptr || text.empty()) return;
  const int cells = CellWidth(slot.Encoding, text.data(), text.size());
  if (cells <= 0) return;
  AverageCharWidth = static_cast<double>(TextWidthBytes(
                         *image, text.data(), static_cast<int>(text.size()), slot.Encoding)) /
                     static_cast<double>(cells);
}

void UpdateTextMetrics() {
  PageImage* image = Current().Image;
  if (image == nullptr) return;
  const std::string prefix =
      ShowLineNumbers ? std::string(static_cast<size_t>(LineNumberDigits()), ' ') + "0 :  "
                      : std::string(" ");
  TextMargin =
      TextWidthBytes(*image, prefix.data(), static_cast<int>(prefix.size())) + kTextOriginX;
  MeasureCharWidth(prefix);
}

void SetViewFont(const QFont& font) {
  PageImage* image = Current().Image;
  if (image == nullptr) return;
  image->SetCanvasFont(font);
  UpdateTextMetrics();
}

int LinesPerPage(PageImage* image) {
  if (image == nullptr) return 0;
  const PageImage* canvas = Current().Image != nullptr ? Current().Image : image;
  const double h = RowHeight(*canvas);
  if (h <= 0) return 0;
  return static_cast<int>(image->height() / h);
}

int VisibleLinesPerPage(PageImage* image) {
  const int rows = LinesPerPage(image);
  if (rows <= 0 || image->parentWidget() == nullptr) return rows;
  const PageImage* canvas = Current().Image != nullptr ? Current().Image : image;
  const double h = RowHeight(*canvas);
  const int shown = image->parentWidget()->height() - image->y();
  return std::clamp(static_cast<int>(shown / h), 1, rows);
}

QRect ViewClientRect() {
  QSize size(kDefaultPageControlWidth, kDefaultPageControlHeight);
  if (ViewHooksRef().page_control_size) size = ViewHooksRef().page_control_size();
  return QRect(0, 0, std::max(size.width() - 30, 0), std::max(size.height() - 30, 0));
}

QString LineNumberPrefix(int32_t line) {
  char prefix[32];
  const int n = FormatPrefix(line, prefix);
  return QString::fromLatin1(prefix, n);
}

int RowTop(int row) {
  PageImage* image = Current().Image;
  return image == nullptr ? 0 : RowTopOf(*image, row);
}

int32_t ColumnAtX(int x) {
  const FileSlot& slot = Current();
  const double d = x - TextMargin > 0 ? x - TextMargin : 0;
  const int32_t left = std::max<int32_t>(slot.LeftColumn, 0);
  if (AverageCharWidth <= 0) return left;
  return std::max(TruncClamp(d / AverageCharWidth + left), 0);
}

int32_t LineAtY(int y) {
  const FileSlot& slot = Current();
  if (slot.Image == nullptr) return slot.TopLine;
  const double h = RowHeight(*slot.Image);
  if (h <= 0) return slot.TopLine;
  // A drag may leave the image upwards (negative y): the line stays >= 0.
  // Below, the line may pass the last one (rows under a short file) but not
  // the most lines a document holds, so that line + 1 never overflows.
  const double row = y / h + static_cast<double>(RowOfLine(slot, slot.TopLine));
  const double clamped = std::clamp(row, 0.0, static_cast<double>(kMaxLineCount));
  return std::min(LineOfRow(slot, static_cast<int64_t>(clamped)), kMaxLineCount);
}

int32_t ScrolledTopLine(const QScrollBar& bar, int64_t lines) {
  // In 64 bits: the bar's value plus a page near the end of a file of 2^31
  // lines does not fit in an int.
  return static_cast<int32_t>(
      std::clamp<int64_t>(int64_t{bar.value()} + lines, bar.minimum(), bar.maximum()));
}

// --- page drawing -----------------------------------------------------------

void ClearView() {
  FileSlot& slot = Current();
  slot.DrawRow = 0;
  PageImage* image = slot.Image;
  if (image == nullptr) return;
  const QRect r = ViewClientRect().intersected(image->Raster().rect());
  if (g_pagePainter != nullptr && g_pagePainterImage == &image->Raster()) {
    g_pagePainter->fillRect(r, Qt::white);
  } else {
    QPainter painter(&image->Raster());
    painter.fillRect(r, Qt::white);
  }
  image->update();
}

void RefreshView() {
  PageImage* image = Current().Image;
  if (image != nullptr) image->repaint();
}

void DrawLine(int32_t line) { DrawRowText(Current(), line, 0); }

void DrawLineShifted(int32_t column, int32_t line) { DrawRowText(Current(), line, column); }

void DrawView(int32_t topLine, bool setScrollPosition) {
  FileSlot& slot = Current();
  if (slot.ViewBase == nullptr || slot.Image == nullptr) return;
  if (topLine < 0) topLine = 0;
  // A filtered tab shows its first shown line at or after the one asked for.
  topLine = SnapToShown(slot, topLine);
  UpdateTextMetrics();
  if (setScrollPosition && slot.VScroll != nullptr) {
    // The scroll bar's change handler would only draw this same page once
    // more before the draw below; moving the bar quietly draws it once.
    const QSignalBlocker quiet(slot.VScroll);
    slot.VScroll->setValue(static_cast<int>(RowOfLine(slot, topLine)));
  }
  slot.MaxLineWidth = 0;
  const QString shown = QString::number(static_cast<int64_t>(topLine) + 1);
  if (ViewHooksRef().set_jump_field) ViewHooksRef().set_jump_field(shown);
  if (ViewHooksRef().set_top_line_status) ViewHooksRef().set_top_line_status(shown);
  const std::vector<int32_t>& lines = PageLines(slot, topLine);
  g_maxRaised = false;
  DrawPageRows(slot, [&] {
    for (const int32_t i : lines) {
      try {
        if (slot.LeftColumn > 0) {
          DrawLineShifted(slot.LeftColumn, i);
        } else {
          DrawLine(i);
        }
      } catch (...) {
        // One line that cannot be drawn leaves its row blank; the page goes on.
      }
    }
  });
  const int64_t oldTop = RowOfLine(slot, slot.TopLine);
  slot.TopLine = topLine;
  FollowVerticalScroll(static_cast<int32_t>(
      std::clamp<int64_t>(RowOfLine(slot, topLine) - oldTop, INT32_MIN, INT32_MAX)));
  FinishHorizontalRange();
}

void DrawViewAtColumn(int32_t leftColumn) {
  FileSlot& slot = Current();
  if (slot.Image == nullptr) return;
  if (leftColumn < 0) leftColumn = 0;
  slot.DrawRow = 0;
  const std::vector<int32_t>& lines = PageLines(slot, slot.TopLine);
  g_maxRaised = false;
  DrawPageRows(slot, [&] {
    for (const int32_t i : lines) {
      try {
        DrawLineShifted(leftColumn, i);
      } catch (...) {
      }
    }
  });
  const int32_t oldLeft = slot.LeftColumn;
  slot.LeftColumn = leftColumn;
  FollowHorizontalScroll(leftColumn - oldLeft);
  FinishHorizontalRange();
}

void ResetHorizontalScroll() {
  FileSlot& slot = Current();
  slot.LeftColumn = 0;
  if (slot.HScroll == nullptr) return;
  const QSignalBlocker quiet(slot.HScroll);
  slot.HScroll->setRange(0, 0);
}

// --- selection --------------------------------------------------------------

namespace {

bool HasSelectionEnd(const FileSlot& slot) {
  return slot.SelEndLine >= 0 && slot.SelStartLine >= 0;
}

bool HasSomethingToCopy(const FileSlot& slot) {
  return HasSelectionEnd(slot) && slot.SelEndColumn >= 0 && slot.SelStartColumn >= 0;
}

}  // namespace

// The cells a column block takes on one line: from the first cell of the
// cluster that holds column lo to the last cell of the one that holds hi,
// so that the highlight shows whole characters, as the copy takes them.
// Columns past the line's end stay as they are.
void SnapBlockToCharacters(FileSlot& slot, int32_t line, int* lo, int* hi) {
  char text[kLineBufferSize];
  const int length = std::clamp(GetLineInto(slot, line, text), 0, kMaxLineText);
  int pos = 0;
  int cell = 0;
  while (pos < length && cell <= *hi) {
    const Cluster c = NextCluster(slot.Encoding, text + pos, length - pos);
    const int next = cell + c.cells;
    if (cell < *lo && *lo < next) *lo = cell;
    if (cell <= *hi && *hi < next) *hi = next - 1;
    pos += c.length;
    cell = next;
  }
}

void ToggleSelectionHighlight() {
  FileSlot& slot = Current();
  PageImage* image = slot.Image;
  if (image == nullptr || !HasSelectionEnd(slot)) return;
  const double h = RowHeight(*image);
  // In rows from the page's top: a filtered tab skips the hidden lines.
  const double top = static_cast<double>(RowOfLine(slot, slot.TopLine));
  const int64_t firstRow = RowOfLine(slot, std::min(slot.SelStartLine, slot.SelEndLine));
  const int64_t lastRow = RowOfLine(slot, std::max(slot.SelStartLine, slot.SelEndLine));
  const int height = image->Raster().height();
  auto rowTop = [&](double row) {
    const int y = TruncClamp(h * row);
    return std::clamp(y, 0, height);
  };
  if (!RangeSelectionMode) {
    InvertRect(image, TextMargin, rowTop(static_cast<double>(firstRow) - top),
               image->Raster().width(), rowTop(static_cast<double>(lastRow) + 1.0 - top));
    return;
  }
  // A block is inverted row by row: each row's span ends on its own
  // characters' edges. The rows share their boundaries, so the union is the
  // block's rectangle wherever the characters are one cell per column.
  const double shift = std::max<int32_t>(slot.LeftColumn, 0);
  const int rows = LinesPerPage(image) + 1;
  const int64_t from = std::max(firstRow, static_cast<int64_t>(top));
  const int64_t to = std::min<int64_t>(lastRow, static_cast<int64_t>(top) + rows);
  for (int64_t row = from; row <= to; ++row) {
    const int32_t line = LineOfRow(slot, row);
    int lo = std::min(slot.SelStartColumn, slot.SelEndColumn);
    int hi = std::max(slot.SelStartColumn, slot.SelEndColumn);
    SnapBlockToCharacters(slot, line, &lo, &hi);
    const int left = std::max(TruncClamp((lo - shift) * AverageCharWidth + TextMargin), TextMargin);
    const int right =
        std::max(TruncClamp((hi + 1 - shift) * AverageCharWidth + TextMargin), TextMargin);
    InvertRect(image, left, rowTop(static_cast<double>(row) - top), right,
               rowTop(static_cast<double>(row) + 1.0 - top));
  }
}

void BeginSelection(int x, int y) {
  FileSlot& slot = Current();
  // A blank tab has nothing to select: no anchor, so no drag inverts it.
  if (slot.ViewBase == nullptr) return;
  slot.SelStartColumn = ColumnAtX(x);
  slot.SelStartLine = LineAtY(y);
  slot.SelEndColumn = -1;
  slot.SelEndLine = -1;
}

void ExtendSelection(int x, int y) {
  FileSlot& slot = Current();
  if (slot.SelStartLine < 0) return;  // no anchor: nothing to extend
  ToggleSelectionHighlight();
  slot.SelEndColumn = ColumnAtX(x);
  slot.SelEndLine = LineAtY(y);
  ToggleSelectionHighlight();
}

void EndSelection(int x, int y) {
  FileSlot& slot = Current();
  if (slot.SelStartLine < 0) return;
  ToggleSelectionHighlight();
  slot.SelEndColumn = ColumnAtX(x);
  slot.SelEndLine = LineAtY(y);
  if (slot.SelStartColumn == slot.SelEndColumn && slot.SelStartLine == slot.SelEndLine) {
    slot.SelStartColumn = slot.SelStartLine = slot.SelEndColumn = slot.SelEndLine = -1;
    return;
  }
  ToggleSelectionHighlight();
}

void ResetSelection(bool forget) {
  FileSlot& slot = Current();
  if (forget) {
    slot.SelStartColumn = slot.SelStartLine = slot.SelEndColumn = slot.SelEndLine = -1;
  } else {
    ToggleSelectionHighlight();
  }
}

void FollowVerticalScroll(int32_t delta) {
  FileSlot& slot = Current();
  if (!HasSelectionEnd(slot)) return;
  // Rows, not lines: a filtered tab moves the end over shown lines only.
  const int64_t last = std::max<int64_t>(static_cast<int64_t>(ShownRows(slot)) - 1, 0);
  slot.SelEndLine =
      LineOfRow(slot, std::clamp<int64_t>(RowOfLine(slot, slot.SelEndLine) + delta, 0, last));
  ToggleSelectionHighlight();
}

void FollowHorizontalScroll(int32_t delta) {
  FileSlot& slot = Current();
  if (!HasSelectionEnd(slot)) return;
  if (slot.SelEndColumn >= 0) {
    slot.SelEndColumn = static_cast<int32_t>(
        std::clamp<int64_t>(static_cast<int64_t>(slot.SelEndColumn) + delta, 0, INT32_MAX));
  }
  ToggleSelectionHighlight();
}

void HighlightMatch(int32_t /*line*/, const std::string& lineText, int32_t matchStart,
                    int32_t matchEnd) {
  PageImage* image = Current().Image;
  if (image == nullptr) return;
  const TextEncoding encoding = Current().Encoding;
  auto widthOf = [&](int32_t count) {
    const int n = std::clamp<int64_t>(count, 0, static_cast<int64_t>(lineText.size()));
    return TextWidthBytes(*image, lineText.data(), n, encoding);
  };
  const int left = widthOf(matchStart) + TextMargin;
  const int right = widthOf(matchEnd) + TextMargin;
  InvertRect(image, left, 0, right, TruncClamp(RowHeight(*image)));
}

namespace {

// The cells the view shows at once, at least 1.
int64_t VisibleCells() {
  const double perCell = std::max(AverageCharWidth, 1.0);
  return std::max<int64_t>(static_cast<int64_t>((ViewClientRect().width() - TextMargin) / perCell),
                           1);
}

}  // namespace

int64_t ScrollToMatch(int32_t line, int64_t matchStart, int64_t matchEnd) {
  FileSlot& slot = Current();
  int64_t left = std::max<int32_t>(slot.LeftColumn, 0);
  if (slot.Image == nullptr || line < slot.TopLine || line >= slot.LineCount) return left;
  char text[kLineBufferSize];
  const int length = std::clamp(GetLineInto(slot, line, text), 0, kMaxLineText);
  auto cellOf = [&](int64_t offset) -> int64_t {
    if (length >= kMaxLineText) {
      return long_line::CellOfText(slot, line, static_cast<uint64_t>(offset));
    }
    const int64_t n = std::clamp<int64_t>(offset, 0, length);
    return CellWidth(slot.Encoding, text, static_cast<size_t>(n));
  };
  const int64_t first = cellOf(matchStart);
  const int64_t last = std::max(cellOf(std::max(matchEnd, matchStart)), first);
  const int64_t visible = VisibleCells();
  if (first >= left && last <= left + visible) return left;
  // A quarter of the view before the hit shows what leads to it.
  left = std::clamp<int64_t>(first - visible / 4, 0, kMaxColumn);
  if (slot.HScroll != nullptr) {
    const QSignalBlocker quiet(slot.HScroll);
    slot.HScroll->setMaximum(std::max(slot.HScroll->maximum(), static_cast<int>(left)));
    slot.HScroll->setValue(static_cast<int>(left));
  }
  DrawViewAtColumn(static_cast<int32_t>(left));
  return left;
}

void ShowMatch(int32_t line, int64_t matchStart, int64_t matchEnd) {
  FileSlot& slot = Current();
  PageImage* image = slot.Image;
  if (image == nullptr || line < slot.TopLine || line >= slot.LineCount) return;
  matchEnd = std::max(matchEnd, matchStart);
  const int64_t left = ScrollToMatch(line, matchStart, matchEnd);
  char text[kLineBufferSize];
  const int length = std::clamp(GetLineInto(slot, line, text), 0, kMaxLineText);
  const bool longLine = length >= kMaxLineText;
  const int64_t visible = VisibleCells();
  // The row's text as drawn: the blanks of a cut character, then the bytes
  // from the row's start up to the hit's end (or the view's).
  std::string row;
  int64_t rowText = 0;  // text offset of the first byte after the blanks
  size_t lead = 0;      // the blanks
  const size_t reach = static_cast<size_t>(visible) * 4 + 64;
  if (longLine) {
    const long_line::RowStart start = long_line::StartAtColumn(slot, line, left);
    lead = static_cast<size_t>(std::min<int64_t>(start.blanks, 4096));
    row.assign(lead, ' ');
    rowText = static_cast<int64_t>(start.text);
    const int64_t wanted = std::clamp<int64_t>(matchEnd - rowText, 0, static_cast<int64_t>(reach));
    row += long_line::TextFrom(slot, line, start.raw, static_cast<size_t>(wanted));
  } else {
    int blanks = 0;
    const int from = ShownFrom(slot.Encoding, text, length, static_cast<int32_t>(left), &blanks);
    lead = static_cast<size_t>(blanks);
    row.assign(lead, ' ');
    rowText = from;
    const int64_t end = std::clamp<int64_t>(matchEnd, from, length);
    row.append(text + from, static_cast<size_t>(end - from));
  }
  auto xOf = [&](int64_t offset) {
    const int64_t k = offset < rowText
                          ? 0
                          : std::min<int64_t>(static_cast<int64_t>(lead) + offset - rowText,
                                              static_cast<int64_t>(row.size()));
    return TextWidthBytes(*image, row.data(), static_cast<int>(k), slot.Encoding) + TextMargin;
  };
  // The hit's row on the page (a filtered tab shows only some lines).
  const double at = static_cast<double>(RowOfLine(slot, line) - RowOfLine(slot, slot.TopLine));
  InvertRect(image, xOf(matchStart), RowTopOf(*image, at), xOf(matchEnd), RowTopOf(*image, at + 1));
}

void HighlightRow(int row) {
  PageImage* image = Current().Image;
  if (image == nullptr) return;
  InvertRect(image, TextMargin, RowTopOf(*image, row), image->Raster().width(),
             RowTopOf(*image, static_cast<double>(row) + 1));
}

void CopySelection() {
  FileSlot& slot = Current();
  if (!HasSomethingToCopy(slot)) return;
  // Rows: a filtered tab copies the lines it shows. Only lines that exist
  // are copied: rows below the end of a short file add nothing.
  const int64_t first = RowOfLine(slot, std::min(slot.SelStartLine, slot.SelEndLine));
  const int64_t last = std::min<int64_t>(
      RowOfLine(slot, std::max(slot.SelStartLine, slot.SelEndLine)), int64_t{ShownRows(slot)} - 1);
  if (first > last) return;
  const int64_t count = last - first + 1;
  if (count > kMaxCopyLines) {
    if (ViewHooksRef().notice) {
      ViewHooksRef().notice(
          QStringLiteral("選択範囲が大きすぎます。コピーできるのは 1,000,000 行までです。"));
    }
    return;
  }
  const int c1 = std::max(std::min(slot.SelStartColumn, slot.SelEndColumn), 0);
  const int c2 = std::max(std::max(slot.SelStartColumn, slot.SelEndColumn), 0);
  // One growing buffer of bytes, decoded once at the end. Lines GetLine may
  // cut are taken whole from the store. Past the limit nothing more is
  // taken, only counted, so that the refusal can say how large it was.
  std::string bytes;
  bytes.reserve(static_cast<size_t>(std::min<int64_t>(count * 64, int64_t{64} << 20)));
  char text[kLineBufferSize];
  char cut[kLineBufferSize];
  uint64_t total = 0;
  for (int64_t row = first; row <= last; ++row) {
    const int32_t i = LineOfRow(slot, row);
    std::string* out = total <= kMaxCopyBytes ? &bytes : nullptr;
    const int length = std::clamp(GetLineInto(slot, i, text), 0, kMaxLineText);
    if (length >= kMaxLineText) {
      // Counted first: a line too large for the limit is never read whole.
      const uint64_t size = RangeSelectionMode ? long_line::BlockText(slot, i, c1, c2, nullptr)
                                               : long_line::WholeText(slot, i, nullptr);
      if (total + size > kMaxCopyBytes) out = nullptr;
      if (out != nullptr && RangeSelectionMode) long_line::BlockText(slot, i, c1, c2, out);
      if (out != nullptr && !RangeSelectionMode) long_line::WholeText(slot, i, out);
      total += size;
    } else if (RangeSelectionMode) {
      const int n = CutColumns(text, length, c1, c2, cut, slot.Encoding);
      if (out != nullptr) out->append(cut, static_cast<size_t>(n));
      total += static_cast<uint64_t>(n);
    } else {
      if (out != nullptr) out->append(text, static_cast<size_t>(length));
      total += static_cast<uint64_t>(length);
    }
    if (out != nullptr) out->push_back('\n');
    total += 1;
  }
  if (total > kMaxCopyBytes) {
    std::string().swap(bytes);
    // Sizes with thousands separators, as the line limit's message writes them.
    auto grouped = [](uint64_t n) {
      QString digits = QString::number(static_cast<qulonglong>(n));
      for (qsizetype at = digits.size() - 3; at > 0; at -= 3) digits.insert(at, QLatin1Char(','));
      return digits;
    };
    const QString text =
        QStringLiteral("選択範囲が大きすぎます (%1 バイト)。コピーできるのは %2 バイトまでです。")
            .arg(grouped(total), grouped(kMaxCopyBytes));
    if (ViewHooksRef().log) ViewHooksRef().log(text);
    if (ViewHooksRef().notice) ViewHooksRef().notice(text);
    return;
  }
  const QString decoded =
      DecodeText(slot.Encoding, bytes.data(), static_cast<int>(bytes.size()), false);
  std::string().swap(bytes);
  try {
    QGuiApplication::clipboard()->setText(decoded);
  } catch (...) {
    // A clipboard that refuses the text leaves it as it was; nothing to tell.
  }
}
