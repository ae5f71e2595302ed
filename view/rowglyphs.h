// A row of the page drawn as glyph runs instead of laid-out text. The glyph
// and advance of every character met are looked up once for the painter's
// font and device and kept, so that a row costs its glyphs' blits and no
// shaping: a page of long lines draws a few hundred glyphs a row.
//
// The pixels are those of QPainter::drawText(QPoint, text): the same glyphs
// of the same fonts (the fallback font where the primary one lacks a
// character) at the same advances, on the same opaque box. Only characters
// that draw the same whatever their neighbours take this path; a row with
// any other is left to drawText.
#pragma once

#include <QPainter>
#include <QString>

// Draws text with its baseline's left end at (x, baseline), as drawText
// would, up to the first glyph that starts at or past right (pixels; what
// lies beyond is off the raster). False, with nothing drawn, when the text
// holds a character whose drawing may depend on its neighbours (marks,
// joiners, right-to-left or complex scripts, surrogates, controls) or whose
// fallback font is taller than the primary font (drawText's box would grow).
bool DrawRowGlyphs(QPainter& painter, int x, int baseline, const QString& text, int right);
