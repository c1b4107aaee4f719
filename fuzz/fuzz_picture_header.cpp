// Feeds arbitrary bytes, as a JPEG file and as a BMP file, to the reader of
// picture headers (the size of every picture is checked before any is
// decoded). A PictureFileError is the expected answer to bad data; any other
// exception, a crash or a sanitizer report is a bug. Where the decoder reads
// the same bytes, both must agree on the size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>

#include "render/picture_file.h"
#include "scratch_file.h"

namespace {

namespace render = vistarium::render;

// Small limits keep every run quick; the checks themselves are the same.
constexpr render::PictureLimits kLimits{2048, 1 << 20};

void Check(const std::string& name, std::span<const std::uint8_t> bytes,
           vistarium::DeviceBitmap (*decode)(std::span<const std::uint8_t>, const std::string&,
                                             const render::PictureLimits&)) {
  const std::string file = vistarium::fuzz::ScratchFile(name, bytes.data(), bytes.size());
  std::optional<render::PictureSize> size;
  try {
    size = render::ReadPictureSize(file, kLimits);
    if (size->Width <= 0 || size->Height <= 0 || size->Width > kLimits.MaxSide || size->Height > kLimits.MaxSide)
      std::abort();
  } catch (const render::PictureFileError& e) {
    if (e.File() != file) std::abort();  // every message names the file
  }
  try {
    const vistarium::DeviceBitmap picture = decode(bytes, file, kLimits);
    if (size && !(*size == render::PictureSize{picture.Width, picture.Height})) std::abort();
  } catch (const render::PictureFileError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  Check("header.jpg", bytes, render::DecodeJpeg);
  Check("header.bmp", bytes, render::DecodeBmp);
  return 0;
}
