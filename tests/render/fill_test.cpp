// The fast fills against the plain ones on the bundled sample sets.
#include "render/fill.h"
#include "render/band_fill.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "alignment/layout.h"
#include "app/pipeline.h"
#include "params/parameter_file.h"
#include "sample_set.h"

namespace vistarium::render {
namespace {

struct Comparison {
  long differing = 0;     // pixels with any channel different
  long offByMore = 0;     // channel values more than one level apart
  int maxLevels = 0;      // largest channel difference
  long pixels = 0;
};

Comparison Compare(const TPanorama& a, const TPanorama& b) {
  Comparison c;
  c.pixels = static_cast<long>(a.Pixels.size());
  for (std::size_t k = 0; k < a.Pixels.size(); ++k) {
    if (a.Pixels[k] == b.Pixels[k]) continue;
    ++c.differing;
    for (int shift : {0, 8, 16}) {
      const int d = std::abs(static_cast<int>((a.Pixels[k] >> shift) & 0xFF) - static_cast<int>((b.Pixels[k] >> shift) & 0xFF));
      c.maxLevels = std::max(c.maxLevels, d);
      if (d > 1) ++c.offByMore;
    }
  }
  return c;
}

class FillAgreement : public ::testing::TestWithParam<std::string> {};

TEST_P(FillAgreement, FastFillAgreesWithThePlainFillWithinItsStatedBound) {
  const std::string folder = std::string(VISTARIUM_SOURCE_DIR) + "/samples/" + GetParam();
  const samples::SampleSet truth = samples::LoadTruthFile(folder + "/truth.json");
  const TPictureSetData pictures = samples::RunPictures(truth, folder);
  params::ParameterSets sets = samples::WithSetCamera(
      params::LoadParameterFile(std::string(VISTARIUM_SOURCE_DIR) + "/Options/CurrentParameters.spr"), truth);
  sets.Method.MinReducedHalfSize = 75;  // quick matching; the fill is what is compared

  RunState rs;
  matching::SilentProgressUi ui;
  app::RunFindingPhase(rs, ui, pictures, sets);
  rs.UseReferenceFill = true;
  app::RunConstructionPhase(rs, ui);
  const TPanorama plain = rs.Panorama;
  rs.UseReferenceFill = false;
  app::RunConstructionPhase(rs, ui);
  ASSERT_EQ(rs.Panorama.Width, plain.Width);
  ASSERT_EQ(rs.Panorama.Height, plain.Height);
  const Comparison c = Compare(rs.Panorama, plain);
  std::printf("%s: %ld of %ld pixels differ, %ld channel values by more than one level, by at most %d\n",
              GetParam().c_str(), c.differing, c.pixels, c.offByMore, c.maxLevels);
  EXPECT_LE(c.maxLevels, kMaxLevelsOff) << GetParam();
  EXPECT_LT(static_cast<double>(c.offByMore), 3.0 * c.pixels / kOffShareDenominator) << GetParam();
  // Running the construction again from the same connections repeats the panorama.
  const TPanorama fast = rs.Panorama;
  app::RunConstructionPhase(rs, ui);
  EXPECT_EQ(Compare(rs.Panorama, fast).differing, 0);

  // The eight-at-once sampling gives what the one-pixel path gives; bands of
  // another height (other grid nodes) stay within the bound.
  TPanorama single;
  single.Width = fast.Width;
  single.Height = fast.Height;
  single.Pixels.assign(fast.Pixels.size(), 0u);
  BandFillOptions options;
  options.Simd = false;
  const BandFillReport report = FillPanoramaInBands(rs, ui, PanoramaRecordSink(single), options);
  EXPECT_EQ(Compare(single, fast).differing, 0) << GetParam();
  // Nearly every cell is interpolated, those at the ends of a circle's
  // spans too; only cells around the seam or over a picture's edge are not.
  EXPECT_GT(report.InterpolatedCells, 0.97 * report.Cells) << report.InterpolatedCells << " of " << report.Cells;
  options.BandRows = 24;
  FillPanoramaInBands(rs, ui, PanoramaRecordSink(single), options);
  EXPECT_LE(Compare(single, plain).maxLevels, kMaxLevelsOff) << GetParam();
}

// Exposure gains enter both fills at the same place, before the cross-fade:
// with gains the fast fill still agrees with the plain one.
TEST(FillAgreementWithGains, TheFastFillAppliesTheGainsAsThePlainFillDoes) {
  const std::string folder = std::string(VISTARIUM_SOURCE_DIR) + "/samples/open4";
  const samples::SampleSet truth = samples::LoadTruthFile(folder + "/truth.json");
  params::ParameterSets sets = samples::WithSetCamera(
      params::LoadParameterFile(std::string(VISTARIUM_SOURCE_DIR) + "/Options/CurrentParameters.spr"), truth);
  sets.Method.MinReducedHalfSize = 75;
  RunState rs;
  matching::SilentProgressUi ui;
  app::RunFindingPhase(rs, ui, samples::RunPictures(truth, folder), sets);
  rs.UseReferenceFill = true;
  app::RunConstructionPhase(rs, ui);
  rs.Gains = {{1.2, 1.0, 0.9}, {0.8, 0.95, 1.1}, {1.05, 1.3, 1.0}, {0.7, 0.9, 0.85}};  // blue, green, red
  FillPlainPanorama(rs, ui);
  const TPanorama plain = rs.Panorama;
  TPanorama fast = plain;
  std::fill(fast.Pixels.begin(), fast.Pixels.end(), 0u);
  FillPanoramaInBands(rs, ui, PanoramaRecordSink(fast));
  const Comparison c = Compare(fast, plain);
  EXPECT_LE(c.maxLevels, kMaxLevelsOff);
  EXPECT_LT(static_cast<double>(c.offByMore), 3.0 * c.pixels / kOffShareDenominator);
  // The gains changed the picture.
  rs.Gains.clear();
  FillPlainPanorama(rs, ui);
  EXPECT_GT(Compare(rs.Panorama, plain).differing, c.pixels / 2);
}

INSTANTIATE_TEST_SUITE_P(Samples, FillAgreement, ::testing::Values("open4", "circle8", "portrait5"));

}  // namespace
}  // namespace vistarium::render
