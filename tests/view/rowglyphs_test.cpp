// Rows drawn as glyph runs must be pixel for pixel what drawText draws, on a
// page that is not white (the opaque box shows), in the page fonts; rows the
// glyph path cannot promise that for must be left to drawText.
#include <gtest/gtest.h>

#include <QFont>
#include <QImage>
#include <QPainter>
#include <string>

#include "view/rowglyphs.h"

namespace {

// The page's raster takes the glyphs' pixels as copies; other devices get
// them drawn.
QImage Canvas(QImage::Format format = QImage::Format_RGB32) {
  QImage image(700, 40, format);
  image.fill(QColor(200, 180, 160));
  return image;
}

void Prepare(QPainter& p, const QFont& font) {
  p.setFont(font);
  p.setPen(Qt::black);
  p.setBackground(Qt::white);
  p.setBackgroundMode(Qt::OpaqueMode);
}

std::string FirstDifference(const QImage& a, const QImage& b) {
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      if (a.pixel(x, y) != b.pixel(x, y)) {
        return "x " + std::to_string(x) + ", y " + std::to_string(y);
      }
    }
  }
  return "";
}

TEST(RowGlyphs, DrawTheSamePixelsAsDrawText) {
  struct Case {
    const char16_t* text;
    bool glyphs;  // the glyph path takes it
  };
  const Case cases[] = {
      {u" 123456789 :  ASCII text, AV To Ta fi ffl -- {}[]~|\\", true},
      {u"日本語のテキスト    タブの後　全角ＡＢＣ ａｂｃ", true},
      {u"ｶﾀｶﾅ半角ﾃｽﾄ ｱｲｳ ｰﾞﾟ", true},
      {u" 表示ソ能予十 第二バイト \u00B7", true},
      {u"bad byte \uFFFD", false},
      {u"丂丄丅 補助漢字 ΑΒΓ абв", true},
      {u"e\u0301 combining", false},
      {u"\U00020BB7野家 \U0001F363", false},
      {u"abc \u05D0\u05D1 right to left", false},
      {u"zero\u200Bwidth", false},
  };
  for (const auto format : {QImage::Format_RGB32, QImage::Format_ARGB32_Premultiplied})
    for (const char* family :
         {"ＭＳ 明朝 9", "ＭＳ ゴシック 9", "ＭＳ Ｐゴシック 9", "ＭＳ 明朝 14"}) {
      const QString name = QString::fromUtf8(family);
      const QFont font(name.section(QLatin1Char(' '), 0, 1),
                       name.section(QLatin1Char(' '), 2).toInt());
      for (const Case& c : cases) {
        const QString text = QString::fromStdU16String(c.text);
        SCOPED_TRACE(family + std::string(": ") + text.toStdString());
        QImage expected = Canvas(format);
        QImage actual = Canvas(format);
        {
          QPainter p(&expected);
          Prepare(p, font);
          p.drawText(QPoint(10, 20), text);
        }
        bool drawn = false;
        {
          QPainter p(&actual);
          Prepare(p, font);
          drawn = DrawRowGlyphs(p, 10, 20, text, actual.width());
          if (!drawn) p.drawText(QPoint(10, 20), text);
        }
        EXPECT_EQ(c.glyphs, drawn);
        EXPECT_EQ("", FirstDifference(expected, actual));
      }
    }
}

// A font the user may pick that kerns or joins letters ("AV", "fi", "->")
// draws its rows as drawText does, through drawText.
TEST(RowGlyphs, FontsThatKernOrJoinDrawAsDrawText) {
  for (const char* family : {"DejaVu Sans", "DejaVu Sans Mono", "DejaVu Serif"}) {
    const QFont font(QString::fromUtf8(family), 11);
    for (const char16_t* text : {u"AVAWAY To Ta LT fi ffl", u"-> != <= ===", u"Te Yo P."}) {
      SCOPED_TRACE(family + std::string(": ") + QString::fromStdU16String(text).toStdString());
      QImage expected = Canvas();
      QImage actual = Canvas();
      {
        QPainter p(&expected);
        Prepare(p, font);
        p.drawText(QPoint(10, 20), QString::fromStdU16String(text));
      }
      {
        QPainter p(&actual);
        Prepare(p, font);
        if (!DrawRowGlyphs(p, 10, 20, QString::fromStdU16String(text), actual.width())) {
          p.drawText(QPoint(10, 20), QString::fromStdU16String(text));
        }
      }
      EXPECT_EQ("", FirstDifference(expected, actual));
    }
  }
}

// Only what the raster can show is drawn, yet up to its right edge.
TEST(RowGlyphs, StopsAtTheRightEdge) {
  const QFont font(QStringLiteral("ＭＳ 明朝"), 9);
  const QString text = QString(400, QLatin1Char('W')) + QStringLiteral("日本");
  QImage expected = Canvas();
  QImage actual = Canvas();
  {
    QPainter p(&expected);
    Prepare(p, font);
    p.drawText(QPoint(10, 20), text);
  }
  {
    QPainter p(&actual);
    Prepare(p, font);
    ASSERT_TRUE(DrawRowGlyphs(p, 10, 20, text, actual.width()));
  }
  EXPECT_EQ("", FirstDifference(expected, actual));
}

}  // namespace
