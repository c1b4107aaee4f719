#include "refine/calibration.h"

#include <ceres/ceres.h>
#include <ceres/rotation.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "geom/projection.h"
#include "refine/refinement.h"

namespace vistarium::refine {

namespace {

using geom::Ray;
using geom::Rotation;

// The program's radial model on the picture's centred coordinates (y up):
// the ideal position is (1 + k s) times the position as taken, s the squared
// radius over the half size R squared.
template <typename T>
void Ideal(const TRealPoint& centred, double halfSize, const T& k, T& x, T& y) {
  const double s = (centred.X * centred.X + centred.Y * centred.Y) / (halfSize * halfSize);
  const T m = T(1.0) + k * s;
  x = T(centred.X) * m;
  y = T(centred.Y) * m;
}

// Row-major constant rotation times a vector.
template <typename T>
void Apply(const Rotation& r, const T* v, T* out) {
  for (int i = 0; i < 3; ++i) out[i] = T(r[3 * i]) * v[0] + T(r[3 * i + 1]) * v[1] + T(r[3 * i + 2]) * v[2];
}

// One correspondence, compared in both pictures. The orientation of a
// picture is exp(w) times its start orientation M (own -> common frame);
// the focal length is the start focal times a scale.
struct Correspondence {
  TRealPoint Left, Right;  // centred coordinates
  Rotation LeftStart, RightStart;
  double HalfSize = 0.0, Focal = 0.0;

  // Carries a direction of picture b's own frame into picture a's own frame.
  template <typename T>
  static void Carry(const Rotation& startB, const T* wB, const Rotation& startA, const T* wA, const T* v, T* out) {
    T common[3], turned[3];
    Apply(startB, v, common);
    ceres::AngleAxisRotatePoint(wB, common, turned);
    const T back[3] = {-wA[0], -wA[1], -wA[2]};
    ceres::AngleAxisRotatePoint(back, turned, common);
    // start A transposed
    for (int i = 0; i < 3; ++i)
      out[i] = T(startA[i]) * common[0] + T(startA[3 + i]) * common[1] + T(startA[6 + i]) * common[2];
  }

  template <typename T>
  bool operator()(const T* wL, const T* wR, const T* camera, T* residual) const {
    const T f = T(Focal) * camera[0];
    const T& k = camera[1];
    T lx, ly, rx, ry;
    Ideal(Left, HalfSize, k, lx, ly);
    Ideal(Right, HalfSize, k, rx, ry);
    const T leftRay[3] = {lx, ly, f}, rightRay[3] = {rx, ry, f};
    T inLeft[3], inRight[3];
    Carry(RightStart, wR, LeftStart, wL, rightRay, inLeft);
    Carry(LeftStart, wL, RightStart, wR, leftRay, inRight);
    // A direction turned behind the other picture cannot be compared; it
    // counts as far off (the robust loss keeps its weight small).
    const T minimum(1e-6);
    const T zl = inLeft[2] > minimum ? inLeft[2] : minimum;
    const T zr = inRight[2] > minimum ? inRight[2] : minimum;
    residual[0] = f * inLeft[0] / zl - lx;
    residual[1] = f * inLeft[1] / zl - ly;
    residual[2] = f * inRight[0] / zr - rx;
    residual[3] = f * inRight[1] / zr - ry;
    return true;
  }
};

// A camera value held near its start: (value - start) / spread, times the
// size of a typical residual, so that one standard error costs as much as
// one typical residual.
struct Prior {
  int Index = 0;
  double Start = 0.0, Spread = 1.0, Scale = 1.0;
  template <typename T>
  bool operator()(const T* camera, T* residual) const {
    residual[0] = (camera[Index] - T(Start)) / Spread * Scale;
    return true;
  }
};

TProjectionParameters Camera(TPoint size, double focalLength, double aberration) {
  TProjectionParameters pp;
  geom::SetCameraProjection(pp, size, focalLength, aberration);
  pp.ExactAberrationInverse = true;
  return pp;
}

// Distance, in pixels of each picture, between where a correspondence's
// point is seen and where the other picture's point is carried (the mean of
// both ways).
double Distance(const TProjectionParameters& pp, const Rotation& rightToLeft, TRealPoint left, TRealPoint right) {
  const auto way = [&pp](const Rotation& r, TRealPoint from, TRealPoint to) {
    const std::optional<TRealPoint> at = geom::RayToPixel(pp, geom::Rotate(r, geom::PixelToRay(pp, from)));
    if (!at) return pp.HalfSize;
    return std::hypot(at->X - to.X, at->Y - to.Y);
  };
  return 0.5 * (way(rightToLeft, right, left) + way(geom::Transposed(rightToLeft), left, right));
}

PairResiduals Summarise(std::vector<double> d) {
  PairResiduals r;
  r.Points = static_cast<int>(d.size());
  if (d.empty()) return r;
  double sum = 0.0;
  for (double v : d) sum += v * v;
  r.Rms = std::sqrt(sum / static_cast<double>(d.size()));
  std::sort(d.begin(), d.end());
  const auto at = [&d](double share) {
    return d[std::min(d.size() - 1, static_cast<std::size_t>(share * static_cast<double>(d.size() - 1) + 0.5))];
  };
  r.Median = at(0.5);
  r.Percentile90 = at(0.9);
  return r;
}

Rotation FromAngleAxis(const double* w) {
  double m[9];
  ceres::AngleAxisToRotationMatrix(w, ceres::RowMajorAdapter3x3(m));
  Rotation r;
  std::copy(m, m + 9, r.begin());
  return r;
}

}  // namespace

PairResiduals MeasurePair(TPoint pictureSize, double focalLength, double aberration, const Rotation& left,
                          const Rotation& right, const CalibrationPair& pair) {
  const TProjectionParameters pp = Camera(pictureSize, focalLength, aberration);
  const Rotation rightToLeft = geom::Multiplied(geom::Transposed(left), right);
  std::vector<double> d;
  d.reserve(pair.LeftPoints.size());
  for (std::size_t k = 0; k < pair.LeftPoints.size(); ++k)
    d.push_back(Distance(pp, rightToLeft, pair.LeftPoints[k], pair.RightPoints[k]));
  return Summarise(std::move(d));
}

PairResiduals PairFloor(TPoint pictureSize, double focalLength, double aberration, const CalibrationPair& pair,
                        Rotation* rotation) {
  const TProjectionParameters pp = Camera(pictureSize, focalLength, aberration);
  const std::size_t n = pair.LeftPoints.size();
  if (n < 3) return {};
  std::vector<Ray> l(n), r(n);
  for (std::size_t k = 0; k < n; ++k) {
    l[k] = geom::PixelToRay(pp, pair.LeftPoints[k]);
    r[k] = geom::PixelToRay(pp, pair.RightPoints[k]);
  }
  // Least squares, then again on the pairs within three times the median
  // distance (never below a pixel), a few times: the floor of the pair's
  // consistent majority.
  std::vector<double> d(n);
  Rotation fit = FitRotation(l, r);
  for (int round = 0; round < 4; ++round) {
    for (std::size_t k = 0; k < n; ++k) d[k] = Distance(pp, fit, pair.LeftPoints[k], pair.RightPoints[k]);
    std::vector<double> sorted = d;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n / 2), sorted.end());
    const double limit = std::max(1.0, 3.0 * sorted[n / 2]);
    std::vector<Ray> kl, kr;
    for (std::size_t k = 0; k < n; ++k)
      if (d[k] <= limit) {
        kl.push_back(l[k]);
        kr.push_back(r[k]);
      }
    if (kl.size() < 3) break;
    fit = FitRotation(kl, kr);
  }
  for (std::size_t k = 0; k < n; ++k) d[k] = Distance(pp, fit, pair.LeftPoints[k], pair.RightPoints[k]);
  if (rotation) *rotation = fit;
  return Summarise(std::move(d));
}

CalibrationResult CalibrateJointly(const CalibrationProblem& problem, const CalibrationSettings& settings) {
  const std::size_t count = problem.Orientations.size();
  if (count == 0) throw std::invalid_argument("Calibration needs the pictures' orientations");
  const TProjectionParameters start = Camera(problem.PictureSize, problem.FocalLength, problem.Aberration);

  CalibrationResult result;
  std::vector<std::array<double, 3>> turns(count, {0.0, 0.0, 0.0});
  std::array<double, 2> camera{1.0, problem.Aberration};  // focal scale, aberration

  ceres::Problem::Options problemOptions;
  problemOptions.loss_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
  ceres::Problem solver(problemOptions);
  ceres::CauchyLoss loss(settings.LossPixels);
  std::vector<bool> used(count, false);
  int residuals = 0;
  for (const CalibrationPair& pair : problem.Pairs) {
    if (pair.Left < 0 || pair.Right < 0 || static_cast<std::size_t>(pair.Left) >= count ||
        static_cast<std::size_t>(pair.Right) >= count || pair.Left == pair.Right ||
        pair.LeftPoints.size() != pair.RightPoints.size())
      throw std::invalid_argument("Calibration: a pair names pictures it cannot have");
    for (std::size_t k = 0; k < pair.LeftPoints.size(); ++k) {
      auto* c = new Correspondence{geom::CentreCoordinates(start, pair.LeftPoints[k]),
                                   geom::CentreCoordinates(start, pair.RightPoints[k]),
                                   problem.Orientations[static_cast<std::size_t>(pair.Left)],
                                   problem.Orientations[static_cast<std::size_t>(pair.Right)],
                                   start.HalfSize,
                                   start.FocalPixels};
      solver.AddResidualBlock(new ceres::AutoDiffCostFunction<Correspondence, 4, 3, 3, 2>(c), &loss,
                              turns[static_cast<std::size_t>(pair.Left)].data(),
                              turns[static_cast<std::size_t>(pair.Right)].data(), camera.data());
      residuals += 4;
    }
    used[static_cast<std::size_t>(pair.Left)] = used[static_cast<std::size_t>(pair.Right)] = true;
  }
  result.FocalLength = problem.FocalLength;
  result.Aberration = problem.Aberration;
  result.Orientations = problem.Orientations;
  if (residuals == 0) return result;
  if (problem.FocalPrior > 0.0 && problem.KnownFocalLength > 0.0)
    solver.AddResidualBlock(new ceres::AutoDiffCostFunction<Prior, 1, 2>(
                                new Prior{0, problem.KnownFocalLength / problem.FocalLength, problem.FocalPrior, settings.LossPixels}),
                            nullptr, camera.data());
  if (problem.AberrationPrior > 0.0)
    solver.AddResidualBlock(new ceres::AutoDiffCostFunction<Prior, 1, 2>(
                                new Prior{1, problem.KnownAberration, problem.AberrationPrior, settings.LossPixels}),
                            nullptr, camera.data());

  for (std::size_t i = 0; i < count; ++i)
    if (used[i] && (i == 0 || (i < problem.Held.size() && problem.Held[i])))
      solver.SetParameterBlockConstant(turns[i].data());
  const bool fitFocal = settings.FitFocal, fitAberration = settings.FitAberration;
  const auto fixCamera = [&](bool focal, bool aberration) {
    if (focal && aberration) {
      solver.SetManifold(camera.data(), nullptr);
      solver.SetParameterBlockConstant(camera.data());
    } else if (focal || aberration) {
      solver.SetParameterBlockVariable(camera.data());
      solver.SetManifold(camera.data(), new ceres::SubsetManifold(2, {focal ? 0 : 1}));
    } else {
      solver.SetParameterBlockVariable(camera.data());
      solver.SetManifold(camera.data(), nullptr);
    }
  };
  fixCamera(!fitFocal, !fitAberration);
  solver.SetParameterLowerBound(camera.data(), 0, 0.5);
  solver.SetParameterUpperBound(camera.data(), 0, 2.0);
  solver.SetParameterLowerBound(camera.data(), 1, -0.5);
  solver.SetParameterUpperBound(camera.data(), 1, 0.5);

  ceres::Solver::Options options;
  options.linear_solver_type = ceres::DENSE_NORMAL_CHOLESKY;  // a few dozen parameters: the normal equations are small
  options.max_num_iterations = settings.MaxIterations;
  options.num_threads = 1;  // sums in one order: the same result every time
  options.logging_type = ceres::SILENT;
  options.minimizer_progress_to_stdout = false;
  // A relative change of the cost below 1e-7 moves the orientations by far
  // less than a hundredth of a pixel.
  options.function_tolerance = 1e-7;
  options.parameter_tolerance = 1e-8;
  ceres::Solver::Summary summary;
  ceres::Solve(options, &solver, &summary);
  if (!summary.IsSolutionUsable()) return result;

  // How well the data fix the camera: the covariance of its block, scaled
  // by the residuals' own spread.
  bool focalKept = !fitFocal, aberrationKept = !fitAberration;
  if (fitFocal || fitAberration) {
    ceres::Covariance::Options covarianceOptions;
    covarianceOptions.algorithm_type = ceres::DENSE_SVD;
    covarianceOptions.null_space_rank = -1;
    covarianceOptions.num_threads = 1;
    ceres::Covariance covariance(covarianceOptions);
    const std::vector<std::pair<const double*, const double*>> blocks{{camera.data(), camera.data()}};
    double c[4] = {0, 0, 0, 0};
    bool known = covariance.Compute(blocks, &solver) && covariance.GetCovarianceBlock(camera.data(), camera.data(), c);
    const double dof = std::max(1, residuals - static_cast<int>(3 * count + 2));
    const double variance = 2.0 * summary.final_cost / dof;
    result.FocalSpread = known && fitFocal ? std::sqrt(std::max(0.0, c[0] * variance)) : 0.0;
    result.AberrationSpread = known && fitAberration ? std::sqrt(std::max(0.0, c[3] * variance)) : 0.0;
    const bool focalLoose = fitFocal && (!known || result.FocalSpread > settings.MaxFocalSpread);
    const bool aberrationLoose = fitAberration && (!known || result.AberrationSpread > settings.MaxAberrationSpread);
    if (focalLoose || aberrationLoose) {
      // Fit again with what the data cannot fix held at its start.
      focalKept = focalKept || focalLoose;
      aberrationKept = aberrationKept || aberrationLoose;
      if (focalLoose) camera[0] = 1.0;
      if (aberrationLoose) camera[1] = problem.Aberration;
      fixCamera(focalKept, aberrationKept);
      ceres::Solve(options, &solver, &summary);
      if (!summary.IsSolutionUsable()) return result;
    }
  }

  result.Solved = true;
  result.FocalKept = focalKept;
  result.AberrationKept = aberrationKept;
  result.FocalLength = problem.FocalLength * camera[0];
  result.Aberration = camera[1];
  for (std::size_t i = 0; i < count; ++i)
    if (used[i])
      result.Orientations[i] = geom::Multiplied(FromAngleAxis(turns[i].data()), problem.Orientations[i]);
  double sum = 0.0;
  long points = 0;
  for (const CalibrationPair& pair : problem.Pairs) {
    result.Pairs.push_back(MeasurePair(problem.PictureSize, result.FocalLength, result.Aberration,
                                       result.Orientations[static_cast<std::size_t>(pair.Left)],
                                       result.Orientations[static_cast<std::size_t>(pair.Right)], pair));
    sum += result.Pairs.back().Rms * result.Pairs.back().Rms * result.Pairs.back().Points;
    points += result.Pairs.back().Points;
  }
  result.RmsPixels = points > 0 ? std::sqrt(sum / static_cast<double>(points)) : 0.0;
  return result;
}

}  // namespace vistarium::refine
