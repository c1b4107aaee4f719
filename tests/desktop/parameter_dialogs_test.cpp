// The parameter dialogs and the camera dialog driven through their widgets,
// offscreen, on a scratch copy of the delivered Options folder, with the
// desktop's message boxes and file dialogs replaced.

#include "desktop/parameter_dialogs.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <gtest/gtest.h>

#include "desktop/camera_dialog.h"
#include "desktop/main_window.h"
#include "desktop/services.h"
#include "fake_services.h"
#include "params/camera_list.h"
#include "params/parameter_file.h"
#include "params/output_options.h"
#include "params/refinement_option.h"
#include "params/text_files.h"
#include "../support/scratch_folder.h"

namespace vistarium::desktop {
namespace {

namespace fs = std::filesystem;

using test_support::FakeServices;

class ParameterDialogsTest : public test_support::ScratchFolder {
protected:
  void SetUp() override {
    ScratchFolder::SetUp();
    savedFolder_ = QDir::currentPath();
    fs::copy(fs::path(VISTARIUM_SOURCE_DIR) / "Options", folder_ / "Options", fs::copy_options::recursive);
  }
  void TearDown() override {
    window_.reset();
    owner_.reset();
    QDir::setCurrent(savedFolder_);
    ScratchFolder::TearDown();
  }
  ParameterDialogs& Dialogs() {
    if (!owner_) {
      owner_ = std::make_unique<QWidget>();
      dialogs_ = CreateParameterDialogs(services_, folder_, owner_.get());
    }
    return dialogs_;
  }
  fs::path CurrentFile() const { return params::CurrentParameterFilePath(folder_); }
  std::string Text(const fs::path& path) const { return params::ReadWholeFile(path).value_or("<missing>"); }
  std::vector<std::string> ListLines() const { return params::ReadCameraListLines(params::CameraListPath(folder_)); }

  FakeServices services_;
  std::unique_ptr<QWidget> owner_;
  ParameterDialogs dialogs_;
  std::unique_ptr<TfrmMain> window_;
  QString savedFolder_;
};

TEST_F(ParameterDialogsTest, AdjacentPicturesDialogKeepsValidEntriesAndDropsTheOthersSilently) {
  TfrmParametersTwoPic& d = *Dialogs().TwoPic;
  EXPECT_EQ(d.windowTitle(), "Parameters of adjacent pictures");
  EXPECT_EQ(d.size(), QSize(571, 513));
  EXPECT_EQ(d.edPar3->geometry(), QRect(215, 215, 40, 28));
  EXPECT_EQ(d.edPar3->text(), " 3");  // as delivered, width 2
  EXPECT_EQ(d.lblPar4->text().split('\n').value(2), QString("of two lengths)").leftJustified(49));
  EXPECT_EQ(d.lblPar1->text().split('\n').value(0), "Width  of common part  (in");

  d.edPar1->setText("0");    // dropped: 0 only for the angle
  d.edPar2->setText("100");  // dropped
  d.edPar3->setText("0");    // accepted
  d.edPar4->setText("abc");  // dropped
  d.edPar5->setText(" 42");  // accepted
  d.bbtnSave->click();

  EXPECT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(d.Values(), (params::TParametersTwoPic{85, 15, 0, 5, 42}));
  EXPECT_EQ(params::ReadTwoPicParameters(CurrentFile()), d.Values());
  EXPECT_EQ(params::ReadMethodParameters(CurrentFile()), Dialogs().Method->Values());  // the file is written whole
  EXPECT_TRUE(services_.informed.isEmpty());
  d.ShowValues();
  EXPECT_EQ(d.edPar1->text(), "85");
  EXPECT_EQ(d.edPar3->text(), " 0");
}

TEST_F(ParameterDialogsTest, MethodDialogStoresTheMinimalSizeHalvedAndKeepsABadQuality) {
  TfrmParametersMethod& d = *Dialogs().Method;
  EXPECT_EQ(d.windowTitle(), "Parameters of Method");
  EXPECT_EQ(d.size(), QSize(576, 390));
  EXPECT_EQ(d.LabMemo1->text().split('\n').size(), 7);
  for (const QString& line : d.LabMemo2->text().split('\n')) EXPECT_EQ(line.size(), 79);
  EXPECT_TRUE(d.cbRefinement->isChecked());  // the default without an option file
  EXPECT_EQ(d.cbRefinement->y(), d.bbtnSave->y());
  EXPECT_LT(d.cbRefinement->geometry().right(), d.bbtnSave->x());

  d.edPar1->setText("301");
  d.edPar3->setText("fifty");
  d.cbPar2->setChecked(false);
  d.cbRefinement->setChecked(false);
  d.bbtnSave->click();

  EXPECT_EQ(d.Values(), (params::TParametersMethod{150, 50, 0}));
  EXPECT_EQ(params::SplitLines(Text(CurrentFile()))[3], " 150");
  EXPECT_FALSE(params::ReadRefinementOption(params::RefinementOptionPath(folder_)));
  d.ShowValues();
  EXPECT_EQ(d.edPar1->text(), "300");
  EXPECT_FALSE(d.cbRefinement->isChecked());

  d.edPar1->setText("303");
  d.edPar3->setText("200");  // out of range
  d.bbtnSave->click();
  EXPECT_EQ(d.Values(), (params::TParametersMethod{152, 50, 0}));
}

// The exposure and crop choices sit below the buttons and are kept in their
// own files; exposure needs the refinement, so its box follows that one.
TEST_F(ParameterDialogsTest, MethodDialogKeepsExposureAndCropBesideTheParameterFile) {
  TfrmParametersMethod& d = *Dialogs().Method;
  EXPECT_TRUE(d.cbGainCompensation->isChecked());
  EXPECT_EQ(d.cbCrop->currentIndex(), 0);
  EXPECT_GT(d.cbCrop->y(), d.bbtnSave->geometry().bottom());
  EXPECT_LE(d.cbCrop->geometry().right(), 576);
  d.cbRefinement->setChecked(false);
  EXPECT_FALSE(d.cbGainCompensation->isEnabled());
  d.cbRefinement->setChecked(true);
  d.cbGainCompensation->setChecked(false);
  d.cbCrop->setCurrentIndex(2);
  d.bbtnSave->click();
  EXPECT_FALSE(params::ReadGainCompensationOption(params::GainCompensationOptionPath(folder_)));
  EXPECT_EQ(params::ReadCropOption(params::CropOptionPath(folder_)), params::CropChoice::All);
  const std::string spr = Text(CurrentFile());
  d.cbCrop->setCurrentIndex(1);
  d.bbtnCancel->click();
  d.ShowValues();
  EXPECT_EQ(d.cbCrop->currentIndex(), 2);
  EXPECT_FALSE(d.cbGainCompensation->isChecked());
  EXPECT_EQ(Text(CurrentFile()), spr);
}

TEST_F(ParameterDialogsTest, CancelAndRestoreDefaultReturnToTheStoredValues) {
  TfrmParametersTwoPic& twoPic = *Dialogs().TwoPic;
  TfrmParametersMethod& method = *Dialogs().Method;
  const std::string before = Text(CurrentFile());
  twoPic.edPar1->setText("33");
  twoPic.bbtnCancel->click();
  method.edPar3->setText("60");
  method.cbRefinement->setChecked(false);
  method.bbtnCancel->click();
  EXPECT_EQ(twoPic.result(), QDialog::Rejected);
  EXPECT_EQ(Text(CurrentFile()), before);
  twoPic.ShowValues();
  method.ShowValues();
  EXPECT_EQ(twoPic.edPar1->text(), "85");
  EXPECT_EQ(method.edPar3->text(), " 50");
  EXPECT_TRUE(method.cbRefinement->isChecked());

  // Restore Default reads the current file again, whatever is in force.
  method.SetValues({10, 30, 0});
  method.edPar3->setText("77");
  method.bbtnDefault->click();
  EXPECT_EQ(method.Values(), (params::TParametersMethod{50, 50, 1}));
  EXPECT_EQ(method.edPar3->text(), " 50");
}

TEST_F(ParameterDialogsTest, ABrokenCurrentFileIsReportedAndTheDialogsKeepTheirValues) {
  Put("Options/CurrentParameters.spr", std::string("Parameters of camera\r\nX\r\nParameters of stitching method\r\n"
                                                   "  75\r\n 50\r\n1\r\nParameters of adjacent pictures\r\n"
                                                   "85\r\nfifteen\r\n"));
  ParameterDialogs& d = Dialogs();
  const QString message = "Error while reading file " + QString::fromStdString(CurrentFile().string()) +
                          ": a line is missing or does not hold a number where one belongs";
  EXPECT_EQ(services_.informed, QStringList({message}));  // only the adjacent-pictures reader fails
  EXPECT_EQ(d.TwoPic->Values(), params::TParametersTwoPic{});
  EXPECT_EQ(d.Method->Values(), (params::TParametersMethod{75, 50, 1}));

  // Without a camera list the camera dialog's start-up fails as a whole.
  services_.informed.clear();
  fs::remove(params::CameraListPath(folder_));
  d.Camera->bbtnDefaultClick();
  // The message names the file that is missing, with the system's reason.
  EXPECT_EQ(services_.informed,
            QStringList({"Error reading file " + QString::fromStdString(CurrentFile().string()) +
                         ": Error reading the camera list: \"" +
                         QString::fromStdString(params::CameraListPath(folder_).string()) +
                         "\": No such file or directory"}));
}

TEST_F(ParameterDialogsTest, SaveNewCameraChecksItsEntriesInOrderAndPutsTheFocusOnTheEditConcerned) {
  TfrmParametersCamera& d = *Dialogs().Camera;
  d.show();
  QApplication::setActiveWindow(&d);
  const params::TParametersCamera before = d.Camera();
  EXPECT_EQ(before.Name, "Generic 28 mm");
  EXPECT_EQ(d.edPar1->text(), "28.00");
  d.bbtnAddCamera->click();
  EXPECT_TRUE(d.Adding());
  EXPECT_EQ(d.gbManualPar->title(), " New Camera ");
  EXPECT_FALSE(d.cbCameraMake->isEnabled());
  EXPECT_FALSE(d.bbtnSave->isEnabled());
  EXPECT_TRUE(d.bbtnSaveNew->isVisible());
  EXPECT_FALSE(d.bbtnDelCamera->isVisible());
  EXPECT_TRUE(d.edName->text().isEmpty());
  EXPECT_EQ(d.edPar2->text(), "0.0000");
  EXPECT_EQ(d.edPar1->text(), "28.00");
  EXPECT_FALSE(d.edName->isReadOnly());

  struct Step {
    const char *name, *focal, *aberration;
    std::string_view message;
    QLineEdit* focus;
  };
  const Step steps[] = {
      {"", "abc", "x", params::kEnterNameMessage, d.edName},
      {"Pinhole", "abc", "x", params::kFocalNotNumberMessage, d.edPar1},
      {"Pinhole", "1000", "x", params::kImpossibleFocalMessage, d.edPar1},
      {"Pinhole", "50", "x", params::kAberrationNotNumberMessage, d.edPar2},
      {"Pinhole", "50", "-1.6", params::kImpossibleAberrationMessage, d.edPar2},
  };
  for (const Step& s : steps) {
    services_.informed.clear();
    d.edName->setText(s.name);
    d.edPar1->setText(s.focal);
    d.edPar2->setText(s.aberration);
    d.bbtnSaveNew->click();
    ASSERT_EQ(services_.informed.size(), 1) << s.message;
    EXPECT_EQ(services_.informed[0].toStdString(), s.message);
    EXPECT_EQ(d.focusWidget(), s.focus) << s.message;
    EXPECT_TRUE(d.Adding());
  }
  // A name the list already has is refused: two entries of one name would
  // show one entry's numbers for the other.
  services_.informed.clear();
  d.edName->setText("Generic 50 mm");
  d.edPar1->setText("51");
  d.edPar2->setText("0");
  d.bbtnSaveNew->click();
  EXPECT_EQ(services_.informed, QStringList({QString::fromStdString(params::DuplicateCameraMessage("Generic 50 mm"))}));
  EXPECT_EQ(d.focusWidget(), d.edName);
  EXPECT_TRUE(d.Adding());

  const auto fileBefore = ListLines();
  services_.informed.clear();
  d.edName->setText("Pinhole");
  d.edPar1->setText("50");
  d.edPar2->setText("1.2");
  d.bbtnSaveNew->click();
  EXPECT_TRUE(services_.informed.isEmpty());
  EXPECT_FALSE(d.Adding());
  EXPECT_EQ(d.gbManualPar->title(), " Selected camera ");
  EXPECT_TRUE(d.bbtnAddCamera->isVisible());
  const auto& lines = d.ListLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), params::FormatCameraLine("Pinhole", 50, 1.2)), lines.end());
  EXPECT_EQ(ListLines(), fileBefore);  // written only by Save and Exit
  EXPECT_EQ(d.Camera(), before);       // listed, not chosen
  EXPECT_EQ(d.cbCameraMake->currentText(), "Generic 28 mm");

  // Chosen, it is out of the range a camera in force may have: the list is
  // saved with it, the camera in force stays, and the user is told.
  d.cbCameraMake->setCurrentIndex(d.cbCameraMake->findText("Pinhole"));
  d.cbCameraMakeChange();
  EXPECT_EQ(d.edPar2->text(), "1.2000");
  d.bbtnSave->click();
  EXPECT_EQ(d.Camera(), before);
  EXPECT_EQ(params::ReadCameraName(CurrentFile()), "Generic 28 mm");
  EXPECT_TRUE(params::FindCameraLine(ListLines(), "Pinhole"));
  EXPECT_EQ(services_.informed,
            QStringList({QString::fromStdString(params::UnusableCameraMessage("Pinhole", "Generic 28 mm"))}));
}

TEST_F(ParameterDialogsTest, ChangedNumbersOfAListedCameraAreCheckedAndSaved) {
  TfrmParametersCamera& d = *Dialogs().Camera;
  EXPECT_TRUE(d.edName->isReadOnly());
  EXPECT_FALSE(d.edPar1->isReadOnly());
  d.edPar1->setText("2000");
  d.bbtnSave->click();
  EXPECT_EQ(services_.informed, QStringList({QString::fromUtf8(params::kImpossibleFocalMessage.data())}));
  EXPECT_EQ(d.Camera().FocalLength, 28.0);

  d.edPar1->setText("28.5");
  d.edPar2->setText("-0.01");
  d.bbtnSave->click();
  EXPECT_EQ(d.Camera(), (params::TParametersCamera{"Generic 28 mm", 28.5, -0.01}));
  const auto line = params::FindCameraLine(ListLines(), "Generic 28 mm");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->FocalText, "28.50");
  EXPECT_EQ(line->AberrationText, "-0.0100");
}

// The delivered list with a second entry of one name (as an old program or a
// hand edit could leave it), first in the list after sorting.
TEST_F(ParameterDialogsTest, DeleteTakesExactlyTheSelectedEntryAndCancelUndoesIt) {
  std::vector<std::string> lines = ListLines();
  lines.push_back(params::FormatCameraLine("Generic 28 mm", 29, 0));
  params::SaveCameraList(params::CameraListPath(folder_), params::TemporaryCameraListPath(folder_), lines);
  const std::string file = Text(params::CameraListPath(folder_));
  const std::string current = Text(CurrentFile());
  TfrmParametersCamera& d = *Dialogs().Camera;
  const int first = d.cbCameraMake->currentIndex();
  ASSERT_EQ(d.cbCameraMake->itemText(first + 1), "Generic 28 mm");

  services_.answer = false;
  d.bbtnDelCamera->click();
  EXPECT_EQ(services_.asked, QStringList({QString::fromUtf8(params::kDeleteCameraQuestion.data())}));
  EXPECT_EQ(d.cbCameraMake->count(), static_cast<int>(lines.size()));

  // Deleting the camera in force, then Cancel: nothing changed, on disk or
  // in force.
  services_.answer = true;
  d.bbtnDelCamera->click();
  EXPECT_EQ(d.cbCameraMake->count(), static_cast<int>(lines.size()) - 1);
  EXPECT_EQ(d.cbCameraMake->currentIndex(), 0);
  d.bbtnCancel->click();
  EXPECT_EQ(Text(params::CameraListPath(folder_)), file);
  EXPECT_EQ(Text(CurrentFile()), current);
  EXPECT_EQ(d.Camera().Name, "Generic 28 mm");
  EXPECT_EQ(d.Camera().FocalLength, 28.0);

  // The second entry of that name, selected and deleted: only it goes.
  d.ReloadCameraList();
  d.cbCameraMake->setCurrentIndex(first + 1);
  d.cbCameraMakeChange();
  EXPECT_EQ(d.edPar1->text(), "29.00");
  d.bbtnDelCamera->click();
  d.cbCameraMake->setCurrentIndex(first);
  d.cbCameraMakeChange();
  d.bbtnSave->click();
  const auto saved = ListLines();
  ASSERT_EQ(saved.size(), lines.size() - 1);
  EXPECT_EQ(params::FindCameraLine(saved, "Generic 28 mm")->FocalText, "28.00");
  EXPECT_EQ(d.Camera(), (params::TParametersCamera{"Generic 28 mm", 28.0, 0.0}));
  EXPECT_FALSE(fs::exists(params::TemporaryCameraListPath(folder_)));

  // Deleting the camera in force and saving makes the first entry current.
  d.ReloadCameraList();
  d.bbtnDelCamera->click();
  d.bbtnSave->click();
  const params::CameraLine front = params::ReadCameraLine(ListLines().front());
  EXPECT_EQ(d.Camera().Name, front.Name);
  EXPECT_EQ(params::ReadCameraName(CurrentFile()), front.Name);
  EXPECT_FALSE(params::FindCameraLine(ListLines(), "Generic 28 mm"));
}

TEST_F(ParameterDialogsTest, WithOneCameraLeftDeleteOnlyShowsTheMessage) {
  const std::string list = params::FormatCameraList({params::FormatCameraLine("Generic 28 mm", 28, 0)});
  Put("Options/Lenses.txt", list);
  TfrmParametersCamera& d = *Dialogs().Camera;
  d.bbtnDelCamera->click();
  EXPECT_EQ(services_.informed, QStringList({QString::fromUtf8(params::kLastCameraMessage.data())}));
  EXPECT_TRUE(services_.asked.isEmpty());
  EXPECT_EQ(Text(params::CameraListPath(folder_)), list);
}

TEST_F(ParameterDialogsTest, MainWindowSavesAndOpensParameterSetsAndKeepsItsCopyInStep) {
  window_ = std::make_unique<TfrmMain>(services_, folder_);
  TfrmMain& w = *window_;
  const ParameterDialogs& d = w.ParameterWindows();
  const std::string delivered = Text(CurrentFile());

  services_.nextSave = QString::fromStdString(PathOf("mine.spr"));
  w.mnuSaveParameters->trigger();
  EXPECT_EQ(services_.titles, QStringList({"Save all parameters", "Set of Vistarium parameters|*.spr"}));
  // The save dialog starts in the settings folder.
  EXPECT_EQ(QDir::currentPath(), QDir(QString::fromStdString((folder_ / "Options").string())).path());
  EXPECT_EQ(Text(PathOf("mine.spr")), delivered);
  EXPECT_EQ(Listing().count("mine.spr.spr"), 0u);

  // A dialog opened from the menu changes the parameters the next run takes.
  QTimer::singleShot(0, d.TwoPic, [&d] {
    d.TwoPic->edPar1->setText("40");
    d.TwoPic->bbtnSave->click();
  });
  w.mnuParametersTwoPic->trigger();
  EXPECT_EQ(w.Parameters().TwoPic.OverlapWidthPercent, 40);
  EXPECT_NE(Text(CurrentFile()), delivered);

  // A file that does not read changes nothing.
  services_.titles.clear();
  const std::string shortFile = Put("short.spr", std::string("Parameters of camera\r\nX\r\n"));
  services_.nextOpen = {QString::fromStdString(shortFile)};
  w.mnuOpenParameters->trigger();
  EXPECT_EQ(services_.titles,
            QStringList({"Open all parameters", "Set of Vistarium parameters|*.spr|All files|*.*"}));
  ASSERT_EQ(services_.informed.size(), 1);
  EXPECT_TRUE(services_.informed[0].startsWith(QString::fromUtf8(params::kReadParametersError.data()) + ": \"" +
                                               QString::fromStdString(shortFile) + "\": "))
      << services_.informed[0].toStdString();
  EXPECT_EQ(w.Parameters().TwoPic.OverlapWidthPercent, 40);

  services_.nextOpen = {QString::fromStdString(PathOf("mine.spr"))};
  w.mnuOpenParameters->trigger();
  EXPECT_EQ(d.TwoPic->Values().OverlapWidthPercent, 85);
  EXPECT_EQ(d.TwoPic->edPar1->text(), "85");
  EXPECT_EQ(w.Parameters(), d.Sets());
  EXPECT_EQ(w.Parameters().Camera.FocalLength, 28.0);
  EXPECT_EQ(Text(CurrentFile()), delivered);  // the opened set is the current one now
  EXPECT_TRUE(services_.errors.isEmpty());

  // A set naming a camera the list does not hold: the rest is taken, the
  // camera in force stays, and the message names the camera.
  services_.informed.clear();
  params::ParameterSets foreign = d.Sets();
  foreign.Camera.Name = "Nonexistent Camera";
  foreign.TwoPic.OverlapWidthPercent = 60;
  params::SaveParameterFile(PathOf("foreign.spr"), foreign);
  services_.nextOpen = {QString::fromStdString(PathOf("foreign.spr"))};
  w.mnuOpenParameters->trigger();
  EXPECT_EQ(services_.informed,
            QStringList({QString::fromStdString(params::UnknownCameraMessage("Nonexistent Camera", "Generic 28 mm"))}));
  EXPECT_EQ(w.Parameters().Camera, (params::TParametersCamera{"Generic 28 mm", 28.0, 0.0}));
  EXPECT_EQ(w.Parameters().TwoPic.OverlapWidthPercent, 60);
  EXPECT_EQ(params::ReadCameraName(CurrentFile()), "Generic 28 mm");
  EXPECT_EQ(d.Camera->cbCameraMake->currentText(), "Generic 28 mm");
}

}  // namespace
}  // namespace vistarium::desktop
