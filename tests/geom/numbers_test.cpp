#include "geom/numbers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace vistarium {
namespace {

TEST(Round, HalvesGoToTheEvenNeighbour) {
  EXPECT_EQ(Round(2.5), 2);
  EXPECT_EQ(Round(3.5), 4);
  EXPECT_EQ(Round(-0.5), 0);
  EXPECT_EQ(Round(-1.5), -2);
  EXPECT_EQ(Round(-2.5), -2);
  EXPECT_EQ(Round(0.49999999999999994), 0);
  EXPECT_EQ(Round(2.5000000001), 3);
  EXPECT_EQ(Round(-2.6), -3);
}

TEST(Round, AgreesWithNearbyIntEverywhere) {
  std::mt19937_64 gen(3);
  std::uniform_real_distribution<double> wide(-1e7, 1e7);
  for (int i = 0; i < 200000; ++i) {
    const double x = wide(gen);
    const double half = std::floor(x) + 0.5;  // exact halves
    for (double v : {x, half, -half, std::nextafter(half, 1e300), std::nextafter(half, -1e300)}) {
      ASSERT_EQ(RoundHalfEven(v), std::nearbyint(v)) << v;
      ASSERT_EQ(Round(v), static_cast<std::int32_t>(std::nearbyint(v))) << v;
    }
  }
  for (double v : {0.0, -0.0, 0.5, -0.5, 1.5, 4503599627370495.5, 4503599627370497.0, -4503599627370495.5, 1e300,
                   -1e300, 0.49999999999999994})
    EXPECT_EQ(RoundHalfEven(v), std::nearbyint(v)) << v;
  EXPECT_TRUE(std::signbit(RoundHalfEven(-0.4)));
  EXPECT_TRUE(std::isnan(RoundHalfEven(std::nan(""))));
}

TEST(Round, ValuesThatDoNotFitThrowInsteadOfWrapping) {
  EXPECT_EQ(Round(2147483647.4), 2147483647);
  EXPECT_EQ(Round(-2147483648.0), std::numeric_limits<std::int32_t>::min());
  EXPECT_THROW(Round(2147483647.5), NumericOverflow);  // halves to even: 2147483648
  EXPECT_EQ(Round(2147483646.5), 2147483646);
  EXPECT_EQ(Round(-2147483648.5), std::numeric_limits<std::int32_t>::min());  // halves to even
  EXPECT_THROW(Round(-2147483649.5), NumericOverflow);
  EXPECT_THROW(Round(-2147483649.0), NumericOverflow);
  EXPECT_THROW(Round(std::nan("")), NumericOverflow);
  EXPECT_THROW(Round(std::numeric_limits<double>::infinity()), NumericOverflow);
  EXPECT_THROW(Round64(1e19), NumericOverflow);
  EXPECT_EQ(Round64(4294967296.5), 4294967296LL);
}

TEST(CheckedArithmetic, OverflowIsAnError) {
  const std::int32_t big = std::numeric_limits<std::int32_t>::max();
  EXPECT_EQ(CheckedAdd(big - 1, 1), big);
  EXPECT_THROW(CheckedAdd(big, 1), NumericOverflow);
  EXPECT_THROW(CheckedSub(std::numeric_limits<std::int32_t>::min(), 1), NumericOverflow);
  EXPECT_THROW(CheckedMul(65536, 32768), NumericOverflow);
  EXPECT_EQ(CheckedMul(-65536, 32768), std::numeric_limits<std::int32_t>::min());
  EXPECT_THROW(CheckedNeg(std::numeric_limits<std::int32_t>::min()), NumericOverflow);
  EXPECT_THROW(CheckedInt32(std::size_t{1} << 31), NumericOverflow);
  EXPECT_EQ(CheckedInt32(-5LL), -5);
  EXPECT_THROW(CheckedInt32(-3000000000LL), NumericOverflow);
}

}  // namespace
}  // namespace vistarium
