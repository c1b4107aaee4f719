#pragma once
// In-memory pictures and colour forms shared by decoding, sampling and the fills.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vistarium {

// Packed colour 0x00BBGGRR: red in the lowest byte. -1 marks a pixel that
// cannot be read.
using PackedColor = std::int32_t;
inline constexpr PackedColor kUnreadablePixel = -1;

// Three bytes in the order blue, green, red.
struct ColorTriple {
  std::uint8_t Blue = 0;
  std::uint8_t Green = 0;
  std::uint8_t Red = 0;
  friend bool operator==(const ColorTriple&, const ColorTriple&) = default;
};
using TColVector = std::vector<ColorTriple>;

// Throws NumericOverflow (numbers.h) when width x height x channels is
// negative or too large to index; returns the element count otherwise.
std::size_t CheckedPixelCount(int width, int height, int channels = 1);

// A decoded picture: Width x Height packed colours stored row after row from
// the top row. Pixel() reports kUnreadablePixel outside the picture.
struct DeviceBitmap {
  int Width = 0;
  int Height = 0;
  std::vector<PackedColor> Pixels;

  DeviceBitmap() = default;
  DeviceBitmap(int width, int height);  // all pixels black
  PackedColor Pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= Width || y >= Height) return kUnreadablePixel;
    return Pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(Width) + static_cast<std::size_t>(x)];
  }
  void SetPixel(int x, int y, PackedColor c) {
    Pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(Width) + static_cast<std::size_t>(x)] = c;
  }
};

// A display picture of 32-bit pixels 0xAARRGGBB stored by rows from the top.
// Alpha is written as 255 and never read.
struct Bitmap32 {
  int Width = 0;
  int Height = 0;
  std::vector<std::uint32_t> Pixels;

  // The same size keeps the pixels; a new size gives a new (black) store.
  void SetSize(int width, int height);
  std::uint32_t Pixel(int x, int y) const {
    return Pixels[static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * static_cast<std::size_t>(Width)];
  }
  void SetPixel(int x, int y, std::uint32_t argb) {
    Pixels[static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * static_cast<std::size_t>(Width)] = argb;
  }
};

// 0xAARRGGBB -> 0x00BBGGRR (red and blue exchange places, alpha dropped).
inline PackedColor PackedFromArgb(std::uint32_t argb) {
  return static_cast<PackedColor>(((argb & 0xFFu) << 16) | (argb & 0xFF00u) | ((argb >> 16) & 0xFFu));
}
// 0x00BBGGRR -> 0xFFRRGGBB.
inline std::uint32_t ArgbFromPacked(PackedColor c) {
  const auto u = static_cast<std::uint32_t>(c);
  return 0xFF000000u | ((u & 0xFFu) << 16) | (u & 0xFF00u) | ((u >> 16) & 0xFFu);
}

// A picture as 16-bit channel values indexed [column][row][channel]
// (channel 0 blue, 1 green, 2 red), held in one contiguous store.
struct TColMatrix {
  int Columns = 0;
  int Rows = 0;
  std::vector<std::uint16_t> Values;

  TColMatrix() = default;
  TColMatrix(int columns, int rows);  // all values 0
  std::uint16_t& At(int col, int row, int ch) { return Values[Index(col, row, ch)]; }
  std::uint16_t At(int col, int row, int ch) const { return Values[Index(col, row, ch)]; }

private:
  std::size_t Index(int col, int row, int ch) const {
    return (static_cast<std::size_t>(col) * static_cast<std::size_t>(Rows) + static_cast<std::size_t>(row)) * 3u +
           static_cast<std::size_t>(ch);
  }
};

}  // namespace vistarium
