#pragma once
// What a run says about its camera after the calibration, in the words both
// shells show (standard error of the command-line tool, the main window).

#include <string>
#include <vector>

#include "app/picture_camera.h"
#include "run/run_state.h"

namespace vistarium::app {

// One line each: the focal length estimated from the pictures, when it was,
// and the one a full circle closes at, when the pictures were matched again
// from it; the calibrated camera with the residual before and after; the pictures
// that the calibration gave a focal length of their own; that the
// focal length was kept, when the connections could not fix it; and that
// the camera entry is wrong, when one was used and fitting the camera makes
// every residual clearly smaller. Empty without a calibration or estimate.
std::vector<std::string> CalibrationLines(const RunState& rs, CameraSource source);

// Whether the calibrated camera differs enough from the one the run started
// from to be worth keeping as a camera entry of its own.
bool CalibrationChangedCamera(const CameraCalibration& c);

}  // namespace vistarium::app
