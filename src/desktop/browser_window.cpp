#include "desktop/browser_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QToolButton>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "desktop/views.h"
#include "geom/numbers.h"

namespace vistarium::desktop {

namespace {

constexpr int kClientWidth = 420;
constexpr int kClientHeight = 386;
constexpr int kButton = 32;        // speed buttons are square
constexpr int kGap = 4;            // between buttons of a group
constexpr int kGroupGap = 10;      // between the groups
constexpr int kBelowView = 76;     // client height not taken by the view's panel
constexpr int kMinViewHeight = 150;

enum class Glyph { Left, Right, Up, Down, AutoLeft, AutoStop, AutoRight, ZoomOut, ZoomFit, ZoomIn, Exit };

QPolygonF Triangle(QPointF tip, QPointF baseA, QPointF baseB) { return QPolygonF({tip, baseA, baseB}); }

// The button images, drawn in code like the tool bar's.
QIcon GlyphIcon(Glyph g) {
  constexpr int size = 24;
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor ink(30, 70, 140);
  p.setPen(Qt::NoPen);
  p.setBrush(ink);
  switch (g) {
    case Glyph::Left: p.drawPolygon(Triangle({5, 12}, {17, 4}, {17, 20})); break;
    case Glyph::Right: p.drawPolygon(Triangle({19, 12}, {7, 4}, {7, 20})); break;
    case Glyph::Up: p.drawPolygon(Triangle({12, 5}, {4, 17}, {20, 17})); break;
    case Glyph::Down: p.drawPolygon(Triangle({12, 19}, {4, 7}, {20, 7})); break;
    case Glyph::AutoLeft:
      p.setBrush(QColor(20, 120, 60));
      p.drawPolygon(Triangle({2, 12}, {12, 5}, {12, 19}));
      p.drawPolygon(Triangle({11, 12}, {21, 5}, {21, 19}));
      break;
    case Glyph::AutoRight:
      p.setBrush(QColor(20, 120, 60));
      p.drawPolygon(Triangle({22, 12}, {12, 5}, {12, 19}));
      p.drawPolygon(Triangle({13, 12}, {3, 5}, {3, 19}));
      break;
    case Glyph::AutoStop:
      p.setBrush(QColor(170, 30, 30));
      p.drawRoundedRect(QRectF(5, 5, 14, 14), 2, 2);
      break;
    case Glyph::ZoomOut:
    case Glyph::ZoomIn:
    case Glyph::ZoomFit: {
      // A magnifying glass with -, + or a fit-to-height mark in its lens.
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(ink, 2.2));
      p.drawEllipse(QPointF(10, 10), 7, 7);
      p.setPen(QPen(ink, 3.2, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(15.5, 15.5), QPointF(21, 21));
      p.setPen(QPen(ink, 2.0, Qt::SolidLine, Qt::FlatCap));
      if (g != Glyph::ZoomFit) p.drawLine(QPointF(6.5, 10), QPointF(13.5, 10));
      if (g == Glyph::ZoomIn) p.drawLine(QPointF(10, 6.5), QPointF(10, 13.5));
      if (g == Glyph::ZoomFit) {
        p.drawLine(QPointF(7, 6), QPointF(13, 6));
        p.drawLine(QPointF(7, 14), QPointF(13, 14));
        p.setPen(QPen(ink, 1.6));
        p.drawLine(QPointF(10, 7), QPointF(10, 13));
      }
      break;
    }
    case Glyph::Exit: {
      // A door left open, with an arrow leaving through it.
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(QColor(90, 60, 30), 2.0));
      p.drawRect(QRectF(3, 3, 11, 18));
      p.setBrush(QColor(150, 100, 50));
      p.setPen(Qt::NoPen);
      p.drawPolygon(QPolygonF({{3, 3}, {9, 6}, {9, 23}, {3, 21}}));
      p.setBrush(ink);
      p.drawRect(QRectF(12, 11, 6, 2.4));
      p.drawPolygon(Triangle({23, 12.2}, {17, 7}, {17, 17.4}));
      break;
    }
  }
  return QIcon(pixmap);
}

}  // namespace

TfrmBrowser::TfrmBrowser(QWidget* parent) : QDialog(parent) {
  setObjectName("frmBrowser");
  setWindowTitle("Browse Panorama");
  setSizeGripEnabled(true);
  setMinimumSize(kClientWidth, kMinViewHeight + kBelowView + 10);

  pnlView = new QFrame(this);
  pnlView->setObjectName("pnlView");
  pnlView->setFrameShape(QFrame::StyledPanel);
  pnlView->setFrameShadow(QFrame::Sunken);
  Img32View = new BitmapImage(pnlView);
  Img32View->setObjectName("Img32View");
  Img32View->setCursor(Qt::OpenHandCursor);
  Img32View->installEventFilter(this);

  timerAuto = new QTimer(this);
  timerAuto->setObjectName("timerAuto");
  timerAuto->setInterval(browse::kAutoIntervalMs);
  connect(timerAuto, &QTimer::timeout, this, &TfrmBrowser::timerAutoTimer);

  struct ButtonDef {
    QToolButton** Button;
    const char* Name;
    const char* Hint;
    Glyph Image;
    void (TfrmBrowser::*Handler)();
  };
  const ButtonDef buttons[] = {
      {&sbtnLeft, "sbtnLeft", "Move left", Glyph::Left, &TfrmBrowser::sbtnLeftClick},
      {&sbtnRight, "sbtnRight", "Move right", Glyph::Right, &TfrmBrowser::sbtnRightClick},
      {&sbtnUp, "sbtnUp", "Move up", Glyph::Up, &TfrmBrowser::sbtnUpClick},
      {&sbtnDown, "sbtnDown", "Move down", Glyph::Down, &TfrmBrowser::sbtnDownClick},
      {&sbtnAutoLeft, "sbtnAutoLeft", "Auto move left", Glyph::AutoLeft, &TfrmBrowser::sbtnAutoLeftClick},
      {&sbtnAutoStop, "sbtnAutoStop", "Stop auto move", Glyph::AutoStop, &TfrmBrowser::sbtnAutoStopClick},
      {&sbtnAutoRight, "sbtnAutoRight", "Auto move right", Glyph::AutoRight, &TfrmBrowser::sbtnAutoRightClick},
      {&sbtnZoomDown, "sbtnZoomDown", "Zoom out (-)", Glyph::ZoomOut, &TfrmBrowser::sbtnZoomDownClick},
      {&sbtnZoomInit, "sbtnZoomInit", "Zoom to panorama height", Glyph::ZoomFit, &TfrmBrowser::sbtnZoomInitClick},
      {&sbtnZoomUp, "sbtnZoomUp", "Zoom in (+)", Glyph::ZoomIn, &TfrmBrowser::sbtnZoomUpClick},
      {&sbtnExit, "sbtnExit", "Exit panorama browser", Glyph::Exit, &TfrmBrowser::sbtnExitClick},
  };
  for (const ButtonDef& s : buttons) {
    auto* b = new QToolButton(this);
    b->setObjectName(s.Name);
    b->setToolTip(s.Hint);
    b->setIcon(GlyphIcon(s.Image));
    b->setIconSize(QSize(24, 24));
    b->setAutoRaise(true);
    // The keys belong to the view, not to moving the focus between buttons.
    b->setFocusPolicy(Qt::NoFocus);
    connect(b, &QToolButton::clicked, this, s.Handler);
    *s.Button = b;
  }
  // The moves repeat while a button is held down.
  for (QToolButton* b : {sbtnLeft, sbtnRight, sbtnUp, sbtnDown}) {
    b->setAutoRepeat(true);
    b->setAutoRepeatDelay(300);
    b->setAutoRepeatInterval(40);
  }

  resize(kClientWidth, kClientHeight);
  ResetBrowser();
}

QSize TfrmBrowser::ViewSizeForClient() const {
  return {std::max(1, width() - 20), std::max(1, height() - kBelowView - 10)};
}

void TfrmBrowser::PlaceControls() {
  const QSize view = ViewSizeForClient();
  pnlView->setGeometry(5, 5, view.width() + 10, view.height() + 10);
  Img32View->setGeometry(5, 5, view.width(), view.height());
  // One row under the panel: moves, automatic rotation, zooms, exit.
  const int rowWidth = 11 * kButton + 7 * kGap + 3 * kGroupGap;
  int x = std::max(5, (width() - rowWidth) / 2);
  const int y = pnlView->geometry().bottom() + 1 + (kBelowView - 5 - kButton) / 2;
  QToolButton* const row[] = {sbtnLeft,     sbtnRight,    sbtnUp,       sbtnDown, sbtnAutoLeft, sbtnAutoStop,
                              sbtnAutoRight, sbtnZoomDown, sbtnZoomInit, sbtnZoomUp, sbtnExit};
  for (int k = 0; k < 11; ++k) {
    row[k]->setGeometry(x, y, kButton, kButton);
    x += kButton + ((k == 3 || k == 6 || k == 9) ? kGroupGap : kGap);
  }
}

void TfrmBrowser::ResetBrowser() {
  FormClose();
  resize(kClientWidth, kClientHeight);
  const QSize view = ViewSizeForClient();
  browse::ResetBrowser(state_, view.width(), view.height());
  view_ = Bitmap32{};
  view_.SetSize(view.width(), view.height());
  Img32View->SetBitmap(&view_);
  PlaceControls();
  UpdateButtons();
  Img32View->update();
}

void TfrmBrowser::OpenBrowser(const Bitmap32& panorama, const browse::BrowserSource& source) {
  browse::BrowserState opened = StateForOpening();
  browse::OpenBrowser(opened, panorama, source);
  ShowOpened(std::move(opened));
}

browse::BrowserState TfrmBrowser::StateForOpening() {
  // The old map goes first: a map may take hundreds of megabytes, and the
  // new one needs the room. Without a map the window draws nothing.
  FormClose();
  state_.Map = TColMatrix{};
  state_.MapWidth = state_.MapHeight = 0;
  state_.Tables = {};
  browse::BrowserState s = state_;
  const QSize view = ViewSizeForClient();
  browse::SetViewSize(s, view.width(), view.height());
  return s;
}

void TfrmBrowser::ShowOpened(browse::BrowserState opened) {
  FormClose();
  state_ = std::move(opened);
  // A new panorama starts on a clean view (pixels outside the map are not drawn).
  const QSize view = ViewSizeForClient();
  view_.SetSize(view.width(), view.height());
  std::fill(view_.Pixels.begin(), view_.Pixels.end(), 0xFF000000u);
  RenderView();
}

void TfrmBrowser::RenderView() {
  browse::RenderView(state_, view_);
  Img32View->update();
  UpdateButtons();
}

void TfrmBrowser::UpdateButtons() {
  const browse::ButtonStates b = browse::UpdateButtons(state_);
  const bool map = state_.MapWidth > 0;
  sbtnUp->setEnabled(map && b.Up);
  sbtnDown->setEnabled(map && b.Down);
  sbtnRight->setEnabled(map && b.Right);
  sbtnLeft->setEnabled(map && b.Left);
  sbtnZoomDown->setEnabled(map && b.ZoomDown);
  sbtnZoomInit->setEnabled(map && b.ZoomInit);
  sbtnZoomUp->setEnabled(map && b.ZoomUp);
  sbtnAutoStop->setEnabled(map && b.AutoStop);
  sbtnAutoRight->setEnabled(map && b.AutoRight);
  sbtnAutoLeft->setEnabled(map && b.AutoLeft);
}

void TfrmBrowser::sbtnLeftClick() {
  browse::MoveLeft(state_);
  RenderView();
}
void TfrmBrowser::sbtnRightClick() {
  browse::MoveRight(state_);
  RenderView();
}
void TfrmBrowser::sbtnUpClick() {
  browse::MoveUp(state_);
  RenderView();
}
void TfrmBrowser::sbtnDownClick() {
  browse::MoveDown(state_);
  RenderView();
}
void TfrmBrowser::sbtnZoomUpClick() {
  browse::ZoomIn(state_);
  RenderView();
}
void TfrmBrowser::sbtnZoomDownClick() {
  browse::ZoomOut(state_);
  RenderView();
}
void TfrmBrowser::sbtnZoomInitClick() {
  browse::ZoomInit(state_);
  RenderView();
}
void TfrmBrowser::sbtnAutoLeftClick() {
  browse::StartAutoLeft(state_);
  timerAuto->start();
}
void TfrmBrowser::sbtnAutoRightClick() {
  browse::StartAutoRight(state_);
  timerAuto->start();
}
void TfrmBrowser::sbtnAutoStopClick() {
  timerAuto->stop();
  browse::StopAuto(state_);
  UpdateButtons();
}
void TfrmBrowser::sbtnExitClick() { close(); }

void TfrmBrowser::timerAutoTimer() {
  if (state_.MapWidth <= 0) return;
  browse::AutoTick(state_);
  RenderView();
}

bool TfrmBrowser::FormKeyDown(int key, Qt::KeyboardModifiers modifiers) {
  (void)modifiers;  // the main keyboard's plus and minus zoom as the keypad's do
  QToolButton* button = nullptr;
  void (TfrmBrowser::*handler)() = nullptr;
  switch (key) {
    case Qt::Key_Right: button = sbtnRight, handler = &TfrmBrowser::sbtnRightClick; break;
    case Qt::Key_Left: button = sbtnLeft, handler = &TfrmBrowser::sbtnLeftClick; break;
    case Qt::Key_Up: button = sbtnUp, handler = &TfrmBrowser::sbtnUpClick; break;
    case Qt::Key_Down: button = sbtnDown, handler = &TfrmBrowser::sbtnDownClick; break;
    case Qt::Key_Plus:
    case Qt::Key_Equal:  // plus without Shift on many layouts
      button = sbtnZoomUp, handler = &TfrmBrowser::sbtnZoomUpClick;
      break;
    case Qt::Key_Minus:
    case Qt::Key_Underscore:
      button = sbtnZoomDown, handler = &TfrmBrowser::sbtnZoomDownClick;
      break;
    default: break;
  }
  if (!button) return false;
  if (button->isEnabled()) (this->*handler)();
  return true;
}

void TfrmBrowser::FormClose() {
  timerAuto->stop();
  browse::StopAuto(state_);
  dragging_ = false;
}

void TfrmBrowser::keyPressEvent(QKeyEvent* event) {
  if (FormKeyDown(event->key(), event->modifiers())) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TfrmBrowser::closeEvent(QCloseEvent* event) {
  FormClose();
  QDialog::closeEvent(event);
}

void TfrmBrowser::hideEvent(QHideEvent* event) {
  // Escape and reject() hide the dialog without a close event.
  FormClose();
  QDialog::hideEvent(event);
}

void TfrmBrowser::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  const QSize view = ViewSizeForClient();
  PlaceControls();
  if (view.width() == view_.Width && view.height() == view_.Height) return;
  browse::SetViewSize(state_, view.width(), view.height());
  view_.SetSize(view.width(), view.height());
  std::fill(view_.Pixels.begin(), view_.Pixels.end(), 0xFF000000u);
  Img32View->SetBitmap(&view_);
  Img32View->setGeometry(5, 5, view.width(), view.height());
  if (state_.MapWidth > 0)
    RenderView();
  else
    UpdateButtons();
}

bool TfrmBrowser::eventFilter(QObject* watched, QEvent* event) {
  if (watched != Img32View || state_.MapWidth <= 0) return QDialog::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::MouseButtonPress: {
      auto* e = static_cast<QMouseEvent*>(event);
      if (e->button() != Qt::LeftButton) break;
      dragging_ = true;
      dragFrom_ = e->position().toPoint();
      dragColumns_ = dragRows_ = 0.0;
      Img32View->setCursor(Qt::ClosedHandCursor);
      return true;
    }
    case QEvent::MouseMove: {
      auto* e = static_cast<QMouseEvent*>(event);
      if (!dragging_ || state_.AutoRunning) break;
      const QPoint at = e->position().toPoint();
      const QPoint d = at - dragFrom_;
      dragFrom_ = at;
      // The picture follows the pointer: one view pixel near the centre is
      // Scale view-plane pixels, Scale / f radians.
      dragColumns_ -= d.x() * state_.Scale / (state_.FocalPixels * state_.AngleStep);
      dragRows_ += d.y() * state_.Scale;
      const std::int32_t columns = Round(dragColumns_), rows = Round(dragRows_);
      dragColumns_ -= columns;
      dragRows_ -= rows;
      if (columns != 0 || rows != 0) {
        browse::Pan(state_, columns, rows);
        RenderView();
      }
      return true;
    }
    case QEvent::MouseButtonRelease:
      dragging_ = false;
      Img32View->setCursor(Qt::OpenHandCursor);
      return true;
    case QEvent::Wheel: {
      auto* e = static_cast<QWheelEvent*>(event);
      const int steps = e->angleDelta().y() / 120;
      for (int k = 0; k < std::abs(steps); ++k) {
        QToolButton* b = steps > 0 ? sbtnZoomUp : sbtnZoomDown;
        if (!b->isEnabled()) break;
        steps > 0 ? browse::ZoomIn(state_) : browse::ZoomOut(state_);
      }
      if (steps != 0) RenderView();
      return true;
    }
    default: break;
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace vistarium::desktop
