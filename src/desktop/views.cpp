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
#include <algorithm>

#include "app/panorama_file.h"
#include "desktop/icons.h"

namespace vistarium::desktop {

BitmapImage::BitmapImage(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }

void BitmapImage::SetBitmap(const Bitmap32* bitmap) {
  bitmap_ = bitmap;
  const int w = bitmap ? bitmap->Width : 0, h = bitmap ? bitmap->Height : 0;
  setFixedSize(w, h);
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
  const QRect r = event->rect().intersected(image.rect());
  painter.drawImage(r.topLeft(), image, r);
}

TfrmSimpleShow::TfrmSimpleShow(QWidget* parent) : QDialog(parent) {
  setObjectName("frmSimpleShow");
  setWindowTitle("Panorama");
  resize(773, 268);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  scroll_ = new QScrollArea(this);
  scroll_->setFrameShape(QFrame::NoFrame);
  auto* canvas = new QWidget;
  Img32PlainPanorama = new BitmapImage(canvas);
  Img32PlainPanorama->setObjectName("Img32PlainPanorama");
  scroll_->setWidget(canvas);
  layout->addWidget(scroll_);
  Img32PlainPanorama->SetBitmap(&picture_);
  PlaceImage(5, 5);
}

void TfrmSimpleShow::PlaceImage(int left, int top) {
  Img32PlainPanorama->SetBitmap(&picture_);
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
  QSize size(picture_.Width + 20, picture_.Height + 50);
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
  auto* product = new QLabel("Vistarium 1.07", this);
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
