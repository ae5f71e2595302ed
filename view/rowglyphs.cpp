#include "view/rowglyphs.h"

#include <QFontMetricsF>
#include <QGlyphRun>
#include <QList>
#include <QPaintDevice>
#include <QRawFont>
#include <QTextLayout>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

// What a UTF-16 unit draws as on its own. Advances are pixels in multiples
// of 1/64 (the layout's fixed point), so sums of them are exact in double.
struct Glyph {
  enum State : uint8_t { kUnknown, kSimple, kComplex };
  State state = kUnknown;
  uint16_t font = 0;  // into Cache::fonts
  quint32 index = 0;
  float advance = 0;            // exact: a multiple of 1/64 well below 2^17
  int32_t cell = kCellUnknown;  // into Cache::cells, or kNoCell
  static constexpr int32_t kCellUnknown = -1;
  static constexpr int32_t kNoCell = -2;
};

// The pixels a glyph of a whole-pixel advance leaves when drawn at a whole
// pixel on its part of drawText's opaque box: the rows the box covers (and
// any its ink reaches), from the cell's left edge to the next cell's. A
// glyph whose ink leaves that block, or whose pixels depend on what lay
// under it, has none.
struct Cell {
  int top = 0;  // the block's first row, from the baseline
  int rows = 0;
  int width = 0;
  std::vector<QRgb> pixels;  // rows x width
};

struct Cache {
  QFont font;
  int dpiX = 0;
  int dpiY = 0;
  double ascent = 0;  // of the primary font: the height of drawText's box
  double descent = 0;
  // What the cells were drawn with: the painter's pen and background.
  QRgb pen = 0;
  QRgb background = 0;
  QPainter::RenderHints hints;
  std::vector<QRawFont> fonts;
  std::vector<bool> fontsAlone;  // by font: EachGlyphAlone
  std::vector<Glyph> glyphs;     // by UTF-16 unit, 65,536 (1 MiB) once used
  std::vector<Cell> cells;
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

// Whether a table of OpenType layout rules (GSUB or GPOS) holds a feature
// of one of the tags; one that does not parse counts as holding them.
bool HasFeature(const QByteArray& table, std::initializer_list<const char*> tags) {
  if (table.isEmpty()) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(table.constData());
  const auto size = static_cast<size_t>(table.size());
  auto u16 = [bytes](size_t at) { return static_cast<size_t>(bytes[at] << 8 | bytes[at + 1]); };
  if (size < 10) return true;
  const size_t list = u16(6);  // the feature list: a count, then (tag, offset) records
  if (list == 0) return false;
  if (list + 2 > size || list + 2 + 6 * u16(list) > size) return true;
  for (size_t k = 0; k < u16(list); ++k) {
    for (const char* tag : tags) {
      if (std::memcmp(bytes + list + 2 + 6 * k, tag, 4) == 0) return true;
    }
  }
  return false;
}

// Whether the font draws every character the path takes (marks aside) as
// its own glyph at its own advance whatever its neighbours: no kerning
// ("AV"), no ligatures or contextual forms ("fi", "->"), no rules of the
// other layout tables. The page fonts have none; fonts the user picks may.
bool EachGlyphAlone(const QRawFont& font) {
  for (const char* table : {"kern", "kerx", "morx", "mort"}) {
    if (!font.fontTable(table).isEmpty()) return false;
  }
  return !HasFeature(font.fontTable("GPOS"), {"kern", "dist", "curs"}) &&
         !HasFeature(font.fontTable("GSUB"), {"liga", "clig", "calt", "rlig", "rclt"});
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
    cache.fontsAlone.push_back(EachGlyphAlone(raw));
  }
  if (!cache.fontsAlone[font]) return g;
  const double advance = positions[1].x() - positions[0].x();
  if (!(advance >= 0 && advance < 4096)) return g;
  g.state = Glyph::kSimple;
  g.font = static_cast<uint16_t>(font);
  g.index = indexes[0];
  g.advance = static_cast<float>(advance);
  return g;
}

// The cache for the painter's font, device and colours, emptied when any
// changed.
Cache& CacheFor(const QPainter& painter, QPaintDevice* device) {
  Cache& cache = TheCache();
  const QFont& font = painter.font();
  const int dpiX = device->logicalDpiX();
  const int dpiY = device->logicalDpiY();
  const QRgb pen = painter.pen().color().rgba();
  const QRgb background = painter.background().color().rgba();
  if (cache.glyphs.empty() || cache.dpiX != dpiX || cache.dpiY != dpiY || !(cache.font == font) ||
      cache.font.resolveMask() != font.resolveMask() || cache.pen != pen ||
      cache.background != background || cache.hints != painter.renderHints()) {
    cache.font = font;
    cache.dpiX = dpiX;
    cache.dpiY = dpiY;
    cache.pen = pen;
    cache.background = background;
    cache.hints = painter.renderHints();
    const QFontMetricsF metrics(font, device);
    cache.ascent = metrics.ascent();
    cache.descent = metrics.descent();
    cache.fonts.clear();
    cache.fontsAlone.clear();
    cache.glyphs.assign(65536, Glyph{});
    cache.cells.clear();
  }
  return cache;
}

// The glyph's box part and glyph drawn at (x, baseline), as a row draws them.
void DrawCell(QPainter& painter, const Cache& cache, const Glyph& g, int x, int baseline) {
  painter.fillRect(QRectF(x, baseline - cache.ascent, g.advance, cache.ascent + cache.descent),
                   QColor::fromRgba(cache.background));
  QGlyphRun run;
  run.setRawFont(cache.fonts[g.font]);
  run.setGlyphIndexes({g.index});
  run.setPositions({QPointF(x, baseline)});
  painter.drawGlyphRun(QPointF(0, 0), run);
}

// Draws the glyph alone twice, on two grounds no drawing gives; what
// changed is its block, which must be the same on both.
int32_t CaptureCell(Cache& cache, const Glyph& g) {
  const int width = static_cast<int>(g.advance);
  if (width <= 0 || static_cast<float>(width) != g.advance || cache.fonts.empty()) {
    return Glyph::kNoCell;
  }
  const int pad = 2 * static_cast<int>(std::ceil(cache.ascent + cache.descent)) + 8;
  const int baseline = pad + static_cast<int>(std::ceil(cache.ascent));
  const QRgb grounds[2] = {qRgb(3, 250, 120), qRgb(250, 5, 60)};
  const QSize size(width + 2 * pad, baseline + pad);
  static QImage drawn[2];  // kept from glyph to glyph: a page may meet hundreds
  for (int k = 0; k < 2; ++k) {
    if (drawn[k].size() != size) drawn[k] = QImage(size, QImage::Format_RGB32);
    drawn[k].fill(grounds[k]);
    QPainter p(&drawn[k]);
    p.setRenderHints(cache.hints);
    p.setPen(QColor::fromRgba(cache.pen));
    DrawCell(p, cache, g, pad, baseline);
  }
  int top = size.height();
  int bottom = -1;
  for (int y = 0; y < size.height(); ++y) {
    const auto* a = reinterpret_cast<const QRgb*>(drawn[0].constScanLine(y));
    const auto* b = reinterpret_cast<const QRgb*>(drawn[1].constScanLine(y));
    for (int x = 0; x < size.width(); ++x) {
      // Only the colour bits: RGB32 keeps 0xFF in the others.
      const bool changed = (a[x] ^ grounds[0]) & 0xFFFFFFu || (b[x] ^ grounds[1]) & 0xFFFFFFu;
      if (!changed) continue;
      if (x < pad || x >= pad + width || a[x] != b[x]) return Glyph::kNoCell;
      top = std::min(top, y);
      bottom = std::max(bottom, y);
    }
  }
  if (bottom < top) return Glyph::kNoCell;
  Cell cell;
  cell.top = top - baseline;
  cell.rows = bottom - top + 1;
  cell.width = width;
  cell.pixels.reserve(static_cast<size_t>(cell.rows) * static_cast<size_t>(width));
  for (int y = top; y <= bottom; ++y) {
    const auto* a = reinterpret_cast<const QRgb*>(drawn[0].constScanLine(y));
    for (int x = pad; x < pad + width; ++x) {
      if (((a[x] ^ grounds[0]) & 0xFFFFFFu) == 0) return Glyph::kNoCell;  // a hole in the block
      cell.pixels.push_back(a[x]);
    }
  }
  if (cache.cells.size() >= INT32_MAX) return Glyph::kNoCell;
  cache.cells.push_back(std::move(cell));
  return static_cast<int32_t>(cache.cells.size() - 1);
}

// The painter draws onto a raster the cells can be copied into as they are:
// 32-bit pixels, nothing between the painter and the pixels, and no other
// owner of them.
QImage* CellRaster(const QPainter& painter, QPaintDevice* device) {
  if (device->devType() != QInternal::Image) return nullptr;
  auto* image = static_cast<QImage*>(device);
  if (image->format() != QImage::Format_RGB32 || !image->isDetached()) return nullptr;
  if (painter.hasClipping() || !painter.transform().isIdentity() || painter.opacity() != 1.0 ||
      painter.compositionMode() != QPainter::CompositionMode_SourceOver ||
      painter.backgroundMode() != Qt::OpaqueMode || painter.pen().style() != Qt::SolidLine ||
      painter.background().style() != Qt::SolidPattern) {
    return nullptr;
  }
  return image;
}

// Pixels of a cell's row: most cells are one or two cells of a fixed grid,
// whose sizes the compiler copies without a call.
inline void CopyPixels(QRgb* out, const QRgb* in, int n) {
  if (n == 6) {
    std::memcpy(out, in, 6 * sizeof(QRgb));
  } else if (n == 12) {
    std::memcpy(out, in, 12 * sizeof(QRgb));
  } else if (n == 7) {
    std::memcpy(out, in, 7 * sizeof(QRgb));
  } else if (n == 14) {
    std::memcpy(out, in, 14 * sizeof(QRgb));
  } else {
    std::memcpy(out, in, static_cast<size_t>(n) * sizeof(QRgb));
  }
}

// Copies the cells of the glyphs from x (>= 0) on; false, with nothing
// copied, when a glyph has no cell.
bool CopyCells(Cache& cache, QImage& image, const std::vector<Glyph*>& glyphs, int x,
               int baseline) {
  if (x < 0) return false;
  static std::vector<const Cell*> cells;
  cells.clear();
  int top = INT_MAX;
  int bottom = INT_MIN;
  for (Glyph* g : glyphs) {
    if (g->cell == Glyph::kCellUnknown) g->cell = CaptureCell(cache, *g);
    if (g->cell < 0) return false;
  }
  // Pointers only once every cell is made: making one may move the others.
  for (const Glyph* g : glyphs) {
    const Cell* cell = &cache.cells[static_cast<size_t>(g->cell)];
    cells.push_back(cell);
    top = std::min(top, cell->top);
    bottom = std::max(bottom, cell->top + cell->rows);
  }
  const int width = image.width();
  const int height = image.height();
  uchar* bits = image.bits();
  const qsizetype line = image.bytesPerLine();
  // A scan line at a time across the row, into one run of the raster.
  for (int row = top; row < bottom; ++row) {
    const int y = baseline + row;
    if (y < 0 || y >= height) continue;
    QRgb* out = reinterpret_cast<QRgb*>(bits + y * line) + x;
    int at = x;
    for (const Cell* cell : cells) {
      const int n = std::min(cell->width, width - at);
      if (n <= 0) break;
      const int r = row - cell->top;
      if (r >= 0 && r < cell->rows) {
        CopyPixels(out, cell->pixels.data() + static_cast<size_t>(r) * cell->width, n);
      }
      out += cell->width;
      at += cell->width;
    }
  }
  return true;
}

}  // namespace

bool DrawRowGlyphs(QPainter& painter, int x, int baseline, const QString& text, int right) {
  QPaintDevice* device = painter.device();
  if (device == nullptr) return false;
  Cache& cache = CacheFor(painter, device);
  // First every glyph up to the right edge is known to be plain: a row is
  // drawn wholly one way.
  static std::vector<Glyph*> shown;
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
  // Copying each glyph's pixels is the fastest, where they are known.
  QImage* raster = CellRaster(painter, device);
  if (raster != nullptr && CopyCells(cache, *raster, shown, x, baseline)) return true;
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
