#include "app/set_editing.h"

#include <algorithm>

#include "app/connection_check.h"
#include "app/pipeline.h"
#include "geom/projection.h"
#include "matching/all_pairs.h"
#include "matching/preparation.h"
#include "refine/rescue.h"
#include "refine/set_calibration.h"
#include "render/picture_file.h"

namespace vistarium::app {

namespace {

int PairCount(int count, bool is360) { return is360 ? count : std::max(count - 1, 0); }

// A kept half in the run's projection: its picture points carried over,
// angle and working points derived from them.
void PlaceSide(const TProjectionParameters& pp, TConnectionSide& side, const TConnectionSide& kept) {
  for (std::size_t k = 0; k < 3; ++k) {
    side.ImagePoints[k] = kept.ImagePoints[k];
    side.AnglePoints[k] = geom::PictureToAngles(pp, kept.ImagePoints[k]);
    side.WorkingPoints[k] = geom::ToWorkingScale(pp, side.AnglePoints[k]);
  }
}

}  // namespace

std::vector<KeptConnection> TakeConnections(const RunState& rs) {
  std::vector<KeptConnection> kept;
  const int count = std::min<int>(rs.PictureSet.Count, static_cast<int>(rs.Geometry.size()));
  if (count < 2) return kept;
  const std::vector<ConnectionCheck> checks = CheckConnections(rs);
  for (int i = 0; i < PairCount(count, rs.PictureSet.Is360); ++i) {
    const int j = i + 1 == count ? 0 : i + 1;
    // A connection the check names is searched again.
    const auto check = std::find_if(checks.begin(), checks.end(), [i](const ConnectionCheck& c) { return c.Left == i; });
    if (check == checks.end() || check->Problem != ConnectionProblem::None) continue;
    const PictureGeometry& l = rs.Geometry[static_cast<std::size_t>(i)];
    const PictureGeometry& r = rs.Geometry[static_cast<std::size_t>(j)];
    KeptConnection c;
    c.LeftFile = rs.PictureSet.FileNames.at(static_cast<std::size_t>(i));
    c.RightFile = rs.PictureSet.FileNames.at(static_cast<std::size_t>(j));
    c.Left = l.RightConnection;
    c.Right = r.LeftConnection;
    c.Refinement = l.RightRefinement;
    c.PictureSize = rs.Projection.PictureSize;
    c.FocalPixels = rs.Projection.FocalPixels;
    c.Aberration = rs.Projection.Aberration;
    kept.push_back(std::move(c));
  }
  return kept;
}

std::vector<std::optional<KeptConnection>> ConnectionsForSet(const std::vector<KeptConnection>& kept,
                                                              const std::vector<std::string>& files, bool is360) {
  const int count = static_cast<int>(files.size());
  std::vector<std::optional<KeptConnection>> pairs(static_cast<std::size_t>(PairCount(count, is360)));
  for (int i = 0; i < static_cast<int>(pairs.size()); ++i) {
    const std::string& left = files[static_cast<std::size_t>(i)];
    const std::string& right = files[static_cast<std::size_t>(i + 1 == count ? 0 : i + 1)];
    for (const KeptConnection& c : kept)
      if (c.LeftFile == left && c.RightFile == right) {
        pairs[static_cast<std::size_t>(i)] = c;
        break;
      }
  }
  return pairs;
}

void RunFindingPhaseKeeping(RunState& rs, matching::ProgressUi& ui, const TPictureSetData& pictures,
                            const params::ParameterSets& parameters, const std::vector<KeptConnection>& kept,
                            bool withEstimate) {
  rs.CancelRequested = false;
  rs.CurrentPairIndex = -1;
  matching::TakeRunSnapshot(rs, pictures, parameters);
  matching::SetUpProjection(rs);
  // With the time estimate, the bar runs once through the estimate, the
  // matching and the calibration, as in RunFindingPhase.
  const FindingSteps steps = PlanFindingSteps(rs);
  if (!withEstimate) {
    EstimateStartingCamera(rs);
  } else if (!StartFindingWithEstimate(rs, ui, steps)) {
    return;
  }
  const TProjectionParameters& pp = rs.Projection;
  const auto given = ConnectionsForSet(kept, rs.PictureSet.FileNames, rs.PictureSet.Is360);
  std::vector<bool> skip(given.size(), false);
  const int count = rs.PictureSet.Count;
  for (std::size_t i = 0; i < given.size(); ++i) {
    if (!given[i]) continue;
    const std::size_t j = static_cast<int>(i) + 1 == count ? 0 : i + 1;
    PlaceSide(pp, rs.Geometry.at(i).RightConnection, given[i]->Left);
    PlaceSide(pp, rs.Geometry.at(j).LeftConnection, given[i]->Right);
    // A refinement measured under another camera no longer holds; the
    // construction measures such a connection again.
    const bool sameCamera = given[i]->PictureSize == pp.PictureSize && given[i]->FocalPixels == pp.FocalPixels &&
                            given[i]->Aberration == pp.Aberration;
    rs.Geometry.at(i).RightRefinement = sameCamera ? given[i]->Refinement : TConnectionRefinement{};
    skip[i] = true;
  }
  matching::MatchAllPairs(rs, ui, &skip);
  // No circle is matched again here: the calibration fills the rest.
  if (withEstimate) matching::SetFindingStep(rs, steps.Matching, 1.0);
  CalibrateCamera(rs, withEstimate ? &ui : nullptr);
  matching::SetFindingStep(rs, 0.0, 1.0);
}

bool ConnectionReversed(const RunState& rs, int i, int j) {
  const auto load = [&rs](int p) { return render::LoadPictureFile(rs.PictureSet.FileNames.at(static_cast<std::size_t>(p))); };
  const DeviceBitmap left = load(j), right = load(i);
  if (left.Width != rs.Projection.PictureSize.X || left.Height != rs.Projection.PictureSize.Y ||
      right.Width != left.Width || right.Height != left.Height)
    return false;
  // Only the order is asked here, not a rotation to build from: any
  // rotation that enough feature matches agree on, however loosely, will
  // do (a set loaded the wrong way round was calibrated on connections that
  // do not hold, so its camera is off, and near things add parallax), as
  // long as it puts picture i to the right of picture j.
  return refine::EstimateRotationByFeatures(left, right, rs.Projection, refine::SetCalibrationSettings{}.LastResortTests)
      .Confident;
}

std::vector<int> OrderTurningReversed(int count, bool is360, const std::vector<bool>& reversed) {
  std::vector<int> order(static_cast<std::size_t>(std::max(count, 0)));
  for (int i = 0; i < count; ++i) order[static_cast<std::size_t>(i)] = i;
  // Within an open run of reversed connections i .. k the pictures i .. k + 1
  // stand right to left. A full circle's closing connection is left out: a
  // circle read backwards is turned round as a whole below.
  const int pairs = std::min<int>(static_cast<int>(reversed.size()), std::max(count - 1, 0));
  int all = 0;
  for (int i = 0; i < static_cast<int>(reversed.size()); ++i) all += reversed[static_cast<std::size_t>(i)] ? 1 : 0;
  if (is360 && count > 2 && all == static_cast<int>(reversed.size()) && all == count) {
    std::reverse(order.begin(), order.end());
    return order;
  }
  for (int i = 0; i < pairs;) {
    if (!reversed[static_cast<std::size_t>(i)]) {
      ++i;
      continue;
    }
    int k = i;
    while (k + 1 < pairs && reversed[static_cast<std::size_t>(k + 1)]) ++k;
    std::reverse(order.begin() + i, order.begin() + k + 2);
    i = k + 1;
  }
  return order;
}

namespace {

// The first picture out of its place, and the whole order, counted from 1.
std::pair<std::string, std::string> OrderWords(const std::vector<int>& order) {
  std::string moved, all;
  for (std::size_t i = 0; i < order.size(); ++i) {
    all += (i ? ", " : "") + std::to_string(order[i] + 1);
    if (order[i] != static_cast<int>(i) && moved.empty())
      moved = "picture " + std::to_string(order[i] + 1) + " belongs in place " + std::to_string(i + 1);
  }
  return {moved, all};
}

}  // namespace

std::string ReorderQuestion(const std::vector<int>& order) {
  const auto [moved, all] = OrderWords(order);
  return "Some pictures seem to be out of order: " + moved +
         ".\nPut the pictures in the order " + all + " and join them again?";
}

std::vector<int> FittingOrder(const RunState& rs) {
  std::vector<bool> reversed;
  bool any = false;
  for (const ConnectionCheck& c : CheckConnections(rs)) {
    // A connection that features placed found its pictures as arranged, and
    // so did one named only for parallax: its own measuring fitted, where
    // the joint fit puts it.
    const bool named = !ConnectionWarning(c).empty() && !c.Rescued && c.Problem != ConnectionProblem::Parallax &&
                       !StopSignalled(rs);
    reversed.push_back(named && ConnectionReversed(rs, c.Left, c.Right));
    any = any || reversed.back();
  }
  return any ? OrderTurningReversed(rs.PictureSet.Count, rs.PictureSet.Is360, reversed) : std::vector<int>{};
}

std::string ReorderNote(const std::vector<int>& order) {
  const auto [moved, all] = OrderWords(order);
  return "some pictures seem to be out of order: " + moved + "; joined in the order " + all + ", they may fit";
}

}  // namespace vistarium::app
