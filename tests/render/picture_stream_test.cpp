// The decodings beside the whole one, on a picture of the bundled samples
// (rendered from a photograph): reduced by the decoder's scaling, its luma
// alone, a window of rows; and a JPEG written band by band.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "../support/scratch_folder.h"
#include "render/picture_file.h"

namespace vistarium::render {
namespace {

const std::string kPicture = std::string(VISTARIUM_SOURCE_DIR) + "/samples/open4/open4_02.jpg";

int Channel(PackedColor c, int k) { return static_cast<int>((static_cast<std::uint32_t>(c) >> (8 * k)) & 0xFFu); }

TEST(ReducedDecoding, EachPixelIsAboutTheMeanOfItsBlock) {
  const DeviceBitmap full = LoadPictureFile(kPicture);
  for (const int factor : {2, 4, 8}) {
    const ReducedPicture reduced = LoadReducedPicture(kPicture, factor);
    ASSERT_EQ(reduced.Factor, factor);
    ASSERT_EQ(reduced.Picture.Width, (full.Width + factor - 1) / factor);
    ASSERT_EQ(reduced.Picture.Height, (full.Height + factor - 1) / factor);
    double sum = 0.0;
    int worst = 0;
    for (int r = 0; r < reduced.Picture.Height; ++r)
      for (int c = 0; c < reduced.Picture.Width; ++c)
        for (int k = 0; k < 3; ++k) {
          int total = 0, n = 0;
          for (int y = r * factor; y < std::min(full.Height, (r + 1) * factor); ++y)
            for (int x = c * factor; x < std::min(full.Width, (c + 1) * factor); ++x, ++n)
              total += Channel(full.Pixel(x, y), k);
          const int d = std::abs(Channel(reduced.Picture.Pixel(c, r), k) - (total + n / 2) / n);
          sum += d;
          worst = std::max(worst, d);
        }
    const double mean = sum / (3.0 * reduced.Picture.Width * reduced.Picture.Height);
    EXPECT_LT(mean, 1.5) << factor;
    EXPECT_LE(worst, 40) << factor;
  }
  EXPECT_THROW(LoadReducedPicture(kPicture, 3), std::invalid_argument);
}

TEST(GreyDecoding, IsTheLumaOfTheColoursWithinTwoLevels) {
  const DeviceBitmap full = LoadPictureFile(kPicture);
  const GreyPictureData grey = LoadGreyPicture(kPicture);
  ASSERT_EQ(grey.Width, full.Width);
  ASSERT_EQ(grey.Height, full.Height);
  int worst = 0;
  for (std::size_t k = 0; k < grey.Values.size(); ++k) {
    const PackedColor c = full.Pixels[k];
    const int luma = (77 * Channel(c, 0) + 150 * Channel(c, 1) + 29 * Channel(c, 2) + 128) >> 8;
    worst = std::max(worst, std::abs(luma - grey.Values[k]));
  }
  EXPECT_LE(worst, 2);
}

// Rows read through a window are the rows of the whole decoding, also after
// going back up (which decodes again from the top), and only the window is held.
TEST(RowStream, GivesTheRowsOfTheWholeDecodingHoldingOnlyAWindow) {
  const DeviceBitmap full = LoadPictureFile(kPicture);
  PictureRowStream rows(kPicture, {full.Width, full.Height});
  const auto same = [&](int y) {
    const std::uint8_t* p = rows.Row(y);
    for (int x = 0; x < full.Width; ++x)
      for (int k = 0; k < 3; ++k)
        if (p[3 * x + k] != Channel(full.Pixel(x, y), k)) return false;
    return true;
  };
  for (const auto& [first, last] : {std::pair{0, 40}, {30, 90}, {200, 230}, {full.Height - 20, full.Height + 5}}) {
    rows.Hold(first, last);
    for (int y = first; y <= std::min(last, full.Height - 1); ++y) {
      ASSERT_TRUE(rows.Holds(y)) << y;
      ASSERT_TRUE(same(y)) << y;
    }
    EXPECT_FALSE(rows.Holds(first - 1));
  }
  EXPECT_EQ(rows.Restarts(), 0);
  EXPECT_LT(rows.HeldBytes(), full.Pixels.size());  // less than a quarter of the whole picture's store
  rows.Hold(100, 110);
  EXPECT_EQ(rows.Restarts(), 1);
  for (int y = 100; y <= 110; ++y) EXPECT_TRUE(same(y)) << y;
  // The offsets into one store give the same rows.
  EXPECT_EQ(rows.Base() + rows.RowOffset(105), rows.Row(105));
  rows.Close();
  EXPECT_EQ(rows.HeldBytes(), 0u);

  PictureRowStream wrong(kPicture, {full.Width + 1, full.Height});
  EXPECT_THROW(wrong.Hold(0, 0), std::runtime_error);
}

class JpegBands : public test_support::ScratchFolder {};

// Written band by band, the file is the one the whole picture's encoding
// gives; without Commit nothing is left behind.
TEST_F(JpegBands, WrittenBandByBandItIsTheWholeEncodingAndTheTail) {
  const DeviceBitmap full = LoadPictureFile(kPicture);
  std::vector<std::uint8_t> rgb;
  for (const PackedColor c : full.Pixels)
    for (int k = 0; k < 3; ++k) rgb.push_back(static_cast<std::uint8_t>(Channel(c, k)));
  const std::string path = PathOf("bands.jpg");
  {
    JpegFileWriter writer(path, full.Width, full.Height);
    for (int y = 0; y < full.Height; y += 50)
      writer.WriteRows(rgb.data() + 3 * static_cast<std::size_t>(full.Width) * y, std::min(50, full.Height - y));
    writer.Commit(std::vector<std::uint8_t>{'e', 'n', 'd'});
  }
  std::vector<std::uint8_t> expected = EncodeJpeg(full);
  expected.insert(expected.end(), {'e', 'n', 'd'});
  EXPECT_TRUE(Contents(path) == expected);
  {
    JpegFileWriter abandoned(PathOf("abandoned.jpg"), full.Width, full.Height);
    abandoned.WriteRows(rgb.data(), 10);
    EXPECT_THROW(abandoned.Commit(), std::logic_error);
  }
  EXPECT_EQ(Listing(), std::set<std::string>{"bands.jpg"});
  EXPECT_THROW(JpegFileWriter(PathOf("x.jpg"), 70000, 10), PictureFileError);
}

}  // namespace
}  // namespace vistarium::render
