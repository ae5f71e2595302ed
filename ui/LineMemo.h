// A read-only list of text lines for hundreds of thousands of entries: the
// lines live in one QStringList and only the rows in view are painted. A
// QPlainTextEdit needs a layout per block and takes minutes for 500,000
// appended lines; this widget takes well under a second (ui_tests measure it).
#pragma once

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <any>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class LineMemo : public QAbstractScrollArea {
  Q_OBJECT
 public:
  explicit LineMemo(QWidget* parent = nullptr);

  const QStringList& Lines() const { return lines_; }
  int LineCount() const { return static_cast<int>(lines_.size()); }

  // Adds a line at the end and puts the caret on it. The screen follows at
  // most every kRepaintInterval ms (an immediate repaint, so that it shows
  // even while a long scan keeps the event loop from running) and on Flush.
  void AppendLine(const QString& line);
  // The same with what the owner keeps with the line: a small tag and
  // anything else (the search result window: a hit's encoding, and where its
  // text does not tell all, what it was made from). Clear frees them.
  void AppendLine(const QString& line, uint8_t tag, std::any extra);
  uint8_t LineTag(int line) const;            // 0 for a line appended without one
  const std::any* LineExtra(int line) const;  // nullptr when the line has nothing more
  // Brings scroll bars and screen up to date with every appended line.
  void Flush();
  // Empties the memo completely (no lines at all, not one empty line).
  void Clear();

  // The caret: a 0-based line index, always within the lines (0 when empty).
  int CaretLine() const { return caret_; }
  void SetCaretLine(int line);
  // The selection is nothing or a range of whole lines, from an anchor line
  // to the caret line. A click selects nothing and moves the anchor with
  // the caret; Shift+click, a drag or Shift+Up/Down extend the range.
  void SelectCaretLine() {
    selected_ = caret_ < LineCount();
    anchor_ = caret_;
    viewport()->update();
  }
  bool HasSelection() const { return selected_; }
  // Lines in the selection (0 without one).
  int SelectedLineCount() const;
  // The selected lines, joined by line feeds (none after a single line).
  QString SelectedText() const;
  // Puts the selected lines on the clipboard, each followed by a line feed
  // as a copy from the page does; without a selection, the caret line.
  void CopySelection();
  // Scrolls so that the line is in view.
  void EnsureVisible(int line);
  int TopLine() const;
  int RowHeight() const { return rowHeight_; }
  int VisibleRows() const;

  static constexpr int kRepaintInterval = 100;  // ms

 signals:
  // A mouse button went down on the memo; for the left button the caret
  // already stands at the pressed line.
  void mousePressedAfter(Qt::MouseButton button);
  // A key went down; emitted before the memo moves the caret for it.
  void keyPressedBefore(int key);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;

 private:
  void UpdateScrollBars();
  void Repaint();
  int LineAt(int y) const;

  // Extends the selection from the anchor to line, which becomes the caret.
  void ExtendSelection(int line);
  int SelectionFirst() const { return std::min(anchor_, caret_); }
  int SelectionLast() const { return std::min(std::max(anchor_, caret_), LineCount() - 1); }

  QStringList lines_;
  // Tags by line index, as long as the last tagged line; extras only for
  // the few lines that have them.
  std::vector<uint8_t> tags_;
  std::unordered_map<int, std::any> extras_;
  int caret_ = 0;
  int anchor_ = 0;  // the other end of the selection
  bool selected_ = false;
  int rowHeight_ = 1;
  // The line with the most characters, tracked cheaply while appending; its
  // pixel width sets the horizontal range (painting widens it if a shorter
  // line of wide characters turns out wider).
  int longestLine_ = -1;
  int widestPixels_ = 0;
  bool dirty_ = false;  // lines appended since the last repaint
  QElapsedTimer sinceRepaint_;
  QTimer pendingRepaint_;
};
