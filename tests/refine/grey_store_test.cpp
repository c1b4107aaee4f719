// The run's shared grey pictures and the feature search that takes its
// pictures from them, on the bundled sample photographs.
#include "refine/grey_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "refine/refinement.h"
#include "refine/rescue.h"

namespace vistarium::refine {
namespace {

namespace fs = std::filesystem;
const fs::path kSamples = fs::path(VISTARIUM_SOURCE_DIR) / "samples";

RunState RunOf(const std::vector<fs::path>& files, TPoint size) {
  RunState rs;
  for (const fs::path& f : files) rs.PictureSet.FileNames.push_back(f.string());
  rs.PictureSet.Count = static_cast<int>(files.size());
  geom::SetCameraProjection(rs.Projection, size, 35.0, 0.0);
  return rs;
}

std::vector<fs::path> Open4() {
  std::vector<fs::path> files;
  for (int k = 1; k <= 4; ++k) files.push_back(kSamples / "open4" / ("open4_0" + std::to_string(k) + ".jpg"));
  return files;
}

std::size_t BytesOf(const GreyPyramid& p) {
  std::size_t bytes = 0;
  for (const GreyPicture& level : p.Levels) bytes += level.Values.size();
  return bytes;
}

void ExpectSamePyramid(const GreyPyramid& a, const GreyPyramid& b) {
  ASSERT_EQ(a.Levels.size(), b.Levels.size());
  for (std::size_t l = 0; l < a.Levels.size(); ++l) {
    EXPECT_EQ(a.Levels[l].Width, b.Levels[l].Width);
    EXPECT_EQ(a.Levels[l].Height, b.Levels[l].Height);
    EXPECT_TRUE(a.Levels[l].Values == b.Levels[l].Values) << "level " << l;
  }
}

// Pictures are decoded as the refinement decodes them, held while they fit
// the budget and decoded anew beyond it; threads asking at once get the
// same pictures.
TEST(GreyStore, HoldsPicturesWithinItsBudgetAndDecodesTheRestEachTime) {
  const RunState rs = RunOf(Open4(), {1024, 768});
  const GreyPyramid first = BuildGreyPyramid(LoadGrey(rs.PictureSet.FileNames[0]));
  const std::size_t one = BytesOf(first);
  GreyStore store(2 * one + one / 2);  // room for two pictures
  const auto a = store.Pyramid(rs, 0);
  ExpectSamePyramid(*a, first);
  EXPECT_EQ(store.Pyramid(rs, 0), a);  // held: the same pyramid
  store.Pyramid(rs, 1);
  const auto third = store.Pyramid(rs, 2);
  EXPECT_TRUE(store.Holds(0));
  EXPECT_TRUE(store.Holds(1));
  EXPECT_FALSE(store.Holds(2));
  EXPECT_EQ(store.HeldBytes(), 2 * one);
  ExpectSamePyramid(*third, BuildGreyPyramid(LoadGrey(rs.PictureSet.FileNames[2])));
  EXPECT_NE(store.Pyramid(rs, 2), third);  // decoded again

  GreyStore shared;
  std::vector<std::shared_ptr<const GreyPyramid>> got(8);
#pragma omp parallel for schedule(dynamic, 1)
  for (int k = 0; k < 8; ++k) got[static_cast<std::size_t>(k)] = shared.Pyramid(rs, k % 4);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(shared.Pyramid(rs, k), shared.Pyramid(rs, k));
    ExpectSamePyramid(*got[static_cast<std::size_t>(k)], *got[static_cast<std::size_t>(k + 4)]);
  }
  EXPECT_EQ(shared.HeldBytes(), 4 * one);
}

// Features found from the shared grey pictures (each picture once, however
// often it is asked for; small searches two at a time, larger ones one at a
// time with the next picture loaded meanwhile) match exactly as those found
// from the files one by one; a stop or a picture of another size ends the
// search.
TEST(GreyStore, FeaturesFromTheSharedPicturesMatchAsFromTheFiles) {
  RunState rs = RunOf(Open4(), {1024, 768});
  RescueOptions options;
  for (const int side : {300, 400}) {  // quick, and below and above what runs two at a time
    options.MaxWorkingSide = side;
    FeatureStore together(options), alone(options);
    ASSERT_TRUE(AddPairFeatures(rs, together, {{2, 3}, {0, 1}, {1, 2}, {0, 1}}));
    for (int p = 0; p < 4; ++p) {
      const GreyPicture grey = LoadGrey(rs.PictureSet.FileNames[static_cast<std::size_t>(p)]);
      alone.AddPicture(p, GreyView{grey.Width, grey.Height, grey.Values.data()});
    }
    for (int p = 0; p < 3; ++p) {
      const auto a = together.MatchedPixels(p, p + 1), b = alone.MatchedPixels(p, p + 1);
      EXPECT_GT(a.size(), 50u) << side;
      EXPECT_EQ(a, b) << side;
    }
    // Told the share found for the first time, the user stops; the pictures
    // left are found by the next search, as if nothing had stopped.
    FeatureStore stopped(options);
    int told = 0;
    EXPECT_FALSE(AddPairFeatures(rs, stopped, {{2, 3}, {0, 1}}, [&told](double) {
      ++told;
      return false;
    }));
    EXPECT_EQ(told, 1) << side;
    ASSERT_TRUE(AddPairFeatures(rs, stopped, {{0, 1}, {2, 3}}));
    EXPECT_EQ(stopped.MatchedPixels(0, 1), alone.MatchedPixels(0, 1)) << side;
  }
  // A portrait picture among landscape ones.
  std::vector<fs::path> mixed = Open4();
  mixed[1] = kSamples / "portrait5" / "portrait5_01.jpg";
  RunState other = RunOf(mixed, {1024, 768});
  FeatureStore refused(options);
  EXPECT_FALSE(AddPairFeatures(other, refused, {{0, 1}}));
  EXPECT_FALSE(refused.Holds(1));
}

}  // namespace
}  // namespace vistarium::refine
