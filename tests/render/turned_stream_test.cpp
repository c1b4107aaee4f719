// Pictures stored turned or mirrored, read row by row: turned upright in
// the compressed domain and streamed, they give the whole decoding turned
// upright within the rounding bound while holding a window; where the turn
// would not be lossless, or the file is damaged, they are decoded whole as
// before and give exactly its pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <filesystem>
#include <string>
#include <vector>

#include "render/lossless_turn.h"
#include "render/picture_file.h"
#include "render/upright.h"
#include "exif_block.h"
#include "../support/scratch_folder.h"

namespace vistarium::render {
namespace {

namespace fs = std::filesystem;

const std::string kSample = std::string(VISTARIUM_SOURCE_DIR) + "/samples/open4/open4_02.jpg";
// A 3264 x 2448 progressive 4:2:0 photograph.
const fs::path kPhoto = fs::path(VISTARIUM_SOURCE_DIR) / ".." / "shared" / "photos" /
                        "picosdeeuropa_by_Aitzol_Berasategi.jpg";

int Channel(PackedColor c, int k) { return static_cast<int>((static_cast<std::uint32_t>(c) >> (8 * k)) & 0xFFu); }

std::vector<std::uint8_t> Tagged(std::vector<std::uint8_t> jpeg, int orientation) {
  const std::vector<std::uint8_t> segment = ExifSegment({orientation});
  jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
  return jpeg;
}

std::vector<std::uint8_t> CopyOf(std::span<const std::uint8_t> span) { return {span.begin(), span.end()}; }

// Every row of the stream, read down the picture in windows of 64 rows,
// against `expected`: the largest and the mean difference of a channel, and
// the most the stream held.
struct Comparison {
  int Worst = 0;
  double Mean = 0.0;
  std::size_t PeakHeld = 0;
};
Comparison CompareRows(PictureRowStream& rows, const DeviceBitmap& expected) {
  Comparison c;
  double sum = 0.0;
  for (int top = 0; top < expected.Height; top += 32) {
    rows.Hold(top, top + 63);
    c.PeakHeld = std::max(c.PeakHeld, rows.HeldBytes());
    for (int y = top; y < std::min(top + 32, expected.Height); ++y) {
      EXPECT_TRUE(rows.Holds(y)) << y;
      const std::uint8_t* p = rows.Row(y);
      for (int x = 0; x < expected.Width; ++x)
        for (int k = 0; k < 3; ++k) {
          const int d = std::abs(p[3 * x + k] - Channel(expected.Pixel(x, y), k));
          c.Worst = std::max(c.Worst, d);
          sum += d;
        }
    }
  }
  c.Mean = sum / (3.0 * expected.Width * expected.Height);
  return c;
}

// The whole upright picture at 3 bytes a pixel: what a stream holding the
// picture whole holds.
std::size_t WholeStore(const DeviceBitmap& picture) {
  return static_cast<std::size_t>(picture.Width) * picture.Height * 3;
}

class TurnedStream : public test_support::ScratchFolder {};

// Each orientation's turn stands the picture upright as the pixels' own
// turning does: streamed, every orientation gives LoadPictureFile's upright
// picture within the bound, holding about a window and the turned JPEG.
TEST_F(TurnedStream, EveryOrientationStreamsTheUprightPictureWithinTheBound) {
  const std::vector<std::uint8_t> stored = Contents(kSample);  // 1024 x 768, whole 16 x 16 blocks
  EXPECT_EQ(UprightTurn(1), JpegTurn::None);
  EXPECT_EQ(UprightTurn(0), JpegTurn::None);
  EXPECT_EQ(UprightTurn(9), JpegTurn::None);
  for (int orientation = 2; orientation <= 8; ++orientation) {
    const std::string file = Put("turned" + std::to_string(orientation) + ".jpg", Tagged(stored, orientation));
    const DeviceBitmap upright = LoadPictureFile(file);
    PictureRowStream rows(file, {upright.Width, upright.Height});
    const Comparison c = CompareRows(rows, upright);
    EXPECT_LE(c.Worst, kTurnedLevelsOff) << orientation;
    EXPECT_LE(c.Mean, kTurnedMeanLevelsOff) << orientation;
    EXPECT_LT(c.PeakHeld, WholeStore(upright) / 3) << orientation;
    EXPECT_EQ(rows.Restarts(), 0);
    // Going back up turns it again; the rows are the same.
    rows.Hold(10, 20);
    EXPECT_EQ(rows.Restarts(), 1);
    PictureRowStream again(file, {upright.Width, upright.Height});
    again.Hold(0, 20);
    for (int y = 10; y <= 20; ++y)
      EXPECT_TRUE(std::equal(rows.Row(y), rows.Row(y) + 3 * upright.Width, again.Row(y))) << orientation << " " << y;
    rows.Close();
    EXPECT_EQ(rows.HeldBytes(), 0u);

    // Switched off, the stream holds the whole decoding turned, exactly.
    PictureRowStream whole(file, {upright.Width, upright.Height}, RowStreamOptions{false});
    const Comparison w = CompareRows(whole, upright);
    EXPECT_EQ(w.Worst, 0) << orientation;
    EXPECT_GE(w.PeakHeld, WholeStore(upright)) << orientation;
  }
}

// A photograph stored a quarter turn anticlockwise (as a phone's sensor
// records it) and tagged "turn a quarter clockwise" (6): turned back in the
// compressed domain its coefficients are the photograph's own, so the
// stream gives exactly the photograph's decoding; against the sideways
// file's decoding turned it stays within the bound.
TEST_F(TurnedStream, APhotographStoredSidewaysStreamsItsOwnPixels) {
  if (!fs::exists(kPhoto)) GTEST_SKIP() << kPhoto << " is missing";
  const std::vector<std::uint8_t> original = Contents(kPhoto.string());
  const std::optional<TurnedJpeg> sideways = TurnJpegLosslessly(original, JpegTurn::QuarterAnticlockwise, false);
  ASSERT_TRUE(sideways);
  const std::string file = Put("sideways.jpg", Tagged(CopyOf(sideways->Bytes()), 6));
  const DeviceBitmap photo = DecodeJpeg(original, "photo");
  EXPECT_EQ(ReadPictureSize(file), (PictureSize{photo.Width, photo.Height}));

  PictureRowStream rows(file, {photo.Width, photo.Height});
  const Comparison own = CompareRows(rows, photo);
  EXPECT_EQ(own.Worst, 0);
  EXPECT_EQ(rows.Restarts(), 0);
  // A window of 64 rows and the turned JPEG (about the file's 1.8 MB):
  // about a tenth of the 24 MB the whole picture takes at 3 bytes a pixel.
  EXPECT_LT(own.PeakHeld, WholeStore(photo) / 5);

  const DeviceBitmap turnedWhole = LoadPictureFile(file);
  PictureRowStream again(file, {photo.Width, photo.Height});
  const Comparison bound = CompareRows(again, turnedWhole);
  EXPECT_LE(bound.Worst, kTurnedLevelsOff);
  EXPECT_LE(bound.Mean, kTurnedMeanLevelsOff);
  std::printf("stream of the turned JPEG against decoding whole and turning: at most %d levels, %.3f on average\n",
              bound.Worst, bound.Mean);

  // The photograph as it is, progressive, tagged 8: turned, it becomes a
  // baseline JPEG that streams.
  const std::string progressive = Put("progressive.jpg", Tagged(original, 8));
  const DeviceBitmap upright = LoadPictureFile(progressive);
  PictureRowStream rows8(progressive, {upright.Width, upright.Height});
  const Comparison p = CompareRows(rows8, upright);
  EXPECT_LE(p.Worst, kTurnedLevelsOff);
  EXPECT_LE(p.Mean, kTurnedMeanLevelsOff);
  EXPECT_LT(p.PeakHeld, WholeStore(upright) / 5);
}

// Sides that are no whole number of 16-pixel blocks: a turn that would have
// to move a partial block to the top or left is refused and the picture is
// decoded whole, giving LoadPictureFile's pixels exactly; the turns that
// keep the partial blocks at the right and bottom are made.
TEST_F(TurnedStream, APartialBlockAtAMovingEdgeFallsBackToTheWholeDecoding) {
  const DeviceBitmap sample = LoadPictureFile(kSample);
  DeviceBitmap cut(208, 141);  // whole blocks across, a partial row of blocks at the bottom
  for (int y = 0; y < cut.Height; ++y)
    for (int x = 0; x < cut.Width; ++x) cut.SetPixel(x, y, sample.Pixel(400 + x, 250 + y));
  const std::vector<std::uint8_t> stored = EncodeJpeg(cut, 90);
  struct Case {
    int Orientation;
    bool Lossless;
  };
  // 6 and 4 move the bottom edge up or left; 8, 2 and 5 move only whole
  // blocks (or, transposing, keep partial blocks at the right or bottom).
  for (const Case c : {Case{6, false}, Case{4, false}, Case{3, false}, Case{8, true}, Case{2, true}, Case{5, true}}) {
    EXPECT_EQ(TurnJpegLosslessly(stored, UprightTurn(c.Orientation), false).has_value(), c.Lossless) << c.Orientation;
    const std::string file = Put("cut" + std::to_string(c.Orientation) + ".jpg", Tagged(stored, c.Orientation));
    const DeviceBitmap upright = LoadPictureFile(file);
    PictureRowStream rows(file, {upright.Width, upright.Height});
    const Comparison r = CompareRows(rows, upright);
    if (c.Lossless) {
      EXPECT_LE(r.Worst, kTurnedLevelsOff) << c.Orientation;
      EXPECT_LT(r.PeakHeld, WholeStore(upright)) << c.Orientation;
    } else {
      EXPECT_EQ(r.Worst, 0) << c.Orientation;
      EXPECT_GE(r.PeakHeld, WholeStore(upright)) << c.Orientation;
    }
  }
}

// A damaged sideways file is not turned into a picture with grey blocks:
// it is decoded the ordinary way, which says what is wrong.
TEST_F(TurnedStream, ADamagedSidewaysFileIsReportedAsBefore) {
  std::vector<std::uint8_t> bytes = Tagged(Contents(kSample), 6);
  bytes.resize(bytes.size() * 2 / 3);
  EXPECT_FALSE(TurnJpegLosslessly(bytes, JpegTurn::QuarterClockwise, false));
  const std::string file = Put("cut.jpg", bytes);
  PictureRowStream rows(file, {768, 1024});
  try {
    rows.Hold(0, 10);
    ADD_FAILURE() << "a truncated picture was streamed";
  } catch (const PictureFileError& e) {
    EXPECT_EQ(e.Problem(), PictureProblem::Truncated);
  }
  // The turn keeps the markers when asked (the EXIF with its orientation).
  const std::vector<std::uint8_t> tagged = Tagged(Contents(kSample), 3);
  const std::optional<TurnedJpeg> kept = TurnJpegLosslessly(tagged, JpegTurn::HalfTurn, true);
  ASSERT_TRUE(kept);
  const std::string keptFile = Put("kept.jpg", CopyOf(kept->Bytes()));
  const std::optional<TurnedJpeg> dropped = TurnJpegLosslessly(tagged, JpegTurn::HalfTurn, false);
  ASSERT_TRUE(dropped);
  const std::string droppedFile = Put("dropped.jpg", CopyOf(dropped->Bytes()));
  // Kept, the tag turns the turned picture back: it reads as stored.
  const DeviceBitmap asStored = LoadPictureFile(kSample), back = LoadPictureFile(keptFile);
  ASSERT_EQ(back.Width, asStored.Width);
  int worst = 0;
  for (std::size_t k = 0; k < back.Pixels.size(); ++k)
    for (int ch = 0; ch < 3; ++ch) worst = std::max(worst, std::abs(Channel(back.Pixels[k], ch) - Channel(asStored.Pixels[k], ch)));
  EXPECT_LE(worst, kTurnedLevelsOff);
  EXPECT_EQ(ReadPictureSize(droppedFile), (PictureSize{1024, 768}));
  EXPECT_LT(Contents(droppedFile).size(), Contents(keptFile).size());
}

}  // namespace
}  // namespace vistarium::render
