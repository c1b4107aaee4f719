#include "params/parameter_sets.h"

#include <gtest/gtest.h>

#include "geom/numbers.h"

namespace vistarium::params {
namespace {

TEST(MethodEntriesTest, MinimalSizeIsStoredHalvedWithHalvesToEven) {
  EXPECT_EQ(HalfSizeFromEntry(301), 150);
  EXPECT_EQ(HalfSizeFromEntry(303), 152);
  EXPECT_EQ(HalfSizeFromEntry(300), 150);
  EXPECT_EQ(HalfSizeFromEntry(3), 2);
  EXPECT_EQ(HalfSizeFromEntry(5), 2);

  TParametersMethod method{100, 50, 0};
  method = ApplyMethodEntries(method, {"301", " 50", false});
  EXPECT_EQ(method.MinReducedHalfSize, 150);
  EXPECT_EQ(MethodEntriesFor(method).MinimalSize, "300");
  method = ApplyMethodEntries(method, {"303", " 50", false});
  EXPECT_EQ(method.MinReducedHalfSize, 152);
  EXPECT_EQ(MethodEntriesFor(method).MinimalSize, "304");
}

TEST(MethodEntriesTest, RangesAndInvalidEntriesKeepThePreviousValue) {
  EXPECT_FALSE(IsAcceptedMinimalSizeEntry(2));
  EXPECT_TRUE(IsAcceptedMinimalSizeEntry(3));
  EXPECT_TRUE(IsAcceptedMinimalSizeEntry(998));
  EXPECT_FALSE(IsAcceptedMinimalSizeEntry(999));
  EXPECT_FALSE(IsAcceptedQualityCoefficient(20));
  EXPECT_TRUE(IsAcceptedQualityCoefficient(21));
  EXPECT_TRUE(IsAcceptedQualityCoefficient(199));
  EXPECT_FALSE(IsAcceptedQualityCoefficient(200));

  const TParametersMethod before{150, 50, 1};
  // A non-number quality is dropped while the other entries are saved.
  EXPECT_EQ(ApplyMethodEntries(before, {"400", "abc", false}), (TParametersMethod{200, 50, 0}));
  EXPECT_EQ(ApplyMethodEntries(before, {"999", "200", true}), (TParametersMethod{150, 50, 1}));
  EXPECT_EQ(ApplyMethodEntries(before, {"2", "20", true}), (TParametersMethod{150, 50, 1}));
  EXPECT_EQ(ApplyMethodEntries(before, {"", "199", true}), (TParametersMethod{150, 199, 1}));
}

TEST(MethodEntriesTest, ShownValuesAreRightAlignedAndSmoothingIsTickedAboveZero) {
  const MethodEntries shown = MethodEntriesFor({25, 7, 2});
  EXPECT_EQ(shown.MinimalSize, " 50");
  EXPECT_EQ(shown.Quality, "  7");
  EXPECT_TRUE(shown.Smoothing);
  EXPECT_FALSE(MethodEntriesFor({25, 7, 0}).Smoothing);
  EXPECT_THROW(MethodEntriesFor({2000000000, 50, 0}), NumericOverflow);
}

TEST(TwoPicEntriesTest, OnlyTheAngleAcceptsZero) {
  const TParametersTwoPic before{45, 15, 3, 5, 5};
  EXPECT_EQ(ApplyTwoPicEntries(before, {"0", "0", "0", "0", "0"}), (TParametersTwoPic{45, 15, 0, 5, 5}));
  EXPECT_EQ(ApplyTwoPicEntries(before, {"100", "100", "100", "100", "100"}), before);
  EXPECT_EQ(ApplyTwoPicEntries(before, {"1", "99", "99", " 1", "x"}), (TParametersTwoPic{1, 99, 99, 1, 5}));
  EXPECT_EQ(ApplyTwoPicEntries(before, {"-1", "1.5", "-1", "", "50"}), (TParametersTwoPic{45, 15, 3, 5, 50}));
}

TEST(TwoPicEntriesTest, ShownInWidthTwo) {
  EXPECT_EQ(TwoPicEntriesFor({45, 5, 0, 99, 123}), (TwoPicEntries{"45", " 5", " 0", "99", "123"}));
}

TEST(CameraEntriesTest, SaveAndExitAcceptsOnlyTheOpenRanges) {
  EXPECT_TRUE(IsAcceptedCamera(0.01, 0.0));
  EXPECT_TRUE(IsAcceptedCamera(998.99, -0.99));
  EXPECT_FALSE(IsAcceptedCamera(0.0, 0.0));
  EXPECT_FALSE(IsAcceptedCamera(999.0, 0.0));
  EXPECT_FALSE(IsAcceptedCamera(50.0, 1.0));
  EXPECT_FALSE(IsAcceptedCamera(50.0, -1.0));

  EXPECT_EQ(AcceptCameraEntries("Mine", " 50.00", "-0.0125"), (TParametersCamera{"Mine", 50.0, -0.0125}));
  // A listed camera with aberration 1.2 cannot be chosen.
  EXPECT_FALSE(AcceptCameraEntries("Wide", "28.00", " 1.2000"));
  EXPECT_FALSE(AcceptCameraEntries("Bad", "fifty", "0"));
  EXPECT_FALSE(AcceptCameraEntries("Bad", "50", ""));
}

}  // namespace
}  // namespace vistarium::params
