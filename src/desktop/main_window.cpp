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
#include <QProgressDialog>
#include <QScrollArea>
#include <QScrollBar>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <filesystem>

#include "app/connection_check.h"
#include "app/out_of_memory.h"
#include "app/output_files.h"
#include "app/panorama_file.h"
#include "app/pipeline.h"
#include "desktop/adjust_window.h"
#include "desktop/browser_window.h"
#include "desktop/icons.h"
#include "desktop/services.h"
#include "desktop/views.h"
#include "params/camera_list.h"
#include "params/file_access.h"
#include "params/parameter_file.h"
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
      {&mnuExit, "mnuExit", "&Exit", "Exit Vistarium"},
      {&mnuViewFullSize, "mnuViewFullSize", "&Full Size Picture", "View full size panorama"},
      {&mnuViewBrowse, "mnuViewBrowse", "&Browse Panorama", "Browse panorama"},
      {&mnuJoin, "mnuJoin", "&Join Pictures", "Join together all pictures"},
      {&mnuAdjustment, "mnuAdjustment", "&Manual Adjustment", "Manual adjustment of stitching"},
      {&mnuByHand, "mnuByHand", "&Stitch Manually ", "Stitch adjacent pictures manually "},
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

  auto on = [this](QAction* a, void (TfrmMain::*handler)()) {
    connect(a, &QAction::triggered, this, [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
  };
  on(mnuNewPanorama, &TfrmMain::mnuNewPanoramaClick);
  on(mnuLoadPictures, &TfrmMain::mnuLoadPicturesClick);
  on(mnuOpenPanorama, &TfrmMain::mnuOpenPanoramaClick);
  on(mnuSavePanorama, &TfrmMain::mnuSavePanoramaClick);
  on(mnuExit, &TfrmMain::mnuExitClick);
  on(mnuViewFullSize, &TfrmMain::mnuViewFullSizeClick);
  on(mnuViewBrowse, &TfrmMain::mnuViewBrowseClick);
  on(mnuJoin, &TfrmMain::mnuJoinClick);
  on(mnuAdjustment, &TfrmMain::mnuAdjustmentClick);
  on(mnuByHand, &TfrmMain::mnuByHandClick);
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
  mnuFile->addActions({mnuNewPanorama, mnuLoadPictures, mnuOpenPanorama, mnuSavePanorama});
  mnuFile->addSeparator();
  mnuFile->addAction(mnuExit);
  mnuView = menu("mnuView", "&View Panorama", "View panorama");
  mnuView->addActions({mnuViewFullSize, mnuViewBrowse});
  mnuTools = menu("mnuTools", "&Tools", "Panorama construction tools");
  mnuTools->addActions({mnuJoin, mnuAdjustment, mnuByHand});
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

  pnlPictureSet = new QFrame(central);
  pnlPictureSet->setObjectName("pnlPictureSet");
  pnlPictureSet->setFrameShape(QFrame::Box);
  pnlPictureSet->setGeometry(432, 0, 329, 26);
  chb360 = new QCheckBox("360 degrees panorama ", pnlPictureSet);
  chb360->setObjectName("chb360");
  chb360->setLayoutDirection(Qt::RightToLeft);  // text left of the box
  chb360->move(5, 2);
  chb360->adjustSize();
  labMain1 = new QLabel("Number of pictures", pnlPictureSet);
  labMain1->setObjectName("labMain1");
  labMain1->move(176, 4);
  labMain1->adjustSize();
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
  const app::StagePanels panels = app::PanelsFor(stage, rs_.ManualStitching);
  sbPanorama->setVisible(panels.PanoramaStrip);
  pnlProgress->setVisible(panels.ProgressPanel);
  lblNameLoadedPan->setVisible(panels.LoadedName);
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
  thumbnailCanvas->setFixedWidth(740);
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
  auto* name = new QLineEdit(FileNameOnly(path), frame);
  name->setObjectName("ThumbnailName");
  name->setReadOnly(true);
  name->setContextMenuPolicy(Qt::NoContextMenu);
  name->setGeometry(5, 110, 100, 21);
  name->setToolTip(FromStd(path));
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
  thumbnailCanvas->setFixedWidth(std::max(740, app::kThumbnailSlot * PictureCount() + 10));
  frame->show();
}

void TfrmMain::mnuLoadPicturesClick() {
  const QStringList files = services_.ChooseFilesToOpen(this, kPictureDialogTitle, kPictureFilter, true);
  if (!files.isEmpty()) LoadPictureFiles(files);
}

void TfrmMain::LoadPictureFiles(const QStringList& files) {
  std::vector<std::string> paths;
  for (const QString& f : files) paths.push_back(QFileInfo(f).absoluteFilePath().toStdString());
  paths = app::SortedPicturePaths(std::move(paths));
  WaitCursor wait;
  try {
    for (const std::string& path : paths) {
      const DeviceBitmap picture = render::LoadPictureFile(path);
      if (PictureCount() > 0 && (picture.Width != PictureWidth || picture.Height != PictureHeight)) {
        services_.Inform(this, FromStd(app::SizeMismatchMessage(path)));
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
  } catch (...) {
    // The pictures accepted before the failing file stay in the set.
    SetWorkflowStage(app::StageForPictureCount(PictureCount()));
    throw;
  }
  SetWorkflowStage(app::StageForPictureCount(PictureCount()));
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
  thumbnailCanvas->setFixedWidth(std::max(740, app::kThumbnailSlot * PictureCount() + 10));
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
  ThumbnailNames[u]->setText(FileNameOnly(path));
  ThumbnailNames[u]->setToolTip(FromStd(path));
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
  SetLabelRed(Label2, false);
  for (QLabel* l : {Label3, Label4, Label5, Label6}) l->hide();
  for (QLabel* l : {Label1Elapsed, Label1Estimated, Label2Elapsed, Label2Estimated}) l->clear();
  for (QLabel* l : {Label1Elapsed, Label1Estimated, Label2Elapsed}) l->hide();
  matching::SetProgressBar(rs_, *progress_, Phase::Construction, 0);
  progress_->stop = false;
  // Full-size refinement and rescue, unless switched off beside the parameter file.
  rs_.Refine = params::ReadRefinementOption(params::RefinementOptionPath(programFolder_));

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
  rs_.KeepPictures = true;  // the construction follows at once and takes them over
  QApplication::setOverrideCursor(Qt::WaitCursor);
  RunInBackground([this, pictures, parameters] { app::RunFindingPhase(rs_, *progress_, pictures, parameters); },
                  [this](std::exception_ptr error) {
                    QApplication::restoreOverrideCursor();
                    if (error) {
                      JoinFailed(error, WorkflowStage::PicturesLoaded);
                      return;
                    }
                    if (rs_.CancelRequested || closeAfterJoin_) {
                      ResetConstructionResults(rs_);
                      frmBrowser_->ResetBrowser();
                      ResetFindingResults(rs_);
                      SetWorkflowStage(WorkflowStage::PicturesLoaded);
                      FinishJoinIfClosing();
                      return;
                    }
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
        app::RunConstructionPhase(rs_, *progress_);
        builtPicture_ = Bitmap32{};
        app::ShowPanorama(rs_.Panorama, builtPicture_);
      },
      [this, startedFrom](std::exception_ptr error) {
        QApplication::restoreOverrideCursor();
        SetLabelRed(Label2, false);
        if (error) {
          JoinFailed(error, startedFrom);
          return;
        }
        frmSimpleShow_->TakePicture(std::move(builtPicture_));
        builtPicture_ = Bitmap32{};
        DrawPanoramaPreview();
        SetWorkflowStage(WorkflowStage::PanoramaMade);
        // Connections that the check names are worth a look before saving.
        QStringList warnings;
        const std::vector<ConnectionCheck> checks = CheckConnections(rs_);
        for (const ConnectionCheck& c : checks)
          if (const std::string w = ConnectionWarning(c); !w.empty()) warnings << FromStd(w);
        MarkUnreliableConnections(checks);
        if (!warnings.isEmpty())
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

void TfrmMain::mnuByHandClick() {
  rs_.Refine = params::ReadRefinementOption(params::RefinementOptionPath(programFolder_));
  rs_.ManualStitching = true;
  rs_.KeepPictures = false;  // the user corrects the connections before any construction
  SetWorkflowStage(WorkflowStage::Finding);
  const TPictureSetData pictures = PictureSetSnapshot();
  const params::ParameterSets parameters = parameters_;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  RunInBackground(
      [this, pictures, parameters] { app::RunFindingPhaseWithoutEstimate(rs_, *progress_, pictures, parameters); },
      [this](std::exception_ptr error) {
        QApplication::restoreOverrideCursor();
        if (error) {
          rs_.ManualStitching = false;
          JoinFailed(error, WorkflowStage::PicturesLoaded);
          return;
        }
        SetWorkflowStage(WorkflowStage::ConnectionsReady);
        rs_.ManualStitching = false;
        FinishJoinIfClosing();
      });
}

void TfrmMain::mnuAdjustmentClick() {
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
  ShowPreviewImage(app::MadePanoramaPreview(picture.Width, picture.Height, rs_.PictureSet.Count));
}

void TfrmMain::DrawOpenedPreview() {
  const Bitmap32& picture = frmSimpleShow_->Picture();
  const app::PreviewGeometry g =
      app::OpenedPanoramaPreview(picture.Width, picture.Height, sbPanorama->width() - 2 * sbPanorama->frameWidth());
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
  app::SavePanoramaFile(path, frmSimpleShow_->Picture(),
                        app::TrailerFor(rs_.Projection, rs_.PictureSet.Is360, rs_.Layout.Top));
}

std::vector<app::NamedFile> TfrmMain::PictureInputs() const {
  std::vector<app::NamedFile> inputs;
  for (std::size_t i = 0; i < FileNames.size(); ++i)
    inputs.push_back({FileNames[i], "picture " + std::to_string(i + 1) + " of the set"});
  return inputs;
}

void TfrmMain::mnuOpenPanoramaClick() {
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
  const DeviceBitmap picture = render::LoadPictureFile(path);
  openedHorizonRow_ = app::BrowsingHorizonRow(reading.Values, picture.Height);
  PictureWidth = picture.Width;
  PictureHeight = picture.Height;
  rs_.Panorama.Width = picture.Width;
  rs_.Panorama.Height = picture.Height;
  Thumb = app::ComputeThumbnailGeometry(PictureWidth, PictureHeight);
  frmSimpleShow_->ShowPicture(picture);
  DrawOpenedPreview();
  lblNameLoadedPan->setText(FromStd(app::LoadedPanoramaLabel(path, reading.State)));
  SetWorkflowStage(WorkflowStage::PanoramaOpened);
  chb360->setChecked(rs_.PictureSet.Is360);
  openedBrowsable_ = reading.State == app::TrailerState::Sound;
  mnuViewBrowse->setEnabled(openedBrowsable_);
}

void TfrmMain::mnuViewFullSizeClick() { frmSimpleShow_->ShowFullSize(); }

void TfrmMain::mnuViewBrowseClick() {
  // A made panorama brings the run's values and its layout's horizon row;
  // an opened file the values its trailer gave (stored in the run state)
  // and its horizon row.
  const bool opened = stage_ == WorkflowStage::PanoramaOpened;
  browse::BrowserSource source;
  source.Is360 = rs_.PictureSet.Is360;
  source.AngleStep = rs_.Projection.AngleStep;
  source.PixelsPerRadian = rs_.Projection.PixelsPerRadian;
  source.FocalPixels = rs_.Projection.FocalPixels;
  source.HorizonRow = opened ? openedHorizonRow_ : rs_.Layout.Top;
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

void TfrmMain::mnuNewPanoramaClick() { ClearPictureSet(); }

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
  QDir::setCurrent(QString::fromStdString(programFolder_.string()));
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
    parameterDialogs_.LoadParameterFile(chosen.front().toStdString());
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
  const std::string help = HelpFile().string();
  if (services_.OpenDocument(FromStd(help))) return;
  std::error_code ec;
  const std::string reason = fs::is_regular_file(help, ec) ? "the desktop has no program to show it"
                                                           : params::SystemReason(ENOENT);
  services_.Inform(this, FromStd(params::FileMessage(kHelpFailure, help, reason)));
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

}  // namespace vistarium::desktop
