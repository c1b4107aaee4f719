#pragma once
// The panorama browser window: a perspective view of the shown panorama that
// the user turns, tilts and zooms with the speed buttons, the keyboard, the
// mouse (drag to pan, wheel to zoom) or lets rotate by itself. The view
// follows the window's size; the buttons stay in a row below it.

#include <QDialog>
#include <QPoint>

#include "browse/browser.h"
#include "image/bitmaps.h"

class QFrame;
class QTimer;
class QToolButton;

namespace vistarium::desktop {

class BitmapImage;

class TfrmBrowser : public QDialog {
public:
  explicit TfrmBrowser(QWidget* parent = nullptr);

  // Initial values, timer off, map emptied, the window back to its first size.
  void ResetBrowser();
  // Builds the map of the panorama and draws the first view. Throws
  // std::invalid_argument when the values cannot make a map.
  void OpenBrowser(const Bitmap32& panorama, const browse::BrowserSource& source);
  // The same in two steps, so that the map can be built on another thread:
  // the state to build it into (the present view size, the rest initial),
  // which browse::OpenBrowser fills, and then the first view of that state.
  browse::BrowserState StateForOpening();
  void ShowOpened(browse::BrowserState opened);
  // Draws the view from the map, refreshes it and enables the buttons.
  void RenderView();
  void UpdateButtons();

  void sbtnLeftClick();
  void sbtnRightClick();
  void sbtnUpClick();
  void sbtnDownClick();
  void sbtnZoomUpClick();
  void sbtnZoomDownClick();
  void sbtnZoomInitClick();
  void sbtnAutoLeftClick();
  void sbtnAutoRightClick();
  void sbtnAutoStopClick();
  void sbtnExitClick();
  void timerAutoTimer();
  // Arrow keys move, the keypad's plus and minus zoom; each only when its
  // button is enabled. True when the key was used.
  bool FormKeyDown(int key, Qt::KeyboardModifiers modifiers);
  // Switches the automatic rotation off.
  void FormClose();

  const browse::BrowserState& State() const { return state_; }
  const Bitmap32& View() const { return view_; }

  QFrame* pnlView = nullptr;
  BitmapImage* Img32View = nullptr;
  QTimer* timerAuto = nullptr;
  QToolButton *sbtnLeft = nullptr, *sbtnRight = nullptr, *sbtnUp = nullptr, *sbtnDown = nullptr;
  QToolButton *sbtnAutoLeft = nullptr, *sbtnAutoStop = nullptr, *sbtnAutoRight = nullptr;
  QToolButton *sbtnZoomDown = nullptr, *sbtnZoomInit = nullptr, *sbtnZoomUp = nullptr, *sbtnExit = nullptr;

protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void PlaceControls();
  // The view's size for the window's present client size.
  QSize ViewSizeForClient() const;

  browse::BrowserState state_;
  Bitmap32 view_;
  bool dragging_ = false;
  QPoint dragFrom_;
  double dragColumns_ = 0.0, dragRows_ = 0.0;  // not yet applied parts of the drag
};

}  // namespace vistarium::desktop
