#include "run/run_state.h"

namespace vistarium {

void ResetPictureSetData(RunState& rs) {
  rs.PictureSet.Count = 0;
  rs.PictureSet.FileNames.clear();
}

void ResetFindingResults(RunState& rs) {
  rs.Projection = TProjectionParameters{};  // all zero, WorkingScale 1.0
  rs.Geometry.clear();
  rs.RawWorking = TColMatrix{};
  rs.LeftWorking = TColMatrix{};
  rs.RightWorking = TColMatrix{};
  rs.Calibration = CameraCalibration{};
  rs.Stores = FindingStores{};
}

void ResetConstructionResults(RunState& rs) {
  const auto count = static_cast<std::size_t>(rs.PictureSet.Count < 0 ? 0 : rs.PictureSet.Count);
  for (std::size_t i = 0; i < count && i < rs.Geometry.size(); ++i) {
    PictureGeometry& g = rs.Geometry[i];
    g.OrientationMap = TOrientationMap{};
    g.LongitudeFloor = 0.0;
    g.LeftConnection.PanoramaPoints = {};
    g.RightConnection.PanoramaPoints = {};
  }
  rs.Horizon = {};
  rs.ClosureSource = TBundleSystem{};
  rs.ClosureTarget = TBundleSystem{};
  rs.Layout = PanoramaLayout{};
  rs.Panorama = TPanorama{};
  rs.Gains.clear();
}

}  // namespace vistarium
