#pragma once
// The main window: menus and tool bar, the picture set with its thumbnail
// strip, the progress panel and the panorama strip, and the commands that
// move the application through its workflow stages. The stitching itself is
// the core's; a phase of Join runs on a worker thread while the window keeps
// painting.

#include <QMainWindow>
#include <QPointer>
#include <atomic>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/picture_camera.h"
#include "app/workflow.h"
#include "desktop/camera_dialog.h"
#include "image/bitmaps.h"
#include "params/parameter_sets.h"
#include "run/progress.h"
#include "run/run_state.h"

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QScrollArea;
class QThread;
class QToolBar;
class QToolButton;

namespace vistarium {
struct ConnectionCheck;
}

namespace vistarium::desktop {

class DesktopServices;
class TfrmAdjust;
class TfrmSimpleShow;
class TfrmDebugSphereShow;
class TfrmAbout;
class TfrmBrowser;

class TfrmMain : public QMainWindow {
public:
  // `programFolder` holds the Options folder (and, installed or built, the
  // Help folder nearby).
  TfrmMain(DesktopServices& services, std::filesystem::path programFolder, QWidget* parent = nullptr);
  ~TfrmMain() override;

  // --- Workflow stages ---
  void SetWorkflowStage(app::WorkflowStage stage);
  app::WorkflowStage Stage() const { return stage_; }
  void ClearPictureSet();

  // --- Picture set ---
  // Load Pictures with these files (chosen, dropped, or given at start).
  void LoadPictureFiles(const QStringList& files);
  int PictureCount() const { return static_cast<int>(FileNames.size()); }
  std::vector<std::string> FileNames;
  int PictureWidth = 0, PictureHeight = 0;
  app::ThumbnailGeometry Thumb;
  DeviceBitmap LastPicture;
  std::vector<QFrame*> ThumbnailFrames;
  std::vector<QLabel*> ThumbnailImages;
  std::vector<QLineEdit*> ThumbnailNames;
  struct {
    bool Dragging = false;
    int DragSource = -1, DragTarget = -1;
    QPoint Press, Release;
  } DragState;
  bool PopupJustOpened = false;
  int PopupPicture = -1;  // the thumbnail a popup menu was opened for

  // --- Run ---
  RunState& Run() { return rs_; }
  const params::ParameterSets& Parameters() const { return parameters_; }
  // The three parameter dialogs, which hold the sets; Parameters() is
  // refreshed from them whenever one of them may have changed.
  const ParameterDialogs& ParameterWindows() const { return parameterDialogs_; }
  bool JoinRunning() const { return worker_ != nullptr; }
  TfrmSimpleShow* SimpleShow() const { return frmSimpleShow_; }
  TfrmAbout* AboutBox() const { return frmAbout_; }
  TfrmAdjust* AdjustWindow() const { return frmAdjust_; }
  TfrmBrowser* Browser() const { return frmBrowser_; }
  // The text shown under an opened panorama's preview, and whether it can be browsed.
  bool OpenedPanoramaBrowsable() const { return openedBrowsable_; }

  // --- Commands ---
  void mnuNewPanoramaClick();
  void mnuLoadPicturesClick();
  void mnuOpenPanoramaClick();
  void mnuSavePanoramaClick();
  void mnuExitClick();
  void mnuViewFullSizeClick();
  void mnuViewBrowseClick();
  void mnuJoinClick();
  void mnuAdjustmentClick();
  void mnuByHandClick();
  void mnuParametersClick(const QString& which);
  void mnuSaveParametersClick();
  void mnuOpenParametersClick();
  void mnuVistariumHelpClick();
  void mnuAboutClick();
  void pmnuDeletePictureClick();
  void pmnuReloadClick();
  void pmnuAdjustRightClick();
  void pmnuAdjustLeftClick();
  // Thumbnails of the connections the check after Join named: their own
  // frame colour and the warning as a hint, until the set changes or Join
  // runs again.
  void MarkUnreliableConnections(const std::vector<ConnectionCheck>& checks);
  void ClearConnectionMarks();

  // Controls (named as the tests find them).
  QMenu *mnuFile, *mnuView, *mnuTools, *mnuParameters, *mnuHelp;
  QAction *mnuNewPanorama, *mnuLoadPictures, *mnuOpenPanorama, *mnuSavePanorama, *mnuExit;
  QAction *mnuViewFullSize, *mnuViewBrowse, *mnuJoin, *mnuAdjustment, *mnuByHand;
  QAction *mnuParametersTwoPic, *mnuParametersCamera, *mnuParametersMethod, *mnuSaveParameters, *mnuOpenParameters;
  QAction *mnuVistariumHelp, *mnuAbout;
  QToolBar* ToolBarMain;
  QFrame* pnlPictureSet;
  QCheckBox* chb360;
  QLabel* labMain1;
  QLineEdit* edNofPictures;
  QScrollArea* sbThumbnails;
  QWidget* thumbnailCanvas;
  QFrame* pnlProgress;
  QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6;
  QLabel *Label1Elapsed, *Label1Estimated, *Label2Elapsed, *Label2Estimated;
  QProgressBar *ProgressBar1, *ProgressBar2;
  QScrollArea* sbPanorama;
  QFrame* pnlPanorama;
  QLabel* ImgPanorama;
  QLabel* lblNameLoadedPan;
  QLabel* ImgWrk;
  QMenu* pmnuThumbnail;
  QAction *pmnuDeletePicture, *pmnuReload;
  QMenu* pmnuCorrection;
  QAction *pmnuAdjustRight, *pmnuAdjustLeft;
  // The status bar's line on the camera of the last join (its tooltip holds
  // every line of the calibration report).
  QLabel* lblCameraOfJoin;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

private:
  class PhaseProgress;

  void CreateActions();
  void CreateMenus();
  void CreateToolBar();
  void CreatePanels();

  // Runs a command; an error it throws is reported and the window goes on.
  void Guarded(const std::function<void()>& command);
  // Runs `work` on a worker thread; `done` runs on this window's thread with
  // the error the work ended with, if any.
  void RunInBackground(std::function<void()> work, std::function<void(std::exception_ptr)> done);
  // The picture set as the phases take it: the strip's files and the 360 flag.
  TPictureSetData PictureSetSnapshot() const;
  void StartConstruction(app::WorkflowStage startedFrom);
  void JoinFailed(std::exception_ptr error, app::WorkflowStage startedFrom);
  void FinishJoinIfClosing();
  // The camera a join starts from, chosen on the worker before the finding
  // phase; and what the join found out about it, shown when it ends.
  params::ParameterSets JoinParameters(const TPictureSetData& pictures, params::ParameterSets parameters);
  void ShowCameraOfJoin();

  // Progress panel, called on this window's thread.
  void ShowBar(matching::Phase phase, int percent);
  void ShowTimes(matching::Phase phase, const QString& elapsed, const QString& estimated);
  bool AskContinueQuestion(const QString& question);
  void SetLabelRed(QLabel* label, bool red);

  void AddThumbnail(const DeviceBitmap& picture, const std::string& path);
  QPixmap ThumbnailPixmap(const DeviceBitmap& picture) const;
  void PlaceThumbnailImage(int i);
  void ThumbnailMouseDown(QObject* control, QMouseEvent* event);
  void ThumbnailMouseUp(QObject* control, QMouseEvent* event);
  int ThumbnailIndex(QObject* control) const;
  void OpenConnection(int left, int right);
  void DrawPanoramaPreview();
  void DrawOpenedPreview();
  void ShowPreviewImage(const app::PreviewGeometry& g);
  std::filesystem::path HelpFile() const;

  DesktopServices& services_;
  std::filesystem::path programFolder_;
  params::ParameterSets parameters_;
  ParameterDialogs parameterDialogs_;
  RunState rs_;
  app::WorkflowStage stage_ = app::WorkflowStage::NoPictures;
  std::unique_ptr<PhaseProgress> progress_;
  QThread* worker_ = nullptr;
  bool closeAfterJoin_ = false;
  bool openedBrowsable_ = false;
  Bitmap32 builtPicture_;  // handed from the worker to the full-size view
  TfrmSimpleShow* frmSimpleShow_ = nullptr;
  TfrmDebugSphereShow* frmDebugSphereShow_ = nullptr;
  TfrmAbout* frmAbout_ = nullptr;
  TfrmAdjust* frmAdjust_ = nullptr;
  std::vector<int> markedThumbnails_;  // frames coloured by MarkUnreliableConnections
  TfrmBrowser* frmBrowser_ = nullptr;
  app::CameraSource cameraSource_ = app::CameraSource::Entry;
  std::string cameraNote_;       // what the choice of the camera said
  std::string pictureCamera_;    // the camera the pictures name, or the entry's name
  // The horizon row of an opened panorama file: its trailer's, or the middle row.
  std::int32_t openedHorizonRow_ = 0;
};

}  // namespace vistarium::desktop
