#include "desktop/illustrations.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

namespace vistarium::desktop {

namespace {

const QColor kLeftFrame(31, 95, 191);
const QColor kRightFrame(192, 57, 43);
const QColor kMeasure(30, 30, 30);

// A landscape seen through `frame`: sky, distant hills, meadow, with the
// horizon at `horizonY` (canvas coordinates). The scene is drawn in canvas
// coordinates, so two frames over one region show the same landscape.
void DrawLandscape(QPainter& p, const QRectF& frame, double horizonY, bool sun = false) {
  p.save();
  p.setClipRect(frame, Qt::IntersectClip);
  QLinearGradient sky(0, frame.top(), 0, horizonY);
  sky.setColorAt(0, QColor(86, 150, 214));
  sky.setColorAt(1, QColor(206, 226, 243));
  p.fillRect(QRectF(frame.left(), frame.top(), frame.width(), horizonY - frame.top()), sky);

  // Sun and hills, placed by absolute canvas position.
  p.setPen(Qt::NoPen);
  if (sun) {
    p.setBrush(QColor(255, 214, 92));
    p.drawEllipse(QPointF(150, horizonY - 30), 7, 7);
  }
  QPainterPath hills;
  hills.moveTo(0, horizonY);
  for (int x = 0; x <= 200; x += 4)
    hills.lineTo(x, horizonY - 9 - 6 * qSin(x / 17.0) - 4 * qSin(x / 7.0 + 1.0));
  hills.lineTo(200, horizonY);
  hills.closeSubpath();
  p.setBrush(QColor(126, 168, 140));
  p.drawPath(hills);

  QLinearGradient meadow(0, horizonY, 0, frame.bottom());
  meadow.setColorAt(0, QColor(132, 186, 82));
  meadow.setColorAt(1, QColor(88, 140, 52));
  p.fillRect(QRectF(frame.left(), horizonY, frame.width(), frame.bottom() - horizonY), meadow);
  p.restore();
}

// A small house standing on `ground`, body from `left` to `left + width`.
void DrawHouse(QPainter& p, double left, double ground, double width, double height) {
  p.save();
  p.setPen(QPen(QColor(90, 60, 40), 0.8));
  p.setBrush(QColor(236, 222, 190));
  p.drawRect(QRectF(left, ground - height, width, height));
  QPolygonF roof;
  roof << QPointF(left - 2, ground - height) << QPointF(left + width / 2, ground - height - height * 0.6)
       << QPointF(left + width + 2, ground - height);
  p.setBrush(QColor(178, 60, 44));
  p.drawPolygon(roof);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(70, 110, 160));
  const double w = width / 7;
  for (int i = 0; i < 3; ++i) p.drawRect(QRectF(left + w * (1 + 2 * i), ground - height * 0.72, w, height * 0.3));
  p.restore();
}

// A tree with its trunk at `x` on `ground`.
void DrawTree(QPainter& p, double x, double ground, double height) {
  p.save();
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(110, 72, 40));
  p.drawRect(QRectF(x - 1.2, ground - height * 0.4, 2.4, height * 0.4));
  p.setBrush(QColor(46, 110, 50));
  p.drawEllipse(QPointF(x, ground - height * 0.65), height * 0.28, height * 0.38);
  p.restore();
}

// A tower standing upright on (0, 0) of the painter, `height` high.
void DrawTower(QPainter& p, double width, double height) {
  p.save();
  p.setPen(QPen(QColor(70, 70, 80), 0.8));
  QLinearGradient stone(-width / 2, 0, width / 2, 0);
  stone.setColorAt(0, QColor(214, 210, 200));
  stone.setColorAt(1, QColor(150, 146, 140));
  p.setBrush(stone);
  const double roofHeight = height * 0.22;
  p.drawRect(QRectF(-width / 2, -(height - roofHeight), width, height - roofHeight));
  QPolygonF roof;
  roof << QPointF(-width / 2 - 1.5, -(height - roofHeight)) << QPointF(0, -height)
       << QPointF(width / 2 + 1.5, -(height - roofHeight));
  p.setBrush(QColor(178, 60, 44));
  p.drawPolygon(roof);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(60, 60, 70));
  p.drawRect(QRectF(-width * 0.18, -(height - roofHeight) * 0.75, width * 0.36, (height - roofHeight) * 0.14));
  p.drawRect(QRectF(-width * 0.2, -(height - roofHeight) * 0.22, width * 0.4, (height - roofHeight) * 0.22));
  p.restore();
}

void DrawFrame(QPainter& p, const QRectF& frame, const QColor& colour) {
  p.save();
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(colour, 2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
  p.drawRect(frame.adjusted(1, 1, -1, -1));
  p.restore();
}

void DrawArrowHead(QPainter& p, QPointF tip, QPointF from) {
  const QPointF d = tip - from;
  const double length = qSqrt(d.x() * d.x() + d.y() * d.y());
  if (length == 0) return;
  const QPointF u = d / length;
  const QPointF n(-u.y(), u.x());
  QPolygonF head;
  head << tip << tip - u * 6 + n * 2.8 << tip - u * 6 - n * 2.8;
  p.drawPolygon(head);
}

// A measuring arrow with heads at both ends.
void DrawDoubleArrow(QPainter& p, QPointF a, QPointF b, const QColor& colour = kMeasure) {
  p.save();
  p.setPen(QPen(colour, 1.2));
  p.drawLine(a, b);
  p.setBrush(colour);
  p.setPen(Qt::NoPen);
  DrawArrowHead(p, a, b);
  DrawArrowHead(p, b, a);
  p.restore();
}

void DrawExtensionLine(QPainter& p, QPointF a, QPointF b, const QColor& colour = kMeasure) {
  p.save();
  p.setPen(QPen(colour, 0.8, Qt::DashLine));
  p.drawLine(a, b);
  p.restore();
}

void DrawCaption(QPainter& p, const QRectF& box, const QString& text, const QColor& colour = kMeasure,
                 Qt::Alignment align = Qt::AlignCenter) {
  p.save();
  QFont font = p.font();
  font.setPixelSize(10);
  font.setBold(true);
  p.setFont(font);
  p.setPen(colour);
  p.drawText(box, align, text);
  p.restore();
}

// Shading of the part two frames have in common.
void ShadeCommonPart(QPainter& p, const QRectF& common) {
  p.save();
  p.fillRect(common, QColor(255, 236, 120, 120));
  p.fillRect(common, QBrush(QColor(120, 90, 0, 110), Qt::BDiagPattern));
  p.restore();
}

void DrawOverlapWidth(QPainter& p) {
  const QRectF left(6, 6, 112, 70), right(82, 6, 112, 70);
  const double horizon = 50;
  DrawLandscape(p, left.united(right), horizon, true);
  DrawTree(p, 30, 66, 26);
  DrawHouse(p, 88, 66, 26, 16);
  DrawTree(p, 168, 68, 30);
  const QRectF common(right.left(), left.top(), left.right() - right.left(), left.height());
  ShadeCommonPart(p, common);
  DrawFrame(p, left, kLeftFrame);
  DrawFrame(p, right, kRightFrame);
  DrawExtensionLine(p, QPointF(common.left(), left.bottom()), QPointF(common.left(), 94));
  DrawExtensionLine(p, QPointF(common.right(), left.bottom()), QPointF(common.right(), 94));
  DrawDoubleArrow(p, QPointF(common.left(), 88), QPointF(common.right(), 88));
}

void DrawVerticalShift(QPainter& p) {
  const QRectF left(6, 6, 100, 64), right(82, 30, 100, 64);
  DrawLandscape(p, left, 48, true);
  DrawLandscape(p, right, 48, true);
  DrawHouse(p, 40, 62, 26, 16);
  DrawTree(p, 96, 66, 26);
  DrawTree(p, 150, 84, 30);
  const QRectF common = left.intersected(right);
  ShadeCommonPart(p, common);
  DrawFrame(p, left, kLeftFrame);
  DrawFrame(p, right, kRightFrame);
  DrawExtensionLine(p, QPointF(left.right(), left.top() + 1), QPointF(196, left.top() + 1));
  DrawExtensionLine(p, QPointF(right.right(), right.top() + 1), QPointF(196, right.top() + 1));
  DrawDoubleArrow(p, QPointF(191, left.top() + 1), QPointF(191, right.top() + 1));
}

// One of two pictures of the same tower, side by side; `tilt` turns the
// picture's content (degrees, clockwise) and `stretch` scales the tower.
void DrawTowerPicture(QPainter& p, const QRectF& frame, const QColor& colour, double tilt, double towerHeight,
                      double towerWidth) {
  const QPointF base(frame.center().x(), frame.bottom() - 14);
  p.save();
  p.setClipRect(frame);
  p.translate(base);
  p.rotate(tilt);
  p.translate(-base);
  // Drawn larger than the frame so that a turned picture still fills it.
  DrawLandscape(p, frame.adjusted(-30, -30, 30, 30), frame.bottom() - 24);
  p.translate(base);
  DrawTower(p, towerWidth, towerHeight);
  p.restore();
  DrawFrame(p, frame, colour);
}

void DrawVerticalLinesAngle(QPainter& p) {
  const QRectF left(6, 6, 88, 88), right(106, 6, 88, 88);
  const double tilt = 14, tower = 44;
  DrawTowerPicture(p, left, kLeftFrame, 0, tower, 14);
  DrawTowerPicture(p, right, kRightFrame, tilt, tower, 14);

  // The true vertical through the tower's foot, the tower's tilted axis
  // beyond its top, and the angle between them.
  const QPointF foot(right.center().x(), right.bottom() - 14);
  const double a = qDegreesToRadians(tilt);
  const QPointF axis(qSin(a), -qCos(a));
  const double reach = 68, r = 60;
  DrawExtensionLine(p, foot, foot - QPointF(0, reach));
  p.save();
  p.setPen(QPen(kMeasure, 1.0));
  p.drawLine(foot + axis * (tower + 2), foot + axis * reach);
  p.setPen(QPen(kMeasure, 1.4));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(foot.x() - r, foot.y() - r, 2 * r, 2 * r), 90 * 16, static_cast<int>(-tilt * 16));
  p.setBrush(kMeasure);
  p.setPen(Qt::NoPen);
  const QPointF arcEnd = foot + axis * r;
  DrawArrowHead(p, arcEnd, arcEnd + QPointF(-6 * qCos(a), -6 * qSin(a)));
  p.restore();
  const double half = a / 2;
  const QPointF label = foot + QPointF(qSin(half), -qCos(half)) * (r + 9);
  DrawCaption(p, QRectF(label.x() - 6, label.y() - 7, 12, 14), QString(QChar(0x03B1)));
}

void DrawVerticalLengthDifference(QPainter& p) {
  const QRectF left(6, 6, 88, 88), right(106, 6, 88, 88);
  const double h1 = 44, h2 = 66;
  DrawTowerPicture(p, left, kLeftFrame, 0, h1, 14);
  DrawTowerPicture(p, right, kRightFrame, 0, h2, 14);
  for (const auto& [frame, h] : {std::pair{left, h1}, std::pair{right, h2}}) {
    const QPointF foot(frame.center().x(), frame.bottom() - 14);
    const double x = foot.x() + 20;
    DrawExtensionLine(p, QPointF(foot.x() + 3, foot.y() - h), QPointF(x + 4, foot.y() - h));
    DrawExtensionLine(p, QPointF(foot.x() + 8, foot.y()), QPointF(x + 4, foot.y()));
    DrawDoubleArrow(p, QPointF(x, foot.y() - h), QPointF(x, foot.y()));
  }
}

// One of two pictures of the same house, its width scaled.
void DrawHousePicture(QPainter& p, const QRectF& frame, const QColor& colour, double width) {
  const double ground = frame.bottom() - 30;
  DrawLandscape(p, frame, ground - 4);
  p.save();
  p.setClipRect(frame);
  DrawHouse(p, frame.center().x() - width / 2, ground, width, 22);
  p.restore();
  DrawFrame(p, frame, colour);
  const double left = frame.center().x() - width / 2, right = left + width;
  DrawExtensionLine(p, QPointF(left, ground), QPointF(left, ground + 18));
  DrawExtensionLine(p, QPointF(right, ground), QPointF(right, ground + 18));
  DrawDoubleArrow(p, QPointF(left, ground + 14), QPointF(right, ground + 14));
}

void DrawHorizontalLengthDifference(QPainter& p) {
  DrawHousePicture(p, QRectF(6, 6, 88, 88), kLeftFrame, 40);
  DrawHousePicture(p, QRectF(106, 6, 88, 88), kRightFrame, 62);
}

}  // namespace

QPixmap DrawIllustration(TwoPicIllustration which) {
  QPixmap picture(kIllustrationWidth, kIllustrationHeight);
  picture.fill(Qt::transparent);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  switch (which) {
    case TwoPicIllustration::OverlapWidth: DrawOverlapWidth(p); break;
    case TwoPicIllustration::VerticalShift: DrawVerticalShift(p); break;
    case TwoPicIllustration::VerticalLinesAngle: DrawVerticalLinesAngle(p); break;
    case TwoPicIllustration::VerticalLengthDifference: DrawVerticalLengthDifference(p); break;
    case TwoPicIllustration::HorizontalLengthDifference: DrawHorizontalLengthDifference(p); break;
  }
  return picture;
}

}  // namespace vistarium::desktop
