// The browser window through its real buttons, keys and timer, offscreen.

#include "desktop/browser_window.h"

#include <QApplication>
#include <QFrame>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include "desktop/views.h"

namespace vistarium::desktop {
namespace {

constexpr double kPi = 3.14159265358979323846;

Bitmap32 Stripes(int width, int height) {
  Bitmap32 p;
  p.SetSize(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) p.SetPixel(x, y, (x / 9 % 2) ? 0xFFC08040u : 0xFF203060u + (y % 64));
  return p;
}

browse::BrowserSource Source(int columns, bool is360, int height) {
  return {is360, 2.0 * kPi / columns, columns / (2.0 * kPi), columns / (2.0 * kPi), height / 2.0};
}

TEST(BrowserWindow, ControlsNamesHintsAndFirstSize) {
  TfrmBrowser w;
  EXPECT_EQ(w.windowTitle(), "Browse Panorama");
  EXPECT_EQ(w.size(), QSize(420, 386));
  EXPECT_EQ(w.Img32View->size(), QSize(400, 300));
  EXPECT_EQ(w.Img32View->parentWidget(), w.pnlView);
  EXPECT_EQ(w.Img32View->pos(), QPoint(5, 5));
  EXPECT_EQ(w.timerAuto->interval(), 20);
  EXPECT_FALSE(w.timerAuto->isActive());
  const std::pair<const char*, const char*> hints[] = {
      {"sbtnLeft", "Move left"},           {"sbtnRight", "Move right"},
      {"sbtnUp", "Move up"},               {"sbtnDown", "Move down"},
      {"sbtnAutoLeft", "Auto move left"},  {"sbtnAutoStop", "Stop auto move"},
      {"sbtnAutoRight", "Auto move right"}, {"sbtnZoomDown", "Zoom out (-)"},
      {"sbtnZoomInit", "Zoom to panorama height"}, {"sbtnZoomUp", "Zoom in (+)"},
      {"sbtnExit", "Exit panorama browser"},
  };
  for (const auto& [name, hint] : hints) {
    auto* b = w.findChild<QToolButton*>(name);
    ASSERT_NE(b, nullptr) << name;
    EXPECT_EQ(b->toolTip(), hint);
    EXPECT_FALSE(b->icon().isNull()) << name;
    // Below the view, in one row.
    EXPECT_GT(b->y(), w.pnlView->geometry().bottom());
    EXPECT_EQ(b->y(), w.sbtnLeft->y());
  }
}

TEST(BrowserWindow, PlusZoomsInByOneFactorOnlyWhenItsButtonIsEnabled) {
  TfrmBrowser w;
  w.OpenBrowser(Stripes(900, 240), Source(2700, false, 240));
  const double initial = w.State().InitialScale;
  EXPECT_EQ(w.State().Scale, initial);
  EXPECT_FALSE(w.sbtnZoomDown->isEnabled());
  EXPECT_FALSE(w.sbtnZoomInit->isEnabled());
  EXPECT_TRUE(w.sbtnZoomUp->isEnabled());
  // The view shows the panorama.
  EXPECT_NE(w.View().Pixel(200, 150), 0xFF000000u);

  // Minus while zoom-out is disabled does nothing; the keypad's keys and
  // the main keyboard's zoom alike, one factor a press.
  QTest::keyClick(&w, Qt::Key_Minus, Qt::KeypadModifier);
  QTest::keyClick(&w, Qt::Key_Minus, Qt::NoModifier);
  EXPECT_EQ(w.State().Scale, initial);
  QTest::keyClick(&w, Qt::Key_Plus, Qt::KeypadModifier);
  EXPECT_DOUBLE_EQ(w.State().Scale, initial / 1.1);
  EXPECT_TRUE(w.sbtnZoomDown->isEnabled());
  QTest::keyClick(&w, Qt::Key_Minus, Qt::KeypadModifier);
  EXPECT_EQ(w.State().Scale, initial);
  QTest::keyClick(&w, Qt::Key_Plus, Qt::NoModifier);
  EXPECT_DOUBLE_EQ(w.State().Scale, initial / 1.1);
  QTest::keyClick(&w, Qt::Key_Minus, Qt::NoModifier);
  EXPECT_EQ(w.State().Scale, initial);

  // Arrows move by round(0.01 / step) = 4 columns.
  const int x = w.State().ViewX;
  QTest::keyClick(&w, Qt::Key_Right);
  EXPECT_EQ(w.State().ViewX, x + 4);
}

TEST(BrowserWindow, AutomaticRotationRunsOnTheTimerAndStopsWhenClosed) {
  TfrmBrowser w;
  w.OpenBrowser(Stripes(3600, 300), Source(3600, true, 300));
  w.show();
  const int x = w.State().ViewX;
  w.sbtnAutoRight->click();
  EXPECT_TRUE(w.timerAuto->isActive());
  w.timerAutoTimer();
  EXPECT_EQ(w.State().ViewX, x + 6);
  EXPECT_TRUE(w.sbtnAutoStop->isEnabled());
  EXPECT_TRUE(w.sbtnAutoLeft->isEnabled());
  EXPECT_FALSE(w.sbtnAutoRight->isEnabled());
  EXPECT_FALSE(w.sbtnZoomUp->isEnabled());
  // Arrow keys do nothing while the view rotates.
  QTest::keyClick(&w, Qt::Key_Left);
  EXPECT_EQ(w.State().ViewX, x + 6);
  // The real timer turns the view on.
  QTest::qWait(120);
  EXPECT_GT(w.State().ViewX, x + 6);
  w.sbtnExit->click();
  EXPECT_FALSE(w.timerAuto->isActive());
  EXPECT_FALSE(w.isVisible());
}

TEST(BrowserWindow, TheViewFollowsTheWindowsSizeAndResetEmptiesTheMap) {
  TfrmBrowser w;
  w.OpenBrowser(Stripes(3600, 300), Source(3600, true, 300));
  w.show();
  w.resize(820, 586);
  EXPECT_EQ(w.View().Width, 800);
  EXPECT_EQ(w.View().Height, 500);
  EXPECT_EQ(w.Img32View->size(), QSize(800, 500));
  EXPECT_EQ(w.State().ViewCentreY, 249);
  // The full height still fills the taller view.
  EXPECT_EQ(w.State().Scale, w.State().InitialScale);
  EXPECT_FALSE(w.sbtnZoomInit->isEnabled());
  EXPECT_NE(w.View().Pixel(700, 450), 0xFF000000u);
  EXPECT_GT(w.sbtnLeft->y(), w.pnlView->geometry().bottom());

  w.ResetBrowser();
  EXPECT_EQ(w.size(), QSize(420, 386));
  EXPECT_EQ(w.State().MapWidth, 0);
  EXPECT_TRUE(w.State().Map.Values.empty());
  EXPECT_FALSE(w.sbtnZoomUp->isEnabled());
  EXPECT_FALSE(w.sbtnAutoRight->isEnabled());
}

}  // namespace
}  // namespace vistarium::desktop
