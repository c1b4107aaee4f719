#include "desktop/parameter_dialogs.h"

#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <stdexcept>
#include <system_error>

#include "desktop/camera_dialog.h"
#include "desktop/form_helpers.h"
#include "desktop/illustrations.h"
#include "desktop/services.h"
#include "params/file_access.h"
#include "params/parameter_file.h"
#include "params/output_options.h"
#include "params/refinement_option.h"

namespace vistarium::desktop {

namespace fs = std::filesystem;

namespace {

QString PathText(const fs::path& path) { return QString::fromStdString(path.string()); }

// The dialogs' own font: small, as their fixed layouts were made for.
QFont DialogFont() {
  QFont font = QGuiApplication::font();
  font.setPixelSize(11);
  return font;
}

// The explanations: blue, fixed-width, so that the padded lines stay columns.
QLabel* ExplanationLabel(QWidget* parent, const char* name, QRect geometry) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPixelSize(11);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
  label->setPalette(palette);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setGeometry(geometry);
  return label;
}

QLineEdit* Edit(QWidget* parent, const char* name, QRect geometry, int pixelSize) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  QFont font = edit->font();
  font.setPixelSize(pixelSize);
  edit->setFont(font);
  edit->setGeometry(geometry);
  return edit;
}

}  // namespace

QPushButton* DialogButton(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setAutoDefault(false);
  button->setGeometry(geometry);
  return button;
}

QString PaddedLines(std::initializer_list<const char*> lines, int width, int unpadded) {
  QStringList out;
  int i = 0;
  for (const char* line : lines) {
    QString text = QString::fromLatin1(line);
    if (i++ >= unpadded) text = text.leftJustified(width, ' ');
    out << text;
  }
  return out.join('\n');
}

// ---------------------------------------------------------------------------

TParameterDialog::TParameterDialog(DesktopServices& services, fs::path programFolder, QWidget* parent)
    : QDialog(parent), services_(services), programFolder_(std::move(programFolder)) {
  setFont(DialogFont());
}

void TParameterDialog::SetFixedClientSize(int width, int height) {
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setFixedSize(width, height);
}

void TParameterDialog::SaveCurrentFile() {
  if (!AllSets) throw std::logic_error("the parameter dialogs are not joined");
  try {
    params::SaveParameterFile(currentFile_, AllSets());
  } catch (const params::ParameterFileError& e) {
    services_.Inform(this, QString::fromUtf8(e.what()));
  }
}

void TParameterDialog::Guarded(const std::function<void()>& work) {
  try {
    work();
  } catch (const std::exception& e) {
    services_.ReportError(this, QString::fromUtf8(e.what()));
  }
}

void TParameterDialog::ReadOwnLines(const std::function<void(bool fileExists)>& read) {
  currentFile_ = params::CurrentParameterFilePath(programFolder_);
  try {
    std::error_code ec;
    read(fs::exists(currentFile_, ec));
  } catch (const params::ParameterFileError& e) {
    services_.Inform(this, QString::fromUtf8(e.what()));
  } catch (const std::exception& e) {
    services_.Inform(this, "Error reading file " + PathText(currentFile_) + ": " + QString::fromUtf8(e.what()));
  }
}

// ---------------------------------------------------------------------------
// Adjacent pictures

TfrmParametersTwoPic::TfrmParametersTwoPic(DesktopServices& services, fs::path programFolder, QWidget* parent)
    : TParameterDialog(services, std::move(programFolder), parent) {
  setObjectName("frmParametersTwoPic");
  setWindowTitle("Parameters of adjacent pictures");
  SetFixedClientSize(571, 513);

  QLabel** images[5] = {&imgPar1, &imgPar2, &imgPar3, &imgPar4, &imgPar5};
  QLineEdit** edits[5] = {&edPar1, &edPar2, &edPar3, &edPar4, &edPar5};
  QLabel** labels[5] = {&lblPar1, &lblPar2, &lblPar3, &lblPar4, &lblPar5};
  const TwoPicIllustration pictures[5] = {
      TwoPicIllustration::OverlapWidth, TwoPicIllustration::VerticalShift, TwoPicIllustration::VerticalLinesAngle,
      TwoPicIllustration::VerticalLengthDifference, TwoPicIllustration::HorizontalLengthDifference};
  for (int i = 0; i < 5; ++i) {
    const int top = 100 * i;
    const QByteArray n = QByteArray::number(i + 1);
    auto* image = new QLabel(this);
    image->setObjectName("imgPar" + n);
    image->setGeometry(10, 5 + top, kIllustrationWidth, kIllustrationHeight);
    image->setPixmap(DrawIllustration(pictures[i]));
    *images[i] = image;
    *edits[i] = Edit(this, ("edPar" + n).constData(), QRect(215, 15 + top, 40, 28), 16);
    *labels[i] = ExplanationLabel(this, ("lblPar" + n).constData(), QRect(215, 50 + top, i == 0 ? 220 : 350, 50));
  }

  bbtnSave = DialogButton(this, "bbtnSave", "Save and exit", QRect(466, 20, 100, 25));
  bbtnDefault = DialogButton(this, "bbtnDefault", "Restore Default", QRect(466, 52, 100, 25));
  bbtnCancel = DialogButton(this, "bbtnCancel", "Cancel", QRect(466, 84, 100, 25));
  bbtnSave->setDefault(true);
  connect(bbtnSave, &QPushButton::clicked, this, [this] { Guarded([this] { bbtnSaveClick(); }); });
  connect(bbtnDefault, &QPushButton::clicked, this, [this] { Guarded([this] { bbtnDefaultClick(); }); });
  connect(bbtnCancel, &QPushButton::clicked, this, [this] { bbtnCancelClick(); });

  FormCreate();
}

void TfrmParametersTwoPic::FormCreate() {
  ReadOwnLines([this](bool exists) {
    if (exists) values_ = params::ReadTwoPicParameters(currentFile_);
  });
  ShowValues();
  lblPar1->setText(PaddedLines({"Width  of common part  (in", "percents of picture width)"}, 49, 1));
  lblPar2->setText(PaddedLines({"Vertical shift in percents to pictures height"}, 49, 1));
  lblPar3->setText(
      PaddedLines({"Angle  (in degrees)  between  images of  vertical", "lines on two pictures"}, 49, 1));
  lblPar4->setText(PaddedLines({"Difference  between length of images of  vertical",
                                "objects on  two pictures  (in percents of minimum", "of two lengths)"},
                               49, 1));
  lblPar5->setText(PaddedLines({"Difference between length of images of horizontal",
                                "objects on  two pictures  (in percents of minimum", "of two lengths)"},
                               49, 1));
}

void TfrmParametersTwoPic::ShowValues() {
  const params::TwoPicEntries entries = params::TwoPicEntriesFor(values_);
  QLineEdit* const edits[5] = {edPar1, edPar2, edPar3, edPar4, edPar5};
  for (int i = 0; i < 5; ++i) edits[i]->setText(FromStd(entries[static_cast<std::size_t>(i)]));
}

void TfrmParametersTwoPic::bbtnSaveClick() {
  QLineEdit* const edits[5] = {edPar1, edPar2, edPar3, edPar4, edPar5};
  params::TwoPicEntries entries;
  for (int i = 0; i < 5; ++i) entries[static_cast<std::size_t>(i)] = edits[i]->text().toStdString();
  values_ = params::ApplyTwoPicEntries(values_, entries);
  SaveCurrentFile();
  accept();
}

void TfrmParametersTwoPic::bbtnDefaultClick() { FormCreate(); }

void TfrmParametersTwoPic::bbtnCancelClick() { reject(); }

void TfrmParametersTwoPic::showEvent(QShowEvent* event) {
  // Centred on the desktop rather than on the main window.
  if (QScreen* screen = (parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen())) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  TParameterDialog::showEvent(event);
}

// ---------------------------------------------------------------------------
// Stitching method

TfrmParametersMethod::TfrmParametersMethod(DesktopServices& services, fs::path programFolder, QWidget* parent)
    : TParameterDialog(services, std::move(programFolder), parent) {
  setObjectName("frmParametersMethod");
  setWindowTitle("Parameters of Method");
  // A row below the buttons holds the choices about the panorama picture.
  SetFixedClientSize(576, 390);

  Label1 = PlacedLabel(this, "Label1",
                      "After scaling down, maximal size (width or height) should be not less (in pixels) than  ",
                      QPoint(8, 16));
  edPar1 = Edit(this, "edPar1", QRect(528, 8, 40, 28), 16);
  LabMemo1 = ExplanationLabel(this, "LabMemo1", QRect(8, 45, 561, 108));
  cbPar2 = new QCheckBox("Perform preliminary smoothing of images", this);
  cbPar2->setObjectName("cbPar2");
  // The text stands left of the box, the box in the column of the edits.
  cbPar2->setLayoutDirection(Qt::RightToLeft);
  cbPar2->setGeometry(8, 154, 561, 28);
  LabMemo3 = ExplanationLabel(this, "LabMemo3", QRect(8, 184, 561, 30));
  Label2 = PlacedLabel(this, "Label2", "Quality coefficient for selection coinciding parts of images", QPoint(8, 225));
  edPar3 = Edit(this, "edPar3", QRect(528, 225, 40, 24), 14);
  LabMemo2 = ExplanationLabel(this, "LabMemo2", QRect(8, 250, 561, 70));

  cbRefinement = new QCheckBox("Refine connections at full size", this);
  cbRefinement->setObjectName("cbRefinement");
  cbRefinement->setToolTip("Measure every connection again on the full-size pictures before the panorama is built");
  cbRefinement->setGeometry(8, 320, 250, 25);
  cbGainCompensation = new QCheckBox("Even out exposure of the pictures", this);
  cbGainCompensation->setObjectName("cbGainCompensation");
  cbGainCompensation->setToolTip(
      "Give every picture the brightness and colour of its neighbours where they overlap (needs the refinement)");
  cbGainCompensation->setGeometry(8, 355, 250, 25);
  connect(cbRefinement, &QCheckBox::toggled, cbGainCompensation, &QWidget::setEnabled);
  lblCrop = PlacedLabel(this, "lblCrop", "Keep", QPoint(264, 359));
  cbCrop = new QComboBox(this);
  cbCrop->setObjectName("cbCrop");
  cbCrop->addItems({"the band all pictures cover", "the largest rectangle without empty pixels",
                    "everything, empty corners black"});
  cbCrop->setToolTip("Which part of the pictures the panorama keeps");
  cbCrop->setGeometry(304, 355, 268, 25);

  bbtnSave = DialogButton(this, "bbtnSave", "Save and exit", QRect(264, 320, 100, 25));
  bbtnDefault = DialogButton(this, "bbtnDefault", "Restore Default", QRect(368, 320, 100, 25));
  bbtnCancel = DialogButton(this, "bbtnCancel", "Cancel", QRect(472, 320, 100, 25));
  bbtnSave->setDefault(true);
  connect(bbtnSave, &QPushButton::clicked, this, [this] { Guarded([this] { bbtnSaveClick(); }); });
  connect(bbtnDefault, &QPushButton::clicked, this, [this] { Guarded([this] { bbtnDefaultClick(); }); });
  connect(bbtnCancel, &QPushButton::clicked, this, [this] { bbtnCancelClick(); });

  FormCreate();
}

void TfrmParametersMethod::FormCreate() {
  ReadOwnLines([this](bool exists) {
    if (exists) values_ = params::ReadMethodParameters(currentFile_);
  });
  refine_ = params::ReadRefinementOption(params::RefinementOptionPath(programFolder_));
  gains_ = params::ReadGainCompensationOption(params::GainCompensationOptionPath(programFolder_));
  crop_ = params::ReadCropOption(params::CropOptionPath(programFolder_));
  ShowValues();
  LabMemo1->setText(PaddedLines(
      {"For decreasing time of panorama preparation,  initial pictures can be temporary",
       "scaled down.  But after  scaling  down to the  very small  size images can lost",
       "their quality, therefore minimal size of reduced  pictures should be limited by",
       "some minimal value. After scaling down, either width or height of reduced image",
       "should not  be lesser  than this  minimal size.  Recommended range of parameter",
       "(measured in pixels) is from 150 to 300.  Increasing of this parameter leads to",
       "slow, but more reliable performance of joining method."},
      79));
  LabMemo2->setText(PaddedLines(
      {"While application  joined adjacent  images,  it seeks for coinciding parts some",
       "precision, determined by special coefficient.  Increasing  of this  coefficient",
       "leads to more  accurate and  reliable stitching of images, but performance time",
       "will increase too. Recommended range of value: from 40 to 70. Default value 50."},
      79));
  LabMemo3->setText(PaddedLines({"Preliminary smoothing increase  performance time,  but can impruve  quality of",
                                 "joining adjacent pictures of small size.  Default value - unchecked."},
                                79));
}

void TfrmParametersMethod::ShowValues() {
  const params::MethodEntries entries = params::MethodEntriesFor(values_);
  edPar1->setText(FromStd(entries.MinimalSize));
  edPar3->setText(FromStd(entries.Quality));
  cbPar2->setChecked(entries.Smoothing);
  cbRefinement->setChecked(refine_);
  cbGainCompensation->setChecked(gains_);
  cbGainCompensation->setEnabled(refine_);
  cbCrop->setCurrentIndex(static_cast<int>(crop_));
}

void TfrmParametersMethod::bbtnSaveClick() {
  params::MethodEntries entries;
  entries.MinimalSize = edPar1->text().toStdString();
  entries.Quality = edPar3->text().toStdString();
  entries.Smoothing = cbPar2->isChecked();
  values_ = params::ApplyMethodEntries(values_, entries);
  SaveCurrentFile();
  // The refinement, exposure and crop choices live in their own files beside
  // the parameter file; the next Join reads them.
  try {
    params::SaveRefinementOption(params::RefinementOptionPath(programFolder_), cbRefinement->isChecked());
    refine_ = cbRefinement->isChecked();
    params::SaveGainCompensationOption(params::GainCompensationOptionPath(programFolder_),
                                       cbGainCompensation->isChecked());
    gains_ = cbGainCompensation->isChecked();
    const auto crop = static_cast<params::CropChoice>(std::clamp(cbCrop->currentIndex(), 0, 2));
    params::SaveCropOption(params::CropOptionPath(programFolder_), crop);
    crop_ = crop;
  } catch (const params::FileWriteError& e) {
    services_.Inform(this, FromStd(params::FileMessage(params::kSaveParametersError, e.File(), e.Reason())));
  }
  accept();
}

void TfrmParametersMethod::bbtnDefaultClick() { FormCreate(); }

void TfrmParametersMethod::bbtnCancelClick() { reject(); }

// ---------------------------------------------------------------------------

params::ParameterSets ParameterDialogs::Sets() const {
  params::ParameterSets sets;
  sets.Camera = Camera->Camera();
  sets.Method = Method->Values();
  sets.TwoPic = TwoPic->Values();
  return sets;
}

std::string ParameterDialogs::LoadParameterFile(const fs::path& path) {
  const params::ParameterSets loaded = params::LoadParameterFile(path, Sets());
  Method->SetValues(loaded.Method);
  TwoPic->SetValues(loaded.TwoPic);
  Method->ShowValues();
  TwoPic->ShowValues();
  std::string problem = Camera->SetCameraName(loaded.Camera.Name);
  params::SaveParameterFile(TwoPic->CurrentFile(), Sets());
  return problem;
}

ParameterDialogs CreateParameterDialogs(DesktopServices& services, const fs::path& programFolder, QWidget* parent) {
  ParameterDialogs dialogs;
  dialogs.TwoPic = new TfrmParametersTwoPic(services, programFolder, parent);
  dialogs.Camera = new TfrmParametersCamera(services, programFolder, parent);
  dialogs.Method = new TfrmParametersMethod(services, programFolder, parent);
  const auto all = [dialogs] { return dialogs.Sets(); };
  dialogs.TwoPic->AllSets = all;
  dialogs.Camera->AllSets = all;
  dialogs.Method->AllSets = all;
  return dialogs;
}

}  // namespace vistarium::desktop
