// The main window's paths that keep the user's work: loads that keep every
// readable picture, Cancel during Join, the question before an unsaved
// panorama goes, and editing the set after Join with the connections of
// pictures that stay neighbours kept.

#include <QAction>
#include <QApplication>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QUrl>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>

#include "app/picture_loading.h"
#include "desktop/camera_dialog.h"
#include "desktop/main_window.h"
#include "desktop/parameter_dialogs.h"
#include "desktop/views.h"
#include "fake_services.h"
#include "params/parameter_file.h"
#include "render/picture_file.h"
#include "../support/scratch_folder.h"

namespace vistarium::desktop {
namespace {

namespace fs = std::filesystem;
using app::WorkflowStage;
using test_support::FakeServices;

class MainWindowWorkTest : public test_support::ScratchFolder {
protected:
  void SetUp() override {
    ScratchFolder::SetUp();
    // The program's folder with its own copy of the delivered Options.
    fs::copy(fs::path(VISTARIUM_BIN_DIR) / "Options", folder_ / "Options", fs::copy_options::recursive);
    window_ = std::make_unique<TfrmMain>(services_, folder_);
    window_->show();
  }
  void TearDown() override {
    window_.reset();
    ScratchFolder::TearDown();
  }
  QString Picture(const std::string& name, int w, int h) {
    DeviceBitmap b(w, h);
    for (auto& p : b.Pixels) p = 0x00406080u;
    return QString::fromStdString(Put(name, render::EncodeJpeg(b)));
  }
  QStringList Names() const {
    QStringList names;
    for (QLineEdit* e : window_->ThumbnailNames) names << e->text();
    return names;
  }
  QStringList OpenSample() const {
    QStringList files;
    for (int i = 1; i <= 4; ++i)
      files << QString("%1/samples/open4/open4_0%2.jpg").arg(VISTARIUM_SOURCE_DIR).arg(i);
    return files;
  }
  void Load(const QStringList& files) {
    services_.nextOpen = files;
    window_->mnuLoadPictures->trigger();
  }
  bool WaitForIdle(int ms = 180000) {
    return QTest::qWaitFor([this] { return !window_->JoinRunning(); }, ms);
  }
  // Slow parameters, read by a fresh start of the window: one pair's
  // search then takes far longer than a second, so that a stop arrives
  // while it runs.
  void StartWithSlowParameters() {
    ParameterDialogs dialogs = window_->ParameterWindows();
    dialogs.Method->SetValues({250, 120, 0});
    params::SaveParameterFile(params::CurrentParameterFilePath(folder_), dialogs.Sets());
    dialogs.Method->FormCreate();
    window_.reset();
    window_ = std::make_unique<TfrmMain>(services_, folder_);
    window_->show();
    ASSERT_EQ(window_->Parameters().Method.QualityCoefficient, 120);
  }
  void JoinOpenSample() {
    Load(OpenSample());
    window_->mnuJoin->trigger();
    ASSERT_TRUE(WaitForIdle());
    ASSERT_EQ(window_->Stage(), WorkflowStage::PanoramaMade) << services_.errors.join("\n").toStdString();
  }

  FakeServices services_;
  std::unique_ptr<TfrmMain> window_;
};

TEST_F(MainWindowWorkTest, AMixedLoadKeepsEveryReadablePictureAndListsTheRefusedOnesOnce) {
  const QString a = Picture("a.jpg", 64, 48), c = Picture("c.jpg", 64, 48), big = Picture("big.jpg", 48, 64);
  const QString broken = QString::fromStdString(Put("broken.jpg", std::string("not a picture")));
  const QString notes = QString::fromStdString(Put("notes.txt", std::string("text")));
  fs::create_directories(folder_ / "more");
  fs::create_directories(folder_ / "empty");
  Picture("more/m2.JPG", 64, 48);
  Picture("more/M1.jpg", 64, 48);
  Put("more/readme.txt", std::string("x"));
  Load({c, broken, notes, a, big, QString::fromStdString(PathOf("more")), QString::fromStdString(PathOf("empty"))});

  EXPECT_EQ(Names(), (QStringList{"a.jpg", "c.jpg", "M1.jpg", "m2.JPG"}));
  EXPECT_EQ(window_->Stage(), WorkflowStage::PicturesLoaded);
  ASSERT_EQ(services_.informed.size(), 1);
  const QString message = services_.informed[0];
  EXPECT_TRUE(message.startsWith("4 files were not loaded:")) << message.toStdString();
  for (const char* refused : {"broken.jpg", "notes.txt", "big.jpg", "empty", "differs from the size"})
    EXPECT_TRUE(message.contains(refused)) << refused;
  EXPECT_FALSE(message.contains("a.jpg"));
  EXPECT_TRUE(services_.errors.isEmpty());

  // A folder dropped from a file manager loads the pictures in it.
  window_->mnuNewPanorama->trigger();
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(PathOf("more")))});
  QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window_.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window_.get(), &drop);
  EXPECT_EQ(Names(), (QStringList{"M1.jpg", "m2.JPG"}));
}

// Slow parameters make one pair's search take far longer than a second;
// Cancel, pressed once the search is under way, stops it inside that first
// pair and returns to the picture set as it was.
TEST_F(MainWindowWorkTest, CancelStopsTheFindingInsideItsFirstPairAndKeepsTheSet) {
  ASSERT_NO_FATAL_FAILURE(StartWithSlowParameters());
  Load(OpenSample());
  services_.answer = true;  // go on past the time question
  window_->mnuJoin->trigger();
  ASSERT_TRUE(QTest::qWaitFor([this] { return window_->ProgressBar1->value() > 0; }, 120000));
  EXPECT_TRUE(window_->bbtnCancelJoin->isEnabled());
  const auto pressed = std::chrono::steady_clock::now();
  QTest::keyClick(window_.get(), Qt::Key_Escape);
  int highest = 0;
  ASSERT_TRUE(QTest::qWaitFor([&] {
    highest = std::max(highest, window_->ProgressBar1->value());
    return !window_->JoinRunning();
  }, 60000));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - pressed).count();
  EXPECT_LT(highest, 33);  // the first of three pairs never finished
  EXPECT_LT(seconds, 10.0);  // generous: a pair takes minutes here
  EXPECT_EQ(window_->Stage(), WorkflowStage::PicturesLoaded);
  EXPECT_EQ(window_->PictureCount(), 4);
  EXPECT_TRUE(window_->Run().Geometry.empty());
  EXPECT_TRUE(window_->mnuJoin->isEnabled());
  EXPECT_FALSE(window_->bbtnCancelJoin->isEnabled());
  EXPECT_TRUE(services_.errors.isEmpty());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// Stitch Manually's search shows the progress panel; Escape stops it and
// returns to the picture set. With the delivered parameters the whole search
// of the sample can end before the key arrives.
TEST_F(MainWindowWorkTest, StitchManuallyShowsItsCancelAndEscapeStopsIt) {
  ASSERT_NO_FATAL_FAILURE(StartWithSlowParameters());
  Load(OpenSample());
  window_->mnuByHand->trigger();
  ASSERT_TRUE(window_->JoinRunning());
  EXPECT_TRUE(window_->pnlProgress->isVisible());
  EXPECT_TRUE(window_->bbtnCancelJoin->isEnabled());
  QTest::keyClick(window_.get(), Qt::Key_Escape);
  ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->JoinRunning(); }, 60000));
  EXPECT_EQ(window_->Stage(), WorkflowStage::PicturesLoaded);
  EXPECT_EQ(window_->PictureCount(), 4);
  EXPECT_TRUE(window_->Run().Geometry.empty());
  EXPECT_FALSE(window_->pnlProgress->isVisible());
  EXPECT_TRUE(services_.errors.isEmpty());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(MainWindowWorkTest, AnUnsavedPanoramaIsOnlyThrownAwayAfterTheQuestion) {
  JoinOpenSample();
  TfrmMain& w = *window_;
  // The full-size view fits the panorama into its window and back.
  TfrmSimpleShow& view = *w.SimpleShow();
  view.bbtnFitClick();
  EXPECT_LE(view.Img32PlainPanorama->width(), view.width());
  EXPECT_LT(view.Img32PlainPanorama->Zoom(), 1.0);
  view.bbtnActualSizeClick();
  EXPECT_EQ(view.Img32PlainPanorama->width(), view.Picture().Width);

  EXPECT_TRUE(w.PanoramaUnsaved());
  const QString question = "Save the panorama?";

  // Cancel keeps everything as it is, for each command that would drop it.
  services_.threeWayAnswer = DesktopServices::Answer::Cancel;
  w.mnuNewPanorama->trigger();
  w.mnuAdjustment->trigger();
  w.mnuEditSet->trigger();
  w.close();
  EXPECT_EQ(services_.asked, QStringList(4, question));
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(w.Stage(), WorkflowStage::PanoramaMade);
  EXPECT_EQ(w.PictureCount(), 4);

  // Yes saves first; a save dialog cancelled keeps the panorama too.
  services_.threeWayAnswer = DesktopServices::Answer::Yes;
  services_.nextSave.clear();
  w.mnuNewPanorama->trigger();
  EXPECT_EQ(w.Stage(), WorkflowStage::PanoramaMade);
  services_.nextSave = QString::fromStdString(PathOf("kept"));
  w.mnuAdjustment->trigger();
  EXPECT_TRUE(fs::exists(PathOf("kept.jpg")));
  EXPECT_EQ(w.Stage(), WorkflowStage::ConnectionsReady);

  // Joined again from the connections; No lets the new one go unsaved.
  services_.asked.clear();
  w.mnuJoin->trigger();
  ASSERT_TRUE(WaitForIdle());
  ASSERT_EQ(w.Stage(), WorkflowStage::PanoramaMade);
  services_.threeWayAnswer = DesktopServices::Answer::No;
  w.mnuNewPanorama->trigger();
  EXPECT_EQ(services_.asked, QStringList({question}));
  EXPECT_EQ(w.Stage(), WorkflowStage::NoPictures);
  // Nothing left to lose: no question.
  w.close();
  EXPECT_EQ(services_.asked.size(), 1);
}

// Back to the set after Join: two pictures exchanged, Join keeps the one
// connection whose pictures stayed neighbours, names the others, and offers
// the order in which the pictures fit; taking it joins them again.
TEST_F(MainWindowWorkTest, EditingTheSetKeepsNeighboursConnectionsAndJoinOffersTheOrderThatFits) {
  JoinOpenSample();
  TfrmMain& w = *window_;
  const TConnectionSide firstLeft = w.Run().Geometry[0].RightConnection;
  EXPECT_TRUE(w.mnuEditSet->isEnabled());
  w.mnuEditSet->trigger();
  EXPECT_EQ(w.Stage(), WorkflowStage::PicturesLoaded);
  EXPECT_EQ(w.KeptConnections().size(), 3u);
  EXPECT_EQ(w.SimpleShow()->Picture().Width, 0);
  EXPECT_TRUE(w.mnuLoadPictures->isEnabled());

  // Pictures 3 and 4 exchange places by dragging 4 onto 3.
  QTest::mousePress(w.ThumbnailImages[3], Qt::LeftButton, {}, QPoint(10, 10));
  QTest::mouseRelease(w.ThumbnailImages[3], Qt::LeftButton, {}, QPoint(10 - 110, 10));
  ASSERT_EQ(Names(), (QStringList{"open4_01.jpg", "open4_02.jpg", "open4_04.jpg", "open4_03.jpg"}));

  services_.answer = false;  // not yet: look at the joined set first
  w.mnuJoin->trigger();
  ASSERT_TRUE(WaitForIdle());
  QTest::qWait(50);
  ASSERT_EQ(w.Stage(), WorkflowStage::PanoramaMade) << services_.errors.join("\n").toStdString();
  // The pair that stayed neighbours was not searched again.
  EXPECT_EQ(w.Run().Geometry[0].RightConnection.ImagePoints, firstLeft.ImagePoints);
  ASSERT_FALSE(services_.asked.isEmpty());
  EXPECT_EQ(services_.asked.back().toStdString(), app::ReorderQuestion({0, 1, 3, 2}));
  EXPECT_EQ(Names()[2], "open4_04.jpg");

  // Asked again (edit, join), Yes: the pictures go back in order and join.
  services_.threeWayAnswer = DesktopServices::Answer::No;
  w.mnuEditSet->trigger();
  services_.answer = true;
  w.mnuJoin->trigger();
  ASSERT_TRUE(WaitForIdle());
  ASSERT_TRUE(QTest::qWaitFor([&] { return Names()[2] == "open4_03.jpg" && !w.JoinRunning() &&
                                           w.Stage() == WorkflowStage::PanoramaMade; }, 180000));
  EXPECT_EQ(Names(), (QStringList{"open4_01.jpg", "open4_02.jpg", "open4_03.jpg", "open4_04.jpg"}));
  EXPECT_TRUE(services_.errors.isEmpty()) << services_.errors.join("\n").toStdString();
}

}  // namespace
}  // namespace vistarium::desktop
