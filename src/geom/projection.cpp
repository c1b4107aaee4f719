#include "geom/projection.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

#include "geom/numbers.h"

namespace vistarium::geom {

namespace {
constexpr double kPi = std::numbers::pi;

void SetCircleValues(TProjectionParameters& pp, std::int32_t circleLength) {
  pp.CircleLength = circleLength;
  pp.AngleStep = 2.0 * kPi / pp.CircleLength;
  pp.HalfCircle = kPi / pp.AngleStep;
  pp.QuarterCircle = pp.HalfCircle / 2.0;
  pp.FullCircle = pp.HalfCircle * 2.0;
  pp.FullCircleInt = Round(pp.FullCircle);
  pp.PixelsPerRadian = pp.FullCircle / (2.0 * kPi);
}
}  // namespace

TProjectionParameters WithCircleLength(const TProjectionParameters& pp, std::int32_t circleLength) {
  if (circleLength < 4) throw std::invalid_argument("A full turn needs at least 4 panorama pixels");
  TProjectionParameters scaled = pp;
  SetCircleValues(scaled, circleLength);
  return scaled;
}

void SetCameraProjection(TProjectionParameters& pp, TPoint pictureSize, double focalLength, double aberration) {
  if (pictureSize.X <= 0 || pictureSize.Y <= 0)
    throw std::invalid_argument("Picture size " + std::to_string(pictureSize.X) + " x " +
                                std::to_string(pictureSize.Y) + " cannot define a projection");
  if (!(focalLength > 0.0) || !std::isfinite(focalLength))
    throw std::invalid_argument("Focal length must be a positive number of millimetres");
  if (!std::isfinite(aberration)) throw std::invalid_argument("Aberration coefficient must be a number");

  pp.PictureSize = pictureSize;
  pp.PictureCentre = {pictureSize.X / 2.0, pictureSize.Y / 2.0};
  pp.Aberration = aberration;
  pp.AberrationOn = aberration != 0.0;
  pp.HalfSize = std::max(pp.PictureCentre.X, pp.PictureCentre.Y);
  pp.FilmWidth = 36;
  const double R = pp.HalfSize;
  const double alpha = std::atan(pp.FilmWidth * 0.5 / focalLength);
  pp.CircleLength = Round((R / alpha) * 2.0 * kPi);
  if (pp.CircleLength < 4)
    throw std::invalid_argument("Pictures of " + std::to_string(pictureSize.X) + " x " +
                                std::to_string(pictureSize.Y) + " pixels are too small for this focal length");
  SetCircleValues(pp, pp.CircleLength);
  pp.FocalPixels = focalLength * R / (pp.FilmWidth * 0.5);
  pp.WorkingScale = 1.0;
  pp.WorkingScaled = false;
  pp.Extent = {};
  pp.WorkingHalfSize = {};
}

TRealPoint RestoreAberrationByNewton(const TProjectionParameters& pp, TRealPoint p) {
  const TRealPoint first = detail::RadialAberration(pp, p, -1.0);
  if (!pp.AberrationOn || !pp.ExactAberrationInverse) return first;
  // Solve r (1 + k r^2) = target for the radius r as taken (normalised by
  // R), from the first-order guess; the curve must still be rising there.
  const double R = pp.HalfSize, k = pp.Aberration;
  const double target = std::hypot(p.X, p.Y) / R;
  if (target * target <= 1e-8) return first;
  double r = std::hypot(first.X, first.Y) / R;
  for (int step = 0; step < 8; ++step) {
    const double slope = 1.0 + 3.0 * k * r * r;
    if (!(slope > 0.1)) return first;
    const double next = r - (r + k * r * r * r - target) / slope;
    const bool settled = std::fabs(next - r) < 1e-12;
    r = next;
    if (settled) break;
  }
  if (!(r > 0.0) || !std::isfinite(r)) return first;
  return {p.X * r / target, p.Y * r / target};
}

TRealPoint PlaneToAngles(const TProjectionParameters& pp, TRealPoint p) {
  const double f = pp.FocalPixels;
  const double xf = p.X / f, yf = p.Y / f;
  return {std::atan(xf) / pp.AngleStep, std::atan(yf / std::sqrt(xf * xf + 1.0)) / pp.AngleStep};
}

namespace {
bool InFrontHalfSpace(const TProjectionParameters& pp, TRealPoint a) {
  const double q = pp.CircleLength / 4.0;
  return -q < a.X && a.X < q && -q < a.Y && a.Y < q;
}
}  // namespace

TRealPoint AnglesToPlane(const TProjectionParameters& pp, TRealPoint a) {
  if (!InFrontHalfSpace(pp, a)) return {0.0, 0.0};
  const double f = pp.FocalPixels;
  const double lon = a.X * pp.AngleStep, lat = a.Y * pp.AngleStep;
  return {std::tan(lon) * f, std::tan(lat) * f / std::cos(lon)};
}

TRealPoint ToWorkingScale(const TProjectionParameters& pp, TRealPoint a) {
  if (!pp.WorkingScaled) return a;
  return {a.X / pp.WorkingScale, a.Y / pp.WorkingScale};
}

TRealPoint ToFullScale(const TProjectionParameters& pp, TRealPoint w) {
  if (!pp.WorkingScaled) return w;
  return {w.X * pp.WorkingScale, w.Y * pp.WorkingScale};
}

TRealPoint PictureToAngles(const TProjectionParameters& pp, TRealPoint pixel) {
  return PlaneToAngles(pp, CorrectAberration(pp, CentreCoordinates(pp, pixel)));
}

TRealPoint AnglesToPicture(const TProjectionParameters& pp, TRealPoint a) {
  if (!InFrontHalfSpace(pp, a)) return {0.0, 0.0};
  return PictureCoordinates(pp, RestoreAberration(pp, AnglesToPlane(pp, a)));
}

TRealPoint SphereToStereo(const TProjectionParameters& pp, TRealPoint a) {
  const double lon = a.X * pp.AngleStep;
  const double r = std::tan(a.Y * pp.AngleStep / 2.0 + kPi / 4.0);
  return {std::sin(lon) * r, std::cos(lon) * r};
}

TRealPoint StereoToSphere(const TProjectionParameters& pp, TRealPoint z) {
  const double a = z.X, b = z.Y;
  double lon;
  if (std::fabs(b) > 1e-8) {
    lon = std::atan2(a, b);
  } else if (std::fabs(a) > 1e-8) {
    lon = a > 0.0 ? kPi / 2.0 : -kPi / 2.0;
  } else {
    return {0.0, -pp.CircleLength / 4.0};
  }
  const double lat = 2.0 * std::atan(std::sqrt(a * a + b * b)) - kPi / 2.0;
  return {lon / pp.AngleStep, lat / pp.AngleStep};
}

TRealPoint LatitudeToEqualArea(const TProjectionParameters& pp, TRealPoint a) {
  return {a.X, std::sin(a.Y * pp.AngleStep) * pp.PixelsPerRadian};
}

TRealPoint EqualAreaToLatitude(const TProjectionParameters& pp, TRealPoint a) {
  return {a.X, std::asin(a.Y / pp.PixelsPerRadian) / pp.AngleStep};
}

double WrapToCircle(const TProjectionParameters& pp, double lon) {
  const double n = pp.CircleLength;
  if (lon < 0.0) lon += n;
  if (lon >= n) lon -= n;
  return lon;
}

}  // namespace vistarium::geom
