#include "app/parameters_in_force.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "params/camera_list.h"
#include "params/parameter_file.h"

namespace vistarium::app {

params::ParameterSets ReadParametersFromFile(const std::filesystem::path& parameterFile) {
  return params::LoadParameterFile(parameterFile);  // its errors name the file and the reason
}

void LookUpCamera(params::ParameterSets& sets, const std::filesystem::path& cameraList) {
  const std::vector<std::string> lines = params::ReadCameraListLines(cameraList);
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
