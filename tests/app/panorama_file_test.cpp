#include "app/panorama_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "render/picture_file.h"
#include "../support/scratch_folder.h"

namespace {

using namespace vistarium;
using namespace vistarium::app;
using render::PictureFileError;
using render::PictureProblem;
namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;

// Projection values of a 360 degree panorama of 5631 pixels to the turn,
// and their trailer written out by hand: fixed point, 10 decimals, right-
// aligned in 20 characters, blanks from position 98 to 128.
constexpr double kAngleStep = 0.0011158205127294594;
constexpr double kPixelsPerRadian = 896.2014845504626;
constexpr double kFocalPixels = 796.4444444444445;
const PanoramaTrailer kKnown{true, kAngleStep, kPixelsPerRadian, kFocalPixels, {}};
const std::string kKnownTrailer =
    " Virtual tour prepared by Vistarium "  // 1..36
    "1"                                     // 37
    "        0.0011158205"                  // 38..57
    "      896.2014845505"                  // 58..77
    "      796.4444444444"                  // 78..97
    "                               ";      // 98..128

// The trailer with characters from 1-based position `at` replaced.
std::string Patched(std::string trailer, std::size_t at, const std::string& text) {
  trailer.replace(at - 1, text.size(), text);
  return trailer;
}

// Within half a unit of the tenth decimal (and the rounding of the reading).
void ExpectSameTo10Decimals(double read, double written) {
  EXPECT_NEAR(read, written, 0.5e-10 + std::abs(written) * 4e-16) << "written " << written;
}

// Red grows to the right, green downwards, blue along the diagonal.
Bitmap32 Gradient(int width, int height) {
  Bitmap32 picture;
  picture.SetSize(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const unsigned r = 255u * static_cast<unsigned>(x) / static_cast<unsigned>(width - 1);
      const unsigned g = 255u * static_cast<unsigned>(y) / static_cast<unsigned>(height - 1);
      const unsigned b = 40u + 160u * static_cast<unsigned>(x + y) / static_cast<unsigned>(width + height - 2);
      picture.SetPixel(x, y, 0xFF000000u | (r << 16) | (g << 8) | b);
    }
  return picture;
}

int ChannelDistance(std::uint32_t a, std::uint32_t b) {
  int largest = 0;
  for (int shift : {0, 8, 16})
    largest = std::max(largest, std::abs(static_cast<int>((a >> shift) & 0xFFu) - static_cast<int>((b >> shift) & 0xFFu)));
  return largest;
}

template <typename Error>
Error ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error was thrown";
  if constexpr (std::is_same_v<Error, PanoramaFileError>)
    return PanoramaFileError(PanoramaFileProblem::CannotRead, "", "");
  else
    return PictureFileError(PictureProblem::Corrupt, "", "none");
}

// ---------------------------------------------------------------------------
// The full-size view's copy

TEST(ShowPanorama, ExchangesRedAndBlueAndSetsAlpha) {
  TPanorama panorama{1, 1, {0x00123456u}};
  Bitmap32 view;
  ShowPanorama(panorama, view);
  ASSERT_EQ(view.Width, 1);
  ASSERT_EQ(view.Height, 1);
  EXPECT_EQ(view.Pixel(0, 0), 0xFF563412u);
}

TEST(ShowPanorama, ColumnsOfThePanoramaBecomeColumnsOfTheBitmap) {
  // 3 columns of 2 rows, held column after column: pixel (x, y) at x * 2 + y.
  TPanorama panorama{3, 2, {}};
  for (std::uint32_t i = 0; i < 6; ++i) panorama.Pixels.push_back(0x00010203u * (i + 1));
  Bitmap32 view;
  view.SetSize(7, 7);
  ShowPanorama(panorama, view);
  ASSERT_EQ(view.Width, 3);
  ASSERT_EQ(view.Height, 2);
  ASSERT_EQ(view.Pixels.size(), 6u);
  for (int x = 0; x < 3; ++x)
    for (int y = 0; y < 2; ++y) {
      const std::uint32_t k = static_cast<std::uint32_t>(x * 2 + y + 1);
      // packed 0x00 (1k) (2k) (3k) as blue, green, red
      EXPECT_EQ(view.Pixel(x, y), 0xFF000000u | (3 * k) << 16 | (2 * k) << 8 | k) << x << "," << y;
    }
}

TEST(ShowPanorama, RefusesAPixelStoreThatDoesNotMatchTheSize) {
  Bitmap32 view;
  EXPECT_THROW(ShowPanorama(TPanorama{3, 2, std::vector<std::uint32_t>(5)}, view), std::invalid_argument);
  EXPECT_THROW(ShowPanorama(TPanorama{3, 2, std::vector<std::uint32_t>(7)}, view), std::invalid_argument);
}

TEST(ShowPicture, CopiesAnOpenedPictureConvertedTheSameWay) {
  DeviceBitmap picture(3, 2);
  picture.SetPixel(2, 1, 0x00123456);
  picture.SetPixel(0, 1, 0x00FF0000);
  Bitmap32 view;
  ShowPicture(picture, view);
  ASSERT_EQ(view.Width, 3);
  ASSERT_EQ(view.Height, 2);
  EXPECT_EQ(view.Pixel(2, 1), 0xFF563412u);
  EXPECT_EQ(view.Pixel(0, 1), 0xFF0000FFu);
  EXPECT_EQ(view.Pixel(1, 0), 0xFF000000u);
}

// ---------------------------------------------------------------------------
// Writing the trailer

TEST(TrailerFormat, KnownValuesGiveTheExactText) {
  ASSERT_EQ(kKnownTrailer.size(), 128u);
  const std::string text = FormatTrailer(kKnown);
  EXPECT_EQ(text, kKnownTrailer);
  EXPECT_EQ(text.substr(36, 1), "1");
  EXPECT_EQ(text.substr(37, 20), "        0.0011158205");

  PanoramaTrailer open = kKnown;
  open.Is360 = false;
  EXPECT_EQ(FormatTrailer(open), Patched(kKnownTrailer, 37, "0"));
}

TEST(TrailerFormat, TakesTheValuesInForceAndTheFlag) {
  TProjectionParameters projection;
  projection.AngleStep = kAngleStep;
  projection.PixelsPerRadian = kPixelsPerRadian;
  projection.FocalPixels = kFocalPixels;
  projection.HalfCircle = 99.0;
  PanoramaTrailer expected = kKnown;
  expected.HorizonRow = 412;
  EXPECT_EQ(TrailerFor(projection, true, 412), expected);
}

TEST(TrailerFormat, NegativeAndFullWidthNumbers) {
  const PanoramaTrailer trailer{false, -2.5, 123456789.5, 0.0, {}};
  const std::string expected =
      " Virtual tour prepared by Vistarium "
      "0"
      "       -2.5000000000"
      "123456789.5000000000"
      "        0.0000000000"
      "                               ";
  EXPECT_EQ(FormatTrailer(trailer), expected);
}

TEST(TrailerFormat, LongNumbersAreWrittenInFullAndTheEndIsCut) {
  const double huge = std::ldexp(1.0, 100);  // 1267650600228229401496703205376, exact in a double
  const PanoramaTrailer trailer{false, huge, kPixelsPerRadian, huge, {}};
  const std::string expected =
      " Virtual tour prepared by Vistarium "          // 1..36
      "0"                                             // 37
      "1267650600228229401496703205376.0000000000"    // 38..79, shifting the rest
      "      896.2014845505"                          // 80..99
      "12676506002282294014967032053";                // 100..128, the rest cut off
  ASSERT_EQ(expected.size(), 128u);
  EXPECT_EQ(FormatTrailer(trailer), expected);

  const std::string largest = FormatTrailer({true, std::numeric_limits<double>::max(), 1.0, 1.0, {}});
  EXPECT_EQ(largest.size(), 128u);
  EXPECT_EQ(largest.substr(0, 40), " Virtual tour prepared by Vistarium 1179");
}

TEST(TrailerFormat, RefusesValuesThatAreNotFinite) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_THROW(FormatTrailer({true, nan, 1.0, 1.0, {}}), std::invalid_argument);
  EXPECT_THROW(FormatTrailer({true, 1.0, -inf, 1.0, {}}), std::invalid_argument);
  EXPECT_THROW(FormatTrailer({true, 1.0, 1.0, inf, {}}), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// Reading the trailer

TEST(TrailerReading, KnownTextIsSound) {
  const TrailerReading reading = ReadTrailer(kKnownTrailer);
  EXPECT_EQ(reading.State, TrailerState::Sound);
  EXPECT_EQ(reading.NumbersRead, 3);
  EXPECT_TRUE(reading.Values.Is360);
  EXPECT_EQ(reading.Values.AngleStep, 0.0011158205);
  EXPECT_EQ(reading.Values.PixelsPerRadian, 896.2014845505);
  EXPECT_EQ(reading.Values.FocalPixels, 796.4444444444);
  EXPECT_FALSE(ReadTrailer(Patched(kKnownTrailer, 37, "0")).Values.Is360);
}

TEST(TrailerReading, RoundTripKeepsTheFlagAndTenDecimals) {
  const PanoramaTrailer cases[] = {
      kKnown,
      {false, 2.0 * 3.141592653589793 / 1234.0, 1234.0 / (2.0 * 3.141592653589793), 3333.333333333333, {}},
      {true, 1e-11, 0.12345678904999, 98765432.123456789, {}},
      {false, -0.25, 123456789.5, 0.0, {}},
  };
  for (const PanoramaTrailer& written : cases) {
    // The last two cannot serve the browser, but their numbers are read.
    const TrailerReading reading = ReadTrailer(FormatTrailer(written));
    ASSERT_EQ(reading.NumbersRead, 3) << FormatTrailer(written);
    EXPECT_EQ(reading.Values.Is360, written.Is360);
    ExpectSameTo10Decimals(reading.Values.AngleStep, written.AngleStep);
    ExpectSameTo10Decimals(reading.Values.PixelsPerRadian, written.PixelsPerRadian);
    ExpectSameTo10Decimals(reading.Values.FocalPixels, written.FocalPixels);
  }
}

TEST(TrailerReading, OnlyTheLast128BytesCount) {
  std::string file = "\xFF\xD8 picture data \xFF\xD9";
  file += kKnownTrailer;
  EXPECT_EQ(ReadTrailer(file).State, TrailerState::Sound);

  // A marker further back than 128 bytes from the end is not seen.
  EXPECT_EQ(ReadTrailer(kKnownTrailer + std::string(100, ' ')).State, TrailerState::None);
}

TEST(TrailerReading, NoMarkerIsNone) {
  const TrailerReading ordinary = ReadTrailer(std::string(128, 'x'));
  EXPECT_EQ(ordinary.State, TrailerState::None);
  EXPECT_EQ(ordinary.NumbersRead, 0);
  // One letter of the marker changed.
  EXPECT_EQ(ReadTrailer(Patched(kKnownTrailer, 30, "v")).State, TrailerState::None);
}

TEST(TrailerReading, ShorterThan128BytesIsNoneEvenWithTheMarker) {
  // The whole trailer but its last blank: marker, flag and numbers complete.
  EXPECT_EQ(ReadTrailer(kKnownTrailer.substr(0, 127)).State, TrailerState::None);
  EXPECT_EQ(ReadTrailer(kKnownTrailer.substr(1, 97)).State, TrailerState::None);
  EXPECT_EQ(ReadTrailer("").State, TrailerState::None);
}

TEST(TrailerReading, MarkerFoundElsewhereIsReadFromWhereItIs) {
  // Trailer text starting 5 bytes into the last 128: R is still the text after the marker.
  const std::string shifted = "abcde" + kKnownTrailer.substr(0, 123);
  const TrailerReading reading = ReadTrailer(shifted);
  EXPECT_EQ(reading.State, TrailerState::Sound);
  EXPECT_EQ(reading.Values.FocalPixels, 796.4444444444);
}

TEST(TrailerReading, AnUnreadableNumberIsDamagedAndKeepsTheValuesBeforeIt) {
  // Second number with letters after it.
  const TrailerReading second = ReadTrailer(Patched(kKnownTrailer, 58, "             12.5abc"));
  EXPECT_EQ(second.State, TrailerState::Damaged);
  EXPECT_EQ(second.NumbersRead, 1);
  EXPECT_TRUE(second.Values.Is360);
  EXPECT_EQ(second.Values.AngleStep, 0.0011158205);

  // First number with a decimal comma.
  const TrailerReading first = ReadTrailer(Patched(kKnownTrailer, 38, "        0,0011158205"));
  EXPECT_EQ(first.State, TrailerState::Damaged);
  EXPECT_EQ(first.NumbersRead, 0);
  EXPECT_TRUE(first.Values.Is360);

  // Third field blank: the trailer ends after the second number.
  const TrailerReading third = ReadTrailer(Patched(kKnownTrailer, 78, std::string(20, ' ')));
  EXPECT_EQ(third.State, TrailerState::Damaged);
  EXPECT_EQ(third.NumbersRead, 2);
  EXPECT_EQ(third.Values.PixelsPerRadian, 896.2014845505);
}

TEST(TrailerReading, WhatCountsAsANumber) {
  const auto read = [](const std::string& field) {
    return ReadTrailer(Patched(kKnownTrailer, 38, field));
  };
  struct Case {
    std::string Field;  // 20 characters at positions 38..57
    bool Readable;
    double Value;
  };
  const Case cases[] = {
      {"                  42", true, 42.0},
      {"               -1.25", true, -1.25},
      {"               +1.25", true, 1.25},
      {"                 .25", true, 0.25},
      {"                  7.", true, 7.0},
      {"              1.5E+2", true, 150.0},
      {"0.5                 ", true, 0.5},
      {"            12.5abc ", false, 0.0},
      {"              1.2.3 ", false, 0.0},
      {"               1 000", false, 0.0},
      {"                   .", false, 0.0},
      {"                  -.", false, 0.0},
      {"                 1e ", false, 0.0},
      {"                 inf", false, 0.0},
      {"                 nan", false, 0.0},
      {"              0x1p-3", false, 0.0},
      {"               1e999", false, 0.0},
      {"          \t      1.0", false, 0.0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.Field.size(), 20u) << c.Field;
    const TrailerReading reading = read(c.Field);
    EXPECT_EQ(reading.NumbersRead, c.Readable ? 3 : 0) << '"' << c.Field << '"';
    if (c.Readable) {
      EXPECT_EQ(reading.Values.AngleStep, c.Value) << '"' << c.Field << '"';
    }
  }
}

TEST(TrailerReading, MarkerWithNothingAfterItIsDamaged) {
  std::string tail(128, ' ');
  tail.replace(128 - kTrailerMarker.size(), kTrailerMarker.size(), kTrailerMarker);
  const TrailerReading reading = ReadTrailer(tail);
  EXPECT_EQ(reading.State, TrailerState::Damaged);
  EXPECT_EQ(reading.NumbersRead, 0);
  EXPECT_FALSE(reading.Values.Is360);
}

TEST(TrailerReading, HorizonRowIsWrittenBehindTheNumbersAndReadBack) {
  PanoramaTrailer written = kKnown;
  written.HorizonRow = 1377;
  const std::string text = FormatTrailer(written);
  ASSERT_EQ(text.size(), 128u);
  // The first 97 characters are those of a trailer without the row.
  EXPECT_EQ(text.substr(0, 97), kKnownTrailer.substr(0, 97));
  EXPECT_EQ(text.substr(97), " Horizon row               1377");
  EXPECT_EQ(ReadTrailer(text).Values.HorizonRow, 1377);
  EXPECT_EQ(BrowsingHorizonRow(ReadTrailer(text).Values, 500), 1377);
  written.HorizonRow = -42;
  EXPECT_EQ(ReadTrailer(FormatTrailer(written)).Values.HorizonRow, -42);

  // Without the row (older files): absent, and the browser takes the
  // middle row, rounded half to even.
  const TrailerReading old = ReadTrailer(kKnownTrailer);
  EXPECT_EQ(old.State, TrailerState::Sound);
  EXPECT_FALSE(old.Values.HorizonRow.has_value());
  EXPECT_EQ(BrowsingHorizonRow(old.Values, 501), 250);
  EXPECT_EQ(BrowsingHorizonRow(old.Values, 503), 252);

  // A row that is not an integer, or a trailer moved from its place (whose
  // end may be cut), gives no row but stays sound.
  for (const std::string& tail : {Patched(text, 120, "12x45678"), Patched(text, 99, "horizon"),
                                  "abcde" + text.substr(0, 123)}) {
    const TrailerReading reading = ReadTrailer(tail);
    EXPECT_EQ(reading.State, TrailerState::Sound) << tail;
    EXPECT_FALSE(reading.Values.HorizonRow.has_value()) << tail;
  }
}

TEST(TrailerReading, NumbersThatCannotServeTheBrowserMakeItDamagedWithAReason) {
  struct Case {
    PanoramaTrailer Written;
    std::string Reason;
  };
  const Case cases[] = {
      {{true, 0.0, kPixelsPerRadian, kFocalPixels, {}}, "AngleStep is not positive"},
      {{true, kAngleStep, -kPixelsPerRadian, kFocalPixels, {}}, "PixelsPerRadian is not positive"},
      {{true, kAngleStep, kPixelsPerRadian, 0.0, {}}, "FocalPixels is not positive"},
      {{true, kAngleStep, kPixelsPerRadian * 1.001, kFocalPixels, {}}, "AngleStep and PixelsPerRadian"},
      {{true, kAngleStep, kPixelsPerRadian + 1e-4, kFocalPixels, {}}, "AngleStep and PixelsPerRadian"},
  };
  for (const Case& c : cases) {
    const TrailerReading reading = ReadTrailer(FormatTrailer(c.Written));
    EXPECT_EQ(reading.State, TrailerState::Damaged) << FormatTrailer(c.Written);
    EXPECT_EQ(reading.NumbersRead, 3);
    EXPECT_EQ(reading.Reason.rfind(c.Reason, 0), 0u) << reading.Reason;
  }
  // Written from the values of a real circle, whose rounding to 10 decimals
  // leaves the product off by up to half a unit: sound.
  for (int n : {314, 5631, 40000, 123457}) {
    const PanoramaTrailer t{false, 2.0 * 3.141592653589793 / n, n / (2.0 * 3.141592653589793), 1000.0, {}};
    const TrailerReading reading = ReadTrailer(FormatTrailer(t));
    EXPECT_EQ(reading.State, TrailerState::Sound) << n;
    EXPECT_TRUE(reading.Reason.empty());
  }
  EXPECT_EQ(ReadTrailer(Patched(kKnownTrailer, 58, "             12.5abc")).Reason, "PixelsPerRadian cannot be read");
}

TEST(TrailerReading, StoringKeepsWhatWasNotRead) {
  TProjectionParameters projection;
  projection.AngleStep = 1.0;
  projection.PixelsPerRadian = 2.0;
  projection.FocalPixels = 3.0;
  bool is360 = false;

  StoreTrailerReading(ReadTrailer(std::string(128, ' ')), projection, is360);
  EXPECT_FALSE(is360);
  EXPECT_EQ(projection.AngleStep, 1.0);

  StoreTrailerReading(ReadTrailer(Patched(kKnownTrailer, 58, "             12.5abc")), projection, is360);
  EXPECT_TRUE(is360);
  EXPECT_EQ(projection.AngleStep, 0.0011158205);
  EXPECT_EQ(projection.PixelsPerRadian, 2.0);
  EXPECT_EQ(projection.FocalPixels, 3.0);

  StoreTrailerReading(ReadTrailer(Patched(kKnownTrailer, 37, "0")), projection, is360);
  EXPECT_FALSE(is360);
  EXPECT_EQ(projection.PixelsPerRadian, 896.2014845505);
  EXPECT_EQ(projection.FocalPixels, 796.4444444444);
}

TEST(TrailerReading, StateNames) {
  EXPECT_EQ(TrailerStateName(TrailerState::Sound), "sound");
  EXPECT_EQ(TrailerStateName(TrailerState::Damaged), "damaged");
  EXPECT_EQ(TrailerStateName(TrailerState::None), "none");
}

// ---------------------------------------------------------------------------
// Names

TEST(PanoramaNames, SavedNameEndsInOneJpg) {
  EXPECT_EQ(PanoramaFileNameFor("/home/u/pano"), "/home/u/pano.jpg");
  EXPECT_EQ(PanoramaFileNameFor("/home/u/pano.jpg"), "/home/u/pano.jpg");
  EXPECT_EQ(PanoramaFileNameFor("pano.jpg.jpg"), "pano.jpg.jpg");
  // Compared exactly: other spellings stay and get ".jpg" after them.
  EXPECT_EQ(PanoramaFileNameFor("pano.JPG"), "pano.JPG.jpg");
  EXPECT_EQ(PanoramaFileNameFor("pano.jpeg"), "pano.jpeg.jpg");
  EXPECT_EQ(PanoramaFileNameFor("jpg"), "jpg.jpg");
}

TEST(PanoramaNames, ExtensionComparedInLowerCase) {
  for (const char* accepted : {"a.jpg", "a.jpeg", "/x/B.JPG", "C.JPEG", "d.JpEg", "e.f.jpg"})
    EXPECT_TRUE(HasPanoramaExtension(accepted)) << accepted;
  for (const char* refused : {"a.png", "a.jpg.png", "a.jpgx", "a.jp", "a", "folder.jpg/picture", "a.jpg "})
    EXPECT_FALSE(HasPanoramaExtension(refused)) << refused;
}

TEST(PanoramaNames, LabelUnderThePreview) {
  EXPECT_EQ(LoadedPanoramaLabel("/home/u/Pano 1.jpg", TrailerState::Sound), "Pano 1.jpg  prepared by Vistarium");
  EXPECT_EQ(LoadedPanoramaLabel("/home/u/Pano 1.jpg", TrailerState::Damaged), "Pano 1.jpg");
  EXPECT_EQ(LoadedPanoramaLabel("photo.jpeg", TrailerState::None), "photo.jpeg");
}

// ---------------------------------------------------------------------------
// Files

class PanoramaFiles : public test_support::ScratchFolder {};

TEST_F(PanoramaFiles, SavedFileIsAJpegEndingInTheTrailer) {
  const Bitmap32 picture = Gradient(64, 24);
  const std::string path = PathOf("pano.jpg");
  SavePanoramaFile(path, picture, kKnown);
  EXPECT_EQ(Listing(), (std::set<std::string>{"pano.jpg"}));

  const Bytes bytes = Contents(path);
  ASSERT_GT(bytes.size(), 132u);
  EXPECT_EQ(std::string(bytes.end() - 128, bytes.end()), kKnownTrailer);
  // The JPEG starts the file and its end marker comes right before the trailer.
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0xD8);
  EXPECT_EQ(bytes[bytes.size() - 130], 0xFF);
  EXPECT_EQ(bytes[bytes.size() - 129], 0xD9);
  const Bytes jpeg(bytes.begin(), bytes.end() - 128);
  EXPECT_EQ(jpeg, render::EncodeJpeg(picture, 90));
  EXPECT_EQ(render::DecodeJpeg(bytes, path).Pixels, render::DecodeJpeg(jpeg, path).Pixels);
}

TEST_F(PanoramaFiles, SaveAndOpenGiveThePictureAndTheTrailerBack) {
  const Bitmap32 picture = Gradient(120, 40);
  const PanoramaTrailer written{false, 2.0 * 3.141592653589793 / 4321.0, 4321.0 / (2.0 * 3.141592653589793),
                                1818.1818181818182, {}};
  const std::string path = PathOf(PanoramaFileNameFor(PathOf("Pano")));
  SavePanoramaFile(path, picture, written);
  EXPECT_TRUE(fs::exists(PathOf("Pano.jpg")));

  const OpenedPanorama opened = OpenPanoramaFile(path);
  ASSERT_EQ(opened.Picture.Width, 120);
  ASSERT_EQ(opened.Picture.Height, 40);
  int worst = 0;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 120; ++x)
      worst = std::max(worst, ChannelDistance(ArgbFromPacked(opened.Picture.Pixel(x, y)), picture.Pixel(x, y)));
  EXPECT_LE(worst, 12);

  ASSERT_EQ(opened.Trailer.State, TrailerState::Sound);
  EXPECT_FALSE(opened.Trailer.Values.Is360);
  ExpectSameTo10Decimals(opened.Trailer.Values.AngleStep, written.AngleStep);
  ExpectSameTo10Decimals(opened.Trailer.Values.PixelsPerRadian, written.PixelsPerRadian);
  ExpectSameTo10Decimals(opened.Trailer.Values.FocalPixels, written.FocalPixels);

  const PanoramaInfo info = ReadPanoramaInfo(path);
  EXPECT_EQ(info.Width, 120);
  EXPECT_EQ(info.Height, 40);
  EXPECT_EQ(info.Trailer.State, TrailerState::Sound);
  EXPECT_EQ(info.Trailer.Values.FocalPixels, 1818.1818181818);
  EXPECT_FALSE(info.Trailer.Values.HorizonRow.has_value());

  PanoramaTrailer withRow = written;
  withRow.HorizonRow = 17;
  SavePanoramaFile(path, picture, withRow);
  EXPECT_EQ(ReadPanoramaInfo(path).Trailer.Values.HorizonRow, 17);
}

TEST_F(PanoramaFiles, SavingReplacesAnExistingFileWhole) {
  const std::string path = Put("pano.jpg", Bytes(200000, 0xAB));
  const Bitmap32 picture = Gradient(16, 8);
  SavePanoramaFile(path, picture, kKnown);
  Bytes expected = render::EncodeJpeg(picture, 90);
  expected.insert(expected.end(), kKnownTrailer.begin(), kKnownTrailer.end());
  EXPECT_EQ(Contents(path), expected);
  EXPECT_EQ(Listing(), (std::set<std::string>{"pano.jpg"}));
}

TEST_F(PanoramaFiles, SavingIntoAMissingFolderFailsAndLeavesNothing) {
  const std::string path = PathOf("no-such-folder/pano.jpg");
  const PictureFileError e = ErrorOf<PictureFileError>([&] { SavePanoramaFile(path, Gradient(16, 8), kKnown); });
  EXPECT_EQ(e.Problem(), PictureProblem::CannotWrite);
  EXPECT_EQ(e.File(), path);
  EXPECT_TRUE(Listing().empty());
}

TEST_F(PanoramaFiles, FailedSaveKeepsTheOldFile) {
  const Bytes old(5000, 0x5A);
  const std::string path = Put("pano.jpg", old);

  // A value the trailer cannot hold: refused before anything is written.
  const PanoramaTrailer broken{true, std::numeric_limits<double>::quiet_NaN(), 1.0, 1.0, {}};
  EXPECT_THROW(SavePanoramaFile(path, Gradient(16, 8), broken), std::invalid_argument);
  EXPECT_EQ(Contents(path), old);

  // A picture JPEG cannot hold: the error names the file.
  const PictureFileError e = ErrorOf<PictureFileError>([&] { SavePanoramaFile(path, Bitmap32{}, kKnown); });
  EXPECT_EQ(e.Problem(), PictureProblem::CannotEncode);
  EXPECT_EQ(e.File(), path);
  EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  EXPECT_EQ(Contents(path), old);
  EXPECT_EQ(Listing(), (std::set<std::string>{"pano.jpg"}));
}

TEST_F(PanoramaFiles, CapitalExtensionsAreAccepted) {
  for (const char* name : {"PANO.JPG", "Pano.JPEG"}) {
    const std::string path = PathOf(name);
    SavePanoramaFile(path, Gradient(16, 8), kKnown);
    const OpenedPanorama opened = OpenPanoramaFile(path);
    EXPECT_EQ(opened.Trailer.State, TrailerState::Sound) << name;
    EXPECT_EQ(opened.Picture.Width, 16) << name;
  }
}

TEST_F(PanoramaFiles, WrongExtensionIsRefusedWithTheTwoLineMessage) {
  // Checked before the file is looked at: a real panorama renamed, and a missing file.
  Bytes bytes = render::EncodeJpeg(Gradient(16, 8), 90);
  bytes.insert(bytes.end(), kKnownTrailer.begin(), kKnownTrailer.end());
  const std::string png = Put("pano.png", bytes);
  for (const std::string& path : {png, PathOf("missing.bmp")}) {
    for (const auto& e : {ErrorOf<PanoramaFileError>([&] { OpenPanoramaFile(path); }),
                          ErrorOf<PanoramaFileError>([&] { ReadPanoramaInfo(path); })}) {
      EXPECT_EQ(e.Problem(), PanoramaFileProblem::WrongExtension);
      EXPECT_EQ(std::string(e.what()),
                "Selected file could not contain panoramic image.\n"
                "Please select file with extention JPG or JPEG only. \"" +
                    path + "\": its extension is \"" + fs::path(path).extension().string() + "\"");
      EXPECT_EQ(e.File(), path);
    }
  }
}

// The message's own words, then the file and the system's reason; a named
// pipe is refused at once, without waiting for a writer.
TEST_F(PanoramaFiles, FileThatCannotBeOpened) {
  fs::create_directory(PathOf("folder.jpg"));
  ASSERT_EQ(mkfifo(PathOf("pipe.jpg").c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {
      {PathOf("missing.jpg"), "No such file or directory"},
      {PathOf("folder.jpg"), "Is a directory"},
      {PathOf("pipe.jpg"), "it is a named pipe, not a regular file"},
  };
  for (const auto& [path, reason] : cases) {
    for (const auto& e : {ErrorOf<PanoramaFileError>([&] { OpenPanoramaFile(path); }),
                          ErrorOf<PanoramaFileError>([&] { ReadPanoramaInfo(path); })}) {
      EXPECT_EQ(e.Problem(), PanoramaFileProblem::CannotOpen) << path;
      EXPECT_EQ(std::string(e.what()), "Can't open selected file. \"" + path + "\": " + reason);
      EXPECT_EQ(e.Reason(), reason);
      EXPECT_EQ(std::string(MessageFor(e.Problem())), "Can't open selected file.");
    }
  }
  EXPECT_EQ(std::string(MessageFor(PanoramaFileProblem::CannotRead)), "Can't read selected file.");
}

TEST_F(PanoramaFiles, OrdinaryJpegOpensWithoutTrailer) {
  const std::string path = Put("photo.jpeg", render::EncodeJpeg(Gradient(30, 20), 90));
  const OpenedPanorama opened = OpenPanoramaFile(path);
  EXPECT_EQ(opened.Trailer.State, TrailerState::None);
  EXPECT_EQ(opened.Picture.Width, 30);
  EXPECT_EQ(opened.Picture.Height, 20);
}

TEST_F(PanoramaFiles, FileShorterThanATrailerHasNone) {
  const std::string shortFile = Put("short.jpg", kKnownTrailer.substr(0, 127));
  EXPECT_EQ(ReadPanoramaTrailer(shortFile).State, TrailerState::None);
  // Exactly the trailer's size: read (the picture in front of it is missing).
  const std::string onlyTrailer = Put("only.jpg", kKnownTrailer);
  EXPECT_EQ(ReadPanoramaTrailer(onlyTrailer).State, TrailerState::Sound);
  EXPECT_THROW(OpenPanoramaFile(onlyTrailer), PictureFileError);
  const std::string empty = Put("empty.jpg", Bytes{});
  EXPECT_EQ(ReadPanoramaTrailer(empty).State, TrailerState::None);
}

TEST_F(PanoramaFiles, DamagedTrailerStillOpensThePicture) {
  Bytes bytes = render::EncodeJpeg(Gradient(16, 8), 90);
  const std::string damaged = Patched(kKnownTrailer, 78, "        796,44444444");
  bytes.insert(bytes.end(), damaged.begin(), damaged.end());
  const OpenedPanorama opened = OpenPanoramaFile(Put("damaged.jpg", bytes));
  EXPECT_EQ(opened.Trailer.State, TrailerState::Damaged);
  EXPECT_EQ(opened.Trailer.NumbersRead, 2);
  EXPECT_EQ(opened.Picture.Width, 16);
}

TEST_F(PanoramaFiles, UndecodablePictureIsAPictureFileError) {
  // A JPEG cut in its scan data, followed by a sound trailer: the trailer and
  // the size in the header are readable, the picture is not.
  Bytes bytes = render::EncodeJpeg(Gradient(48, 20), 90);
  const std::uint8_t startOfScan[] = {0xFF, 0xDA};
  const auto scan = std::search(bytes.begin(), bytes.end(), std::begin(startOfScan), std::end(startOfScan));
  ASSERT_NE(scan, bytes.end());
  bytes.resize(static_cast<std::size_t>(scan - bytes.begin()) + static_cast<std::size_t>(bytes.end() - scan) / 2);
  bytes.insert(bytes.end(), kKnownTrailer.begin(), kKnownTrailer.end());
  const std::string path = Put("cut.jpg", bytes);
  EXPECT_EQ(ReadPanoramaTrailer(path).State, TrailerState::Sound);
  const PanoramaInfo info = ReadPanoramaInfo(path);
  EXPECT_EQ(info.Width, 48);
  EXPECT_EQ(info.Height, 20);
  EXPECT_THROW(OpenPanoramaFile(path), PictureFileError);

  const std::string notAJpeg = Put("text.jpg", std::string(300, 'a'));
  EXPECT_EQ(ErrorOf<PictureFileError>([&] { OpenPanoramaFile(notAJpeg); }).File(), notAJpeg);
}

}  // namespace
