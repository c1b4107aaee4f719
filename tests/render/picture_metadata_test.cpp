// Pictures that a camera stored turned, and what their EXIF says about the
// lens. The EXIF blocks are made here by hand, as the standard lays them
// out, so the reader is checked against the format rather than against a
// writer of the same library.
#include "render/picture_metadata.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "geom/point.h"
#include "render/picture_file.h"
#include "render/upright.h"
#include "exif_block.h"
#include "../support/scratch_folder.h"

namespace vistarium::render {
namespace {

namespace fs = std::filesystem;

const std::string kSample = std::string(VISTARIUM_SOURCE_DIR) + "/samples/open4/open4_02.jpg";

// A picture whose every pixel tells where it is: red = x, green = y.
DeviceBitmap Positions(int width, int height) {
  DeviceBitmap b(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) b.SetPixel(x, y, static_cast<PackedColor>(x | (y << 8)));
  return b;
}

TEST(Upright, EveryOrientationPutsTheStoredCornersWhereTheyBelong) {
  const DeviceBitmap stored = Positions(3, 2);  // stored pixel (x, y) holds x | y << 8
  // Where the stored top-left and top-right pixels end up, upright.
  struct Case {
    int Orientation, W, H;
    TPoint TopLeft, TopRight;
  };
  const Case cases[] = {
      {1, 3, 2, {0, 0}, {2, 0}}, {2, 3, 2, {2, 0}, {0, 0}}, {3, 3, 2, {2, 1}, {0, 1}}, {4, 3, 2, {0, 1}, {2, 1}},
      {5, 2, 3, {0, 0}, {0, 2}}, {6, 2, 3, {1, 0}, {1, 2}}, {7, 2, 3, {1, 2}, {1, 0}}, {8, 2, 3, {0, 2}, {0, 0}},
  };
  for (const Case& c : cases) {
    const DeviceBitmap up = UprightPicture(stored, c.Orientation);
    ASSERT_EQ(up.Width, c.W) << c.Orientation;
    ASSERT_EQ(up.Height, c.H) << c.Orientation;
    EXPECT_EQ(up.Pixel(c.TopLeft.X, c.TopLeft.Y), 0) << c.Orientation;
    EXPECT_EQ(up.Pixel(c.TopRight.X, c.TopRight.Y), 2) << c.Orientation;
    EXPECT_EQ(OrientationSwapsSides(c.Orientation), c.Orientation >= 5);
  }
  EXPECT_EQ(UprightPicture(stored, 9).Pixels, stored.Pixels);  // unknown: as stored
}

class MetadataFiles : public test_support::ScratchFolder {
protected:
  std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) { return Put(name, bytes); }
};

// A phone held upright stores its picture lying on its side and says
// "turn a quarter clockwise" (orientation 6): it loads, and reports its
// size, standing upright.
TEST_F(MetadataFiles, AnOrientationSixPictureLoadsUpright) {
  // The upright picture: a bright top-left block on a dark ground, 64 x 96.
  DeviceBitmap upright(64, 96);
  for (int y = 0; y < 96; ++y)
    for (int x = 0; x < 64; ++x) upright.SetPixel(x, y, x < 16 && y < 16 ? 0x00F0F0F0 : 0x00202020);
  // Stored a quarter turn anticlockwise, as the phone's sensor saw it.
  const DeviceBitmap sideways = UprightPicture(upright, 8);
  ASSERT_EQ(sideways.Width, 96);
  const std::string file = Write("phone.jpg", JpegWithExif(sideways, {6}));
  EXPECT_EQ(ReadPictureMetadataFile(file).Orientation, 6);
  EXPECT_EQ(ReadPictureSize(file), (PictureSize{64, 96}));
  const DeviceBitmap loaded = LoadPictureFile(file);
  ASSERT_EQ(loaded.Width, 64);
  ASSERT_EQ(loaded.Height, 96);
  EXPECT_GT(loaded.Pixel(4, 4) & 0xFF, 200);      // the bright block is top left
  EXPECT_LT(loaded.Pixel(59, 4) & 0xFF, 60);      // top right is dark
  EXPECT_LT(loaded.Pixel(4, 91) & 0xFF, 60);      // bottom left is dark
  // Without the tag the same bytes load as stored.
  const std::string plain = Write("plain.jpg", EncodeJpeg(sideways, 95));
  EXPECT_EQ(LoadPictureFile(plain).Width, 96);
}

// Every decoding of a picture stored turned or mirrored gives the picture
// its stored decoding gives, turned upright: whole, reduced by the decoder
// (where, along an axis the turning reverses, the partial block comes
// first), its luma alone, row by row (within a bound where the rows come
// from a lossless turn), and its size. The picture's sides are
// no multiple of the decoder's blocks.
TEST_F(MetadataFiles, EveryDecodingOfATurnedPictureIsItsStoredDecodingTurnedUpright) {
  const DeviceBitmap sample = LoadPictureFile(kSample);
  DeviceBitmap cut(203, 141);
  for (int y = 0; y < cut.Height; ++y)
    for (int x = 0; x < cut.Width; ++x) cut.SetPixel(x, y, sample.Pixel(300 + x, 200 + y));
  const std::vector<std::uint8_t> plain = EncodeJpeg(cut, 90);
  const std::string plainFile = Write("plain.jpg", plain);
  const DeviceBitmap whole = LoadPictureFile(plainFile);
  const GreyPictureData grey = LoadGreyPicture(plainFile);
  // Where each stored pixel lies: x | y << 16.
  DeviceBitmap where(whole.Width, whole.Height);
  for (int y = 0; y < where.Height; ++y)
    for (int x = 0; x < where.Width; ++x) where.SetPixel(x, y, x | (y << 16));
  const auto channel = [](PackedColor c, int k) { return (static_cast<std::uint32_t>(c) >> (8 * k)) & 0xFFu; };
  for (int orientation = 1; orientation <= 8; ++orientation) {
    std::vector<std::uint8_t> bytes = plain;
    const std::vector<std::uint8_t> segment = ExifSegment({orientation});
    bytes.insert(bytes.begin() + 2, segment.begin(), segment.end());
    const std::string file = Write("turned" + std::to_string(orientation) + ".jpg", bytes);
    const DeviceBitmap up = UprightPicture(whole, orientation);
    const DeviceBitmap from = UprightPicture(where, orientation);
    EXPECT_EQ(ReadPictureSize(file), (PictureSize{up.Width, up.Height})) << orientation;

    const DeviceBitmap loaded = LoadPictureFile(file);
    ASSERT_EQ(loaded.Width, up.Width) << orientation;
    EXPECT_TRUE(loaded.Pixels == up.Pixels) << orientation;

    const GreyPictureData luma = LoadGreyPicture(file);
    ASSERT_EQ(luma.Width, up.Width) << orientation;
    ASSERT_EQ(luma.Height, up.Height) << orientation;
    EXPECT_TRUE(luma.Values == UprightValues(grey.Values, grey.Width, grey.Height, orientation)) << orientation;

    for (const int factor : {2, 8}) {
      const ReducedPicture stored = LoadReducedPicture(plainFile, factor);
      const ReducedPicture turned = LoadReducedPicture(file, factor);
      const DeviceBitmap expected = UprightPicture(stored.Picture, orientation);
      ASSERT_EQ(turned.Picture.Width, expected.Width) << orientation << " " << factor;
      EXPECT_TRUE(turned.Picture.Pixels == expected.Pixels) << orientation << " " << factor;
      // A full-size upright position lies in the reduced pixel that covers
      // its stored position.
      for (const TPoint p : {TPoint{0, 0}, TPoint{up.Width - 1, 0}, TPoint{0, up.Height - 1},
                             TPoint{up.Width - 1, up.Height - 1}, TPoint{up.Width / 2 + 3, up.Height / 3}}) {
        const PackedColor s = from.Pixel(p.X, p.Y);
        EXPECT_EQ(turned.Picture.Pixel((p.X + turned.OffsetX) / factor, (p.Y + turned.OffsetY) / factor),
                  stored.Picture.Pixel((s & 0xFFFF) / factor, (s >> 16) / factor))
            << orientation << " " << factor << " at " << p.X << ", " << p.Y;
      }
    }

    // Row by row: exactly, or, where the turn is lossless in the compressed
    // domain (here only 5, the others would move partial blocks), within
    // the rounding of its decoding.
    PictureRowStream rows(file, {up.Width, up.Height});
    rows.Hold(0, up.Height - 1);
    int worst = 0;
    for (int y = 0; y < up.Height; ++y) {
      const std::uint8_t* row = rows.Row(y);
      for (int x = 0; x < up.Width; ++x)
        for (int k = 0; k < 3; ++k)
          worst = std::max(worst, std::abs(static_cast<int>(row[3 * x + k]) - static_cast<int>(channel(up.Pixel(x, y), k))));
    }
    EXPECT_LE(worst, orientation == 5 ? kTurnedLevelsOff : 0) << orientation;
  }
}

// A named pipe given as a picture holds no metadata, and reading it does
// not wait for a writer.
TEST_F(MetadataFiles, ANamedPipeHoldsNoMetadataAndIsNotWaitedFor) {
  const std::string pipe = PathOf("pipe.jpg");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const PictureMetadata m = ReadPictureMetadataFile(pipe);
  EXPECT_EQ(m.Orientation, 1);
  EXPECT_FALSE(m.FocalLength);
  EXPECT_FALSE(m.FocalLength35mm);
}

TEST_F(MetadataFiles, TheFocalLengthBecomesThisProgramsConvention) {
  const DeviceBitmap picture(400, 300);  // 4:3
  // A phone's 26 mm equivalent on the diagonal: 27.04 mm on the longer side.
  PictureMetadata m = ReadPictureMetadataFile(Write("phone.jpg", JpegWithExif(picture, {1, 5.1, 26})));
  ASSERT_TRUE(m.FocalLength35mm);
  EXPECT_NEAR(*m.FocalLength, 5.1, 1e-9);
  EXPECT_NEAR(FocalLengthFromMetadata(m, 400, 300), 27.04, 0.01);
  // 3:2 pictures: the two conventions agree.
  EXPECT_NEAR(FocalLengthFromMetadata(m, 300, 200), 26.0, 0.01);
  // A lens focal length and the sensor's resolution (a 5.23 mm wide sensor
  // recorded at 640 pixels): 11.3 mm x 36 / 5.23.
  m = ReadPictureMetadataFile(Write("compact.jpg", JpegWithExif(DeviceBitmap(640, 480), {1, 11.3, 0, 3106.796, 3096.774})));
  ASSERT_TRUE(m.FocalPlaneXPerMm);
  EXPECT_NEAR(FocalLengthFromMetadata(m, 640, 480), 11.3 * 36.0 / (640.0 / (3106.796 / 25.4)), 0.05);
  // The same resolution left on a picture reduced to 160 pixels makes a
  // sensor of 1.3 mm, which no camera has: no focal length.
  m.RecordedWidth = 160;
  m.RecordedHeight = 120;
  EXPECT_EQ(FocalLengthFromMetadata(m, 160, 120), 0.0);
  // No EXIF at all.
  EXPECT_FALSE(ReadPictureMetadataFile(Write("none.jpg", EncodeJpeg(picture, 90))).FocalLength);
  EXPECT_EQ(ReadPictureMetadataFile((folder_ / "missing.jpg").string()).Orientation, 1);
}

}  // namespace
}  // namespace vistarium::render
