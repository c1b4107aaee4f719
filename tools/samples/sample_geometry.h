#pragma once
// Known geometry of a rendered sample set: the camera, the orientation of
// every picture, and from them the true direction of any picture position and
// the true position of the same scene point in any other picture.
//
// Frames. A picture's own frame has x to the right, y up and z forward along
// the optical axis. The world frame is the same for the picture with yaw,
// pitch and roll 0. Orientations are in degrees and turn own directions into
// world directions as
//
//     world = Ry(yaw) * Rx(pitch) * Rz(roll) * own
//
// with Ry(a) (0,0,1) = (sin a, 0, cos a)   yaw positive to the right,
//      Rx(a) (0,0,1) = (0, sin a, cos a)   pitch positive up,
//      Rz(a) (0,1,0) = (sin a, cos a, 0)   roll positive turns the camera's up
//                                          vector to the right (clockwise as
//                                          the photographer sees it).
// So the camera is first rolled about its axis, then tilted up, then turned
// about the vertical. World longitude is atan2(x, z), growing to the right;
// latitude is the elevation above the horizontal plane.
//
// Positions. Picture positions are continuous pixel coordinates, x to the
// right and y downwards; pixel (c, r) covers [c, c+1) x [r, r+1) and its
// centre is (c + 0.5, r + 0.5). A position is inside a picture when
// 0 <= x <= W and 0 <= y <= H.
//
// The pixel -> direction map is exactly the program's own one
// (geom::PictureToAngles, aberration correction included); the way back
// inverts it exactly (the aberration polynomial is solved by Newton's method
// rather than the program's first-order inverse), so a round trip returns the
// start to rounding precision. One exception is the model's own: positions
// within 1e-4 R of the picture centre all map to the optical axis when the
// aberration is not 0.

#include <optional>
#include <vector>

#include "geom/point.h"
#include "geom/projection.h"

namespace vistarium::samples {

struct Vec3 {
  double X = 0.0;
  double Y = 0.0;
  double Z = 0.0;
};

// Orientation of one picture, in degrees (see the convention above).
struct Rotation {
  double Yaw = 0.0;
  double Pitch = 0.0;
  double Roll = 0.0;
};

// Row-major 3 x 3 matrix.
struct Matrix3 {
  double M[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
};

// Own -> world: Ry(yaw) * Rx(pitch) * Rz(roll).
Matrix3 RotationMatrix(const Rotation& r);
Vec3 Apply(const Matrix3& m, Vec3 v);
// Applies the transpose, which for a rotation is its inverse (world -> own).
Vec3 ApplyTransposed(const Matrix3& m, Vec3 v);

// Longitude and latitude of a direction, in degrees: lon = atan2(x, z) in
// (-180, 180], lat = elevation in [-90, 90]. The vector need not be unit.
struct LonLat {
  double Lon = 0.0;
  double Lat = 0.0;
};
LonLat DirectionToLonLat(Vec3 d);
// The unit direction of a longitude and latitude in degrees.
Vec3 LonLatToDirection(LonLat a);

// The camera of a set: picture size, focal length in millimetres on the
// 35 mm film standard (36 mm along the longer side), aberration coefficient.
struct SampleCamera {
  TPoint Size{1024, 768};
  double FocalLength = 28.0;
  double Aberration = 0.0;
};

class SetGeometry {
public:
  // Throws std::invalid_argument for a camera the projection cannot hold.
  SetGeometry(const SampleCamera& camera, std::vector<Rotation> rotations);

  const SampleCamera& Camera() const { return camera_; }
  const TProjectionParameters& Projection() const { return pp_; }
  int Count() const { return static_cast<int>(rotations_.size()); }
  const Rotation& PictureRotation(int i) const;

  // Unit direction, in the picture's own frame, of a picture position.
  Vec3 OwnDirection(TRealPoint pixel) const;
  // The position whose own direction is `own` (any length), also outside
  // the picture; nothing when the direction does not point in front of the
  // camera or no position of the aberration polynomial reaches it.
  std::optional<TRealPoint> OwnPosition(Vec3 own) const;

  // Unit world direction of a position of picture i.
  Vec3 WorldDirection(int i, TRealPoint pixel) const;
  // Position in picture j of a world direction, also outside the picture;
  // nothing as for OwnPosition.
  std::optional<TRealPoint> ProjectToPicture(int j, Vec3 world) const;
  bool Inside(TRealPoint p) const;
  // The true position in picture j of the scene point seen at `pixel` of
  // picture i; nothing when it is behind picture j's camera or outside it.
  std::optional<TRealPoint> Correspond(int i, TRealPoint pixel, int j) const;

  // Share of picture i's centre row (pixel centres at y = H/2) whose scene
  // points lie inside picture j.
  double CentreRowOverlap(int i, int j) const;
  // Share of picture i's rightmost pixel column (centres at x = W - 0.5)
  // whose scene points lie inside picture j.
  double RightEdgeVisible(int i, int j) const;

private:
  void CheckIndex(int i) const;

  SampleCamera camera_;
  TProjectionParameters pp_;
  std::vector<Rotation> rotations_;
  std::vector<Matrix3> matrices_;
};

}  // namespace vistarium::samples
