#include "desktop/adjust_window.h"

#include <QApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPen>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QShortcut>
#include <cmath>
#include <algorithm>
#include <filesystem>

#include "desktop/services.h"
#include "render/picture_file.h"

namespace vistarium::desktop {

namespace {

constexpr int kPanelHeight = 35;
constexpr int kMargin = 10;
// Zoom limits, and the step of one wheel notch or key press.
constexpr double kLargestZoom = 8.0;
constexpr double kZoomStep = 1.25;

QRect BoundingRect(const app::TTriangle& t) {
  int left = t[0].X, right = t[0].X, top = t[0].Y, bottom = t[0].Y;
  for (const TPoint& p : t) {
    left = std::min(left, p.X);
    right = std::max(right, p.X);
    top = std::min(top, p.Y);
    bottom = std::max(bottom, p.Y);
  }
  return QRect(QPoint(left, top), QPoint(right, bottom));
}

// The picture as the set's size W x H: a file that changed size since the
// set was taken is drawn in at (0, 0) like any other.
DeviceBitmap LoadAtSetSize(const std::string& path, TPoint size) {
  DeviceBitmap loaded = render::LoadPictureFile(path);
  if (loaded.Width == size.X && loaded.Height == size.Y) return loaded;
  DeviceBitmap picture(size.X, size.Y);
  for (int y = 0; y < std::min(size.Y, loaded.Height); ++y)
    for (int x = 0; x < std::min(size.X, loaded.Width); ++x) picture.SetPixel(x, y, loaded.Pixel(x, y));
  return picture;
}

}  // namespace

// ---------------------------------------------------------------------------

PictureImage::PictureImage(DeviceBitmap picture, int tag, QWidget* parent)
    : QWidget(parent), picture_(std::move(picture)), tag_(tag) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setProperty("tag", tag);
  setFixedSize(picture_.Width, picture_.Height);
}

// Room around a corner for its mark and number.
constexpr int kMarkRadius = 9;
constexpr int kMarkReach = 34;

void PictureImage::SetZoom(double zoom) {
  zoom_ = zoom;
  setFixedSize(std::max(1, static_cast<int>(std::lround(picture_.Width * zoom))),
               std::max(1, static_cast<int>(std::lround(picture_.Height * zoom))));
  reduced_ = QImage();
  if (zoom < 1.0) MakeReducedCopy();
  update();
}

void PictureImage::MakeReducedCopy() {
  DeviceBitmap plain = picture_;
  if (cornersShown_) app::DrawTriangle(plain, corners_);  // erases it
  const QImage full(reinterpret_cast<const uchar*>(plain.Pixels.data()), plain.Width, plain.Height,
                    static_cast<qsizetype>(plain.Width) * 4, QImage::Format_RGBX8888);
  reduced_ = full.scaled(width(), height(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

TPoint PictureImage::PixelAt(QPointF point) const {
  return {static_cast<int>(std::floor(point.x() / zoom_)), static_cast<int>(std::floor(point.y() / zoom_))};
}

QPointF PictureImage::PointOf(TPoint pixel) const { return {(pixel.X + 0.5) * zoom_, (pixel.Y + 0.5) * zoom_}; }

void PictureImage::UpdateTriangle(const app::TTriangle& t) {
  const QRect r = BoundingRect(t);
  const QRectF shown(QPointF(r.left() * zoom_, r.top() * zoom_), QPointF((r.right() + 1) * zoom_, (r.bottom() + 1) * zoom_));
  update(shown.toAlignedRect().adjusted(-kMarkReach, -kMarkReach, kMarkReach, kMarkReach));
}

void PictureImage::SetCorners(const app::TTriangle& t) {
  if (cornersShown_) UpdateTriangle(corners_);
  corners_ = t;
  cornersShown_ = true;
  UpdateTriangle(corners_);
}

void PictureImage::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  // Packed 0x00BBGGRR is, byte by byte, Qt's RGBX8888: shown in place.
  const QImage image(reinterpret_cast<const uchar*>(picture_.Pixels.data()), picture_.Width, picture_.Height,
                     static_cast<qsizetype>(picture_.Width) * 4, QImage::Format_RGBX8888);
  if (zoom_ == 1.0) {
    const QRect r = event->rect().intersected(image.rect());
    if (!r.isEmpty()) painter.drawImage(r.topLeft(), image, r);
  } else if (zoom_ > 1.0) {
    // Whole picture pixels as squares.
    const QRect e = event->rect().intersected(rect());
    const QRect source = QRect(QPoint(static_cast<int>(e.left() / zoom_), static_cast<int>(e.top() / zoom_)),
                               QPoint(static_cast<int>(e.right() / zoom_), static_cast<int>(e.bottom() / zoom_)))
                             .intersected(image.rect());
    const QRectF target(source.left() * zoom_, source.top() * zoom_, source.width() * zoom_, source.height() * zoom_);
    if (!source.isEmpty()) painter.drawImage(target, image, source);
  } else {
    const QRect r = event->rect().intersected(reduced_.rect());
    if (!r.isEmpty()) painter.drawImage(r.topLeft(), reduced_, r);
  }
  if (!cornersShown_) return;
  // A ring around each corner, as wide as the reach of a press, and its number.
  painter.setRenderHint(QPainter::Antialiasing);
  if (zoom_ < 1.0) {
    // The reduced copy has no triangle in it: its edges are drawn as lines.
    QPolygonF edges;
    for (const TPoint& c : corners_) edges << PointOf(c);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::black, 3));
    painter.drawPolygon(edges);
    painter.setPen(QPen(QColor(255, 230, 0), 1));
    painter.drawPolygon(edges);
  }
  QFont font = painter.font();
  font.setBold(true);
  painter.setFont(font);
  for (int k = 0; k < 3; ++k) {
    const QPoint c = PointOf(corners_[static_cast<std::size_t>(k)]).toPoint();
    if (!event->rect().intersects(QRect(c, c).adjusted(-kMarkReach, -kMarkReach, kMarkReach, kMarkReach))) continue;
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::black, 3));
    painter.drawEllipse(c, kMarkRadius, kMarkRadius);
    painter.setPen(QPen(QColor(255, 230, 0), 1.5));
    painter.drawEllipse(c, kMarkRadius, kMarkRadius);
    // The number beside the ring, on the side where the picture has room.
    const int lx = c.x() + 26 <= width() ? c.x() + 10 : c.x() - 26;
    const int ly = c.y() - 26 >= 0 ? c.y() - 26 : c.y() + 10;
    const QRect label(lx, ly, 16, 16);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 170));
    painter.drawRoundedRect(label, 3, 3);
    painter.setPen(QColor(255, 230, 0));
    painter.drawText(label, Qt::AlignCenter, QString::number(k + 1));
  }
}

// ---------------------------------------------------------------------------

TfrmAdjust::TfrmAdjust(DesktopServices& services, RunState& run, QWidget* parent)
    : QDialog(parent), services_(services), run_(run) {
  setObjectName("frmAdjust");
  setWindowTitle("Manual adjustment of stitching");
  setSizeGripEnabled(true);
  resize(600, 450);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  pnlControl = new QFrame(this);
  pnlControl->setObjectName("pnlControl");
  pnlControl->setFrameShape(QFrame::Panel);
  pnlControl->setFrameShadow(QFrame::Raised);
  pnlControl->setFixedHeight(kPanelHeight);
  bbtnSave = new QPushButton(style()->standardIcon(QStyle::SP_DialogSaveButton), "Save", pnlControl);
  bbtnSave->setObjectName("bbtnSave");
  bbtnSave->setGeometry(8, 5, 85, 25);
  bbtnSave->setAutoDefault(false);
  bbtnCancel = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), "Cancel", pnlControl);
  bbtnCancel->setObjectName("bbtnCancel");
  bbtnCancel->setGeometry(101, 5, 85, 25);
  bbtnCancel->setAutoDefault(false);
  // Zoom: the whole pictures, or one screen pixel a picture pixel; the wheel
  // and Ctrl with + and - zoom in steps.
  bbtnFit = new QPushButton("Fit", pnlControl);
  bbtnFit->setObjectName("bbtnFit");
  bbtnFit->setToolTip("Show the whole pictures (Ctrl+0)");
  bbtnFit->setGeometry(200, 5, 55, 25);
  bbtnFit->setAutoDefault(false);
  bbtnActualSize = new QPushButton("1:1", pnlControl);
  bbtnActualSize->setObjectName("bbtnActualSize");
  bbtnActualSize->setToolTip("One screen pixel a picture pixel (Ctrl+1)");
  bbtnActualSize->setGeometry(259, 5, 45, 25);
  bbtnActualSize->setAutoDefault(false);
  lblZoom = new QLabel(pnlControl);
  lblZoom->setObjectName("lblZoom");
  lblZoom->setGeometry(310, 5, 50, 25);
  lblConnection = new QLabel(pnlControl);
  lblConnection->setObjectName("lblConnection");
  lblConnection->setGeometry(365, 5, 2000, 25);
  layout->addWidget(pnlControl);

  auto* pictures = new QHBoxLayout;
  pictures->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
  pictures->setSpacing(kMargin);
  for (QScrollArea** box : {&sbLeft, &sbRight}) {
    *box = new QScrollArea(this);
    (*box)->setWidgetResizable(false);
    (*box)->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    pictures->addWidget(*box, 1);
  }
  sbLeft->setObjectName("sbLeft");
  sbRight->setObjectName("sbRight");
  layout->addLayout(pictures, 1);

  connect(bbtnSave, &QPushButton::clicked, this, [this] { bbtnSaveClick(); });
  connect(bbtnCancel, &QPushButton::clicked, this, [this] { bbtnCancelClick(); });
  connect(bbtnFit, &QPushButton::clicked, this, [this] { bbtnFitClick(); });
  connect(bbtnActualSize, &QPushButton::clicked, this, [this] { bbtnActualSizeClick(); });
  const auto key = [this](QKeySequence sequence, std::function<void()> action) {
    connect(new QShortcut(sequence, this), &QShortcut::activated, this, std::move(action));
  };
  key(QKeySequence(Qt::CTRL | Qt::Key_0), [this] { bbtnFitClick(); });
  key(QKeySequence(Qt::CTRL | Qt::Key_1), [this] { bbtnActualSizeClick(); });
  key(QKeySequence::ZoomIn, [this] { SetZoom(zoom_ * kZoomStep); });
  key(QKeySequence(Qt::CTRL | Qt::Key_Equal), [this] { SetZoom(zoom_ * kZoomStep); });
  key(QKeySequence::ZoomOut, [this] { SetZoom(zoom_ / kZoomStep); });
  for (QScrollArea* box : {sbLeft, sbRight}) box->viewport()->installEventFilter(this);
}

PictureImage* TfrmAdjust::CreateImage(QScrollArea* box, int index) {
  const TPoint size = run_.Projection.PictureSize;
  auto* image = new PictureImage(LoadAtSetSize(run_.PictureSet.FileNames.at(static_cast<std::size_t>(index)), size),
                                 index);
  image->setObjectName(box == sbLeft ? "LeftImage" : "RightImage");
  image->installEventFilter(this);
  image->SetZoom(zoom_);
  box->setWidget(image);  // the scroll box owns it; an earlier image is destroyed
  return image;
}

void TfrmAdjust::OpenConnection(int l, int r) {
  EndDragCursor();
  app::ConnectionAdjustment opened = app::OpenAdjustment(run_, l, r);
  // The pictures of an earlier opening go first: two full-size pictures are
  // all this window ever holds.
  for (QScrollArea* box : {sbLeft, sbRight}) delete box->takeWidget();
  LeftImage = RightImage = nullptr;
  LeftImage = CreateImage(sbLeft, l);
  RightImage = CreateImage(sbRight, r);
  Adjustment = opened;
  app::DrawTriangle(LeftImage->Picture(), Adjustment.LeftTriangle);
  app::DrawTriangle(RightImage->Picture(), Adjustment.RightTriangle);
  LeftImage->SetCorners(Adjustment.LeftTriangle);
  RightImage->SetCorners(Adjustment.RightTriangle);
  auto name = [this](int i) {
    return QString::fromStdString(
        std::filesystem::path(run_.PictureSet.FileNames[static_cast<std::size_t>(i)]).filename().string());
  };
  lblConnection->setText(QString("Pictures %1 and %2:  %3  |  %4").arg(l + 1).arg(r + 1).arg(name(l), name(r)));
  // A new opening shows the whole pictures; zoom in where work is needed.
  if (isVisible())
    bbtnFitClick();
  else
    fitOnShow_ = true;
}

double TfrmAdjust::FitZoom() const {
  const TPoint size = run_.Projection.PictureSize;
  if (size.X <= 0 || size.Y <= 0) return 1.0;
  const QSize room = sbLeft->maximumViewportSize();
  return std::min({1.0, (room.width() - 2.0) / size.X, (room.height() - 2.0) / size.Y});
}

void TfrmAdjust::SetZoom(double zoom, QScrollArea* anchoredBox, QPoint anchor) {
  zoom = std::clamp(zoom, std::min(FitZoom(), 1.0) / 2.0, kLargestZoom);
  if (std::abs(zoom - 1.0) < 0.04) zoom = 1.0;  // steps passing by full size stop there
  // The picture point under each box's anchor, before the change.
  struct Held {
    QScrollArea* Box;
    QPoint At;
    QPointF Picture;
  };
  std::vector<Held> held;
  for (QScrollArea* box : {sbLeft, sbRight}) {
    if (!box->widget()) continue;
    const QPoint at = box == anchoredBox ? anchor : box->viewport()->rect().center();
    const QPointF onWidget = box->widget()->mapFrom(box->viewport(), at);
    held.push_back({box, at, QPointF(onWidget.x() / zoom_, onWidget.y() / zoom_)});
  }
  zoom_ = zoom;
  for (PictureImage* image : {LeftImage, RightImage})
    if (image) image->SetZoom(zoom);
  for (const Held& h : held) {
    h.Box->horizontalScrollBar()->setValue(static_cast<int>(std::lround(h.Picture.x() * zoom - h.At.x())));
    h.Box->verticalScrollBar()->setValue(static_cast<int>(std::lround(h.Picture.y() * zoom - h.At.y())));
  }
  lblZoom->setText(QString("%1 %").arg(static_cast<int>(std::lround(zoom * 100))));
}

void TfrmAdjust::bbtnFitClick() { SetZoom(FitZoom()); }

void TfrmAdjust::bbtnActualSizeClick() {
  SetZoom(1.0);
  ScrollToTriangles();
}

void TfrmAdjust::ScrollToTriangles() {
  for (const auto& [box, t] :
       {std::pair{sbLeft, Adjustment.LeftTriangle}, std::pair{sbRight, Adjustment.RightTriangle}}) {
    if (!box->widget()) continue;
    const TPoint view{static_cast<int>(box->viewport()->width() / zoom_),
                      static_cast<int>(box->viewport()->height() / zoom_)};
    const TPoint origin = app::ViewOriginFor(t, view, run_.Projection.PictureSize);
    box->horizontalScrollBar()->setValue(static_cast<int>(std::lround(origin.X * zoom_)));
    box->verticalScrollBar()->setValue(static_cast<int>(std::lround(origin.Y * zoom_)));
  }
}

void TfrmAdjust::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!centred_) {
    centred_ = true;
    // Room for two pictures: most of the screen, at least the window's own size.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect available = screen->availableGeometry();
      resize(size().expandedTo(available.size() * 0.85).boundedTo(available.size()));
      move(available.center() - QPoint(width() / 2, height() / 2));
    }
  }
  // Once the boxes have their size.
  QTimer::singleShot(0, this, [this] {
    if (fitOnShow_) {
      fitOnShow_ = false;
      bbtnFitClick();
    }
    ScrollToTriangles();
  });
}

void TfrmAdjust::hideEvent(QHideEvent* event) {
  EndDragCursor();
  Adjustment.Dragging = false;
  Adjustment.DragImageTag = -1;
  Adjustment.DragVertex = 0;
  QDialog::hideEvent(event);
}

bool TfrmAdjust::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Wheel) {
    // The wheel zooms about the point under the mouse.
    for (QScrollArea* box : {sbLeft, sbRight}) {
      if (watched != box->viewport() && (!box->widget() || watched != box->widget())) continue;
      auto* wheel = static_cast<QWheelEvent*>(event);
      const int steps = wheel->angleDelta().y() / 120;
      if (steps == 0) return true;
      const QPoint at = box->viewport()->mapFromGlobal(wheel->globalPosition().toPoint());
      SetZoom(zoom_ * std::pow(kZoomStep, steps), box, at);
      return true;
    }
  }
  if (watched == LeftImage || watched == RightImage) {
    if (event->type() == QEvent::MouseMove) {
      FormMouseMove(static_cast<QWidget*>(watched), static_cast<QMouseEvent*>(event));
      return true;
    }
    if (event->type() == QEvent::MouseButtonPress) {
      FormMouseDown(static_cast<QWidget*>(watched), static_cast<QMouseEvent*>(event));
      return true;
    }
    if (event->type() == QEvent::MouseButtonRelease) {
      FormMouseUp(static_cast<QWidget*>(watched), static_cast<QMouseEvent*>(event));
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmAdjust::FormMouseDown(QWidget* image, QMouseEvent* event) {
  auto* picture = dynamic_cast<PictureImage*>(image);
  if (event->button() != Qt::LeftButton || !picture || (picture != LeftImage && picture != RightImage)) return;
  const TPoint p = picture->PixelAt(event->position());
  // A corner is taken within ten screen pixels, whatever the zoom.
  const int reach = std::max(10, static_cast<int>(std::ceil(10.0 / picture->Zoom())));
  if (app::PressCorner(Adjustment, picture->Tag(), p, reach) && !dragCursor_) {
    QApplication::setOverrideCursor(Qt::DragMoveCursor);
    dragCursor_ = true;
  }
}

void TfrmAdjust::FormMouseUp(QWidget* image, QMouseEvent* event) {
  (void)image;  // the release counts where it happens, not where the press was
  if (!Adjustment.Dragging || event->button() != Qt::LeftButton) return;
  TPoint pixel;
  const PictureImage* on = ImageAt(event->globalPosition(), pixel);
  const std::optional<app::CornerMove> move =
      app::ReleaseCorner(Adjustment, on ? on->Tag() : -1, pixel, run_.Projection.PictureSize);
  if (move) ShowCornerMove(*move);
  EndDragCursor();
}

void TfrmAdjust::FormMouseMove(QWidget* image, QMouseEvent* event) {
  (void)image;
  if (!Adjustment.Dragging) return;
  TPoint pixel;
  const PictureImage* on = ImageAt(event->globalPosition(), pixel);
  // The corner follows the mouse on its own picture.
  if (const auto move = app::DragCorner(Adjustment, on ? on->Tag() : -1, pixel, run_.Projection.PictureSize))
    ShowCornerMove(*move);
}

void TfrmAdjust::ShowCornerMove(const app::CornerMove& move) {
  PictureImage* target = move.Right ? RightImage : LeftImage;
  const app::TTriangle& now = move.Right ? Adjustment.RightTriangle : Adjustment.LeftTriangle;
  app::DrawTriangle(target->Picture(), move.Before);  // erases it
  app::DrawTriangle(target->Picture(), now);
  target->UpdateTriangle(move.Before);
  target->SetCorners(now);
}

PictureImage* TfrmAdjust::ImageAt(QPointF global, TPoint& pixel) const {
  for (const auto& [box, image] : {std::pair{sbLeft, LeftImage}, std::pair{sbRight, RightImage}}) {
    if (!image || !box->viewport()->rect().contains(box->viewport()->mapFromGlobal(global).toPoint())) continue;
    pixel = image->PixelAt(image->mapFromGlobal(global));
    return image;
  }
  return nullptr;
}

void TfrmAdjust::EndDragCursor() {
  if (!dragCursor_) return;
  dragCursor_ = false;
  QApplication::restoreOverrideCursor();
}

void TfrmAdjust::bbtnSaveClick() {
  const std::string refusal = app::SaveRefusal(Adjustment, run_.Projection.PictureSize.Y);
  if (!refusal.empty()) {
    services_.Inform(this, QString::fromStdString(refusal));
    return;
  }
  app::StoreAdjustment(run_, Adjustment);
  accept();
}

void TfrmAdjust::bbtnCancelClick() { reject(); }

}  // namespace vistarium::desktop
