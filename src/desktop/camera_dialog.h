#pragma once
// "Parameters of Camera": the camera chosen from the list of known cameras,
// and the adding, deleting and changing of list entries. The dialog works on
// a copy of the list: "Save and Exit" writes the list and the camera in
// force, Cancel leaves both as they were. The list file's format and the
// checks are the core's (params/camera_list.h).

#include <filesystem>
#include <string>
#include <vector>

#include "desktop/parameter_dialogs.h"

class QComboBox;
class QGroupBox;

namespace vistarium::desktop {

class TfrmParametersCamera : public TParameterDialog {
public:
  TfrmParametersCamera(DesktopServices& services, std::filesystem::path programFolder, QWidget* parent = nullptr);

  const params::TParametersCamera& Camera() const { return camera_; }
  // A camera name read from a parameter file: its numbers come from the list.
  // A name the list does not hold changes nothing; the message says so.
  // Returns the message, or "" when the camera was taken.
  std::string SetCameraName(const std::string& name);
  // The list as the dialog holds it now (changes not yet saved included).
  const std::vector<std::string>& ListLines() const { return lines_; }
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

private:
  void SetAddingMode(bool adding);
  // Fills the combo box from the dialog's copy of the list, selecting the
  // camera in force (the first entry when it is not listed).
  void ShowList();
  // Reads the list file into the dialog's copy.
  void ReadList();
  // The numbers of the selected entry as typed, when they differ from the
  // entry's own texts.
  bool SelectedEntryEdited() const;
  void ShowCamera(const std::string& name, const std::string& focalText, const std::string& aberrationText);
  std::filesystem::path ListPath() const;
  std::filesystem::path TemporaryListPath() const;

  params::TParametersCamera camera_;
  bool adding_ = false;
  std::vector<std::string> lines_;  // the list as edited in the dialog
  bool listChanged_ = false;        // lines_ differ from the list file
};

}  // namespace vistarium::desktop
