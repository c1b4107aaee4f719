#include "render/gain_compensation.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "geom/numbers.h"
#include "geom/rays.h"
#include "render/colour_store.h"
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

// The mean colour of the square of side 2 x half centred on `p` (in the
// picture's pixels, each covering [c, c + 1)), pixels weighted by the share
// of them it covers: centred exactly where the correspondence is, whatever
// the picture's reduction, so that both pictures' patches cover the same
// view. Nothing when it reaches outside the picture or holds a clipped pixel.
std::optional<std::array<double, 3>> PatchMean(const DeviceBitmap& picture, TRealPoint p, double half) {
  const double x0 = p.X - half, x1 = p.X + half, y0 = p.Y - half, y1 = p.Y + half;
  if (!(x0 >= 0.0 && y0 >= 0.0 && x1 <= picture.Width && y1 <= picture.Height)) return std::nullopt;
  const auto cover = [](int c, double from, double to) { return std::min(c + 1.0, to) - std::max<double>(c, from); };
  double sum[3] = {0, 0, 0}, weights = 0.0;
  const int lastX = std::min(picture.Width - 1, static_cast<int>(std::ceil(x1)) - 1);
  const int lastY = std::min(picture.Height - 1, static_cast<int>(std::ceil(y1)) - 1);
  for (int y = static_cast<int>(y0); y <= lastY; ++y) {
    const double wy = cover(y, y0, y1);
    for (int x = static_cast<int>(x0); x <= lastX; ++x) {
      const double w = wy * cover(x, x0, x1);
      if (!(w > 0.0)) continue;
      const auto c = static_cast<unsigned>(picture.Pixel(x, y));
      const unsigned red = c & 0xFFu, green = (c >> 8) & 0xFFu, blue = (c >> 16) & 0xFFu;
      if (red >= kClipped || green >= kClipped || blue >= kClipped) return std::nullopt;
      sum[0] += w * blue;
      sum[1] += w * green;
      sum[2] += w * red;
      weights += w;
    }
  }
  if (!(weights > 0.0)) return std::nullopt;
  const std::array<double, 3> mean{sum[0] / weights, sum[1] / weights, sum[2] / weights};
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
  // The same view in full-size pixels at every reduction, at least three
  // reduced pixels wide.
  const double half =
      std::max(PatchRadius(rs.Projection.PictureSize) + 0.5, 1.5 * leftPicture.Factor) / leftPicture.Factor;
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
    const auto a = PatchMean(leftPicture.Picture, leftPicture.At(refined.LeftPoints[k]), half);
    const auto b = PatchMean(rightPicture.Picture, rightPicture.At(refined.RightPoints[k]), half);
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
  // The reduced colours the matching kept; a picture it did not keep is
  // decoded at half size (the decoder's own scaling: each pixel the mean of
  // four, which the patch means average again), along the set, the next
  // ones while a connection is sampled.
  constexpr int kFactor = 2;
  const int count = rs.PictureSet.Count;
  const ColourStore* kept = ReducedColoursIn(rs);
  const auto load = [&rs, kept](int p) {
    const std::string& file = rs.PictureSet.FileNames.at(static_cast<std::size_t>(p));
    if (std::shared_ptr<const ReducedPicture> picture = kept ? kept->Picture(file) : nullptr) {
      std::promise<std::shared_ptr<const ReducedPicture>> at;
      at.set_value(std::move(picture));
      return at.get_future();
    }
    return std::async(std::launch::async, [&rs, &file] {
      auto picture = std::make_shared<const ReducedPicture>(LoadReducedPicture(file, kFactor));
      const TPoint size = rs.Projection.PictureSize;
      if (picture->Picture.Width != (size.X + kFactor - 1) / kFactor ||
          picture->Picture.Height != (size.Y + kFactor - 1) / kFactor)
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
  std::future<std::shared_ptr<const ReducedPicture>> first = load(0), next = load(1 % count), after;
  if (Connections(rs) > 1) after = load(2 % count);
  std::shared_ptr<const ReducedPicture> left = first.get();
  for (int i = 0; i < Connections(rs); ++i) {
    if (StopSignalled(rs)) return;
    std::shared_ptr<const ReducedPicture> right = next.get();
    next = std::move(after);
    if (i + 2 < Connections(rs)) after = load((i + 3) % count);
    const std::vector<GainSample> own = ConnectionSamples(rs, i, sampled(*left), sampled(*right));
    samples.insert(samples.end(), own.begin(), own.end());
    left = std::move(right);
  }
  if (!samples.empty()) rs.Gains = SolveGains(samples, rs.PictureSet.Count);
}

}  // namespace vistarium::render
