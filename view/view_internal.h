// Helpers shared by the view's own files; not part of its interface.
#pragma once

#include <QFontMetrics>
#include <QString>

#include "store/encoding.h"

class PageImage;

// CP932 lead bytes: 0x81..0x9F and 0xE0..0xFC.
bool IsCp932LeadByte(unsigned char b);
// One character with the zero-width characters after it (combining marks,
// variation selectors, joiners), which draw on it: the unit that a column
// block, a copy and a horizontal scroll never split. Zero-width characters
// at the start of text go with the first character after them.
struct Cluster {
  int length;  // bytes
  int cells;   // display cells
};
Cluster NextCluster(TextEncoding encoding, const char* text, int length);

// DecodeText appended to out, without a temporary string.
void AppendDecoded(QString& out, TextEncoding encoding, const char* bytes, int length,
                   bool stand_ins);
void AppendCp932(QString& out, const char* bytes, int length, bool stand_ins);

// Metrics of the image's canvas font, measured for the image as paint device.
// Cached: a page draw measures often and the font changes rarely.
const QFontMetrics& CanvasMetrics(const PageImage& image);
// Width in pixels of text bytes in the image's canvas font.
int TextWidthBytes(const PageImage& image, const char* bytes, int length,
                   TextEncoding encoding = TextEncoding::kCp932);
