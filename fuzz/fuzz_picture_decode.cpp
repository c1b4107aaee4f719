// Feeds arbitrary bytes to both picture decoders. A PictureFileError is the
// expected answer to bad data; any other exception, a crash or a sanitizer
// report is a bug. A picture that decodes is encoded again and decoded once
// more, which must give back its size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "render/picture_file.h"

namespace {

using vistarium::DeviceBitmap;
namespace render = vistarium::render;

// Small limits keep every run quick; the checks themselves are the same.
constexpr render::PictureLimits kLimits{2048, 1 << 20};

void CheckReencoding(const DeviceBitmap& picture) {
  const std::vector<std::uint8_t> jpeg = render::EncodeJpeg(picture);
  const DeviceBitmap again = render::DecodeJpeg(jpeg, "re-encoded", kLimits);
  if (again.Width != picture.Width || again.Height != picture.Height ||
      again.Pixels.size() != picture.Pixels.size())
    std::abort();
}

void Try(DeviceBitmap (*decode)(std::span<const std::uint8_t>, const std::string&, const render::PictureLimits&),
         std::span<const std::uint8_t> bytes) {
  try {
    const DeviceBitmap picture = decode(bytes, "fuzz input", kLimits);
    if (picture.Width <= 0 || picture.Height <= 0 ||
        picture.Pixels.size() != static_cast<std::size_t>(picture.Width) * static_cast<std::size_t>(picture.Height))
      std::abort();
    for (const vistarium::PackedColor pixel : picture.Pixels)
      if ((static_cast<std::uint32_t>(pixel) & 0xFF000000u) != 0) std::abort();
    CheckReencoding(picture);
  } catch (const render::PictureFileError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  Try(render::DecodeJpeg, bytes);
  Try(render::DecodeBmp, bytes);
  return 0;
}
