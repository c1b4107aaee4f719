// The order offered when Join finds pictures the wrong way round.
#include "app/set_editing.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "geom/projection.h"
#include "sample_set.h"

namespace vistarium::app {
namespace {

TEST(OrderTurningReversed, TurnsEachRunOfReversedConnectionsRound) {
  using Order = std::vector<int>;
  EXPECT_EQ(OrderTurningReversed(4, false, {false, false, false}), (Order{0, 1, 2, 3}));
  EXPECT_EQ(OrderTurningReversed(4, false, {false, false, true}), (Order{0, 1, 3, 2}));
  EXPECT_EQ(OrderTurningReversed(5, false, {true, false, false, true}), (Order{1, 0, 2, 4, 3}));
  EXPECT_EQ(OrderTurningReversed(4, false, {true, true, true}), (Order{3, 2, 1, 0}));
  // A circle read backwards is turned round as a whole; its closing
  // connection alone changes nothing.
  EXPECT_EQ(OrderTurningReversed(4, true, {true, true, true, true}), (Order{3, 2, 1, 0}));
  EXPECT_EQ(OrderTurningReversed(4, true, {false, false, false, true}), (Order{0, 1, 2, 3}));
  EXPECT_EQ(ReorderQuestion({0, 1, 3, 2}),
            "Some pictures seem to be out of order: picture 4 belongs in place 3.\n"
            "Put the pictures in the order 1, 2, 4, 3 and join them again?");
}

// A pair the wrong way round is found so under a camera 15 % off, as after
// a join calibrated on connections that do not hold (the feature matches
// then agree only loosely); the right way round it never is.
TEST(ConnectionReversed, FindsAPairTheWrongWayRoundUnderACameraFarOff) {
  const std::filesystem::path set = std::filesystem::path(VISTARIUM_SOURCE_DIR) / "samples" / "open4";
  const samples::SampleSet truth = samples::LoadTruthFile((set / "truth.json").string());
  RunState rs;
  rs.PictureSet = samples::RunPictures(truth, set.string(), 2);
  const TProjectionParameters exact = truth.Geometry().Projection();
  geom::SetCameraProjection(rs.Projection, exact.PictureSize, 1.15 * truth.Camera.FocalLength, 0.0);
  EXPECT_FALSE(ConnectionReversed(rs, 0, 1));
  std::swap(rs.PictureSet.FileNames[0], rs.PictureSet.FileNames[1]);
  EXPECT_TRUE(ConnectionReversed(rs, 0, 1));
}

}  // namespace
}  // namespace vistarium::app
