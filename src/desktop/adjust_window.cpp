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
#include <algorithm>
#include <filesystem>

#include "desktop/services.h"
#include "render/picture_file.h"

namespace vistarium::desktop {

namespace {

constexpr int kPanelHeight = 35;
constexpr int kMargin = 10;

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

void PictureImage::UpdateTriangle(const app::TTriangle& t) {
  update(BoundingRect(t).adjusted(-kMarkReach, -kMarkReach, kMarkReach, kMarkReach));
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
  const QRect r = event->rect().intersected(image.rect());
  if (!r.isEmpty()) painter.drawImage(r.topLeft(), image, r);
  if (!cornersShown_) return;
  // A ring around each corner, as wide as the reach of a press, and its number.
  painter.setRenderHint(QPainter::Antialiasing);
  QFont font = painter.font();
  font.setBold(true);
  painter.setFont(font);
  for (int k = 0; k < 3; ++k) {
    const QPoint c(corners_[static_cast<std::size_t>(k)].X, corners_[static_cast<std::size_t>(k)].Y);
    if (!event->rect().intersects(QRect(c, c).adjusted(-kMarkReach, -kMarkReach, kMarkReach, kMarkReach))) continue;
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::black, 3));
    painter.drawEllipse(c, kMarkRadius, kMarkRadius);
    painter.setPen(QPen(QColor(255, 230, 0), 1.5));
    painter.drawEllipse(c, kMarkRadius, kMarkRadius);
    const QRect label(c.x() + 10, c.y() - 26, 16, 16);
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
  lblConnection = new QLabel(pnlControl);
  lblConnection->setObjectName("lblConnection");
  lblConnection->setGeometry(200, 5, 2000, 25);
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
}

PictureImage* TfrmAdjust::CreateImage(QScrollArea* box, int index) {
  const TPoint size = run_.Projection.PictureSize;
  auto* image = new PictureImage(LoadAtSetSize(run_.PictureSet.FileNames.at(static_cast<std::size_t>(index)), size),
                                 index);
  image->setObjectName(box == sbLeft ? "LeftImage" : "RightImage");
  image->installEventFilter(this);
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
  if (isVisible()) ScrollToTriangles();
}

void TfrmAdjust::ScrollToTriangles() {
  for (const auto& [box, t] :
       {std::pair{sbLeft, Adjustment.LeftTriangle}, std::pair{sbRight, Adjustment.RightTriangle}}) {
    if (!box->widget()) continue;
    const TPoint origin = app::ViewOriginFor(t, {box->viewport()->width(), box->viewport()->height()},
                                             run_.Projection.PictureSize);
    box->horizontalScrollBar()->setValue(origin.X);
    box->verticalScrollBar()->setValue(origin.Y);
  }
}

void TfrmAdjust::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!centred_) {
    centred_ = true;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
      move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
  }
  // Once the boxes have their size.
  QTimer::singleShot(0, this, [this] { ScrollToTriangles(); });
}

void TfrmAdjust::hideEvent(QHideEvent* event) {
  EndDragCursor();
  Adjustment.Dragging = false;
  Adjustment.DragImageTag = -1;
  Adjustment.DragVertex = 0;
  QDialog::hideEvent(event);
}

bool TfrmAdjust::eventFilter(QObject* watched, QEvent* event) {
  if (watched == LeftImage || watched == RightImage) {
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
  const QPoint p = event->position().toPoint();
  if (app::PressCorner(Adjustment, picture->Tag(), {p.x(), p.y()}) && !dragCursor_) {
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
  if (move) {
    PictureImage* target = move->Right ? RightImage : LeftImage;
    const app::TTriangle& now = move->Right ? Adjustment.RightTriangle : Adjustment.LeftTriangle;
    app::DrawTriangle(target->Picture(), move->Before);  // erases it
    app::DrawTriangle(target->Picture(), now);
    target->UpdateTriangle(move->Before);
    target->SetCorners(now);
  }
  EndDragCursor();
}

PictureImage* TfrmAdjust::ImageAt(QPointF global, TPoint& pixel) const {
  for (const auto& [box, image] : {std::pair{sbLeft, LeftImage}, std::pair{sbRight, RightImage}}) {
    if (!image || !box->viewport()->rect().contains(box->viewport()->mapFromGlobal(global).toPoint())) continue;
    const QPoint p = image->mapFromGlobal(global).toPoint();
    pixel = {p.x(), p.y()};
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
