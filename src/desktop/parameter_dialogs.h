#pragma once
// The dialogs that edit the parameter sets. Each dialog holds its own set for
// the program's life and reads it from the current parameter file when it is
// created; every save writes the whole file, with the other two dialogs'
// sets. The entry rules and the file format are the core's (params/).

#include <QDialog>
#include <QRect>
#include <QString>
#include <filesystem>
#include <functional>
#include <string>

#include "params/output_options.h"
#include "params/parameter_sets.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vistarium::desktop {

class DesktopServices;
class TfrmParametersCamera;

// What the three dialogs share: where the program keeps its options, the
// message boxes, and the way to gather all three sets for a save.
class TParameterDialog : public QDialog {
public:
  TParameterDialog(DesktopServices& services, std::filesystem::path programFolder, QWidget* parent);

  // All three sets as the dialogs hold them now; set once the three exist.
  std::function<params::ParameterSets()> AllSets;
  const std::filesystem::path& CurrentFile() const { return currentFile_; }

protected:
  // Writes the current parameter file with all three sets; a failure is
  // reported with the save error message.
  void SaveCurrentFile();
  // Runs a button's work; an error it throws is reported and the dialog goes on.
  void Guarded(const std::function<void()>& work);
  // The start-up's reading: makes the current file's path and runs `read`
  // with whether that file exists. The reader's error, or any other of the
  // start-up, is reported and the set stays as it was.
  void ReadOwnLines(const std::function<void(bool fileExists)>& read);
  // The dialog frame: fixed client size, no resizing, no help button.
  void SetFixedClientSize(int width, int height);

  DesktopServices& services_;
  std::filesystem::path programFolder_;
  std::filesystem::path currentFile_;
};

// "Parameters of adjacent pictures".
class TfrmParametersTwoPic : public TParameterDialog {
public:
  TfrmParametersTwoPic(DesktopServices& services, std::filesystem::path programFolder, QWidget* parent = nullptr);

  const params::TParametersTwoPic& Values() const { return values_; }
  void SetValues(const params::TParametersTwoPic& values) { values_ = values; }

  void FormCreate();
  void ShowValues();
  void bbtnSaveClick();
  void bbtnDefaultClick();
  void bbtnCancelClick();

  QLabel *imgPar1, *imgPar2, *imgPar3, *imgPar4, *imgPar5;
  QLineEdit *edPar1, *edPar2, *edPar3, *edPar4, *edPar5;
  QLabel *lblPar1, *lblPar2, *lblPar3, *lblPar4, *lblPar5;
  QPushButton *bbtnSave, *bbtnDefault, *bbtnCancel;

protected:
  void showEvent(QShowEvent* event) override;

private:
  params::TParametersTwoPic values_;
};

// "Parameters of Method".
class TfrmParametersMethod : public TParameterDialog {
public:
  TfrmParametersMethod(DesktopServices& services, std::filesystem::path programFolder, QWidget* parent = nullptr);

  const params::TParametersMethod& Values() const { return values_; }
  void SetValues(const params::TParametersMethod& values) { values_ = values; }
  // Whether the connections are measured again on the full-size pictures,
  // as last read from or saved to the Options folder.
  bool Refinement() const { return refine_; }
  // Whether the exposure of the pictures is evened out, and the crop of the
  // panorama, as last read from or saved to the Options folder.
  bool GainCompensation() const { return gains_; }
  params::CropChoice Crop() const { return crop_; }

  void FormCreate();
  void ShowValues();
  void bbtnSaveClick();
  void bbtnDefaultClick();
  void bbtnCancelClick();

  QLabel *Label1, *Label2, *LabMemo1, *LabMemo2, *LabMemo3;
  QLineEdit *edPar1, *edPar3;
  QCheckBox *cbPar2, *cbRefinement, *cbGainCompensation;
  QLabel* lblCrop;
  QComboBox* cbCrop;  // items in the order of params::CropChoice
  QPushButton *bbtnSave, *bbtnDefault, *bbtnCancel;

private:
  params::TParametersMethod values_;
  bool refine_ = true;
  bool gains_ = true;
  params::CropChoice crop_ = params::CropChoice::Common;
};

// The three dialogs, created together and able to gather all sets.
struct ParameterDialogs {
  TfrmParametersTwoPic* TwoPic = nullptr;
  TfrmParametersMethod* Method = nullptr;
  TfrmParametersCamera* Camera = nullptr;

  params::ParameterSets Sets() const;
  // Reads a whole parameter file into the three dialogs, then writes it as
  // the current file. Throws params::ParameterFileError (the read or the
  // write message) and leaves every set unchanged when the file cannot be
  // read. A camera the list does not hold is not taken: the camera in force
  // stays, and the message saying so is returned ("" otherwise).
  std::string LoadParameterFile(const std::filesystem::path& path);
};

// Creates the three dialogs (each reads the current file) as children of
// `parent`.
ParameterDialogs CreateParameterDialogs(DesktopServices& services, const std::filesystem::path& programFolder,
                                        QWidget* parent);

// A push button of the dialogs' fixed layouts (never a default button by
// itself).
QPushButton* DialogButton(QWidget* parent, const char* name, const QString& text, QRect geometry);

// The explanation lines joined for a label, each but the first `unpadded`
// lines padded with blanks to `width` characters.
QString PaddedLines(std::initializer_list<const char*> lines, int width, int unpadded = 0);

}  // namespace vistarium::desktop
