#include "ui/LineMemo.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
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

void LineMemo::Flush() {
  pendingRepaint_.stop();
  dirty_ = false;
  UpdateScrollBars();
  EnsureVisible(caret_);
  Repaint();
}

void LineMemo::Clear() {
  lines_.clear();
  caret_ = 0;
  selected_ = false;
  longestLine_ = -1;
  widestPixels_ = 0;
  horizontalScrollBar()->setValue(0);
  Flush();
}

void LineMemo::SetCaretLine(int line) {
  caret_ = std::clamp(line, 0, std::max(0, LineCount() - 1));
  selected_ = false;
  EnsureVisible(caret_);
  viewport()->update();
}

QString LineMemo::SelectedText() const {
  return selected_ && caret_ < LineCount() ? lines_[caret_] : QString();
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
    const bool selected = selected_ && line == caret_;
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
    if (LineCount() > 0) {
      caret_ = std::min(LineAt(static_cast<int>(event->position().y())), LineCount() - 1);
    }
    selected_ = false;
    viewport()->update();
  }
  emit mousePressedAfter(event->button());
}

void LineMemo::keyPressEvent(QKeyEvent* event) {
  emit keyPressedBefore(event->key());
  if (event->matches(QKeySequence::Copy)) {
    if (caret_ < LineCount()) QApplication::clipboard()->setText(lines_[caret_]);
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
