#pragma once
// The panorama file: a JPEG followed by a 128-byte text trailer that marks
// the file as made by Vistarium and carries what the browser needs (the 360
// flag and three projection values). Both directions live here, together
// with the copy of a finished panorama into the full-size view's bitmap and
// the texts the windows show around saving and opening.
//
// Trailer layout (1-based positions, 8-bit text, blanks up to 128 bytes):
//   1..36   " Virtual tour prepared by Vistarium "
//   37      "1" for a 360 degree panorama, else "0"
//   38..57  AngleStep        \  fixed point, 10 decimals, right-aligned in
//   58..77  PixelsPerRadian   > 20 characters; a longer number is written in
//   78..97  FocalPixels      /  full and shifts the rest, the end is cut at 128
//   98..128 " Horizon row" and the panorama row of the horizon, right-aligned
//           in 19 characters; blanks in files that do not carry it
//
// Readers that take only the flag and the three numbers ignore the horizon
// row. Without it the browser takes the middle row as the horizon.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "run/run_state.h"
#include "geom/projection.h"
#include "image/bitmaps.h"
#include "render/band_fill.h"
#include "render/picture_file.h"

namespace vistarium::app {

// ---------------------------------------------------------------------------
// Texts shown by the windows

inline constexpr std::string_view kReplaceExistingFileQuestion = "Replace existing file?";
inline constexpr std::string_view kWrongExtensionMessage =
    "Selected file could not contain panoramic image.\n"
    "Please select file with extention JPG or JPEG only.";
inline constexpr std::string_view kCannotOpenMessage = "Can't open selected file.";
inline constexpr std::string_view kCannotReadMessage = "Can't read selected file.";
inline constexpr std::string_view kDamagedTrailerMessage = "Parameters of Vistarium panorama are damaged";
// Shown after the file name (and two blanks) under the preview of an opened
// panorama whose trailer is sound.
inline constexpr std::string_view kPreparedBySuffix = "prepared by Vistarium";

// Save dialog filter and the open dialog's filter (which lists every file).
inline constexpr std::string_view kSaveFilter = "JPEG Image File (*.jpg)|*.jpg";
inline constexpr std::string_view kOpenFilter = "JPEG Image File (*.jpg)|*.*";

// ---------------------------------------------------------------------------
// The full-size view's copy of the panorama

// Sizes `view` to the panorama's Width x Height and copies every pixel,
// 0x00BBGGRR -> 0xFFRRGGBB. Throws std::invalid_argument when the panorama's
// pixel store does not hold Width x Height pixels.
void ShowPanorama(const TPanorama& panorama, Bitmap32& view);

// The same for an opened picture: sizes `view` to the picture and copies
// every pixel, converted the same way.
void ShowPicture(const DeviceBitmap& picture, Bitmap32& view);

// ---------------------------------------------------------------------------
// The trailer

inline constexpr std::size_t kTrailerSize = 128;
// Searched for when reading, without the blanks around it.
inline constexpr std::string_view kTrailerMarker = "Virtual tour prepared by Vistarium";
// Written at the start of the trailer, with one blank on either side.
inline constexpr std::string_view kTrailerHead = " Virtual tour prepared by Vistarium ";
// Written at position 98, before the horizon row; searched for when reading.
inline constexpr std::string_view kHorizonTag = " Horizon row";
inline constexpr int kHorizonRowWidth = 19;

struct PanoramaTrailer {
  bool Is360 = false;
  double AngleStep = 0.0;        // radians per panorama pixel
  double PixelsPerRadian = 0.0;  // panorama pixels per radian
  double FocalPixels = 0.0;      // focal length of the pictures in pixels
  // The panorama row of latitude 0 (the layout's Top); absent in files
  // written without it.
  std::optional<std::int32_t> HorizonRow;
  friend bool operator==(const PanoramaTrailer&, const PanoramaTrailer&) = default;
};

// The trailer of a panorama made with these projection values, whose
// horizon lies in panorama row `horizonRow` (the layout's Top).
PanoramaTrailer TrailerFor(const TProjectionParameters& projection, bool is360, std::int32_t horizonRow);

// The trailer of the panorama a run made: the values of the projection it
// was laid out in (at its scale), its flag and the layout's Top.
PanoramaTrailer TrailerOfRun(const RunState& rs);

// The row the browser takes as the horizon of a panorama `height` rows high:
// the trailer's when it carries one, else the middle row, round(height / 2).
std::int32_t BrowsingHorizonRow(const PanoramaTrailer& trailer, int height);

// Exactly kTrailerSize bytes. Throws std::invalid_argument for a value that
// is not finite (such a panorama cannot have been made correctly).
std::string FormatTrailer(const PanoramaTrailer& trailer);

enum class TrailerState {
  None,     // no marker: an ordinary JPEG, shown but not browsed
  Sound,    // marker, flag and all three numbers read, and fit for browsing
  Damaged,  // marker found but a number could not be read, or the numbers
            // cannot serve the browser
};

// "none", "sound" or "damaged".
std::string_view TrailerStateName(TrailerState state);

struct TrailerReading {
  TrailerState State = TrailerState::None;
  // With a marker (Sound or Damaged): the flag as read and the numbers in
  // table order, of which the first NumbersRead were read (the others 0).
  PanoramaTrailer Values;
  int NumbersRead = 0;
  // Why a trailer is Damaged, in a few words; empty otherwise.
  std::string Reason;
};

// Reads the trailer from the end of a file. `tail` is the file's last
// kTrailerSize bytes, or any longer end of the file (only its last
// kTrailerSize bytes are looked at). A file shorter than kTrailerSize cannot
// hold a picture and a trailer, so a shorter `tail` is the whole file and
// gives None, whatever it contains.
//
// All three numbers read still make a Damaged trailer when they cannot serve
// the browser: AngleStep, PixelsPerRadian or FocalPixels not positive, or
// AngleStep * PixelsPerRadian differing from 1 by more than their rounding
// to 10 decimals allows. The horizon row is read when the trailer sits
// where it is written (the marker at position 2), its tag is at position 98
// and an integer follows it; otherwise it stays absent.
TrailerReading ReadTrailer(std::string_view tail);

// Stores what a reading found the way Open Panorama keeps it: with a marker
// the 360 flag and the numbers that were read (a damaged trailer keeps the
// values read before the damage; the rest stay as they were); without a
// marker nothing changes.
void StoreTrailerReading(const TrailerReading& reading, TProjectionParameters& projection, bool& is360);

// ---------------------------------------------------------------------------
// File names

// The name a panorama is saved under: the chosen name with ".jpg" appended,
// after removing a final ".jpg" (exactly these four characters) if present.
std::string PanoramaFileNameFor(const std::string& chosen);

// True when the name's extension, in lower case, is ".jpg" or ".jpeg".
bool HasPanoramaExtension(const std::string& path);

// The text under the preview of an opened panorama: the file name without
// its folder, followed by two blanks and kPreparedBySuffix when sound.
std::string LoadedPanoramaLabel(const std::string& path, TrailerState state);

// ---------------------------------------------------------------------------
// Saving and opening

// Writes the picture as a baseline JPEG of quality 90 followed by the
// trailer, as one file that appears under `path` whole or not at all: an
// existing file is replaced only when everything succeeded. The segments
// (the pictures' metadata, see picture_metadata.h) go into the JPEG near its
// start, so the trailer stays the file's last bytes. Throws
// std::invalid_argument for a non-finite trailer value (nothing is written)
// and render::PictureFileError naming `path` for a picture JPEG cannot hold
// or a failed write.
void SavePanoramaFile(const std::string& path, const Bitmap32& picture, const PanoramaTrailer& trailer,
                      std::span<const render::JpegSegment> segments = {});

// A panorama file written as the fill hands on its bands of rows: the JPEG
// is encoded band by band into a temporary file beside `path`, and Commit
// appends the trailer and puts the file in place, so that neither the
// panorama nor the file is ever held whole. The file is the one
// SavePanoramaFile writes of the same picture, byte for byte. Without
// Commit nothing appears under `path`. Throws as SavePanoramaFile does.
class PanoramaFileWriter {
public:
  // `segments(width, height)` gives the metadata segments of a panorama of
  // that size, asked when the first band comes.
  using SegmentsFor = std::function<std::vector<render::JpegSegment>(int width, int height)>;
  explicit PanoramaFileWriter(std::string path, SegmentsFor segments = {});
  ~PanoramaFileWriter();
  // Takes the bands in order from the top; the first one opens the file.
  render::BandSink Sink();
  void Commit(const PanoramaTrailer& trailer);

private:
  std::string path_;
  SegmentsFor segments_;
  std::unique_ptr<render::JpegFileWriter> writer_;
};

enum class PanoramaFileProblem {
  WrongExtension,  // kWrongExtensionMessage
  CannotOpen,      // kCannotOpenMessage
  CannotRead,      // kCannotReadMessage
};

// A failure of Open Panorama that the window reports with its own message
// box; what() is the message to show: the problem's message, then the file
// and the reason (params::FileMessage).
class PanoramaFileError : public std::runtime_error {
public:
  PanoramaFileError(PanoramaFileProblem problem, std::string file, std::string reason);
  PanoramaFileProblem Problem() const noexcept { return problem_; }
  const std::string& File() const noexcept { return file_; }
  // Why, in the system's words where the system gave them.
  const std::string& Reason() const noexcept { return reason_; }

private:
  PanoramaFileProblem problem_;
  std::string file_;
  std::string reason_;
};

// The message a window shows for the problem.
std::string_view MessageFor(PanoramaFileProblem problem);

// The first steps of opening: checks the extension, then reads the file's
// last kTrailerSize bytes and the trailer in them. Throws PanoramaFileError:
// WrongExtension; CannotOpen when the file cannot be opened (missing, no
// permission, a folder, a named pipe or anything else but a regular file);
// CannotRead when its size or its end cannot be read.
TrailerReading ReadPanoramaTrailer(const std::string& path);

struct OpenedPanorama {
  DeviceBitmap Picture;
  TrailerReading Trailer;
};

// ReadPanoramaTrailer, then the picture is decoded; a picture that cannot be
// decoded throws render::PictureFileError.
OpenedPanorama OpenPanoramaFile(const std::string& path);

struct PanoramaInfo {
  int Width = 0;
  int Height = 0;
  TrailerReading Trailer;
  bool CompleteJpeg = true;  // the JPEG data reaches its end marker
};

// Whether the JPEG data of a file runs from its start marker through its
// scans to the end marker (a copy cut short does not). Reads the file once,
// without decoding; false for a file that cannot be read.
bool IsCompleteJpeg(const std::string& path);

// Size (from the JPEG header alone), trailer and completeness of a panorama
// file, with the same errors as OpenPanoramaFile.
PanoramaInfo ReadPanoramaInfo(const std::string& path);

}  // namespace vistarium::app
