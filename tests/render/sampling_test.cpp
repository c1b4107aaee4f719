#include "render/sampling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace vistarium::render {
namespace {

// A 4 x 3 picture whose channels differ per pixel: blue = 10 + col, green =
// 20 * row, red = 21 * col (so horizontal neighbours 0 and 1 differ by 21).
PackedColor TestColour(int col, int row) {
  const int blue = 10 + col, green = 20 * row, red = 21 * col;
  return (blue << 16) | (green << 8) | red;
}

DeviceBitmap TestPicture() {
  DeviceBitmap b(4, 3);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) b.SetPixel(c, r, TestColour(c, r));
  return b;
}

Bitmap32 AsBitmap32(const DeviceBitmap& d) {
  Bitmap32 b;
  b.SetSize(d.Width, d.Height);
  for (int r = 0; r < d.Height; ++r)
    for (int c = 0; c < d.Width; ++c) b.SetPixel(c, r, ArgbFromPacked(d.Pixel(c, r)) & 0x00FFFFFFu);  // alpha 0
  return b;
}

TColMatrix AsMatrix(const DeviceBitmap& d) {
  TColMatrix m(d.Width, d.Height);
  for (int r = 0; r < d.Height; ++r)
    for (int c = 0; c < d.Width; ++c) {
      const ColorTriple t = ColorToTriple(d.Pixel(c, r));
      m.At(c, r, 0) = t.Blue;
      m.At(c, r, 1) = t.Green;
      m.At(c, r, 2) = t.Red;
    }
  return m;
}

// Every check runs over the three sources, which must agree.
class Sampling : public ::testing::Test {
protected:
  DeviceBitmap canvas = TestPicture();
  Bitmap32 bitmap = AsBitmap32(canvas);
  TColMatrix matrix = AsMatrix(canvas);
  TPoint size{4, 3};

  ColorTriple Sample(TRealPoint p) {
    const ColorTriple a = SampleCanvas(size, canvas, p);
    EXPECT_EQ(a, SampleBitmap32(size, bitmap, p)) << "at " << p.X << ", " << p.Y;
    EXPECT_EQ(a, SampleColMatrix(size, matrix, p)) << "at " << p.X << ", " << p.Y;
    return a;
  }
};

TEST_F(Sampling, PixelCentresReproduceThePixel) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_EQ(Sample({c + 0.5, r + 0.5}), ColorToTriple(TestColour(c, r)));
}

TEST_F(Sampling, HalfwayBetweenCentresIsTheRoundedMean) {
  // Red 0 and 21: 10.5 rounds to 10; blue 10 and 11: 10.5 -> 10.
  const ColorTriple t = Sample({1.0, 1.5});
  EXPECT_EQ(t.Red, 10);
  EXPECT_EQ(t.Blue, 10);
  // Red 21 and 42: 31.5 rounds to 32; blue 11 and 12: 11.5 -> 12.
  const ColorTriple u = Sample({2.0, 0.5});
  EXPECT_EQ(u.Red, 32);
  EXPECT_EQ(u.Blue, 12);
  // Vertically: green 20 and 40 -> 30.
  EXPECT_EQ(Sample({3.5, 2.0}).Green, 30);
}

TEST_F(Sampling, TenAndTwentyOneGiveSixteen) {
  DeviceBitmap two(2, 1);
  two.SetPixel(0, 0, 10);
  two.SetPixel(1, 0, 21);
  EXPECT_EQ(SampleCanvas({2, 1}, two, {1.0, 0.5}).Red, 16);
}

TEST_F(Sampling, BorderExtendsTheOutermostPixelsByHalfAPixel) {
  EXPECT_EQ(Sample({0.2, 1.5}), ColorToTriple(TestColour(0, 1)));
  EXPECT_EQ(Sample({-0.3, 1.5}), ColorToTriple(TestColour(0, 1)));
  EXPECT_EQ(Sample({3.9, 2.8}), ColorToTriple(TestColour(3, 2)));
  EXPECT_EQ(Sample({-0.8, 1.5}), ColorTriple{});
  EXPECT_EQ(Sample({4.6, 1.5}), ColorTriple{});
  EXPECT_EQ(Sample({-0.5, 1.5}), ColorTriple{});  // the only inside neighbour has weight 0
  EXPECT_EQ(Sample({1.5, -7.0}), ColorTriple{});
}

TEST_F(Sampling, UnreadablePixelsDropOutLikeOutsideOnes) {
  canvas.SetPixel(1, 1, kUnreadablePixel);
  // Between (0,1) and (1,1): only (0,1) is left.
  EXPECT_EQ(SampleCanvas(size, canvas, {1.0, 1.5}), ColorToTriple(TestColour(0, 1)));
  EXPECT_EQ(SampleCanvas(size, canvas, {1.5, 1.5}), ColorTriple{});
}

TEST_F(Sampling, TheSizeArgumentBoundsTheNeighbours) {
  // A smaller size than the source makes column 3 count as outside.
  EXPECT_EQ(SampleCanvas({3, 3}, canvas, {3.0, 0.5}), ColorToTriple(TestColour(2, 0)));
}

TEST(SampleCanvasFast, SameResultAsThePlainSampleEverywhere) {
  std::mt19937 gen(5);
  DeviceBitmap pic(37, 23);
  std::uniform_int_distribution<int> colour(0, 0xFFFFFF);
  for (auto& p : pic.Pixels) p = colour(gen);
  pic.SetPixel(10, 10, kUnreadablePixel);
  std::uniform_real_distribution<double> ux(-2.0, 39.0), uy(-2.0, 25.0);
  for (int i = 0; i < 100000; ++i) {
    TRealPoint p{ux(gen), uy(gen)};
    if (i % 3 == 0) p.X = std::floor(p.X) + 0.5;  // exact pixel centres and halves
    if (i % 5 == 0) p.Y = std::floor(p.Y);
    ASSERT_EQ(SampleCanvasFast({37, 23}, pic, p), SampleCanvas({37, 23}, pic, p)) << p.X << ", " << p.Y;
  }
}

TEST(ColorToTriple, SplitsThePackedColour) {
  EXPECT_EQ(ColorToTriple(0x00123456), (ColorTriple{0x12, 0x34, 0x56}));
  EXPECT_THROW(ColorToTriple(0x01000000), std::out_of_range);
  EXPECT_THROW(ColorToTriple(-1), std::out_of_range);
}

TEST(SampleBitmap32, ExchangesRedAndBlueAndIgnoresAlpha) {
  Bitmap32 b;
  b.SetSize(1, 1);
  b.SetPixel(0, 0, 0xFF123456u);
  EXPECT_EQ(SampleBitmap32({1, 1}, b, {0.5, 0.5}), (ColorTriple{0x56, 0x34, 0x12}));
  b.SetPixel(0, 0, 0x00123456u);
  EXPECT_EQ(SampleBitmap32({1, 1}, b, {0.5, 0.5}), (ColorTriple{0x56, 0x34, 0x12}));
}

TEST(Bitmap32, SameSizeKeepsPixelsNewSizeClears) {
  Bitmap32 b;
  b.SetSize(2, 2);
  b.SetPixel(1, 1, 0xFFABCDEFu);
  b.SetSize(2, 2);
  EXPECT_EQ(b.Pixel(1, 1), 0xFFABCDEFu);
  b.SetSize(3, 2);
  EXPECT_EQ(b.Pixel(1, 1), 0xFF000000u);
  EXPECT_THROW(b.SetSize(-1, 2), NumericOverflow);
}

}  // namespace
}  // namespace vistarium::render
