// Helpers shared by the view's own files; not part of its interface.
#pragma once

#include <QFontMetrics>
#include <QString>

#include "store/encoding.h"

class PageImage;

// CP932 lead bytes: 0x81..0x9F and 0xE0..0xFC.
bool IsCp932LeadByte(unsigned char b);
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
