#include "ui/LineMemo.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

namespace {
constexpr int kTextMargin = 2;  // pixels left of every line
}

LineMemo::LineMemo(QWidget* parent) : QAbstractScrollArea(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  rowHeight_ = std::max(1, fontMetrics().height());
  pendingRepaint_.setSingleShot(true);
  pendingRepaint_.setInterval(kRepaintInterval);
  connect(&pendingRepaint_, &QTimer::timeout, this, &LineMemo::Flush);
  sinceRepaint_.start();
}

void LineMemo::AppendLine(const QString& line) {
  lines_.append(line);
  caret_ = LineCount() - 1;
  anchor_ = caret_;
  selected_ = false;
  if (longestLine_ < 0 || line.size() > lines_[longestLine_].size()) {
    longestLine_ = caret_;
    widestPixels_ = std::max(widestPixels_, fontMetrics().horizontalAdvance(line));
  }
  dirty_ = true;
  if (sinceRepaint_.elapsed() >= kRepaintInterval) {
    Flush();
  } else if (!pendingRepaint_.isActive()) {
    pendingRepaint_.start();
  }
}

void LineMemo::AppendLine(const QString& line, uint8_t tag, std::any extra) {
  const int index = LineCount();
  if (tag != 0) {
    tags_.resize(static_cast<size_t>(index) + 1, 0);
    tags_.back() = tag;
  }
  if (extra.has_value()) extras_[index] = std::move(extra);
  AppendLine(line);
}

uint8_t LineMemo::LineTag(int line) const {
  return line >= 0 && static_cast<size_t>(line) < tags_.size() ? tags_[line] : 0;
}

const std::any* LineMemo::LineExtra(int line) const {
  const auto it = extras_.find(line);
  return it == extras_.end() ? nullptr : &it->second;
}

void LineMemo::Flush() {
  pendingRepaint_.stop();
  dirty_ = false;
  UpdateScrollBars();
  EnsureVisible(caret_);
  Repaint();
}

void LineMemo::Clear() {
  lines_.clear();
  std::vector<uint8_t>().swap(tags_);
  std::unordered_map<int, std::any>().swap(extras_);
  caret_ = 0;
  anchor_ = 0;
  selected_ = false;
  longestLine_ = -1;
  widestPixels_ = 0;
  horizontalScrollBar()->setValue(0);
  Flush();
}

void LineMemo::SetCaretLine(int line) {
  caret_ = std::clamp(line, 0, std::max(0, LineCount() - 1));
  anchor_ = caret_;
  selected_ = false;
  EnsureVisible(caret_);
  viewport()->update();
}

void LineMemo::ExtendSelection(int line) {
  if (LineCount() == 0) return;
  if (!selected_) anchor_ = caret_;
  caret_ = std::clamp(line, 0, LineCount() - 1);
  selected_ = true;
  EnsureVisible(caret_);
  viewport()->update();
}

int LineMemo::SelectedLineCount() const {
  if (!selected_ || LineCount() == 0) return 0;
  return SelectionLast() - SelectionFirst() + 1;
}

QString LineMemo::SelectedText() const {
  if (SelectedLineCount() == 0) return QString();
  return lines_.mid(SelectionFirst(), SelectedLineCount()).join(QLatin1Char('\n'));
}

void LineMemo::CopySelection() {
  QString text;
  if (SelectedLineCount() > 0) {
    text = SelectedText() + QLatin1Char('\n');
  } else if (caret_ < LineCount()) {
    text = lines_[caret_] + QLatin1Char('\n');
  } else {
    return;
  }
  QApplication::clipboard()->setText(text);
}

int LineMemo::TopLine() const { return verticalScrollBar()->value(); }

int LineMemo::VisibleRows() const { return std::max(1, viewport()->height() / rowHeight_); }

void LineMemo::EnsureVisible(int line) {
  if (dirty_) UpdateScrollBars();
  QScrollBar* bar = verticalScrollBar();
  if (line < bar->value()) {
    bar->setValue(line);
  } else if (line >= bar->value() + VisibleRows()) {
    bar->setValue(line - VisibleRows() + 1);
  }
}

void LineMemo::UpdateScrollBars() {
  const int rows = VisibleRows();
  QScrollBar* v = verticalScrollBar();
  v->setRange(0, std::max(0, LineCount() - rows));
  v->setPageStep(rows);
  v->setSingleStep(1);
  QScrollBar* h = horizontalScrollBar();
  const int width = viewport()->width();
  h->setRange(0, std::max(0, widestPixels_ + 2 * kTextMargin - width));
  h->setPageStep(std::max(1, width));
  h->setSingleStep(std::max(1, fontMetrics().averageCharWidth() * 4));
}

void LineMemo::Repaint() {
  sinceRepaint_.restart();
  // repaint() paints now, which matters while a search holds the event loop;
  // for a hidden window it is a no-op.
  if (isVisible()) {
    viewport()->repaint();
  } else {
    viewport()->update();
  }
}

int LineMemo::LineAt(int y) const { return TopLine() + std::max(0, y) / rowHeight_; }

void LineMemo::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const QPalette& pal = palette();
  const int first = TopLine();
  const int last = std::min(LineCount(), first + VisibleRows() + 1);
  const int dx = kTextMargin - horizontalScrollBar()->value();
  const int ascent = fontMetrics().ascent();
  int widest = widestPixels_;
  for (int line = first; line < last; ++line) {
    const int y = (line - first) * rowHeight_;
    const QString& text = lines_[line];
    const bool selected = selected_ && line >= SelectionFirst() && line <= SelectionLast();
    if (selected) {
      painter.fillRect(QRect(0, y, viewport()->width(), rowHeight_), pal.highlight());
      painter.setPen(pal.color(QPalette::HighlightedText));
    } else {
      painter.setPen(
          pal.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    }
    painter.drawText(dx, y + ascent, text);
    widest = std::max(widest, fontMetrics().horizontalAdvance(text));
  }
  if (hasFocus() && caret_ >= first && caret_ < last) {
    painter.setPen(QPen(pal.color(QPalette::Text), 1, Qt::DotLine));
    const int y = (caret_ - first) * rowHeight_;
    painter.drawRect(QRect(0, y, viewport()->width() - 1, rowHeight_ - 1));
  }
  if (widest > widestPixels_) {
    // A line of wide characters outgrew the tracked longest one: widen the
    // horizontal range once the paint is over.
    widestPixels_ = widest;
    QTimer::singleShot(0, this, &LineMemo::UpdateScrollBars);
  }
}

void LineMemo::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  // Only the left button places the caret (and drops the selection); the
  // others leave both where they were.
  if (event->button() == Qt::LeftButton) {
    const int line = std::min(LineAt(static_cast<int>(event->position().y())), LineCount() - 1);
    if ((event->modifiers() & Qt::ShiftModifier) && LineCount() > 0) {
      ExtendSelection(line);
    } else {
      if (LineCount() > 0) caret_ = line;
      anchor_ = caret_;
      selected_ = false;
      viewport()->update();
    }
  }
  emit mousePressedAfter(event->button());
}

void LineMemo::mouseMoveEvent(QMouseEvent* event) {
  // A drag with the left button selects the lines from the press to the
  // pointer, scrolling when the pointer leaves the rows.
  if (!(event->buttons() & Qt::LeftButton) || LineCount() == 0) return;
  const int y = static_cast<int>(event->position().y());
  const int line = y < 0 ? TopLine() - 1 : LineAt(y);
  if (line == caret_ && selected_) return;
  ExtendSelection(line);
}

void LineMemo::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* copy = menu.addAction(QStringLiteral("コピー"), this, &LineMemo::CopySelection);
  copy->setShortcut(QKeySequence::Copy);
  copy->setEnabled(LineCount() > 0);
  menu.exec(event->globalPos());
}

void LineMemo::keyPressEvent(QKeyEvent* event) {
  emit keyPressedBefore(event->key());
  if (event->matches(QKeySequence::Copy)) {
    CopySelection();
    return;
  }
  if ((event->modifiers() & Qt::ShiftModifier) &&
      (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down)) {
    ExtendSelection(caret_ + (event->key() == Qt::Key_Up ? -1 : 1));
    return;
  }
  const int rows = VisibleRows();
  int target = caret_;
  switch (event->key()) {
    case Qt::Key_Up:
      target = caret_ - 1;
      break;
    case Qt::Key_Down:
      target = caret_ + 1;
      break;
    case Qt::Key_PageUp:
      target = caret_ - rows;
      break;
    case Qt::Key_PageDown:
      target = caret_ + rows;
      break;
    case Qt::Key_Home:
      if (!(event->modifiers() & Qt::ControlModifier)) {
        horizontalScrollBar()->setValue(0);
        return;
      }
      target = 0;
      break;
    case Qt::Key_End:
      if (!(event->modifiers() & Qt::ControlModifier)) return;
      target = LineCount() - 1;
      break;
    case Qt::Key_Left:
    case Qt::Key_Right:
      QAbstractScrollArea::keyPressEvent(event);
      return;
    default:
      event->ignore();
      return;
  }
  SetCaretLine(target);
}

void LineMemo::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBars();
}

void LineMemo::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) {
    rowHeight_ = std::max(1, fontMetrics().height());
    widestPixels_ = longestLine_ >= 0 ? fontMetrics().horizontalAdvance(lines_[longestLine_]) : 0;
    UpdateScrollBars();
  }
  QAbstractScrollArea::changeEvent(event);
}

void LineMemo::scrollContentsBy(int, int) { viewport()->update(); }
