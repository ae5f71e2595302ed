// Coloured marks on the page: spans of a row's text painted in a colour of
// their own under the text (the text stays black), for the occurrences of
// the last search and of the user's highlight rules. What to mark comes from
// outside the view (RowMarks); the view paints it on every row it draws.
#pragma once

#include <QRgb>
#include <cstdint>
#include <functional>
#include <vector>

#include "store/encoding.h"

class PageImage;
class QPainter;

struct MarkSpan {
  int32_t start = 0;  // bytes of the line's text, end exclusive
  int32_t end = 0;
  QRgb colour = 0;
};

// The marks of one line's text (bytes of the encoding), in any order; later
// spans paint over earlier ones. Unset: no marks.
using RowMarker = std::function<void(TextEncoding encoding, const char* text, int length,
                                     std::vector<MarkSpan>&)>;
RowMarker& RowMarks();

// Paints the marks of a row drawn at y (height pixels) whose text begins at
// x with its first `from` bytes scrolled away and `blanks` blanks before
// the rest (a wide character cut by the scroll).
void PaintRowMarks(QPainter& painter, const PageImage& image, TextEncoding encoding, int x, int y,
                   int height, const char* text, int length, int from, int blanks);
