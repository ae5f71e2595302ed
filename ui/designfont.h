// Fonts as the windows' designs give them: a family and a height in pixels
// (the design's negative font heights), at 96 pixels per inch.
#pragma once

#include <QFont>
#include <QString>

inline QFont DesignFont(const QString& family, int pixelHeight, bool bold = false) {
  QFont font(family);
  font.setPixelSize(pixelHeight);
  font.setBold(bold);
  return font;
}

// The dialogs' own font.
inline QFont PGothic(int pixelHeight) {
  return DesignFont(QStringLiteral("ＭＳ Ｐゴシック"), pixelHeight);
}
