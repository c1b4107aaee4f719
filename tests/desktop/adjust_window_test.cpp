// Correcting connections by hand through the main window: Stitch Manually,
// the connection menu, the adjustment window driven by mouse events, Save
// and Join; and the marks of connections that look unreliable.

#include "desktop/adjust_window.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QWheelEvent>
#include <cmath>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

#include "app/connection_check.h"
#include "desktop/main_window.h"
#include "desktop/services.h"
#include "fake_services.h"
#include "desktop/views.h"
#include "geom/numbers.h"
#include "geom/projection.h"
#include "render/picture_file.h"
#include "../support/scratch_folder.h"

namespace vistarium::desktop {
namespace {

namespace fs = std::filesystem;
using app::WorkflowStage;

using test_support::FakeServices;

const QColor kFuchsia(255, 0, 255);

class AdjustWindowTest : public test_support::ScratchFolder {
protected:
  void SetUp() override {
    ScratchFolder::SetUp();
    // The program's folder with its own copy of the delivered Options.
    fs::copy(fs::path(VISTARIUM_BIN_DIR) / "Options", folder_ / "Options", fs::copy_options::recursive);
    window_ = std::make_unique<TfrmMain>(services_, folder_);
    window_->show();
  }
  void TearDown() override {
    window_.reset();
    ScratchFolder::TearDown();
  }

  void StitchOpenSampleManually() {
    QStringList files;
    for (int i = 1; i <= 4; ++i)
      files << QString("%1/samples/open4/open4_0%2.jpg").arg(VISTARIUM_SOURCE_DIR).arg(i);
    services_.nextOpen = files;
    window_->mnuLoadPictures->trigger();
    window_->mnuByHand->trigger();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->JoinRunning(); }, 120000));
    ASSERT_EQ(window_->Stage(), WorkflowStage::ConnectionsReady);
  }
  // Right click on thumbnail k, then `item` of the connection menu; `inside`
  // runs while the adjustment window is open (modal) and must close it.
  void AdjustConnection(int k, QAction* item, std::function<void(TfrmAdjust&)> inside) {
    TfrmMain& w = *window_;
    QTest::mousePress(w.ThumbnailImages[static_cast<std::size_t>(k)], Qt::RightButton, {}, QPoint(5, 5));
    w.pmnuCorrection->hide();
    bool ran = false;
    QTimer::singleShot(100, [&] {
      ran = true;
      w.AdjustWindow()->bbtnActualSizeClick();  // these steps speak in picture pixels
      inside(*w.AdjustWindow());
      if (w.AdjustWindow()->isVisible()) w.AdjustWindow()->reject();  // a failed check must not hang the test
    });
    item->trigger();
    EXPECT_TRUE(ran);
  }
  static QColor FrameColour(QFrame* f) { return f->palette().color(QPalette::Window); }

  // Presses on `from` and releases at `to` (picture pixels), scrolling both
  // into view first.
  static void Drag(TfrmAdjust& a, PictureImage* press, TPoint from, PictureImage* release, TPoint to) {
    QScrollArea* pressBox = press == a.LeftImage ? a.sbLeft : a.sbRight;
    QScrollArea* releaseBox = release == a.LeftImage ? a.sbLeft : a.sbRight;
    pressBox->ensureVisible(from.X, from.Y, 60, 60);
    QTest::mousePress(press, Qt::LeftButton, {}, QPoint(from.X, from.Y));
    releaseBox->ensureVisible(to.X, to.Y, 60, 60);
    // The release reaches the pressed image, at the place where it happens.
    const QPoint local = press->mapFromGlobal(release->mapToGlobal(QPoint(to.X, to.Y)));
    QTest::mouseRelease(press, Qt::LeftButton, {}, local);
  }

  FakeServices services_;
  std::unique_ptr<TfrmMain> window_;
};

TEST_F(AdjustWindowTest, StitchManuallyCorrectAConnectionByDraggingSaveAndJoin) {
  ASSERT_NO_FATAL_FAILURE(StitchOpenSampleManually());  // the test stops if the Join did not end
  TfrmMain& w = *window_;
  RunState& rs = w.Run();
  const TConnectionSide before = rs.Geometry[1].RightConnection;
  const TConnectionSide beforeRight = rs.Geometry[2].LeftConnection;
  const DeviceBitmap file = render::LoadPictureFile(rs.PictureSet.FileNames[1]);
  const TPoint moved{900, 420};

  AdjustConnection(2, w.pmnuAdjustLeft, [&](TfrmAdjust& a) {
    EXPECT_EQ(FrameColour(w.ThumbnailFrames[1]), kFuchsia);
    EXPECT_EQ(FrameColour(w.ThumbnailFrames[2]), kFuchsia);
    EXPECT_EQ(a.windowTitle(), "Manual adjustment of stitching");
    EXPECT_EQ(a.pnlControl->height(), 35);
    EXPECT_EQ(a.Adjustment.LeftIndex, 1);
    EXPECT_EQ(a.Adjustment.RightIndex, 2);
    ASSERT_NE(a.LeftImage, nullptr);
    EXPECT_EQ(a.LeftImage->size(), QSize(1024, 768));
    EXPECT_EQ(a.LeftImage->property("tag").toInt(), 1);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // the hourglass went before the window showed

    // The anchor, drawn inverted into the picture, is dragged to a new place.
    const TPoint anchor = a.Adjustment.LeftTriangle[2];
    EXPECT_EQ(anchor, (TPoint{Round(before.ImagePoints[2].X), Round(before.ImagePoints[2].Y)}));
    EXPECT_EQ(a.LeftImage->Picture().Pixel(anchor.X, anchor.Y), file.Pixel(anchor.X, anchor.Y) ^ 0x808080);
    a.sbLeft->ensureVisible(anchor.X, anchor.Y, 60, 60);
    QTest::mousePress(a.LeftImage, Qt::LeftButton, {}, QPoint(anchor.X + 4, anchor.Y - 5));
    EXPECT_TRUE(a.Adjustment.Dragging);
    EXPECT_EQ(a.Adjustment.DragVertex, 3);
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::DragMoveCursor);
    a.sbLeft->ensureVisible(moved.X, moved.Y, 60, 60);
    QTest::mouseRelease(a.LeftImage, Qt::LeftButton, {}, QPoint(moved.X, moved.Y));
    EXPECT_FALSE(a.Adjustment.Dragging);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(a.Adjustment.LeftTriangle[2], moved);
    EXPECT_EQ(a.LeftImage->Picture().Pixel(anchor.X, anchor.Y), file.Pixel(anchor.X, anchor.Y));
    EXPECT_EQ(a.LeftImage->Picture().Pixel(moved.X, moved.Y), file.Pixel(moved.X, moved.Y) ^ 0x808080);

    // A corner of the right triangle released on the left picture stays.
    const app::TTriangle right = a.Adjustment.RightTriangle;
    Drag(a, a.RightImage, right[0], a.LeftImage, {500, 300});
    EXPECT_EQ(a.Adjustment.RightTriangle, right);
    EXPECT_FALSE(a.Adjustment.Dragging);

    // The first corner dropped onto the second: no triangle left, refused as narrow; the window stays.
    const app::TTriangle left = a.Adjustment.LeftTriangle;
    Drag(a, a.LeftImage, left[0], a.LeftImage, left[1]);
    a.bbtnSave->click();
    ASSERT_FALSE(services_.informed.isEmpty());
    EXPECT_EQ(services_.informed.back().toStdString(), app::kLeftTriangleNarrow);
    EXPECT_TRUE(a.isVisible());
    // A press on the two corners takes the later one, vertex 2.
    Drag(a, a.LeftImage, left[1], a.LeftImage, {300, 300});
    EXPECT_EQ(a.Adjustment.LeftTriangle, (app::TTriangle{left[1], {300, 300}, left[2]}));
    Drag(a, a.LeftImage, left[1], a.LeftImage, left[0]);
    Drag(a, a.LeftImage, {300, 300}, a.LeftImage, left[1]);
    EXPECT_EQ(a.Adjustment.LeftTriangle, left);
    a.bbtnSave->click();
    EXPECT_FALSE(a.isVisible());
  });
  EXPECT_NE(FrameColour(w.ThumbnailFrames[1]), kFuchsia);
  EXPECT_NE(FrameColour(w.ThumbnailFrames[2]), kFuchsia);

  // Written back: the moved corner, the others rounded; three forms agree.
  const TConnectionSide& after = rs.Geometry[1].RightConnection;
  EXPECT_EQ(after.ImagePoints[2], (TRealPoint{900.0, 420.0}));
  for (std::size_t k = 0; k < 2; ++k)
    EXPECT_EQ(after.ImagePoints[k], (TRealPoint{static_cast<double>(Round(before.ImagePoints[k].X)),
                                                static_cast<double>(Round(before.ImagePoints[k].Y))}));
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(after.AnglePoints[k], geom::PictureToAngles(rs.Projection, after.ImagePoints[k]));
    EXPECT_EQ(after.WorkingPoints[k], geom::ToWorkingScale(rs.Projection, after.AnglePoints[k]));
    EXPECT_EQ(rs.Geometry[2].LeftConnection.ImagePoints[k],
              (TRealPoint{static_cast<double>(Round(beforeRight.ImagePoints[k].X)),
                          static_cast<double>(Round(beforeRight.ImagePoints[k].Y))}));
  }

  // Cancel changes nothing, even after a drag.
  const TConnectionSide saved = rs.Geometry[0].RightConnection;
  AdjustConnection(0, w.pmnuAdjustRight, [&](TfrmAdjust& a) {
    EXPECT_EQ(a.Adjustment.LeftIndex, 0);
    Drag(a, a.LeftImage, a.Adjustment.LeftTriangle[1], a.LeftImage, {700, 600});
    EXPECT_EQ(a.Adjustment.LeftTriangle[1], (TPoint{700, 600}));
    a.bbtnCancel->click();
  });
  EXPECT_EQ(rs.Geometry[0].RightConnection.ImagePoints, saved.ImagePoints);

  // Join builds only the construction from the corrected connections.
  w.mnuJoin->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&w] { return !w.JoinRunning(); }, 120000));
  ASSERT_TRUE(services_.errors.isEmpty()) << services_.errors.join("\n").toStdString();
  EXPECT_EQ(w.Stage(), WorkflowStage::PanoramaMade);
  EXPECT_GT(w.SimpleShow()->Picture().Width, 1024);
  EXPECT_EQ(rs.Geometry[1].RightConnection.ImagePoints[2], (TRealPoint{900.0, 420.0}));  // not found anew
}

// At a zoom that shows both pictures whole, a corner is taken within ten
// screen pixels and follows the mouse while it is dragged; released off its
// picture it goes back. The wheel zooms about the point under the mouse.
TEST_F(AdjustWindowTest, ZoomedOutCornersFollowTheMouseAndTheWheelZoomsAboutIt) {
  ASSERT_NO_FATAL_FAILURE(StitchOpenSampleManually());
  TfrmMain& w = *window_;
  AdjustConnection(1, w.pmnuAdjustRight, [&](TfrmAdjust& a) {
    a.bbtnFitClick();
    ASSERT_LT(a.Zoom(), 1.0);
    // The scroll bars of the earlier zoom go when the box lays itself out
    // again, which it does from the event loop.
    EXPECT_TRUE(QTest::qWaitFor(
        [&a] { return a.LeftImage->width() <= a.sbLeft->viewport()->width(); }, 5000))
        << a.LeftImage->width() << " > " << a.sbLeft->viewport()->width();
    EXPECT_LE(a.LeftImage->height(), a.sbLeft->viewport()->height());
    EXPECT_EQ(a.lblZoom->text(), QString("%1 %").arg(std::lround(a.Zoom() * 100)));

    const TPoint corner = a.Adjustment.LeftTriangle[0];
    const QPoint at = a.LeftImage->PointOf(corner).toPoint() + QPoint(3, 2);
    QTest::mousePress(a.LeftImage, Qt::LeftButton, {}, at);
    ASSERT_TRUE(a.Adjustment.Dragging);
    const QPoint to = a.LeftImage->PointOf({500, 400}).toPoint();
    QMouseEvent move(QEvent::MouseMove, QPointF(to), a.LeftImage->mapToGlobal(QPointF(to)), Qt::NoButton,
                     Qt::LeftButton, {});
    QApplication::sendEvent(a.LeftImage, &move);
    EXPECT_EQ(a.Adjustment.LeftTriangle[0], a.LeftImage->PixelAt(QPointF(to)));  // followed while dragged
    // Released on the other picture: back where it was.
    const QPoint off = a.LeftImage->mapFromGlobal(a.RightImage->mapToGlobal(QPoint(20, 20)));
    QTest::mouseRelease(a.LeftImage, Qt::LeftButton, {}, off);
    EXPECT_EQ(a.Adjustment.LeftTriangle[0], corner);

    // Three notches of the wheel over a picture point keep it under the mouse.
    a.bbtnActualSizeClick();
    a.sbLeft->ensureVisible(512, 384, 0, 0);
    const QPoint over = a.LeftImage->mapTo(a.sbLeft->viewport(), QPoint(512, 384));
    const TPoint pixel = a.LeftImage->PixelAt(QPointF(512, 384));
    QWheelEvent wheel(QPointF(over), a.sbLeft->viewport()->mapToGlobal(QPointF(over)), QPoint(), QPoint(0, 360),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(a.sbLeft->viewport(), &wheel);
    EXPECT_NEAR(a.Zoom(), 1.25 * 1.25 * 1.25, 1e-9);
    const TPoint after = a.LeftImage->PixelAt(a.LeftImage->mapFrom(a.sbLeft->viewport(), over));
    EXPECT_LE(std::abs(after.X - pixel.X), 1);
    EXPECT_LE(std::abs(after.Y - pixel.Y), 1);
    a.bbtnActualSizeClick();
    EXPECT_EQ(a.LeftImage->size(), QSize(1024, 768));
    a.bbtnCancel->click();
  });
}

TEST_F(AdjustWindowTest, UnreliableConnectionsAreMarkedUntilTheSetChangesAndSurviveTheAdjustment) {
  ASSERT_NO_FATAL_FAILURE(StitchOpenSampleManually());  // the test stops if the Join did not end
  TfrmMain& w = *window_;
  const QColor plain = FrameColour(w.ThumbnailFrames[0]);
  ConnectionCheck bad;
  bad.Left = 1;
  bad.Right = 2;
  bad.Problem = ConnectionProblem::NoMatch;
  bad.ResidualCells = 3.0;
  ConnectionCheck sound;
  sound.Left = 2;
  sound.Right = 3;
  w.MarkUnreliableConnections({sound, bad});
  const QColor marked = FrameColour(w.ThumbnailFrames[1]);
  EXPECT_NE(marked, plain);
  EXPECT_NE(marked, kFuchsia);
  EXPECT_EQ(FrameColour(w.ThumbnailFrames[2]), marked);
  EXPECT_EQ(FrameColour(w.ThumbnailFrames[3]), plain);
  EXPECT_TRUE(w.ThumbnailFrames[1]->toolTip().contains(QString::fromStdString(ConnectionWarning(bad)).toHtmlEscaped()));
  EXPECT_FALSE(w.ThumbnailFrames[1]->toolTip().contains("3 and 4"));
  EXPECT_TRUE(w.ThumbnailFrames[3]->toolTip().isEmpty());

  // Adjusting (2, 3) shows both fuchsia and gives each its own colour back.
  AdjustConnection(2, w.pmnuAdjustRight, [&](TfrmAdjust& a) {
    EXPECT_EQ(FrameColour(w.ThumbnailFrames[2]), kFuchsia);
    EXPECT_EQ(FrameColour(w.ThumbnailFrames[3]), kFuchsia);
    a.bbtnCancel->click();
  });
  EXPECT_EQ(FrameColour(w.ThumbnailFrames[2]), marked);
  EXPECT_EQ(FrameColour(w.ThumbnailFrames[3]), plain);
  EXPECT_EQ(FrameColour(w.ThumbnailFrames[1]), marked);

  // A new Join ends the marks.
  w.mnuJoin->trigger();
  EXPECT_EQ(FrameColour(w.ThumbnailFrames[1]), plain);
  EXPECT_TRUE(w.ThumbnailFrames[1]->toolTip().isEmpty());
  ASSERT_TRUE(QTest::qWaitFor([&w] { return !w.JoinRunning(); }, 120000));
}

}  // namespace
}  // namespace vistarium::desktop
