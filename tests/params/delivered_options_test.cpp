// The Options folder delivered with the program: the current parameter file
// and the camera list must read, agree with each other and be exactly what
// the program itself would write.

#include <gtest/gtest.h>

#include <set>

#include "params/camera_list.h"
#include "params/parameter_file.h"
#include "params/text_files.h"

namespace vistarium::params {
namespace {

const std::filesystem::path kProgramFolder = VISTARIUM_SOURCE_DIR;

std::string Delivered(const std::filesystem::path& path) {
  const auto text = ReadWholeFile(path);
  EXPECT_TRUE(text) << "cannot read " << path;
  return text.value_or("");
}

TEST(DeliveredOptionsTest, CurrentParametersHoldTheRecommendedSetInTheProgramsFormat) {
  const std::string text = Delivered(CurrentParameterFilePath(kProgramFolder));
  const auto sets = ParseParameterFile(text);
  ASSERT_TRUE(sets);
  EXPECT_EQ(sets->Method, (TParametersMethod{50, 50, 1}));
  EXPECT_EQ(sets->TwoPic, (TParametersTwoPic{85, 15, 3, 5, 5}));
  EXPECT_EQ(text, FormatParameterFile(*sets));  // titles, widths and CR LF
  EXPECT_TRUE(IsAcceptedQualityCoefficient(sets->Method.QualityCoefficient));
}

TEST(DeliveredOptionsTest, CameraListIsWhatTheWriterProducesAndEveryCameraReads) {
  const std::string text = Delivered(CameraListPath(kProgramFolder));
  const std::vector<std::string> lines = SplitLines(text);
  ASSERT_GE(lines.size(), 15u);
  EXPECT_EQ(text, FormatCameraList(lines));

  std::set<std::string> names;
  for (const std::string& line : lines) {
    const CameraLine read = ReadCameraLine(line);
    const auto camera = CameraFromLine(read);
    ASSERT_TRUE(camera) << line;
    EXPECT_EQ(line, FormatCameraLine(camera->Name, camera->FocalLength, camera->Aberration));
    EXPECT_TRUE(CheckNewCamera(camera->Name, read.FocalText, read.AberrationText).Accepted()) << line;
    EXPECT_TRUE(IsAcceptedCamera(camera->FocalLength, camera->Aberration)) << line;
    EXPECT_TRUE(names.insert(camera->Name).second) << "name listed twice: " << camera->Name;
  }
  for (int focal : {14, 16, 18, 20, 24, 28, 35, 40, 50, 70, 85, 100, 105, 135, 200}) {
    const auto line = FindCameraLine(lines, "Generic " + std::to_string(focal) + " mm");
    ASSERT_TRUE(line) << focal;
    EXPECT_EQ(line->FocalLength, focal);
  }
}

// Makers quote 35 mm equivalents on the picture diagonal; this program's focal
// length is along the longer side of 36 mm film. For 4:3 sensors the two
// differ by 36 / (43.27 * 4 / 5), for 3:2 sensors they agree.
TEST(DeliveredOptionsTest, CameraFocalLengthsAreAlongTheLongerSide) {
  const std::vector<std::string> lines = SplitLines(Delivered(CameraListPath(kProgramFolder)));
  const auto focal = [&lines](const std::string& name) {
    const auto line = FindCameraLine(lines, name);
    EXPECT_TRUE(line) << name;
    return line && line->FocalLength ? *line->FocalLength : 0.0;
  };
  const double fourByThree = 36.0 / (43.27 * 4.0 / 5.0);
  EXPECT_NEAR(focal("Apple iPhone 15 main camera"), 26.0 * fourByThree, 0.006);
  EXPECT_NEAR(focal("Samsung Galaxy S10 ultra wide camera"), 12.0 * fourByThree, 0.006);
  EXPECT_NEAR(focal("Canon PowerShot S95 (wide end)"), 28.0 * fourByThree, 0.006);
  EXPECT_DOUBLE_EQ(focal("Sony Cyber-shot RX100 (wide end)"), 28.0);  // 3:2 sensor
  EXPECT_DOUBLE_EQ(focal("Leica Q2"), 28.0);
}

TEST(DeliveredOptionsTest, TheCurrentCameraIsInTheList) {
  const auto sets = ParseParameterFile(Delivered(CurrentParameterFilePath(kProgramFolder)));
  ASSERT_TRUE(sets);
  const CameraListView view = ReloadCameraList(CameraListPath(kProgramFolder), sets->Camera.Name);
  ASSERT_TRUE(view.Current) << sets->Camera.Name;
  EXPECT_EQ(view.Names.at(static_cast<std::size_t>(view.SelectedIndex)), sets->Camera.Name);
  TParametersCamera camera = sets->Camera;
  ASSERT_TRUE(ApplyReloadedCamera(view, camera));
  EXPECT_TRUE(IsAcceptedCamera(camera.FocalLength, camera.Aberration));
}

}  // namespace
}  // namespace vistarium::params
