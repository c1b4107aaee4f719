#include "render/png_file.h"

#include "render/picture_file.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb_image_write.h>

namespace vistarium::render {

namespace {

void Append(void* context, void* data, int size) {
  auto* bytes = static_cast<std::vector<std::uint8_t>*>(context);
  const auto* from = static_cast<const std::uint8_t*>(data);
  bytes->insert(bytes->end(), from, from + size);
}

}  // namespace

std::vector<std::uint8_t> EncodePng(const Bitmap32& picture) {
  if (picture.Width < 1 || picture.Height < 1 ||
      picture.Pixels.size() != CheckedPixelCount(picture.Width, picture.Height))
    throw PictureFileError(PictureProblem::CannotEncode, "", "A PNG picture needs at least one pixel");
  std::vector<std::uint8_t> rgb(CheckedPixelCount(picture.Width, picture.Height, 3));
  for (std::size_t k = 0; k < picture.Pixels.size(); ++k) {
    const std::uint32_t p = picture.Pixels[k];
    rgb[3 * k] = static_cast<std::uint8_t>(p >> 16);
    rgb[3 * k + 1] = static_cast<std::uint8_t>(p >> 8);
    rgb[3 * k + 2] = static_cast<std::uint8_t>(p);
  }
  std::vector<std::uint8_t> bytes;
  if (stbi_write_png_to_func(Append, &bytes, picture.Width, picture.Height, 3, rgb.data(), picture.Width * 3) == 0)
    throw PictureFileError(PictureProblem::CannotEncode, "", "The picture cannot be encoded as PNG");
  return bytes;
}

void SavePngFile(const std::string& path, const Bitmap32& picture) {
  std::vector<std::uint8_t> bytes;
  try {
    bytes = EncodePng(picture);
  } catch (const PictureFileError& e) {
    throw PictureFileError(e.Problem(), path, "Cannot save \"" + path + "\": " + std::string(e.what()));
  }
  WriteFileAtomically(path, bytes);
}

}  // namespace vistarium::render
