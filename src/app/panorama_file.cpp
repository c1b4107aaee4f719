#include "app/panorama_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "alignment/layout.h"
#include "geom/numbers.h"
#include "params/file_access.h"
#include "params/text_files.h"
#include "render/picture_file.h"

namespace vistarium::app {

namespace {

namespace fs = std::filesystem;

constexpr int kNumberWidth = 20;
constexpr int kNumberDecimals = 10;

// Fixed point with kNumberDecimals decimals, right-aligned in kNumberWidth
// characters; a longer text is returned whole.
std::string FormatNumber(double value, const char* name) {
  if (!std::isfinite(value))
    throw std::invalid_argument(std::string("Panorama trailer: ") + name + " is not a finite number");
  return params::FormatFixed(value, kNumberWidth, kNumberDecimals);
}

// A decimal real between optional blanks (only the blank character; a tab or
// any other character makes the field unreadable), read like the other
// option numbers: locale-independent, no infinities, nothing after it.
std::optional<double> ReadNumber(std::string_view field) {
  if (std::any_of(field.begin(), field.end(), [](char c) { return static_cast<unsigned char>(c) < ' '; }))
    return std::nullopt;
  return params::ParseReal(field);
}

// Characters `from` to `from + count - 1` (1-based) of `text`, as many as exist.
std::string_view Characters(std::string_view text, std::size_t from, std::size_t count) {
  if (from > text.size()) return {};
  return text.substr(from - 1, count);
}

std::string_view TrimBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The file's last kTrailerSize bytes, or all of it when it is shorter. A
// named pipe given by mistake is refused instead of waiting for a writer.
std::string ReadFileTail(const std::string& path) {
  std::optional<params::RegularFile> file;
  try {
    file.emplace(path);
  } catch (const params::FileReadError& e) {
    throw PanoramaFileError(PanoramaFileProblem::CannotOpen, path, e.Reason());
  }
  const std::uint64_t size = file->Size();
  const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size, kTrailerSize));
  std::string tail(count, ' ');
  std::size_t done = 0;
  while (done < count) {
    const auto at = static_cast<off_t>(size - count + done);
    const ssize_t got = ::pread(file->Descriptor(), tail.data() + done, count - done, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw PanoramaFileError(PanoramaFileProblem::CannotRead, path, params::SystemReason(errno));
    if (got == 0) throw PanoramaFileError(PanoramaFileProblem::CannotRead, path, "the file shrank while it was read");
    done += static_cast<std::size_t>(got);
  }
  return tail;
}

void CheckExtension(const std::string& path) {
  if (HasPanoramaExtension(path)) return;
  const std::string name = fs::path(path).filename().string();
  const std::size_t point = name.find_last_of('.');
  throw PanoramaFileError(PanoramaFileProblem::WrongExtension, path,
                          point == std::string::npos || point == 0
                              ? std::string("it has no extension")
                              : "its extension is " + params::QuotedPath(name.substr(point)));
}

// Empty when the numbers can serve the browser, else why not.
std::string UnsoundReason(const PanoramaTrailer& t) {
  if (!(t.AngleStep > 0.0)) return "AngleStep is not positive";
  if (!(t.PixelsPerRadian > 0.0)) return "PixelsPerRadian is not positive";
  if (!(t.FocalPixels > 0.0)) return "FocalPixels is not positive";
  // Each number is off by at most half a unit of its 10th decimal.
  const double allowed = 0.5e-10 * (t.AngleStep + t.PixelsPerRadian) + 1e-12;
  if (!(std::abs(t.AngleStep * t.PixelsPerRadian - 1.0) <= allowed))
    return "AngleStep and PixelsPerRadian do not belong together: their product is not 1";
  return {};
}

// The horizon row at positions 98..128 of a trailer that sits where it was
// written (marker at position 2); elsewhere its end may have been cut off.
std::optional<std::int32_t> ReadHorizonRow(std::string_view buffer, std::size_t marker) {
  constexpr std::size_t kAt = 97;  // position 98, 0-based
  if (marker != 1 || buffer.size() != kTrailerSize) return std::nullopt;
  if (buffer.substr(kAt, kHorizonTag.size()) != kHorizonTag) return std::nullopt;
  const std::string_view field = TrimBlanks(buffer.substr(kAt + kHorizonTag.size()));
  std::int32_t row = 0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), row);
  if (field.empty() || error != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return row;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

// ---------------------------------------------------------------------------

void ShowPanorama(const TPanorama& panorama, Bitmap32& view) {
  if (panorama.Width < 0 || panorama.Height < 0 ||
      panorama.Pixels.size() != CheckedPixelCount(panorama.Width, panorama.Height))
    throw std::invalid_argument("ShowPanorama: the panorama's pixels do not match its size");
  view.SetSize(panorama.Width, panorama.Height);
  const auto height = static_cast<std::size_t>(panorama.Height);
  for (int x = 0; x < panorama.Width; ++x) {
    const std::uint32_t* column = panorama.Pixels.data() + static_cast<std::size_t>(x) * height;
    for (int y = 0; y < panorama.Height; ++y)
      view.SetPixel(x, y, ArgbFromPacked(static_cast<PackedColor>(column[y])));
  }
}

void ShowPicture(const DeviceBitmap& picture, Bitmap32& view) {
  if (picture.Width < 0 || picture.Height < 0 ||
      picture.Pixels.size() != CheckedPixelCount(picture.Width, picture.Height))
    throw std::invalid_argument("ShowPicture: the picture's pixels do not match its size");
  view.SetSize(picture.Width, picture.Height);
  for (int x = 0; x < picture.Width; ++x)
    for (int y = 0; y < picture.Height; ++y) view.SetPixel(x, y, ArgbFromPacked(picture.Pixel(x, y)));
}

// ---------------------------------------------------------------------------

PanoramaTrailer TrailerFor(const TProjectionParameters& projection, bool is360, std::int32_t horizonRow) {
  return {is360, projection.AngleStep, projection.PixelsPerRadian, projection.FocalPixels, horizonRow};
}

PanoramaTrailer TrailerOfRun(const RunState& rs) {
  return TrailerFor(alignment::PanoramaProjection(rs), rs.PictureSet.Is360, rs.Layout.Top);
}

std::int32_t BrowsingHorizonRow(const PanoramaTrailer& trailer, int height) {
  return trailer.HorizonRow ? *trailer.HorizonRow : Round(height / 2.0);
}

std::string FormatTrailer(const PanoramaTrailer& trailer) {
  std::string text(kTrailerHead);
  text += trailer.Is360 ? '1' : '0';
  text += FormatNumber(trailer.AngleStep, "AngleStep");
  text += FormatNumber(trailer.PixelsPerRadian, "PixelsPerRadian");
  text += FormatNumber(trailer.FocalPixels, "FocalPixels");
  if (trailer.HorizonRow) {
    // Behind the numbers' 97 characters (or wherever longer numbers end).
    const std::string row = std::to_string(*trailer.HorizonRow);
    text += kHorizonTag;
    const std::size_t width = static_cast<std::size_t>(kHorizonRowWidth);
    text += std::string(row.size() < width ? width - row.size() : 0, ' ') + row;
  }
  text.resize(kTrailerSize, ' ');
  return text;
}

std::string_view TrailerStateName(TrailerState state) {
  switch (state) {
    case TrailerState::Sound: return "sound";
    case TrailerState::Damaged: return "damaged";
    case TrailerState::None: break;
  }
  return "none";
}

TrailerReading ReadTrailer(std::string_view tail) {
  TrailerReading reading;
  if (tail.size() < kTrailerSize) return reading;
  const std::string_view buffer = tail.substr(tail.size() - kTrailerSize);

  const std::size_t marker = buffer.find(kTrailerMarker);
  if (marker == std::string_view::npos) return reading;
  const std::string_view rest = TrimBlanks(buffer.substr(marker + kTrailerMarker.size()));

  reading.State = TrailerState::Damaged;
  reading.Values.Is360 = !rest.empty() && rest.front() == '1';
  double* const numbers[] = {&reading.Values.AngleStep, &reading.Values.PixelsPerRadian,
                             &reading.Values.FocalPixels};
  static const char* const kNumberNames[] = {"AngleStep", "PixelsPerRadian", "FocalPixels"};
  for (std::size_t k = 0; k < 3; ++k) {
    const auto value = ReadNumber(Characters(rest, 2 + k * kNumberWidth, kNumberWidth));
    if (!value) {
      reading.Reason = std::string(kNumberNames[k]) + " cannot be read";
      return reading;
    }
    *numbers[k] = *value;
    ++reading.NumbersRead;
  }
  reading.Reason = UnsoundReason(reading.Values);
  if (!reading.Reason.empty()) return reading;
  reading.Values.HorizonRow = ReadHorizonRow(buffer, marker);
  reading.State = TrailerState::Sound;
  return reading;
}

void StoreTrailerReading(const TrailerReading& reading, TProjectionParameters& projection, bool& is360) {
  if (reading.State == TrailerState::None) return;
  is360 = reading.Values.Is360;
  if (reading.NumbersRead >= 1) projection.AngleStep = reading.Values.AngleStep;
  if (reading.NumbersRead >= 2) projection.PixelsPerRadian = reading.Values.PixelsPerRadian;
  if (reading.NumbersRead >= 3) projection.FocalPixels = reading.Values.FocalPixels;
}

// ---------------------------------------------------------------------------

std::string PanoramaFileNameFor(const std::string& chosen) {
  constexpr std::string_view extension = ".jpg";
  std::string name = chosen;
  if (name.size() >= extension.size() && name.compare(name.size() - extension.size(), extension.size(), extension) == 0)
    name.resize(name.size() - extension.size());
  return name + std::string(extension);
}

bool HasPanoramaExtension(const std::string& path) {
  // The extension runs from the last point of the last path component.
  const std::size_t slash = path.find_last_of('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t point = path.find_last_of('.');
  if (point == std::string::npos || point < nameStart) return false;
  std::string extension = path.substr(point);
  std::transform(extension.begin(), extension.end(), extension.begin(), LowerAscii);
  return extension == ".jpg" || extension == ".jpeg";
}

std::string LoadedPanoramaLabel(const std::string& path, TrailerState state) {
  const std::size_t slash = path.find_last_of('/');
  std::string label = slash == std::string::npos ? path : path.substr(slash + 1);
  if (state == TrailerState::Sound) label += "  " + std::string(kPreparedBySuffix);
  return label;
}

// ---------------------------------------------------------------------------

void SavePanoramaFile(const std::string& path, const Bitmap32& picture, const PanoramaTrailer& trailer,
                      std::span<const render::JpegSegment> segments) {
  // The trailer first: a value it refuses must not cost an encoding.
  const std::string trailerText = FormatTrailer(trailer);
  std::vector<std::uint8_t> bytes;
  try {
    bytes = render::EncodeJpeg(picture, render::kDefaultJpegQuality, segments);
  } catch (const render::PictureFileError& e) {
    throw render::PictureFileError(e.Problem(), path,
                                   "Cannot save panorama \"" + path + "\": " + std::string(e.what()));
  }
  bytes.insert(bytes.end(), trailerText.begin(), trailerText.end());
  render::WriteFileAtomically(path, bytes);
}

PanoramaFileWriter::PanoramaFileWriter(std::string path, SegmentsFor segments)
    : path_(std::move(path)), segments_(std::move(segments)) {}

PanoramaFileWriter::~PanoramaFileWriter() = default;

render::BandSink PanoramaFileWriter::Sink() {
  return [this](const render::PanoramaBand& band) {
    try {
      if (band.Top == 0) {
        const std::vector<render::JpegSegment> segments =
            segments_ ? segments_(band.Width, band.PanoramaHeight) : std::vector<render::JpegSegment>{};
        writer_ = std::make_unique<render::JpegFileWriter>(path_, band.Width, band.PanoramaHeight,
                                                           render::kDefaultJpegQuality, segments);
      }
      if (!writer_) throw std::logic_error("A panorama file is written from its first band on");
      writer_->WriteRows(band.Rgb, band.Rows);
    } catch (const render::PictureFileError& e) {
      if (e.Problem() != render::PictureProblem::CannotEncode) throw;
      throw render::PictureFileError(e.Problem(), path_, "Cannot save panorama \"" + path_ + "\": " + std::string(e.what()));
    }
  };
}

void PanoramaFileWriter::Commit(const PanoramaTrailer& trailer) {
  if (!writer_) throw std::logic_error("No panorama was written");
  const std::string text = FormatTrailer(trailer);
  writer_->Commit(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  writer_.reset();
}

PanoramaFileError::PanoramaFileError(PanoramaFileProblem problem, std::string file, std::string reason)
    : std::runtime_error(params::FileMessage(MessageFor(problem), file, reason)),
      problem_(problem),
      file_(std::move(file)),
      reason_(std::move(reason)) {}

std::string_view MessageFor(PanoramaFileProblem problem) {
  switch (problem) {
    case PanoramaFileProblem::WrongExtension: return kWrongExtensionMessage;
    case PanoramaFileProblem::CannotOpen: return kCannotOpenMessage;
    case PanoramaFileProblem::CannotRead: break;
  }
  return kCannotReadMessage;
}

TrailerReading ReadPanoramaTrailer(const std::string& path) {
  CheckExtension(path);
  return ReadTrailer(ReadFileTail(path));
}

OpenedPanorama OpenPanoramaFile(const std::string& path) {
  OpenedPanorama opened;
  opened.Trailer = ReadPanoramaTrailer(path);
  opened.Picture = render::LoadPictureFile(path);
  return opened;
}

bool IsCompleteJpeg(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buffer(1 << 16);
  std::size_t filled = 0, at = 0;
  // The next byte of the file, or -1 at its end.
  const auto next = [&]() -> int {
    if (at == filled) {
      in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      filled = static_cast<std::size_t>(in.gcount());
      at = 0;
      if (filled == 0) return -1;
    }
    return static_cast<unsigned char>(buffer[at++]);
  };
  if (!in || next() != 0xFF || next() != 0xD8) return false;
  int marker = -1;  // a marker met inside entropy-coded data, still to handle
  for (;;) {
    if (marker < 0) {
      int b = next();
      if (b != 0xFF) return false;
      while (b == 0xFF) b = next();  // fill bytes
      if (b < 0) return false;
      marker = b;
    }
    const int m = marker;
    marker = -1;
    if (m == 0xD9) return true;
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) continue;  // no length
    const int hi = next(), lo = next();
    if (hi < 0 || lo < 0) return false;
    const int length = hi << 8 | lo;
    if (length < 2) return false;
    for (int k = 2; k < length; ++k)
      if (next() < 0) return false;
    if (m != 0xDA) continue;
    // Entropy-coded data up to the next marker that is not a stuffed zero,
    // a restart marker or a fill byte.
    for (;;) {
      int b = next();
      if (b < 0) return false;
      if (b != 0xFF) continue;
      do b = next();
      while (b == 0xFF);
      if (b < 0) return false;
      if (b == 0x00 || (b >= 0xD0 && b <= 0xD7)) continue;
      marker = b;
      break;
    }
  }
}

PanoramaInfo ReadPanoramaInfo(const std::string& path) {
  PanoramaInfo info;
  info.Trailer = ReadPanoramaTrailer(path);
  const render::PictureSize size = render::ReadPictureSize(path);
  info.Width = size.Width;
  info.Height = size.Height;
  info.CompleteJpeg = IsCompleteJpeg(path);
  return info;
}

}  // namespace vistarium::app
