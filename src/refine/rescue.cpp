#include "refine/rescue.h"

#include <Eigen/Dense>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>
#include <new>
#include <numbers>
#include <omp.h>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "geom/numbers.h"
#include "refine/descriptor_matching.h"
#include "run/parallel.h"

namespace vistarium::refine {
namespace {

constexpr double kDegree = std::numbers::pi / 180.0;

}  // namespace

// Features of one picture: their full-size positions and descriptors, and
// how many full-size pixels a pixel of the reduced picture they were found on spans.
struct Features {
  std::vector<TRealPoint> Positions;
  cv::Mat Descriptors;
  double Scale = 1.0;
};

namespace {

// Grey levels of a decoded picture.
cv::Mat GreyOf(const DeviceBitmap& picture) {
  // 0x00BBGGRR in memory is the byte sequence R, G, B, 0.
  const cv::Mat rgba(picture.Height, picture.Width, CV_8UC4,
                     const_cast<PackedColor*>(picture.Pixels.data()));  // read only
  cv::Mat grey;
  cv::cvtColor(rgba, grey, cv::COLOR_RGBA2GRAY);
  return grey;
}

// The grey picture reduced by area averaging so that its longer side is at
// most maxSide; the factors back to full-size pixels are returned.
cv::Mat ReducedGrey(const cv::Mat& grey, int maxSide, double& scaleX, double& scaleY) {
  const int longer = std::max(grey.cols, grey.rows);
  scaleX = scaleY = 1.0;
  if (longer <= maxSide) return grey;
  const double factor = static_cast<double>(maxSide) / longer;
  const int w = std::max(1, Round(grey.cols * factor)), h = std::max(1, Round(grey.rows * factor));
  cv::Mat reduced;
  cv::resize(grey, reduced, cv::Size(w, h), 0, 0, cv::INTER_AREA);
  scaleX = static_cast<double>(grey.cols) / w;
  scaleY = static_cast<double>(grey.rows) / h;
  return reduced;
}

// Features of the picture, or of a band of its columns, reduced so that the
// whole picture's longer side is at most `workingSide`.
Features FindFeatures(const cv::Mat& fullGrey, const RescueOptions& options, int workingSide, int firstColumn = 0,
                      int columns = -1) {
  double sx = 1.0, sy = 1.0;
  // A band of columns is reduced as the whole picture would be, so that its
  // features have the whole picture's scale.
  const int longer = std::max(fullGrey.cols, fullGrey.rows);
  const int maxSide =
      columns < 0 ? workingSide : Round(static_cast<double>(workingSide) * std::max(columns, fullGrey.rows) / longer);
  const cv::Mat band = columns < 0 ? fullGrey : fullGrey.colRange(firstColumn, firstColumn + columns);
  const cv::Mat grey = ReducedGrey(band, std::max(1, maxSide), sx, sy);
  cv::Ptr<cv::SIFT> sift = cv::SIFT::create(options.MaxFeatures, 3, options.ContrastThreshold);
  std::vector<cv::KeyPoint> keypoints;
  Features f;
  f.Scale = std::max(sx, sy);
  cv::Mat descriptors;
  sift->detectAndCompute(grey, cv::noArray(), keypoints, descriptors);
  // The detector gathers its features on several threads, in an order that
  // depends on their timing: put them in one order (by place, scale and
  // angle) so that a run gives the same matches every time.
  std::vector<int> order(keypoints.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = static_cast<int>(k);
  std::sort(order.begin(), order.end(), [&keypoints](int a, int b) {
    const cv::KeyPoint &p = keypoints[static_cast<std::size_t>(a)], &q = keypoints[static_cast<std::size_t>(b)];
    return std::tie(p.pt.y, p.pt.x, p.size, p.angle, p.octave) < std::tie(q.pt.y, q.pt.x, q.size, q.angle, q.octave);
  });
  f.Descriptors.create(descriptors.rows, descriptors.cols, descriptors.type());
  f.Positions.reserve(keypoints.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    const cv::KeyPoint& key = keypoints[static_cast<std::size_t>(order[k])];
    descriptors.row(order[k]).copyTo(f.Descriptors.row(static_cast<int>(k)));
    // OpenCV puts pixel centres at whole numbers; full-size positions put them at +0.5.
    f.Positions.push_back({(key.pt.x + 0.5) * sx + firstColumn, (key.pt.y + 0.5) * sy});
  }
  return f;
}

// Matches that pass the ratio test, at most one per right feature (the
// closest), as (left index, right index). The two nearest descriptors come
// from comparing every pair, which is exact and, a block of descriptors at a
// time, faster than approximate trees at the few thousand features a
// picture gets.
std::vector<std::pair<int, int>> MatchFeatures(const Features& left, const Features& right, double ratio) {
  std::vector<std::pair<int, int>> pairs;
  if (left.Descriptors.rows < 2 || right.Descriptors.rows < 2) return pairs;
  CV_Assert(left.Descriptors.type() == CV_32F && right.Descriptors.type() == CV_32F &&
            left.Descriptors.isContinuous() && right.Descriptors.isContinuous() &&
            left.Descriptors.cols == right.Descriptors.cols);
  const std::vector<NearestTwo> nearest =
      FindNearestTwo(left.Descriptors.ptr<float>(), left.Descriptors.rows, right.Descriptors.ptr<float>(),
                     right.Descriptors.rows, right.Descriptors.cols);
  std::vector<float> best(static_cast<std::size_t>(right.Descriptors.rows), -1.0f);
  std::vector<int> from(static_cast<std::size_t>(right.Descriptors.rows), -1);
  for (int q = 0; q < static_cast<int>(nearest.size()); ++q) {
    const int first = nearest[static_cast<std::size_t>(q)].First;
    if (first < 0) continue;
    const float distance = std::sqrt(nearest[static_cast<std::size_t>(q)].FirstSquared),
                next = std::sqrt(nearest[static_cast<std::size_t>(q)].SecondSquared);
    if (!(distance < ratio * next)) continue;
    const auto r = static_cast<std::size_t>(first);
    if (from[r] < 0 || distance < best[r]) {
      best[r] = distance;
      from[r] = q;
    }
  }
  for (std::size_t r = 0; r < from.size(); ++r)
    if (from[r] >= 0) pairs.emplace_back(from[r], static_cast<int>(r));
  return pairs;
}

Eigen::Vector3d Vec(const geom::Ray& r) { return {r[0], r[1], r[2]}; }

geom::Rotation FromMatrix(const Eigen::Matrix3d& m) {
  return {m(0, 0), m(0, 1), m(0, 2), m(1, 0), m(1, 1), m(1, 2), m(2, 0), m(2, 1), m(2, 2)};
}

// The rotation that carries a1 exactly onto b1 and the plane of a1, a2 onto
// that of b1, b2 (the triad of the two pairs).
Eigen::Matrix3d TwoPairRotation(const Eigen::Vector3d& a1, const Eigen::Vector3d& a2, const Eigen::Vector3d& b1,
                                const Eigen::Vector3d& b2) {
  Eigen::Matrix3d e, f;
  e.col(0) = a1;
  e.col(1) = a1.cross(a2).normalized();
  e.col(2) = e.col(0).cross(e.col(1));
  f.col(0) = b1;
  f.col(1) = b1.cross(b2).normalized();
  f.col(2) = f.col(0).cross(f.col(1));
  return f * e.transpose();
}

// The proper rotation R minimising sum |R a_k - b_k|^2 (Kabsch): from the SVD
// U S V^T of sum a_k b_k^T, R = V diag(1, 1, d) U^T, d = sign det(V U^T).
// With weights, the sum is weighted.
Eigen::Matrix3d KabschRotation(const std::vector<Eigen::Vector3d>& a, const std::vector<Eigen::Vector3d>& b,
                               const std::vector<int>& use, const std::vector<double>& weights = {}) {
  Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
  for (std::size_t i = 0; i < use.size(); ++i) {
    const auto k = static_cast<std::size_t>(use[i]);
    h += (weights.empty() ? 1.0 : weights[i]) * a[k] * b[k].transpose();
  }
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
  const Eigen::Matrix3d& u = svd.matrixU();
  const Eigen::Matrix3d& v = svd.matrixV();
  const Eigen::Vector3d signs(1.0, 1.0, (v * u.transpose()).determinant() < 0.0 ? -1.0 : 1.0);
  return v * signs.asDiagonal() * u.transpose();
}

std::vector<int> Agreeing(const Eigen::Matrix3d& r, const std::vector<Eigen::Vector3d>& a,
                          const std::vector<Eigen::Vector3d>& b, double chord2) {
  std::vector<int> in;
  for (std::size_t k = 0; k < a.size(); ++k)
    if ((r * a[k] - b[k]).squaredNorm() < chord2) in.push_back(static_cast<int>(k));
  return in;
}

std::string Percent(double share) {
  std::ostringstream s;
  s << Round(100.0 * share) << " %";
  return s.str();
}

std::string Fixed(double v, int digits) {
  std::ostringstream s;
  s.setf(std::ios::fixed);
  s.precision(digits);
  s << v;
  return s.str();
}

}  // namespace

RayConsensus FitRotationToRays(const std::vector<geom::Ray>& left, const std::vector<geom::Ray>& right,
                               double threshold, int maxIterations, double widening) {
  if (left.size() != right.size()) throw std::invalid_argument("FitRotationToRays: ray lists of different lengths");
  RayConsensus out;
  const std::size_t n = left.size();
  if (n < 2) return out;
  std::vector<Eigen::Vector3d> a(n), b(n);
  for (std::size_t k = 0; k < n; ++k) {
    a[k] = Vec(left[k]);
    b[k] = Vec(right[k]);
  }
  // A chord of length c between unit vectors spans the angle 2 asin(c / 2),
  // which is c to far below a pixel at these thresholds.
  const double chord2 = threshold * threshold;
  // Two directions closer than this fix the turn about them poorly.
  const double minSeparation = std::min(0.5, 20.0 * threshold);

  std::mt19937 gen(20261207u);
  std::uniform_int_distribution<std::size_t> pick(0, n - 1);
  std::size_t best = 0;
  Eigen::Matrix3d bestRotation = Eigen::Matrix3d::Identity();
  int needed = maxIterations;
  for (int it = 0; it < std::min(needed, maxIterations); ++it) {
    const std::size_t i = pick(gen), j = pick(gen);
    if (i == j) continue;
    const double angleA = std::acos(std::clamp(a[i].dot(a[j]), -1.0, 1.0));
    const double angleB = std::acos(std::clamp(b[i].dot(b[j]), -1.0, 1.0));
    // A rotation keeps angles: a pair that changes them cannot both be right.
    if (angleA < minSeparation || std::fabs(angleA - angleB) > 2.0 * threshold) continue;
    const Eigen::Matrix3d r = TwoPairRotation(a[i], a[j], b[i], b[j]);
    std::size_t count = 0;
    for (std::size_t k = 0; k < n; ++k) count += (r * a[k] - b[k]).squaredNorm() < chord2;
    if (count > best) {
      best = count;
      bestRotation = r;
      // Enough draws to meet a clean pair with probability 0.999.
      const double w = static_cast<double>(count) / static_cast<double>(n);
      const double miss = 1.0 - w * w;
      if (miss <= 0.0) needed = it + 1;
      else needed = static_cast<int>(std::min<double>(maxIterations, std::ceil(std::log(1e-3) / std::log(miss))));
      needed = std::max(needed, 50);
    }
  }
  if (best < 2) return out;
  // Refit to everything that agrees, and again while the agreeing set changes.
  std::vector<int> in = Agreeing(bestRotation, a, b, chord2);
  Eigen::Matrix3d r = bestRotation;
  for (int round = 0; round < 10 && in.size() >= 2; ++round) {
    r = KabschRotation(a, b, in);
    std::vector<int> next = Agreeing(r, a, b, chord2);
    if (next == in) break;
    if (next.size() < 2) break;
    in = std::move(next);
  }
  // Widen to everything within the wider tolerance, weighting each pair by
  // Tukey's biweight of its residual so that the pairs near the edge of the
  // tolerance count little, until the set no longer changes.
  const double wide2 = chord2 * widening * widening;
  if (widening > 1.0) {
    for (int round = 0; round < 10; ++round) {
      std::vector<int> next = Agreeing(r, a, b, wide2);
      if (next.size() < 2) break;
      std::vector<double> w;
      w.reserve(next.size());
      for (int k : next) {
        const double u = (r * a[static_cast<std::size_t>(k)] - b[static_cast<std::size_t>(k)]).squaredNorm() / wide2;
        w.push_back((1.0 - u) * (1.0 - u));
      }
      r = KabschRotation(a, b, next, w);
      const bool settled = next == in;
      in = std::move(next);
      if (settled) break;
    }
    in = Agreeing(r, a, b, wide2);
  }
  out.Rotation = FromMatrix(r);
  out.Inliers = std::move(in);
  return out;
}

namespace {

void CheckPicture(const cv::Mat& picture, const TProjectionParameters& pp) {
  if (picture.cols != pp.PictureSize.X || picture.rows != pp.PictureSize.Y)
    throw std::invalid_argument("Feature search: a picture does not have the size of the picture set");
  if (!(pp.FocalPixels > 0.0)) throw std::invalid_argument("Feature search: no focal length");
}

}  // namespace

Turn TurnOf(const geom::Rotation& m) {
  // left = m^T * right; column 2 of m^T is row 2 of m.
  return {std::atan2(m[6], m[8]), std::asin(std::clamp(m[7], -1.0, 1.0)), std::atan2(-m[1], m[4])};
}

std::string ArrangementFault(const geom::Rotation& leftToRight, const TProjectionParameters& pp,
                             double maxRollDegrees) {
  const Turn t = TurnOf(leftToRight);
  const TPoint size = pp.PictureSize;
  const double fieldX = 2.0 * std::atan(0.5 * size.X / pp.FocalPixels);
  const double fieldY = 2.0 * std::atan(0.5 * size.Y / pp.FocalPixels);
  if (!(t.Yaw > 0.0) || t.Yaw >= fieldX)
    return "the feature matches put the right picture " + Fixed(std::fabs(t.Yaw / kDegree), 1) +
           (t.Yaw > 0.0 ? " degrees to the right, beyond the left picture's edge"
                        : " degrees to the left of the left picture");
  if (std::fabs(t.Pitch) >= fieldY || std::fabs(t.Roll) > maxRollDegrees * kDegree)
    return "the feature matches tilt the right picture by " + Fixed(t.Pitch / kDegree, 1) + " degrees and roll it by " +
           Fixed(t.Roll / kDegree, 1) + " degrees against the left one";
  return {};
}

namespace {

// The rotation of a pair from its features and their matches.
FeatureRotation EstimateFromMatches(const Features& lf, const Features& rf,
                                    const std::vector<std::pair<int, int>>& matches, const TProjectionParameters& pp,
                                    const RescueOptions& options, const TProjectionParameters& rightCamera) {
  const TPoint size = pp.PictureSize;
  const double scale = std::max(lf.Scale, rf.Scale);
  FeatureRotation result;
  result.FeaturePixels = scale;
  result.Matches = static_cast<int>(matches.size());
  if (result.Matches < options.MinMatches) {
    result.Reason = "no match found: the pictures have only " + std::to_string(result.Matches) +
                    " distinctive details in common";
    return result;
  }

  std::vector<geom::Ray> a, b;
  a.reserve(matches.size());
  b.reserve(matches.size());
  for (const auto& [l, r] : matches) {
    a.push_back(geom::PixelToRay(pp, lf.Positions[static_cast<std::size_t>(l)]));
    b.push_back(geom::PixelToRay(rightCamera, rf.Positions[static_cast<std::size_t>(r)]));
  }
  // Agreement within InlierPixels at full size, but never finer than the
  // reduced pictures on which the features were located.
  const double tolerancePixels = std::max(options.InlierPixels, options.InlierWorkingPixels * scale);
  const RayConsensus consensus =
      FitRotationToRays(a, b, tolerancePixels / pp.FocalPixels, options.RansacIterations, options.Widening);
  result.Rotation = consensus.Rotation;
  result.Inliers = static_cast<int>(consensus.Inliers.size());

  // Residuals in the right picture, and the spread of the inliers in the left one.
  double sum2 = 0.0;
  Eigen::Vector2d mean = Eigen::Vector2d::Zero();
  for (int k : consensus.Inliers) {
    const auto& [l, r] = matches[static_cast<std::size_t>(k)];
    const TRealPoint p = lf.Positions[static_cast<std::size_t>(l)], q = rf.Positions[static_cast<std::size_t>(r)];
    result.InlierPairs.emplace_back(p, q);
    const auto predicted = geom::RayToPixel(rightCamera, geom::Rotate(result.Rotation, a[static_cast<std::size_t>(k)]));
    const double d2 = predicted ? (predicted->X - q.X) * (predicted->X - q.X) + (predicted->Y - q.Y) * (predicted->Y - q.Y)
                                : tolerancePixels * tolerancePixels;
    sum2 += d2;
    mean += Eigen::Vector2d(p.X, p.Y);
  }
  if (result.Inliers > 0) {
    result.RmsPixels = std::sqrt(sum2 / result.Inliers);
    mean /= result.Inliers;
    Eigen::Matrix2d cov = Eigen::Matrix2d::Zero();
    for (const auto& [p, q] : result.InlierPairs) {
      const Eigen::Vector2d d(p.X - mean.x(), p.Y - mean.y());
      cov += d * d.transpose();
    }
    cov /= result.Inliers;
    const double widest = Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d>(cov).eigenvalues().maxCoeff();
    result.Spread = std::sqrt(std::max(0.0, widest)) / std::max(size.X, size.Y);
  }

  result.YawDegrees = TurnOf(result.Rotation).Yaw / kDegree;
  const double share = static_cast<double>(result.Inliers) / result.Matches;
  const double maxRms = std::max(options.MaxRmsPixels, options.MaxRmsShare * std::max(size.X, size.Y));
  const std::string agree = std::to_string(result.Inliers) + " of " + std::to_string(result.Matches) +
                            " feature matches (" + Percent(share) + ") agree on one camera rotation";
  if (result.Inliers < options.MinInliers) {
    result.Reason = "no match found: only " + agree;
  } else if (share < options.MinInlierShare) {
    result.Reason = "the pictures do not share one standpoint well: only " + agree;
  } else if (result.Spread < options.MinSpread) {
    result.Reason = "the details the pictures have in common all lie in one small spot";
  } else if (result.RmsPixels > maxRms) {
    result.Reason = "the pictures do not share one standpoint well: the feature matches that agree best are still " +
                    Fixed(result.RmsPixels, 1) + " pixels apart on average";
  } else {
    result.Reason = ArrangementFault(result.Rotation, pp, options.MaxRollDegrees);
  }
  result.Confident = result.Reason.empty();
  return result;
}

FeatureRotation EstimateFromGrey(const cv::Mat& left, const cv::Mat& right, const TProjectionParameters& pp,
                                 const RescueOptions& options) {
  CheckPicture(left, pp);
  CheckPicture(right, pp);
  const Features lf = FindFeatures(left, options, options.MaxWorkingSide);
  const Features rf = FindFeatures(right, options, options.MaxWorkingSide);
  return EstimateFromMatches(lf, rf, MatchFeatures(lf, rf, options.RatioTest), pp, options, pp);
}

cv::Mat ViewOf(const GreyView& g) {
  if (g.Width <= 0 || g.Height <= 0 || !g.Values) throw std::invalid_argument("Feature search: an empty picture");
  return cv::Mat(g.Height, g.Width, CV_8UC1, const_cast<std::uint8_t*>(g.Values));  // read only
}

// OpenCV reports want of memory as its own error; it is passed on as the
// std::bad_alloc it is, so that the command can say what did not fit.
template <typename Work>
auto TellingWantOfMemory(Work&& work) -> decltype(work()) {
  try {
    return work();
  } catch (const cv::Exception& e) {
    if (e.code == cv::Error::StsNoMem) throw std::bad_alloc();
    throw;
  }
}

}  // namespace

FeatureRotation EstimateRotationByFeatures(const DeviceBitmap& left, const DeviceBitmap& right,
                                           const TProjectionParameters& pp, const RescueOptions& options) {
  for (const DeviceBitmap* p : {&left, &right})
    if (p->Pixels.size() != CheckedPixelCount(p->Width, p->Height))
      throw std::invalid_argument("Feature search: a picture's pixels do not fill its size");
  return TellingWantOfMemory([&] { return EstimateFromGrey(GreyOf(left), GreyOf(right), pp, options); });
}

FeatureRotation EstimateRotationByFeatures(const GreyView& left, const GreyView& right,
                                           const TProjectionParameters& pp, const RescueOptions& options) {
  return TellingWantOfMemory([&] { return EstimateFromGrey(ViewOf(left), ViewOf(right), pp, options); });
}

struct FeatureStore::Stored {
  // Keyed by picture, part and the working side they were found at.
  std::map<std::tuple<int, Part, int>, Features> Pictures;
  std::map<PairKey, std::vector<std::pair<int, int>>> Matches;
};

FeatureStore::FeatureStore(const RescueOptions& options) : options_(options), stored_(std::make_unique<Stored>()) {}
FeatureStore::~FeatureStore() = default;

void FeatureStore::AddPicture(int index, const GreyView& picture, Part part) {
  AddPictureAt(index, picture, part, options_.MaxWorkingSide);
}

namespace {

// Searches of at most this many pixels of the reduced picture run two at a
// time: the detector's pyramids of a search take about 240 bytes a pixel
// (the picture doubled, in single precision, over a dozen scales), so two
// of 0.1 megapixel hold about 50 MB together.
constexpr double kTwoAtOnce = 100000.0;

}  // namespace

void FeatureStore::AddPictureAt(int index, const GreyView& picture, Part part, int side) {
  FindMissing({{index, part, picture}}, side);
}

bool FeatureStore::FindMissing(const std::vector<Wanted>& wanted, int side, const GreyLoader& load,
                               const std::function<bool(double)>& goOn) {
  std::vector<Wanted> missing;
  for (const Wanted& w : wanted)
    if (!stored_->Pictures.count({w.Index, w.Facing, side}) &&
        std::none_of(missing.begin(), missing.end(),
                     [&w](const Wanted& m) { return m.Index == w.Index && m.Facing == w.Facing; }))
      missing.push_back(w);
  // A picture to search: its grey picture and what keeps it alive (no
  // holder and no values when it cannot be loaded).
  using Loaded = std::pair<GreyView, std::shared_ptr<const void>>;
  const auto loadOf = [&load](const Wanted& w) -> Loaded {
    if (w.Picture.Values) return {w.Picture, nullptr};
    if (!load) return {};
    Loaded loaded = load(w.Index);
    if (!loaded.second) return {};
    return loaded;
  };
  // Whether the picture could be loaded.
  const auto search = [&](const Wanted& w, const Loaded& loaded, Features& found) {
    if (!loaded.first.Values) return false;
    const cv::Mat grey = ViewOf(loaded.first);
    const int columns = std::min(grey.cols, static_cast<int>(std::ceil(options_.FacingShare * grey.cols)));
    found = TellingWantOfMemory([&] {
      if (w.Facing == Part::Whole || columns >= grey.cols) return FindFeatures(grey, options_, side);
      return FindFeatures(grey, options_, side, w.Facing == Part::LeftPart ? 0 : grey.cols - columns, columns);
    });
    return true;
  };
  const std::size_t count = missing.size();
  std::vector<Features> found(count);
  std::vector<char> loaded(count, 0);
  std::atomic<bool> stop = false;
  std::atomic<std::size_t> done = 0;
  // Told on the caller's thread only.
  const auto finished = [&](std::size_t k, bool tell) {
    const std::size_t n = ++done;
    if (!loaded[k]) stop = true;
    if (tell && goOn && !goOn(static_cast<double>(n) / static_cast<double>(count))) stop = true;
  };
  // The reduced picture fits in side x side pixels; a facing part is a
  // share of it.
  double share = 0.0;
  for (const Wanted& w : missing)
    share = std::max(share, w.Facing == Part::Whole ? 1.0 : std::min(1.0, options_.FacingShare));
  if (count > 1 && share * side * side <= kTwoAtOnce) {
    // Small searches two at a time, each taken up by whichever of two
    // threads is free: the detector spreads one picture over both cores
    // for only about two thirds of its time, and a picture's loading runs
    // on one.
    ParallelFailures failures(count);
#pragma omp parallel for schedule(dynamic, 1) num_threads(std::min(2, omp_get_max_threads()))
    for (std::size_t k = 0; k < count; ++k) {
      if (stop) continue;
      failures.Run(k, [&] {
        loaded[k] = search(missing[k], loadOf(missing[k]), found[k]);
        finished(k, omp_get_thread_num() == 0);
      });
    }
    failures.Rethrow();
  } else {
    // One at a time, each on both cores (each holds its detector's
    // pyramids: tens of megabytes at the sides searched), the next picture
    // loaded meanwhile.
    std::future<Loaded> next;
    if (count > 0) next = std::async(std::launch::async, loadOf, std::cref(missing[0]));
    for (std::size_t k = 0; k < count && !stop; ++k) {
      const Loaded picture = next.get();
      if (k + 1 < count) next = std::async(std::launch::async, loadOf, std::cref(missing[k + 1]));
      loaded[k] = search(missing[k], picture, found[k]);
      finished(k, true);
    }
    if (next.valid()) next.wait();
  }
  for (std::size_t k = 0; k < count; ++k)
    if (loaded[k])
      stored_->Pictures.emplace(std::make_tuple(missing[k].Index, missing[k].Facing, side), std::move(found[k]));
  if (stop) return false;
  // The last picture done on the other thread is told here.
  return !goOn || goOn(1.0);
}

bool FeatureStore::Holds(int index, Part part) const {
  return stored_->Pictures.count({index, part, options_.MaxWorkingSide}) > 0;
}

std::pair<FeatureStore::Part, FeatureStore::Part> FeatureStore::PartsOf(int leftIndex, int rightIndex) const {
  const auto part = [&](int index, Part facing) {
    return options_.FacingShare >= 1.0 || Holds(index, Part::Whole) ? Part::Whole : facing;
  };
  return {part(leftIndex, Part::RightPart), part(rightIndex, Part::LeftPart)};
}

void FeatureStore::AddPair(int leftIndex, const GreyView& left, int rightIndex, const GreyView& right) {
  AddPairAt(leftIndex, left, rightIndex, right, options_.MaxWorkingSide);
}

void FeatureStore::AddPairAt(int leftIndex, const GreyView& left, int rightIndex, const GreyView& right, int side) {
  const auto [lp, rp] = PartsOf(leftIndex, rightIndex);
  FindMissing({{leftIndex, lp, left}, {rightIndex, rp, right}}, side);
}

bool FeatureStore::AddPairs(const std::vector<std::pair<int, int>>& pairs, const GreyLoader& load,
                            const std::function<bool(double)>& goOn, int side) {
  std::vector<Wanted> wanted;
  for (const auto& [i, j] : pairs) {
    const auto [lp, rp] = PartsOf(i, j);
    wanted.push_back({i, lp, {}});
    wanted.push_back({j, rp, {}});
  }
  return FindMissing(wanted, side > 0 ? side : options_.MaxWorkingSide, load, goOn);
}

int FeatureStore::FirstSearchSide(int longerSide) const {
  const int first = options_.FirstWorkingSide;
  return first > 0 && first < options_.MaxWorkingSide && first < longerSide ? first : options_.MaxWorkingSide;
}

double FeatureStore::FeatureScale() const {
  double scale = 1.0;
  for (const auto& [key, features] : stored_->Pictures) scale = std::max(scale, features.Scale);
  return scale;
}

std::vector<std::pair<int, int>> FeatureStore::MatchesOf(const PairKey& key) const {
  const auto& [i, lp, j, rp, side] = key;
  return TellingWantOfMemory([&] {
    return MatchFeatures(stored_->Pictures.at({i, lp, side}), stored_->Pictures.at({j, rp, side}), options_.RatioTest);
  });
}

const std::vector<std::pair<int, int>>& FeatureStore::Matched(int leftIndex, int rightIndex, int side) {
  const auto [lp, rp] = PartsOf(leftIndex, rightIndex);
  const auto key = std::make_tuple(leftIndex, lp, rightIndex, rp, side);
  auto matches = stored_->Matches.find(key);
  if (matches == stored_->Matches.end())
    matches = stored_->Matches.emplace(key, MatchesOf(key)).first;
  return matches->second;
}

void FeatureStore::MatchPairs(const std::vector<std::pair<int, int>>& pairs) {
  const int side = options_.MaxWorkingSide;
  std::vector<PairKey> missing;
  for (const auto& [i, j] : pairs) {
    const auto [lp, rp] = PartsOf(i, j);
    const PairKey key{i, lp, j, rp, side};
    if (!stored_->Matches.count(key) && std::find(missing.begin(), missing.end(), key) == missing.end())
      missing.push_back(key);
  }
  std::vector<std::vector<std::pair<int, int>>> found(missing.size());
  ParallelFailures failures(missing.size());
#pragma omp parallel for schedule(dynamic)
  for (std::size_t n = 0; n < missing.size(); ++n)
    failures.Run(n, [&] {
      found[n] = MatchesOf(missing[n]);
    });
  failures.Rethrow();
  for (std::size_t n = 0; n < missing.size(); ++n) stored_->Matches.emplace(missing[n], std::move(found[n]));
}

std::vector<std::pair<TRealPoint, TRealPoint>> FeatureStore::MatchedPixels(int leftIndex, int rightIndex) {
  const int side = options_.MaxWorkingSide;
  const auto [lp, rp] = PartsOf(leftIndex, rightIndex);
  const Features& lf = stored_->Pictures.at({leftIndex, lp, side});
  const Features& rf = stored_->Pictures.at({rightIndex, rp, side});
  std::vector<std::pair<TRealPoint, TRealPoint>> pixels;
  for (const auto& [l, r] : Matched(leftIndex, rightIndex, side))
    pixels.emplace_back(lf.Positions[static_cast<std::size_t>(l)], rf.Positions[static_cast<std::size_t>(r)]);
  return pixels;
}

FeatureRotation FeatureStore::Estimate(int leftIndex, const GreyView& left, int rightIndex, const GreyView& right,
                                       const TProjectionParameters& pp, const RescueOptions* tests,
                                       const TProjectionParameters* rightCamera) {
  CheckPicture(ViewOf(left), pp);
  CheckPicture(ViewOf(right), pp);
  const auto at = [&](int side) {
    AddPairAt(leftIndex, left, rightIndex, right, side);
    const auto& matched = Matched(leftIndex, rightIndex, side);
    const auto [lp, rp] = PartsOf(leftIndex, rightIndex);
    return TellingWantOfMemory([&] {
      return EstimateFromMatches(stored_->Pictures.at({leftIndex, lp, side}),
                                 stored_->Pictures.at({rightIndex, rp, side}), matched, pp, tests ? *tests : options_,
                                 rightCamera ? *rightCamera : pp);
    });
  };
  // The smaller pictures first; the larger ones only when those leave the
  // rotation in doubt.
  const int first = FirstSearchSide(std::max(ViewOf(left).cols, ViewOf(left).rows));
  if (first != options_.MaxWorkingSide) {
    FeatureRotation found = at(first);
    if (found.Confident) return found;
  }
  return at(options_.MaxWorkingSide);
}

}  // namespace vistarium::refine
