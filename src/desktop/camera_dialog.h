#pragma once
// "Parameters of Camera": the camera chosen from the list of known cameras,
// and the adding and deleting of list entries. The list file's format and
// the checks are the core's (params/camera_list.h).

#include <filesystem>
#include <optional>
#include <string>

#include "desktop/parameter_dialogs.h"

class QCheckBox;
class QComboBox;
class QGroupBox;

namespace vistarium::desktop {

class TfrmParametersCamera : public TParameterDialog {
public:
  TfrmParametersCamera(DesktopServices& services, std::filesystem::path programFolder, QWidget* parent = nullptr);

  const params::TParametersCamera& Camera() const { return camera_; }
  // A camera name read from a parameter file: its numbers come from the list.
  void SetCameraName(const std::string& name);
  bool Adding() const { return adding_; }

  void FormCreate();
  void ReloadCameraList();
  void cbCameraMakeChange();
  void bbtnSaveClick();
  void bbtnDefaultClick();
  void bbtnCancelClick();
  void bbtnAddCameraClick();
  void bbtnCancelNewClick();
  void bbtnSaveNewClick();
  void bbtnDelCameraClick();

  QGroupBox *gmAutoPar, *gbManualPar;
  QComboBox* cbCameraMake;
  QLabel *Label1, *Label2, *Label3;
  QLineEdit *edName, *edPar1, *edPar2;
  QPushButton *bbtnAddCamera, *bbtnDelCamera, *bbtnSaveNew, *bbtnCancelNew;
  QPushButton *bbtnSave, *bbtnDefault, *bbtnCancel;

  // Closing the dialog in any way leaves adding mode.
  void reject() override;

  // The camera a join starts from: the pictures' own (the switch kept in
  // Options/CameraFromPictures.txt), or the selected entry. The last join's
  // calibrated camera can be kept as an entry of its own.
  bool FromPictures() const;
  // After a join: the camera it calibrated, named for the pictures' camera
  // (or the entry it started from); cleared by a run without calibration.
  void SetCalibratedCamera(const std::string& name, double focalLength, double aberration);
  void ClearCalibratedCamera();
  void chbFromPicturesClick();
  void bbtnKeepCalibratedClick();

  QGroupBox* gbJoinCamera;
  QCheckBox* chbFromPictures;
  QLabel* lblCalibrated;
  QPushButton* bbtnKeepCalibrated;

private:
  void SetAddingMode(bool adding);
  void CreateJoinCameraControls();
  void ShowCamera(const std::string& name, const std::string& focalText, const std::string& aberrationText);
  std::filesystem::path ListPath() const;
  std::filesystem::path TemporaryListPath() const;

  params::TParametersCamera camera_;
  bool adding_ = false;
  std::optional<params::TParametersCamera> calibrated_;
};

}  // namespace vistarium::desktop
