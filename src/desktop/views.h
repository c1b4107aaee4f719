#pragma once
// The full-size view of the panorama, which also holds the displayable copy
// of it, the empty debug sphere view and the about box.

#include <QDialog>
#include <QImage>
#include <QWidget>
#include <memory>
#include <vector>

#include "image/bitmaps.h"
#include "run/run_state.h"

class QLabel;
class QPushButton;
class QScrollArea;

namespace vistarium::desktop {

// Shows a Bitmap32 at a zoom (1 = one screen pixel a panorama pixel),
// aligned to its top-left corner, painting only what is exposed (panoramas
// may be tens of thousands of pixels wide).
class BitmapImage : public QWidget {
public:
  explicit BitmapImage(QWidget* parent = nullptr);
  // Sizes the control to the bitmap at the present zoom.
  void SetBitmap(const Bitmap32* bitmap);
  void SetZoom(double zoom);
  double Zoom() const { return zoom_; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  const Bitmap32* bitmap_ = nullptr;
  double zoom_ = 1.0;
  QImage reduced_;  // the bitmap smoothly reduced, below zoom 1
};

class TfrmSimpleShow : public QDialog {
public:
  explicit TfrmSimpleShow(QWidget* parent = nullptr);

  // The construction's panorama: packed 0x00BBGGRR to 0xFFRRGGBB.
  void ShowPanorama(const TPanorama& panorama);
  // An opened picture, converted the same way.
  void ShowPicture(const DeviceBitmap& picture);
  // Takes a bitmap prepared elsewhere (by the thread that built the panorama)
  // and what it says it holds.
  void TakePicture(Bitmap32&& picture, const QString& heldText = {});
  // What the window says it holds, in its caption: the picture's size and
  // memory, and the scale when it shows a reduced copy of the panorama.
  void SetHeldText(const QString& text);
  // Forgets the panorama (0 x 0).
  void Clear();
  const Bitmap32& Picture() const { return picture_; }
  // Sizes the window to the picture (within the screen) and shows it modally.
  void ShowFullSize();

  // The picture's zoom: the whole picture in the window, one screen pixel a
  // panorama pixel, or a step in or out (Ctrl and the wheel, + and -).
  void SetZoom(double zoom);
  double FitZoom() const;
  void bbtnFitClick();
  void bbtnActualSizeClick();

  BitmapImage* Img32PlainPanorama = nullptr;
  QPushButton *bbtnFit = nullptr, *bbtnActualSize = nullptr, *bbtnZoomIn = nullptr, *bbtnZoomOut = nullptr;
  QLabel* lblZoom = nullptr;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void PlaceImage(int left, int top);
  QScrollArea* scroll_ = nullptr;
  Bitmap32 picture_;
};

// Created at start like the other windows; owns a list of objects that it
// frees when closed. Nothing fills it or shows it.
class TfrmDebugSphereShow : public QDialog {
public:
  explicit TfrmDebugSphereShow(QWidget* parent = nullptr);
  std::vector<std::unique_ptr<QObject>>& Objects() { return objects_; }

protected:
  void closeEvent(QCloseEvent* event) override;

private:
  std::vector<std::unique_ptr<QObject>> objects_;
};

class TfrmAbout : public QDialog {
public:
  explicit TfrmAbout(QWidget* parent = nullptr);
};

}  // namespace vistarium::desktop
