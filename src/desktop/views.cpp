#include "desktop/views.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QScrollBar>
#include <QWheelEvent>
#include <cmath>
#include <algorithm>

#include "app/panorama_file.h"
#include "app/version.h"
#include "desktop/icons.h"

namespace vistarium::desktop {

BitmapImage::BitmapImage(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }

void BitmapImage::SetBitmap(const Bitmap32* bitmap) {
  bitmap_ = bitmap;
  SetZoom(zoom_);
}

void BitmapImage::SetZoom(double zoom) {
  zoom_ = zoom;
  const int w = bitmap_ ? bitmap_->Width : 0, h = bitmap_ ? bitmap_->Height : 0;
  setFixedSize(static_cast<int>(std::lround(w * zoom)), static_cast<int>(std::lround(h * zoom)));
  reduced_ = QImage();
  if (zoom < 1.0 && w > 0 && h > 0) {
    const QImage image(reinterpret_cast<const uchar*>(bitmap_->Pixels.data()), w, h, static_cast<qsizetype>(w) * 4,
                       QImage::Format_RGB32);
    reduced_ = image.scaled(std::max(width(), 1), std::max(height(), 1), Qt::IgnoreAspectRatio,
                            Qt::SmoothTransformation);
  }
  update();
}

void BitmapImage::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  if (!bitmap_ || bitmap_->Width <= 0 || bitmap_->Height <= 0) {
    painter.fillRect(event->rect(), palette().window());
    return;
  }
  // 0xAARRGGBB in native order is Qt's RGB32 form: the pixels are shown in place.
  const QImage image(reinterpret_cast<const uchar*>(bitmap_->Pixels.data()), bitmap_->Width, bitmap_->Height,
                     static_cast<qsizetype>(bitmap_->Width) * 4, QImage::Format_RGB32);
  if (zoom_ < 1.0) {
    const QRect r = event->rect().intersected(reduced_.rect());
    painter.drawImage(r.topLeft(), reduced_, r);
    return;
  }
  if (zoom_ > 1.0) {
    const QRect e = event->rect().intersected(rect());
    const QRect source = QRect(QPoint(static_cast<int>(e.left() / zoom_), static_cast<int>(e.top() / zoom_)),
                               QPoint(static_cast<int>(e.right() / zoom_), static_cast<int>(e.bottom() / zoom_)))
                             .intersected(image.rect());
    painter.drawImage(QRectF(source.left() * zoom_, source.top() * zoom_, source.width() * zoom_,
                             source.height() * zoom_),
                      image, source);
    return;
  }
  const QRect r = event->rect().intersected(image.rect());
  painter.drawImage(r.topLeft(), image, r);
}

TfrmSimpleShow::TfrmSimpleShow(QWidget* parent) : QDialog(parent) {
  setObjectName("frmSimpleShow");
  setWindowTitle("Panorama");
  resize(773, 268);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  // Zoom controls above the picture.
  auto* bar = new QWidget(this);
  bar->setObjectName("pnlViewControl");
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(6, 3, 6, 3);
  const auto button = [bar, row](QPushButton*& b, const char* name, const QString& text, const QString& hint) {
    b = new QPushButton(text, bar);
    b->setObjectName(name);
    b->setToolTip(hint);
    b->setAutoDefault(false);
    row->addWidget(b);
  };
  button(bbtnFit, "bbtnFit", "Fit to Window", "Show the whole panorama in the window (Ctrl+0)");
  button(bbtnActualSize, "bbtnActualSize", "1:1", "One screen pixel a panorama pixel (Ctrl+1)");
  button(bbtnZoomOut, "bbtnZoomOut", "-", "Zoom out (Ctrl+-, Ctrl and the wheel)");
  button(bbtnZoomIn, "bbtnZoomIn", "+", "Zoom in (Ctrl++, Ctrl and the wheel)");
  lblZoom = new QLabel("100 %", bar);
  lblZoom->setObjectName("lblZoom");
  row->addWidget(lblZoom);
  row->addStretch(1);
  layout->addWidget(bar);
  connect(bbtnFit, &QPushButton::clicked, this, [this] { bbtnFitClick(); });
  connect(bbtnActualSize, &QPushButton::clicked, this, [this] { bbtnActualSizeClick(); });
  connect(bbtnZoomIn, &QPushButton::clicked, this, [this] { SetZoom(Img32PlainPanorama->Zoom() * 1.25); });
  connect(bbtnZoomOut, &QPushButton::clicked, this, [this] { SetZoom(Img32PlainPanorama->Zoom() / 1.25); });
  bbtnFit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
  bbtnActualSize->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
  bbtnZoomIn->setShortcut(QKeySequence::ZoomIn);
  bbtnZoomOut->setShortcut(QKeySequence::ZoomOut);
  scroll_ = new QScrollArea(this);
  scroll_->setFrameShape(QFrame::NoFrame);
  auto* canvas = new QWidget;
  Img32PlainPanorama = new BitmapImage(canvas);
  Img32PlainPanorama->setObjectName("Img32PlainPanorama");
  scroll_->setWidget(canvas);
  layout->addWidget(scroll_);
  Img32PlainPanorama->SetBitmap(&picture_);
  scroll_->viewport()->installEventFilter(this);
  PlaceImage(5, 5);
}

double TfrmSimpleShow::FitZoom() const {
  if (picture_.Width <= 0 || picture_.Height <= 0) return 1.0;
  const QSize room = scroll_->maximumViewportSize() - QSize(14, 10);
  return std::min({1.0, room.width() / static_cast<double>(picture_.Width),
                   room.height() / static_cast<double>(picture_.Height)});
}

void TfrmSimpleShow::SetZoom(double zoom) {
  zoom = std::clamp(zoom, std::min(FitZoom(), 1.0) / 2.0, 8.0);
  // The point in the middle of the view stays there.
  const QPoint middle = scroll_->viewport()->rect().center();
  const QPointF at = Img32PlainPanorama->mapFrom(scroll_->viewport(), middle);
  const double before = Img32PlainPanorama->Zoom();
  Img32PlainPanorama->SetZoom(zoom);
  const QPoint topLeft = Img32PlainPanorama->pos();
  scroll_->widget()->setFixedSize(2 * topLeft.x() + Img32PlainPanorama->width(),
                                  2 * topLeft.y() + Img32PlainPanorama->height());
  scroll_->horizontalScrollBar()->setValue(
      static_cast<int>(std::lround(at.x() / before * zoom + topLeft.x() - middle.x())));
  scroll_->verticalScrollBar()->setValue(static_cast<int>(std::lround(at.y() / before * zoom + topLeft.y() - middle.y())));
  lblZoom->setText(QString("%1 %").arg(static_cast<int>(std::lround(zoom * 100))));
}

void TfrmSimpleShow::bbtnFitClick() { SetZoom(FitZoom()); }

void TfrmSimpleShow::bbtnActualSizeClick() { SetZoom(1.0); }

bool TfrmSimpleShow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == scroll_->viewport() && event->type() == QEvent::Wheel) {
    auto* wheel = static_cast<QWheelEvent*>(event);
    if (wheel->modifiers().testFlag(Qt::ControlModifier)) {
      const int steps = wheel->angleDelta().y() / 120;
      if (steps != 0) SetZoom(Img32PlainPanorama->Zoom() * std::pow(1.25, steps));
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmSimpleShow::PlaceImage(int left, int top) {
  Img32PlainPanorama->SetZoom(1.0);
  Img32PlainPanorama->SetBitmap(&picture_);
  lblZoom->setText("100 %");
  Img32PlainPanorama->move(left, top);
  scroll_->widget()->setFixedSize(left + picture_.Width + left, top + picture_.Height + top);
}

void TfrmSimpleShow::ShowPanorama(const TPanorama& panorama) {
  app::ShowPanorama(panorama, picture_);
  PlaceImage(5, 5);
}

void TfrmSimpleShow::ShowPicture(const DeviceBitmap& picture) {
  app::ShowPicture(picture, picture_);
  PlaceImage(5, 5);
}

void TfrmSimpleShow::TakePicture(Bitmap32&& picture, const QString& heldText) {
  picture_ = std::move(picture);
  PlaceImage(5, 5);
  SetHeldText(heldText);
}

void TfrmSimpleShow::SetHeldText(const QString& text) {
  setWindowTitle(text.isEmpty() ? QString("Panorama") : "Panorama (" + text + ")");
}

void TfrmSimpleShow::Clear() {
  picture_ = Bitmap32{};
  PlaceImage(5, 5);
  SetHeldText({});
}

void TfrmSimpleShow::ShowFullSize() {
  PlaceImage(7, 5);
  QSize size(picture_.Width + 20, picture_.Height + 50 + findChild<QWidget*>("pnlViewControl")->sizeHint().height());
  // A picture larger than the screen keeps its full size; the window stays
  // on the screen, centred on the main window where it fits, and scrolls.
  const QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
  const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
  size = size.boundedTo(available.size() - QSize(16, 48));
  resize(size);
  QPoint topLeft = (parentWidget() ? parentWidget()->geometry().center() : available.center()) -
                   QPoint(size.width() / 2, size.height() / 2);
  topLeft.setX(std::clamp(topLeft.x(), available.left(), std::max(available.left(), available.right() - size.width())));
  topLeft.setY(std::clamp(topLeft.y(), available.top(), std::max(available.top(), available.bottom() - size.height())));
  move(topLeft);
  exec();
}

TfrmDebugSphereShow::TfrmDebugSphereShow(QWidget* parent) : QDialog(parent) {
  setObjectName("frmDebugSphereShow");
  setWindowTitle("frmDebugSphereShow");
  resize(544, 375);
}

void TfrmDebugSphereShow::closeEvent(QCloseEvent* event) {
  objects_.clear();
  QDialog::closeEvent(event);
}

TfrmAbout::TfrmAbout(QWidget* parent) : QDialog(parent) {
  setObjectName("AboutBox");
  setWindowTitle("About Vistarium");
  auto* layout = new QVBoxLayout(this);
  auto* row = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setObjectName("ProgramIcon");
  icon->setPixmap(ProgramIcon().pixmap(64, 64));
  auto* product = new QLabel(QString("Vistarium ") + QString::fromUtf8(app::kVersion.data(), static_cast<qsizetype>(app::kVersion.size())), this);
  product->setObjectName("ProductName");
  QFont big = product->font();
  big.setPointSize(big.pointSize() + 4);
  big.setBold(true);
  product->setFont(big);
  row->addWidget(icon);
  row->addSpacing(12);
  row->addWidget(product, 1);
  layout->addLayout(row);
  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("OKButton");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  layout->addWidget(ok, 0, Qt::AlignHCenter);
}

}  // namespace vistarium::desktop
