#pragma once
// Camera and sphere projection: how a picture pixel becomes a direction on the
// viewing sphere and back, the stereographic plane on which picture
// orientations are Moebius maps, and the equal-area height in which panoramas
// are stored. Directions are measured in panorama pixels, CircleLength of
// them to a full turn.

#include <cmath>
#include <cstdint>

#include "geom/point.h"

namespace vistarium {

// The projection parameters of one run. All pictures of a set share them.
struct TProjectionParameters {
  TPoint PictureSize;            // W, H in pixels
  TRealPoint PictureCentre;      // (W/2, H/2)
  double HalfSize = 0.0;         // R = max(W/2, H/2)
  double Aberration = 0.0;       // k
  bool AberrationOn = false;     // k != 0
  // RestoreAberration solves the aberration polynomial (Newton's method)
  // instead of taking its first-order inverse; set for calibrated runs,
  // whose coefficients are fitted to the exact model.
  bool ExactAberrationInverse = false;
  std::int32_t FilmWidth = 36;   // mm, along the longer side whatever the orientation
  std::int32_t CircleLength = 0; // N, panorama pixels per full turn
  double AngleStep = 0.0;        // 2*pi/N, radians per panorama pixel
  double HalfCircle = 0.0;       // N/2
  double QuarterCircle = 0.0;    // N/4
  double FullCircle = 0.0;       // N as a real
  std::int32_t FullCircleInt = 0;// Round(FullCircle)
  double PixelsPerRadian = 0.0;  // FullCircle / 2pi
  double FocalPixels = 0.0;      // f = F*R/18
  double WorkingScale = 1.0;     // reduction of the working grid
  bool WorkingScaled = false;
  TRealPoint Extent;             // largest own-angle coordinates of the picture border
  TPoint WorkingHalfSize;        // W', H': working pictures are (2W'+1) x (2H'+1)
};

namespace geom {

// Sets every value that follows from the picture size, the focal length F
// (mm on the 35 mm film standard) and the aberration coefficient k: the
// picture, circle and focal values. Extent, WorkingScale and WorkingHalfSize
// are left for the picture preparation. Throws std::invalid_argument when the
// size or focal length cannot define a projection.
void SetCameraProjection(TProjectionParameters& pp, TPoint pictureSize, double focalLength, double aberration);

// The same projection with another number of panorama pixels to a full
// turn: the circle values (CircleLength, AngleStep, HalfCircle,
// QuarterCircle, FullCircle, FullCircleInt, PixelsPerRadian) follow from
// `circleLength` as SetCameraProjection derives them; the picture and focal
// values stay. A panorama made at a smaller scale is laid out in it.
TProjectionParameters WithCircleLength(const TProjectionParameters& pp, std::int32_t circleLength);

// The camera of one picture that was taken at another focal length than the
// set's camera (zoomed, or taken a step back): FocalPixels times `zoom`,
// everything else as it is (the lens's bending stays in picture pixels, and
// directions keep the set's circle).
inline TProjectionParameters WithZoom(const TProjectionParameters& pp, double zoom) {
  TProjectionParameters zoomed = pp;
  zoomed.FocalPixels *= zoom;
  return zoomed;
}

// The pixel-by-pixel chain of the projection (centre coordinates and the
// lens's bending both ways) is defined here, so that the loops that map
// whole patches and grids through it inline it.
inline TRealPoint CentreCoordinates(const TProjectionParameters& pp, TRealPoint p) {
  return {p.X - pp.PictureCentre.X, pp.PictureCentre.Y - p.Y};
}
inline TRealPoint PictureCoordinates(const TProjectionParameters& pp, TRealPoint p) {
  return {p.X + pp.PictureCentre.X, pp.PictureCentre.Y - p.Y};
}

namespace detail {
// Radial polynomial shared by both aberration directions: r' = (1 + sign*k*s) r.
inline TRealPoint RadialAberration(const TProjectionParameters& pp, TRealPoint p, double sign) {
  if (!pp.AberrationOn) return p;
  const double R = pp.HalfSize;
  const double u = p.X / R, v = p.Y / R;
  const double s = u * u + v * v;
  if (s <= 1e-8) return {0.0, 0.0};
  const double r = std::sqrt(s);
  const double rr = (1.0 + sign * pp.Aberration * s) * r;
  return {R * u * rr / r, R * v * rr / r};
}
// Largest |k s| (s the squared radius normalised by R) that the quick
// exact inverse covers.
inline constexpr double kQuickInverseBending = 0.1;
}  // namespace detail

// Centred (as taken) -> centred (ideal): radial polynomial r' = (1 + k s) r.
inline TRealPoint CorrectAberration(const TProjectionParameters& pp, TRealPoint p) {
  return detail::RadialAberration(pp, p, 1.0);
}

// Centred (ideal) -> centred (as taken), the exact inverse solved step by
// step from the first-order guess until the radius settles to 1e-12 of R
// (the plain version), or the first-order inverse r' = (1 - k s) r unless
// ExactAberrationInverse is set.
TRealPoint RestoreAberrationByNewton(const TProjectionParameters& pp, TRealPoint p);

// The same, quicker: where the bending stays within a tenth of the radius
// (|k s| <= 0.1, s the squared ideal radius over R^2: across the whole
// picture for |k| up to about 0.06, where the real sets calibrate to 0.04
// at most) the radius as taken is the series t (1 - ks + 3 (ks)^2), off by at most
// 2e-2 of t, finished by three Newton steps, which take the error to about
// 2e-4, 1e-8 and below the rounding of doubles. It agrees with
// RestoreAberrationByNewton within 1e-9 pixels; elsewhere (and at the
// centre) that one decides.
inline TRealPoint RestoreAberration(const TProjectionParameters& pp, TRealPoint p) {
  if (!pp.AberrationOn || !pp.ExactAberrationInverse) return detail::RadialAberration(pp, p, -1.0);
  const double R = pp.HalfSize, k = pp.Aberration;
  const double s = (p.X * p.X + p.Y * p.Y) / (R * R);
  const double ks = k * s;
  if (!(std::fabs(ks) <= detail::kQuickInverseBending) || s <= 1e-8) return RestoreAberrationByNewton(pp, p);
  const double t = std::sqrt(s);
  double r = t * (1.0 - ks * (1.0 - 3.0 * ks));
  for (int step = 0; step < 3; ++step) {
    const double r2 = r * r;
    r -= (r * (1.0 + k * r2) - t) / (1.0 + 3.0 * k * r2);
  }
  const double scale = r / t;
  return {p.X * scale, p.Y * scale};
}

TRealPoint PlaneToAngles(const TProjectionParameters& pp, TRealPoint p);
// (0, 0) outside the half-space in front of the camera.
TRealPoint AnglesToPlane(const TProjectionParameters& pp, TRealPoint a);
TRealPoint ToWorkingScale(const TProjectionParameters& pp, TRealPoint a);
TRealPoint ToFullScale(const TProjectionParameters& pp, TRealPoint w);
TRealPoint PictureToAngles(const TProjectionParameters& pp, TRealPoint pixel);
// (0, 0) unless -N/4 < lon < N/4 and -N/4 < lat < N/4.
TRealPoint AnglesToPicture(const TProjectionParameters& pp, TRealPoint a);
TRealPoint SphereToStereo(const TProjectionParameters& pp, TRealPoint a);
TRealPoint StereoToSphere(const TProjectionParameters& pp, TRealPoint z);
TRealPoint LatitudeToEqualArea(const TProjectionParameters& pp, TRealPoint a);
TRealPoint EqualAreaToLatitude(const TProjectionParameters& pp, TRealPoint a);
// One step each way: add N if negative, then subtract N if >= N.
double WrapToCircle(const TProjectionParameters& pp, double lon);

}  // namespace geom
}  // namespace vistarium
