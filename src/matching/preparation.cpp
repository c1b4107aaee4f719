#include "matching/preparation.h"

#include <cmath>
#include <stdexcept>

#include "geom/numbers.h"
#include "render/picture_file.h"
#include "render/working_picture.h"

namespace vistarium::matching {

void TakeRunSnapshot(RunState& rs, const TPictureSetData& pictures, const params::ParameterSets& parameters) {
  rs.PictureSet = pictures;
  rs.PictureSet.Count = CheckedInt32(pictures.FileNames.size());
  rs.Parameters = parameters;
}

void ValidateRunParameters(const RunState& rs) {
  const auto& cam = rs.Parameters.Camera;
  const auto& method = rs.Parameters.Method;
  const auto& two = rs.Parameters.TwoPic;
  if (rs.PictureSet.Count < 2) throw std::invalid_argument("At least two pictures are needed");
  if (!params::IsAcceptedCamera(cam.FocalLength, cam.Aberration))
    throw std::invalid_argument("Camera focal length must lie between 0 and 999 mm and aberration between -1 and 1");
  if (method.MinReducedHalfSize < 2 || method.MinReducedHalfSize > 499)
    throw std::invalid_argument("Minimal reduced size must lie between 3 and 998 pixels");
  if (!params::IsAcceptedQualityCoefficient(method.QualityCoefficient))
    throw std::invalid_argument("Quality coefficient must lie between 21 and 199");
  if (method.PreliminarySmoothing != 0 && method.PreliminarySmoothing != 1)
    throw std::invalid_argument("Preliminary smoothing must be 0 or 1");
  const std::pair<const char*, int> percents[] = {
      {"Overlap width", two.OverlapWidthPercent},
      {"Vertical shift", two.VerticalShiftPercent},
      {"Vertical length difference", two.VerticalLengthDifferencePercent},
      {"Horizontal length difference", two.HorizontalLengthDifferencePercent}};
  for (const auto& [name, value] : percents)
    if (!params::IsAcceptedPercent(value)) throw std::invalid_argument(std::string(name) + " must lie between 1 and 99 percent");
  if (!params::IsAcceptedLinesAngle(two.VerticalLinesAngle))
    throw std::invalid_argument("Angle between vertical lines must lie between 0 and 99 degrees");
}

void SetProjectionForCamera(RunState& rs, double focalLength, double aberration, bool exactInverse) {
  TProjectionParameters& pp = rs.Projection;
  const TPoint size = pp.PictureSize;
  pp = TProjectionParameters{};
  geom::SetCameraProjection(pp, size, focalLength, aberration);
  pp.ExactAberrationInverse = exactInverse;

  // Border extent: the own-angle coordinates reached along the right edge
  // (longitude) and the top edge (latitude), upper-right quarter.
  TRealPoint mx{0.0, 0.0};
  TRealPoint mn{static_cast<double>(pp.CircleLength), static_cast<double>(pp.CircleLength)};
  for (int y = 0; y <= pp.PictureCentre.Y + 1e-8; ++y) {
    const TRealPoint q = geom::PlaneToAngles(pp, geom::CorrectAberration(pp, {pp.PictureCentre.X, double(y)}));
    if (q.X > mx.X) mx.X = q.X;
    if (q.X < mn.X) mn.X = q.X;
  }
  for (int x = 0; x <= pp.PictureCentre.X + 1e-8; ++x) {
    const TRealPoint q = geom::PlaneToAngles(pp, geom::CorrectAberration(pp, {double(x), pp.PictureCentre.Y}));
    if (q.Y > mx.Y) mx.Y = q.Y;
    if (q.Y < mn.Y) mn.Y = q.Y;
  }
  pp.Extent = mx;

  const int limit = rs.Parameters.Method.MinReducedHalfSize;
  pp.WorkingScale = 1.0;
  pp.WorkingScaled = limit < mx.Y;
  if (pp.WorkingScaled) {
    pp.WorkingScale = mx.Y / limit;
    mn.X /= pp.WorkingScale;
    mn.Y /= pp.WorkingScale;
  }
  pp.WorkingHalfSize = {Floor(mn.X), Floor(mn.Y)};
  // The searches keep their lines a few cells inside the grid; a grid smaller
  // than that cannot be matched.
  if (pp.WorkingHalfSize.X < 4 || pp.WorkingHalfSize.Y < 4)
    throw std::invalid_argument("The working pictures would be only " +
                                std::to_string(2 * pp.WorkingHalfSize.X + 1) + " x " +
                                std::to_string(2 * pp.WorkingHalfSize.Y + 1) +
                                " cells: use larger pictures or a larger minimal reduced size");
}

void SetUpProjection(RunState& rs) {
  ValidateRunParameters(rs);
  const render::PictureSize size = render::ReadPictureSize(rs.PictureSet.FileNames.at(0));
  rs.Projection.PictureSize = {size.Width, size.Height};
  SetProjectionForCamera(rs, rs.Parameters.Camera.FocalLength, rs.Parameters.Camera.Aberration, false);

  rs.Geometry.assign(static_cast<std::size_t>(rs.PictureSet.Count), PictureGeometry{});
  for (PictureGeometry& g : rs.Geometry) {
    g.LeftConnection.Linked = true;
    g.LeftConnection.LeftSide = true;
    g.RightConnection.Linked = true;
    g.RightConnection.LeftSide = false;
  }
  if (!rs.PictureSet.Is360) {
    rs.Geometry.front().LeftConnection.Linked = false;
    rs.Geometry.back().RightConnection.Linked = false;
  }
  // Pictures that say their own focal length start from it.
  if (rs.Refine && rs.StartZooms.size() == rs.Geometry.size())
    for (std::size_t i = 0; i < rs.Geometry.size(); ++i) rs.Geometry[i].Zoom = rs.StartZooms[i];
  rs.Calibration = CameraCalibration{};
  rs.Stores = FindingStores{};
}

void UseCalibratedCamera(RunState& rs) {
  if (!rs.Calibration.Done) return;
  SetProjectionForCamera(rs, rs.Calibration.FocalLength, rs.Calibration.Aberration, true);
  // The picture pixels of every matched point stay; their angle and working
  // forms follow the new camera, at each picture's zoom.
  for (std::size_t i = 0; i < rs.Geometry.size(); ++i) {
    PictureGeometry& g = rs.Geometry[i];
    const TProjectionParameters pp = PictureProjection(rs, static_cast<int>(i));
    for (TConnectionSide* side : {&g.LeftConnection, &g.RightConnection}) {
      if (!side->Linked) continue;
      for (std::size_t k = 0; k < 3; ++k) {
        side->AnglePoints[k] = geom::PictureToAngles(pp, side->ImagePoints[k]);
        side->WorkingPoints[k] = geom::ToWorkingScale(pp, side->AnglePoints[k]);
      }
    }
  }
}

void PrepareWorkingPicture(RunState& rs, int p, DeviceBitmap& source, TColMatrix& target) {
  source = render::LoadPictureFile(rs.PictureSet.FileNames.at(static_cast<std::size_t>(p)));
  PrepareDecodedWorkingPicture(rs, p, source, target);
}

void PrepareDecodedWorkingPicture(RunState& rs, int p, const DeviceBitmap& source, TColMatrix& target) {
  const std::string& file = rs.PictureSet.FileNames.at(static_cast<std::size_t>(p));
  if (source.Width != rs.Projection.PictureSize.X || source.Height != rs.Projection.PictureSize.Y)
    throw std::runtime_error("Picture \"" + file + "\" is " + std::to_string(source.Width) + " x " +
                             std::to_string(source.Height) + " pixels, but the set's pictures are " +
                             std::to_string(rs.Projection.PictureSize.X) + " x " +
                             std::to_string(rs.Projection.PictureSize.Y));
  render::BuildWorkingPicture(rs.Projection, source, rs.RawWorking);
  render::SmoothWorkingPicture(rs.RawWorking, rs.Parameters.Method.PreliminarySmoothing, target);
}

}  // namespace vistarium::matching
