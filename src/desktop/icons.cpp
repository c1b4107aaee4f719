#include "desktop/icons.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QTransform>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace vistarium::desktop {
namespace {

// The palette every image draws from.
const QColor kInk(0x2b, 0x36, 0x44);         // outlines
const QColor kPaper(0xff, 0xff, 0xff);       // sheets, labels
const QColor kSky(0x8e, 0xc8, 0xf2);         // sky inside pictures
const QColor kLand(0x5c, 0xae, 0x4f);        // hills inside pictures
const QColor kSun(0xf6, 0xb4, 0x1c);         // star, sun, flash
const QColor kFolderBack(0xe0, 0x9b, 0x1f);  // back of a folder
const QColor kFolderFront(0xf7, 0xc3, 0x4f); // front of a folder
const QColor kBlue(0x2f, 0x6f, 0xc4);        // disk, help, iris
const QColor kSteel(0x7d, 0x8b, 0x99);       // gear, camera, magnifier
const QColor kAccent(0xe0, 0x3c, 0x8a);      // arrows, triangles, links
const QColor kSkin(0xf6, 0xcf, 0xa6);        // the hand

constexpr double kGrid = 24.0;   // design grid of the tool images
constexpr double kLine = 2.0;    // outline width on that grid

QPen Outline(double width = kLine, const QColor& colour = kInk) {
  QPen pen(colour, width);
  pen.setJoinStyle(Qt::RoundJoin);
  pen.setCapStyle(Qt::RoundCap);
  return pen;
}

void Shape(QPainter& p, const QPainterPath& path, const QColor& fill) {
  p.setPen(Outline());
  p.setBrush(fill);
  p.drawPath(path);
}

QPainterPath RoundedRect(const QRectF& r, double radius) {
  QPainterPath path;
  path.addRoundedRect(r, radius, radius);
  return path;
}

QPainterPath Polygon(std::initializer_list<QPointF> points) {
  QPainterPath path;
  path.addPolygon(QPolygonF(QList<QPointF>(points)));
  path.closeSubpath();
  return path;
}

// A small photograph: sky, a hill, an outline. The hill is clipped to the frame.
void Photo(QPainter& p, const QRectF& r) {
  p.save();
  p.setPen(Qt::NoPen);
  p.setBrush(kSky);
  p.drawRect(r);
  p.setClipRect(r);
  p.setBrush(kLand);
  p.drawPath(Polygon({{r.left() - 1, r.bottom()},
                      {r.left() + r.width() * 0.38, r.top() + r.height() * 0.42},
                      {r.left() + r.width() * 0.62, r.top() + r.height() * 0.68},
                      {r.left() + r.width() * 0.78, r.top() + r.height() * 0.55},
                      {r.right() + 1, r.bottom()}}));
  p.restore();
  p.setPen(Outline());
  p.setBrush(Qt::NoBrush);
  p.drawRect(r);
}

// A wide panorama strip: sky, land under a horizon that bows upwards, an outline.
void Strip(QPainter& p, const QRectF& r) {
  p.save();
  p.setPen(Qt::NoPen);
  p.setBrush(kSky);
  p.drawRect(r);
  p.setClipRect(r);
  QPainterPath land;
  const double horizon = r.top() + r.height() * 0.62;
  land.moveTo(r.left() - 1, horizon + r.height() * 0.12);
  land.quadTo(r.center().x(), horizon - r.height() * 0.3, r.right() + 1, horizon + r.height() * 0.12);
  land.lineTo(r.right() + 1, r.bottom() + 1);
  land.lineTo(r.left() - 1, r.bottom() + 1);
  land.closeSubpath();
  p.setBrush(kLand);
  p.drawPath(land);
  p.restore();
  p.setPen(Outline());
  p.setBrush(Qt::NoBrush);
  p.drawRect(r);
}

// A star with `points` tips around centre c.
QPainterPath Star(QPointF c, double outer, double inner, int points) {
  QPolygonF polygon;
  for (int k = 0; k < 2 * points; ++k) {
    const double angle = -std::numbers::pi / 2 + k * std::numbers::pi / points;
    const double radius = k % 2 == 0 ? outer : inner;
    polygon << QPointF(c.x() + radius * std::cos(angle), c.y() + radius * std::sin(angle));
  }
  QPainterPath path;
  path.addPolygon(polygon);
  path.closeSubpath();
  return path;
}

// A double-headed arrow from a to b in the accent colour.
void DoubleArrow(QPainter& p, QPointF a, QPointF b) {
  p.setPen(Outline(kLine, kAccent));
  p.setBrush(Qt::NoBrush);
  p.drawLine(a, b);
  const QPointF d = (b - a) / std::hypot(b.x() - a.x(), b.y() - a.y());
  const QPointF n(-d.y(), d.x());
  constexpr double head = 2.6;
  p.drawPolyline(QPolygonF({a + head * (d + n), a, a + head * (d - n)}));
  p.drawPolyline(QPolygonF({b - head * (d - n), b, b - head * (d + n)}));
}

// A folder: its back with a tab, whatever is drawn in `content` (standing
// out of the folder), then its front.
template <typename Content>
void Folder(QPainter& p, Content content) {
  QPainterPath back;
  back.moveTo(2, 20.5);
  back.lineTo(2, 4);
  back.lineTo(7.5, 4);
  back.lineTo(10, 7);
  back.lineTo(22, 7);
  back.lineTo(22, 20.5);
  back.closeSubpath();
  Shape(p, back, kFolderBack);
  content();
  Shape(p, Polygon({{2, 12}, {22, 12}, {22, 20.5}, {2, 20.5}}), kFolderFront);
}

void DrawNewPanorama(QPainter& p) {
  QPainterPath sheet;
  sheet.moveTo(4, 2.5);
  sheet.lineTo(13.5, 2.5);
  sheet.lineTo(18, 7);
  sheet.lineTo(18, 21.5);
  sheet.lineTo(4, 21.5);
  sheet.closeSubpath();
  Shape(p, sheet, kPaper);
  p.setPen(Outline());
  p.drawPolyline(QPolygonF({{13.5, 2.5}, {13.5, 7}, {18, 7}}));
  Shape(p, Star({17, 16}, 6.2, 2.7, 5), kSun);
}

void DrawLoadPictures(QPainter& p) {
  Folder(p, [&p] {
    for (const auto& [centre, angle] : {std::pair{QPointF(10, 8.5), -10.0}, std::pair{QPointF(16.5, 8.5), 8.0}}) {
      p.save();
      p.translate(centre);
      p.rotate(angle);
      Photo(p, QRectF(-4.5, -4, 9, 8));
      p.restore();
    }
  });
}

void DrawOpenPanorama(QPainter& p) {
  Folder(p, [&p] {
    // Tilted so that the folder's tab stays in sight.
    p.save();
    p.translate(14.5, 7.8);
    p.rotate(-9);
    Strip(p, QRectF(-8.5, -3.5, 17, 7));
    p.restore();
  });
}

void DrawSavePanorama(QPainter& p) {
  QPainterPath body;
  body.moveTo(3, 3);
  body.lineTo(18, 3);
  body.lineTo(21, 6);
  body.lineTo(21, 21);
  body.lineTo(3, 21);
  body.closeSubpath();
  Shape(p, body, kBlue);
  Shape(p, RoundedRect(QRectF(7, 3, 10, 6.5), 0.5), QColor(0xd5, 0xdb, 0xe1));
  p.setPen(Qt::NoPen);
  p.setBrush(kInk);
  p.drawRect(QRectF(13, 4.5, 2, 3.5));
  Shape(p, RoundedRect(QRectF(6, 12.5, 12, 8.5), 0.5), kPaper);
  p.setPen(Outline(1.2, kSteel));
  p.drawLine(QPointF(8.5, 15.5), QPointF(15.5, 15.5));
  p.drawLine(QPointF(8.5, 18.2), QPointF(15.5, 18.2));
}

void DrawAdjacentParameters(QPainter& p) {
  Photo(p, QRectF(1.5, 2.5, 12.5, 11));
  Photo(p, QRectF(9.5, 5.5, 13, 11));
  // The common part of the two pictures, measured by an arrow under it.
  p.setPen(Outline(1.2, kInk));
  p.drawLine(QPointF(9.5, 17.5), QPointF(9.5, 22.5));
  p.drawLine(QPointF(14, 17.5), QPointF(14, 22.5));
  DoubleArrow(p, {5.5, 20}, {18, 20});
}

void DrawCamera(QPainter& p) {
  QPainterPath body = RoundedRect(QRectF(2, 7, 20, 14), 2);
  body = body.united(RoundedRect(QRectF(7.5, 3.5, 9, 5), 1));
  Shape(p, body.simplified(), kSteel);
  Shape(p, RoundedRect(QRectF(16.5, 9, 3, 2), 0.5), kSun);
  QPainterPath lens;
  lens.addEllipse(QPointF(12, 14), 5, 5);
  Shape(p, lens, kPaper);
  QPainterPath glass;
  glass.addEllipse(QPointF(12, 14), 2.6, 2.6);
  p.setPen(Qt::NoPen);
  p.setBrush(kBlue);
  p.drawPath(glass);
}

void DrawMethodParameters(QPainter& p) {
  const QPointF c(12, 12);
  QPainterPath gear;
  gear.addEllipse(c, 7, 7);
  for (int k = 0; k < 8; ++k) {
    QPainterPath tooth;
    tooth.addRoundedRect(QRectF(-2.1, -10.5, 4.2, 6), 0.8, 0.8);
    gear = gear.united(QTransform().translate(c.x(), c.y()).rotate(k * 45.0).map(tooth));
  }
  QPainterPath hole;
  hole.addEllipse(c, 3, 3);
  Shape(p, gear.subtracted(hole).simplified(), kSteel);
}

void DrawHelp(QPainter& p) {
  QPainterPath circle;
  circle.addEllipse(QPointF(12, 12), 10, 10);
  Shape(p, circle, kBlue);
  QPainterPath mark;
  mark.moveTo(8.6, 9.2);
  mark.cubicTo(8.6, 5.2, 15.6, 5.2, 15.6, 9.2);
  mark.cubicTo(15.6, 11.8, 12, 11.8, 12, 14.6);
  p.setPen(Outline(2.6, kPaper));
  p.setBrush(Qt::NoBrush);
  p.drawPath(mark);
  p.setPen(Qt::NoPen);
  p.setBrush(kPaper);
  p.drawEllipse(QPointF(12, 18.2), 1.6, 1.6);
}

void DrawJoin(QPainter& p) {
  Photo(p, QRectF(1.5, 2.5, 11.5, 10));
  Photo(p, QRectF(11, 2.5, 11.5, 10));
  // A chain link of two interlocking rings under the pictures.
  const QRectF left(4.5, 14.5, 9, 6), right(10.5, 14.5, 9, 6);
  p.setBrush(Qt::NoBrush);
  p.setPen(Outline(kLine, kAccent));
  p.drawRoundedRect(left, 3, 3);
  p.drawRoundedRect(right, 3, 3);
  // The left ring passes over the right one at the bottom crossing.
  p.save();
  p.setClipRect(QRectF(10, 17.5, 4, 4));
  p.drawRoundedRect(left, 3, 3);
  p.restore();
}

void DrawManualAdjustment(QPainter& p) {
  p.setPen(Outline());
  p.setBrush(kPaper);
  p.drawRect(QRectF(1.5, 3.5, 10, 17));
  p.drawRect(QRectF(12.5, 3.5, 10, 17));
  const QPolygonF left({{3.8, 17.5}, {9.5, 6.5}, {9.2, 17.5}});
  const QPolygonF right({{14.8, 17.5}, {15.5, 6.5}, {20.3, 17}});
  for (const QPolygonF& t : {left, right}) {
    p.setPen(Outline(1.3, kAccent));
    p.setBrush(Qt::NoBrush);
    p.drawPolygon(t);
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    for (const QPointF& v : t) p.drawEllipse(v, 1.25, 1.25);
  }
}

void DrawFullSize(QPainter& p) {
  Strip(p, QRectF(1.5, 3, 19, 10));
  p.setPen(Outline(3.2));
  p.drawLine(QPointF(17.6, 17.6), QPointF(21.8, 21.8));
  QPainterPath glass;
  glass.addEllipse(QPointF(14, 14), 5, 5);
  p.setPen(Outline());
  p.setBrush(QColor(0xe8, 0xf4, 0xfd, 0xd8));
  p.drawPath(glass);
  // A plus inside the glass: the picture at its full size.
  p.setPen(Outline(1.5, kBlue));
  p.drawLine(QPointF(11.8, 14), QPointF(16.2, 14));
  p.drawLine(QPointF(14, 11.8), QPointF(14, 16.2));
}

void DrawBrowse(QPainter& p) {
  QPainterPath eye;
  eye.moveTo(1.5, 12);
  eye.quadTo(12, 1, 22.5, 12);
  eye.quadTo(12, 23, 1.5, 12);
  eye.closeSubpath();
  Shape(p, eye, kPaper);
  p.save();
  p.setClipPath(eye);
  QPainterPath iris;
  iris.addEllipse(QPointF(12, 12), 4.8, 4.8);
  Shape(p, iris, kBlue);
  p.setPen(Qt::NoPen);
  p.setBrush(kInk);
  p.drawEllipse(QPointF(12, 12), 2, 2);
  p.setBrush(kPaper);
  p.drawEllipse(QPointF(13.3, 10.6), 1, 1);
  p.restore();
  p.setPen(Outline());
  p.setBrush(Qt::NoBrush);
  p.drawPath(eye);
}

void DrawStitchManually(QPainter& p) {
  QPainterPath hand = RoundedRect(QRectF(6, 10.5, 13, 11.5), 4);
  const std::array<QRectF, 4> fingers = {QRectF(6, 5, 3.1, 10), QRectF(9.3, 2, 3.1, 12),
                                         QRectF(12.6, 2.8, 3.1, 11), QRectF(15.9, 5.2, 3.1, 9)};
  for (const QRectF& f : fingers) hand = hand.united(RoundedRect(f, 1.55));
  QPainterPath thumb = RoundedRect(QRectF(-1.6, -6.5, 3.2, 9), 1.6);
  hand = hand.united(QTransform().translate(6.5, 17).rotate(-50).map(thumb));
  Shape(p, hand.simplified(), kSkin);
  // The gaps between the fingers down to the palm.
  p.setPen(Outline(1.2));
  for (double x : {9.2, 12.5, 15.8}) p.drawLine(QPointF(x, 7), QPointF(x, 12.5));
}

void DrawToolImage(QPainter& p, int index) {
  switch (index) {
    case 0: DrawNewPanorama(p); break;
    case 1: DrawLoadPictures(p); break;
    case 2: DrawSavePanorama(p); break;
    case 3: DrawAdjacentParameters(p); break;
    case 4: DrawCamera(p); break;
    case 5: DrawMethodParameters(p); break;
    case 6: DrawHelp(p); break;
    case 7: DrawJoin(p); break;
    case 8: DrawManualAdjustment(p); break;
    case 9: DrawOpenPanorama(p); break;
    case 10: DrawFullSize(p); break;
    case 11: DrawBrowse(p); break;
    case 12: DrawStitchManually(p); break;
    default: break;
  }
}

// Grey, lighter and more transparent: the look of a disabled button.
QImage Disabled(QImage image) {
  image = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < image.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      const int grey = 110 + qGray(row[x]) / 2;
      row[x] = qRgba(grey, grey, grey, qAlpha(row[x]) * 3 / 5);
    }
  }
  return image;
}

QImage Blank(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

// The program's icon on a 64-unit grid: a strip bent like a panorama seen
// from its centre, sky with a sun, land under a curved horizon.
void DrawProgramIcon(QPainter& p, int size) {
  // The outline never falls below one device pixel, so the shape holds at 16 pixels.
  const double line = std::max(2.0, 64.0 / size);
  QPainterPath strip;
  strip.moveTo(3, 12);
  strip.quadTo(32, 21, 61, 12);
  strip.lineTo(61, 46);
  strip.quadTo(32, 55, 3, 46);
  strip.closeSubpath();

  QLinearGradient sky(0, 14, 0, 42);
  sky.setColorAt(0, QColor(0x3f, 0x8c, 0xe0));
  sky.setColorAt(1, QColor(0xb9, 0xe0, 0xfa));
  p.setPen(Qt::NoPen);
  p.setBrush(sky);
  p.drawPath(strip);

  p.save();
  p.setClipPath(strip);
  p.setBrush(kSun);
  p.drawEllipse(QPointF(46, 25), 5.5, 5.5);
  QPainterPath hills;
  hills.moveTo(0, 38);
  hills.lineTo(14, 25);
  hills.lineTo(22, 31);
  hills.lineTo(31, 23);
  hills.lineTo(45, 36);
  hills.lineTo(64, 38);
  hills.lineTo(64, 64);
  hills.lineTo(0, 64);
  hills.closeSubpath();
  p.setBrush(QColor(0x4b, 0x7f, 0x8c));
  p.drawPath(hills);
  QPainterPath land;
  land.moveTo(0, 42);
  land.quadTo(32, 28, 64, 42);
  land.lineTo(64, 64);
  land.lineTo(0, 64);
  land.closeSubpath();
  p.setBrush(kLand);
  p.drawPath(land);
  p.restore();

  p.setPen(Outline(line));
  p.setBrush(Qt::NoBrush);
  p.drawPath(strip);
}

}  // namespace

QPixmap ToolImage(int index, bool enabled, int size) {
  if (index < 0 || index >= kToolImageCount || size < 1) return {};
  QImage image = Blank(size);
  {
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / kGrid, size / kGrid);
    DrawToolImage(p, index);
  }
  return QPixmap::fromImage(enabled ? image : Disabled(image));
}

QIcon ToolIcon(int index) {
  QIcon icon;
  for (int size : {16, 24, 32, 48}) {
    icon.addPixmap(ToolImage(index, true, size), QIcon::Normal);
    icon.addPixmap(ToolImage(index, false, size), QIcon::Disabled);
  }
  return icon;
}

QPixmap ProgramImage(int size) {
  if (size < 1) return {};
  QImage image = Blank(size);
  {
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    DrawProgramIcon(p, size);
  }
  return QPixmap::fromImage(image);
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(ProgramImage(size));
  return icon;
}

}  // namespace vistarium::desktop
