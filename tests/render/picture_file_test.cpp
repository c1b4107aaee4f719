#include "render/picture_file.h"

#include <gtest/gtest.h>

#include "../support/scratch_folder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <jpeglib.h>

namespace {

using vistarium::ArgbFromPacked;
using vistarium::Bitmap32;
using vistarium::DeviceBitmap;
using vistarium::PackedColor;
using vistarium::PackedFromArgb;
using namespace vistarium::render;
namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Picture makers

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

int Red(PackedColor c) { return static_cast<int>(static_cast<std::uint32_t>(c) & 0xFFu); }
int Green(PackedColor c) { return static_cast<int>((static_cast<std::uint32_t>(c) >> 8) & 0xFFu); }
int Blue(PackedColor c) { return static_cast<int>((static_cast<std::uint32_t>(c) >> 16) & 0xFFu); }

int ChannelDistance(PackedColor a, PackedColor b) {
  return std::max({std::abs(Red(a) - Red(b)), std::abs(Green(a) - Green(b)), std::abs(Blue(a) - Blue(b))});
}

// JPEGs of kinds the program's encoder does not write (grayscale,
// progressive, CMYK), made directly with libjpeg from interleaved samples.
struct JpegKind {
  J_COLOR_SPACE Input = JCS_RGB;
  int Components = 3;
  std::optional<J_COLOR_SPACE> Stored;  // libjpeg's default for the input otherwise
  bool Progressive = false;
};

Bytes LibjpegEncode(int width, int height, const Bytes& samples, const JpegKind& kind) {
  jpeg_compress_struct c{};
  jpeg_error_mgr errors{};
  c.err = jpeg_std_error(&errors);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = static_cast<JDIMENSION>(width);
  c.image_height = static_cast<JDIMENSION>(height);
  c.input_components = kind.Components;
  c.in_color_space = kind.Input;
  jpeg_set_defaults(&c);
  if (kind.Stored) jpeg_set_colorspace(&c, *kind.Stored);
  jpeg_set_quality(&c, 95, TRUE);
  if (kind.Progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  const std::size_t stride = static_cast<std::size_t>(width) * static_cast<std::size_t>(kind.Components);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPLE*>(samples.data() + c.next_scanline * stride);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  Bytes bytes(buffer, buffer + size);
  std::free(buffer);
  return bytes;
}

// Samples of a Bitmap32 in the order red, green, blue.
Bytes RgbSamples(const Bitmap32& picture) {
  Bytes samples;
  for (const std::uint32_t argb : picture.Pixels) {
    samples.push_back(static_cast<std::uint8_t>(argb >> 16));
    samples.push_back(static_cast<std::uint8_t>(argb >> 8));
    samples.push_back(static_cast<std::uint8_t>(argb));
  }
  return samples;
}

// Offset of the payload (after the length) of the first segment with the
// given marker before the scan data, if any.
std::optional<std::size_t> FindSegment(const Bytes& jpeg, std::uint8_t marker) {
  std::size_t at = 2;  // after SOI
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    const std::uint8_t m = jpeg[at + 1];
    if (m == marker) return at + 4;
    if (m == 0xDA) break;  // start of scan
    at += 2 + ((static_cast<std::size_t>(jpeg[at + 2]) << 8) | jpeg[at + 3]);
  }
  return std::nullopt;
}

std::size_t ScanStart(const Bytes& jpeg) {
  const std::optional<std::size_t> sos = FindSegment(jpeg, 0xDA);
  EXPECT_TRUE(sos.has_value());
  return sos.value_or(0) + ((static_cast<std::size_t>(jpeg[sos.value_or(0) - 2]) << 8) | jpeg[sos.value_or(0) - 1]) - 2;
}

// The same JPEG with its frame header claiming another size.
Bytes WithFrameSize(Bytes jpeg, int width, int height) {
  std::optional<std::size_t> sof = FindSegment(jpeg, 0xC0);
  if (!sof) sof = FindSegment(jpeg, 0xC2);
  EXPECT_TRUE(sof.has_value());
  const std::size_t at = sof.value_or(0);
  jpeg[at + 1] = static_cast<std::uint8_t>(height >> 8);
  jpeg[at + 2] = static_cast<std::uint8_t>(height);
  jpeg[at + 3] = static_cast<std::uint8_t>(width >> 8);
  jpeg[at + 4] = static_cast<std::uint8_t>(width);
  return jpeg;
}

void PutLittle(Bytes& b, std::size_t at, std::uint32_t v, int count) {
  for (int i = 0; i < count; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A BMP with a 40-byte information header. Pixels are packed colours by
// rows from the top; `bits` is 8 (palette), 24 or 32. A palette picture
// uses the colours of `palette`, pixel values being indices.
Bytes MakeBmp(int width, int height, int bits, const std::vector<std::uint32_t>& pixels, bool topDown = false,
              const std::vector<PackedColor>& palette = {}) {
  const std::size_t rowBytes = (static_cast<std::size_t>(width) * static_cast<std::size_t>(bits) + 31) / 32 * 4;
  const std::size_t paletteBytes = 4 * palette.size();
  const std::size_t offset = 14 + 40 + paletteBytes;
  Bytes b(offset + rowBytes * static_cast<std::size_t>(height), 0);
  b[0] = 'B';
  b[1] = 'M';
  PutLittle(b, 2, static_cast<std::uint32_t>(b.size()), 4);
  PutLittle(b, 10, static_cast<std::uint32_t>(offset), 4);
  PutLittle(b, 14, 40, 4);
  PutLittle(b, 18, static_cast<std::uint32_t>(width), 4);
  PutLittle(b, 22, static_cast<std::uint32_t>(topDown ? -height : height), 4);
  PutLittle(b, 26, 1, 2);
  PutLittle(b, 28, static_cast<std::uint32_t>(bits), 2);
  PutLittle(b, 46, static_cast<std::uint32_t>(palette.size()), 4);
  for (std::size_t i = 0; i < palette.size(); ++i) {
    b[54 + 4 * i] = static_cast<std::uint8_t>(Blue(palette[i]));
    b[54 + 4 * i + 1] = static_cast<std::uint8_t>(Green(palette[i]));
    b[54 + 4 * i + 2] = static_cast<std::uint8_t>(Red(palette[i]));
  }
  for (int y = 0; y < height; ++y) {
    const int storedRow = topDown ? y : height - 1 - y;
    std::uint8_t* row = b.data() + offset + rowBytes * static_cast<std::size_t>(storedRow);
    for (int x = 0; x < width; ++x) {
      const std::uint32_t p = pixels[static_cast<std::size_t>(y * width + x)];
      if (bits == 8) {
        row[x] = static_cast<std::uint8_t>(p);
      } else {
        std::uint8_t* px = row + static_cast<std::size_t>(x * bits / 8);
        px[0] = static_cast<std::uint8_t>(p >> 16);  // blue
        px[1] = static_cast<std::uint8_t>(p >> 8);   // green
        px[2] = static_cast<std::uint8_t>(p);        // red
        if (bits == 32) px[3] = 0;                   // unused byte, must not matter
      }
    }
  }
  return b;
}

constexpr PackedColor kRed = 0x0000FF;
constexpr PackedColor kGreen = 0x00FF00;
constexpr PackedColor kBlue = 0xFF0000;
constexpr PackedColor kWhite = 0xFFFFFF;
constexpr PackedColor kOlive = 0x207F9A;  // red 0x9A, green 0x7F, blue 0x20

// 3 x 2: an odd width, so 24-bit rows carry padding.
const std::vector<std::uint32_t> kSixColours = {kRed, kGreen, kBlue, kWhite, 0x000000, kOlive};

// A minimal but complete 2 x 2 PNG (red, black / red, black) that stb_image
// itself would decode.
const Bytes kPng = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00,
    0x02, 0x00, 0x00, 0x00, 0x02, 0x08, 0x02, 0x00, 0x00, 0x00, 0xfd, 0xd4, 0x9a, 0x73, 0x00, 0x00, 0x00, 0x11, 0x49,
    0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8, 0xcf, 0xc0, 0xc0, 0xf0, 0x1f, 0x8c, 0x80, 0x18, 0x00, 0x1d, 0xf0, 0x03,
    0xfd, 0xd3, 0xd0, 0x7d, 0x26, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

// Runs `work` and returns the PictureFileError it throws (failing the test
// when it throws none).
template <typename Work>
PictureFileError ErrorOf(Work&& work) {
  try {
    work();
  } catch (const PictureFileError& e) {
    return e;
  }
  ADD_FAILURE() << "no PictureFileError thrown";
  return PictureFileError(PictureProblem::Corrupt, "", "none thrown");
}

bool Mentions(const PictureFileError& e, const std::string& name) {
  return e.File() == name && std::string(e.what()).find('"' + name + '"') != std::string::npos;
}

// ---------------------------------------------------------------------------
// JPEG encoding

TEST(JpegEncoding, RoundTripKeepsSizeAndColoursWithinJpegError) {
  const Bitmap32 source = Gradient(67, 45);  // not multiples of the 16-pixel blocks
  const DeviceBitmap decoded = DecodeJpeg(EncodeJpeg(source), "gradient.jpg");
  ASSERT_EQ(decoded.Width, 67);
  ASSERT_EQ(decoded.Height, 45);
  ASSERT_EQ(decoded.Pixels.size(), 67u * 45u);
  int worst = 0;
  double total = 0;
  for (int y = 0; y < 45; ++y)
    for (int x = 0; x < 67; ++x) {
      const int d = ChannelDistance(decoded.Pixel(x, y), PackedFromArgb(source.Pixel(x, y)));
      worst = std::max(worst, d);
      total += d;
    }
  EXPECT_LE(worst, 12);
  EXPECT_LE(total / (67.0 * 45.0), 2.5);
}

TEST(JpegEncoding, DeviceBitmapAndBitmap32GiveTheSameFile) {
  const Bitmap32 source = Gradient(40, 30);
  DeviceBitmap device(40, 30);
  for (std::size_t i = 0; i < source.Pixels.size(); ++i) device.Pixels[i] = PackedFromArgb(source.Pixels[i]);
  EXPECT_EQ(EncodeJpeg(device), EncodeJpeg(source));
}

TEST(JpegEncoding, PureRedStaysRed) {
  DeviceBitmap red(16, 16);
  std::fill(red.Pixels.begin(), red.Pixels.end(), kRed);
  const DeviceBitmap decoded = DecodeJpeg(EncodeJpeg(red), "red.jpg");
  EXPECT_LE(ChannelDistance(decoded.Pixel(8, 8), kRed), 3) << std::hex << decoded.Pixel(8, 8);

  Bitmap32 red32;
  red32.SetSize(16, 16);
  std::fill(red32.Pixels.begin(), red32.Pixels.end(), ArgbFromPacked(kRed));
  EXPECT_LE(ChannelDistance(DecodeJpeg(EncodeJpeg(red32), "red.jpg").Pixel(8, 8), kRed), 3);
}

TEST(JpegEncoding, WritesBaselineQuality90WithThreeComponents) {
  const Bytes jpeg = EncodeJpeg(Gradient(33, 17));
  ASSERT_GE(jpeg.size(), 4u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
  EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);

  const std::optional<std::size_t> sof0 = FindSegment(jpeg, 0xC0);
  ASSERT_TRUE(sof0.has_value());
  EXPECT_FALSE(FindSegment(jpeg, 0xC2).has_value());  // not progressive
  EXPECT_FALSE(FindSegment(jpeg, 0xC1).has_value());
  const std::size_t f = *sof0;
  EXPECT_EQ(jpeg[f], 8);                                 // bits a sample
  EXPECT_EQ((jpeg[f + 1] << 8) | jpeg[f + 2], 17);       // height
  EXPECT_EQ((jpeg[f + 3] << 8) | jpeg[f + 4], 33);       // width
  EXPECT_EQ(jpeg[f + 5], 3);                             // components: 24-bit colour

  // Quality 90 scales the standard luminance table by 20 %: its DC entry 16
  // becomes 3 (quality 75, libjpeg's default, would give 8).
  const std::optional<std::size_t> dqt = FindSegment(jpeg, 0xDB);
  ASSERT_TRUE(dqt.has_value());
  EXPECT_EQ(jpeg[*dqt], 0x00);  // 8-bit table number 0
  EXPECT_EQ(jpeg[*dqt + 1], 3);

  const Bytes low = EncodeJpeg(Gradient(33, 17), 50);
  ASSERT_TRUE(FindSegment(low, 0xDB).has_value());
  EXPECT_EQ(low[*FindSegment(low, 0xDB) + 1], 16);
}

TEST(JpegEncoding, RefusesPicturesJpegCannotHold) {
  Bitmap32 empty;
  EXPECT_EQ(ErrorOf([&] { EncodeJpeg(empty); }).Problem(), PictureProblem::CannotEncode);

  Bitmap32 wide;
  wide.SetSize(kMaxPictureSide + 1, 1);
  EXPECT_EQ(ErrorOf([&] { EncodeJpeg(wide); }).Problem(), PictureProblem::CannotEncode);

  Bitmap32 small = Gradient(8, 8);
  EXPECT_THROW(EncodeJpeg(small, 0), std::invalid_argument);
  EXPECT_THROW(EncodeJpeg(small, 101), std::invalid_argument);
  small.Pixels.pop_back();
  EXPECT_THROW(EncodeJpeg(small), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// JPEG decoding

TEST(JpegDecoding, GrayscaleGivesEqualChannels) {
  const int w = 32, h = 8;
  Bytes gray(static_cast<std::size_t>(w * h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) gray[static_cast<std::size_t>(y * w + x)] = static_cast<std::uint8_t>(x * 8);
  const Bytes jpeg = LibjpegEncode(w, h, gray, {JCS_GRAYSCALE, 1, std::nullopt, false});
  const DeviceBitmap decoded = DecodeJpeg(jpeg, "gray.jpg");
  ASSERT_EQ(decoded.Width, w);
  ASSERT_EQ(decoded.Height, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const PackedColor c = decoded.Pixel(x, y);
      ASSERT_EQ(Red(c), Green(c));
      ASSERT_EQ(Red(c), Blue(c));
      ASSERT_NEAR(Red(c), x * 8, 6) << x << "," << y;
    }
}

TEST(JpegDecoding, ProgressiveGivesTheSamePixelsAsBaseline) {
  // The same quantised coefficients, only sent in another order.
  const Bitmap32 source = Gradient(50, 37);
  const Bytes samples = RgbSamples(source);
  const Bytes baseline = LibjpegEncode(50, 37, samples, {});
  const Bytes progressive = LibjpegEncode(50, 37, samples, {JCS_RGB, 3, std::nullopt, true});
  ASSERT_TRUE(FindSegment(progressive, 0xC2).has_value());
  const DeviceBitmap a = DecodeJpeg(baseline, "baseline.jpg");
  const DeviceBitmap b = DecodeJpeg(progressive, "progressive.jpg");
  ASSERT_EQ(b.Width, 50);
  ASSERT_EQ(b.Height, 37);
  EXPECT_EQ(a.Pixels, b.Pixels);
  EXPECT_LE(ChannelDistance(b.Pixel(25, 18), PackedFromArgb(source.Pixel(25, 18))), 8);
}

// Adobe applications store CMYK inverted (255 = no ink) and mark the file
// with an APP14 marker; libjpeg writes that marker for CMYK and YCCK.
class CmykJpeg : public testing::TestWithParam<J_COLOR_SPACE> {};

TEST_P(CmykJpeg, ConvertsInvertedAdobeInkToRgb) {
  // Four 16 x 16 blocks: red, blue, grey made of black ink, dark olive.
  struct Block {
    std::uint8_t C, M, Y, K;  // ink, 0 = none
    PackedColor Expected;
  };
  const Block blocks[4] = {{0, 255, 255, 0, kRed},
                           {255, 255, 0, 0, kBlue},
                           {0, 0, 0, 127, 0x808080},
                           {0, 51, 204, 102, 0x1F7A99}};
  const int w = 64, h = 16;
  Bytes samples;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const Block& b = blocks[x / 16];
      for (const std::uint8_t ink : {b.C, b.M, b.Y, b.K}) samples.push_back(static_cast<std::uint8_t>(255 - ink));
    }
  const Bytes jpeg = LibjpegEncode(w, h, samples, {JCS_CMYK, 4, GetParam(), false});
  ASSERT_TRUE(FindSegment(jpeg, 0xEE).has_value());  // the Adobe marker
  const DeviceBitmap decoded = DecodeJpeg(jpeg, "cmyk.jpg");
  for (int i = 0; i < 4; ++i)
    EXPECT_LE(ChannelDistance(decoded.Pixel(16 * i + 8, 8), blocks[i].Expected), 6)
        << "block " << i << ": " << std::hex << decoded.Pixel(16 * i + 8, 8);
}

INSTANTIATE_TEST_SUITE_P(StoredAs, CmykJpeg, testing::Values(JCS_CMYK, JCS_YCCK));

TEST(JpegDecoding, IgnoresBytesAfterTheEndMarker) {
  const Bytes jpeg = EncodeJpeg(Gradient(20, 10));
  Bytes withTrailer = jpeg;
  const std::string trailer(128, 'x');
  withTrailer.insert(withTrailer.end(), trailer.begin(), trailer.end());
  EXPECT_EQ(DecodeJpeg(withTrailer, "panorama.jpg").Pixels, DecodeJpeg(jpeg, "panorama.jpg").Pixels);
}

TEST(JpegDecoding, TruncatedDataIsAnErrorNotAGreyFill) {
  const Bitmap32 source = Gradient(64, 64);
  const Bytes baseline = EncodeJpeg(source);
  const Bytes progressive = LibjpegEncode(64, 64, RgbSamples(source), {JCS_RGB, 3, std::nullopt, true});
  for (const Bytes* jpeg : {&baseline, &progressive}) {
    const std::size_t scan = ScanStart(*jpeg);
    for (const std::size_t keep : {scan + (jpeg->size() - scan) / 2, jpeg->size() - 2, std::size_t{20}, std::size_t{2}}) {
      const Bytes cut(jpeg->begin(), jpeg->begin() + static_cast<std::ptrdiff_t>(keep));
      const PictureFileError e = ErrorOf([&] { DecodeJpeg(cut, "cut.jpg"); });
      EXPECT_EQ(e.Problem(), PictureProblem::Truncated) << keep << " bytes: " << e.what();
      EXPECT_STREQ(e.what(), "Picture file \"cut.jpg\" is truncated");
    }
  }
}

TEST(JpegDecoding, ScanEndingAtAMarkerIsCorrupt) {
  Bytes jpeg = EncodeJpeg(Gradient(64, 64));
  const std::size_t middle = ScanStart(jpeg) + (jpeg.size() - ScanStart(jpeg)) / 2;
  jpeg.resize(middle);
  jpeg.push_back(0xFF);
  jpeg.push_back(0xD9);
  const PictureFileError e = ErrorOf([&] { DecodeJpeg(jpeg, "broken.jpg"); });
  EXPECT_EQ(e.Problem(), PictureProblem::Corrupt) << e.what();
  EXPECT_TRUE(std::string(e.what()).starts_with("Picture file \"broken.jpg\" is corrupt: ")) << e.what();
}

TEST(JpegDecoding, RefusesDataThatIsNoJpeg) {
  const Bytes garbage = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'};
  for (const Bytes* bytes : {&garbage, &kPng}) {
    const PictureFileError e = ErrorOf([&] { DecodeJpeg(*bytes, "x.jpg"); });
    EXPECT_EQ(e.Problem(), PictureProblem::WrongContent);
    EXPECT_STREQ(e.what(), "Picture file \"x.jpg\" is not a JPEG picture");
  }
  const Bytes soiOnly = {0xFF, 0xD8, 0x00, 0x13, 0x77};
  EXPECT_TRUE(Mentions(ErrorOf([&] { DecodeJpeg(soiOnly, "x.jpg"); }), "x.jpg"));
  EXPECT_EQ(ErrorOf([&] { DecodeJpeg(Bytes{}, "x.jpg"); }).Problem(), PictureProblem::Empty);
}

TEST(JpegDecoding, ZeroSizeInTheHeaderIsCorrupt) {
  const Bytes jpeg = WithFrameSize(EncodeJpeg(Gradient(16, 16)), 16, 0);
  const PictureFileError e = ErrorOf([&] { DecodeJpeg(jpeg, "flat.jpg"); });
  EXPECT_EQ(e.Problem(), PictureProblem::Corrupt) << e.what();
  EXPECT_TRUE(Mentions(e, "flat.jpg"));
}

TEST(JpegDecoding, HugeHeaderSizesAreRefused) {
  const Bytes small = EncodeJpeg(Gradient(16, 16));
  const PictureFileError e = ErrorOf([&] { DecodeJpeg(WithFrameSize(small, 40000, 40000), "huge.jpg"); });
  EXPECT_EQ(e.Problem(), PictureProblem::TooLarge);
  EXPECT_STREQ(e.what(), "Picture file \"huge.jpg\" is too large (40000 x 40000 pixels)");
  // Beyond what libjpeg itself accepts.
  const PictureFileError f = ErrorOf([&] { DecodeJpeg(WithFrameSize(small, 65535, 100), "wide.jpg"); });
  EXPECT_EQ(f.Problem(), PictureProblem::TooLarge);
  EXPECT_STREQ(f.what(), "Picture file \"wide.jpg\" is too large (65535 x 100 pixels)");
}

TEST(JpegDecoding, LimitsAreInclusive) {
  const Bytes jpeg = EncodeJpeg(Gradient(10, 10));
  EXPECT_EQ(DecodeJpeg(jpeg, "a.jpg", {10, 100}).Pixels.size(), 100u);
  EXPECT_EQ(ErrorOf([&] { DecodeJpeg(jpeg, "a.jpg", {10, 99}); }).Problem(), PictureProblem::TooLarge);
  EXPECT_EQ(ErrorOf([&] { DecodeJpeg(jpeg, "a.jpg", {9, 100}); }).Problem(), PictureProblem::TooLarge);
}

// With the address space capped far below what a 40000 x 40000 picture
// needs, the refusal must still come as TooLarge: the size is checked before
// anything is allocated.
void DecodeUnderMemoryCap(const Bytes& bytes, DeviceBitmap (*decode)(std::span<const std::uint8_t>,
                                                                     const std::string&, const PictureLimits&)) {
  const rlimit cap{512u << 20, 512u << 20};
  setrlimit(RLIMIT_AS, &cap);
  int code = 3;
  try {
    decode(bytes, "huge", {});
    code = 2;
  } catch (const PictureFileError& e) {
    code = e.Problem() == PictureProblem::TooLarge ? 0 : 1;
  } catch (...) {
    code = 1;
  }
  std::_Exit(code);
}

TEST(PictureDecodingDeathTest, HugeHeadersAreRefusedBeforeAllocating) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers reserve far more address space than the cap allows.
  GTEST_SKIP() << "the address-space cap cannot be combined with a sanitizer";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Bytes jpeg = WithFrameSize(EncodeJpeg(Gradient(16, 16)), 40000, 40000);
  EXPECT_EXIT(DecodeUnderMemoryCap(jpeg, DecodeJpeg), testing::ExitedWithCode(0), "");
  Bytes bmp = MakeBmp(3, 2, 24, kSixColours);
  PutLittle(bmp, 18, 40000, 4);
  PutLittle(bmp, 22, 40000, 4);
  EXPECT_EXIT(DecodeUnderMemoryCap(bmp, DecodeBmp), testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------
// BMP decoding

TEST(BmpDecoding, TwentyFourBitGivesExactPackedColours) {
  for (const bool topDown : {false, true}) {
    const DeviceBitmap picture = DecodeBmp(MakeBmp(3, 2, 24, kSixColours, topDown), "six.bmp");
    ASSERT_EQ(picture.Width, 3);
    ASSERT_EQ(picture.Height, 2);
    EXPECT_EQ(picture.Pixel(0, 0), 0x000000FF) << "pure red has red in the lowest byte";
    EXPECT_EQ(std::vector<PackedColor>(kSixColours.begin(), kSixColours.end()), picture.Pixels) << topDown;
  }
}

TEST(BmpDecoding, PaletteGivesExactPackedColours) {
  const std::vector<PackedColor> palette = {0x000000, kRed, kOlive, kBlue, kWhite};
  const std::vector<std::uint32_t> indices = {1, 2, 3, 4, 0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 0};  // 5 x 3
  const DeviceBitmap picture = DecodeBmp(MakeBmp(5, 3, 8, indices, false, palette), "palette.bmp");
  ASSERT_EQ(picture.Width, 5);
  ASSERT_EQ(picture.Height, 3);
  for (std::size_t i = 0; i < indices.size(); ++i) EXPECT_EQ(picture.Pixels[i], palette[indices[i]]) << i;
  EXPECT_EQ(picture.Pixel(0, 0), 0x000000FF);
}

TEST(BmpDecoding, ThirtyTwoBitIgnoresTheFourthByte) {
  const DeviceBitmap picture = DecodeBmp(MakeBmp(3, 2, 32, kSixColours, true), "deep.bmp");
  EXPECT_EQ(std::vector<PackedColor>(kSixColours.begin(), kSixColours.end()), picture.Pixels);
}

TEST(BmpDecoding, TruncatedFileIsAnError) {
  const Bytes bmp = MakeBmp(3, 2, 24, kSixColours);
  for (const std::size_t keep : {bmp.size() - 1, std::size_t{60}, std::size_t{30}, std::size_t{10}}) {
    const Bytes cut(bmp.begin(), bmp.begin() + static_cast<std::ptrdiff_t>(keep));
    const PictureFileError e = ErrorOf([&] { DecodeBmp(cut, "cut.bmp"); });
    EXPECT_EQ(e.Problem(), PictureProblem::Truncated) << keep << ": " << e.what();
    EXPECT_STREQ(e.what(), "Picture file \"cut.bmp\" is truncated");
  }
}

TEST(BmpDecoding, PngIsNotABmp) {
  const PictureFileError e = ErrorOf([&] { DecodeBmp(kPng, "renamed.bmp"); });
  EXPECT_EQ(e.Problem(), PictureProblem::WrongContent);
  EXPECT_STREQ(e.what(), "Picture file \"renamed.bmp\" is not a BMP picture");
  EXPECT_EQ(ErrorOf([&] { DecodeBmp(EncodeJpeg(Gradient(8, 8)), "x.bmp"); }).Problem(),
            PictureProblem::WrongContent);
}

TEST(BmpDecoding, BadHeadersAreRefused) {
  Bytes zeroWidth = MakeBmp(3, 2, 24, kSixColours);
  PutLittle(zeroWidth, 18, 0, 4);
  EXPECT_EQ(ErrorOf([&] { DecodeBmp(zeroWidth, "z.bmp"); }).Problem(), PictureProblem::Corrupt);

  Bytes negativeWidth = MakeBmp(3, 2, 24, kSixColours);
  PutLittle(negativeWidth, 18, static_cast<std::uint32_t>(-3), 4);
  EXPECT_EQ(ErrorOf([&] { DecodeBmp(negativeWidth, "n.bmp"); }).Problem(), PictureProblem::Corrupt);

  Bytes huge = MakeBmp(3, 2, 24, kSixColours);
  PutLittle(huge, 18, 40000, 4);
  PutLittle(huge, 22, 40000, 4);
  const PictureFileError e = ErrorOf([&] { DecodeBmp(huge, "huge.bmp"); });
  EXPECT_EQ(e.Problem(), PictureProblem::TooLarge);
  EXPECT_STREQ(e.what(), "Picture file \"huge.bmp\" is too large (40000 x 40000 pixels)");

  Bytes rle = MakeBmp(4, 2, 8, {0, 0, 0, 0, 0, 0, 0, 0}, false, {kRed});
  PutLittle(rle, 30, 1, 4);
  const PictureFileError r = ErrorOf([&] { DecodeBmp(rle, "rle.bmp"); });
  EXPECT_EQ(r.Problem(), PictureProblem::UnsupportedFeature) << r.what();
  EXPECT_TRUE(Mentions(r, "rle.bmp"));

  Bytes unknownHeader = MakeBmp(3, 2, 24, kSixColours);
  PutLittle(unknownHeader, 14, 64, 4);
  EXPECT_EQ(ErrorOf([&] { DecodeBmp(unknownHeader, "v.bmp"); }).Problem(), PictureProblem::UnsupportedFeature);

  const Bytes garbage = {'B', 'M', 1, 2, 3};
  EXPECT_EQ(ErrorOf([&] { DecodeBmp(garbage, "g.bmp"); }).Problem(), PictureProblem::Truncated);
  EXPECT_EQ(ErrorOf([&] { DecodeBmp(Bytes{}, "e.bmp"); }).Problem(), PictureProblem::Empty);
}

// ---------------------------------------------------------------------------
// Files

class PictureFiles : public vistarium::test_support::ScratchFolder {};

TEST(PictureFormat, ChosenByExtensionInAnyCase) {
  EXPECT_EQ(PictureFormatFromPath("a/b.jpg"), PictureFormat::Jpeg);
  EXPECT_EQ(PictureFormatFromPath("B.JPG"), PictureFormat::Jpeg);
  EXPECT_EQ(PictureFormatFromPath("c.JpEg"), PictureFormat::Jpeg);
  EXPECT_EQ(PictureFormatFromPath("d.bmp"), PictureFormat::Bmp);
  EXPECT_EQ(PictureFormatFromPath("e.BMP"), PictureFormat::Bmp);
  EXPECT_EQ(PictureFormatFromPath("f.png"), std::nullopt);
  EXPECT_EQ(PictureFormatFromPath("g.jpg.txt"), std::nullopt);
  EXPECT_EQ(PictureFormatFromPath("h.jpgx"), std::nullopt);
  EXPECT_EQ(PictureFormatFromPath("noextension"), std::nullopt);
  EXPECT_EQ(PictureFormatFromPath("folder.jpg/picture"), std::nullopt);
}

TEST_F(PictureFiles, LoadsByExtension) {
  const Bytes jpeg = EncodeJpeg(Gradient(24, 12));
  const std::string upper = Put("PICTURE.JPG", jpeg);
  const DeviceBitmap fromFile = LoadPictureFile(upper);
  EXPECT_EQ(fromFile.Pixels, DecodeJpeg(jpeg, "x").Pixels);
  EXPECT_EQ(ReadPictureSize(upper), (PictureSize{24, 12}));

  const std::string bmp = Put("six.Bmp", MakeBmp(3, 2, 24, kSixColours));
  EXPECT_EQ(LoadPictureFile(bmp).Pixel(0, 0), kRed);
  EXPECT_EQ(ReadPictureSize(bmp), (PictureSize{3, 2}));

  const std::string text = Put("picture.txt", jpeg);
  for (const auto& e : {ErrorOf([&] { LoadPictureFile(text); }), ErrorOf([&] { ReadPictureSize(text); })}) {
    EXPECT_EQ(e.Problem(), PictureProblem::UnsupportedType);
    EXPECT_EQ(std::string(e.what()),
              "Picture file \"" + text + "\" has an unsupported type (use .jpg, .jpeg or .bmp)");
  }
}

TEST_F(PictureFiles, ContentMustMatchTheExtension) {
  const std::string png = Put("renamed.bmp", kPng);
  for (const auto& e : {ErrorOf([&] { LoadPictureFile(png); }), ErrorOf([&] { ReadPictureSize(png); })}) {
    EXPECT_EQ(e.Problem(), PictureProblem::WrongContent);
    EXPECT_EQ(std::string(e.what()), "Picture file \"" + png + "\" is not a BMP picture");
  }
  const std::string bmpAsJpeg = Put("really-a-bitmap.jpg", MakeBmp(3, 2, 24, kSixColours));
  EXPECT_EQ(ErrorOf([&] { LoadPictureFile(bmpAsJpeg); }).Problem(), PictureProblem::WrongContent);
  EXPECT_EQ(ErrorOf([&] { ReadPictureSize(bmpAsJpeg); }).Problem(), PictureProblem::WrongContent);
}

TEST_F(PictureFiles, MissingEmptyAndFolderAreErrorsNamingTheFile) {
  const std::string missing = PathOf("missing.jpg");
  const PictureFileError e = ErrorOf([&] { LoadPictureFile(missing); });
  EXPECT_EQ(e.Problem(), PictureProblem::CannotOpen);
  EXPECT_EQ(std::string(e.what()), "Cannot open picture file \"" + missing + "\": No such file or directory");
  EXPECT_EQ(ErrorOf([&] { ReadPictureSize(missing); }).Problem(), PictureProblem::CannotOpen);

  const std::string empty = Put("empty.bmp", Bytes{});
  const PictureFileError f = ErrorOf([&] { LoadPictureFile(empty); });
  EXPECT_EQ(f.Problem(), PictureProblem::Empty);
  EXPECT_EQ(std::string(f.what()), "Picture file \"" + empty + "\" is empty");
  EXPECT_EQ(ErrorOf([&] { ReadPictureSize(empty); }).Problem(), PictureProblem::Empty);

  fs::create_directory(PathOf("folder.jpg"));
  const PictureFileError g = ErrorOf([&] { LoadPictureFile(PathOf("folder.jpg")); });
  EXPECT_EQ(g.Problem(), PictureProblem::CannotOpen);
  EXPECT_TRUE(Mentions(g, PathOf("folder.jpg")));
}

TEST_F(PictureFiles, SizeComesFromTheHeaderAlone) {
  // Cut in the middle of the scan: the size is readable, the picture is not.
  const Bytes jpeg = EncodeJpeg(Gradient(48, 20));
  const std::string cutJpeg = Put("cut.jpeg", Bytes(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(ScanStart(jpeg) + 10)));
  EXPECT_EQ(ReadPictureSize(cutJpeg), (PictureSize{48, 20}));
  const PictureFileError e = ErrorOf([&] { LoadPictureFile(cutJpeg); });
  EXPECT_EQ(e.Problem(), PictureProblem::Truncated);
  EXPECT_EQ(std::string(e.what()), "Picture file \"" + cutJpeg + "\" is truncated");

  const std::string headerOnly = Put("header.jpg", Bytes(jpeg.begin(), jpeg.begin() + 30));
  EXPECT_EQ(ErrorOf([&] { ReadPictureSize(headerOnly); }).Problem(), PictureProblem::Truncated);

  const Bytes bmp = MakeBmp(3, 2, 24, kSixColours);
  const std::string cutBmp = Put("cut.bmp", Bytes(bmp.begin(), bmp.end() - 3));
  EXPECT_EQ(ErrorOf([&] { ReadPictureSize(cutBmp); }).Problem(), PictureProblem::Truncated);

  const std::string huge = Put("huge.jpg", WithFrameSize(jpeg, 40000, 40000));
  EXPECT_EQ(std::string(ErrorOf([&] { ReadPictureSize(huge); }).what()),
            "Picture file \"" + huge + "\" is too large (40000 x 40000 pixels)");
}

// ---------------------------------------------------------------------------
// Atomic writing

TEST_F(PictureFiles, WriteCreatesTheFileAndLeavesNothingElse) {
  const Bytes bytes = EncodeJpeg(Gradient(30, 20));
  WriteFileAtomically(PathOf("new.jpg"), bytes);
  EXPECT_EQ(Contents(PathOf("new.jpg")), bytes);
  EXPECT_EQ(Listing(), (std::set<std::string>{"new.jpg"}));
}

TEST_F(PictureFiles, WriteReplacesAnExistingFileWhole) {
  const std::string path = Put("old.jpg", Bytes(100000, 0xAB));
  const Bytes shorter = {1, 2, 3, 4, 5};
  WriteFileAtomically(path, shorter);
  EXPECT_EQ(Contents(path), shorter);
  EXPECT_EQ(Listing(), (std::set<std::string>{"old.jpg"}));
  WriteFileAtomically(path, {});
  EXPECT_TRUE(Contents(path).empty());
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(PictureFiles, WriteIntoAMissingFolderFailsAndLeavesNothing) {
  const std::string path = PathOf("no-such-folder/pano.jpg");
  const PictureFileError e = ErrorOf([&] { WriteFileAtomically(path, Bytes{1, 2, 3}); });
  EXPECT_EQ(e.Problem(), PictureProblem::CannotWrite);
  EXPECT_EQ(std::string(e.what()), "Cannot write file \"" + path + "\": folder \"" + PathOf("no-such-folder") +
                                      "\": No such file or directory");
  EXPECT_FALSE(fs::exists(PathOf("no-such-folder")));
  EXPECT_TRUE(Listing().empty());
}

TEST_F(PictureFiles, FailedRenameRemovesTheTemporaryFile) {
  // A folder under the target name: the data is written, the rename fails.
  fs::create_directory(PathOf("taken.jpg"));
  const PictureFileError e = ErrorOf([&] { WriteFileAtomically(PathOf("taken.jpg"), Bytes(5000, 7)); });
  EXPECT_EQ(e.Problem(), PictureProblem::CannotWrite);
  EXPECT_TRUE(Mentions(e, PathOf("taken.jpg")));
  EXPECT_EQ(Listing(), (std::set<std::string>{"taken.jpg"}));
  EXPECT_TRUE(fs::is_directory(PathOf("taken.jpg")));
  EXPECT_TRUE(fs::is_empty(PathOf("taken.jpg")));
}

}  // namespace
