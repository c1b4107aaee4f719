#pragma once
// The panorama browser without its window: a browsing map whose rows are
// linear in latitude, built once from the shown panorama, and a perspective
// view drawn from it onto a vertical plane at the focal distance, which the
// user turns, tilts and zooms or lets rotate by itself.
//
// The map holds, in row r, the panorama's colour at latitude
// round(MapHeight / 2) - r panorama pixels (horizon at the middle row,
// latitude growing upwards), column for column. The panorama itself is
// stored in equal-area rows: row v has equal-area height HorizonRow - v, so
// map row r samples panorama row HorizonRow - sin(lat * AngleStep) *
// PixelsPerRadian. Verticals of the scene therefore stay straight in the
// view.
//
// Map building and the view exist twice: a plain version that samples pixel
// after pixel as the rules read, and a fast one (the default) that takes
// per-row and per-column values out of the pixel loop, reads interior
// neighbours straight from the pixel stores and spreads the work over all
// cores. Both give the same pixels.

#include <cstdint>
#include <vector>

#include "geom/point.h"
#include "image/bitmaps.h"

namespace vistarium::browse {

// What the browser reads besides the picture: for a panorama just made the
// run's values and the layout's Top, for an opened file its trailer's.
struct BrowserSource {
  bool Is360 = false;
  double AngleStep = 0.0;        // radians per panorama pixel
  double PixelsPerRadian = 0.0;  // panorama pixels per radian
  double FocalPixels = 0.0;      // focal length in pixels
  double HorizonRow = 0.0;       // panorama row of latitude 0
};

// The default view, and the timer interval of the automatic rotation.
inline constexpr int kDefaultViewWidth = 400;
inline constexpr int kDefaultViewHeight = 300;
inline constexpr int kAutoIntervalMs = 20;

// The browser's state, fields in the window's order, with their initial
// values; AutoRunning stands for the running timer.
struct BrowserState {
  double Scale = 1.0;         // view-plane units per view pixel; smaller is closer
  double ZoomFactor = 1.1;    // one zoom step
  double InitialScale = 0.0;  // full map height fills the view; the largest scale
  double MinScale = 0.01;     // the closest zoom
  std::int32_t ViewX = 0;     // map column at the view's centre
  std::int32_t ViewY = 0;     // vertical shift of the view plane (0: horizon centred)
  std::int32_t ViewCentreX = 199;
  std::int32_t ViewCentreY = 149;
  std::int32_t MapWidth = 0, MapHeight = 0;
  TColMatrix Map;
  std::int32_t MaxViewY = 0, MinViewY = 0;
  std::int32_t MaxViewX = 0, MinViewX = 0;
  // The map rows (real) of the panorama's top and bottom pixel rows: what
  // the view shows beyond them is no part of the panorama and is drawn in
  // the background colour, a clean edge instead of the edge row drawn out.
  double FirstPanoramaRow = -1e300, LastPanoramaRow = 1e300;
  double MoveStep = 0.01;  // radians per move
  double AutoStep = 0.01;  // radians per automatic step; its sign is the direction

  // The panorama's values.
  bool Is360 = false;
  double AngleStep = 0.0;
  double PixelsPerRadian = 0.0;
  double FocalPixels = 0.0;

  bool AutoRunning = false;  // the automatic-rotation timer runs

  // The fast drawing's tables of what does not depend on ViewX: per view
  // column the longitude offset and, per distance from the centre column
  // (mirrored columns share it), the map row of every view row. Kept from
  // view to view while the view only turns; not part of the browser's state.
  struct ViewTables {
    double Scale = 0.0, FocalPixels = 0.0, AngleStep = 0.0;
    std::int32_t ViewY = 0, ViewCentreX = 0, ViewCentreY = 0, MapHeight = 0, Width = 0, Height = 0;
    bool Valid = false;
    std::vector<double> LonOffset, G;  // per view column
    std::vector<double> Lat;           // [|i - ViewCentreX|][j]
  };
  mutable ViewTables Tables;
};

// The initial values, the view centre for a view of the given size, the
// timer off and the map emptied (also what a new window starts with).
void ResetBrowser(BrowserState& s, int viewWidth = kDefaultViewWidth, int viewHeight = kDefaultViewHeight);

// The view centre of a view of this size: round(size / 2) - 1.
std::int32_t ViewCentreFor(int size);

// MapHeight for a panorama of height `height`: twice the latitude, in
// panorama pixels, that its half height reaches in equal-area rows, less one.
// Throws std::invalid_argument for values that cannot make a map.
std::int32_t MapHeightFor(double height, double angleStep, double pixelsPerRadian);
// The map height the browser uses: as above, but a panorama whose horizon
// lies off its middle row (a crop that keeps more above than below, or the
// other way) is measured on its taller side, up to 80 degrees of latitude,
// so that the map holds all of it.
std::int32_t MapHeightFor(const BrowserSource& src, int height);

// The panorama row (a real number, row centres at whole numbers) that map
// row y samples in a panorama `height` rows high. The map reaches as far
// from the horizon as the panorama's taller side; when the horizon lies off
// the middle, the map rows beyond the panorama's shorter side repeat its
// edge row instead of showing black.
double MapRowSource(const BrowserSource& src, int height, std::int32_t mapHeight, std::int32_t y);

// Builds the map from the panorama picture: plain and fast.
TColMatrix BuildMapReference(const Bitmap32& panorama, const BrowserSource& src);
TColMatrix BuildMap(const Bitmap32& panorama, const BrowserSource& src);

// Builds the map (fast) and sets the map size, the scales and the initial
// position for a view whose centre is already in `s`; does not draw. Throws
// std::invalid_argument for source values that cannot make a map (not
// finite, not positive), an empty picture, or a view smaller than 4 x 4.
void OpenBrowser(BrowserState& s, const Bitmap32& panorama, const BrowserSource& src);

// Bounds of ViewY (and of ViewX for an open panorama) from Scale.
void UpdateLimits(BrowserState& s);

// A new view size: the view centre follows it, and so does InitialScale
// (the map's full height fills the new view); a scale that filled the old
// view fills the new one, any other stays within [MinScale, InitialScale];
// then the limits are renewed and the position clamped.
void SetViewSize(BrowserState& s, int viewWidth, int viewHeight);

// Draws the view into `view` (its size is the view size; the view centre
// comes from `s`). Pixels whose column falls outside the map keep what they
// held; rows beyond the map's top or bottom (at most a row or two at the
// full-height zoom) repeat its edge row. Plain and fast; the same pixels.
// The colour of the view beyond the panorama's top and bottom.
inline constexpr std::uint32_t kBackground = 0xFF000000u;

void RenderViewReference(const BrowserState& s, Bitmap32& view);
void RenderView(const BrowserState& s, Bitmap32& view);

// Columns (and view-plane pixels) of one move.
std::int32_t MoveColumns(const BrowserState& s);

// The moves and zooms. Each leaves the state within its bounds; the caller
// draws afterwards.
void MoveRight(BrowserState& s);
void MoveLeft(BrowserState& s);
void MoveUp(BrowserState& s);
void MoveDown(BrowserState& s);
void ZoomIn(BrowserState& s);
void ZoomOut(BrowserState& s);
void ZoomInit(BrowserState& s);
// UpdateLimits, then ViewY (and for an open panorama ViewX) clamped.
void RenewAndClamp(BrowserState& s);
// Dragging: ViewX by `columns` (wrapping on a full circle, clamped
// otherwise) and ViewY by `rows` view-plane pixels, clamped.
void Pan(BrowserState& s, std::int32_t columns, std::int32_t rows);

// Automatic rotation.
void StartAutoRight(BrowserState& s);
void StartAutoLeft(BrowserState& s);
void StopAuto(BrowserState& s);
// One timer tick: ViewX moves by round(AutoStep / AngleStep) columns,
// wrapping on a full circle; on an open panorama it is clamped and the
// direction reverses at either bound.
void AutoTick(BrowserState& s);

struct ButtonStates {
  bool Up = false, Down = false, Right = false, Left = false;
  bool ZoomDown = false, ZoomInit = false, ZoomUp = false;
  bool AutoStop = false, AutoRight = false, AutoLeft = false;
  friend bool operator==(const ButtonStates&, const ButtonStates&) = default;
};

// Which buttons are enabled in this state.
ButtonStates UpdateButtons(const BrowserState& s);

// A view by angles, as the command-line view takes it: yaw turns ViewX from
// the middle column by round(yaw / AngleStep) columns (wrapping on a full
// circle, clamped on an open panorama), pitch shifts ViewY by tan(pitch) * f
// view-plane pixels (clamped), zoom divides InitialScale (clamped into
// [MinScale, InitialScale]). Angles in degrees.
void SetViewAngles(BrowserState& s, double yawDegrees, double pitchDegrees, double zoom);

}  // namespace vistarium::browse
