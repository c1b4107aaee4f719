#pragma once
// Picture files: decoding JPEG and BMP files into device bitmaps, encoding
// JPEG, and writing a file so that it is either replaced whole or not at all.
//
// JPEG goes through libjpeg (IJG API), BMP through stb_image. The kind of a
// file is chosen by its extension alone (.jpg and .jpeg for JPEG, .bmp for
// BMP, in any letter case); the content must then be of that kind.
//
// Every failure that comes from the file (missing, unreadable, truncated,
// corrupt, of an unsupported kind, too large) is a PictureFileError whose
// text is one line naming the file and the problem.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "image/bitmaps.h"

namespace vistarium::render {

// Largest side of a picture, in pixels. It is libjpeg's own ceiling, so any
// picture that can be loaded can also be written back as JPEG.
inline constexpr int kMaxPictureSide = 65500;
// Largest picture, in pixels: 250 megapixels keep the decoded device bitmap
// (4 bytes a pixel) at or below 1 GB.
inline constexpr std::int64_t kMaxPicturePixels = 250'000'000;
// Largest picture file read into memory, in bytes (the BMP decoder counts
// its input in an int).
inline constexpr std::int64_t kMaxPictureFileBytes = 2'147'483'647;

// Size limits applied to a picture's header before any pixel store is made.
// The defaults are the program's; smaller ones suit tests and fuzzing.
struct PictureLimits {
  int MaxSide = kMaxPictureSide;
  std::int64_t MaxPixels = kMaxPicturePixels;
};

enum class PictureProblem {
  CannotOpen,          // the file cannot be opened (missing, no permission, a folder)
  CannotRead,          // reading failed part way
  CannotWrite,         // writing, flushing, closing or renaming failed
  Empty,               // zero bytes
  Truncated,           // the data ends before the picture does
  Corrupt,             // the data is of the right kind but damaged
  WrongContent,        // the content is not of the kind the extension names
  UnsupportedType,     // an extension other than .jpg, .jpeg or .bmp
  UnsupportedFeature,  // a valid file using a form the decoders do not handle
  TooLarge,            // beyond PictureLimits (or kMaxPictureFileBytes)
  CannotEncode,        // a picture that JPEG cannot hold
};

class PictureFileError : public std::runtime_error {
public:
  PictureFileError(PictureProblem problem, std::string file, const std::string& message)
      : std::runtime_error(message), problem_(problem), file_(std::move(file)) {}
  PictureProblem Problem() const noexcept { return problem_; }
  // The file named in the message (empty for an encoding failure).
  const std::string& File() const noexcept { return file_; }

private:
  PictureProblem problem_;
  std::string file_;
};

enum class PictureFormat { Jpeg, Bmp };

// The format named by the path's extension, compared case-insensitively;
// nullopt for any other extension or none.
std::optional<PictureFormat> PictureFormatFromPath(const std::string& path);

struct PictureSize {
  int Width = 0;
  int Height = 0;
  friend bool operator==(const PictureSize&, const PictureSize&) = default;
};

// Width and height from the file's header only, checked against the limits
// like LoadPictureFile does; the pixel data is not read.
PictureSize ReadPictureSize(const std::string& path, const PictureLimits& limits = {});

// Decodes the file chosen by its extension into a device bitmap.
DeviceBitmap LoadPictureFile(const std::string& path, const PictureLimits& limits = {});

// In-memory decoders; `name` is the file name used in error messages.
// Grayscale, YCbCr, RGB, CMYK and YCCK JPEGs, baseline or progressive.
// Bytes after the JPEG's end marker are ignored.
DeviceBitmap DecodeJpeg(std::span<const std::uint8_t> bytes, const std::string& name,
                        const PictureLimits& limits = {});
// Uncompressed BMPs of 1, 4, 8, 16, 24 or 32 bits a pixel, bottom-up or top-down.
DeviceBitmap DecodeBmp(std::span<const std::uint8_t> bytes, const std::string& name,
                       const PictureLimits& limits = {});

inline constexpr int kDefaultJpegQuality = 90;

// An application marker segment written into an encoded picture: APPn with
// n = App (0 to 15) and its body (at most kMaxJpegSegmentBytes), such as
// EXIF ("Exif\0\0" and a TIFF structure, APP1) or XMP (APP1).
inline constexpr std::size_t kMaxJpegSegmentBytes = 65533;
struct JpegSegment {
  int App = 1;
  std::vector<std::uint8_t> Data;
};

// Baseline (sequential) JPEG with three colour components, 4:2:0 chroma
// subsampling and the standard tables scaled to `quality` (1 to 100); the
// segments follow the JFIF header. Throws PictureFileError (CannotEncode)
// for an empty picture or a side above kMaxPictureSide,
// std::invalid_argument for a bad quality, a bad segment or a pixel store
// that does not match the size.
std::vector<std::uint8_t> EncodeJpeg(const Bitmap32& picture, int quality = kDefaultJpegQuality,
                                     std::span<const JpegSegment> segments = {});
std::vector<std::uint8_t> EncodeJpeg(const DeviceBitmap& picture, int quality = kDefaultJpegQuality,
                                     std::span<const JpegSegment> segments = {});
// The same for a picture made while it is encoded: fill(firstRow, rowCount,
// rgb) writes rowCount rows (a band of at most 16) of red, green and blue
// samples, width triples a row. A large picture is encoded in strips on all
// cores (with restart markers between its rows of blocks), so `fill` may be
// called from several threads at once, each time for other rows.
std::vector<std::uint8_t> EncodeJpegBands(int width, int height, int quality, std::span<const JpegSegment> segments,
                                          const std::function<void(int, int, std::uint8_t*)>& fill);

// Writes the bytes to a new file beside `path`, flushes it to the disk and
// renames it over `path`. On any failure the temporary file is removed and
// PictureFileError (CannotWrite) naming `path` is thrown; `path` then still
// holds its previous content (or does not exist).
void WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace vistarium::render
