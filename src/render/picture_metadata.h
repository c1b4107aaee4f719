#pragma once
// What a camera writes into its pictures besides the pixels (EXIF): how the
// picture is to be turned to stand upright, and the focal length with what
// is needed to turn it into an angle of view. Read through libexiv2.
//
// Metadata is advisory: a missing, damaged or implausible entry is simply
// absent here, never an error; the pixels decide whether a file is a picture.

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace vistarium::render {

// libexiv2's XMP toolkit keeps global state that is set up once and is not
// safe to use from several threads at a time, and pictures are decoded on
// more than one thread: every use of the library in the program holds this
// lock, after PrepareMetadataLibrary (which also mutes the library's
// warnings about odd maker notes or bytes behind a JPEG's end, which are no
// business of the user).
void PrepareMetadataLibrary();
std::mutex& MetadataLibraryLock();

struct PictureMetadata {
  // EXIF orientation, 1 to 8 (1: stored upright); 1 when absent or unknown.
  int Orientation = 1;
  // Focal length of the lens in millimetres.
  std::optional<double> FocalLength;
  // The maker's 35 mm film equivalent, in millimetres, on the picture's
  // diagonal (43.27 mm on 36 x 24 mm film).
  std::optional<double> FocalLength35mm;
  // Sensor pixels per millimetre along the stored picture's x and y, and the
  // picture size they refer to (the size the camera recorded).
  std::optional<double> FocalPlaneXPerMm, FocalPlaneYPerMm;
  std::optional<int> RecordedWidth, RecordedHeight;
  std::string Make, Model;
};

// The metadata of a picture file's bytes (JPEG); an empty record for bytes
// that hold none or that the reader cannot take apart.
PictureMetadata ReadPictureMetadata(std::span<const std::uint8_t> bytes);
// The same from the EXIF block of a JPEG's APP1 segment (the TIFF structure
// after its "Exif\0\0" header), as a decoder meets it.
PictureMetadata ReadExifBlock(std::span<const std::uint8_t> tiff);
// The same for a file; an empty record when it cannot be read.
PictureMetadata ReadPictureMetadataFile(const std::string& path);

// The focal length in this program's convention (millimetres along the
// longer side of 36 mm film) for a picture of width x height pixels as it
// stands upright, or 0 when the metadata give none that can be trusted. A
// maker's 35 mm equivalent is on the diagonal (43.27 mm), so it is scaled by
// diagonal / longer side; a lens focal length is scaled by 36 mm over the
// sensor's longer side, as the focal-plane resolution gives it (ignored when
// that makes a sensor smaller than any camera's: a picture reduced after
// the camera wrote it).
double FocalLengthFromMetadata(const PictureMetadata& m, int width, int height);

// "Make Model" without a repeated maker name ("Canon Canon PowerShot S95"
// becomes "Canon PowerShot S95"); empty when neither is known.
std::string CameraName(const PictureMetadata& m);

}  // namespace vistarium::render
