#include "sample_scene.h"

#include <cmath>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "render/picture_file.h"
#include "render/sampling.h"

namespace vistarium::samples {

namespace {

PackedColor Pack(ColorTriple t) {
  return static_cast<PackedColor>((static_cast<std::uint32_t>(t.Blue) << 16) |
                                  (static_cast<std::uint32_t>(t.Green) << 8) | t.Red);
}

}  // namespace

Scene::Scene(DeviceBitmap photo, double spanDegrees, bool mirrored)
    : photo_(std::move(photo)), span_(spanDegrees), mirrored_(mirrored) {
  if (photo_.Width <= 0 || photo_.Height <= 0) throw std::invalid_argument("The scene photo is empty");
  if (!(span_ > 0.0 && span_ <= 360.0))
    throw std::invalid_argument("The scene span must lie above 0 and at most 360 degrees");
  if (LatitudeSpan() > 180.0)
    throw std::invalid_argument("A span of " + std::to_string(span_) + " degrees makes this photo cover " +
                                std::to_string(LatitudeSpan()) + " degrees of latitude, more than 180");
  if (mirrored_) {
    const double copies = 180.0 / span_;
    if (std::fabs(copies - std::round(copies)) > 1e-9)
      throw std::invalid_argument("A mirrored scene needs a span that divides 180 degrees");
  }
}

Scene Scene::Load(const std::string& photoPath, int reduction, double spanDegrees, bool mirrored) {
  DeviceBitmap photo = render::LoadPictureFile(photoPath);
  if (reduction != 1) photo = ReducePhoto(photo, reduction);
  return Scene(std::move(photo), spanDegrees, mirrored);
}

std::optional<TRealPoint> Scene::PhotoPosition(Vec3 world) const {
  const LonLat a = DirectionToLonLat(world);
  const double perDegree = photo_.Width / span_;
  const double w = photo_.Width;
  double u = w / 2.0 + a.Lon * perDegree;
  const double v = photo_.Height / 2.0 - a.Lat * perDegree;
  if (v < 0.0 || v > photo_.Height) return std::nullopt;
  if (mirrored_) {
    u = std::fmod(u, 2.0 * w);
    if (u < 0.0) u += 2.0 * w;
    if (u > w) u = 2.0 * w - u;
  } else if (u < 0.0 || u > w) {
    return std::nullopt;
  }
  return TRealPoint{u, v};
}

PackedColor Scene::Colour(Vec3 world) const {
  const std::optional<TRealPoint> p = PhotoPosition(world);
  if (!p) return kSceneGrey;
  return Pack(render::SampleCanvas(PhotoSize(), photo_, *p));
}

bool SeesOnlyPhoto(const Scene& scene, const SetGeometry& g) {
  const TPoint size = g.Camera().Size;
  for (int i = 0; i < g.Count(); ++i)
    for (int k = 0; k <= 32; ++k) {
      const double fx = size.X * k / 32.0, fy = size.Y * k / 32.0;
      const TRealPoint border[] = {{fx, 0.0}, {fx, double(size.Y)}, {0.0, fy}, {double(size.X), fy}};
      for (const TRealPoint& p : border)
        if (!scene.PhotoPosition(g.WorldDirection(i, p))) return false;
    }
  return true;
}

DeviceBitmap ReducePhoto(const DeviceBitmap& photo, int factor) {
  if (factor < 1) throw std::invalid_argument("The photo reduction must be at least 1");
  const int w = photo.Width / factor, h = photo.Height / factor;
  if (w <= 0 || h <= 0) throw std::invalid_argument("The photo is too small for this reduction");
  DeviceBitmap out(w, h);
  const double n = static_cast<double>(factor) * factor;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double sum[3] = {0.0, 0.0, 0.0};
      for (int dy = 0; dy < factor; ++dy)
        for (int dx = 0; dx < factor; ++dx) {
          const auto c = static_cast<std::uint32_t>(photo.Pixel(x * factor + dx, y * factor + dy));
          sum[0] += c & 0xFFu;
          sum[1] += (c >> 8) & 0xFFu;
          sum[2] += (c >> 16) & 0xFFu;
        }
      const std::uint32_t r = render::RoundToByte(sum[0] / n), g = render::RoundToByte(sum[1] / n),
                          b = render::RoundToByte(sum[2] / n);
      out.SetPixel(x, y, static_cast<PackedColor>((b << 16) | (g << 8) | r));
    }
  return out;
}

DeviceBitmap RenderPicture(const Scene& scene, const SetGeometry& geometry, int i) {
  const TPoint size = geometry.Camera().Size;
  const Matrix3 m = RotationMatrix(geometry.PictureRotation(i));
  DeviceBitmap picture(size.X, size.Y);
  // Exceptions must not leave a parallel region; the first one is kept and
  // thrown after it.
  std::exception_ptr failure;
#pragma omp parallel for schedule(dynamic, 8)
  for (int y = 0; y < size.Y; ++y) {
    try {
      for (int x = 0; x < size.X; ++x) {
        const Vec3 own = geometry.OwnDirection({x + 0.5, y + 0.5});
        picture.SetPixel(x, y, scene.Colour(Apply(m, own)));
      }
    } catch (...) {
#pragma omp critical(vistarium_samples_failure)
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  return picture;
}

}  // namespace vistarium::samples
