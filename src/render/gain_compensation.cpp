#include "render/gain_compensation.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <optional>

#include "geom/numbers.h"
#include "render/fill.h"

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

std::vector<GainSample> CollectGainSamples(const RunState& rs, const std::vector<DeviceBitmap>& pictures) {
  std::vector<GainSample> samples;
  const int count = rs.PictureSet.Count;
  const int connections = rs.PictureSet.Is360 ? count : count - 1;
  const int radius = PatchRadius(rs.Projection.PictureSize);
  for (int left = 0; left < connections; ++left) {
    const int right = (left + 1) % count;
    const PictureGeometry& l = rs.Geometry.at(static_cast<std::size_t>(left));
    const PictureGeometry& r = rs.Geometry.at(static_cast<std::size_t>(right));
    const TConnectionRefinement& refined = l.RightRefinement;
    if (!RefinementApplies(refined, l.RightConnection, r.LeftConnection)) continue;
    std::vector<GainSample> own;
    for (std::size_t k = 0; k < refined.LeftPoints.size() && k < refined.RightPoints.size(); ++k) {
      const auto a = PatchMean(pictures.at(static_cast<std::size_t>(left)), refined.LeftPoints[k], radius);
      const auto b = PatchMean(pictures.at(static_cast<std::size_t>(right)), refined.RightPoints[k], radius);
      if (a && b) own.push_back({left, right, *a, *b});
    }
    if (own.size() >= kFewestSamples) samples.insert(samples.end(), own.begin(), own.end());
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
  std::vector<DeviceBitmap> pictures = LoadSetPictures(rs);
  const std::vector<GainSample> samples = CollectGainSamples(rs, pictures);
  rs.KeptPictures = std::move(pictures);  // the fill takes them over
  if (!samples.empty()) rs.Gains = SolveGains(samples, rs.PictureSet.Count);
}

}  // namespace vistarium::render
