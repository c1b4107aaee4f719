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

#include "app/held_panorama.h"
#include "app/output_files.h"
#include "app/set_editing.h"
#include "app/workflow.h"
#include "desktop/camera_dialog.h"
#include "image/bitmaps.h"
#include "params/parameter_sets.h"
#include "run/progress.h"
#include "run/run_state.h"

class QAction;
class QCheckBox;
class QDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
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
  // The most pixels the window holds of a panorama (app::kHeldPanoramaPixels
  // unless a test makes it smaller).
  void SetHeldPanoramaBudget(std::int64_t pixels) { heldBudget_ = pixels; }
  TfrmSimpleShow* SimpleShow() const { return frmSimpleShow_; }
  TfrmAbout* AboutBox() const { return frmAbout_; }
  TfrmAdjust* AdjustWindow() const { return frmAdjust_; }
  TfrmBrowser* Browser() const { return frmBrowser_; }
  QDialog* HelpWindow() const { return frmHelp_; }
  // The text shown under an opened panorama's preview, and whether it can be browsed.
  bool OpenedPanoramaBrowsable() const { return openedBrowsable_; }

  // --- Commands ---
  void mnuNewPanoramaClick();
  void mnuLoadPicturesClick();
  void mnuOpenPanoramaClick();
  void mnuSavePanoramaClick();
  void mnuExport360Click();
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
  // Back from connections or a made panorama to editing the picture set; the
  // connections of pictures that stay neighbours are kept for the next Join.
  void mnuEditSetClick();
  // Stops the running phase (the progress panel's Cancel button, Escape).
  void bbtnCancelJoinClick();
  // Before a made panorama that was not saved is thrown away: "Save the
  // panorama?" with Yes (save it first), No and Cancel. False when the
  // command must not go on.
  bool ConfirmDiscardPanorama();
  bool PanoramaUnsaved() const { return panoramaUnsaved_; }
  // The connections kept from before the set was edited.
  const std::vector<app::KeptConnection>& KeptConnections() const { return keptConnections_; }
  // Thumbnails of the connections the check after Join named: their own
  // frame colour and the warning as a hint, until the set changes or Join
  // runs again.
  void MarkUnreliableConnections(const std::vector<ConnectionCheck>& checks);
  void ClearConnectionMarks();

  // Controls (named as the tests find them).
  QMenu *mnuFile, *mnuView, *mnuTools, *mnuParameters, *mnuHelp;
  QAction *mnuNewPanorama, *mnuLoadPictures, *mnuOpenPanorama, *mnuSavePanorama, *mnuExport360, *mnuExit;
  QAction *mnuViewFullSize, *mnuViewBrowse, *mnuJoin, *mnuAdjustment, *mnuByHand, *mnuEditSet;
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
  QPushButton* bbtnCancelJoin;
  QScrollArea* sbPanorama;
  QFrame* pnlPanorama;
  QLabel* ImgPanorama;
  QLabel* lblNameLoadedPan;
  QLabel* ImgWrk;
  QMenu* pmnuThumbnail;
  QAction *pmnuDeletePicture, *pmnuReload;
  QMenu* pmnuCorrection;
  QAction *pmnuAdjustRight, *pmnuAdjustLeft;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

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
  // The switches beside the parameter file that a Join takes: refinement,
  // exposure gains and crop.
  void TakeJoinOptions();
  void JoinFailed(std::exception_ptr error, app::WorkflowStage startedFrom);
  // The report of a failed Join; want of memory names what did not fit.
  QString JoinErrorText(std::exception_ptr error, bool findingFailed) const;
  // The pictures of the set, which a saved panorama must not replace.
  std::vector<app::NamedFile> PictureInputs() const;
  void FinishJoinIfClosing();

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
  // The strips and panels follow the window: the layout of the starting size
  // grows by what the window has beyond it.
  void LayOutPanels();
  int ExtraWidth() const;
  int ExtraHeight() const;
  // A thumbnail's name: the file name elided in the middle to fit, the full
  // path as its hint.
  void SetThumbnailName(QLineEdit* edit, const QString& name, const QString& path);
  // The guide in a window of the program's own, when no viewer shows it.
  void ShowHelpWindow(const std::filesystem::path& file);

  // Puts the pictures in the given order (indices of the present ones).
  void ReorderPictures(const std::vector<int>& order);
  // After a Join that named connections: the order in which they fit, if
  // the pictures seem out of order; asked about and applied on this thread.
  void OfferOrder(const std::vector<int>& order);
  // The finding phase of Join or Stitch Manually, keeping the connections of
  // an edited set's pictures that stayed neighbours.
  void RunFinding(RunState& rs, const TPictureSetData& pictures, const params::ParameterSets& parameters,
                  bool withEstimate);

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
  bool panoramaUnsaved_ = false;  // a panorama was made and not saved since
  std::vector<app::KeptConnection> keptConnections_;
  std::vector<int> proposedOrder_;  // computed with the construction, offered after it
  Bitmap32 builtPicture_;  // handed from the worker to the full-size view
  // How the full-size view's picture stands to the panorama (reduced when large).
  app::HeldPanorama held_;
  std::int64_t heldBudget_ = app::kHeldPanoramaPixels;
  TfrmSimpleShow* frmSimpleShow_ = nullptr;
  TfrmDebugSphereShow* frmDebugSphereShow_ = nullptr;
  TfrmAbout* frmAbout_ = nullptr;
  TfrmAdjust* frmAdjust_ = nullptr;
  std::vector<int> markedThumbnails_;  // frames coloured by MarkUnreliableConnections
  TfrmBrowser* frmBrowser_ = nullptr;
  QDialog* frmHelp_ = nullptr;
  // The horizon row of an opened panorama file: its trailer's, or the middle row.
  std::int32_t openedHorizonRow_ = 0;
  std::string openedFile_;  // the panorama file opened, for its metadata
};

}  // namespace vistarium::desktop
