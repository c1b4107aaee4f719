#include "render/fill_rows.h"

#include <gtest/gtest.h>

namespace vistarium::render::rows {
namespace {

// Pictures of one flat colour each, 4 x 4 pixels.
std::vector<DeviceBitmap> FlatPictures(std::initializer_list<PackedColor> colours) {
  std::vector<DeviceBitmap> pictures;
  for (PackedColor c : colours) {
    DeviceBitmap b(4, 4);
    std::fill(b.Pixels.begin(), b.Pixels.end(), c);
    pictures.push_back(std::move(b));
  }
  return pictures;
}

RunState RowState(int count, int width) {
  RunState rs;
  rs.PictureSet.Count = count;
  rs.Projection.PictureSize = {4, 4};
  rs.Projection.CircleLength = width;
  rs.Panorama.Width = width;
  rs.Panorama.Height = 1;
  rs.Panorama.Pixels.assign(static_cast<std::size_t>(width), 0u);
  return rs;
}

// A mapping under which picture i covers the columns [from[i], to[i]]
// (cyclic when from > to) and nothing else.
struct RunMapper {
  std::vector<int> from, to;
  TRealPoint operator()(int i, int x, int) const {
    const int s = from[static_cast<std::size_t>(i)], e = to[static_cast<std::size_t>(i)];
    const bool in = s <= e ? (s <= x && x <= e) : (x >= s || x <= e);
    return in ? TRealPoint{2.0, 2.0} : TRealPoint{-1.0, -1.0};
  }
};

std::uint32_t At(const RunState& rs, int x) { return rs.Panorama.Pixels[static_cast<std::size_t>(x)]; }
int RedOf(std::uint32_t packed) { return static_cast<int>(packed & 0xFF); }
int BlueOf(std::uint32_t packed) { return static_cast<int>((packed >> 16) & 0xFF); }

TEST(FillPlainRow, LinearCrossFadeAcrossTenColumns) {
  RunState rs = RowState(2, 200);
  rs.Layout.SpanLeft = {0, 100};
  rs.Layout.SpanRight = {109, 199};
  const auto pictures = FlatPictures({0x0000FF, 0xFF0000});  // red, then blue
  RowWork wk(2, 200);
  FillPlainRow(rs, pictures, 0, wk, RunMapper{{0, 100}, {109, 199}});
  EXPECT_EQ(wk.Overlap[1], 10);
  EXPECT_EQ(At(rs, 50), 0x0000FFu);  // one picture: its sample unchanged
  // Column 100: the right picture weighs 0.1, the left 0.9.
  EXPECT_EQ(BlueOf(At(rs, 100)), 26);  // 25.5 rounds to even
  EXPECT_EQ(RedOf(At(rs, 100)), 230);  // 229.5 rounds to even
  EXPECT_EQ(BlueOf(At(rs, 104)), Round(0.5 * 255));
  EXPECT_EQ(At(rs, 109), 0xFF0000u);  // weight 1 at the left picture's last column
  EXPECT_EQ(At(rs, 150), 0xFF0000u);
}

TEST(FillPlainRow, UncoveredColumnsAreBlackAndOnlyTheTopRunBlends) {
  RunState rs = RowState(3, 100);
  rs.Layout.SpanLeft = {0, 40, 60};
  rs.Layout.SpanRight = {30, 70, 99};
  rs.Panorama.Pixels.assign(100, 0x123456u);  // whatever was there is overwritten
  const auto pictures = FlatPictures({0x0000FF, 0x00FF00, 0xFF0000});
  RowWork wk(3, 100);
  FillPlainRow(rs, pictures, 0, wk, RunMapper{{0, 40, 60}, {30, 70, 99}});
  EXPECT_EQ(At(rs, 35), 0u);  // between pictures 0 and 1: no cover, black
  EXPECT_EQ(At(rs, 20), 0x0000FFu);
  // A picture that reaches no column of the row takes part in nothing.
  RunState rs2 = RowState(2, 50);
  rs2.Layout.SpanLeft = {0, 20};
  rs2.Layout.SpanRight = {30, 49};
  RowWork wk2(2, 50);
  FillPlainRow(rs2, FlatPictures({0x0000FF, 0xFF0000}), 0, wk2, RunMapper{{0, 60}, {30, 61}});
  EXPECT_GT(wk2.First[1], wk2.Last[1]);
  EXPECT_EQ(At(rs2, 25), 0x0000FFu);
  EXPECT_EQ(At(rs2, 40), 0u);
}

TEST(FillCirRow, OverlapAcrossTheSeamWeighsOneThirtyFirst) {
  const int n = 100;
  RunState rs = RowState(2, n);
  // Picture 1 runs from 60 over the seam to 25; picture 0 from 95 to 50.
  rs.Layout.SpanLeftWrapped = {95, 60};
  rs.Layout.SpanRightWrapped = {50, 25};
  const auto pictures = FlatPictures({0x0000FF, 0xFF0000});
  RowWork wk(2, n);
  FillCirRow(rs, pictures, 0, wk, RunMapper{{95, 60}, {50, 25}});
  EXPECT_EQ(wk.First[0], 95);
  EXPECT_EQ(wk.Last[1], 25);
  EXPECT_EQ(wk.Overlap[0], 31);
  // Column 95: picture 0 fades in with 1/31.
  EXPECT_EQ(RedOf(At(rs, 95)), Round(255.0 / 31));
  EXPECT_EQ(BlueOf(At(rs, 95)), Round(255.0 * 30 / 31));
  // Continuous across the seam: columns 99 and 0 are neighbours on the ramp.
  EXPECT_EQ(RedOf(At(rs, 99)), Round(255.0 * 5 / 31));
  EXPECT_EQ(RedOf(At(rs, 0)), Round(255.0 * 6 / 31));
  EXPECT_EQ(At(rs, 25), 0x0000FFu);  // picture 0 takes over completely
  EXPECT_EQ(At(rs, 40), 0x0000FFu);
  EXPECT_EQ(At(rs, 70), 0xFF0000u);
  EXPECT_EQ(At(rs, 55), 0u);  // no cover: stays black
}

TEST(FillCirRow, ColumnsThatEveryPictureCoversAreBlended) {
  const int n = 90;
  RunState rs = RowState(3, n);
  // Three pictures that each reach two thirds of the circle: every column is
  // covered by at least two, some by all three.
  rs.Layout.SpanLeftWrapped = {0, 30, 60};
  rs.Layout.SpanRightWrapped = {59, 89, 29};
  rs.Panorama.Pixels.assign(static_cast<std::size_t>(n), 0x123456u);
  const auto pictures = FlatPictures({0x0000FF, 0x00FF00, 0xFF0000});
  RowWork wk(3, n);
  FillCirRow(rs, pictures, 0, wk, RunMapper{{0, 30, 60}, {70, 89, 40}});
  for (int x = 0; x < n; ++x) EXPECT_NE(At(rs, x), 0x123456u) << "column " << x << " left unwritten";
  // Column 35 is covered by all three; picture 1's run began last (at 30).
  const std::uint32_t p = At(rs, 35);
  EXPECT_GT((p >> 8) & 0xFF, 0u);
}

TEST(FillCirRow, SingleColumnRunAndGapAfterTheRun) {
  const int n = 40;
  RunState rs = RowState(1, n);
  rs.Layout.SpanLeftWrapped = {10};
  rs.Layout.SpanRightWrapped = {10};
  RowWork wk(1, n);
  FillCirRow(rs, FlatPictures({0x00FF00}), 0, wk, RunMapper{{10}, {10}});
  EXPECT_EQ(wk.First[0], 10);
  EXPECT_EQ(wk.Last[0], 10);
  EXPECT_EQ(At(rs, 10), 0x00FF00u);
  EXPECT_EQ(At(rs, 11), 0u);
}

}  // namespace
}  // namespace vistarium::render::rows
