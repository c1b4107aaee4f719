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
#include <memory>
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
// like LoadPictureFile does; the pixel data is not read. A JPEG whose EXIF
// orientation turns it a quarter has its sides exchanged, as loaded.
PictureSize ReadPictureSize(const std::string& path, const PictureLimits& limits = {});

// Decodes the file chosen by its extension into a device bitmap; a JPEG
// stored turned or mirrored is turned upright by its EXIF orientation.
DeviceBitmap LoadPictureFile(const std::string& path, const PictureLimits& limits = {});

// In-memory decoders; `name` is the file name used in error messages. They
// give the picture as stored (LoadPictureFile turns it upright).
// Grayscale, YCbCr, RGB, CMYK and YCCK JPEGs, baseline or progressive.
// Bytes after the JPEG's end marker are ignored.
DeviceBitmap DecodeJpeg(std::span<const std::uint8_t> bytes, const std::string& name,
                        const PictureLimits& limits = {});
// Uncompressed BMPs of 1, 4, 8, 16, 24 or 32 bits a pixel, bottom-up or top-down.
DeviceBitmap DecodeBmp(std::span<const std::uint8_t> bytes, const std::string& name,
                       const PictureLimits& limits = {});

// ---------------------------------------------------------------------------
// Reduced and partial decoding

// A picture decoded at 1 / Factor of its size: a JPEG through the decoder's
// own scaling of its transform (1/2, 1/4, 1/8), which costs a fraction of a
// full decoding; a BMP decoded whole and averaged over Factor x Factor
// blocks. Pixel (c, r) covers the full-size pixels Factor c .. Factor (c + 1)
// - 1 (fewer at the right and bottom edges), so a full-size position p lies
// at p / Factor in it. Width and Height are the full size divided by Factor,
// rounded up. A JPEG stored turned or mirrored is turned upright; along an
// axis that turning reverses, the partial block comes first, and a
// full-size position p lies at (p + Offset) / Factor.
struct ReducedPicture {
  DeviceBitmap Picture;
  int Factor = 1;
  int OffsetX = 0, OffsetY = 0;
};
// `factor` must be 1, 2, 4 or 8.
ReducedPicture LoadReducedPicture(const std::string& path, int factor, const PictureLimits& limits = {});

// A grey picture, one byte a pixel (luma), row after row from the top.
struct GreyPictureData {
  int Width = 0;
  int Height = 0;
  std::vector<std::uint8_t> Values;
};
// The luma of a picture file at full size, upright. A JPEG gives its own
// luma channel without decoding the colour channels at all; other pictures
// are decoded in colour and weighted (77 red + 150 green + 29 blue) / 256.
GreyPictureData LoadGreyPicture(const std::string& path, const PictureLimits& limits = {});

// The rows of a picture file, decoded from the top down as they are asked
// for, of which only a window is held: a fill that walks down the panorama
// keeps a few hundred rows of each picture instead of the whole picture.
//
// A JPEG stored turned or mirrored (EXIF orientation 2 to 8), whose upright
// rows are not its stored rows, is turned upright in the compressed domain
// at the first request (render/lossless_turn.h), and its upright rows are
// then decoded from that JPEG held in memory (about the file's size; a
// progressive one becomes baseline, so it streams too). Rows
// so decoded may differ from the whole picture decoded and turned
// (LoadPictureFile) by the rounding of the inverse transform and of the
// colour upsampling: at most kTurnedLevelsOff levels in a channel (a level
// of luma and two of chroma, transform and upsampling, which the blue
// channel takes 1.772 times: 4.5), and kTurnedMeanLevelsOff on average (on
// photographs 3 or 4 levels at most and 0.05 to 0.08 on average).
//
// Pictures that cannot be decoded row by row (BMP, CMYK JPEG, a progressive
// JPEG stored upright, and a turned JPEG whose turn would not be lossless
// at an edge) are decoded whole at the first request, turned upright, and
// held as 3 bytes a pixel. `size` is the upright size.
// Not thread-safe; distinct streams may be used on distinct threads.
inline constexpr int kTurnedLevelsOff = 5;
inline constexpr double kTurnedMeanLevelsOff = 0.25;

struct RowStreamOptions {
  // false: a JPEG stored turned is decoded whole, turned and held (exactly
  // LoadPictureFile's pixels, at 3 bytes a pixel for as long as it is used).
  bool TurnLosslessly = true;
};

class PictureRowStream {
public:
  // Nothing is opened until the first Hold. The picture must turn out to
  // have `size`, or Hold throws.
  PictureRowStream(std::string path, PictureSize size, RowStreamOptions options = {});
  ~PictureRowStream();
  PictureRowStream(PictureRowStream&&) noexcept;
  PictureRowStream& operator=(PictureRowStream&&) noexcept;

  // Makes rows first..last (clipped to the picture) readable and releases
  // the rows above `first`. Rows come in order: asking for a row above one
  // already released decodes the picture again from the top (correct, but
  // slow; Restarts counts it).
  void Hold(int first, int last);
  bool Holds(int row) const;
  // Row y's pixels, 3 bytes each (red, green, blue), followed by at least
  // kRowPadding readable bytes; y must be held.
  const std::uint8_t* Row(int y) const;
  // The byte distance between consecutive held rows is not fixed: Row gives
  // each. Base and RowOffset give the same as one store and 32-bit offsets,
  // for gathering several pixels at once: Row(y) == Base() + RowOffset(y).
  const std::uint8_t* Base() const;
  std::int64_t RowOffset(int y) const;
  // Frees every row, the decoder and a turned JPEG.
  void Close();

  // The rows' store and a turned JPEG held in memory.
  std::size_t HeldBytes() const;
  int Restarts() const;
  const PictureSize& Size() const;
  static constexpr int kRowPadding = 4;

private:
  struct State;
  std::unique_ptr<State> state_;
};

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

// A JPEG (baseline, the encoding of EncodeJpeg) written as its rows come,
// band after band, into a temporary file beside `path` that Commit renames
// over `path`: the file appears whole or not at all, and the picture is
// never held whole. Without Commit (a failure, or the writer destroyed
// early) the temporary file is removed. Failures throw PictureFileError
// (CannotWrite naming `path`, CannotEncode for a size JPEG cannot hold).
class JpegFileWriter {
public:
  // The segments (metadata) go near the start, as EncodeJpeg writes them.
  JpegFileWriter(const std::string& path, int width, int height, int quality = kDefaultJpegQuality,
                 std::span<const JpegSegment> segments = {});
  ~JpegFileWriter();
  JpegFileWriter(const JpegFileWriter&) = delete;
  JpegFileWriter& operator=(const JpegFileWriter&) = delete;

  // The next `rows` rows, 3 bytes a pixel (red, green, blue), row after row.
  void WriteRows(const std::uint8_t* rgb, int rows);
  // After the last row: ends the JPEG, appends `tail` (a trailer) and puts
  // the file in place.
  void Commit(std::span<const std::uint8_t> tail = {});

private:
  struct State;
  std::unique_ptr<State> state_;
};

// Writes the bytes to a new file beside `path`, flushes it to the disk and
// renames it over `path`. On any failure the temporary file is removed and
// PictureFileError (CannotWrite) naming `path` is thrown; `path` then still
// holds its previous content (or does not exist).
void WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace vistarium::render
