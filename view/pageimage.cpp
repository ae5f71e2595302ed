// The raster widget of a tab and the mapping of the page fonts' names.
#include <QFont>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <cmath>
#include <optional>

#include "view/view.h"
#include "view/view_internal.h"

PageImage::PageImage(int width, int height, QWidget* parent)
    : QWidget(parent), size_(width, height), font_(QStringLiteral("ＭＳ 明朝"), 9) {
  setFixedSize(width, height);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

QImage& PageImage::Raster() {
  if (raster_.isNull()) {
    raster_ = QImage(size_, QImage::Format_RGB32);
    raster_.fill(Qt::white);
  }
  return raster_;
}

int PageImage::FontSize() const {
  if (font_.pointSize() > 0) return font_.pointSize();
  if (font_.pointSizeF() > 0) return static_cast<int>(std::lround(font_.pointSizeF()));
  // A font given in pixels: points at the raster's resolution.
  const int dpi = !raster_.isNull() && raster_.logicalDpiY() > 0 ? raster_.logicalDpiY() : 96;
  return font_.pixelSize() > 0 ? static_cast<int>(std::lround(font_.pixelSize() * 72.0 / dpi)) : 0;
}

void PageImage::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QRect r = event->rect();
  if (raster_.isNull()) {
    painter.fillRect(r, Qt::white);
    return;
  }
  painter.fillRect(r, palette().window());
  painter.drawImage(r.topLeft(), raster_, r);
}

void PageImage::mousePressEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  emit mousePressed(event->button(), p.x(), p.y());
}

void PageImage::mouseMoveEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  emit mouseMoved(p.x(), p.y());
}

void PageImage::mouseReleaseEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  emit mouseReleased(event->button(), p.x(), p.y());
}

const QFontMetrics& CanvasMetrics(const PageImage& image) {
  struct Cache {
    QFont font;
    int dpi = 0;
    std::optional<QFontMetrics> metrics;
  };
  static Cache cache;
  const QImage& raster = const_cast<PageImage&>(image).Raster();
  const int dpi = raster.logicalDpiY();
  if (!cache.metrics || cache.dpi != dpi || !(cache.font == image.CanvasFont()) ||
      cache.font.resolveMask() != image.CanvasFont().resolveMask()) {
    cache.font = image.CanvasFont();
    cache.dpi = dpi;
    cache.metrics.emplace(cache.font, &raster);
  }
  return *cache.metrics;
}

int TextWidthBytes(const PageImage& image, const char* bytes, int length, TextEncoding encoding) {
  if (length <= 0) return 0;
  static QString text;  // reused: measuring runs inside every page draw
  text.resize(0);
  AppendDecoded(text, encoding, bytes, length, true);
  return CanvasMetrics(image).horizontalAdvance(text);
}

void InstallFontSubstitutions() {
  QFont::insertSubstitution(QStringLiteral("ＭＳ 明朝"), QStringLiteral("IPAMincho"));
  QFont::insertSubstitution(QStringLiteral("ＭＳ ゴシック"), QStringLiteral("IPAGothic"));
  QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
}
