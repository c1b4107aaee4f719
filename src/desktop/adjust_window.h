#pragma once
// The adjustment window: the two pictures of one connection side by side at
// full size, each in its own scroll box with the triangle of its three
// connection points drawn in, corners moved by dragging, Save and Cancel.
// The rules (drawing, which corner a press takes, the checks, what Save
// writes) are the core's (app/adjustment.h).

#include <QDialog>
#include <QImage>
#include <QWidget>

#include "app/adjustment.h"
#include "image/bitmaps.h"
#include "run/run_state.h"

class QFrame;
class QLabel;
class QMouseEvent;
class QPushButton;
class QScrollArea;

namespace vistarium::desktop {

class DesktopServices;

// A picture shown from its own device bitmap at a zoom (1 = one screen pixel
// a picture pixel), painting only what is exposed; the triangle is drawn
// into the bitmap itself, and over a reduced view as lines.
class PictureImage : public QWidget {
public:
  PictureImage(DeviceBitmap picture, int tag, QWidget* parent = nullptr);
  DeviceBitmap& Picture() { return picture_; }
  const DeviceBitmap& Picture() const { return picture_; }
  int Tag() const { return tag_; }
  double Zoom() const { return zoom_; }
  void SetZoom(double zoom);
  // The picture pixel under a point of the widget, and the widget point at
  // the centre of a picture pixel.
  TPoint PixelAt(QPointF point) const;
  QPointF PointOf(TPoint pixel) const;
  // Repaints the pixels of a triangle (after it was drawn or erased).
  void UpdateTriangle(const app::TTriangle& t);
  // The corners to mark with their numbers over the picture, so that they
  // can be found and told apart; the triangle itself is in the pixels.
  void SetCorners(const app::TTriangle& t);

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  // The reduced copy shown below zoom 1, made from the picture without its
  // triangle (drawn over it as lines, so that dragging needs no new copy).
  void MakeReducedCopy();

  DeviceBitmap picture_;
  int tag_;
  app::TTriangle corners_{};
  bool cornersShown_ = false;
  double zoom_ = 1.0;
  QImage reduced_;
};

class TfrmAdjust : public QDialog {
public:
  TfrmAdjust(DesktopServices& services, RunState& run, QWidget* parent = nullptr);

  // Loads pictures l and r of the run's picture set and their triangles.
  void OpenConnection(int l, int r);

  void bbtnSaveClick();
  void bbtnCancelClick();
  // Press, move and release of the mouse on one of the two images.
  void FormMouseDown(QWidget* image, QMouseEvent* event);
  void FormMouseMove(QWidget* image, QMouseEvent* event);
  void FormMouseUp(QWidget* image, QMouseEvent* event);

  // Both pictures at one zoom; `anchor` (a point of `box`'s viewport) stays
  // over the same picture point, the other box keeps its centre.
  void SetZoom(double zoom, QScrollArea* box = nullptr, QPoint anchor = {});
  double Zoom() const { return zoom_; }
  // The zoom at which a whole picture fits its box.
  double FitZoom() const;
  void bbtnFitClick();
  void bbtnActualSizeClick();

  // Scrolls each picture so that its triangle is in the middle of its box.
  void ScrollToTriangles();

  // The indices, triangles and drag in progress.
  app::ConnectionAdjustment Adjustment;

  QFrame* pnlControl;
  QPushButton* bbtnSave;
  QPushButton* bbtnCancel;
  QLabel* lblConnection;
  QPushButton* bbtnFit;
  QPushButton* bbtnActualSize;
  QLabel* lblZoom;
  QScrollArea* sbLeft;
  QScrollArea* sbRight;
  PictureImage* LeftImage = nullptr;   // the images of the present opening
  PictureImage* RightImage = nullptr;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private:
  PictureImage* CreateImage(QScrollArea* box, int index);
  // The image (and the pixel on it) under a screen point, if it is visible
  // in its scroll box there.
  PictureImage* ImageAt(QPointF global, TPoint& pixel) const;
  void EndDragCursor();
  // Redraws a triangle after one of its corners moved.
  void ShowCornerMove(const app::CornerMove& move);

  double zoom_ = 1.0;
  bool fitOnShow_ = false;  // a new opening is fitted once the boxes have their size
  DesktopServices& services_;
  RunState& run_;
  bool centred_ = false;
  bool dragCursor_ = false;
};

}  // namespace vistarium::desktop
