#include "matching/all_pairs.h"

#include <gtest/gtest.h>

#include <string>

#include "app/pipeline.h"
#include "matching/preparation.h"
#include "params/parameter_file.h"
#include "refine/grey_store.h"
#include "refine/refinement.h"

namespace vistarium::matching {
namespace {

std::string Sample(const std::string& name) { return std::string(VISTARIUM_SOURCE_DIR) + "/samples/" + name; }

params::ParameterSets QuickParameters() {
  params::ParameterSets p = params::LoadParameterFile(std::string(VISTARIUM_SOURCE_DIR) + "/Options/CurrentParameters.spr");
  p.Camera.FocalLength = 28.0;
  p.Camera.Aberration = 0.0;
  p.Method.MinReducedHalfSize = 60;  // small working pictures keep the tests quick
  return p;
}

TPictureSetData Pictures(int count, bool is360) {
  TPictureSetData set;
  for (int i = 1; i <= count; ++i) set.FileNames.push_back(Sample("open4/open4_0" + std::to_string(i) + ".jpg"));
  set.Count = count;
  set.Is360 = is360;
  return set;
}

bool IsZero(const TConnectionSide& side) {
  for (int k = 0; k < 3; ++k)
    if (!(side.WorkingPoints[k] == TRealPoint{}) || !(side.ImagePoints[k] == TRealPoint{})) return false;
  return true;
}

TEST(SetUpProjection, ProjectionAndReductionOfTheSampleCamera) {
  RunState rs;
  TakeRunSnapshot(rs, Pictures(2, false), QuickParameters());
  SetUpProjection(rs);
  const TProjectionParameters& pp = rs.Projection;
  EXPECT_EQ(pp.PictureSize, (TPoint{1024, 768}));
  EXPECT_TRUE(pp.WorkingScaled);
  // The working grid's half-height at the top middle equals the limit.
  EXPECT_NEAR(pp.Extent.Y / pp.WorkingScale, 60.0, 1e-9);
  EXPECT_LE(pp.WorkingHalfSize.Y, 60);
  EXPECT_GT(pp.WorkingHalfSize.X, pp.WorkingHalfSize.Y);
  ASSERT_EQ(rs.Geometry.size(), 2u);
  EXPECT_FALSE(rs.Geometry[0].LeftConnection.Linked);
  EXPECT_TRUE(rs.Geometry[0].RightConnection.Linked);
  EXPECT_TRUE(rs.Geometry[1].LeftConnection.Linked);
  EXPECT_FALSE(rs.Geometry[1].RightConnection.Linked);
}

TEST(SetUpProjection, ParametersOutsideTheirRangesAreRefused) {
  RunState rs;
  params::ParameterSets p = QuickParameters();
  p.Camera.FocalLength = 0;
  TakeRunSnapshot(rs, Pictures(2, false), p);
  EXPECT_THROW(SetUpProjection(rs), std::invalid_argument);
  p = QuickParameters();
  p.Method.QualityCoefficient = 300;
  TakeRunSnapshot(rs, Pictures(2, false), p);
  EXPECT_THROW(SetUpProjection(rs), std::invalid_argument);
  TakeRunSnapshot(rs, Pictures(1, false), QuickParameters());
  EXPECT_THROW(SetUpProjection(rs), std::invalid_argument);
}

TEST(MatchAllPairs, TwoPicturesOpenAndClosed) {
  SilentProgressUi ui;
  {
    RunState rs;
    app::RunFindingPhase(rs, ui, Pictures(2, false), QuickParameters());
    EXPECT_FALSE(rs.CancelRequested);
    EXPECT_EQ(rs.Progress.PairCount, 1);
    EXPECT_FALSE(IsZero(rs.Geometry[0].RightConnection));
    EXPECT_FALSE(IsZero(rs.Geometry[1].LeftConnection));
    EXPECT_TRUE(IsZero(rs.Geometry[0].LeftConnection));
    EXPECT_TRUE(IsZero(rs.Geometry[1].RightConnection));
    EXPECT_EQ(rs.Progress.FindingBar, 100);
  }
  {
    RunState rs;
    app::RunFindingPhase(rs, ui, Pictures(2, true), QuickParameters());
    EXPECT_EQ(rs.Progress.PairCount, 2);
    for (const PictureGeometry& g : rs.Geometry) {
      EXPECT_FALSE(IsZero(g.LeftConnection));
      EXPECT_FALSE(IsZero(g.RightConnection));
    }
    // The closing pair (1, 0) puts the anchor near picture 1's right border.
    EXPECT_GT(rs.Geometry[1].RightConnection.WorkingPoints[2].X, 0);
  }
}

// Stands for the user's No while pair `stopAt` is being matched.
class StopDuringPair : public SilentProgressUi {
public:
  StopDuringPair(RunState& rs, int stopAt) : rs_(rs), stopAt_(stopAt) {}
  void ShowBar(Phase, int) override {
    if (rs_.CurrentPairIndex == stopAt_) rs_.CancelRequested = true;
  }

private:
  RunState& rs_;
  int stopAt_;
};

TEST(MatchAllPairs, CancelDuringAPairKeepsOnlyTheEarlierPairs) {
  for (bool reference : {false, true}) {
    RunState rs;
    rs.UseReferenceSearch = reference;
    StopDuringPair ui(rs, 1);
    app::RunFindingPhase(rs, ui, Pictures(3, false), QuickParameters());
    EXPECT_TRUE(rs.CancelRequested);
    EXPECT_EQ(rs.CurrentPairIndex, 1);
    EXPECT_FALSE(IsZero(rs.Geometry[0].RightConnection));
    EXPECT_FALSE(IsZero(rs.Geometry[1].LeftConnection));
    EXPECT_TRUE(IsZero(rs.Geometry[1].RightConnection));
    EXPECT_TRUE(IsZero(rs.Geometry[2].LeftConnection));
    // The next finding phase starts with the flag cleared.
    SilentProgressUi quiet;
    rs.ManualStitching = true;
    app::RunFindingPhaseWithoutEstimate(rs, quiet, Pictures(3, false), QuickParameters());
    EXPECT_FALSE(rs.CancelRequested);
    EXPECT_FALSE(IsZero(rs.Geometry[2].LeftConnection));
  }
}

// With refinement, connections are measured on a second thread while the
// next pairs are searched: each comes out as measured alone afterwards.
TEST(MatchAllPairs, ConnectionsMeasuredAlongsideTheSearchesAreThoseMeasuredAlone) {
  RunState rs;
  rs.Refine = true;
  rs.Calibrate = true;  // no rescue during the matching
  TakeRunSnapshot(rs, Pictures(4, false), QuickParameters());
  SetUpProjection(rs);
  SilentProgressUi ui;
  MatchAllPairs(rs, ui);
  ASSERT_FALSE(rs.CancelRequested);
  for (int i = 0; i < 3; ++i) {
    const int j = i + 1;
    const TConnectionRefinement alongside = rs.Geometry[static_cast<std::size_t>(i)].RightRefinement;
    ASSERT_TRUE(alongside.Fitted) << i;
    refine::RefinementSettings settings;
    settings.Rescue = false;
    refine::GreyStore& greys = refine::GreyPicturesOf(rs);
    refine::RefineStoredConnection(rs, i, j, *greys.Pyramid(rs, i), *greys.Pyramid(rs, j), settings);
    const TConnectionRefinement& alone = rs.Geometry[static_cast<std::size_t>(i)].RightRefinement;
    EXPECT_EQ(alone.Inliers, alongside.Inliers) << i;
    EXPECT_EQ(alone.RmsPixels, alongside.RmsPixels) << i;
    EXPECT_EQ(alone.LeftPoints, alongside.LeftPoints) << i;
    EXPECT_EQ(alone.RightPoints, alongside.RightPoints) << i;
  }
}

// Connections left unmeasured by the matching (a circle whose closing
// focal length is searched first) are measured later as the matching
// would have measured them.
TEST(MatchAllPairs, ConnectionsLeftUnmeasuredAreMeasuredLaterAsDuringTheSearches) {
  const auto match = [](RunState& rs, bool measure) {
    rs.Refine = true;
    rs.Calibrate = true;
    TakeRunSnapshot(rs, Pictures(4, true), QuickParameters());
    SetUpProjection(rs);
    SilentProgressUi ui;
    MatchAllPairs(rs, ui, nullptr, measure);
    ASSERT_FALSE(rs.CancelRequested);
  };
  RunState during, later;
  match(during, true);
  match(later, false);
  for (const PictureGeometry& g : later.Geometry) EXPECT_FALSE(g.RightRefinement.Measured);
  SilentProgressUi ui;
  MeasureConnections(later, ui);
  ASSERT_FALSE(later.CancelRequested);
  for (std::size_t i = 0; i < 4; ++i) {
    const TConnectionRefinement& a = during.Geometry[i].RightRefinement;
    const TConnectionRefinement& b = later.Geometry[i].RightRefinement;
    EXPECT_TRUE(b.Measured) << i;
    EXPECT_EQ(b.Fitted, a.Fitted) << i;
    EXPECT_EQ(b.Inliers, a.Inliers) << i;
    EXPECT_EQ(b.LeftPoints, a.LeftPoints) << i;
    EXPECT_EQ(b.RightPoints, a.RightPoints) << i;
  }
}

TEST(StoreConnection, WorkingAngleAndImageForms) {
  RunState rs;
  TakeRunSnapshot(rs, Pictures(2, false), QuickParameters());
  SetUpProjection(rs);
  const std::array<TPoint, 3> left{TPoint{10, 20}, TPoint{12, -20}, TPoint{50, 0}};
  const std::array<TPoint, 3> right{TPoint{-40, 21}, TPoint{-38, -19}, TPoint{-2, 1}};
  StoreConnection(rs, 0, 1, left, right);
  const TConnectionSide& l = rs.Geometry[0].RightConnection;
  const TConnectionSide& r = rs.Geometry[1].LeftConnection;
  EXPECT_EQ(l.WorkingPoints[1], (TRealPoint{12, -20}));
  EXPECT_EQ(r.WorkingPoints[2], (TRealPoint{-2, 1}));
  EXPECT_DOUBLE_EQ(l.AnglePoints[0].X, 10 * rs.Projection.WorkingScale);
  const TRealPoint img = geom::AnglesToPicture(rs.Projection, r.AnglePoints[0]);
  EXPECT_EQ(r.ImagePoints[0], img);
  // Unreduced grids: angle points are the working points.
  rs.Projection.WorkingScaled = false;
  rs.Projection.WorkingScale = 1.0;
  StoreConnection(rs, 0, 1, left, right);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(l.AnglePoints[k], l.WorkingPoints[k]);
}

TEST(RunState, ResetsClearTheirGroups) {
  RunState rs;
  SilentProgressUi ui;
  rs.ManualStitching = true;
  app::RunFindingPhaseWithoutEstimate(rs, ui, Pictures(2, false), QuickParameters());
  rs.Geometry[0].OrientationMap.Active = true;
  rs.Geometry[0].RightConnection.PanoramaPoints[1] = {3, 4};
  rs.Panorama.Width = 5;
  ResetConstructionResults(rs);
  EXPECT_FALSE(rs.Geometry[0].OrientationMap.Active);
  EXPECT_EQ(rs.Geometry[0].RightConnection.PanoramaPoints[1], (TRealPoint{}));
  EXPECT_FALSE(IsZero(rs.Geometry[0].RightConnection));  // finding results stay
  EXPECT_EQ(rs.Panorama.Width, 0);
  ResetFindingResults(rs);
  EXPECT_TRUE(rs.Geometry.empty());
  EXPECT_EQ(rs.Projection.WorkingScale, 1.0);
  EXPECT_EQ(rs.Projection.CircleLength, 0);
  rs.PictureSet.Is360 = true;
  ResetPictureSetData(rs);
  EXPECT_EQ(rs.PictureSet.Count, 0);
  EXPECT_TRUE(rs.PictureSet.Is360);
}

}  // namespace
}  // namespace vistarium::matching
