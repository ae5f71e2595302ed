#include "view/rowglyphs.h"

#include <QFontMetricsF>
#include <QGlyphRun>
#include <QList>
#include <QPaintDevice>
#include <QRawFont>
#include <QTextLayout>
#include <cstdint>
#include <vector>

namespace {

// What a UTF-16 unit draws as on its own. Advances are pixels in multiples
// of 1/64 (the layout's fixed point), so sums of them are exact in double.
struct Glyph {
  enum State : uint8_t { kUnknown, kSimple, kComplex };
  State state = kUnknown;
  uint16_t font = 0;  // into Cache::fonts
  quint32 index = 0;
  float advance = 0;  // exact: a multiple of 1/64 well below 2^17
};

struct Cache {
  QFont font;
  int dpiX = 0;
  int dpiY = 0;
  double ascent = 0;  // of the primary font: the height of drawText's box
  double descent = 0;
  std::vector<QRawFont> fonts;
  std::vector<Glyph> glyphs;  // by UTF-16 unit, 65,536 (768 KiB) once used
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

// The scripts whose characters are drawn one glyph each, at the glyph's
// advance, without reordering or joining.
bool PlainScript(QChar::Script script) {
  switch (script) {
    case QChar::Script_Common:
    case QChar::Script_Latin:
    case QChar::Script_Greek:
    case QChar::Script_Cyrillic:
    case QChar::Script_Han:
    case QChar::Script_Hiragana:
    case QChar::Script_Katakana:
      return true;
    default:
      return false;
  }
}

bool PlainCharacter(QChar c) {
  if (c.isSurrogate() || c.unicode() == 0xFFFC) return false;  // pairs; an object's stand-in
  switch (c.category()) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
      return false;
    default:
      break;
  }
  switch (c.direction()) {
    case QChar::DirL:
    case QChar::DirEN:
    case QChar::DirES:
    case QChar::DirET:
    case QChar::DirCS:
    case QChar::DirWS:
    case QChar::DirON:
      break;
    default:
      return false;
  }
  return PlainScript(c.script());
}

// Lays the character out twice in a row, as drawText would lay out any
// text: one run of two glyphs gives its font, its glyph and its advance.
Glyph LookUp(Cache& cache, QChar c, QPaintDevice* device) {
  Glyph g;
  g.state = Glyph::kComplex;
  if (!PlainCharacter(c)) return g;
  QTextLayout layout(QString(2, c), cache.font, device);
  layout.beginLayout();
  QTextLine line = layout.createLine();
  layout.endLayout();
  if (!line.isValid()) return g;
  const QList<QGlyphRun> runs = layout.glyphRuns();
  if (runs.size() != 1) return g;
  const QList<quint32> indexes = runs[0].glyphIndexes();
  const QList<QPointF> positions = runs[0].positions();
  if (indexes.size() != 2 || positions.size() != 2 || indexes[0] != indexes[1]) return g;
  if (positions[0].y() != positions[1].y()) return g;
  const QRawFont raw = runs[0].rawFont();
  if (!raw.isValid() || raw.ascent() > cache.ascent || raw.descent() > cache.descent) return g;
  size_t font = 0;
  while (font < cache.fonts.size() && !(cache.fonts[font] == raw)) ++font;
  if (font == cache.fonts.size()) {
    if (font > UINT16_MAX) return g;
    cache.fonts.push_back(raw);
  }
  const double advance = positions[1].x() - positions[0].x();
  if (!(advance >= 0 && advance < 4096)) return g;
  g.state = Glyph::kSimple;
  g.font = static_cast<uint16_t>(font);
  g.index = indexes[0];
  g.advance = static_cast<float>(advance);
  return g;
}

// The cache for the painter's font and device, emptied when either changed.
Cache& CacheFor(const QFont& font, QPaintDevice* device) {
  Cache& cache = TheCache();
  const int dpiX = device->logicalDpiX();
  const int dpiY = device->logicalDpiY();
  if (cache.glyphs.empty() || cache.dpiX != dpiX || cache.dpiY != dpiY || !(cache.font == font) ||
      cache.font.resolveMask() != font.resolveMask()) {
    cache.font = font;
    cache.dpiX = dpiX;
    cache.dpiY = dpiY;
    const QFontMetricsF metrics(font, device);
    cache.ascent = metrics.ascent();
    cache.descent = metrics.descent();
    cache.fonts.clear();
    cache.glyphs.assign(65536, Glyph{});
  }
  return cache;
}

}  // namespace

bool DrawRowGlyphs(QPainter& painter, int x, int baseline, const QString& text, int right) {
  QPaintDevice* device = painter.device();
  if (device == nullptr) return false;
  Cache& cache = CacheFor(painter.font(), device);
  // First every glyph up to the right edge is known to be plain: a row is
  // drawn wholly one way.
  static std::vector<const Glyph*> shown;
  shown.clear();
  double end = x;
  for (const QChar c : text) {
    if (end >= right) break;
    Glyph& g = cache.glyphs[c.unicode()];
    if (g.state == Glyph::kUnknown) g = LookUp(cache, c, device);
    if (g.state != Glyph::kSimple) return false;
    shown.push_back(&g);
    end += g.advance;
  }
  if (shown.empty()) return true;
  if (painter.backgroundMode() == Qt::OpaqueMode) {
    painter.fillRect(QRectF(x, baseline - cache.ascent, end - x, cache.ascent + cache.descent),
                     painter.background());
  }
  // One run a stretch of glyphs of one font.
  static QList<quint32> indexes;
  static QList<QPointF> positions;
  QGlyphRun run;
  double at = x;
  for (size_t i = 0; i < shown.size();) {
    const uint16_t font = shown[i]->font;
    indexes.clear();
    positions.clear();
    for (; i < shown.size() && shown[i]->font == font; ++i) {
      indexes.append(shown[i]->index);
      positions.append(QPointF(at, baseline));
      at += shown[i]->advance;
    }
    run.setRawFont(cache.fonts[font]);
    run.setGlyphIndexes(indexes);
    run.setPositions(positions);
    painter.drawGlyphRun(QPointF(0, 0), run);
  }
  return true;
}
