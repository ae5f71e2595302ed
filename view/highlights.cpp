#include "view/highlights.h"

#include <QPainter>
#include <algorithm>
#include <string>

#include "view/view.h"
#include "view/view_internal.h"

RowMarker& RowMarks() {
  static RowMarker marker;
  return marker;
}

void PaintRowMarks(QPainter& painter, const PageImage& image, TextEncoding encoding, int x, int y,
                   int height, const char* text, int length, int from, int blanks) {
  if (!RowMarks()) return;
  static std::vector<MarkSpan> spans;
  spans.clear();
  RowMarks()(encoding, text, length, spans);
  if (spans.empty()) return;
  const std::string pad(static_cast<size_t>(std::max(blanks, 0)), ' ');
  const int origin = x + TextWidthBytes(image, pad.data(), static_cast<int>(pad.size()));
  auto at = [&](int32_t offset) {
    const int n = std::clamp<int32_t>(offset, from, length) - from;
    return origin + TextWidthBytes(image, text + from, n, encoding);
  };
  painter.save();
  // Darken keeps the black glyphs and turns the white around them into the
  // colour.
  painter.setCompositionMode(QPainter::CompositionMode_Darken);
  for (const MarkSpan& span : spans) {
    if (span.end <= from || span.end <= span.start) continue;
    const int left = at(std::max(span.start, from));
    const int right = at(span.end);
    if (right > left) painter.fillRect(left, y, right - left, height, QColor::fromRgb(span.colour));
  }
  painter.restore();
}
