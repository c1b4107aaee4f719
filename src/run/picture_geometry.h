#pragma once
// Per-picture geometry: the two connection sides that the matching writes
// and the orientation that the construction derives from them.

#include <array>
#include <vector>

#include "geom/point.h"

namespace vistarium {

// A picture's orientation: the Moebius map of the stereographic plane that
// carries three own points (P1..P3) onto their panorama images (P4..P6).
// P7 and P8 are the cross-ratio constants of the forward and inverse maps.
// All zero (inactive) means the identity.
struct TOrientationMap {
  bool Active = false;
  TRealPoint P1, P2, P3, P4, P5, P6, P7, P8;
};

// One picture's half of the connection with a neighbour. The three points
// are, in this order: the upper end of the matched line, its lower end, and
// the anchor (fixed near the left picture's right border, found in the right
// picture). Point k of one half and point k of the other show the same scene
// point.
struct TConnectionSide {
  bool Linked = false;
  bool LeftSide = false;  // true on the left side, false on the right; informational
  std::array<TRealPoint, 3> WorkingPoints{};   // working coordinates
  std::array<TRealPoint, 3> AnglePoints{};     // full-scale own angle coordinates
  std::array<TRealPoint, 3> ImagePoints{};     // full-size picture pixels
  std::array<TRealPoint, 3> PanoramaPoints{};  // panorama angle coordinates
};

struct PictureGeometry {
  TConnectionSide LeftConnection;
  TConnectionSide RightConnection;
  TOrientationMap OrientationMap;
  double LongitudeFloor = 0.0;
};

}  // namespace vistarium
