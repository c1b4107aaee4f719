#pragma once
// The crop factor of a camera from lensfun's database of cameras (Debian's
// lensfun data), for pictures whose EXIF gives the lens's focal length but
// neither a 35 mm equivalent nor a sensor size that fits the picture (a
// compact's pictures reduced after the camera wrote them): the focal length
// times the crop factor is the 35 mm equivalent.

#include <optional>
#include <string>

namespace vistarium::app {

// The crop factor (35 mm film's diagonal over the sensor's) of the camera
// that EXIF names by `make` and `model`, when the database knows that very
// camera; nothing otherwise, or when the database cannot be read. The
// maker's files of the database are read on first use of the maker (a few
// milliseconds); the whole database (about a twentieth of a second) only for
// a camera they do not know.
std::optional<double> CropFactorOf(const std::string& make, const std::string& model);

}  // namespace vistarium::app
