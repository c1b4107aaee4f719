#include "render/gain_compensation.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>

#include "geom/numbers.h"
#include "geom/rays.h"
#include "render/fill.h"
#include "render/picture_file.h"

namespace vistarium::render {

namespace {

// Channel values at or above this may be clipped; below the floor a
// patch's mean is mostly noise.
constexpr unsigned kClipped = 250;
constexpr double kDarkMean = 4.0;
// A connection with fewer usable samples is left out.
constexpr std::size_t kFewestSamples = 8;
// Gains beyond these come from a wrong connection, not from an exposure.
constexpr double kLowestGain = 0.2, kHighestGain = 5.0;

// Half the side of the patches: about a 250th of the picture, 2 to 8 pixels.
int PatchRadius(TPoint size) { return std::clamp(Round(std::min(size.X, size.Y) / 250.0), 2, 8); }

// The mean colour of the patch centred on the pixel holding `p`; nothing
// when it reaches outside the picture or holds a clipped pixel.
std::optional<std::array<double, 3>> PatchMean(const DeviceBitmap& picture, TRealPoint p, int radius) {
  if (!(p.X >= 0.0 && p.Y >= 0.0)) return std::nullopt;
  const int cx = static_cast<int>(p.X), cy = static_cast<int>(p.Y);
  if (cx - radius < 0 || cy - radius < 0 || cx + radius >= picture.Width || cy + radius >= picture.Height)
    return std::nullopt;
  unsigned sum[3] = {0, 0, 0};
  for (int y = cy - radius; y <= cy + radius; ++y)
    for (int x = cx - radius; x <= cx + radius; ++x) {
      const auto c = static_cast<unsigned>(picture.Pixel(x, y));
      const unsigned red = c & 0xFFu, green = (c >> 8) & 0xFFu, blue = (c >> 16) & 0xFFu;
      if (red >= kClipped || green >= kClipped || blue >= kClipped) return std::nullopt;
      sum[0] += blue;
      sum[1] += green;
      sum[2] += red;
    }
  const double n = (2.0 * radius + 1.0) * (2.0 * radius + 1.0);
  const std::array<double, 3> mean{sum[0] / n, sum[1] / n, sum[2] / n};
  if (mean[0] < kDarkMean || mean[1] < kDarkMean || mean[2] < kDarkMean) return std::nullopt;
  return mean;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

// Log gains of one channel: x_left - x_right = d per sample, weighted
// afresh from the residuals (Cauchy weights on a robust scale) a few times.
// A faint pull towards 0 fixes the common factor of every group of
// connected pictures.
Eigen::VectorXd SolveChannel(const std::vector<GainSample>& samples, const std::vector<double>& d, int count) {
  const std::size_t m = samples.size();
  std::vector<double> weight(m, 1.0), residual(m, 0.0);
  Eigen::VectorXd x = Eigen::VectorXd::Zero(count);
  for (int round = 0; round < 10; ++round) {
    Eigen::MatrixXd a = Eigen::MatrixXd::Zero(count, count);
    Eigen::VectorXd b = Eigen::VectorXd::Zero(count);
    double total = 0.0;
    for (std::size_t k = 0; k < m; ++k) {
      const int l = samples[k].Left, r = samples[k].Right;
      const double w = weight[k];
      a(l, l) += w;
      a(r, r) += w;
      a(l, r) -= w;
      a(r, l) -= w;
      b(l) += w * d[k];
      b(r) -= w * d[k];
      total += w;
    }
    a.diagonal().array() += 1e-6 * std::max(total, 1.0);
    x = a.ldlt().solve(b);
    for (std::size_t k = 0; k < m; ++k) residual[k] = std::fabs(x(samples[k].Left) - x(samples[k].Right) - d[k]);
    const double scale = std::max(1.4826 * Median(residual), 0.005);
    const double c = 2.385 * scale;
    for (std::size_t k = 0; k < m; ++k) weight[k] = 1.0 / (1.0 + (residual[k] / c) * (residual[k] / c));
  }
  return x;
}

}  // namespace

namespace {

// A decoded picture, whole or reduced: a full-size position p lies at
// (p + Offset) / Factor in it.
struct SampledPicture {
  const DeviceBitmap& Picture;
  int Factor = 1;
  int OffsetX = 0, OffsetY = 0;
  TRealPoint At(TRealPoint p) const { return {(p.X + OffsetX) / Factor, (p.Y + OffsetY) / Factor}; }
};

// Correspondences farther than this from where the rotation the
// construction uses puts them are not overlaid in the panorama (a
// connection the calibration on all connections bent, or one it rejects):
// their colours are not compared. Pixels, plus twice the connection's
// median distance under the calibrated fit.
constexpr double kOverlaidPixels = 3.0;

// The samples of the connection of picture `left` with its right neighbour
// (empty when it gives too few), from the two decoded pictures: patches
// around the refined correspondences that the rotation the construction
// builds from overlays (after a calibration, that between the calibrated
// orientations).
std::vector<GainSample> ConnectionSamples(const RunState& rs, int left, const SampledPicture& leftPicture,
                                          const SampledPicture& rightPicture) {
  const int count = rs.PictureSet.Count;
  const int right = (left + 1) % count;
  const int radius = std::max(1, PatchRadius(rs.Projection.PictureSize) / leftPicture.Factor);
  const PictureGeometry& l = rs.Geometry.at(static_cast<std::size_t>(left));
  const PictureGeometry& r = rs.Geometry.at(static_cast<std::size_t>(right));
  const TConnectionRefinement& refined = l.RightRefinement;
  std::vector<GainSample> own;
  if (!RefinementApplies(refined, l.RightConnection, r.LeftConnection)) return own;
  const double reach = kOverlaidPixels + 2.0 * refined.JointMedianPixels;
  const TProjectionParameters leftCamera = PictureProjection(rs, left), rightCamera = PictureProjection(rs, right);
  for (std::size_t k = 0; k < refined.LeftPoints.size() && k < refined.RightPoints.size(); ++k) {
    if (refined.Calibrated) {
      const auto overlaid = geom::RayToPixel(
          leftCamera, geom::Rotate(refined.Rotation, geom::PixelToRay(rightCamera, refined.RightPoints[k])));
      if (!overlaid || std::hypot(overlaid->X - refined.LeftPoints[k].X, overlaid->Y - refined.LeftPoints[k].Y) > reach)
        continue;
    }
    const auto a = PatchMean(leftPicture.Picture, leftPicture.At(refined.LeftPoints[k]), radius);
    const auto b = PatchMean(rightPicture.Picture, rightPicture.At(refined.RightPoints[k]), radius);
    if (a && b) own.push_back({left, right, *a, *b});
  }
  if (own.size() < kFewestSamples) own.clear();
  return own;
}

int Connections(const RunState& rs) {
  const int count = rs.PictureSet.Count;
  return rs.PictureSet.Is360 ? count : count - 1;
}

}  // namespace

std::vector<GainSample> CollectGainSamples(const RunState& rs, const std::vector<DeviceBitmap>& pictures) {
  std::vector<GainSample> samples;
  const int count = rs.PictureSet.Count;
  for (int left = 0; left < Connections(rs); ++left) {
    const std::vector<GainSample> own =
        ConnectionSamples(rs, left, SampledPicture{pictures.at(static_cast<std::size_t>(left))},
                          SampledPicture{pictures.at(static_cast<std::size_t>((left + 1) % count))});
    samples.insert(samples.end(), own.begin(), own.end());
  }
  return samples;
}

std::vector<std::array<double, 3>> SolveGains(const std::vector<GainSample>& samples, int count) {
  std::vector<std::array<double, 3>> gains(static_cast<std::size_t>(std::max(count, 0)), {1.0, 1.0, 1.0});
  if (count < 2 || samples.empty()) return gains;
  for (int channel = 0; channel < 3; ++channel) {
    std::vector<double> d(samples.size());
    for (std::size_t k = 0; k < samples.size(); ++k)
      d[k] = std::log(samples[k].RightMean[static_cast<std::size_t>(channel)]) -
             std::log(samples[k].LeftMean[static_cast<std::size_t>(channel)]);
    const Eigen::VectorXd x = SolveChannel(samples, d, count);
    double mean = 0.0;
    for (int i = 0; i < count; ++i) mean += std::exp(x(i));
    mean /= count;
    for (int i = 0; i < count; ++i)
      gains[static_cast<std::size_t>(i)][static_cast<std::size_t>(channel)] =
          std::clamp(std::exp(x(i)) / mean, kLowestGain, kHighestGain);
  }
  return gains;
}

void CompensateExposure(RunState& rs) {
  rs.Gains.clear();
  if (!rs.CompensateExposure || !rs.Refine || rs.PictureSet.Count < 2) return;
  // The pictures at half size (the decoder's own scaling: each pixel the
  // mean of four, which the patch means average again), along the set, the
  // next ones decoded while a connection is sampled.
  constexpr int kFactor = 2;
  const int count = rs.PictureSet.Count;
  const auto load = [&rs](int p) {
    return std::async(std::launch::async, [&rs, p] {
      const std::string& file = rs.PictureSet.FileNames.at(static_cast<std::size_t>(p));
      ReducedPicture picture = LoadReducedPicture(file, kFactor);
      const TPoint size = rs.Projection.PictureSize;
      if (picture.Picture.Width != (size.X + kFactor - 1) / kFactor ||
          picture.Picture.Height != (size.Y + kFactor - 1) / kFactor)
        throw std::runtime_error("Picture \"" + file + "\" is no longer " + std::to_string(size.X) + " x " +
                                 std::to_string(size.Y) + " pixels");
      return picture;
    });
  };
  const auto sampled = [](const ReducedPicture& p) {
    return SampledPicture{p.Picture, p.Factor, p.OffsetX, p.OffsetY};
  };
  std::vector<GainSample> samples;
  // While a connection is sampled, the next two pictures are decoded, one
  // on each core.
  std::future<ReducedPicture> first = load(0), next = load(1 % count), after;
  if (Connections(rs) > 1) after = load(2 % count);
  ReducedPicture left = first.get();
  for (int i = 0; i < Connections(rs); ++i) {
    if (StopSignalled(rs)) return;
    ReducedPicture right = next.get();
    next = std::move(after);
    if (i + 2 < Connections(rs)) after = load((i + 3) % count);
    const std::vector<GainSample> own = ConnectionSamples(rs, i, sampled(left), sampled(right));
    samples.insert(samples.end(), own.begin(), own.end());
    left = std::move(right);
  }
  if (!samples.empty()) rs.Gains = SolveGains(samples, rs.PictureSet.Count);
}

}  // namespace vistarium::render
