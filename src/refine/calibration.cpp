#include "refine/calibration.h"

#include <Eigen/Dense>
#include <ceres/ceres.h>
#include <ceres/rotation.h>

#include <algorithm>
#include <cmath>
#include <memory>
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
// a picture's focal length is the start focal times the camera's scale
// times the picture's zoom.
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
  bool operator()(const T* wL, const T* wR, const T* camera, const T* zoomL, const T* zoomR, T* residual) const {
    const T fl = T(Focal) * camera[0] * zoomL[0], fr = T(Focal) * camera[0] * zoomR[0];
    const T& k = camera[1];
    T lx, ly, rx, ry;
    Ideal(Left, HalfSize, k, lx, ly);
    Ideal(Right, HalfSize, k, rx, ry);
    const T leftRay[3] = {lx, ly, fl}, rightRay[3] = {rx, ry, fr};
    T inLeft[3], inRight[3];
    Carry(RightStart, wR, LeftStart, wL, rightRay, inLeft);
    Carry(LeftStart, wL, RightStart, wR, leftRay, inRight);
    // A direction turned behind the other picture cannot be compared; it
    // counts as far off (the robust loss keeps its weight small).
    const T minimum(1e-6);
    const T zl = inLeft[2] > minimum ? inLeft[2] : minimum;
    const T zr = inRight[2] > minimum ? inRight[2] : minimum;
    AsTaken(Left, HalfSize, k, fl * inLeft[0] / zl - lx, fl * inLeft[1] / zl - ly, residual[0], residual[1]);
    AsTaken(Right, HalfSize, k, fr * inRight[0] / zr - rx, fr * inRight[1] / zr - ry, residual[2], residual[3]);
    return true;
  }

  // A difference (dx, dy) of ideal positions near the point `centred` as
  // taken, in pixels of the picture as taken: through the inverse of the
  // radial model's derivative there. In ideal positions a larger k would
  // stretch the picture's rim, where overlaps lie, and so every misfit
  // with it; the fit would shrink k to shrink them, and lengthen the focal
  // length to make up for it.
  template <typename T>
  static void AsTaken(const TRealPoint& centred, double halfSize, const T& k, const T& dx, const T& dy, T& outX,
                      T& outY) {
    const double r2 = halfSize * halfSize;
    const double s = (centred.X * centred.X + centred.Y * centred.Y) / r2;
    // derivative: (1 + k s) I + (2 k / R^2) p p^T; its inverse by Sherman-Morrison
    const T along = (T(centred.X) * dx + T(centred.Y) * dy) * T(2.0 / r2) * k / (T(1.0) + T(3.0 * s) * k);
    const T m = T(1.0) + k * s;
    outX = (dx - T(centred.X) * along) / m;
    outY = (dy - T(centred.Y) * along) / m;
  }
};

// The same correspondence with its derivatives written out: about twice
// as fast as automatic differentiation, which the fit spent two thirds of
// its time in. With E = exp(w) a picture's turn, its orientation is E S (S its
// start), and a change d of w turns E by exp(Jl(w) d), Jl the left Jacobian
// of the rotation group: the direction E S r moves by -[E S r]x Jl d.
class CorrespondenceCost : public ceres::SizedCostFunction<4, 3, 3, 2, 1, 1> {
public:
  explicit CorrespondenceCost(const Correspondence& c)
      : c_(c), leftStart_(Matrix(c.LeftStart)), rightStart_(Matrix(c.RightStart)) {}

  bool Evaluate(double const* const* parameters, double* residuals, double** jacobians) const override {
    const double s = parameters[2][0], k = parameters[2][1];
    const double zl = parameters[3][0], zr = parameters[4][0];
    Eigen::Matrix3d el, jl, er, jr;
    Turn(parameters[0], el, jl);
    Turn(parameters[1], er, jr);
    const Eigen::Matrix3d gl = el * leftStart_, gr = er * rightStart_;
    const Side left{c_.Left, c_.HalfSize, k}, right{c_.Right, c_.HalfSize, k};
    const double fl = c_.Focal * s * zl, fr = c_.Focal * s * zr;
    const Eigen::Vector3d rayL(left.Ideal.x(), left.Ideal.y(), fl), rayR(right.Ideal.x(), right.Ideal.y(), fr);
    const Eigen::Vector3d cl = gl * rayL, cr = gr * rayR;  // in the common frame
    // Into the left picture, then into the right one.
    const Way intoLeft{gl.transpose() * cr, fl, left}, intoRight{gr.transpose() * cl, fr, right};
    intoLeft.Residual(residuals);
    intoRight.Residual(residuals + 2);
    if (!jacobians) return true;
    const auto cross = [](const Eigen::Vector3d& v) {
      Eigen::Matrix3d m;
      m << 0, -v.z(), v.y(), v.z(), 0, -v.x(), -v.y(), v.x(), 0;
      return m;
    };
    // d(direction)/d(parameters) for each way, 3 x 10: turns of the left and
    // right picture, scale, aberration, left zoom, right zoom.
    const Eigen::Matrix3d ml = gl.transpose() * gr, mr = ml.transpose();
    Eigen::Matrix<double, 3, 10> dl, dr;
    dl.block<3, 3>(0, 0) = gl.transpose() * cross(cr) * jl;
    dl.block<3, 3>(0, 3) = -gl.transpose() * cross(cr) * jr;
    dl.col(6) = ml.col(2) * c_.Focal * zr;
    dl.col(7) = ml * Eigen::Vector3d(right.Taken.x() * right.S, right.Taken.y() * right.S, 0.0);
    dl.col(8).setZero();
    dl.col(9) = ml.col(2) * c_.Focal * s;
    dr.block<3, 3>(0, 0) = -gr.transpose() * cross(cl) * jl;
    dr.block<3, 3>(0, 3) = gr.transpose() * cross(cl) * jr;
    dr.col(6) = mr.col(2) * c_.Focal * zl;
    dr.col(7) = mr * Eigen::Vector3d(left.Taken.x() * left.S, left.Taken.y() * left.S, 0.0);
    dr.col(8) = mr.col(2) * c_.Focal * s;
    dr.col(9).setZero();
    Eigen::Matrix<double, 4, 10> d;
    d.topRows<2>() = intoLeft.Derivative(dl, c_.Focal * zl, c_.Focal * s, 8);
    d.bottomRows<2>() = intoRight.Derivative(dr, c_.Focal * zr, c_.Focal * s, 9);
    const auto put = [&](int block, int first, int n) {
      if (!jacobians[block]) return;
      for (int row = 0; row < 4; ++row)
        for (int col = 0; col < n; ++col) jacobians[block][row * n + col] = d(row, first + col);
    };
    put(0, 0, 3);
    put(1, 3, 3);
    put(2, 6, 2);
    put(3, 8, 1);
    put(4, 9, 1);
    return true;
  }

private:
  static Eigen::Matrix3d Matrix(const Rotation& r) {
    Eigen::Matrix3d m;
    m << r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8];
    return m;
  }

  // exp(w) and the left Jacobian Jl(w).
  static void Turn(const double* w, Eigen::Matrix3d& e, Eigen::Matrix3d& jl) {
    const Eigen::Vector3d v(w[0], w[1], w[2]);
    const double t2 = v.squaredNorm();
    Eigen::Matrix3d x;
    x << 0, -v.z(), v.y(), v.z(), 0, -v.x(), -v.y(), v.x(), 0;
    if (t2 < 1e-16) {
      e = Eigen::Matrix3d::Identity() + x;
      jl = Eigen::Matrix3d::Identity() + 0.5 * x;
      return;
    }
    const double t = std::sqrt(t2), sn = std::sin(t), cs = std::cos(t);
    e = Eigen::Matrix3d::Identity() + (sn / t) * x + ((1.0 - cs) / t2) * x * x;
    jl = Eigen::Matrix3d::Identity() + ((1.0 - cs) / t2) * x + ((t - sn) / (t2 * t)) * x * x;
  }

  // A picture's side of the correspondence: its point as taken, the squared
  // radius share s, the ideal point (1 + k s) times it, and the map T of an
  // ideal difference to pixels as taken (the inverse of the model's
  // derivative there) with its derivative by k.
  struct Side {
    Eigen::Vector2d Taken, Ideal;
    double S = 0.0;
    Eigen::Matrix2d T, dT;
    Side(TRealPoint p, double halfSize, double k) : Taken(p.X, p.Y) {
      const double r2 = halfSize * halfSize;
      S = Taken.squaredNorm() / r2;
      const double m = 1.0 + k * S, q = 1.0 + 3.0 * k * S;
      Ideal = Taken * m;
      const Eigen::Matrix2d pp = Taken * Taken.transpose();
      const double c = 2.0 * k / (r2 * q), dc = 2.0 / (r2 * q * q);
      T = (Eigen::Matrix2d::Identity() - c * pp) / m;
      dT = -(S / m) * T - (dc / m) * pp;
    }
  };

  // One way: the direction u carried into a picture of focal length f, and
  // the residual T (f u.xy / u.z - ideal).
  struct Way {
    Eigen::Vector3d U;
    double F;
    const Side& At;
    // A direction turned behind the picture counts as far off; its depth
    // is then held at the floor, which has no derivative.
    double Depth() const { return U.z() > kMinimumDepth ? U.z() : kMinimumDepth; }
    Eigen::Vector2d Raw() const { return F * U.head<2>() / Depth() - At.Ideal; }
    void Residual(double* out) const {
      const Eigen::Vector2d r = At.T * Raw();
      out[0] = r.x();
      out[1] = r.y();
    }
    // d(residual)/d(parameters) from d(u)/d(parameters); the picture's
    // focal length F = focal * scale * zoom enters directly through
    // parameters 6 (scale, dF = focalTimesZoom) and `zoomColumn` (dF =
    // focalTimesScale), the ideal point through 7 (aberration).
    Eigen::Matrix<double, 2, 10> Derivative(const Eigen::Matrix<double, 3, 10>& du, double focalTimesZoom,
                                            double focalTimesScale, int zoomColumn) const {
      const double z = Depth();
      Eigen::Matrix<double, 2, 3> project;
      project << F / z, 0.0, U.z() > kMinimumDepth ? -F * U.x() / (z * z) : 0.0, 0.0, F / z,
          U.z() > kMinimumDepth ? -F * U.y() / (z * z) : 0.0;
      Eigen::Matrix<double, 2, 10> raw = project * du;
      const Eigen::Vector2d seen = U.head<2>() / z;
      raw.col(6) += seen * focalTimesZoom;
      raw.col(zoomColumn) += seen * focalTimesScale;
      raw.col(7) -= At.Taken * At.S;
      Eigen::Matrix<double, 2, 10> out = At.T * raw;
      out.col(7) += At.dT * Raw();
      return out;
    }
  };
  static constexpr double kMinimumDepth = 1e-6;

  Correspondence c_;
  Eigen::Matrix3d leftStart_, rightStart_;
};

// The zoom of the picture of median zoom (the lower of two middle ones)
// among `pictures`: the zoom the others are measured from.
double MedianZoom(const std::vector<double>& zooms, const std::vector<std::size_t>& pictures) {
  std::vector<double> z;
  for (std::size_t i : pictures) z.push_back(zooms[i]);
  std::nth_element(z.begin(), z.begin() + static_cast<std::ptrdiff_t>((z.size() - 1) / 2), z.end());
  return z[(z.size() - 1) / 2];
}

// Correspondences of each pair the first look at the zooms takes.
constexpr std::size_t kLookPoints = 24;

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

// A range that one value of a parameter block must stay within.
struct Bound {
  double* Values = nullptr;
  int Index = 0;
  double Lower = 0.0, Upper = 0.0;
};

// Solves the problem with its values kept within `bounds`. A problem with
// bounds costs the solver a line search along every step it takes, which
// nearly doubles the evaluations of the whole problem, while the values
// seldom come near their bounds: the problem is solved without them first,
// and again from the same start with them only when a value left its range
// (or that solution is unusable).
void SolveWithin(const ceres::Solver::Options& options, ceres::Problem& problem, const std::vector<Bound>& bounds,
                 ceres::Solver::Summary& summary) {
  std::vector<double*> blocks;
  problem.GetParameterBlocks(&blocks);
  std::vector<std::vector<double>> start;
  for (double* block : blocks) start.emplace_back(block, block + problem.ParameterBlockSize(block));
  ceres::Solve(options, &problem, &summary);
  const auto inside = [](const Bound& b) { return b.Values[b.Index] >= b.Lower && b.Values[b.Index] <= b.Upper; };
  if (summary.IsSolutionUsable() && std::all_of(bounds.begin(), bounds.end(), inside)) return;
  for (std::size_t k = 0; k < blocks.size(); ++k) std::copy(start[k].begin(), start[k].end(), blocks[k]);
  for (const Bound& b : bounds) {
    problem.SetParameterLowerBound(b.Values, b.Index, b.Lower);
    problem.SetParameterUpperBound(b.Values, b.Index, b.Upper);
  }
  ceres::Solve(options, &problem, &summary);
}

// The cameras of a pair's two pictures.
PairCameras CamerasFor(TPoint size, double focalLength, double aberration, PairZooms zooms) {
  const TProjectionParameters pp = Camera(size, focalLength, aberration);
  return {geom::WithZoom(pp, zooms.Left), geom::WithZoom(pp, zooms.Right)};
}

// Distance, in pixels of each picture, between where a correspondence's
// point is seen and where the other picture's point is carried (the mean of
// both ways).
double Distance(const PairCameras& c, const Rotation& rightToLeft, TRealPoint left, TRealPoint right) {
  const auto way = [](const TProjectionParameters& from, const TProjectionParameters& to, const Rotation& r,
                      TRealPoint p, TRealPoint seen) {
    const std::optional<TRealPoint> at = geom::RayToPixel(to, geom::Rotate(r, geom::PixelToRay(from, p)));
    if (!at) return to.HalfSize;
    return std::hypot(at->X - seen.X, at->Y - seen.Y);
  };
  return 0.5 * (way(c.Right, c.Left, rightToLeft, right, left) +
                way(c.Left, c.Right, geom::Transposed(rightToLeft), left, right));
}

std::vector<double> PairDistances(const PairCameras& c, const Rotation& left, const Rotation& right,
                                  const CalibrationPair& pair) {
  const Rotation rightToLeft = geom::Multiplied(geom::Transposed(left), right);
  std::vector<double> d;
  d.reserve(pair.LeftPoints.size());
  for (std::size_t k = 0; k < pair.LeftPoints.size(); ++k)
    d.push_back(Distance(c, rightToLeft, pair.LeftPoints[k], pair.RightPoints[k]));
  return d;
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
                          const Rotation& right, const CalibrationPair& pair, PairZooms zooms) {
  return Summarise(PairDistances(CamerasFor(pictureSize, focalLength, aberration, zooms), left, right, pair));
}

PairResiduals PairFloor(TPoint pictureSize, double focalLength, double aberration, const CalibrationPair& pair,
                        Rotation* rotation, PairZooms zooms) {
  const PairCameras pp = CamerasFor(pictureSize, focalLength, aberration, zooms);
  const std::size_t n = pair.LeftPoints.size();
  if (n < 3) return {};
  std::vector<Ray> l(n), r(n);
  for (std::size_t k = 0; k < n; ++k) {
    l[k] = geom::PixelToRay(pp.Left, pair.LeftPoints[k]);
    r[k] = geom::PixelToRay(pp.Right, pair.RightPoints[k]);
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
  if (!problem.Zooms.empty() && problem.Zooms.size() != count)
    throw std::invalid_argument("Calibration: the zooms do not match the pictures");
  const TProjectionParameters start = Camera(problem.PictureSize, problem.FocalLength, problem.Aberration);

  CalibrationResult result;
  std::vector<std::array<double, 3>> turns(count, {0.0, 0.0, 0.0});
  std::array<double, 2> camera{1.0, problem.Aberration};  // focal scale, aberration
  std::vector<double> startZooms = problem.Zooms.empty() ? std::vector<double>(count, 1.0) : problem.Zooms;
  // The fit's zoom parameters (their storage stays put: the solver holds their addresses).
  std::vector<double> zooms = startZooms;

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
    const std::size_t a = static_cast<std::size_t>(pair.Left), b = static_cast<std::size_t>(pair.Right);
    for (std::size_t k = 0; k < pair.LeftPoints.size(); ++k) {
      const Correspondence c{geom::CentreCoordinates(start, pair.LeftPoints[k]),
                             geom::CentreCoordinates(start, pair.RightPoints[k]),
                             problem.Orientations[a],
                             problem.Orientations[b],
                             start.HalfSize,
                             start.FocalPixels};
      solver.AddResidualBlock(new CorrespondenceCost(c), &loss, turns[a].data(), turns[b].data(), camera.data(),
                              &zooms[a], &zooms[b]);
      residuals += 4;
    }
    if (!pair.LeftPoints.empty()) used[a] = used[b] = true;
  }
  result.FocalLength = problem.FocalLength;
  result.Aberration = problem.Aberration;
  result.Orientations = problem.Orientations;
  result.Zooms = startZooms;
  if (residuals == 0) return result;
  std::vector<std::size_t> present;  // the pictures the pairs hold
  for (std::size_t i = 0; i < count; ++i)
    if (used[i]) present.push_back(i);
  // Zooms given are measured from the picture of median zoom, whose focal
  // length the camera's then is: the set's focal length follows most of
  // its pictures, whichever picture a chain of pairs measured them from.
  if (const double reference = MedianZoom(startZooms, present); reference > 0.0 && reference != 1.0) {
    camera[0] = std::clamp(reference, 0.5, 2.0);
    for (std::size_t i : present) zooms[i] = startZooms[i] /= reference;
  }
  result.Zooms = startZooms;
  if (problem.FocalPrior > 0.0 && problem.KnownFocalLength > 0.0)
    solver.AddResidualBlock(new ceres::AutoDiffCostFunction<Prior, 1, 2>(
                                new Prior{0, problem.KnownFocalLength / problem.FocalLength, problem.FocalPrior, settings.LossPixels}),
                            nullptr, camera.data());
  if (problem.AberrationPrior > 0.0)
    solver.AddResidualBlock(new ceres::AutoDiffCostFunction<Prior, 1, 2>(
                                new Prior{1, problem.KnownAberration, problem.AberrationPrior, settings.LossPixels}),
                            nullptr, camera.data());

  std::vector<Bound> bounds;
  for (std::size_t i = 0; i < count; ++i) {
    if (!used[i]) continue;
    if (i == 0 || (i < problem.Held.size() && problem.Held[i])) solver.SetParameterBlockConstant(turns[i].data());
    // The zooms stay as given until the camera is fitted.
    bounds.push_back({&zooms[i], 0, 0.5, 2.0});
    solver.SetParameterBlockConstant(&zooms[i]);
  }
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
  bounds.push_back({camera.data(), 0, 0.5, 2.0});
  bounds.push_back({camera.data(), 1, -0.5, 0.5});

  ceres::Solver::Options options;
  // Each correspondence touches two pictures' turns and the camera: the
  // normal equations are sparse, and solved so where the solver library has
  // a sparse Cholesky factorisation (Debian's has), densely otherwise.
  options.linear_solver_type =
      ceres::IsSparseLinearAlgebraLibraryTypeAvailable(options.sparse_linear_algebra_library_type)
          ? ceres::SPARSE_NORMAL_CHOLESKY
          : ceres::DENSE_NORMAL_CHOLESKY;
  options.max_num_iterations = settings.MaxIterations;
  options.num_threads = 1;  // sums in one order: the same result every time
  options.logging_type = ceres::SILENT;
  options.minimizer_progress_to_stdout = false;
  // A relative change of the cost below 1e-7 moves the orientations by far
  // less than a hundredth of a pixel.
  options.function_tolerance = 1e-7;
  options.parameter_tolerance = 1e-8;
  ceres::Solver::Summary summary;
  SolveWithin(options, solver, bounds, summary);
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
      SolveWithin(options, solver, bounds, summary);
      if (!summary.IsSolutionUsable()) return result;
    }
  }

  using Turns = std::vector<std::array<double, 3>>;
  const auto orientations = [&](const Turns& t) {
    std::vector<Rotation> o = problem.Orientations;
    for (std::size_t i = 0; i < count; ++i)
      if (used[i]) o[i] = geom::Multiplied(FromAngleAxis(t[i].data()), problem.Orientations[i]);
    return o;
  };
  // The median distance of the correspondences of the pairs that hold a
  // picture marked in `pictures`, under the values given.
  const auto medianDistance = [&](const Turns& t, const std::array<double, 2>& cam, const std::vector<double>& z,
                                  const std::vector<bool>& pictures) {
    const std::vector<Rotation> o = orientations(t);
    std::vector<double> all;
    for (const CalibrationPair& pair : problem.Pairs) {
      const std::size_t a = static_cast<std::size_t>(pair.Left), b = static_cast<std::size_t>(pair.Right);
      if (!pictures[a] && !pictures[b]) continue;
      const std::vector<double> d = PairDistances(
          CamerasFor(problem.PictureSize, problem.FocalLength * cam[0], cam[1], {z[a], z[b]}), o[a], o[b], pair);
      all.insert(all.end(), d.begin(), d.end());
    }
    if (all.empty()) return 0.0;
    std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(all.size() / 2), all.end());
    return all[all.size() / 2];
  };

  // Pictures at another zoom: every zoom fitted with the camera held, then
  // measured from the picture of median zoom, whose focal length the set's
  // becomes. Kept only where they clearly help; otherwise every picture has
  // the set's camera as fitted above.
  // A first look, cheap beside the whole problem: every picture's zoom
  // fitted with the camera held, on a few correspondences of each pair.
  // Pictures that all look taken at the zoom they started from need no more.
  const auto zoomsLookAlike = [&] {
    if (std::any_of(present.begin(), present.end(), [&](std::size_t i) { return startZooms[i] != 1.0; })) return false;
    Turns t = turns;
    std::vector<double> look(count, 1.0);
    std::array<double, 2> cam = camera;
    ceres::Problem::Options smallOptions;
    smallOptions.loss_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
    ceres::Problem small(smallOptions);
    for (const CalibrationPair& pair : problem.Pairs) {
      const std::size_t a = static_cast<std::size_t>(pair.Left), b = static_cast<std::size_t>(pair.Right);
      const std::size_t n = pair.LeftPoints.size(), stride = std::max<std::size_t>(1, n / kLookPoints);
      for (std::size_t k = 0; k < n; k += stride)
        small.AddResidualBlock(new CorrespondenceCost(Correspondence{
                                   geom::CentreCoordinates(start, pair.LeftPoints[k]),
                                   geom::CentreCoordinates(start, pair.RightPoints[k]), problem.Orientations[a],
                                   problem.Orientations[b], start.HalfSize, start.FocalPixels}),
                               &loss, t[a].data(), t[b].data(), cam.data(), &look[a], &look[b]);
    }
    small.SetParameterBlockConstant(cam.data());
    std::vector<Bound> lookBounds;
    for (std::size_t i : present) {
      if (i == 0 || (i < problem.Held.size() && problem.Held[i])) small.SetParameterBlockConstant(t[i].data());
      lookBounds.push_back({&look[i], 0, 0.5, 2.0});
    }
    ceres::Solver::Summary quick;
    SolveWithin(options, small, lookBounds, quick);
    if (!quick.IsSolutionUsable()) return false;
    const double reference = MedianZoom(look, present);
    // Within half the share a zoom must differ by to be kept: the few
    // correspondences fit less surely than all of them.
    return std::all_of(present.begin(), present.end(), [&](std::size_t i) {
      return std::fabs(look[i] / reference - 1.0) <= 0.5 * settings.ZoomShare;
    });
  };
  if (settings.FitZoom && present.size() >= 2 && !zoomsLookAlike()) {
    const Turns heldTurns = turns;
    const std::array<double, 2> heldCamera = camera;
    fixCamera(true, true);
    for (std::size_t i : present) solver.SetParameterBlockVariable(&zooms[i]);
    SolveWithin(options, solver, bounds, summary);
    bool kept = false;
    if (summary.IsSolutionUsable()) {
      const double reference = MedianZoom(zooms, present);
      camera[0] = std::clamp(camera[0] * reference, 0.5, 2.0);
      std::vector<bool> own(count, false);
      bool any = false;
      for (std::size_t i : present) {
        const double z = zooms[i] / reference;
        own[i] = std::fabs(z - 1.0) > settings.ZoomShare;
        zooms[i] = own[i] ? std::clamp(z, 0.5, 2.0) : 1.0;
        if (!own[i]) solver.SetParameterBlockConstant(&zooms[i]);
        any = any || own[i];
      }
      const bool startZoomed =
          std::any_of(present.begin(), present.end(), [&](std::size_t i) { return startZooms[i] != 1.0; });
      if (any) {
        fixCamera(focalKept, aberrationKept);
        SolveWithin(options, solver, bounds, summary);
        // Judged on the connections of the pictures given zooms of their own:
        // zooms new to the fit must clearly help; zooms it started from
        // (found by the estimate or an earlier fit) are only refined, and
        // must not fit worse.
        const double before = medianDistance(heldTurns, heldCamera, startZooms, own);
        kept = summary.IsSolutionUsable() &&
               medianDistance(turns, camera, zooms, own) <= (startZoomed ? 1.0 : 1.0 - settings.ZoomGain) * before;
      } else if (startZoomed) {
        // The zooms given to start from are not borne out: one focal length
        // for all, fitted again.
        fixCamera(focalKept, aberrationKept);
        SolveWithin(options, solver, bounds, summary);
        kept = summary.IsSolutionUsable();
      }
    }
    if (!kept) {
      turns = heldTurns;
      camera = heldCamera;
      std::copy(startZooms.begin(), startZooms.end(), zooms.begin());
    }
  }

  result.Solved = true;
  result.FocalKept = focalKept;
  result.AberrationKept = aberrationKept;
  result.FocalLength = problem.FocalLength * camera[0];
  result.Aberration = camera[1];
  result.Orientations = orientations(turns);
  result.Zooms = zooms;
  double sum = 0.0;
  long points = 0;
  for (const CalibrationPair& pair : problem.Pairs) {
    const std::size_t a = static_cast<std::size_t>(pair.Left), b = static_cast<std::size_t>(pair.Right);
    result.Pairs.push_back(MeasurePair(problem.PictureSize, result.FocalLength, result.Aberration,
                                       result.Orientations[a], result.Orientations[b], pair, {zooms[a], zooms[b]}));
    sum += result.Pairs.back().Rms * result.Pairs.back().Rms * result.Pairs.back().Points;
    points += result.Pairs.back().Points;
  }
  result.RmsPixels = points > 0 ? std::sqrt(sum / static_cast<double>(points)) : 0.0;
  return result;
}

namespace detail {

CorrespondenceDerivatives EvaluateCorrespondence(TPoint pictureSize, double focalLength, const geom::Rotation& leftStart,
                                                 const geom::Rotation& rightStart, TRealPoint left, TRealPoint right,
                                                 const double leftTurn[3], const double rightTurn[3],
                                                 const double camera[2], double leftZoom, double rightZoom,
                                                 bool automatic) {
  const TProjectionParameters start = Camera(pictureSize, focalLength, 0.0);
  const Correspondence c{geom::CentreCoordinates(start, left), geom::CentreCoordinates(start, right), leftStart,
                         rightStart, start.HalfSize, start.FocalPixels};
  std::unique_ptr<ceres::CostFunction> cost;
  if (automatic)
    cost = std::make_unique<ceres::AutoDiffCostFunction<Correspondence, 4, 3, 3, 2, 1, 1>>(new Correspondence(c));
  else
    cost = std::make_unique<CorrespondenceCost>(c);
  CorrespondenceDerivatives d{};
  const double* parameters[5] = {leftTurn, rightTurn, camera, &leftZoom, &rightZoom};
  double* jacobians[5] = {d.LeftTurn, d.RightTurn, d.Camera, d.LeftZoom, d.RightZoom};
  cost->Evaluate(parameters, d.Residuals, jacobians);
  return d;
}

}  // namespace detail

}  // namespace vistarium::refine
