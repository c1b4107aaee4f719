#pragma once
// PNG files of display pictures (lossless, for views that are compared or
// looked at closely), written through stb_image_write.

#include <cstdint>
#include <string>
#include <vector>

#include "image/bitmaps.h"

namespace vistarium::render {

// The picture as a PNG file of 8-bit RGB (alpha is dropped).
std::vector<std::uint8_t> EncodePng(const Bitmap32& picture);

// EncodePng written as one file that appears whole or not at all. Throws
// PictureFileError naming `path` for an empty picture or a failed write.
void SavePngFile(const std::string& path, const Bitmap32& picture);

}  // namespace vistarium::render
