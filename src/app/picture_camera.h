#pragma once
// The camera taken from the pictures: the focal length their EXIF gives,
// turned into this program's convention (millimetres on the longer side of
// 36 mm film), with aberration 0, as the start of the calibration. Without a
// usable focal length in the pictures the camera in force is kept, and the
// note says so.

#include <string>
#include <vector>

#include "params/parameter_sets.h"
#include "render/picture_metadata.h"
#include "run/run_state.h"

namespace vistarium::app {

// Where the camera a run started from came from.
enum class CameraSource {
  Entry,     // the camera entry of the parameters (or the command line)
  Pictures,  // the pictures' EXIF, or their features when they do not say it
};

struct PictureCamera {
  params::TParametersCamera Camera;  // the camera to start from
  bool FromPictures = false;         // the focal length came from the pictures
  std::string Name;                  // the camera the pictures name ("Apple iPhone 13"), or empty
  std::string Note;                  // one line for the user, empty when all is well
  // Per file: its own focal length over the camera's (a zoom lens moved
  // between shots), 1 when it says none or the camera's.
  std::vector<double> Zooms;
  // The crop factor of the camera database (lensfun) that made the lens's
  // focal length a 35 mm equivalent, when the EXIF gave no sensor size; 0
  // otherwise.
  double CropFactor = 0.0;
};

// The camera for a picture set: the focal length of the first picture that
// gives one (pictures with another focal length are named in the note, and
// get it as their zoom), aberration 0; otherwise `inForce` with a note.
PictureCamera CameraFromPictures(const std::vector<std::string>& files, const params::TParametersCamera& inForce);

// The camera a join starts from. With `fromPictures`: the pictures' own
// (sets.Camera becomes CameraFromPictures', and with rs.Refine each picture
// starts from its own focal length, rs.StartZooms), and when they do not say
// their focal length the finding phase estimates it (rs.EstimateFocal);
// otherwise sets.Camera stays. Returns where it came from, and the note to
// show.
CameraSource ChooseStartingCamera(RunState& rs, params::ParameterSets& sets, const std::vector<std::string>& files,
                                  bool fromPictures, std::string& note);

}  // namespace vistarium::app
