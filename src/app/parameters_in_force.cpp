#include "app/parameters_in_force.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "params/camera_list.h"
#include "params/parameter_file.h"

namespace vistarium::app {

params::ParameterSets ReadParametersFromFile(const std::filesystem::path& parameterFile) {
  try {
    return params::LoadParameterFile(parameterFile);
  } catch (const std::exception& e) {
    throw std::runtime_error("cannot read parameter file \"" + parameterFile.string() + "\": " + e.what());
  }
}

void LookUpCamera(params::ParameterSets& sets, const std::filesystem::path& cameraList) {
  std::vector<std::string> lines;
  try {
    lines = params::ReadCameraListLines(cameraList);
  } catch (const std::exception& e) {
    throw std::runtime_error("cannot read camera list \"" + cameraList.string() + "\": " + e.what());
  }
  const auto line = params::FindCameraLine(lines, sets.Camera.Name);
  const auto camera = line ? params::CameraFromLine(*line) : std::nullopt;
  if (!camera)
    throw std::runtime_error("camera \"" + sets.Camera.Name + "\" is not in the camera list \"" + cameraList.string() +
                             "\"");
  sets.Camera.FocalLength = camera->FocalLength;
  sets.Camera.Aberration = camera->Aberration;
}

params::ParameterSets LoadParametersInForce(const std::filesystem::path& parameterFile,
                                            const std::filesystem::path& cameraList) {
  params::ParameterSets sets = ReadParametersFromFile(parameterFile);
  LookUpCamera(sets, cameraList);
  return sets;
}

}  // namespace vistarium::app
