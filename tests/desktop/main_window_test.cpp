// The main window driven through its real widgets and actions, offscreen,
// with the desktop's dialogs, message boxes and clock replaced.

#include "desktop/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QScrollArea>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>

#include "app/panorama_file.h"
#include "app/picture_metadata.h"
#include "desktop/browser_window.h"
#include "desktop/services.h"
#include "fake_services.h"
#include "desktop/views.h"
#include "geom/numbers.h"
#include "render/picture_file.h"
#include "../support/scratch_folder.h"

namespace vistarium::desktop {
namespace {

namespace fs = std::filesystem;
using app::WorkflowStage;

using test_support::FakeServices;

class MainWindowTest : public test_support::ScratchFolder {
protected:
  void SetUp() override {
    ScratchFolder::SetUp();
    window_ = std::make_unique<TfrmMain>(services_, fs::path(VISTARIUM_BIN_DIR));
    window_->show();
  }
  void TearDown() override {
    window_.reset();
    ScratchFolder::TearDown();
  }

  // A small JPEG of the given size, named in the scratch folder.
  std::string Picture(const std::string& name, int w, int h, std::uint8_t shade = 128) {
    DeviceBitmap b(w, h);
    for (auto& p : b.Pixels) p = shade | (shade << 8);
    return Put(name, render::EncodeJpeg(b));
  }
  void Load(const QStringList& files) {
    services_.nextOpen = files;
    window_->mnuLoadPictures->trigger();
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
  bool WaitForIdle(int ms = 120000) {
    return QTest::qWaitFor([this] { return !window_->JoinRunning(); }, ms);
  }

  FakeServices services_;
  std::unique_ptr<TfrmMain> window_;
};

TEST_F(MainWindowTest, StartsInStageZeroAndEveryStageAppliesItsTable) {
  TfrmMain& w = *window_;
  EXPECT_EQ(w.Stage(), WorkflowStage::NoPictures);
  EXPECT_EQ(w.edNofPictures->text(), "0");
  EXPECT_FALSE(w.pnlProgress->isVisible());
  EXPECT_FALSE(w.sbPanorama->isVisible());
  for (QLabel* l : {w.Label1Elapsed, w.Label1Estimated, w.Label2Elapsed, w.Label2Estimated, w.lblNameLoadedPan})
    EXPECT_TRUE(l->text().isEmpty());
  EXPECT_EQ(w.windowTitle(), "Vistarium");
  EXPECT_EQ(w.mnuByHand->text(), "&Stitch Manually ");

  const std::pair<const char*, const char*> buttons[] = {
      {"tbNewPanorama", "mnuNewPanorama"},       {"tbLoadImages", "mnuLoadPictures"},
      {"tbOpenPanorama", "mnuOpenPanorama"},     {"tbSavePanorama", "mnuSavePanorama"},
      {"tbViewFullSize", "mnuViewFullSize"},     {"tbViewBrowse", "mnuViewBrowse"},
      {"tbJoin", "mnuJoin"},                     {"tbAdjustment", "mnuAdjustment"},
      {"tbByHand", "mnuByHand"},                 {"tbParametersTwoPic", "mnuParametersTwoPic"},
      {"tbParametersCamera", "mnuParametersCamera"}, {"tbParametersMethod", "mnuParametersMethod"},
      {"tbHelp", "mnuVistariumHelp"},
  };
  for (int s = 0; s < app::kStageCount; ++s) {
    const auto stage = static_cast<WorkflowStage>(s);
    w.SetWorkflowStage(stage);
    for (std::string_view item : app::StageTableItems()) {
      const QString name = QString::fromUtf8(item.data(), static_cast<qsizetype>(item.size()));
      bool enabled;
      if (auto* menu = w.findChild<QMenu*>(name))
        enabled = menu->menuAction()->isEnabled();
      else if (auto* action = w.findChild<QAction*>(name))
        enabled = action->isEnabled();
      else
        enabled = w.findChild<QCheckBox*>(name)->isEnabled();
      EXPECT_EQ(enabled, app::IsEnabledInStage(item, stage)) << item << " in stage " << s;
    }
    for (const auto& [button, action] : buttons) {
      auto* b = w.findChild<QToolButton*>(button);
      ASSERT_NE(b, nullptr) << button;
      EXPECT_EQ(b->isEnabled(), w.findChild<QAction*>(action)->isEnabled()) << button << " in stage " << s;
    }
    EXPECT_EQ(w.sbPanorama->isVisible(), s == 5 || s == 6);
    EXPECT_EQ(w.pnlProgress->isVisible(), s == 2 || s == 4);
    EXPECT_EQ(w.lblNameLoadedPan->isVisible(), s == 6);
  }
}

TEST_F(MainWindowTest, LoadsInCaseInsensitiveOrderAndRefusesAnotherSize) {
  const QString b = QString::fromStdString(Picture("b.jpg", 64, 48));
  const QString a = QString::fromStdString(Picture("A.jpg", 64, 48));
  const QString d = QString::fromStdString(Picture("d.jpg", 64, 48));
  Load({b, a, d});
  EXPECT_EQ(Names(), (QStringList{"A.jpg", "b.jpg", "d.jpg"}));
  EXPECT_EQ(window_->edNofPictures->text(), "3");
  EXPECT_EQ(window_->Stage(), WorkflowStage::PicturesLoaded);
  EXPECT_EQ(window_->ThumbnailImages[0]->geometry(), QRect(5, 17, 100, 75));

  window_->mnuNewPanorama->trigger();
  EXPECT_EQ(window_->PictureCount(), 0);
  Load({a});
  const std::string other = Picture("other.jpg", 48, 64);
  Load({QString::fromStdString(other)});
  EXPECT_EQ(window_->PictureCount(), 1);
  EXPECT_EQ(window_->Stage(), WorkflowStage::NoPictures);
  ASSERT_EQ(services_.informed.size(), 1);
  EXPECT_EQ(services_.informed[0].toStdString(), app::SizeMismatchMessage(other));
}

TEST_F(MainWindowTest, DeleteShiftsTheRestAndDragExchangesTwoPictures) {
  Load({QString::fromStdString(Picture("a.jpg", 64, 48)), QString::fromStdString(Picture("b.jpg", 64, 48)),
        QString::fromStdString(Picture("c.jpg", 64, 48)), QString::fromStdString(Picture("d.jpg", 64, 48))});
  TfrmMain& w = *window_;

  // Right click on the first, Delete Picture.
  QTest::mousePress(w.ThumbnailImages[0], Qt::RightButton, {}, QPoint(5, 5));
  EXPECT_TRUE(w.PopupJustOpened);
  w.pmnuDeletePicture->trigger();
  EXPECT_EQ(Names(), (QStringList{"b.jpg", "c.jpg", "d.jpg"}));
  EXPECT_EQ(w.ThumbnailFrames.back()->x(), 2 * 110 + 5);
  EXPECT_EQ(w.FileNames.front(), PathOf("b.jpg"));
  w.pmnuThumbnail->hide();

  // A click right after the popup opened only clears the flag: no drag.
  QTest::mousePress(w.ThumbnailImages[0], Qt::RightButton, {}, QPoint(5, 5));
  w.pmnuThumbnail->hide();
  QTest::mousePress(w.ThumbnailImages[0], Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_FALSE(w.DragState.Dragging);
  QTest::mouseRelease(w.ThumbnailImages[0], Qt::LeftButton, {}, QPoint(230, 10));
  EXPECT_EQ(Names(), (QStringList{"b.jpg", "c.jpg", "d.jpg"}));

  // First onto third: those two change places, the second stays.
  QTest::mousePress(w.ThumbnailImages[0], Qt::LeftButton, {}, QPoint(10, 10));
  ASSERT_TRUE(w.DragState.Dragging);
  QTest::mouseRelease(w.ThumbnailImages[0], Qt::LeftButton, {}, QPoint(230, 10));
  EXPECT_EQ(Names(), (QStringList{"d.jpg", "c.jpg", "b.jpg"}));
  EXPECT_EQ(w.FileNames.front(), PathOf("d.jpg"));
  EXPECT_FALSE(w.DragState.Dragging);
  // Released below the thumbnails: nothing changes.
  QTest::mousePress(w.ThumbnailImages[0], Qt::LeftButton, {}, QPoint(10, 10));
  QTest::mouseRelease(w.ThumbnailImages[0], Qt::LeftButton, {}, QPoint(230, 90));
  EXPECT_EQ(Names(), (QStringList{"d.jpg", "c.jpg", "b.jpg"}));
}

TEST_F(MainWindowTest, JoinRunsOffTheWindowThreadThroughStagesTwoFourAndFive) {
  Load(OpenSample());
  TfrmMain& w = *window_;
  std::vector<WorkflowStage> seen;
  int ticks = 0;
  QTimer sampler;
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    ++ticks;
    if (seen.empty() || seen.back() != w.Stage()) seen.push_back(w.Stage());
  });
  sampler.start(5);
  QElapsedTimer clock;
  clock.start();
  w.mnuJoin->trigger();
  EXPECT_TRUE(w.JoinRunning());
  ASSERT_TRUE(WaitForIdle());
  const qint64 joinMs = clock.elapsed();
  sampler.stop();
  if (seen.empty() || seen.back() != w.Stage()) seen.push_back(w.Stage());
  ASSERT_TRUE(services_.errors.isEmpty()) << services_.errors.join("\n").toStdString();
  EXPECT_TRUE(services_.informed.isEmpty()) << services_.informed.join("\n").toStdString();  // no connection named
  EXPECT_EQ(seen, (std::vector<WorkflowStage>{WorkflowStage::Finding, WorkflowStage::Constructing,
                                               WorkflowStage::PanoramaMade}));
  // The window's own events went on while the phases ran: the sampler
  // fired at least once every 40 ms on average (a window thread held by the
  // join would see it fire once or not at all; a machine busy with other
  // work delays the timer now and then).
  EXPECT_GE(ticks, std::max<qint64>(3, joinMs / 40)) << joinMs << " ms";
  EXPECT_EQ(w.ProgressBar1->value(), 100);
  EXPECT_EQ(w.ProgressBar2->value(), 100);
  const Bitmap32& picture = w.SimpleShow()->Picture();
  EXPECT_EQ(picture.Width, w.Run().Panorama.Width);
  EXPECT_GT(picture.Width, 1024);
  EXPECT_LE(w.ImgPanorama->width(), 110 * 4 - 20);
  EXPECT_LE(w.ImgPanorama->height(), 125);
  EXPECT_TRUE(w.sbPanorama->isVisible());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  // The status bar says which camera built the panorama: the rendered
  // pictures carry their camera as EXIF, which the join started from and
  // then calibrated on all connections.
  EXPECT_TRUE(w.lblCameraOfJoin->text().startsWith(
      "Camera from the pictures' EXIF, calibrated on all connections: ")) <<
      w.lblCameraOfJoin->text().toStdString();
  EXPECT_TRUE(w.lblCameraOfJoin->toolTip().contains("camera from the pictures: Vistarium Sample renderer"))
      << w.lblCameraOfJoin->toolTip().toStdString();

  // Save, then open the file again: flag and values come back.
  services_.nextSave = QString::fromStdString(PathOf("pano"));
  w.mnuSavePanorama->trigger();
  ASSERT_TRUE(fs::exists(PathOf("pano.jpg")));
  services_.nextSave = QString::fromStdString(PathOf("sphere"));
  w.mnuExport360->trigger();
  const app::PictureMetadata made360 = app::ReadPictureMetadata(PathOf("sphere.jpg"));
  ASSERT_TRUE(made360.Sphere);  // an open panorama: its part of the 2:1 sphere
  EXPECT_EQ(made360.Sphere->FullWidth, 2 * made360.Sphere->FullHeight);
  EXPECT_LT(made360.Sphere->CroppedWidth, made360.Sphere->FullWidth);
  services_.nextSave = QString::fromStdString(PathOf("pano"));
  services_.answer = false;
  w.mnuSavePanorama->trigger();  // exists: asked, No keeps it
  EXPECT_EQ(services_.asked.back().toStdString(), app::kReplaceExistingFileQuestion);
  // Never over a picture of the set (here under another name), nor over a
  // write-protected file: told at once, without the question.
  const qsizetype asked = services_.asked.size();
  fs::create_symlink(w.FileNames[1], PathOf("second.jpg"));
  services_.nextSave = QString::fromStdString(PathOf("second"));
  w.mnuSavePanorama->trigger();
  EXPECT_EQ(services_.informed.back().toStdString(),
            "Cannot write the panorama \"" + PathOf("second.jpg") + "\": it is picture 2 of the set; choose another name");
  EXPECT_TRUE(fs::is_symlink(PathOf("second.jpg")));
  fs::permissions(PathOf("pano.jpg"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  services_.nextSave = QString::fromStdString(PathOf("pano"));
  w.mnuSavePanorama->trigger();
  EXPECT_TRUE(services_.informed.back().startsWith(QString::fromStdString("Cannot write the panorama \"" +
                                                                            PathOf("pano.jpg") + "\": ")))
      << services_.informed.back().toStdString();
  EXPECT_EQ(services_.asked.size(), asked);
  services_.informed.clear();
  const TProjectionParameters made = w.Run().Projection;
  EXPECT_FALSE(w.mnuOpenPanorama->isEnabled());
  w.mnuNewPanorama->trigger();
  services_.nextOpen = {QString::fromStdString(PathOf("pano.jpg"))};
  w.mnuOpenPanorama->trigger();
  EXPECT_EQ(w.Stage(), WorkflowStage::PanoramaOpened);
  EXPECT_TRUE(w.OpenedPanoramaBrowsable());
  EXPECT_TRUE(w.mnuViewBrowse->isEnabled());
  EXPECT_FALSE(w.chb360->isChecked());
  EXPECT_NEAR(w.Run().Projection.AngleStep, made.AngleStep, 1e-10);
  EXPECT_NEAR(w.Run().Projection.PixelsPerRadian, made.PixelsPerRadian, 1e-10);
  EXPECT_NEAR(w.Run().Projection.FocalPixels, made.FocalPixels, 1e-10);
  EXPECT_EQ(w.lblNameLoadedPan->text(), "pano.jpg  prepared by Vistarium");
  EXPECT_EQ(w.SimpleShow()->Picture().Width, picture.Width);
  EXPECT_EQ(w.PictureCount(), 0);

  // Exported as a 360 photo, the opened file gives the photo the made
  // panorama gave, with the metadata saved in the file.
  ASSERT_TRUE(w.mnuExport360->isEnabled());
  services_.nextSave = QString::fromStdString(PathOf("opened-sphere"));
  w.mnuExport360->trigger();
  const app::PictureMetadata again = app::ReadPictureMetadata(PathOf("opened-sphere.jpg"));
  ASSERT_TRUE(again.Sphere);
  EXPECT_EQ(*again.Sphere, *made360.Sphere);
  EXPECT_EQ(again.Description, "Panorama of 4 pictures");
}

// A panorama larger than the window holds is kept reduced and says so;
// Save makes it again at full size into the file, and opening that file
// holds it reduced again.
TEST_F(MainWindowTest, APanoramaLargerThanTheWindowHoldsIsKeptReducedAndSavedWhole) {
  Load(OpenSample());
  TfrmMain& w = *window_;
  w.SetHeldPanoramaBudget(800'000);
  w.mnuJoin->trigger();
  ASSERT_TRUE(WaitForIdle());
  ASSERT_TRUE(services_.errors.isEmpty()) << services_.errors.join("\n").toStdString();
  const int width = w.Run().Panorama.Width, height = w.Run().Panorama.Height;
  ASSERT_GT(static_cast<std::int64_t>(width) * height, 800'000);
  const Bitmap32& held = w.SimpleShow()->Picture();
  const int factor = (width + held.Width - 1) / held.Width;
  EXPECT_GE(factor, 2);
  EXPECT_LE(static_cast<std::int64_t>(held.Width) * held.Height, 800'000);
  EXPECT_TRUE(w.SimpleShow()->windowTitle().contains("shown at 1:" + QString::number(factor)))
      << w.SimpleShow()->windowTitle().toStdString();

  services_.nextSave = QString::fromStdString(PathOf("whole"));
  w.mnuSavePanorama->trigger();
  const app::PanoramaInfo saved = app::ReadPanoramaInfo(PathOf("whole.jpg"));
  EXPECT_EQ(saved.Width, width);
  EXPECT_EQ(saved.Height, height);
  EXPECT_EQ(saved.Trailer.State, app::TrailerState::Sound);

  w.mnuNewPanorama->trigger();
  services_.nextOpen = {QString::fromStdString(PathOf("whole.jpg"))};
  w.mnuOpenPanorama->trigger();
  EXPECT_EQ(w.Stage(), WorkflowStage::PanoramaOpened);
  EXPECT_LT(w.SimpleShow()->Picture().Width, width);
  EXPECT_TRUE(w.SimpleShow()->windowTitle().contains("of " + QString::number(width) + " x " +
                                                     QString::number(height) + " pixels"))
      << w.SimpleShow()->windowTitle().toStdString();
}

TEST_F(MainWindowTest, NoToTheContinueQuestionReturnsToStageOneWithTheSetIntact) {
  Load(OpenSample());
  services_.slowClockStepSeconds = 30;
  services_.answer = false;
  window_->mnuJoin->trigger();
  ASSERT_TRUE(WaitForIdle());
  ASSERT_EQ(services_.asked.size(), 1);
  EXPECT_TRUE(services_.asked[0].endsWith("CONTINUE FINDING MATCHING PARTS OF ADJACENT PICTURS?        "));
  EXPECT_EQ(window_->Stage(), WorkflowStage::PicturesLoaded);
  EXPECT_EQ(window_->PictureCount(), 4);
  EXPECT_TRUE(window_->Run().Geometry.empty());
  EXPECT_TRUE(window_->mnuJoin->isEnabled());
}

TEST_F(MainWindowTest, ClosingDuringJoinAsksStopsAtOnceAndThenCloses) {
  Load(OpenSample());
  window_->mnuJoin->trigger();
  services_.answer = true;
  window_->close();
  EXPECT_TRUE(window_->isVisible());  // not while the phase runs
  ASSERT_EQ(services_.asked.size(), 1);
  EXPECT_TRUE(services_.asked[0].startsWith("Joining of the pictures is still running."));
  ASSERT_TRUE(WaitForIdle());
  EXPECT_TRUE(QTest::qWaitFor([this] { return !window_->isVisible(); }, 5000));
  EXPECT_EQ(window_->Stage(), WorkflowStage::PicturesLoaded);
  EXPECT_TRUE(window_->Run().Geometry.empty());
  EXPECT_LT(window_->ProgressBar1->value(), 33);  // stopped inside the first of three pairs
}

TEST_F(MainWindowTest, AFailingJoinShowsTheErrorAndLeavesNoPanorama) {
  QStringList files;
  for (const char* digit : {"1", "2", "3"}) {
    const std::string name = std::string("p").append(digit).append(".jpg");
    fs::copy_file(fs::path(VISTARIUM_SOURCE_DIR) / "samples/open4" / std::string("open4_0").append(digit).append(".jpg"),
                  PathOf(name));
    files << QString::fromStdString(PathOf(name));
  }
  Load(files);
  fs::remove(PathOf("p3.jpg"));
  window_->mnuJoin->trigger();
  ASSERT_TRUE(WaitForIdle());
  ASSERT_EQ(services_.errors.size(), 1);
  EXPECT_TRUE(services_.errors[0].contains("p3.jpg")) << services_.errors[0].toStdString();
  EXPECT_EQ(window_->Stage(), WorkflowStage::PicturesLoaded);
  EXPECT_FALSE(window_->mnuSavePanorama->isEnabled());
  EXPECT_FALSE(window_->mnuViewFullSize->isEnabled());
  EXPECT_EQ(window_->SimpleShow()->Picture().Width, 0);
  EXPECT_EQ(window_->Run().Panorama.Width, 0);
  EXPECT_EQ(window_->PictureCount(), 3);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(MainWindowTest, AnOrdinaryJpegOpensWithoutBrowsingAndBadChoicesChangeNothing) {
  const std::string plain = Picture("photo.JPG", 300, 100);
  services_.nextOpen = {QString::fromStdString(plain)};
  window_->mnuOpenPanorama->trigger();
  EXPECT_TRUE(services_.informed.isEmpty());
  EXPECT_EQ(window_->Stage(), WorkflowStage::PanoramaOpened);
  EXPECT_FALSE(window_->OpenedPanoramaBrowsable());
  EXPECT_FALSE(window_->mnuViewBrowse->isEnabled());
  EXPECT_FALSE(window_->findChild<QToolButton*>("tbViewBrowse")->isEnabled());
  EXPECT_FALSE(window_->mnuExport360->isEnabled());
  EXPECT_TRUE(window_->mnuViewFullSize->isEnabled());
  EXPECT_EQ(window_->lblNameLoadedPan->text(), "photo.JPG");
  EXPECT_EQ(window_->SimpleShow()->Picture().Width, 300);

  const std::string notes = Put("notes.txt", std::string("text"));
  services_.nextOpen = {QString::fromStdString(notes)};
  window_->mnuOpenPanorama->trigger();
  ASSERT_EQ(services_.informed.size(), 1);
  EXPECT_EQ(services_.informed[0].toStdString(),
            std::string(app::kWrongExtensionMessage) + " \"" + notes + "\": its extension is \".txt\"");
  EXPECT_EQ(window_->SimpleShow()->Picture().Width, 300);

  // A missing file is named with the system's reason.
  const std::string gone = PathOf("gone.jpg");
  services_.nextOpen = {QString::fromStdString(gone)};
  window_->mnuOpenPanorama->trigger();
  EXPECT_EQ(services_.informed.back().toStdString(),
            "Can't open selected file. \"" + gone + "\": No such file or directory");

  // Without a viewer for the guide the program shows it in its own window.
  services_.documentOpens = false;
  const qsizetype messages = services_.informed.size();
  window_->mnuVistariumHelp->trigger();
  EXPECT_EQ(services_.informed.size(), messages);
  ASSERT_NE(window_->HelpWindow(), nullptr);
  EXPECT_TRUE(window_->HelpWindow()->isVisible());
  const auto* text = window_->HelpWindow()->findChild<QTextBrowser*>("tbHelpText");
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(text->toPlainText().contains("Vistarium"));
}

TEST_F(MainWindowTest, BrowseOpensTheBrowserOnAnOpenedPanoramaWithItsTrailersHorizonRow) {
  // Rows differ in blue, so the map's middle row shows which row is the horizon.
  Bitmap32 pano;
  pano.SetSize(1200, 200);
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 1200; ++x) pano.SetPixel(x, y, 0xFF000000u | (x % 256) << 8 | y);
  const double n = 1200.0;
  const std::string file = PathOf("circle.jpg");
  app::SavePanoramaFile(file, pano, {true, 2.0 * 3.141592653589793 / n, n / (2.0 * 3.141592653589793), 190.0, 70});
  services_.nextOpen = {QString::fromStdString(file)};
  window_->mnuOpenPanorama->trigger();
  ASSERT_TRUE(window_->mnuViewBrowse->isEnabled());

  // The map is built on a worker thread while events go on; the browser
  // shows itself once it is done.
  browse::BrowserState seen;
  bool shown = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!window_->Browser()->isVisible()) return;
    poll.stop();
    shown = true;
    seen = window_->Browser()->State();
    window_->Browser()->sbtnExit->click();
  });
  poll.start(5);
  window_->mnuViewBrowse->trigger();
  EXPECT_TRUE(shown);
  EXPECT_TRUE(services_.errors.isEmpty());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  ASSERT_EQ(seen.MapWidth, 1200);
  EXPECT_TRUE(seen.Is360);
  EXPECT_NEAR(seen.FocalPixels, 190.0, 1e-9);
  const int middle = vistarium::Round(seen.MapHeight / 2.0);
  EXPECT_NEAR(seen.Map.At(600, middle, 0), 70, 3);  // blue, through JPEG
  EXPECT_NEAR(seen.Map.At(600, middle + 20, 0), 90, 3);

  // Closing the program while the map is built ends it without the browser.
  bool shownAfterClose = false;
  poll.disconnect();
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!window_->Browser()->isVisible()) return;
    shownAfterClose = true;
    window_->Browser()->sbtnExit->click();
  });
  poll.start(5);
  QTimer::singleShot(0, [&] { window_->close(); });
  window_->mnuViewBrowse->trigger();
  poll.stop();
  EXPECT_FALSE(window_->isVisible());
  EXPECT_FALSE(shownAfterClose);
  window_->show();

  // A new panorama empties the browser.
  window_->mnuNewPanorama->trigger();
  EXPECT_EQ(window_->Browser()->State().MapWidth, 0);
}

}  // namespace
}  // namespace vistarium::desktop
