#pragma once
// The scene of a sample set and the rendering of its pictures.
//
// A scene is a photograph wrapped onto the viewing sphere as an
// equirectangular patch: its columns are longitude and its rows latitude, at
// the same number of photo pixels per degree both ways. The patch spans
// `span` degrees of longitude centred on longitude 0 and
// span * height / width degrees of latitude centred on the equator; the
// photo's left edge is at longitude -span/2, its top edge at latitude
// +span * height / (2 * width).
//
// Outside the patch the scene is a neutral grey (kSceneGrey). A mirrored
// scene instead repeats the photo horizontally, every other copy mirrored
// (the photo reflected at its left and right edges, a period of 2 * span
// degrees), so the scene has no seam; it closes continuously around the full
// circle when 180 / span is a whole number (span 180: the photo in front,
// its mirror image behind). Above and below the patch a mirrored scene is grey
// too.

#include <optional>
#include <string>

#include "geom/point.h"
#include "image/bitmaps.h"
#include "sample_geometry.h"

namespace vistarium::samples {

inline constexpr PackedColor kSceneGrey = 0x808080;

// How a scene is made from a photo file: the photo's file name (without
// folder in a truth file), its reduction factor (the photo is first shrunk
// by averaging blocks of factor x factor pixels, dropping any remainder
// columns and rows), the longitude span in degrees and the mirroring.
struct SceneSpec {
  std::string Photo;
  int Reduction = 1;
  double Span = 180.0;
  bool Mirrored = false;
};

class Scene {
public:
  // Throws std::invalid_argument for an empty photo, a span outside
  // (0, 360], a latitude span above 180 degrees, or a mirrored scene whose
  // span does not divide 180.
  Scene(DeviceBitmap photo, double spanDegrees, bool mirrored);
  // Loads (render::LoadPictureFile) and reduces the photo.
  static Scene Load(const std::string& photoPath, int reduction, double spanDegrees, bool mirrored);

  const DeviceBitmap& Photo() const { return photo_; }
  TPoint PhotoSize() const { return {photo_.Width, photo_.Height}; }
  double Span() const { return span_; }
  double LatitudeSpan() const { return span_ * photo_.Height / photo_.Width; }
  bool Mirrored() const { return mirrored_; }

  // Continuous photo position (pixel centres at +0.5) seen in a world
  // direction; nothing where the scene is grey.
  std::optional<TRealPoint> PhotoPosition(Vec3 world) const;
  // The scene's colour in a world direction: the photo sampled bilinearly
  // (render::SampleCanvas) at PhotoPosition, or kSceneGrey.
  PackedColor Colour(Vec3 world) const;

private:
  DeviceBitmap photo_;
  double span_;
  bool mirrored_;
};

// True when every sampled border position (33 per side) of every picture of
// the geometry sees the photo, not the grey around it.
bool SeesOnlyPhoto(const Scene& scene, const SetGeometry& geometry);

// Averages blocks of factor x factor pixels (factor >= 1).
DeviceBitmap ReducePhoto(const DeviceBitmap& photo, int factor);

// Picture i of a set: every pixel (c, r) shows the scene in the world
// direction of its centre (c + 0.5, r + 0.5). Rows run in parallel when the
// library is built with OpenMP.
DeviceBitmap RenderPicture(const Scene& scene, const SetGeometry& geometry, int i);

}  // namespace vistarium::samples
