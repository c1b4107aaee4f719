#include "desktop/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>
#include <QResizeEvent>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QKeySequence>
#include <QProgressDialog>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <filesystem>

#include "app/calibration_report.h"
#include "app/connection_check.h"
#include "app/out_of_memory.h"
#include "app/output_files.h"
#include "app/panorama_file.h"
#include "app/picture_loading.h"
#include "app/picture_metadata.h"
#include "app/sphere_export.h"
#include "app/pipeline.h"
#include "render/band_fill.h"
#include "desktop/adjust_window.h"
#include "desktop/browser_window.h"
#include "desktop/icons.h"
#include "desktop/services.h"
#include "desktop/views.h"
#include "params/camera_list.h"
#include "params/file_access.h"
#include "params/parameter_file.h"
#include "params/output_options.h"
#include "params/refinement_option.h"
#include "render/picture_file.h"

namespace vistarium::desktop {

namespace fs = std::filesystem;
using app::WorkflowStage;
using matching::Phase;

namespace {

const QString kPictureDialogTitle = "Select images composing new panorama";
const QString kPictureFilter =
    "All (*.jpg;*.jpeg;*.bmp)|*.jpg;*.jpeg;*.bmp|JPEG Image File (*.jpg)|*.jpg|JPEG Image File (*.jpeg)|*.jpeg|"
    "Bitmaps (*.bmp)|*.bmp";
constexpr std::string_view kHelpFailure = "Can't open help file.";
const QString kStopJoinQuestion = "Joining of the pictures is still running.\nStop it and close Vistarium?";

QString FromStd(const std::string& s) { return QString::fromStdString(s); }
QString FromStd(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

QString FileNameOnly(const std::string& path) { return FromStd(fs::path(path).filename().string()); }

// Shows the hourglass cursor for the life of the object, on every way out.
class WaitCursor {
public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

// Runs `work` on a worker thread while this thread goes on painting; the
// user's input waits until the work is done. A busy dialog appears when the
// work takes longer than half a second. Rethrows what the work threw.
void RunWhilePainting(QWidget* parent, const QString& text, const std::function<void()>& work) {
  std::exception_ptr error;
  QEventLoop loop;
  QThread* thread = QThread::create([&work, &error] {
    try {
      work();
    } catch (...) {
      error = std::current_exception();
    }
  });
  QObject::connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
  QProgressDialog busy(text, QString(), 0, 0, parent);
  busy.setWindowModality(Qt::WindowModal);
  busy.setMinimumDuration(500);
  thread->start();
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  thread->wait();
  delete thread;
  if (error) std::rethrow_exception(error);
}

// What does not fit tells its own story; a bare std::bad_alloc is told as
// the memory it is.
const std::string kDesktopMemoryHint = "close other programs or join fewer or smaller pictures";

QString ErrorText(std::exception_ptr error) {
  if (app::IsWantOfMemory(error)) return FromStd(app::NotEnoughMemory("this command", kDesktopMemoryHint));
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  } catch (...) {
    return "Unknown error";
  }
}

// A DeviceBitmap (packed 0x00BBGGRR by rows) seen as a Qt image without a copy.
QImage ImageOf(const DeviceBitmap& picture) {
  return QImage(reinterpret_cast<const uchar*>(picture.Pixels.data()), picture.Width, picture.Height,
                static_cast<qsizetype>(picture.Width) * 4, QImage::Format_RGBX8888);
}

}  // namespace

// Progress of a phase as the window shows it. The phase calls it from the
// worker thread: bars and labels are queued to the window's thread, and the
// continue question is asked there while the phase waits for the answer.
class TfrmMain::PhaseProgress : public matching::ProgressUi {
public:
  explicit PhaseProgress(TfrmMain* window) : window_(window) {}

  double Now() override { return window_->services_.Now(); }
  void ShowBar(Phase phase, int percent) override {
    Post([w = window_, phase, percent] { w->ShowBar(phase, percent); });
  }
  void ShowTimes(Phase phase, const std::string& elapsed, const std::string& estimated) override {
    Post([w = window_, phase, e = FromStd(elapsed), s = FromStd(estimated)] { w->ShowTimes(phase, e, s); });
  }
  bool AskContinue(const std::string& question) override {
    const QString text = FromStd(question);
    if (QThread::currentThread() == window_->thread()) return window_->AskContinueQuestion(text);
    bool yes = false;
    QMetaObject::invokeMethod(
        window_, [&] { yes = window_->AskContinueQuestion(text); }, Qt::BlockingQueuedConnection);
    return yes;
  }
  bool StopRequested() override { return stop.load(); }

  std::atomic<bool> stop{false};

private:
  void Post(std::function<void()> call) {
    if (QThread::currentThread() == window_->thread())
      call();
    else
      QMetaObject::invokeMethod(window_, std::move(call), Qt::QueuedConnection);
  }
  TfrmMain* window_;
};

TfrmMain::TfrmMain(DesktopServices& services, fs::path programFolder, QWidget* parent)
    : QMainWindow(parent), services_(services), programFolder_(std::move(programFolder)) {
  setObjectName("frmMain");
  setWindowTitle("Vistarium");
  setWindowIcon(ProgramIcon());
  progress_ = std::make_unique<PhaseProgress>(this);
  // The Cancel button and closing the window stop a phase through this.
  rs_.StopSignal = &progress_->stop;

  CreateActions();
  CreateMenus();
  CreatePanels();
  CreateToolBar();
  setAcceptDrops(true);

  // The other windows, created once and kept for the program's life.
  frmDebugSphereShow_ = new TfrmDebugSphereShow(this);
  frmSimpleShow_ = new TfrmSimpleShow(this);
  frmAbout_ = new TfrmAbout(this);
  frmAdjust_ = new TfrmAdjust(services_, rs_, this);
  frmBrowser_ = new TfrmBrowser(this);

  resize(776, 426);
  setMinimumSize(776, 426);

  SetWorkflowStage(WorkflowStage::NoPictures);
  for (QLabel* l : {Label1Elapsed, Label1Estimated, Label2Elapsed, Label2Estimated, lblNameLoadedPan}) l->clear();
  // The parameter dialogs read the current parameter file as they are made.
  parameterDialogs_ = CreateParameterDialogs(services_, programFolder_, this);
  parameters_ = parameterDialogs_.Sets();
}

TfrmMain::~TfrmMain() {
  // A phase still running (the window is destroyed without being closed)
  // is stopped after its current pair and waited for; what it reports back
  // is no longer shown.
  progress_->stop = true;
  if (worker_) {
    worker_->disconnect(this);
    while (!worker_->wait(20)) QCoreApplication::processEvents();
    delete worker_;
  }
}

// ---------------------------------------------------------------------------
// Building the window

void TfrmMain::CreateActions() {
  struct ActionItem {
    QAction** Target;
    const char* Name;
    const char* Caption;
    const char* Hint;
  };
  const ActionItem items[] = {
      {&mnuNewPanorama, "mnuNewPanorama", "&Make New Panorama", "Prepare creation of new panorama"},
      {&mnuLoadPictures, "mnuLoadPictures", "&Load Pictures", "Load pictures for panorama"},
      {&mnuOpenPanorama, "mnuOpenPanorama", "&Open Panorama", "Open panorama for viewing"},
      {&mnuSavePanorama, "mnuSavePanorama", "&Save Panorama", "Save panorama in jpg-file"},
      {&mnuExport360, "mnuExport360", "Export as 360 &Photo…",
       "Save the panorama as a 360 photo that photo libraries and web viewers show as a sphere"},
      {&mnuExit, "mnuExit", "&Exit", "Exit Vistarium"},
      {&mnuViewFullSize, "mnuViewFullSize", "&Full Size Picture", "View full size panorama"},
      {&mnuViewBrowse, "mnuViewBrowse", "&Browse Panorama", "Browse panorama"},
      {&mnuJoin, "mnuJoin", "&Join Pictures", "Join together all pictures"},
      {&mnuAdjustment, "mnuAdjustment", "&Manual Adjustment", "Manual adjustment of stitching"},
      {&mnuByHand, "mnuByHand", "&Stitch Manually ", "Stitch adjacent pictures manually "},
      {&mnuEditSet, "mnuEditSet", "&Edit Picture Set",
       "Return to the picture set to reorder, delete, replace or add pictures"},
      {&mnuParametersTwoPic, "mnuParametersTwoPic", "&Adjacent Pictures",
       "Set parameters, characterizing adjacent couples of pictures"},
      {&mnuParametersCamera, "mnuParametersCamera", "&Camera", "Set parameters of used photo camera"},
      {&mnuParametersMethod, "mnuParametersMethod", "Stitching &Method", "Set parameters of stitching method"},
      {&mnuSaveParameters, "mnuSaveParameters", "&Save Parameters", "Save all parameters in file"},
      {&mnuOpenParameters, "mnuOpenParameters", "&OpenParameters", "Load all parameters from file"},
      {&mnuVistariumHelp, "mnuVistariumHelp", "&Vistarium Help ", "Vistarium Help"},
      {&mnuAbout, "mnuAbout", "&About", "About Vistarium"},
  };
  for (const ActionItem& s : items) {
    auto* a = new QAction(s.Caption, this);
    a->setObjectName(s.Name);
    a->setToolTip(s.Hint);
    a->setStatusTip(s.Hint);
    *s.Target = a;
  }
  // Images of the tool bar; the menu items show the same.
  const std::pair<QAction*, int> images[] = {
      {mnuNewPanorama, 0},      {mnuLoadPictures, 1},     {mnuOpenPanorama, 9},      {mnuSavePanorama, 2},
      {mnuViewFullSize, 10},    {mnuViewBrowse, 11},      {mnuJoin, 7},              {mnuAdjustment, 8},
      {mnuByHand, 12},          {mnuParametersTwoPic, 3}, {mnuParametersCamera, 4},  {mnuParametersMethod, 5},
      {mnuVistariumHelp, 6},
  };
  for (const auto& [action, index] : images) action->setIcon(ToolIcon(index));
  // The usual keys; the menus show them beside the captions.
  const std::pair<QAction*, QKeySequence> keys[] = {
      {mnuNewPanorama, QKeySequence(QKeySequence::New)},
      {mnuLoadPictures, QKeySequence(QKeySequence::Open)},
      {mnuOpenPanorama, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O)},
      {mnuSavePanorama, QKeySequence(QKeySequence::Save)},
      {mnuExit, QKeySequence(Qt::CTRL | Qt::Key_Q)},
      {mnuViewFullSize, QKeySequence(Qt::CTRL | Qt::Key_F)},
      {mnuViewBrowse, QKeySequence(Qt::CTRL | Qt::Key_B)},
      {mnuJoin, QKeySequence(Qt::CTRL | Qt::Key_J)},
      {mnuEditSet, QKeySequence(Qt::CTRL | Qt::Key_E)},
      {mnuVistariumHelp, QKeySequence(Qt::Key_F1)},
  };
  for (const auto& [action, key] : keys) {
    action->setShortcut(key);
    action->setShortcutContext(Qt::WindowShortcut);
  }

  auto on = [this](QAction* a, void (TfrmMain::*handler)()) {
    connect(a, &QAction::triggered, this, [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
  };
  on(mnuNewPanorama, &TfrmMain::mnuNewPanoramaClick);
  on(mnuLoadPictures, &TfrmMain::mnuLoadPicturesClick);
  on(mnuOpenPanorama, &TfrmMain::mnuOpenPanoramaClick);
  on(mnuSavePanorama, &TfrmMain::mnuSavePanoramaClick);
  on(mnuExport360, &TfrmMain::mnuExport360Click);
  on(mnuExit, &TfrmMain::mnuExitClick);
  on(mnuViewFullSize, &TfrmMain::mnuViewFullSizeClick);
  on(mnuViewBrowse, &TfrmMain::mnuViewBrowseClick);
  on(mnuJoin, &TfrmMain::mnuJoinClick);
  on(mnuAdjustment, &TfrmMain::mnuAdjustmentClick);
  on(mnuByHand, &TfrmMain::mnuByHandClick);
  on(mnuEditSet, &TfrmMain::mnuEditSetClick);
  on(mnuSaveParameters, &TfrmMain::mnuSaveParametersClick);
  on(mnuOpenParameters, &TfrmMain::mnuOpenParametersClick);
  on(mnuVistariumHelp, &TfrmMain::mnuVistariumHelpClick);
  on(mnuAbout, &TfrmMain::mnuAboutClick);
  for (QAction* a : {mnuParametersTwoPic, mnuParametersCamera, mnuParametersMethod})
    connect(a, &QAction::triggered, this, [this, a] { Guarded([this, a] { mnuParametersClick(a->objectName()); }); });
}

void TfrmMain::CreateMenus() {
  auto menu = [this](const char* name, const char* caption, const char* hint) {
    QMenu* m = menuBar()->addMenu(caption);
    m->setObjectName(name);
    m->setToolTipsVisible(true);
    m->menuAction()->setStatusTip(hint);
    m->menuAction()->setToolTip(hint);
    return m;
  };
  mnuFile = menu("mnuFile", "&File", "Open and save files");
  mnuFile->addActions({mnuNewPanorama, mnuLoadPictures, mnuOpenPanorama, mnuSavePanorama, mnuExport360});
  mnuFile->addSeparator();
  mnuFile->addAction(mnuExit);
  mnuView = menu("mnuView", "&View Panorama", "View panorama");
  mnuView->addActions({mnuViewFullSize, mnuViewBrowse});
  mnuTools = menu("mnuTools", "&Tools", "Panorama construction tools");
  mnuTools->addActions({mnuJoin, mnuAdjustment, mnuByHand});
  mnuTools->addSeparator();
  mnuTools->addAction(mnuEditSet);
  mnuParameters = menu("mnuParameters", "&Parameters", "Parameters of tools");
  mnuParameters->addActions({mnuParametersTwoPic, mnuParametersCamera, mnuParametersMethod});
  mnuParameters->addSeparator();
  mnuParameters->addActions({mnuSaveParameters, mnuOpenParameters});
  mnuHelp = menu("mnuHelp", "&Help", "");
  mnuHelp->addActions({mnuVistariumHelp, mnuAbout});

  auto popup = [this](const char* name) {
    auto* m = new QMenu(this);
    m->setObjectName(name);
    return m;
  };
  auto item = [this](QMenu* menu, const char* name, const char* caption, void (TfrmMain::*handler)()) {
    QAction* a = menu->addAction(caption);
    a->setObjectName(name);
    connect(a, &QAction::triggered, this, [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
    return a;
  };
  pmnuThumbnail = popup("pmnuThumbnail");
  pmnuDeletePicture = item(pmnuThumbnail, "pmnuDeletePicture", "Delete Picture", &TfrmMain::pmnuDeletePictureClick);
  pmnuReload = item(pmnuThumbnail, "pmnuReload", "Load Another Picture", &TfrmMain::pmnuReloadClick);
  // A click that dismisses the menu may reach the strip as well; it is
  // ignored for a moment after the menu closes, then presses count again.
  connect(pmnuThumbnail, &QMenu::aboutToHide, this,
          [this] { QTimer::singleShot(300, this, [this] { PopupJustOpened = false; }); });
  pmnuCorrection = popup("pmnuCorrection");
  pmnuAdjustRight =
      item(pmnuCorrection, "pmnuAdjustRight", "Adjust Right Connection", &TfrmMain::pmnuAdjustRightClick);
  pmnuAdjustLeft = item(pmnuCorrection, "pmnuAdjustLeft", "Adjust Left Connection", &TfrmMain::pmnuAdjustLeftClick);
}

void TfrmMain::CreateToolBar() {
  ToolBarMain = new QToolBar(centralWidget());
  ToolBarMain->setObjectName("ToolBarMain");
  ToolBarMain->setGeometry(0, 0, 433, 26);
  ToolBarMain->setIconSize(QSize(20, 20));
  ToolBarMain->setToolButtonStyle(Qt::ToolButtonIconOnly);
  ToolBarMain->setMovable(false);
  const std::pair<QAction*, const char*> buttons[] = {
      {mnuNewPanorama, "tbNewPanorama"},   {mnuLoadPictures, "tbLoadImages"},         {mnuOpenPanorama, "tbOpenPanorama"},
      {mnuSavePanorama, "tbSavePanorama"}, {nullptr, nullptr},                          {mnuViewFullSize, "tbViewFullSize"},
      {mnuViewBrowse, "tbViewBrowse"},     {nullptr, nullptr},                          {mnuJoin, "tbJoin"},
      {mnuAdjustment, "tbAdjustment"},     {mnuByHand, "tbByHand"},                     {nullptr, nullptr},
      {mnuParametersTwoPic, "tbParametersTwoPic"}, {mnuParametersCamera, "tbParametersCamera"},
      {mnuParametersMethod, "tbParametersMethod"}, {nullptr, nullptr},                  {mnuVistariumHelp, "tbHelp"},
      {nullptr, nullptr},
  };
  // Each button runs its menu item's action, so it takes the item's image,
  // hint and enabled state, whoever changes them.
  for (const auto& [action, name] : buttons) {
    if (!action) {
      ToolBarMain->addSeparator();
      continue;
    }
    ToolBarMain->addAction(action);
    if (QWidget* button = ToolBarMain->widgetForAction(action)) button->setObjectName(name);
  }
}

void TfrmMain::CreatePanels() {
  auto* central = new QWidget(this);
  central->setObjectName("frmMainClient");
  setCentralWidget(central);
  lblCameraOfJoin = new QLabel(this);
  lblCameraOfJoin->setObjectName("lblCameraOfJoin");
  statusBar()->addWidget(lblCameraOfJoin, 1);

  pnlPictureSet = new QFrame(central);
  pnlPictureSet->setObjectName("pnlPictureSet");
  pnlPictureSet->setFrameShape(QFrame::Box);
  pnlPictureSet->setGeometry(432, 0, 329, 26);
  chb360 = new QCheckBox("360 degrees panorama ", pnlPictureSet);
  chb360->setObjectName("chb360");
  chb360->setLayoutDirection(Qt::RightToLeft);  // text left of the box
  chb360->move(5, 2);
  chb360->adjustSize();
  // A line keeps the check box apart from the picture count.
  auto* divider = new QFrame(pnlPictureSet);
  divider->setObjectName("pnlPictureSetDivider");
  divider->setFrameShape(QFrame::VLine);
  divider->setFrameShadow(QFrame::Sunken);
  labMain1 = new QLabel("Number of pictures", pnlPictureSet);
  labMain1->setObjectName("labMain1");
  labMain1->adjustSize();
  // Just after the check box, and the count's label after the line, as far
  // right as the fonts in use let them (no further left than the layout's).
  const int dividerX = chb360->geometry().right() + 6;
  divider->setGeometry(dividerX, 3, 3, 20);
  labMain1->move(std::max(176, std::min(dividerX + 9, 298 - labMain1->width())), 4);
  edNofPictures = new QLineEdit("0", pnlPictureSet);
  edNofPictures->setObjectName("edNofPictures");
  edNofPictures->setReadOnly(true);
  edNofPictures->setGeometry(301, 1, 25, 22);

  sbThumbnails = new QScrollArea(central);
  sbThumbnails->setObjectName("sbThumbnails");
  sbThumbnails->setGeometry(8, 40, 753, 160);
  sbThumbnails->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  thumbnailCanvas = new QWidget;
  thumbnailCanvas->setObjectName("sbThumbnailsCanvas");
  thumbnailCanvas->setFixedSize(740, 140);
  sbThumbnails->setWidget(thumbnailCanvas);
  sbThumbnails->viewport()->installEventFilter(this);
  thumbnailCanvas->installEventFilter(this);

  pnlProgress = new QFrame(central);
  pnlProgress->setObjectName("pnlProgress");
  pnlProgress->setFrameShape(QFrame::StyledPanel);
  pnlProgress->setGeometry(8, 208, 753, 160);
  auto label = [this](const char* name, const QString& text, int x, int y) {
    auto* l = new QLabel(text, pnlProgress);
    l->setObjectName(name);
    l->setGeometry(x, y, text.isEmpty() ? 150 : 300, 18);
    return l;
  };
  Label1 = label("Label1", "Finding matching parts of adjacent pictures", 16, 10);
  Label3 = label("Label3", "Time elapsed:", 16, 32);
  Label1Elapsed = label("Label1Elapsed", "", 110, 32);
  Label4 = label("Label4", "Time estimation:", 300, 32);
  Label1Estimated = label("Label1Estimated", "", 410, 32);
  Label2 = label("Label2", "Constructing panorama", 16, 86);
  Label5 = label("Label5", "Time elapsed:", 16, 108);
  Label2Elapsed = label("Label2Elapsed", "", 110, 108);
  Label6 = label("Label6", "Time estimation:", 300, 108);
  Label2Estimated = label("Label2Estimated", "", 410, 108);
  QFont bold = Label1->font();
  bold.setBold(true);
  Label1->setFont(bold);
  Label2->setFont(bold);
  for (auto [bar, name, y] : {std::tuple{&ProgressBar1, "ProgressBar1", 54}, std::tuple{&ProgressBar2, "ProgressBar2", 130}}) {
    *bar = new QProgressBar(pnlProgress);
    (*bar)->setObjectName(name);
    (*bar)->setRange(0, 100);
    (*bar)->setValue(0);
    (*bar)->setGeometry(16, y, 721, 18);
  }
  // Stops either phase wherever it is; Escape does the same.
  bbtnCancelJoin = new QPushButton("Cancel", pnlProgress);
  bbtnCancelJoin->setObjectName("bbtnCancelJoin");
  bbtnCancelJoin->setToolTip("Stop joining and return to the picture set (Esc)");
  bbtnCancelJoin->setGeometry(657, 6, 80, 24);
  bbtnCancelJoin->setShortcut(QKeySequence(Qt::Key_Escape));
  bbtnCancelJoin->setAutoDefault(false);
  connect(bbtnCancelJoin, &QPushButton::clicked, this, [this] { bbtnCancelJoinClick(); });

  sbPanorama = new QScrollArea(central);
  sbPanorama->setObjectName("sbPanorama");
  sbPanorama->setGeometry(8, 209, 753, 160);
  auto* panoramaCanvas = new QWidget;
  panoramaCanvas->setObjectName("sbPanoramaCanvas");
  panoramaCanvas->setFixedSize(740, 145);
  sbPanorama->setWidget(panoramaCanvas);
  sbPanorama->viewport()->installEventFilter(this);
  pnlPanorama = new QFrame(panoramaCanvas);
  pnlPanorama->setObjectName("pnlPanorama");
  pnlPanorama->setFrameShape(QFrame::StyledPanel);
  pnlPanorama->setGeometry(5, 5, 100, 135);
  ImgPanorama = new QLabel(pnlPanorama);
  ImgPanorama->setObjectName("ImgPanorama");
  lblNameLoadedPan = new QLabel(pnlPanorama);
  lblNameLoadedPan->setObjectName("lblNameLoadedPan");
  lblNameLoadedPan->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);

  ImgWrk = new QLabel(central);
  ImgWrk->setObjectName("ImgWrk");
  ImgWrk->hide();
}

// ---------------------------------------------------------------------------
// Stages

void TfrmMain::SetWorkflowStage(WorkflowStage stage) {
  stage_ = stage;
  for (std::string_view item : app::StageTableItems()) {
    const bool enabled = app::IsEnabledInStage(item, stage);
    const QString name = FromStd(item);
    if (name == "chb360")
      chb360->setEnabled(enabled);
    else if (auto* menu = findChild<QMenu*>(name))
      menu->menuAction()->setEnabled(enabled);
    else if (auto* action = findChild<QAction*>(name))
      action->setEnabled(enabled);
  }
  // Stitch Manually that starts its connections where the feature search
  // sees the overlap takes about a second a pair: it shows the progress
  // panel, and so its Cancel, like Join.
  const app::StagePanels panels = app::PanelsFor(stage, rs_.ManualStitching && !rs_.PlaceByFeatures);
  sbPanorama->setVisible(panels.PanoramaStrip);
  pnlProgress->setVisible(panels.ProgressPanel);
  lblNameLoadedPan->setVisible(panels.LoadedName);
  const bool running = stage == WorkflowStage::Finding || stage == WorkflowStage::Constructing;
  bbtnCancelJoin->setEnabled(running);
  if (running) bbtnCancelJoin->setText("Cancel");
  // Marks of unreliable connections last while their panorama is shown or
  // corrected; a new Join or another set ends them.
  if (stage != WorkflowStage::PanoramaMade && stage != WorkflowStage::ConnectionsReady) ClearConnectionMarks();
  ToolBarMain->update();
}

void TfrmMain::ClearPictureSet() {
  ResetConstructionResults(rs_);
  frmBrowser_->ResetBrowser();
  ResetFindingResults(rs_);
  ResetPictureSetData(rs_);
  SetWorkflowStage(WorkflowStage::NoPictures);
  FileNames.clear();
  for (QFrame* frame : ThumbnailFrames) delete frame;  // with its image and name
  ThumbnailFrames.clear();
  ThumbnailImages.clear();
  ThumbnailNames.clear();
  edNofPictures->setText("0");
  thumbnailCanvas->setFixedWidth(740 + ExtraWidth());
  keptConnections_.clear();
  panoramaUnsaved_ = false;
  DragState = {};
  DragState.DragSource = DragState.DragTarget = -1;
}

void TfrmMain::Guarded(const std::function<void()>& command) {
  try {
    command();
  } catch (...) {
    services_.ReportError(this, ErrorText(std::current_exception()));
  }
}

// ---------------------------------------------------------------------------
// Picture set

QPixmap TfrmMain::ThumbnailPixmap(const DeviceBitmap& picture) const {
  // The strip shows a smooth reduction; the phases read the files themselves.
  return QPixmap::fromImage(ImageOf(picture).scaled(Thumb.Width, Thumb.Height, Qt::IgnoreAspectRatio,
                                                    Qt::SmoothTransformation));
}

void TfrmMain::PlaceThumbnailImage(int i) {
  ThumbnailImages[static_cast<std::size_t>(i)]->setGeometry(Thumb.Left + 5, Thumb.Top + 5, Thumb.Width, Thumb.Height);
}

void TfrmMain::AddThumbnail(const DeviceBitmap& picture, const std::string& path) {
  const int i = PictureCount();
  auto* frame = new QFrame(thumbnailCanvas);
  frame->setObjectName("ThumbnailFrame");
  frame->setFrameShape(QFrame::Panel);
  frame->setFrameShadow(QFrame::Raised);
  frame->setAutoFillBackground(true);
  frame->setGeometry(app::kThumbnailSlot * i + 5, 5, 110, 135);
  auto* image = new QLabel(frame);
  image->setObjectName("ThumbnailImage");
  image->setScaledContents(true);
  auto* name = new QLineEdit(frame);
  name->setObjectName("ThumbnailName");
  name->setReadOnly(true);
  name->setContextMenuPolicy(Qt::NoContextMenu);
  name->setGeometry(5, 110, 100, 21);
  SetThumbnailName(name, FileNameOnly(path), FromStd(path));
  for (QWidget* w : std::initializer_list<QWidget*>{frame, image, name}) {
    w->setProperty("tag", i);
    w->installEventFilter(this);
  }
  FileNames.push_back(path);
  ThumbnailFrames.push_back(frame);
  ThumbnailImages.push_back(image);
  ThumbnailNames.push_back(name);
  PlaceThumbnailImage(i);
  image->setPixmap(ThumbnailPixmap(picture));
  edNofPictures->setText(QString::number(PictureCount()));
  thumbnailCanvas->setFixedWidth(std::max(740 + ExtraWidth(), app::kThumbnailSlot * PictureCount() + 10));
  frame->show();
}

void TfrmMain::mnuLoadPicturesClick() {
  const QStringList files = services_.ChooseFilesToOpen(this, kPictureDialogTitle, kPictureFilter, true);
  if (!files.isEmpty()) LoadPictureFiles(files);
}

void TfrmMain::LoadPictureFiles(const QStringList& files) {
  std::vector<std::string> given;
  for (const QString& f : files) given.push_back(QFileInfo(f).absoluteFilePath().toStdString());
  // Folders stand for their pictures; every readable picture is loaded, and
  // the files that are not are listed together afterwards.
  std::vector<app::RefusedFile> refused;
  const std::vector<std::string> paths = app::PicturePathsToLoad(given, refused);
  {
    WaitCursor wait;
    for (const std::string& path : paths) {
      DeviceBitmap picture;
      try {
        picture = render::LoadPictureFile(path);
      } catch (const std::exception& e) {
        refused.push_back({path, e.what()});
        continue;
      }
      if (PictureCount() > 0 && (picture.Width != PictureWidth || picture.Height != PictureHeight)) {
        refused.push_back({path, app::SizeMismatchReason(picture.Width, picture.Height, PictureWidth, PictureHeight)});
        continue;
      }
      if (PictureCount() == 0) {
        PictureWidth = picture.Width;
        PictureHeight = picture.Height;
        Thumb = app::ComputeThumbnailGeometry(PictureWidth, PictureHeight);
      }
      AddThumbnail(picture, path);
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    SetWorkflowStage(app::StageForPictureCount(PictureCount()));
  }
  if (!refused.empty()) services_.Inform(this, FromStd(app::RefusedFilesMessage(refused)));
}

void TfrmMain::pmnuDeletePictureClick() {
  PopupJustOpened = false;
  const int k = PopupPicture;
  const int n = PictureCount();
  if (k < 0 || k >= n) return;
  for (int i = k; i < n - 1; ++i) {
    const auto u = static_cast<std::size_t>(i);
    ThumbnailImages[u]->setPixmap(ThumbnailImages[u + 1]->pixmap());
    FileNames[u] = FileNames[u + 1];
    ThumbnailNames[u]->setText(ThumbnailNames[u + 1]->text());
    ThumbnailNames[u]->setToolTip(ThumbnailNames[u + 1]->toolTip());
  }
  delete ThumbnailFrames.back();
  ThumbnailFrames.pop_back();
  ThumbnailImages.pop_back();
  ThumbnailNames.pop_back();
  FileNames.pop_back();
  edNofPictures->setText(QString::number(PictureCount()));
  thumbnailCanvas->setFixedWidth(std::max(740 + ExtraWidth(), app::kThumbnailSlot * PictureCount() + 10));
  SetWorkflowStage(app::StageForPictureCount(PictureCount()));
}

void TfrmMain::pmnuReloadClick() {
  PopupJustOpened = false;
  const int k = PopupPicture;
  if (k < 0 || k >= PictureCount()) return;
  const QStringList files = services_.ChooseFilesToOpen(this, kPictureDialogTitle, kPictureFilter, false);
  if (files.isEmpty()) return;
  const std::string path = QFileInfo(files.front()).absoluteFilePath().toStdString();
  WaitCursor wait;
  const DeviceBitmap picture = render::LoadPictureFile(path);
  if (PictureCount() == 1) {
    PictureWidth = picture.Width;
    PictureHeight = picture.Height;
    Thumb = app::ComputeThumbnailGeometry(PictureWidth, PictureHeight);
  } else if (picture.Width != PictureWidth || picture.Height != PictureHeight) {
    services_.Inform(this, FromStd(app::SizeMismatchMessage(path)));
    return;
  }
  const auto u = static_cast<std::size_t>(k);
  FileNames[u] = path;
  PlaceThumbnailImage(k);
  ThumbnailImages[u]->setPixmap(ThumbnailPixmap(picture));
  SetThumbnailName(ThumbnailNames[u], FileNameOnly(path), FromStd(path));
}

int TfrmMain::ThumbnailIndex(QObject* control) const {
  const QVariant tag = control->property("tag");
  return tag.isValid() ? tag.toInt() : -1;
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonPress) {
    ThumbnailMouseDown(watched, static_cast<QMouseEvent*>(event));
    return ThumbnailIndex(watched) >= 0;  // the name edits take no clicks of their own
  }
  if (event->type() == QEvent::MouseButtonRelease) {
    ThumbnailMouseUp(watched, static_cast<QMouseEvent*>(event));
    return false;
  }
  if (event->type() == QEvent::MouseButtonDblClick) return ThumbnailIndex(watched) >= 0;
  return QMainWindow::eventFilter(watched, event);
}

void TfrmMain::mousePressEvent(QMouseEvent* event) {
  if (stage_ == WorkflowStage::PicturesLoaded) PopupJustOpened = false;
  QMainWindow::mousePressEvent(event);
}

void TfrmMain::ThumbnailMouseDown(QObject* control, QMouseEvent* event) {
  const int k = ThumbnailIndex(control);
  const bool onImage = std::find(ThumbnailImages.begin(), ThumbnailImages.end(), control) != ThumbnailImages.end();
  const QPoint menuAt = thumbnailCanvas->mapToGlobal(QPoint(app::kThumbnailSlot * k + 10, 100));
  switch (stage_) {
    case WorkflowStage::PicturesLoaded:
      if (PopupJustOpened) {
        PopupJustOpened = false;
        return;
      }
      if (event->button() == Qt::LeftButton && onImage) {
        DragState.Dragging = true;
        DragState.DragSource = k;
        DragState.DragTarget = -1;
        const QPoint p = event->position().toPoint();
        DragState.Press = {p.x() + Thumb.Left + 5, p.y() + Thumb.Top + 5};
        QApplication::setOverrideCursor(Qt::DragMoveCursor);
      } else if (event->button() == Qt::RightButton && k >= 0) {
        PopupPicture = k;
        PopupJustOpened = true;
        pmnuThumbnail->popup(menuAt);
      }
      break;
    case WorkflowStage::NoPictures:
      if (PictureCount() == 1 && event->button() == Qt::RightButton && k >= 0) {
        PopupPicture = k;
        pmnuThumbnail->popup(menuAt);
      }
      break;
    case WorkflowStage::ConnectionsReady:
      if (event->button() == Qt::RightButton && k >= 0) {
        PopupPicture = k;
        const app::ConnectionMenuState state = app::ConnectionMenuFor(k, rs_.PictureSet.Count, rs_.PictureSet.Is360);
        pmnuAdjustLeft->setEnabled(state.AdjustLeft);
        pmnuAdjustRight->setEnabled(state.AdjustRight);
        pmnuCorrection->popup(menuAt);
      }
      break;
    default:
      break;
  }
}

void TfrmMain::ThumbnailMouseUp(QObject* control, QMouseEvent* event) {
  if (!DragState.Dragging || event->button() != Qt::LeftButton) return;
  (void)control;
  const QPoint p = event->position().toPoint();
  DragState.Release = p;
  const std::optional<int> target = app::DropTarget(DragState.DragSource, p.x(), p.y(), Thumb, PictureCount());
  DragState.DragTarget = target.value_or(-1);
  if (target) {
    const auto a = static_cast<std::size_t>(DragState.DragSource), b = static_cast<std::size_t>(*target);
    std::swap(FileNames[a], FileNames[b]);
    const QString name = ThumbnailNames[a]->text(), tip = ThumbnailNames[a]->toolTip();
    ThumbnailNames[a]->setText(ThumbnailNames[b]->text());
    ThumbnailNames[a]->setToolTip(ThumbnailNames[b]->toolTip());
    ThumbnailNames[b]->setText(name);
    ThumbnailNames[b]->setToolTip(tip);
    const QPixmap picture = ThumbnailImages[a]->pixmap();
    ThumbnailImages[a]->setPixmap(ThumbnailImages[b]->pixmap());
    ThumbnailImages[b]->setPixmap(picture);
  }
  QApplication::restoreOverrideCursor();
  DragState.Dragging = false;
  DragState.DragSource = DragState.DragTarget = -1;
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* event) {
  if (!mnuLoadPictures->isEnabled() || !event->mimeData()->hasUrls()) return;
  for (const QUrl& url : event->mimeData()->urls())
    if (!url.isLocalFile()) return;
  event->acceptProposedAction();
}

void TfrmMain::dropEvent(QDropEvent* event) {
  QStringList files;
  for (const QUrl& url : event->mimeData()->urls()) files << url.toLocalFile();
  event->acceptProposedAction();
  Guarded([this, files] { LoadPictureFiles(files); });
}

// ---------------------------------------------------------------------------
// Join

void TfrmMain::RunInBackground(std::function<void()> work, std::function<void(std::exception_ptr)> done) {
  auto error = std::make_shared<std::exception_ptr>();
  QThread* thread = QThread::create([work = std::move(work), error] {
    try {
      work();
    } catch (...) {
      *error = std::current_exception();
    }
  });
  worker_ = thread;
  connect(thread, &QThread::finished, this, [this, thread, error, done = std::move(done)] {
    worker_ = nullptr;
    thread->deleteLater();
    done(*error);
  });
  thread->start();
}

void TfrmMain::SetLabelRed(QLabel* label, bool red) {
  QPalette p = label->palette();
  p.setColor(QPalette::WindowText, red ? QColor(255, 0, 0) : palette().color(QPalette::WindowText));
  label->setPalette(p);
}

void TfrmMain::ShowBar(Phase phase, int percent) {
  (phase == Phase::Finding ? ProgressBar1 : ProgressBar2)->setValue(percent);
}

void TfrmMain::ShowTimes(Phase phase, const QString& elapsed, const QString& estimated) {
  (phase == Phase::Finding ? Label1Elapsed : Label2Elapsed)->setText(elapsed);
  (phase == Phase::Finding ? Label1Estimated : Label2Estimated)->setText(estimated);
}

bool TfrmMain::AskContinueQuestion(const QString& question) {
  // The hourglass would hide that the question waits for an answer.
  QApplication::setOverrideCursor(Qt::ArrowCursor);
  const bool yes = services_.Ask(this, question);
  QApplication::restoreOverrideCursor();
  return yes;
}

void TfrmMain::mnuJoinClick() {
  // Joining again replaces the panorama made before.
  if (!ConfirmDiscardPanorama()) return;
  SetLabelRed(Label2, false);
  for (QLabel* l : {Label3, Label4, Label5, Label6}) l->hide();
  for (QLabel* l : {Label1Elapsed, Label1Estimated, Label2Elapsed, Label2Estimated}) l->clear();
  for (QLabel* l : {Label1Elapsed, Label1Estimated, Label2Elapsed}) l->hide();
  matching::SetProgressBar(rs_, *progress_, Phase::Construction, 0);
  progress_->stop = false;
  TakeJoinOptions();

  if (stage_ == WorkflowStage::ConnectionsReady) {
    SetLabelRed(Label1, false);
    SetLabelRed(Label2, true);
    for (QLabel* l : {Label5, Label6, Label2Elapsed, Label2Estimated}) l->show();
    matching::SetProgressBar(rs_, *progress_, Phase::Finding, 100);
    SetWorkflowStage(WorkflowStage::Constructing);
    StartConstruction(WorkflowStage::ConnectionsReady);
    return;
  }

  SetLabelRed(Label1, true);
  SetLabelRed(Label2, false);
  for (QLabel* l : {Label3, Label4, Label1Elapsed, Label1Estimated}) l->show();
  matching::SetProgressBar(rs_, *progress_, Phase::Finding, 0);
  SetWorkflowStage(WorkflowStage::Finding);

  const TPictureSetData pictures = PictureSetSnapshot();
  const params::ParameterSets parameters = parameters_;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const bool fromPictures = parameterDialogs_.Camera->FromPictures();
  RunInBackground([this, pictures, parameters, fromPictures] { RunFinding(rs_, pictures, parameters, true, fromPictures); },
                  [this](std::exception_ptr error) {
                    QApplication::restoreOverrideCursor();
                    if (error) {
                      JoinFailed(error, WorkflowStage::PicturesLoaded);
                      return;
                    }
                    if (rs_.CancelRequested || closeAfterJoin_) {
                      // Connections kept from an edited set stay kept.
                      ResetConstructionResults(rs_);
                      frmBrowser_->ResetBrowser();
                      ResetFindingResults(rs_);
                      SetWorkflowStage(WorkflowStage::PicturesLoaded);
                      FinishJoinIfClosing();
                      return;
                    }
                    keptConnections_.clear();
                    SetLabelRed(Label1, false);
                    SetLabelRed(Label2, true);
                    Label4->hide();
                    Label1Estimated->hide();
                    for (QLabel* l : {Label5, Label6, Label2Elapsed, Label2Estimated}) l->show();
                    SetWorkflowStage(WorkflowStage::Constructing);
                    StartConstruction(WorkflowStage::PicturesLoaded);
                  });
}

void TfrmMain::StartConstruction(WorkflowStage startedFrom) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  RunInBackground(
      [this] {
        proposedOrder_.clear();
        // The panorama's bands go straight into the picture the window
        // shows, reduced when the panorama is too large to hold whole.
        builtPicture_ = Bitmap32{};
        int factor = 1;
        app::RunConstructionPhase(rs_, *progress_,
                                  render::DisplayPictureSink(builtPicture_, heldBudget_, factor));
        if (rs_.CancelRequested) return;
        held_ = {factor, rs_.Panorama.Width, rs_.Panorama.Height};
        // Connections named because their pictures stand the wrong way
        // round point to the order in which the set fits.
        proposedOrder_ = app::FittingOrder(rs_);
      },
      [this, startedFrom](std::exception_ptr error) {
        QApplication::restoreOverrideCursor();
        SetLabelRed(Label2, false);
        if (error) {
          JoinFailed(error, startedFrom);
          return;
        }
        if (rs_.CancelRequested) {
          // Stopped: back where Join started, with the set intact. The
          // connections found on the way are kept for the next Join.
          if (startedFrom == WorkflowStage::PicturesLoaded) keptConnections_ = app::TakeConnections(rs_);
          ResetConstructionResults(rs_);
          frmBrowser_->ResetBrowser();
          if (startedFrom == WorkflowStage::PicturesLoaded) ResetFindingResults(rs_);
          frmSimpleShow_->Clear();
          builtPicture_ = Bitmap32{};
          SetWorkflowStage(startedFrom);
          FinishJoinIfClosing();
          return;
        }
        const QString heldText = FromStd(app::HeldPanoramaText(held_, builtPicture_));
        frmSimpleShow_->TakePicture(std::move(builtPicture_), heldText);
        builtPicture_ = Bitmap32{};
        DrawPanoramaPreview();
        SetWorkflowStage(WorkflowStage::PanoramaMade);
        panoramaUnsaved_ = true;
        // Connections that the check names are worth a look before saving.
        QStringList warnings;
        if (!rs_.Layout.ScaleNote.empty()) services_.Inform(this, FromStd(rs_.Layout.ScaleNote));
        const std::vector<ConnectionCheck> checks = CheckConnections(rs_);
        for (const ConnectionCheck& c : checks)
          if (const std::string w = ConnectionWarning(c); !w.empty()) warnings << FromStd(w);
        MarkUnreliableConnections(checks);
        ShowCameraOfJoin();
        if (!proposedOrder_.empty() && !closeAfterJoin_) {
          const std::vector<int> order = std::move(proposedOrder_);
          proposedOrder_.clear();
          QTimer::singleShot(0, this, [this, order] { Guarded([this, order] { OfferOrder(order); }); });
        } else if (!warnings.isEmpty())
          services_.Inform(this, "The panorama is made, but some connections look unreliable:\n\n" +
                                     warnings.join("\n\n") +
                                     "\n\nManual Adjustment lets you correct them through the thumbnails' menu.");
        FinishJoinIfClosing();
      });
}

QString TfrmMain::JoinErrorText(std::exception_ptr error, bool findingFailed) const {
  if (!app::IsWantOfMemory(error)) return ErrorText(error);
  return FromStd(app::NotEnoughMemory(
      findingFailed ? app::FindingMemoryUse(rs_) : app::ConstructionMemoryUse(rs_), kDesktopMemoryHint));
}

params::ParameterSets TfrmMain::JoinParameters(const TPictureSetData& pictures, params::ParameterSets parameters,
                                               bool fromPictures) {
  cameraSource_ = app::ChooseStartingCamera(rs_, parameters, pictures.FileNames, fromPictures, cameraNote_);
  pictureCamera_ = parameters.Camera.Name;
  return parameters;
}

void TfrmMain::ShowCameraOfJoin() {
  std::vector<std::string> lines = app::CalibrationLines(rs_, cameraSource_);
  if (!cameraNote_.empty()) lines.insert(lines.begin(), cameraNote_);
  const CameraCalibration& c = rs_.Calibration;
  // Where the camera came from, then what the calibration made of it.
  QString shown = cameraSource_ == app::CameraSource::Entry ? "Camera entry"
                  : c.EstimatedFocalLength > 0.0          ? "No usable EXIF focal length, camera estimated from the pictures"
                  : rs_.EstimateFocal                      ? "No usable EXIF focal length, camera entry"
                                                           : "Camera from the pictures' EXIF";
  if (c.Done)
    shown += ", calibrated on all connections: " + QString::number(c.FocalLength, 'f', 2) + " mm, aberration " +
             QString::number(c.Aberration, 'f', 4) + ", residual " + QString::number(c.RmsPixels, 'f', 2) + " pixels";
  else
    shown += ": " + QString::number(rs_.Projection.FocalPixels * 18.0 / rs_.Projection.HalfSize, 'f', 2) + " mm";
  QStringList all;
  for (const std::string& line : lines) all << FromStd(line);
  lblCameraOfJoin->setText(shown);
  lblCameraOfJoin->setToolTip(all.join("\n"));
  if (c.Done)
    parameterDialogs_.Camera->SetCalibratedCamera(
        c.EstimatedFocalLength > 0.0 ? std::string("Camera estimated from the pictures") : pictureCamera_, c.FocalLength,
        c.Aberration);
  else
    parameterDialogs_.Camera->ClearCalibratedCamera();
}

void TfrmMain::JoinFailed(std::exception_ptr error, WorkflowStage startedFrom) {
  // No panorama exists after a failed step: back to where Join started,
  // with the construction results gone. The picture set stays, and so do
  // the connections unless the finding phase itself failed.
  SetLabelRed(Label1, false);
  SetLabelRed(Label2, false);
  const bool findingFailed = stage_ == WorkflowStage::Finding;
  const QString message = JoinErrorText(error, findingFailed);  // before the results it names are gone
  ResetConstructionResults(rs_);
  frmBrowser_->ResetBrowser();
  if (findingFailed) ResetFindingResults(rs_);
  frmSimpleShow_->Clear();
  builtPicture_ = Bitmap32{};
  SetWorkflowStage(startedFrom);
  services_.ReportError(this, message);
  FinishJoinIfClosing();
}

void TfrmMain::FinishJoinIfClosing() {
  if (!closeAfterJoin_) return;
  closeAfterJoin_ = false;
  QTimer::singleShot(0, this, [this] { close(); });
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  if (!JoinRunning() && !ConfirmDiscardPanorama()) {
    event->ignore();
    return;
  }
  if (JoinRunning()) {
    event->ignore();
    if (!closeAfterJoin_ && services_.Ask(this, kStopJoinQuestion)) {
      closeAfterJoin_ = true;
      progress_->stop = true;
    }
    return;
  }
  for (QWidget* w : {static_cast<QWidget*>(frmSimpleShow_), static_cast<QWidget*>(frmAbout_),
                     static_cast<QWidget*>(frmDebugSphereShow_)})
    w->close();
  event->accept();
}

TPictureSetData TfrmMain::PictureSetSnapshot() const {
  TPictureSetData pictures;
  pictures.FileNames = FileNames;
  pictures.Count = PictureCount();
  pictures.Is360 = chb360->isChecked();
  return pictures;
}

void TfrmMain::TakeJoinOptions() {
  // Full-size refinement and rescue, exposure gains (which need the
  // refinement) and the crop, as the switches beside the parameter file say.
  rs_.Refine = params::ReadRefinementOption(params::RefinementOptionPath(programFolder_));
  rs_.CompensateExposure =
      rs_.Refine && params::ReadGainCompensationOption(params::GainCompensationOptionPath(programFolder_));
  rs_.Crop = params::ReadCropOption(params::CropOptionPath(programFolder_));
}

void TfrmMain::mnuByHandClick() {
  TakeJoinOptions();
  rs_.ManualStitching = true;
  rs_.PlaceByFeatures = true;  // start where the pictures really overlap
  progress_->stop = false;
  SetWorkflowStage(WorkflowStage::Finding);
  const TPictureSetData pictures = PictureSetSnapshot();
  const params::ParameterSets parameters = parameters_;
  const bool fromPictures = parameterDialogs_.Camera->FromPictures();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  RunInBackground(
      [this, pictures, parameters, fromPictures] { RunFinding(rs_, pictures, parameters, false, fromPictures); },
      [this](std::exception_ptr error) {
        QApplication::restoreOverrideCursor();
        rs_.PlaceByFeatures = false;
        if (error) {
          rs_.ManualStitching = false;
          JoinFailed(error, WorkflowStage::PicturesLoaded);
          return;
        }
        if (rs_.CancelRequested || closeAfterJoin_) {
          rs_.ManualStitching = false;
          ResetFindingResults(rs_);
          SetWorkflowStage(WorkflowStage::PicturesLoaded);
          FinishJoinIfClosing();
          return;
        }
        keptConnections_.clear();
        SetWorkflowStage(WorkflowStage::ConnectionsReady);
        rs_.ManualStitching = false;
        FinishJoinIfClosing();
      });
}

void TfrmMain::mnuAdjustmentClick() {
  // The panorama goes: the connections are corrected and joined anew.
  if (!ConfirmDiscardPanorama()) return;
  panoramaUnsaved_ = false;
  SetWorkflowStage(WorkflowStage::ConnectionsReady);
  ResetConstructionResults(rs_);
  frmBrowser_->ResetBrowser();
}

// ---------------------------------------------------------------------------
// Preview

void TfrmMain::ShowPreviewImage(const app::PreviewGeometry& g) {
  const Bitmap32 pixels = app::PreviewPixels(frmSimpleShow_->Picture(), g);
  const QImage image(reinterpret_cast<const uchar*>(pixels.Pixels.data()), pixels.Width, pixels.Height,
                     static_cast<qsizetype>(pixels.Width) * 4, QImage::Format_RGB32);
  ImgPanorama->setPixmap(QPixmap::fromImage(image.copy()));
  ImgPanorama->setGeometry(g.ImageLeft, g.ImageTop, g.ImageWidth, g.ImageHeight);
  pnlPanorama->setGeometry(5, 5, g.PanelWidth, g.PanelHeight);
  sbPanorama->widget()->setFixedSize(std::max(g.PanelWidth + 10, 1), g.PanelHeight + 10);
}

void TfrmMain::DrawPanoramaPreview() {
  const Bitmap32& picture = frmSimpleShow_->Picture();
  // The strip's own width: its viewport is not laid out while it is hidden.
  ShowPreviewImage(app::GrownPanoramaPreview(picture.Width, picture.Height, rs_.PictureSet.Count,
                                             sbPanorama->width() - 2 * sbPanorama->frameWidth(), ExtraWidth(),
                                             ExtraHeight()));
}

void TfrmMain::DrawOpenedPreview() {
  const Bitmap32& picture = frmSimpleShow_->Picture();
  const app::PreviewGeometry g = app::GrownOpenedPreview(
      picture.Width, picture.Height, sbPanorama->width() - 2 * sbPanorama->frameWidth(), ExtraHeight());
  ShowPreviewImage(g);
  // The name goes under the preview, at the panel's bottom, without
  // covering the picture.
  const int h = lblNameLoadedPan->sizeHint().height();
  pnlPanorama->resize(g.PanelWidth, g.PanelHeight + h);
  lblNameLoadedPan->setGeometry(0, g.PanelHeight, g.PanelWidth, h);
  sbPanorama->widget()->setFixedSize(g.PanelWidth + 10, g.PanelHeight + h + 10);
}

// ---------------------------------------------------------------------------
// Panorama files and views

void TfrmMain::mnuSavePanoramaClick() {
  const QString chosen = services_.ChooseFileToSave(this, "Save Panorama", FromStd(app::kSaveFilter));
  if (chosen.isEmpty()) return;
  const std::string path = app::PanoramaFileNameFor(chosen.toStdString());
  // Never over a picture of the set, nor where it cannot be written: told
  // before the question and the encoding.
  if (const std::string problem = app::OutputProblem(path, PictureInputs()); !problem.empty()) {
    services_.Inform(this, FromStd(std::string(app::OutputRefused({path, "the panorama"}, problem).what())));
    return;
  }
  if (fs::exists(path) && !services_.Ask(this, FromStd(app::kReplaceExistingFileQuestion))) return;
  WaitCursor wait;
  if (held_.Factor <= 1) {
    const Bitmap32& picture = frmSimpleShow_->Picture();
    const render::JpegSegment metadata =
        app::PanoramaExifSegment(rs_.PictureSet.FileNames, picture.Width, picture.Height);
    app::SavePanoramaFile(path, picture, app::TrailerOfRun(rs_), {&metadata, 1});
  } else {
    // The window holds a reduced copy: the panorama is made again at full
    // size, band by band into the file.
    RunWhilePainting(this, "Saving the panorama at full size...", [&] {
      matching::SilentProgressUi quiet;
      app::SaveRunPanorama(rs_, quiet, path);
    });
  }
  panoramaUnsaved_ = false;
}

std::vector<app::NamedFile> TfrmMain::PictureInputs() const {
  std::vector<app::NamedFile> inputs;
  for (std::size_t i = 0; i < FileNames.size(); ++i)
    inputs.push_back({FileNames[i], "picture " + std::to_string(i + 1) + " of the set"});
  return inputs;
}

void TfrmMain::mnuExport360Click() {
  const QString chosen = services_.ChooseFileToSave(this, "Export as 360 Photo", FromStd(app::kSaveFilter));
  if (chosen.isEmpty()) return;
  const std::string path = app::PanoramaFileNameFor(chosen.toStdString());
  std::vector<app::NamedFile> inputs = PictureInputs();
  if (!openedFile_.empty()) inputs.push_back({openedFile_, "the opened panorama"});
  if (const std::string problem = app::OutputProblem(path, inputs); !problem.empty()) {
    services_.Inform(this, FromStd(std::string(app::OutputRefused({path, "the 360 photo"}, problem).what())));
    return;
  }
  if (fs::exists(path) && !services_.Ask(this, FromStd(app::kReplaceExistingFileQuestion))) return;
  WaitCursor wait;
  // A made panorama brings its run's values and the first picture's
  // metadata, an opened one its trailer's values and its own metadata.
  const bool opened = stage_ == WorkflowStage::PanoramaOpened;
  const Bitmap32& picture = frmSimpleShow_->Picture();
  const app::SphereSource source{rs_.PictureSet.Is360, rs_.Projection.AngleStep, rs_.Projection.PixelsPerRadian,
                                 static_cast<double>(opened ? openedHorizonRow_ : rs_.Layout.Top)};
  const app::SphereTags layout = app::SpherePhotoLayout(source, picture.Width, picture.Height);
  std::vector<render::JpegSegment> metadata;
  if (!opened)
    metadata.push_back(app::PanoramaExifSegment(rs_.PictureSet.FileNames, layout.CroppedWidth, layout.CroppedHeight));
  else if (auto exif = app::CopiedExifSegment(openedFile_, layout.CroppedWidth, layout.CroppedHeight))
    metadata.push_back(std::move(*exif));
  app::WriteSpherePhoto(picture, source, path, std::move(metadata));
}

void TfrmMain::mnuOpenPanoramaClick() {
  if (!ConfirmDiscardPanorama()) return;
  const QStringList files = services_.ChooseFilesToOpen(this, kPictureDialogTitle, FromStd(app::kOpenFilter), false);
  if (files.isEmpty()) return;
  const std::string path = QFileInfo(files.front()).absoluteFilePath().toStdString();
  app::TrailerReading reading;
  try {
    reading = app::ReadPanoramaTrailer(path);
  } catch (const app::PanoramaFileError& e) {
    services_.Inform(this, QString::fromUtf8(e.what()));
    return;
  }
  WaitCursor wait;
  ClearPictureSet();
  openedBrowsable_ = false;
  app::StoreTrailerReading(reading, rs_.Projection, rs_.PictureSet.Is360);
  if (reading.State == app::TrailerState::Damaged) services_.Inform(this, FromStd(app::kDamagedTrailerMessage));
  // A large panorama is held reduced by the decoder's own scaling.
  app::HeldOpenedPanorama opened = app::OpenPanoramaToHold(path, heldBudget_);
  const DeviceBitmap& picture = opened.Picture;
  held_ = opened.Held;
  openedHorizonRow_ = app::BrowsingHorizonRow(reading.Values, held_.FullHeight);
  PictureWidth = held_.FullWidth;
  PictureHeight = held_.FullHeight;
  rs_.Panorama.Width = held_.FullWidth;
  rs_.Panorama.Height = held_.FullHeight;
  Thumb = app::ComputeThumbnailGeometry(PictureWidth, PictureHeight);
  frmSimpleShow_->ShowPicture(picture);
  frmSimpleShow_->SetHeldText(FromStd(app::HeldPanoramaText(held_, frmSimpleShow_->Picture())));
  DrawOpenedPreview();
  lblNameLoadedPan->setText(FromStd(app::LoadedPanoramaLabel(path, reading.State)));
  SetWorkflowStage(WorkflowStage::PanoramaOpened);
  chb360->setChecked(rs_.PictureSet.Is360);
  openedBrowsable_ = reading.State == app::TrailerState::Sound;
  openedFile_ = path;
  mnuViewBrowse->setEnabled(openedBrowsable_);
  mnuExport360->setEnabled(openedBrowsable_);
}

void TfrmMain::mnuViewFullSizeClick() { frmSimpleShow_->ShowFullSize(); }

void TfrmMain::mnuViewBrowseClick() {
  // A made panorama brings the run's values and its layout's horizon row;
  // an opened file the values its trailer gave (stored in the run state)
  // and its horizon row.
  const bool opened = stage_ == WorkflowStage::PanoramaOpened;
  browse::BrowserSource source = app::RunBrowserSource(rs_);
  if (opened) {
    source.AngleStep = rs_.Projection.AngleStep;
    source.PixelsPerRadian = rs_.Projection.PixelsPerRadian;
    source.FocalPixels = rs_.Projection.FocalPixels;
    source.HorizonRow = openedHorizonRow_;
  }
  // The browser reads the copy the window holds.
  source = app::HeldBrowserSource(source, held_.Factor);
  browse::BrowserState prepared = frmBrowser_->StateForOpening();
  const Bitmap32& picture = frmSimpleShow_->Picture();
  try {
    WaitCursor wait;
    RunWhilePainting(this, "Preparing the panorama for browsing...",
                     [&] { browse::OpenBrowser(prepared, picture, source); });
  } catch (const std::exception& e) {
    services_.ReportError(this, QString::fromUtf8(e.what()));
    return;
  }
  // The window may have been closed while the map was built: the program
  // is ending, and the browser must not appear over nothing.
  if (!isVisible()) return;
  frmBrowser_->ShowOpened(std::move(prepared));
  frmBrowser_->exec();
}

void TfrmMain::mnuNewPanoramaClick() {
  if (!ConfirmDiscardPanorama()) return;
  ClearPictureSet();
}

void TfrmMain::mnuExitClick() { close(); }

void TfrmMain::mnuParametersClick(const QString& which) {
  QDialog* dialog = nullptr;
  if (which == "mnuParametersCamera") {
    parameterDialogs_.Camera->ReloadCameraList();
    parameterDialogs_.Camera->repaint();
    dialog = parameterDialogs_.Camera;
  } else if (which == "mnuParametersMethod") {
    parameterDialogs_.Method->ShowValues();
    dialog = parameterDialogs_.Method;
  } else {
    parameterDialogs_.TwoPic->ShowValues();
    dialog = parameterDialogs_.TwoPic;
  }
  dialog->exec();
  // The next run takes the sets as the dialogs hold them now.
  parameters_ = parameterDialogs_.Sets();
}

void TfrmMain::mnuSaveParametersClick() {
  // Parameter sets are the user's: the dialog starts in the settings folder.
  QDir::setCurrent(QString::fromStdString(params::OptionsFolder(programFolder_).string()));
  const QString chosen = services_.ChooseFileToSave(this, "Save all parameters", "Set of Vistarium parameters|*.spr");
  if (chosen.isEmpty()) return;
  const std::string file = params::ParameterFileNameFor(chosen.toStdString());
  try {
    params::SaveParameterFile(file, parameterDialogs_.Sets());
  } catch (const params::ParameterFileError& e) {
    services_.Inform(this, QString::fromUtf8(e.what()));
  }
}

void TfrmMain::mnuOpenParametersClick() {
  const QStringList chosen = services_.ChooseFilesToOpen(this, "Open all parameters",
                                                         "Set of Vistarium parameters|*.spr|All files|*.*", false);
  if (chosen.isEmpty()) return;
  try {
    const std::string problem = parameterDialogs_.LoadParameterFile(chosen.front().toStdString());
    if (!problem.empty()) services_.Inform(this, FromStd(problem));
  } catch (const params::ParameterFileError& e) {
    services_.Inform(this, QString::fromUtf8(e.what()));
  }
  parameters_ = parameterDialogs_.Sets();
}

fs::path TfrmMain::HelpFile() const {
  const fs::path relative = fs::path("Help") / "Vistarium.html";
  const fs::path candidates[] = {
      fs::current_path() / relative,
      programFolder_ / relative,
      fs::path(QCoreApplication::applicationDirPath().toStdString()) / ".." / "share" / "vistarium" / relative,
  };
  for (const fs::path& p : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(p, ec)) return p;
  }
  return candidates[0];
}

void TfrmMain::mnuVistariumHelpClick() {
  const fs::path file = HelpFile();
  if (services_.OpenDocument(FromStd(file.string()))) return;
  // No viewer took it (a machine without a web browser): the program shows
  // the guide itself.
  std::error_code ec;
  if (fs::is_regular_file(file, ec))
    ShowHelpWindow(file);
  else
    services_.Inform(this, FromStd(params::FileMessage(kHelpFailure, file.string(), params::SystemReason(ENOENT))));
}

void TfrmMain::ShowHelpWindow(const fs::path& file) {
  if (!frmHelp_) {
    frmHelp_ = new QDialog(this, Qt::Window);
    frmHelp_->setObjectName("frmHelp");
    frmHelp_->setWindowTitle("Vistarium Help");
    auto* layout = new QVBoxLayout(frmHelp_);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* text = new QTextBrowser(frmHelp_);
    text->setObjectName("tbHelpText");
    text->setOpenExternalLinks(true);
    layout->addWidget(text);
    frmHelp_->resize(780, 640);
  }
  auto* text = frmHelp_->findChild<QTextBrowser*>("tbHelpText");
  text->setSource(QUrl::fromLocalFile(QString::fromStdString(fs::absolute(file).string())));
  frmHelp_->show();
  frmHelp_->raise();
  frmHelp_->activateWindow();
}

void TfrmMain::mnuAboutClick() { frmAbout_->exec(); }

// ---------------------------------------------------------------------------
// Connection menu

void TfrmMain::pmnuAdjustRightClick() {
  const auto [left, right] = app::RightConnectionPair(PopupPicture, rs_.PictureSet.Count);
  OpenConnection(left, right);
}

void TfrmMain::pmnuAdjustLeftClick() {
  const auto [left, right] = app::LeftConnectionPair(PopupPicture, rs_.PictureSet.Count);
  OpenConnection(left, right);
}

void TfrmMain::OpenConnection(int left, int right) {
  if (left < 0 || right < 0 || left >= PictureCount() || right >= PictureCount()) return;
  QFrame* l = ThumbnailFrames[static_cast<std::size_t>(left)];
  QFrame* r = ThumbnailFrames[static_cast<std::size_t>(right)];
  // Each frame gets its own colour back: one may be marked as unreliable.
  const QPalette rememberedLeft = l->palette(), rememberedRight = r->palette();
  const bool ownLeft = l->testAttribute(Qt::WA_SetPalette), ownRight = r->testAttribute(Qt::WA_SetPalette);
  auto restore = [&] {
    l->setPalette(ownLeft ? rememberedLeft : QPalette());
    r->setPalette(ownRight ? rememberedRight : QPalette());
  };
  for (QFrame* f : {l, r}) {
    QPalette p = f->palette();
    p.setColor(QPalette::Window, QColor(255, 0, 255));
    f->setPalette(p);
  }
  // Bring a neighbouring pair into the strip's view. The pair that closes a
  // circle stands at the strip's two ends: the strip stays where the user
  // chose it.
  if (right == left + 1) {
    sbThumbnails->ensureWidgetVisible(r, 0, 0);
    sbThumbnails->ensureWidgetVisible(l, 0, 0);
  }
  try {
    WaitCursor wait;
    frmAdjust_->OpenConnection(left, right);
  } catch (...) {
    restore();
    throw;
  }
  frmAdjust_->exec();
  restore();
}

void TfrmMain::MarkUnreliableConnections(const std::vector<ConnectionCheck>& checks) {
  ClearConnectionMarks();
  std::vector<QStringList> warnings(ThumbnailFrames.size());
  for (const ConnectionCheck& c : checks) {
    const std::string w = ConnectionWarning(c);
    if (w.empty()) continue;
    for (const int i : {c.Left, c.Right})
      if (i >= 0 && static_cast<std::size_t>(i) < warnings.size())
        warnings[static_cast<std::size_t>(i)] << "<p>" + FromStd(w).toHtmlEscaped() + "</p>";  // rich text wraps
  }
  for (std::size_t i = 0; i < warnings.size(); ++i) {
    if (warnings[i].isEmpty()) continue;
    QFrame* frame = ThumbnailFrames[i];
    QPalette p = frame->palette();
    p.setColor(QPalette::Window, QColor(255, 140, 0));
    frame->setPalette(p);
    frame->setToolTip(warnings[i].join(""));
    markedThumbnails_.push_back(static_cast<int>(i));
  }
}

void TfrmMain::ClearConnectionMarks() {
  for (const int i : markedThumbnails_) {
    if (static_cast<std::size_t>(i) >= ThumbnailFrames.size()) continue;
    ThumbnailFrames[static_cast<std::size_t>(i)]->setPalette(QPalette());
    ThumbnailFrames[static_cast<std::size_t>(i)]->setToolTip(QString());
  }
  markedThumbnails_.clear();
}

// ---------------------------------------------------------------------------
// Stopping, unsaved work and editing the set again

void TfrmMain::bbtnCancelJoinClick() {
  if (!JoinRunning()) return;
  progress_->stop = true;
  bbtnCancelJoin->setEnabled(false);
  bbtnCancelJoin->setText("Stopping...");
}

bool TfrmMain::ConfirmDiscardPanorama() {
  if (stage_ != WorkflowStage::PanoramaMade || !panoramaUnsaved_) return true;
  switch (services_.AskYesNoCancel(this, "Save the panorama?")) {
    case DesktopServices::Answer::Yes:
      try {
        mnuSavePanoramaClick();
      } catch (const std::exception& e) {
        services_.ReportError(this, QString::fromUtf8(e.what()));
        return false;
      }
      return !panoramaUnsaved_;  // a save dialog cancelled keeps the panorama
    case DesktopServices::Answer::No:
      return true;
    default:
      return false;
  }
}

void TfrmMain::RunFinding(RunState& rs, const TPictureSetData& pictures, const params::ParameterSets& given,
                          bool withEstimate, bool fromPictures) {
  // The camera to start from (reading the pictures' EXIF) is chosen here, off
  // the window's thread.
  const params::ParameterSets parameters = JoinParameters(pictures, given, fromPictures);
  if (!keptConnections_.empty())
    app::RunFindingPhaseKeeping(rs, *progress_, pictures, parameters, keptConnections_, withEstimate);
  else if (withEstimate)
    app::RunFindingPhase(rs, *progress_, pictures, parameters);
  else
    app::RunFindingPhaseWithoutEstimate(rs, *progress_, pictures, parameters);
}

void TfrmMain::mnuEditSetClick() {
  if (!ConfirmDiscardPanorama()) return;
  keptConnections_ = app::TakeConnections(rs_);
  ResetConstructionResults(rs_);
  frmBrowser_->ResetBrowser();
  ResetFindingResults(rs_);
  frmSimpleShow_->Clear();
  panoramaUnsaved_ = false;
  SetWorkflowStage(app::StageForPictureCount(PictureCount()));
}

void TfrmMain::ReorderPictures(const std::vector<int>& order) {
  if (order.size() != FileNames.size()) return;
  std::vector<std::string> files;
  std::vector<QPixmap> pictures;
  QStringList names, tips;
  for (const int k : order) {
    const auto u = static_cast<std::size_t>(k);
    files.push_back(FileNames[u]);
    pictures.push_back(ThumbnailImages[u]->pixmap());
    names << ThumbnailNames[u]->text();
    tips << ThumbnailNames[u]->toolTip();
  }
  for (std::size_t i = 0; i < order.size(); ++i) {
    FileNames[i] = files[i];
    ThumbnailImages[i]->setPixmap(pictures[i]);
    ThumbnailNames[i]->setText(names[static_cast<qsizetype>(i)]);
    ThumbnailNames[i]->setToolTip(tips[static_cast<qsizetype>(i)]);
  }
}

void TfrmMain::OfferOrder(const std::vector<int>& order) {
  if (stage_ != WorkflowStage::PanoramaMade || order.size() != FileNames.size()) return;
  if (!services_.Ask(this, FromStd(app::ReorderQuestion(order)))) return;
  // The user asked for the new order: the panorama of the old one goes.
  keptConnections_ = app::TakeConnections(rs_);
  ResetConstructionResults(rs_);
  frmBrowser_->ResetBrowser();
  ResetFindingResults(rs_);
  frmSimpleShow_->Clear();
  panoramaUnsaved_ = false;
  ReorderPictures(order);
  SetWorkflowStage(app::StageForPictureCount(PictureCount()));
  mnuJoinClick();
}

// ---------------------------------------------------------------------------
// Room to work

int TfrmMain::ExtraWidth() const { return std::max(0, centralWidget()->width() - 776); }

int TfrmMain::ExtraHeight() const {
  return std::max(0, centralWidget()->height() - (426 - menuBar()->sizeHint().height()));
}

void TfrmMain::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  LayOutPanels();
}

void TfrmMain::LayOutPanels() {
  const int w = ExtraWidth(), h = ExtraHeight();
  sbThumbnails->setGeometry(8, 40, 753 + w, 160);
  thumbnailCanvas->setFixedWidth(std::max(740 + w, app::kThumbnailSlot * PictureCount() + 10));
  pnlProgress->setGeometry(8, 208, 753 + w, 160 + h);
  for (QProgressBar* bar : {ProgressBar1, ProgressBar2}) bar->resize(721 + w, bar->height());
  bbtnCancelJoin->move(657 + w, bbtnCancelJoin->y());
  sbPanorama->setGeometry(8, 209, 753 + w, 160 + h);
  // The preview follows the strip's size.
  if (stage_ == WorkflowStage::PanoramaMade && frmSimpleShow_->Picture().Width > 0) DrawPanoramaPreview();
  if (stage_ == WorkflowStage::PanoramaOpened && frmSimpleShow_->Picture().Width > 0) DrawOpenedPreview();
}

void TfrmMain::SetThumbnailName(QLineEdit* edit, const QString& name, const QString& path) {
  const int room = edit->width() - 8;
  edit->setText(edit->fontMetrics().elidedText(name, Qt::ElideMiddle, room));
  edit->setCursorPosition(0);
  edit->setToolTip(path);
}

}  // namespace vistarium::desktop
