// Draws the program's icons into PNG files. Run once by hand when a drawing
// changes; the PNGs it writes are committed and built into the program:
//   g++ -std=c++20 -fPIC make_icons.cpp $(pkg-config --cflags --libs Qt6Gui) -o make_icons
//   QT_QPA_PLATFORM=offscreen ./make_icons icons
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>
#include <functional>

namespace {

using Drawing = std::function<void(QPainter&)>;

// Renders a drawing made in a design grid of designW x designH units into an
// image of width x height pixels.
bool Render(const QString& file, int width, int height, qreal designW, qreal designH,
            const Drawing& draw) {
  QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(width / designW, height / designH);
  draw(painter);
  painter.end();
  if (!image.save(file)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
    return false;
  }
  return true;
}

// An opening folder, 24 x 23 units: the back of the folder with its tab, a
// sheet sticking out, and the front flap tilted open.
void OpenFolder(QPainter& p) {
  const QColor outline(110, 80, 10);
  p.setPen(QPen(outline, 1));
  p.setBrush(QColor(230, 180, 50));
  QPainterPath back;
  back.moveTo(1.5, 5.5);
  back.lineTo(8.5, 5.5);
  back.lineTo(10.5, 7.5);
  back.lineTo(19.5, 7.5);
  back.lineTo(19.5, 20.5);
  back.lineTo(1.5, 20.5);
  back.closeSubpath();
  p.drawPath(back);
  p.setBrush(Qt::white);
  p.setPen(QPen(QColor(120, 120, 120), 1));
  p.drawRect(QRectF(4.5, 3.5, 12, 12));
  p.setPen(QPen(QColor(150, 150, 190), 1));
  for (qreal y = 6.5; y < 13; y += 2) p.drawLine(QPointF(6.5, y), QPointF(14.5, y));
  p.setPen(QPen(outline, 1));
  p.setBrush(QColor(250, 215, 90));
  QPainterPath flap;
  flap.moveTo(1.5, 20.5);
  flap.lineTo(5.5, 10.5);
  flap.lineTo(23.0, 10.5);
  flap.lineTo(19.5, 20.5);
  flap.closeSubpath();
  p.drawPath(flap);
}

// A floppy disk, 24 x 23 units: dark body, metal shutter at the top, paper
// label at the bottom.
void Floppy(QPainter& p) {
  p.setPen(QPen(QColor(20, 30, 70), 1));
  p.setBrush(QColor(50, 70, 150));
  QPainterPath body;
  body.moveTo(2.5, 1.5);
  body.lineTo(19.5, 1.5);
  body.lineTo(21.5, 3.5);
  body.lineTo(21.5, 21.5);
  body.lineTo(2.5, 21.5);
  body.closeSubpath();
  p.drawPath(body);
  p.setBrush(QColor(200, 205, 215));
  p.setPen(QPen(QColor(90, 95, 110), 1));
  p.drawRect(QRectF(6.5, 1.5, 11, 7));
  p.setBrush(QColor(50, 70, 150));
  p.setPen(Qt::NoPen);
  p.drawRect(QRectF(13.5, 2.5, 2.5, 5));
  p.setBrush(Qt::white);
  p.setPen(QPen(QColor(90, 95, 110), 1));
  p.drawRect(QRectF(5.5, 12.5, 13, 9));
  p.setPen(QPen(QColor(200, 60, 60), 1));
  p.drawLine(QPointF(7, 15), QPointF(17, 15));
  p.setPen(QPen(QColor(150, 150, 190), 1));
  p.drawLine(QPointF(7, 17.5), QPointF(17, 17.5));
  p.drawLine(QPointF(7, 19.5), QPointF(17, 19.5));
}

// Binoculars, 16 x 16 units: two barrels joined by a bridge, lenses below.
void Binoculars(QPainter& p) {
  const QColor body(40, 40, 45);
  p.setPen(Qt::NoPen);
  p.setBrush(body);
  p.drawRoundedRect(QRectF(2, 2, 4.5, 7), 1, 1);
  p.drawRoundedRect(QRectF(9.5, 2, 4.5, 7), 1, 1);
  p.drawRect(QRectF(6, 5, 4, 3));
  p.drawEllipse(QRectF(0.5, 7.5, 7, 7.5));
  p.drawEllipse(QRectF(8.5, 7.5, 7, 7.5));
  p.setBrush(QColor(110, 170, 230));
  p.drawEllipse(QRectF(2, 9.2, 4, 4));
  p.drawEllipse(QRectF(10, 9.2, 4, 4));
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(2.8, 9.8, 1.4, 1.4));
  p.drawEllipse(QRectF(10.8, 9.8, 1.4, 1.4));
}

// Follow the end, 24 x 23 units: a page whose last lines keep coming, with a
// green arrow pointing down onto a bar under the last line.
void FollowTail(QPainter& p) {
  p.setPen(QPen(QColor(120, 120, 120), 1));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(2.5, 1.5, 13, 20));
  p.setPen(QPen(QColor(150, 150, 190), 1));
  for (qreal y = 4.5; y < 15; y += 2.5) p.drawLine(QPointF(4.5, y), QPointF(13.5, y));
  p.setPen(QPen(QColor(60, 60, 60), 1.2));
  p.drawLine(QPointF(4.5, 17.5), QPointF(11.5, 17.5));
  const QColor green(30, 140, 60);
  p.setPen(Qt::NoPen);
  p.setBrush(green);
  QPainterPath arrow;
  arrow.moveTo(17.5, 2.5);
  arrow.lineTo(20.5, 2.5);
  arrow.lineTo(20.5, 12.5);
  arrow.lineTo(23.0, 12.5);
  arrow.lineTo(19.0, 17.5);
  arrow.lineTo(15.0, 12.5);
  arrow.lineTo(17.5, 12.5);
  arrow.closeSubpath();
  p.drawPath(arrow);
  p.drawRect(QRectF(14.5, 19, 9, 2.5));
}

// The program icon, 32 x 32 units: a tall stack of text pages behind a front
// page with many short lines and a marked line, for "a very long text".
void ProgramIcon(QPainter& p) {
  p.setPen(QPen(QColor(40, 60, 110), 1));
  p.setBrush(QColor(150, 175, 220));
  p.drawRect(QRectF(9.5, 1.5, 20, 26));
  p.setBrush(QColor(195, 210, 240));
  p.drawRect(QRectF(6.5, 3.5, 20, 26));
  p.setBrush(Qt::white);
  QPainterPath page;
  page.moveTo(2.5, 5.5);
  page.lineTo(18.5, 5.5);
  page.lineTo(23.5, 10.5);
  page.lineTo(23.5, 30.5);
  page.lineTo(2.5, 30.5);
  page.closeSubpath();
  p.drawPath(page);
  p.drawLine(QPointF(18.5, 5.5), QPointF(18.5, 10.5));
  p.drawLine(QPointF(18.5, 10.5), QPointF(23.5, 10.5));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(240, 170, 30));
  p.drawRect(QRectF(3.5, 18, 19.5, 3));
  p.setPen(QPen(QColor(60, 60, 60), 1.2));
  const qreal lengths[] = {10, 13, 8, 15, 0, 11, 14, 9};
  qreal y = 9;
  for (qreal length : lengths) {
    if (length > 0) p.drawLine(QPointF(5, y), QPointF(5 + length, y));
    y += 2.7;
  }
  p.setPen(QPen(QColor(40, 60, 110), 1.2));
  p.drawLine(QPointF(5, 19.5), QPointF(20, 19.5));
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("icons");
  QDir().mkpath(dir);
  bool ok = true;
  ok &= Render(dir + "/open.png", 24, 23, 24, 23, OpenFolder);
  ok &= Render(dir + "/save.png", 24, 23, 24, 23, Floppy);
  ok &= Render(dir + "/find.png", 16, 16, 16, 16, Binoculars);
  ok &= Render(dir + "/follow.png", 24, 23, 24, 23, FollowTail);
  ok &= Render(dir + "/dolmik.png", 32, 32, 32, 32, ProgramIcon);
  ok &= Render(dir + "/dolmik16.png", 16, 16, 32, 32, ProgramIcon);
  ok &= Render(dir + "/dolmik256.png", 256, 256, 32, 32, ProgramIcon);
  return ok ? 0 : 1;
}
