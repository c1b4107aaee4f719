#pragma once
// Turning and mirroring a JPEG without decoding it: its blocks of transform
// coefficients are moved (and the signs of some negated) in the compressed
// domain, through libjpeg-turbo's TurboJPEG transformer. A picture a phone
// stored sideways is turned upright this way in memory, so that its upright
// rows can then be decoded from the top down like those of any upright
// picture instead of the picture being decoded and held whole.
//
// The turn is lossless only where every edge that moves to the top or left
// holds whole blocks of the picture's colour subsampling (16 x 16 pixels for
// 4:2:0): the others are refused here, and the caller decodes the picture
// whole and turns the pixels instead.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>

namespace vistarium::render {

// The lossless turns, named by what they do to the stored picture.
enum class JpegTurn {
  None,
  MirrorLeftRight,       // about the vertical axis
  MirrorTopBottom,       // about the horizontal axis
  Transpose,             // mirror along the top-left to bottom-right diagonal
  Transverse,            // mirror along the top-right to bottom-left diagonal
  QuarterClockwise,
  HalfTurn,
  QuarterAnticlockwise,
};

// The turn that stands a picture of this EXIF orientation (1 to 8) upright;
// None for 1 and for values outside 1 to 8.
JpegTurn UprightTurn(int orientation);

// A JPEG made by the turn, in TurboJPEG's own buffer.
class TurnedJpeg {
public:
  TurnedJpeg() = default;
  TurnedJpeg(TurnedJpeg&& other) noexcept : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}
  TurnedJpeg& operator=(TurnedJpeg&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  std::span<const std::uint8_t> Bytes() const { return {data_.get(), size_}; }
  std::size_t Size() const { return size_; }

private:
  struct Free {
    void operator()(unsigned char* p) const;
  };
  std::unique_ptr<unsigned char, Free> data_;
  std::size_t size_ = 0;
  friend std::optional<TurnedJpeg> TurnJpegLosslessly(std::span<const std::uint8_t>, JpegTurn, bool);
};

// The JPEG `stored` turned by `turn` in the compressed domain, as a
// baseline JPEG (a progressive one becomes baseline too). With
// `keepMarkers` its APPn and comment segments (EXIF among them, unchanged)
// are copied, otherwise none. nullopt when the turn would not be lossless
// at an edge (see above), when the data is damaged (any warning of the
// decoder counts) or TurboJPEG fails otherwise: the caller then decodes
// the picture the ordinary way, which reports what is wrong. While it runs
// the turn holds the picture's coefficients, about 3 bytes a pixel for
// 4:2:0, and twice that for every turn but the left-right mirror, which
// moves the blocks in place.
std::optional<TurnedJpeg> TurnJpegLosslessly(std::span<const std::uint8_t> stored, JpegTurn turn,
                                             bool keepMarkers);

}  // namespace vistarium::render
