#include "app/picture_camera.h"

#include <algorithm>
#include <cmath>

#include "app/camera_database.h"
#include "params/camera_list.h"
#include "params/text_files.h"
#include "render/picture_file.h"

namespace vistarium::app {

namespace {

std::string Millimetres(double value) { return params::FormatFixed(value, 0, 2) + " mm"; }

}  // namespace

PictureCamera CameraFromPictures(const std::vector<std::string>& files, const params::TParametersCamera& inForce) {
  PictureCamera result;
  result.Camera = inForce;
  std::vector<double> own(files.size(), 0.0);  // every picture's focal length, 0 when it says none
  std::string first;
  bool lensOnly = false;  // a focal length of the lens without the sensor's size
  for (std::size_t n = 0; n < files.size(); ++n) {
    const std::string& file = files[n];
    const render::PictureMetadata m = render::ReadPictureMetadataFile(file);
    lensOnly = lensOnly || m.FocalLength.has_value();
    render::PictureSize size;
    try {
      size = render::ReadPictureSize(file);
    } catch (const std::exception&) {
      continue;  // the loading names an unreadable picture
    }
    double focal = render::FocalLengthFromMetadata(m, size.Width, size.Height);
    if (!(focal > 0.0) && m.FocalLength && *m.FocalLength > 0.0) {
      // The lens's focal length without a sensor size: the camera database's
      // crop factor makes it a 35 mm equivalent.
      if (const std::optional<double> crop = CropFactorOf(m.Make, m.Model)) {
        render::PictureMetadata equivalent = m;
        equivalent.FocalLength35mm = *m.FocalLength * *crop;
        focal = render::FocalLengthFromMetadata(equivalent, size.Width, size.Height);
        if (focal > 0.0 && !result.FromPictures) result.CropFactor = *crop;
      }
    }
    if (!(focal > 0.0)) continue;
    own[n] = focal;
    if (!result.FromPictures) {
      result.FromPictures = true;
      result.Name = render::CameraName(m);
      result.Camera.FocalLength = focal;
      result.Camera.Aberration = 0.0;
      result.Camera.Name = result.Name.empty() ? std::string("Camera of the pictures") : result.Name;
      first = file;
    }
  }
  result.Zooms.assign(files.size(), 1.0);
  for (std::size_t n = 0; n < files.size(); ++n)
    if (own[n] > 0.0 && std::fabs(own[n] - result.Camera.FocalLength) > 0.005 * result.Camera.FocalLength)
      result.Zooms[n] = own[n] / result.Camera.FocalLength;
  if (!result.FromPictures) {
    result.Note = std::string(lensOnly ? "the pictures give the lens's focal length but not the size of the sensor"
                                       : "the pictures do not say their focal length (no EXIF)") +
                  "; it is estimated from the pictures, or the camera entry \"" + inForce.Name + "\" (" +
                  Millimetres(inForce.FocalLength) + ") is used";
  } else if (const auto others = std::count_if(result.Zooms.begin(), result.Zooms.end(), [](double z) { return z != 1.0; });
             others > 0) {
    result.Note = "warning: " + std::to_string(others) +
                  " of the pictures were taken at another focal length than \"" + first + "\" (" +
                  Millimetres(result.Camera.FocalLength) + "); the panorama takes one camera for all of them, starting from that one";
  }
  return result;
}

CameraSource ChooseStartingCamera(RunState& rs, params::ParameterSets& sets, const std::vector<std::string>& files,
                                  bool fromPictures, std::string& note) {
  rs.EstimateFocal = false;
  rs.StartZooms.clear();
  note.clear();
  if (!fromPictures) return CameraSource::Entry;
  const PictureCamera camera = CameraFromPictures(files, sets.Camera);
  sets.Camera = camera.Camera;
  rs.EstimateFocal = !camera.FromPictures;
  note = camera.Note;
  const auto others = std::count_if(camera.Zooms.begin(), camera.Zooms.end(), [](double z) { return z != 1.0; });
  if (camera.FromPictures && others > 0 && rs.Refine) {
    // Each picture starts from its own focal length; the calibration then
    // fits them. (Without the refinement the note's one camera holds.)
    rs.StartZooms = camera.Zooms;
    note = (others == 1 ? std::string("1 picture was") : std::to_string(others) + " pictures were") +
           " taken at another focal length than " + Millimetres(camera.Camera.FocalLength) +
           (others == 1 ? ": it starts from its own" : ": each starts from its own");
  }
  if (camera.FromPictures && note.empty())
    note = "camera from the pictures: " + (camera.Name.empty() ? std::string() : camera.Name + ", ") + "focal length " +
           Millimetres(camera.Camera.FocalLength) +
           (camera.CropFactor > 0.0
                ? " (the lens's focal length times the crop factor " + params::FormatFixed(camera.CropFactor, 0, 2) +
                      " of the camera database)"
                : std::string());
  return CameraSource::Pictures;
}

}  // namespace vistarium::app
