#include "desktop/camera_dialog.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>

#include "desktop/form_helpers.h"
#include "desktop/services.h"
#include "params/camera_list.h"
#include "params/parameter_file.h"

namespace vistarium::desktop {

namespace fs = std::filesystem;

namespace {

QLineEdit* GroupEdit(QWidget* group, const char* name, QRect geometry) {
  auto* edit = new QLineEdit(group);
  edit->setObjectName(name);
  edit->setGeometry(geometry);
  return edit;
}

}  // namespace

TfrmParametersCamera::TfrmParametersCamera(DesktopServices& services, fs::path programFolder, QWidget* parent)
    : TParameterDialog(services, std::move(programFolder), parent) {
  setObjectName("frmParametersCamera");
  setWindowTitle("Parameters of Camera");
  SetFixedClientSize(357, 280);

  gmAutoPar = new QGroupBox("Select camera from the list", this);
  gmAutoPar->setObjectName("gmAutoPar");
  gmAutoPar->setGeometry(5, 10, 350, 55);
  cbCameraMake = new QComboBox(gmAutoPar);
  cbCameraMake->setObjectName("cbCameraMake");
  cbCameraMake->setGeometry(5, 20, 340, 24);
  // A scrolled list of 16 entries rather than a popup over the whole screen.
  cbCameraMake->setStyleSheet("combobox-popup: 0;");
  cbCameraMake->setMaxVisibleItems(16);

  gbManualPar = new QGroupBox(" Selected camera ", this);
  gbManualPar->setObjectName("gbManualPar");
  gbManualPar->setGeometry(5, 80, 350, 161);
  Label1 = PlacedLabel(gbManualPar, "Label1", "Name of camera", QPoint(5, 24));
  Label2 = PlacedLabel(gbManualPar, "Label2", "Focus distance in mm", QPoint(5, 65));
  Label3 = PlacedLabel(gbManualPar, "Label3", "Aberration coefficient (0 for high quality camera)", QPoint(5, 100));
  edName = GroupEdit(gbManualPar, "edName", QRect(120, 24, 225, 24));
  edPar1 = GroupEdit(gbManualPar, "edPar1", QRect(290, 60, 55, 24));
  edPar2 = GroupEdit(gbManualPar, "edPar2", QRect(290, 95, 55, 24));

  bbtnAddCamera = DialogButton(gbManualPar, "bbtnAddCamera", "Add New Camera", QRect(5, 128, 165, 25));
  bbtnDelCamera = DialogButton(gbManualPar, "bbtnDelCamera", "Delete Selected Camera", QRect(180, 128, 165, 25));
  bbtnSaveNew = DialogButton(gbManualPar, "bbtnSaveNew", "Save New Camera", QRect(5, 128, 165, 25));
  bbtnCancelNew = DialogButton(gbManualPar, "bbtnCancelNew", "Cancel ", QRect(180, 128, 165, 25));

  bbtnSave = DialogButton(this, "bbtnSave", "Save and Exit", QRect(5, 250, 110, 25));
  bbtnDefault = DialogButton(this, "bbtnDefault", "Restore Last Saved", QRect(125, 250, 110, 25));
  bbtnCancel = DialogButton(this, "bbtnCancel", "Cancel", QRect(245, 250, 110, 25));

  const auto on = [this](QPushButton* button, void (TfrmParametersCamera::*handler)()) {
    connect(button, &QPushButton::clicked, this, [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
  };
  on(bbtnAddCamera, &TfrmParametersCamera::bbtnAddCameraClick);
  on(bbtnDelCamera, &TfrmParametersCamera::bbtnDelCameraClick);
  on(bbtnSaveNew, &TfrmParametersCamera::bbtnSaveNewClick);
  on(bbtnCancelNew, &TfrmParametersCamera::bbtnCancelNewClick);
  on(bbtnSave, &TfrmParametersCamera::bbtnSaveClick);
  on(bbtnDefault, &TfrmParametersCamera::bbtnDefaultClick);
  on(bbtnCancel, &TfrmParametersCamera::bbtnCancelClick);
  // Only the user's choice counts as a change, not the list being refilled.
  connect(cbCameraMake, &QComboBox::activated, this, [this] { Guarded([this] { cbCameraMakeChange(); }); });

  SetAddingMode(false);
  FormCreate();
}

fs::path TfrmParametersCamera::ListPath() const { return params::CameraListPath(programFolder_); }
fs::path TfrmParametersCamera::TemporaryListPath() const { return params::TemporaryCameraListPath(programFolder_); }

void TfrmParametersCamera::FormCreate() {
  ReadOwnLines([this](bool exists) {
    if (exists) camera_.Name = params::ReadCameraName(currentFile_);
    ReloadCameraList();
  });
}

std::string TfrmParametersCamera::SetCameraName(const std::string& name) {
  ReadList();
  if (!params::FindCameraLine(lines_, name)) {
    ShowList();
    return params::UnknownCameraMessage(name, camera_.Name);
  }
  camera_.Name = name;
  ShowList();
  return {};
}

void TfrmParametersCamera::ShowCamera(const std::string& name, const std::string& focalText,
                                      const std::string& aberrationText) {
  edName->setText(FromStd(name));
  edPar1->setText(FromStd(focalText));
  edPar2->setText(FromStd(aberrationText));
}

void TfrmParametersCamera::ReadList() {
  lines_ = params::ReadCameraListLines(ListPath());
  listChanged_ = false;
}

void TfrmParametersCamera::ReloadCameraList() {
  ReadList();
  ShowList();
}

void TfrmParametersCamera::ShowList() {
  const params::CameraListView view = params::ReloadCameraList(lines_, camera_.Name);
  {
    const QSignalBlocker quiet(cbCameraMake);
    cbCameraMake->clear();
    for (const std::string& name : view.Names) cbCameraMake->addItem(FromStd(name));
    if (!view.Names.empty()) cbCameraMake->setCurrentIndex(view.SelectedIndex);
  }
  if (params::ApplyReloadedCamera(view, camera_))
    ShowCamera(view.Current->Name, view.Current->FocalText, view.Current->AberrationText);
  else
    cbCameraMakeChange();  // the edits show the entry the box shows
}

void TfrmParametersCamera::cbCameraMakeChange() {
  const int index = cbCameraMake->currentIndex();
  if (index < 0 || static_cast<std::size_t>(index) >= lines_.size()) return;
  const params::CameraLine line = params::ReadCameraLine(lines_[static_cast<std::size_t>(index)]);
  ShowCamera(line.Name, line.FocalText, line.AberrationText);
}

bool TfrmParametersCamera::SelectedEntryEdited() const {
  const int index = cbCameraMake->currentIndex();
  if (index < 0 || static_cast<std::size_t>(index) >= lines_.size()) return false;
  const params::CameraLine line = params::ReadCameraLine(lines_[static_cast<std::size_t>(index)]);
  return edPar1->text().trimmed().toStdString() != line.FocalText ||
         edPar2->text().trimmed().toStdString() != line.AberrationText;
}

void TfrmParametersCamera::bbtnSaveClick() {
  const int index = cbCameraMake->currentIndex();
  // New numbers typed for the selected camera change its entry, checked as
  // a new camera's are.
  if (SelectedEntryEdited()) {
    const params::NewCameraCheck check = params::CheckNewCamera(
        cbCameraMake->currentText().toStdString(), edPar1->text().toStdString(), edPar2->text().toStdString());
    if (!check.Accepted()) {
      services_.Inform(this, FromStd(check.Problem->Message));
      (check.Problem->Focus == params::CameraField::Aberration ? edPar2 : edPar1)->setFocus();
      return;
    }
    lines_ = params::LinesWithChangedCamera(lines_, static_cast<std::size_t>(index), check.Camera);
    listChanged_ = true;
  }
  if (listChanged_) {
    params::SaveCameraList(ListPath(), TemporaryListPath(), lines_);  // a failure is reported; the dialog stays
    listChanged_ = false;
  }
  const auto chosen = params::AcceptCameraEntries(cbCameraMake->currentText().toStdString(),
                                                  edPar1->text().toStdString(), edPar2->text().toStdString());
  if (chosen) {
    camera_ = *chosen;
    SaveCurrentFile();
  } else if (index >= 0) {
    services_.Inform(this, FromStd(params::UnusableCameraMessage(cbCameraMake->currentText().toStdString(),
                                                                 camera_.Name)));
  }
  accept();
}

void TfrmParametersCamera::bbtnDefaultClick() { FormCreate(); }

void TfrmParametersCamera::bbtnCancelClick() { reject(); }

void TfrmParametersCamera::reject() {
  // Nothing done since the dialog opened is kept: the next opening reads the
  // list file again.
  SetAddingMode(false);
  listChanged_ = false;
  TParameterDialog::reject();
}

void TfrmParametersCamera::SetAddingMode(bool adding) {
  adding_ = adding;
  for (QWidget* w : {static_cast<QWidget*>(cbCameraMake), static_cast<QWidget*>(bbtnSave),
                     static_cast<QWidget*>(bbtnDefault)})
    w->setEnabled(!adding);
  bbtnAddCamera->setVisible(!adding);
  bbtnDelCamera->setVisible(!adding);
  bbtnSaveNew->setVisible(adding);
  bbtnCancelNew->setVisible(adding);
  // A listed camera's numbers may be changed and saved; its name is its key
  // and looks as fixed as it is.
  edName->setReadOnly(!adding);
  QPalette palette = edName->palette();
  palette.setColor(QPalette::Base, adding ? edPar1->palette().color(QPalette::Base)
                                          : this->palette().color(QPalette::Window));
  edName->setPalette(palette);
  gbManualPar->setTitle(adding ? " New Camera " : " Selected camera ");
}

void TfrmParametersCamera::bbtnAddCameraClick() {
  SetAddingMode(true);
  edName->clear();
  edPar2->setText("0.0000");
  edName->setFocus();
}

void TfrmParametersCamera::bbtnCancelNewClick() {
  SetAddingMode(false);
  ShowList();
}

void TfrmParametersCamera::bbtnSaveNewClick() {
  params::NewCameraCheck check = params::CheckNewCamera(
      edName->text().toStdString(), edPar1->text().toStdString(), edPar2->text().toStdString());
  if (check.Accepted())
    if (auto duplicate = params::DuplicateCameraProblem(lines_, edName->text().toStdString()))
      check.Problem = std::move(duplicate);
  if (!check.Accepted()) {
    services_.Inform(this, FromStd(check.Problem->Message));
    QLineEdit* const focus = check.Problem->Focus == params::CameraField::Name         ? edName
                             : check.Problem->Focus == params::CameraField::FocalLength ? edPar1
                                                                                         : edPar2;
    focus->setFocus();
    return;
  }
  lines_ = params::LinesWithCamera(lines_, check.Camera);
  listChanged_ = true;
  bbtnCancelNewClick();
}

void TfrmParametersCamera::bbtnDelCameraClick() {
  if (const auto refusal = params::DeleteCameraRefusal(static_cast<std::size_t>(cbCameraMake->count()))) {
    services_.Inform(this, FromStd(*refusal));
    return;
  }
  const int index = cbCameraMake->currentIndex();
  if (index < 0) return;
  if (!services_.Ask(this, FromStd(params::kDeleteCameraQuestion))) return;
  // Exactly the selected entry goes; the first entry of the list is shown
  // selected, and becomes the camera in force only with "Save and Exit".
  lines_ = params::LinesWithout(lines_, static_cast<std::size_t>(index));
  listChanged_ = true;
  SetAddingMode(false);
  const params::CameraListView view = params::ReloadCameraList(lines_, camera_.Name);
  {
    const QSignalBlocker quiet(cbCameraMake);
    cbCameraMake->clear();
    for (const std::string& name : view.Names) cbCameraMake->addItem(FromStd(name));
    cbCameraMake->setCurrentIndex(view.Names.empty() ? -1 : 0);
  }
  cbCameraMakeChange();
}

}  // namespace vistarium::desktop
