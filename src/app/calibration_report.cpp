#include "app/calibration_report.h"

#include <cmath>

#include "params/text_files.h"

namespace vistarium::app {

namespace {

// A camera entry is named wrong when the fitted focal length differs by
// more than this share, or the aberration by more than kWrongAberration,
// and the residual of all connections shrinks to at most kWrongShrink of
// what it was: on rendered sets an entry 4 % off leaves 0.8 px and the
// calibrated camera 0.1 px.
constexpr double kWrongFocalShare = 0.03;
constexpr double kWrongAberration = 0.01;
constexpr double kWrongShrink = 0.7;

std::string Mm(double v) { return params::FormatFixed(v, 0, 2) + " mm"; }
std::string Px(double v) { return params::FormatFixed(v, 0, 2) + " pixels"; }
std::string K(double v) { return params::FormatFixed(v, 0, 4); }

}  // namespace

bool CalibrationChangedCamera(const CameraCalibration& c) {
  return c.Done && (std::fabs(c.FocalLength - c.StartFocalLength) > kWrongFocalShare * c.StartFocalLength ||
                    std::fabs(c.Aberration - c.StartAberration) > kWrongAberration);
}

std::vector<std::string> CalibrationLines(const RunState& rs, CameraSource source) {
  const CameraCalibration& c = rs.Calibration;
  std::vector<std::string> lines;
  if (c.EstimatedFocalLength > 0.0)
    lines.push_back("focal length estimated from the pictures: " + Mm(c.EstimatedFocalLength));
  if (c.ClosingFocalLength > 0.0) {
    // An estimate was said on the line before; a camera given is named here.
    const std::string from = c.EstimatedFocalLength > 0.0 || c.FirstFocalLength <= 0.0
                                 ? "that focal length"
                                 : "the starting focal length, " + Mm(c.FirstFocalLength) + ",";
    lines.push_back("the circle does not close at " + from + " but at " + Mm(c.ClosingFocalLength) +
                    ": the pictures were matched again from it");
  }
  if (!c.Done) return lines;
  lines.push_back("camera calibrated on all connections: focal length " + Mm(c.FocalLength) + ", aberration " +
                  K(c.Aberration) + " (started from " + Mm(c.StartFocalLength) + " and " + K(c.StartAberration) +
                  "); residual " + Px(c.RmsPixels) + " (" + Px(c.StartRmsPixels) + " with the starting camera)");
  for (std::size_t i = 0; i < rs.Geometry.size(); ++i)
    if (rs.Geometry[i].Zoom != 1.0)
      lines.push_back("picture " + std::to_string(i + 1) +
                      " was taken at another zoom, or a step back or forth: its own focal length is " +
                      Mm(c.FocalLength * rs.Geometry[i].Zoom));
  if (c.FocalKept)
    lines.push_back("the connections cannot fix the focal length (too little overlap, or pictures nearly parallel): "
                    "it stays at " + Mm(c.FocalLength));
  if (source == CameraSource::Entry && c.EstimatedFocalLength <= 0.0 && CalibrationChangedCamera(c) &&
      c.RmsPixels <= kWrongShrink * c.StartRmsPixels)
    lines.push_back("warning: the camera entry is wrong for these pictures: with the camera fitted to all "
                    "connections their residual shrinks from " + Px(c.StartRmsPixels) + " to " + Px(c.RmsPixels) +
                    "; keep the calibrated camera as an entry of its own");
  return lines;
}

}  // namespace vistarium::app
