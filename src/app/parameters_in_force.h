#pragma once
// The parameters in force: a parameter file, with the focal length and
// aberration of its camera looked up in the camera list.

#include <filesystem>

#include "params/parameter_sets.h"

namespace vistarium::app {

// Throws params::ParameterFileError, a one-line message naming the file and
// the reason, when it cannot be read.
params::ParameterSets ReadParametersFromFile(const std::filesystem::path& parameterFile);
// Sets the camera's focal length and aberration from its line in the camera
// list. Throws std::runtime_error naming the list (and why it cannot be
// read) when it cannot be read or does not hold the camera.
void LookUpCamera(params::ParameterSets& sets, const std::filesystem::path& cameraList);
// Both, as at program start.
params::ParameterSets LoadParametersInForce(const std::filesystem::path& parameterFile,
                                            const std::filesystem::path& cameraList);

}  // namespace vistarium::app
