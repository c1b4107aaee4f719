#include "render/picture_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "params/file_access.h"

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
#include <jerror.h>
#include <stb_image.h>

#include "render/lossless_turn.h"
#include "render/picture_metadata.h"
#include "render/upright.h"

namespace vistarium::render {
namespace {

// ---------------------------------------------------------------------------
// Messages

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

[[noreturn]] void Throw(PictureProblem problem, const std::string& name, const std::string& detail = {}) {
  const std::string file = Quoted(name);
  std::string message;
  switch (problem) {
    case PictureProblem::CannotOpen: message = "Cannot open picture file " + file + ": " + detail; break;
    case PictureProblem::CannotRead: message = "Cannot read picture file " + file + ": " + detail; break;
    case PictureProblem::CannotWrite: message = "Cannot write file " + file + ": " + detail; break;
    case PictureProblem::Empty: message = "Picture file " + file + " is empty"; break;
    case PictureProblem::Truncated: message = "Picture file " + file + " is truncated"; break;
    case PictureProblem::Corrupt: message = "Picture file " + file + " is corrupt: " + detail; break;
    case PictureProblem::WrongContent: message = "Picture file " + file + " is not a " + detail + " picture"; break;
    case PictureProblem::UnsupportedType:
      message = "Picture file " + file + " has an unsupported type (use .jpg, .jpeg or .bmp)";
      break;
    case PictureProblem::UnsupportedFeature:
      message = "Picture file " + file + " is an unsupported kind of " + detail;
      break;
    case PictureProblem::TooLarge: message = "Picture file " + file + " is too large (" + detail + ")"; break;
    case PictureProblem::CannotEncode: message = "Cannot encode the picture as JPEG: " + detail; break;
  }
  throw PictureFileError(problem, name, message);
}

std::string PixelsText(std::int64_t width, std::int64_t height) {
  return std::to_string(width) + " x " + std::to_string(height) + " pixels";
}

// Refuses a header size of no pixels or beyond the limits. The sides are
// compared first so that the product cannot overflow.
PictureSize CheckedSize(std::int64_t width, std::int64_t height, const PictureLimits& limits,
                        const std::string& name) {
  if (width <= 0 || height <= 0) Throw(PictureProblem::Corrupt, name, "its size is " + PixelsText(width, height));
  if (width > limits.MaxSide || height > limits.MaxSide || width * height > limits.MaxPixels)
    Throw(PictureProblem::TooLarge, name, PixelsText(width, height));
  return {static_cast<int>(width), static_cast<int>(height)};
}

PackedColor PackRgb(unsigned red, unsigned green, unsigned blue) {
  return static_cast<PackedColor>(red | (green << 8) | (blue << 16));
}

// ---------------------------------------------------------------------------
// Reading files

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Opens a regular file for reading and reports its size. A named pipe or a
// device is refused without waiting for it.
FileHandle OpenPictureFile(const std::string& path, std::int64_t& size) {
  std::optional<params::RegularFile> regular;
  try {
    regular.emplace(path);
  } catch (const params::FileReadError& e) {
    Throw(PictureProblem::CannotOpen, path, e.Reason());
  }
  size = static_cast<std::int64_t>(regular->Size());
  if (size == 0) Throw(PictureProblem::Empty, path);
  FileHandle file(fdopen(regular->Descriptor(), "rb"));
  if (!file) Throw(PictureProblem::CannotOpen, path, params::SystemReason(errno));
  regular->Release();  // the stream closes it now
  return file;
}

// Reads up to `count` bytes from the current position.
std::vector<std::uint8_t> ReadBytes(std::FILE* file, std::size_t count, const std::string& path) {
  std::vector<std::uint8_t> bytes(count);
  std::size_t done = 0;
  while (done < count) {
    const std::size_t n = std::fread(bytes.data() + done, 1, count - done, file);
    if (n == 0) {
      if (std::ferror(file)) Throw(PictureProblem::CannotRead, path, params::SystemReason(errno));
      break;  // the file is shorter than it was a moment ago
    }
    done += n;
  }
  bytes.resize(done);
  return bytes;
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  std::int64_t size = 0;
  const FileHandle file = OpenPictureFile(path, size);
  if (size > kMaxPictureFileBytes) Throw(PictureProblem::TooLarge, path, std::to_string(size) + " bytes");
  std::vector<std::uint8_t> bytes = ReadBytes(file.get(), static_cast<std::size_t>(size), path);
  if (bytes.empty()) Throw(PictureProblem::Empty, path);
  return bytes;
}

// ---------------------------------------------------------------------------
// libjpeg sessions
//
// libjpeg reports a fatal error by calling error_exit, which must not return.
// Ours jumps back (longjmp) into CatchJpegErrors. Everything between that
// setjmp and the libjpeg call that fails is either libjpeg's C code or a
// lambda of ours that keeps no object with a destructor alive across libjpeg
// calls, so the jump skips no destructor. The objects that need cleaning up
// (the libjpeg struct, the output store) live in the caller, outside the jump.

struct JpegErrors {
  jpeg_error_mgr Manager;  // first member: libjpeg sees only this part
  std::jmp_buf Jump;
  bool Truncated;
  char Message[JMSG_LENGTH_MAX];
};

JpegErrors* ErrorsOf(j_common_ptr cinfo) { return reinterpret_cast<JpegErrors*>(cinfo->err); }

[[noreturn]] void LeaveJpeg(j_common_ptr cinfo) {
  JpegErrors* errors = ErrorsOf(cinfo);
  (*cinfo->err->format_message)(cinfo, errors->Message);
  std::longjmp(errors->Jump, 1);
}

void OnJpegError(j_common_ptr cinfo) { LeaveJpeg(cinfo); }

// Warnings (level -1) about damaged data end the decoding as errors: libjpeg
// would go on and fill the rest of the picture with grey. Harmless ones
// about markers and stray bytes between segments are counted and ignored;
// trace messages (level 0 and up) are ignored.
void OnJpegMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  switch (cinfo->err->msg_code) {
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_JFIF_MAJOR:
    case JWRN_ADOBE_XFORM:
    case JWRN_TOO_MUCH_DATA:
      ++cinfo->err->num_warnings;
      return;
    default:
      break;
  }
  ErrorsOf(cinfo)->Truncated = cinfo->err->msg_code == JWRN_JPEG_EOF;
  LeaveJpeg(cinfo);
}

void IgnoreJpegOutput(j_common_ptr) {}

// Runs `work`; returns false when libjpeg reported an error inside it.
template <typename Work>
bool CatchJpegErrors(JpegErrors& errors, Work& work) {
  if (setjmp(errors.Jump) != 0) return false;
  work();
  return true;
}

// One libjpeg compressor or decompressor with our error handling; destroyed
// with the session on every way out.
template <typename Codec>
class JpegSession {
public:
  JpegSession() {
    Info.err = jpeg_std_error(&Errors.Manager);
    Errors.Manager.error_exit = OnJpegError;
    Errors.Manager.emit_message = OnJpegMessage;
    Errors.Manager.output_message = IgnoreJpegOutput;
  }
  ~JpegSession() { jpeg_destroy(reinterpret_cast<j_common_ptr>(&Info)); }
  JpegSession(const JpegSession&) = delete;
  JpegSession& operator=(const JpegSession&) = delete;

  template <typename Work>
  bool Try(Work&& work) {
    return CatchJpegErrors(Errors, work);
  }
  int Code() const { return Errors.Manager.msg_code; }

  Codec Info{};  // zeroed, so destroying it before creation is harmless
  JpegErrors Errors{};
};

class JpegReader : public JpegSession<jpeg_decompress_struct> {
public:
  explicit JpegReader(const std::string& name) : name_(name) {
    Run([this] { jpeg_create_decompress(&Info); });
  }

  template <typename Work>
  void Run(Work&& work) {
    if (!Try(work)) Raise();
  }

  // Reads the markers up to the first scan and checks the size (as stored).
  // The APP1 segments are kept for Orientation.
  PictureSize ReadHeader(const PictureLimits& limits) {
    Run([this] {
      jpeg_save_markers(&Info, JPEG_APP0 + 1, 0xFFFF);
      jpeg_read_header(&Info, TRUE);
    });
    return CheckedSize(Info.image_width, Info.image_height, limits, name_);
  }

  // After ReadHeader: the EXIF orientation (1 to 8; 1 without EXIF or tag),
  // which says how the stored picture is turned upright.
  int Orientation() const {
    static constexpr unsigned char kExif[] = {'E', 'x', 'i', 'f', 0, 0};
    for (jpeg_saved_marker_ptr m = Info.marker_list; m != nullptr; m = m->next)
      if (m->marker == JPEG_APP0 + 1 && m->data_length > sizeof kExif &&
          std::equal(std::begin(kExif), std::end(kExif), m->data))
        return ReadExifBlock(std::span<const std::uint8_t>(m->data + sizeof kExif, m->data_length - sizeof kExif))
            .Orientation;
    return 1;
  }

  DeviceBitmap ReadPixels();

private:
  [[noreturn]] void Raise() const;

  const std::string& name_;
};

void JpegReader::Raise() const {
  if (Errors.Truncated) Throw(PictureProblem::Truncated, name_);
  switch (Code()) {
    case JERR_OUT_OF_MEMORY:
      throw std::bad_alloc();
    case JERR_NO_SOI:
      Throw(PictureProblem::WrongContent, name_, "JPEG");
    case JERR_IMAGE_TOO_BIG:
    case JERR_WIDTH_OVERFLOW:
      Throw(PictureProblem::TooLarge, name_, PixelsText(Info.image_width, Info.image_height));
    case JERR_BAD_PRECISION:
    case JERR_SOF_UNSUPPORTED:
    case JERR_NOT_COMPILED:
    case JERR_CONVERSION_NOTIMPL:
      Throw(PictureProblem::UnsupportedFeature, name_, std::string("JPEG: ") + Errors.Message);
    default:
      Throw(PictureProblem::Corrupt, name_, Errors.Message);
  }
}

// Appends one decoded row (1, 3 or 4 samples a pixel) as packed colours.
// Four samples are CMYK; Adobe applications store them inverted (255 means
// no ink), which the APP14 marker tells.
void AppendJpegRow(std::vector<PackedColor>& pixels, const JSAMPLE* row, unsigned width, int components,
                   bool invertedCmyk) {
  const std::size_t start = pixels.size();
  pixels.resize(start + width);  // within the reserved store: does not allocate
  PackedColor* out = pixels.data() + start;
  for (unsigned x = 0; x < width; ++x) {
    if (components == 1) {
      const unsigned g = row[x];
      out[x] = PackRgb(g, g, g);
    } else if (components == 3) {
      const JSAMPLE* p = row + 3 * static_cast<std::size_t>(x);
      out[x] = PackRgb(p[0], p[1], p[2]);
    } else {
      const JSAMPLE* p = row + 4 * static_cast<std::size_t>(x);
      unsigned c = p[0], m = p[1], y = p[2], k = p[3];
      if (!invertedCmyk) {
        c = 255 - c;
        m = 255 - m;
        y = 255 - y;
        k = 255 - k;
      }
      // Now each value is 255 minus the ink; the colour is (1 - ink) * (1 - black).
      out[x] = PackRgb((c * k + 127) / 255, (m * k + 127) / 255, (y * k + 127) / 255);
    }
  }
}

DeviceBitmap JpegReader::ReadPixels() {
  switch (Info.jpeg_color_space) {
    case JCS_GRAYSCALE:
      Info.out_color_space = JCS_GRAYSCALE;
      break;
    case JCS_YCbCr:
    case JCS_RGB:
      Info.out_color_space = JCS_RGB;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      Info.out_color_space = JCS_CMYK;
      break;
    default:
      Throw(PictureProblem::UnsupportedFeature, name_,
            "JPEG: colour space of " + std::to_string(Info.num_components) + " components");
  }
  DeviceBitmap picture;
  // The store is reserved, not filled: its pages are touched only as rows
  // arrive, so damaged data that ends early costs little.
  // (The output size, which a requested scaling makes smaller.)
  Run([this] { jpeg_calc_output_dimensions(&Info); });
  picture.Pixels.reserve(CheckedPixelCount(static_cast<int>(Info.output_width), static_cast<int>(Info.output_height)));
  const bool invertedCmyk = Info.saw_Adobe_marker;
  bool stalled = false;
  Run([&] {
    jpeg_start_decompress(&Info);
    JSAMPARRAY row = (*Info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&Info), JPOOL_IMAGE,
                                               Info.output_width * static_cast<JDIMENSION>(Info.output_components), 1);
    while (Info.output_scanline < Info.output_height) {
      if (jpeg_read_scanlines(&Info, row, 1) != 1) {
        stalled = true;  // only a suspending data source does this
        return;
      }
      AppendJpegRow(picture.Pixels, row[0], Info.output_width, Info.output_components, invertedCmyk);
    }
    jpeg_finish_decompress(&Info);
  });
  if (stalled) Throw(PictureProblem::Truncated, name_);
  picture.Width = static_cast<int>(Info.output_width);
  picture.Height = static_cast<int>(Info.output_height);
  return picture;
}

// A JPEG in memory as stored, and its EXIF orientation when asked for.
DeviceBitmap DecodeJpegBytes(std::span<const std::uint8_t> bytes, const std::string& name, const PictureLimits& limits,
                             int* orientation) {
  if (bytes.empty()) Throw(PictureProblem::Empty, name);
  if (bytes.size() > static_cast<std::uint64_t>(kMaxPictureFileBytes))
    Throw(PictureProblem::TooLarge, name, std::to_string(bytes.size()) + " bytes");
  JpegReader reader(name);
  reader.Run([&] { jpeg_mem_src(&reader.Info, bytes.data(), static_cast<unsigned long>(bytes.size())); });
  reader.ReadHeader(limits);
  if (orientation) *orientation = reader.Orientation();
  return reader.ReadPixels();
}

// ---------------------------------------------------------------------------
// BMP

// The short reasons stb_image gives for a BMP it refuses.
[[noreturn]] void RaiseBmpFailure(const std::string& name) {
  const char* reason = stbi_failure_reason();
  const std::string why = reason != nullptr ? reason : "";
  if (why == "outofmem") throw std::bad_alloc();
  if (why == "BMP RLE") Throw(PictureProblem::UnsupportedFeature, name, "BMP: run-length compression");
  if (why == "BMP JPEG/PNG") Throw(PictureProblem::UnsupportedFeature, name, "BMP: embedded compression");
  if (why == "unknown BMP" || why == "unknown image type") Throw(PictureProblem::UnsupportedFeature, name, "BMP: unknown header version");
  if (why == "bad bpp") Throw(PictureProblem::Corrupt, name, "invalid number of bits a pixel");
  if (why == "bad masks") Throw(PictureProblem::Corrupt, name, "invalid colour masks");
  if (why == "bad offset") Throw(PictureProblem::Corrupt, name, "invalid pixel data offset");
  if (why == "invalid") Throw(PictureProblem::Corrupt, name, "invalid colour table");
  Throw(PictureProblem::Corrupt, name, why.empty() || why == "bad BMP" ? "invalid header" : why);
}

std::uint32_t LittleEndian(std::span<const std::uint8_t> bytes, std::size_t at, int count) {
  std::uint32_t v = 0;
  for (int i = count - 1; i >= 0; --i) v = (v << 8) | bytes[at + static_cast<std::size_t>(i)];
  return v;
}

// Checks the BMP header at the start of `head` (the whole file or its first
// bytes) against a file of `fileSize` bytes: the signature, the size and
// whether the pixel rows fit in the file. stb_image reads zeros past the end
// of its data, so a cut file must be caught here.
PictureSize InspectBmp(std::span<const std::uint8_t> head, std::uint64_t fileSize, const PictureLimits& limits,
                       const std::string& name) {
  if (head.size() < 2 || head[0] != 'B' || head[1] != 'M') Throw(PictureProblem::WrongContent, name, "BMP");
  constexpr std::size_t kFileHeader = 14;
  if (fileSize < kFileHeader + 4 || head.size() < kFileHeader + 4) Throw(PictureProblem::Truncated, name);
  const std::uint32_t infoSize = LittleEndian(head, kFileHeader, 4);
  const bool knownInfo =
      infoSize == 12 || infoSize == 40 || infoSize == 56 || infoSize == 108 || infoSize == 124;
  if (knownInfo && (fileSize < kFileHeader + infoSize || head.size() < kFileHeader + infoSize))
    Throw(PictureProblem::Truncated, name);

  int x = 0, y = 0, comp = 0;
  if (stbi_info_from_memory(head.data(), static_cast<int>(head.size()), &x, &y, &comp) == 0) {
    // stbi_info keeps only a generic reason. The loader checks the header
    // the same way and fails before allocating anything, with the BMP
    // decoder's own reason.
    stbi_image_free(stbi_load_from_memory(head.data(), static_cast<int>(head.size()), &x, &y, &comp, 3));
    RaiseBmpFailure(name);
  }
  // Width is a signed field that must be positive; a negative height marks
  // rows stored from the top. The 12-byte header holds unsigned 16-bit sides.
  const std::int64_t width = x;
  const std::int64_t height = y < 0 ? -static_cast<std::int64_t>(y) : y;
  const PictureSize size = CheckedSize(width, height, limits, name);

  const std::uint32_t dataOffset = LittleEndian(head, 10, 4);
  const std::uint32_t bitsPerPixel = LittleEndian(head, infoSize == 12 ? 24 : 28, 2);
  const std::uint32_t compression = infoSize == 12 ? 0 : LittleEndian(head, 30, 4);
  if (compression == 0 || compression == 3) {  // plain rows, possibly with colour masks
    const std::uint64_t rowBytes = (static_cast<std::uint64_t>(size.Width) * bitsPerPixel + 31) / 32 * 4;
    const std::uint64_t needed = dataOffset + rowBytes * static_cast<std::uint64_t>(size.Height);
    if (fileSize < needed) Throw(PictureProblem::Truncated, name);
  }
  return size;
}

// ---------------------------------------------------------------------------
// JPEG encoding into a growing byte vector

constexpr std::size_t kFirstOutputBytes = 64 * 1024;

struct VectorDestination {
  jpeg_destination_mgr Manager;  // first member: libjpeg sees only this part
  std::vector<std::uint8_t>* Bytes;
};

VectorDestination* DestinationOf(j_compress_ptr cinfo) { return reinterpret_cast<VectorDestination*>(cinfo->dest); }

bool ResizeQuietly(std::vector<std::uint8_t>& bytes, std::size_t size) noexcept {
  try {
    bytes.resize(size);
    return true;
  } catch (...) {
    return false;
  }
}

void StartDestination(j_compress_ptr cinfo) {
  VectorDestination* d = DestinationOf(cinfo);
  if (!ResizeQuietly(*d->Bytes, kFirstOutputBytes)) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
  d->Manager.next_output_byte = d->Bytes->data();
  d->Manager.free_in_buffer = d->Bytes->size();
}

// Called when the whole buffer is full: doubles it.
boolean GrowDestination(j_compress_ptr cinfo) {
  VectorDestination* d = DestinationOf(cinfo);
  const std::size_t used = d->Bytes->size();
  if (used > d->Bytes->max_size() / 2 || !ResizeQuietly(*d->Bytes, used * 2)) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 2);
  d->Manager.next_output_byte = d->Bytes->data() + used;
  d->Manager.free_in_buffer = d->Bytes->size() - used;
  return TRUE;
}

void FinishDestination(j_compress_ptr cinfo) {
  VectorDestination* d = DestinationOf(cinfo);
  d->Bytes->resize(d->Bytes->size() - d->Manager.free_in_buffer);  // shrinking: cannot throw
}

void CheckEncoding(int width, int height, int quality, std::span<const JpegSegment> segments) {
  if (quality < 1 || quality > 100) throw std::invalid_argument("JPEG quality must be 1 to 100");
  if (width <= 0 || height <= 0 || width > kMaxPictureSide || height > kMaxPictureSide)
    Throw(PictureProblem::CannotEncode, {},
          "a picture of " + PixelsText(width, height) + " (each side must be 1 to " +
              std::to_string(kMaxPictureSide) + ")");
  for (const JpegSegment& segment : segments)
    if (segment.App < 0 || segment.App > 15 || segment.Data.size() > kMaxJpegSegmentBytes)
      throw std::invalid_argument("A JPEG marker segment must be APP0 to APP15 of at most 65533 bytes");
}

// Encodes rows firstRow .. firstRow + height - 1 of a picture `width` wide as
// a JPEG of their own, their samples from fill(firstRow, rowCount, rgb) in
// bands of up to 16 rows. The segments follow the start of the picture (and
// its JFIF header) as APPn markers. With `restarts`, a restart marker ends
// every row of 16-pixel blocks.
template <typename FillBand>
std::vector<std::uint8_t> EncodeStrip(int width, int firstRow, int height, int quality,
                                      std::span<const JpegSegment> segments, bool restarts, FillBand&& fill) {
  std::vector<std::uint8_t> bytes;
  VectorDestination destination{};
  destination.Manager.init_destination = StartDestination;
  destination.Manager.empty_output_buffer = GrowDestination;
  destination.Manager.term_destination = FinishDestination;
  destination.Bytes = &bytes;

  constexpr int kBandRows = 16;
  std::vector<std::uint8_t> band(static_cast<std::size_t>(width) * 3u * kBandRows);
  JpegSession<jpeg_compress_struct> session;
  jpeg_compress_struct& c = session.Info;
  const bool done = session.Try([&] {
    jpeg_create_compress(&c);
    c.dest = &destination.Manager;
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);  // sequential Huffman coding, YCbCr 4:2:0
    jpeg_set_quality(&c, quality, TRUE);
    if (restarts) c.restart_in_rows = 1;
    jpeg_start_compress(&c, TRUE);
    for (const JpegSegment& segment : segments)
      jpeg_write_marker(&c, JPEG_APP0 + segment.App, segment.Data.data(),
                        static_cast<unsigned int>(segment.Data.size()));
    JSAMPROW rows[kBandRows];
    while (c.next_scanline < c.image_height) {
      const int first = static_cast<int>(c.next_scanline);
      const int count = std::min(kBandRows, height - first);
      fill(firstRow + first, count, band.data());
      for (int k = 0; k < count; ++k) rows[k] = band.data() + static_cast<std::size_t>(k) * width * 3u;
      JDIMENSION written = 0;
      while (written < static_cast<JDIMENSION>(count))
        written += jpeg_write_scanlines(&c, rows + written, static_cast<JDIMENSION>(count) - written);
    }
    jpeg_finish_compress(&c);
  });
  if (!done) {
    if (session.Code() == JERR_OUT_OF_MEMORY) throw std::bad_alloc();
    Throw(PictureProblem::CannotEncode, {}, session.Errors.Message);
  }
  return bytes;
}

template <typename FillBand>
std::vector<std::uint8_t> EncodeBands(int width, int height, int quality, std::span<const JpegSegment> segments,
                                      FillBand&& fill) {
  CheckEncoding(width, height, quality, segments);
  return EncodeStrip(width, 0, height, quality, segments, false, fill);
}

// Where the marker segments of an encoded strip end and its scan data
// begins (just after the start-of-scan segment), and where its frame
// header's height field lies.
struct StripLayout {
  std::size_t ScanData = 0, HeightField = 0;
};
StripLayout LayoutOfStrip(const std::vector<std::uint8_t>& b) {
  StripLayout layout;
  std::size_t at = 2;  // after SOI
  while (at + 4 <= b.size() && b[at] == 0xFF) {
    const std::uint8_t marker = b[at + 1];
    const std::size_t length = (static_cast<std::size_t>(b[at + 2]) << 8) | b[at + 3];
    if (marker == 0xC0) layout.HeightField = at + 5;
    at += 2 + length;
    if (marker == 0xDA) {
      layout.ScanData = at;
      return layout;
    }
  }
  throw std::logic_error("An encoded strip has no scan");
}

// The same picture encoded in horizontal strips on all cores: each strip
// a multiple of eight rows of 16-pixel blocks, encoded with a restart
// marker after every block row, so that the strips' scan data joined with
// the restart marker due between them (RST7) is the scan of the whole
// picture. Pictures too small to gain are encoded in one piece.
template <typename FillBand>
std::vector<std::uint8_t> EncodeBandsOnAllCores(int width, int height, int quality,
                                                std::span<const JpegSegment> segments, FillBand&& fill) {
  CheckEncoding(width, height, quality, segments);
  int threads = 1;
#ifdef _OPENMP
  threads = omp_get_max_threads();
#endif
  const int blockRows = (height + 15) / 16;
  const int stripBlockRows = 8 * std::max(1, (blockRows + 8 * 2 * threads - 1) / (8 * 2 * threads));
  const int strips = (blockRows + stripBlockRows - 1) / stripBlockRows;
  if (threads < 2 || strips < 2 || static_cast<std::int64_t>(width) * height < 4'000'000)
    return EncodeStrip(width, 0, height, quality, segments, false, fill);
  std::vector<std::vector<std::uint8_t>> parts(static_cast<std::size_t>(strips));
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(strips));
#pragma omp parallel for schedule(dynamic, 1)
  for (int k = 0; k < strips; ++k) {
    try {
      const int first = k * stripBlockRows * 16, rows = std::min(height - first, stripBlockRows * 16);
      parts[static_cast<std::size_t>(k)] =
          EncodeStrip(width, first, rows, quality, k == 0 ? segments : std::span<const JpegSegment>(), true, fill);
    } catch (...) {
      failures[static_cast<std::size_t>(k)] = std::current_exception();
    }
  }
  for (const auto& f : failures)
    if (f) std::rethrow_exception(f);
  std::vector<std::uint8_t> bytes = std::move(parts[0]);
  const StripLayout first = LayoutOfStrip(bytes);
  bytes[first.HeightField] = static_cast<std::uint8_t>(height >> 8);
  bytes[first.HeightField + 1] = static_cast<std::uint8_t>(height & 0xFF);
  bytes.resize(bytes.size() - 2);  // its end of image
  for (int k = 1; k < strips; ++k) {
    const std::vector<std::uint8_t>& part = parts[static_cast<std::size_t>(k)];
    bytes.push_back(0xFF);
    bytes.push_back(0xD7);
    bytes.insert(bytes.end(), part.begin() + static_cast<std::ptrdiff_t>(LayoutOfStrip(part).ScanData), part.end() - 2);
  }
  bytes.push_back(0xFF);
  bytes.push_back(0xD9);
  return bytes;
}

// Encodes Width x Height pixels stored by rows; toRgb writes one pixel's
// red, green and blue samples.
template <typename Pixel, typename ToRgb>
std::vector<std::uint8_t> EncodeRows(int width, int height, const std::vector<Pixel>& pixels, int quality,
                                     std::span<const JpegSegment> segments, ToRgb toRgb) {
  if (width > 0 && height > 0 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
      pixels.size() != CheckedPixelCount(width, height))
    throw std::invalid_argument("Picture pixel store does not match its size");
  return EncodeBands(width, height, quality, segments, [&](int first, int count, std::uint8_t* rgb) {
    const Pixel* source = pixels.data() + static_cast<std::size_t>(first) * static_cast<std::size_t>(width);
    for (std::size_t k = 0; k < static_cast<std::size_t>(count) * static_cast<std::size_t>(width); ++k, rgb += 3)
      toRgb(source[k], rgb);
  });
}

}  // namespace

// ---------------------------------------------------------------------------

std::optional<PictureFormat> PictureFormatFromPath(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::nullopt;
  std::string extension = path.substr(dot);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  if (extension == ".jpg" || extension == ".jpeg") return PictureFormat::Jpeg;
  if (extension == ".bmp") return PictureFormat::Bmp;
  return std::nullopt;
}

PictureSize ReadPictureSize(const std::string& path, const PictureLimits& limits) {
  const std::optional<PictureFormat> format = PictureFormatFromPath(path);
  if (!format) Throw(PictureProblem::UnsupportedType, path);
  std::int64_t size = 0;
  const FileHandle file = OpenPictureFile(path, size);
  if (*format == PictureFormat::Bmp) {
    // The largest BMP header the decoder knows is 14 + 124 bytes.
    const std::vector<std::uint8_t> head = ReadBytes(file.get(), 256, path);
    return InspectBmp(head, static_cast<std::uint64_t>(size), limits, path);
  }
  JpegReader reader(path);
  reader.Run([&] { jpeg_stdio_src(&reader.Info, file.get()); });
  const PictureSize stored = reader.ReadHeader(limits);
  // The size the picture has once turned upright.
  if (OrientationSwapsSides(reader.Orientation())) return {stored.Height, stored.Width};
  return stored;
}

DeviceBitmap LoadPictureFile(const std::string& path, const PictureLimits& limits) {
  const std::optional<PictureFormat> format = PictureFormatFromPath(path);
  if (!format) Throw(PictureProblem::UnsupportedType, path);
  const std::vector<std::uint8_t> bytes = ReadWholeFile(path);
  if (*format == PictureFormat::Bmp) return DecodeBmp(bytes, path, limits);
  int orientation = 1;
  DeviceBitmap stored = DecodeJpegBytes(bytes, path, limits, &orientation);
  return UprightPicture(std::move(stored), orientation);
}

DeviceBitmap DecodeJpeg(std::span<const std::uint8_t> bytes, const std::string& name, const PictureLimits& limits) {
  return DecodeJpegBytes(bytes, name, limits, nullptr);
}

DeviceBitmap DecodeBmp(std::span<const std::uint8_t> bytes, const std::string& name, const PictureLimits& limits) {
  if (bytes.empty()) Throw(PictureProblem::Empty, name);
  if (bytes.size() > static_cast<std::uint64_t>(kMaxPictureFileBytes))
    Throw(PictureProblem::TooLarge, name, std::to_string(bytes.size()) + " bytes");
  const PictureSize size = InspectBmp(bytes, bytes.size(), limits, name);

  int width = 0, height = 0, channels = 0;
  const std::unique_ptr<stbi_uc, void (*)(void*)> rgb(
      stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &width, &height, &channels, 3),
      stbi_image_free);
  if (!rgb) RaiseBmpFailure(name);
  if (width != size.Width || height != size.Height) Throw(PictureProblem::Corrupt, name, "inconsistent header");

  DeviceBitmap picture(width, height);
  const stbi_uc* p = rgb.get();
  for (PackedColor& pixel : picture.Pixels) {
    pixel = PackRgb(p[0], p[1], p[2]);
    p += 3;
  }
  return picture;
}

std::vector<std::uint8_t> EncodeJpeg(const Bitmap32& picture, int quality, std::span<const JpegSegment> segments) {
  return EncodeRows(picture.Width, picture.Height, picture.Pixels, quality, segments, [](std::uint32_t argb, JSAMPLE* rgb) {
    rgb[0] = static_cast<JSAMPLE>((argb >> 16) & 0xFFu);
    rgb[1] = static_cast<JSAMPLE>((argb >> 8) & 0xFFu);
    rgb[2] = static_cast<JSAMPLE>(argb & 0xFFu);
  });
}

std::vector<std::uint8_t> EncodeJpeg(const DeviceBitmap& picture, int quality, std::span<const JpegSegment> segments) {
  return EncodeRows(picture.Width, picture.Height, picture.Pixels, quality, segments, [](PackedColor packed, JSAMPLE* rgb) {
    const auto bgr = static_cast<std::uint32_t>(packed);
    rgb[0] = static_cast<JSAMPLE>(bgr & 0xFFu);
    rgb[1] = static_cast<JSAMPLE>((bgr >> 8) & 0xFFu);
    rgb[2] = static_cast<JSAMPLE>((bgr >> 16) & 0xFFu);
  });
}

std::vector<std::uint8_t> EncodeJpegBands(int width, int height, int quality, std::span<const JpegSegment> segments,
                                          const std::function<void(int, int, std::uint8_t*)>& fill) {
  return EncodeBandsOnAllCores(width, height, quality, segments, fill);
}

void WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes) {
  try {
    params::WriteWholeFile(path, bytes);
  } catch (const params::FileWriteError& e) {
    Throw(PictureProblem::CannotWrite, path, e.Reason());
  }
}

// ---------------------------------------------------------------------------
// Reduced and partial decoding

namespace {

std::uint8_t LumaOf(PackedColor c) {
  const auto u = static_cast<unsigned>(c);
  return static_cast<std::uint8_t>((77u * (u & 0xFFu) + 150u * ((u >> 8) & 0xFFu) + 29u * ((u >> 16) & 0xFFu) + 128u) >> 8);
}

// Mean of factor x factor blocks (fewer pixels at the right and bottom edges).
DeviceBitmap BlockMeans(const DeviceBitmap& full, int factor) {
  const int w = (full.Width + factor - 1) / factor, h = (full.Height + factor - 1) / factor;
  DeviceBitmap out(w, h);
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) {
      unsigned sum[3] = {0, 0, 0}, n = 0;
      for (int y = r * factor; y < std::min(full.Height, (r + 1) * factor); ++y)
        for (int x = c * factor; x < std::min(full.Width, (c + 1) * factor); ++x) {
          const auto u = static_cast<unsigned>(full.Pixel(x, y));
          sum[0] += u & 0xFFu;
          sum[1] += (u >> 8) & 0xFFu;
          sum[2] += (u >> 16) & 0xFFu;
          ++n;
        }
      out.SetPixel(c, r, PackRgb((sum[0] + n / 2) / n, (sum[1] + n / 2) / n, (sum[2] + n / 2) / n));
    }
  return out;
}

// JPEG colour spaces the decoder turns into grey or RGB by itself.
bool DecoderConverts(J_COLOR_SPACE space) {
  return space == JCS_GRAYSCALE || space == JCS_YCbCr || space == JCS_RGB;
}

}  // namespace

ReducedPicture LoadReducedPicture(const std::string& path, int factor, const PictureLimits& limits) {
  if (factor != 1 && factor != 2 && factor != 4 && factor != 8)
    throw std::invalid_argument("A picture is reduced by 1, 2, 4 or 8");
  const std::optional<PictureFormat> format = PictureFormatFromPath(path);
  if (!format) Throw(PictureProblem::UnsupportedType, path);
  const std::vector<std::uint8_t> bytes = ReadWholeFile(path);
  ReducedPicture reduced;
  reduced.Factor = factor;
  if (*format == PictureFormat::Bmp) {
    reduced.Picture = DecodeBmp(bytes, path, limits);
    if (factor > 1) reduced.Picture = BlockMeans(reduced.Picture, factor);
    return reduced;
  }
  JpegReader reader(path);
  reader.Run([&] { jpeg_mem_src(&reader.Info, bytes.data(), static_cast<unsigned long>(bytes.size())); });
  const PictureSize stored = reader.ReadHeader(limits);
  const int orientation = reader.Orientation();
  reader.Info.scale_num = 1;
  reader.Info.scale_denom = static_cast<unsigned>(factor);
  reduced.Picture = UprightPicture(reader.ReadPixels(), orientation);
  // An axis turned round starts with the partial block the stored picture
  // ends with: a full-size position lies that much further on.
  const bool swap = OrientationSwapsSides(orientation);
  const int width = swap ? stored.Height : stored.Width, height = swap ? stored.Width : stored.Height;
  if (OrientationReversesX(orientation)) reduced.OffsetX = reduced.Picture.Width * factor - width;
  if (OrientationReversesY(orientation)) reduced.OffsetY = reduced.Picture.Height * factor - height;
  return reduced;
}

GreyPictureData LoadGreyPicture(const std::string& path, const PictureLimits& limits) {
  const std::optional<PictureFormat> format = PictureFormatFromPath(path);
  if (!format) Throw(PictureProblem::UnsupportedType, path);
  GreyPictureData grey;
  const auto fromColour = [&grey](const DeviceBitmap& picture) {
    grey.Width = picture.Width;
    grey.Height = picture.Height;
    grey.Values.resize(picture.Pixels.size());
    std::transform(picture.Pixels.begin(), picture.Pixels.end(), grey.Values.begin(), LumaOf);
  };
  const std::vector<std::uint8_t> bytes = ReadWholeFile(path);
  if (*format == PictureFormat::Bmp) {
    fromColour(DecodeBmp(bytes, path, limits));
    return grey;
  }
  JpegReader reader(path);
  reader.Run([&] { jpeg_mem_src(&reader.Info, bytes.data(), static_cast<unsigned long>(bytes.size())); });
  const PictureSize size = reader.ReadHeader(limits);
  const int orientation = reader.Orientation();
  if (!DecoderConverts(reader.Info.jpeg_color_space)) {
    fromColour(UprightPicture(reader.ReadPixels(), orientation));
    return grey;
  }
  grey.Width = size.Width;
  grey.Height = size.Height;
  grey.Values.resize(CheckedPixelCount(size.Width, size.Height));
  bool stalled = false;
  reader.Run([&] {
    reader.Info.out_color_space = JCS_GRAYSCALE;
    jpeg_start_decompress(&reader.Info);
    while (reader.Info.output_scanline < reader.Info.output_height) {
      JSAMPROW row = grey.Values.data() + static_cast<std::size_t>(reader.Info.output_scanline) * grey.Width;
      if (jpeg_read_scanlines(&reader.Info, &row, 1) != 1) {
        stalled = true;
        return;
      }
    }
    jpeg_finish_decompress(&reader.Info);
  });
  if (stalled) Throw(PictureProblem::Truncated, path);
  grey.Values = UprightValues(std::move(grey.Values), grey.Width, grey.Height, orientation);
  if (OrientationSwapsSides(orientation)) std::swap(grey.Width, grey.Height);
  return grey;
}

struct PictureRowStream::State {
  std::string Path;
  PictureSize Size;
  RowStreamOptions Options;
  FileHandle File;
  TurnedJpeg Turned;  // the picture turned upright, read by Reader (declared first: outlives it)
  std::unique_ptr<JpegReader> Reader;
  bool Whole = false;    // the whole picture is held
  bool Started = false;
  std::vector<std::uint8_t> Store;
  std::size_t Stride = 0;  // bytes from one row slot to the next
  int Capacity = 0;        // row slots; rows lie in slot y mod Capacity
  int First = 0, End = 0;  // rows First..End-1 are held
  int Restarts = 0;

  std::uint8_t* Slot(int y) {
    return Store.data() + static_cast<std::size_t>(Whole ? y : y % Capacity) * Stride;
  }
  [[noreturn]] void WrongSize(int width, int height) const {
    throw std::runtime_error("Picture \"" + Path + "\" is no longer " + std::to_string(Size.Width) + " x " +
                             std::to_string(Size.Height) + " pixels (it is " + std::to_string(width) + " x " +
                             std::to_string(height) + ")");
  }

  // The decoder, the file and a turned JPEG are done with.
  void ReleaseSource() {
    Reader.reset();
    File.reset();
    Turned = TurnedJpeg();
  }

  // The whole picture as rows of 3 bytes a pixel.
  void LoadWhole() {
    ReleaseSource();
    const DeviceBitmap picture = LoadPictureFile(Path);
    if (picture.Width != Size.Width || picture.Height != Size.Height) WrongSize(picture.Width, picture.Height);
    Whole = true;
    Stride = static_cast<std::size_t>(Size.Width) * 3 + kRowPadding;
    Store.assign(Stride * static_cast<std::size_t>(Size.Height), 0);
    for (int y = 0; y < Size.Height; ++y) {
      std::uint8_t* out = Slot(y);
      const PackedColor* in = picture.Pixels.data() + static_cast<std::size_t>(y) * Size.Width;
      for (int x = 0; x < Size.Width; ++x, out += 3) {
        const auto u = static_cast<unsigned>(in[x]);
        out[0] = static_cast<std::uint8_t>(u & 0xFFu);
        out[1] = static_cast<std::uint8_t>((u >> 8) & 0xFFu);
        out[2] = static_cast<std::uint8_t>((u >> 16) & 0xFFu);
      }
    }
    First = 0;
    End = Size.Height;
  }

  // Turns the open file's JPEG (`fileBytes` long, stored with `orientation`
  // and colour space `space`) upright in the compressed domain and points
  // the decoder at the result, its header read. False, with nothing held,
  // where the turn is not lossless or fails, or its result is not the
  // upright picture the decoder can stream.
  bool TurnUpright(int orientation, std::int64_t fileBytes, J_COLOR_SPACE space) {
    if (fileBytes <= 0 || fileBytes > kMaxPictureFileBytes || std::fseek(File.get(), 0, SEEK_SET) != 0) return false;
    std::optional<TurnedJpeg> turned;
    {
      const std::vector<std::uint8_t> stored = ReadBytes(File.get(), static_cast<std::size_t>(fileBytes), Path);
      ReleaseSource();
      turned = TurnJpegLosslessly(stored, UprightTurn(orientation), false);
    }
    if (!turned) return false;
    Turned = std::move(*turned);
    Reader = std::make_unique<JpegReader>(Path);
    JpegReader& r = *Reader;
    const std::span<const std::uint8_t> bytes = Turned.Bytes();
    r.Run([&] { jpeg_mem_src(&r.Info, bytes.data(), static_cast<unsigned long>(bytes.size())); });
    const PictureSize size = r.ReadHeader({});
    if (!(size == Size) || r.Orientation() != 1 || r.Info.jpeg_color_space != space ||
        jpeg_has_multiple_scans(&r.Info)) {
      ReleaseSource();
      return false;
    }
    return true;
  }

  // Opens the decoder at the top of the picture, or decides to hold it whole.
  void Start() {
    Started = true;
    ReleaseSource();
    Store.clear();
    Store.shrink_to_fit();
    Capacity = 0;
    First = End = 0;
    const std::optional<PictureFormat> format = PictureFormatFromPath(Path);
    if (!format) Throw(PictureProblem::UnsupportedType, Path);
    if (*format != PictureFormat::Jpeg) {
      LoadWhole();
      return;
    }
    std::int64_t bytes = 0;
    File = OpenPictureFile(Path, bytes);
    Reader = std::make_unique<JpegReader>(Path);
    {
      JpegReader& r = *Reader;
      r.Run([&] { jpeg_stdio_src(&r.Info, File.get()); });
      const PictureSize size = r.ReadHeader({});
      // A picture stored turned or mirrored cannot give its upright rows in
      // the stored order: it is turned upright losslessly where it can be,
      // or else decoded whole and turned.
      const int orientation = r.Orientation();
      if (orientation != 1) {
        const bool swap = OrientationSwapsSides(orientation);
        if (!(PictureSize{swap ? size.Height : size.Width, swap ? size.Width : size.Height} == Size))
          WrongSize(swap ? size.Height : size.Width, swap ? size.Width : size.Height);
        if (!Options.TurnLosslessly || UprightTurn(orientation) == JpegTurn::None ||
            !DecoderConverts(r.Info.jpeg_color_space) ||
            !TurnUpright(orientation, bytes, r.Info.jpeg_color_space)) {
          LoadWhole();
          return;
        }
      } else if (!(size == Size)) {
        WrongSize(size.Width, size.Height);
      }
    }
    JpegReader& r = *Reader;  // of the file, or of the turned JPEG
    if (!DecoderConverts(r.Info.jpeg_color_space) || jpeg_has_multiple_scans(&r.Info)) {
      LoadWhole();
      return;
    }
    r.Run([&] {
      r.Info.out_color_space = JCS_RGB;
      jpeg_start_decompress(&r.Info);
    });
    Stride = static_cast<std::size_t>(Size.Width) * 3 + kRowPadding;
  }

  // Room for rows First..last, keeping the rows held.
  void MakeRoom(int last) {
    const int needed = last - First + 1;
    if (needed <= Capacity) return;
    const int capacity = std::min(Size.Height, std::max(needed, 2 * Capacity));
    std::vector<std::uint8_t> store(Stride * static_cast<std::size_t>(capacity), 0);
    for (int y = First; y < End; ++y)
      std::copy_n(Slot(y), Stride, store.data() + static_cast<std::size_t>(y % capacity) * Stride);
    Store = std::move(store);
    Capacity = capacity;
  }

  void Decode(int first, int last) {
    JpegReader& r = *Reader;
    if (End < first) {
      // Nothing held is wanted any more: skip straight to `first`.
      const int skip = first - End;
      r.Run([&] { jpeg_skip_scanlines(&r.Info, static_cast<JDIMENSION>(skip)); });
      End = first;
    }
    First = std::max(First, first);
    if (First > End) First = End;
    MakeRoom(last);
    bool stalled = false;
    r.Run([&] {
      while (End <= last) {
        JSAMPROW row = Slot(End);
        if (jpeg_read_scanlines(&r.Info, &row, 1) != 1) {
          stalled = true;
          return;
        }
        ++End;
      }
    });
    if (stalled) Throw(PictureProblem::Truncated, Path);
    if (End == Size.Height) ReleaseSource();  // every row decoded
  }
};

PictureRowStream::PictureRowStream(std::string path, PictureSize size, RowStreamOptions options)
    : state_(std::make_unique<State>()) {
  state_->Path = std::move(path);
  state_->Size = size;
  state_->Options = options;
}
PictureRowStream::~PictureRowStream() = default;
PictureRowStream::PictureRowStream(PictureRowStream&&) noexcept = default;
PictureRowStream& PictureRowStream::operator=(PictureRowStream&&) noexcept = default;

void PictureRowStream::Hold(int first, int last) {
  State& s = *state_;
  first = std::max(first, 0);
  last = std::min(last, s.Size.Height - 1);
  if (first > last) return;
  if (!s.Started) {
    s.Start();
  } else if (!s.Whole && first < s.First) {
    ++s.Restarts;
    s.Start();
  }
  if (s.Whole) return;
  if (last < s.End && first >= s.First) {
    s.First = first;
    return;
  }
  s.Decode(first, last);
}

bool PictureRowStream::Holds(int row) const { return row >= state_->First && row < state_->End; }

const std::uint8_t* PictureRowStream::Row(int y) const { return state_->Slot(y); }

const std::uint8_t* PictureRowStream::Base() const { return state_->Store.data(); }

std::int64_t PictureRowStream::RowOffset(int y) const {
  return static_cast<std::int64_t>(state_->Slot(y) - state_->Store.data());
}

void PictureRowStream::Close() {
  State& s = *state_;
  s.ReleaseSource();
  s.Store.clear();
  s.Store.shrink_to_fit();
  s.Capacity = 0;
  s.First = s.End = 0;
  s.Whole = false;
  s.Started = false;
}

std::size_t PictureRowStream::HeldBytes() const { return state_->Store.capacity() + state_->Turned.Size(); }
int PictureRowStream::Restarts() const { return state_->Restarts; }
const PictureSize& PictureRowStream::Size() const { return state_->Size; }

// ---------------------------------------------------------------------------
// Writing a JPEG band by band

namespace {

constexpr std::size_t kFileBufferBytes = 256 * 1024;

// A libjpeg destination that writes its buffer to a file descriptor.
struct FileDestination {
  jpeg_destination_mgr Manager;  // first member: libjpeg sees only this part
  params::AtomicFileWriter* File;
  std::vector<std::uint8_t>* Buffer;
  std::exception_ptr Failure;  // of a write
};

FileDestination* FileDestinationOf(j_compress_ptr cinfo) { return reinterpret_cast<FileDestination*>(cinfo->dest); }

void StartFileDestination(j_compress_ptr cinfo) {
  FileDestination* d = FileDestinationOf(cinfo);
  d->Manager.next_output_byte = d->Buffer->data();
  d->Manager.free_in_buffer = d->Buffer->size();
}

bool FlushFileDestination(FileDestination* d, std::size_t count) noexcept {
  try {
    d->File->Write(std::span<const std::uint8_t>(d->Buffer->data(), count));
    return true;
  } catch (...) {
    d->Failure = std::current_exception();
    return false;
  }
}

boolean EmptyFileDestination(j_compress_ptr cinfo) {
  FileDestination* d = FileDestinationOf(cinfo);
  if (!FlushFileDestination(d, d->Buffer->size())) ERREXIT(cinfo, JERR_FILE_WRITE);
  d->Manager.next_output_byte = d->Buffer->data();
  d->Manager.free_in_buffer = d->Buffer->size();
  return TRUE;
}

void TermFileDestination(j_compress_ptr cinfo) {
  FileDestination* d = FileDestinationOf(cinfo);
  if (!FlushFileDestination(d, d->Buffer->size() - d->Manager.free_in_buffer)) ERREXIT(cinfo, JERR_FILE_WRITE);
}

}  // namespace

struct JpegFileWriter::State {
  std::string Path;
  int Width = 0, Height = 0;
  params::AtomicFileWriter File;
  std::vector<std::uint8_t> Buffer;
  FileDestination Destination{};
  JpegSession<jpeg_compress_struct> Session;
  bool Finished = false;

  State(const std::string& path, int width, int height) : Path(path), Width(width), Height(height), File(Open(path)) {}

  static params::AtomicFileWriter Open(const std::string& path) {
    try {
      return params::AtomicFileWriter(path);
    } catch (const params::FileWriteError& e) {
      Throw(PictureProblem::CannotWrite, path, e.Reason());
    }
  }

  [[noreturn]] void Fail() {
    if (Destination.Failure) {
      try {
        std::rethrow_exception(Destination.Failure);
      } catch (const params::FileWriteError& e) {
        Throw(PictureProblem::CannotWrite, Path, e.Reason());
      }
    }
    if (Session.Code() == JERR_OUT_OF_MEMORY) throw std::bad_alloc();
    Throw(PictureProblem::CannotEncode, {}, Session.Errors.Message);
  }
};

JpegFileWriter::JpegFileWriter(const std::string& path, int width, int height, int quality,
                               std::span<const JpegSegment> segments) {
  CheckEncoding(width, height, quality, segments);
  state_ = std::make_unique<State>(path, width, height);
  State& s = *state_;
  s.Buffer.resize(kFileBufferBytes);
  s.Destination.Manager.init_destination = StartFileDestination;
  s.Destination.Manager.empty_output_buffer = EmptyFileDestination;
  s.Destination.Manager.term_destination = TermFileDestination;
  s.Destination.File = &s.File;
  s.Destination.Buffer = &s.Buffer;
  jpeg_compress_struct& c = s.Session.Info;
  const bool done = s.Session.Try([&] {
    jpeg_create_compress(&c);
    c.dest = &s.Destination.Manager;
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);  // as EncodeJpeg: sequential Huffman coding, YCbCr 4:2:0
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    for (const JpegSegment& segment : segments)
      jpeg_write_marker(&c, JPEG_APP0 + segment.App, segment.Data.data(),
                        static_cast<unsigned int>(segment.Data.size()));
  });
  if (!done) s.Fail();
}

JpegFileWriter::~JpegFileWriter() = default;

void JpegFileWriter::WriteRows(const std::uint8_t* rgb, int rows) {
  State& s = *state_;
  jpeg_compress_struct& c = s.Session.Info;
  if (rows < 0 || c.next_scanline + static_cast<JDIMENSION>(rows) > c.image_height)
    throw std::invalid_argument("More rows than the picture has");
  const std::size_t stride = 3 * static_cast<std::size_t>(s.Width);
  const bool done = s.Session.Try([&] {
    for (int r = 0; r < rows; ++r) {
      JSAMPROW row = const_cast<JSAMPROW>(rgb + stride * static_cast<std::size_t>(r));  // read only
      jpeg_write_scanlines(&c, &row, 1);
    }
  });
  if (!done) s.Fail();
}

void JpegFileWriter::Commit(std::span<const std::uint8_t> tail) {
  State& s = *state_;
  jpeg_compress_struct& c = s.Session.Info;
  if (c.next_scanline != c.image_height) throw std::logic_error("The picture's rows are not all written");
  const bool done = s.Session.Try([&] { jpeg_finish_compress(&c); });
  if (!done) s.Fail();
  try {
    s.File.Write(tail);
    s.File.Commit();
  } catch (const params::FileWriteError& e) {
    Throw(PictureProblem::CannotWrite, s.Path, e.Reason());
  }
}

}  // namespace vistarium::render
