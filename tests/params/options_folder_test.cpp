// The user's settings folder: where it is, how it is seeded from the
// delivered Options, and that a rebuild or a new version never overwrites
// what the user saved there.

#include "params/options_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <optional>

#include "params/camera_list.h"
#include "params/parameter_file.h"
#include "params/text_files.h"
#include "temp_folder.h"

namespace vistarium::params {
namespace {

namespace fs = std::filesystem;
using testing::TempFolderTest;

class OptionsFolderTest : public TempFolderTest {
protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    for (const char* name : {kOptionsFolderVariable, "XDG_CONFIG_HOME", "HOME"})
      if (const char* v = std::getenv(name)) saved_[name] = v;
  }
  void TearDown() override {
    for (const char* name : {kOptionsFolderVariable, "XDG_CONFIG_HOME", "HOME"}) {
      const auto it = saved_.find(name);
      if (it == saved_.end())
        unsetenv(name);
      else
        setenv(name, it->second.c_str(), 1);
    }
    UseOptionsFolder(std::nullopt);
    TempFolderTest::TearDown();
  }
  // A program folder with the delivered Options beside the program.
  fs::path Program() const {
    const fs::path program = Folder() / "bin";
    fs::create_directories(program);
    fs::copy(fs::path(VISTARIUM_SOURCE_DIR) / "Options", program / "Options",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    return program;
  }
  std::map<std::string, std::string> saved_;
};

TEST_F(OptionsFolderTest, TheOptionComesBeforeTheEnvironmentThenTheConfigurationFolderThenHome) {
  setenv("HOME", "/home/someone", 1);
  unsetenv("XDG_CONFIG_HOME");
  unsetenv(kOptionsFolderVariable);
  EXPECT_EQ(UserOptionsFolder(), fs::path("/home/someone/.config/Vistarium/Options"));
  setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  EXPECT_EQ(UserOptionsFolder(), fs::path("/home/someone/.config/Vistarium/Options"));
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(UserOptionsFolder(), fs::path("/cfg/Vistarium/Options"));
  setenv(kOptionsFolderVariable, "/ci/options", 1);
  EXPECT_EQ(UserOptionsFolder(), fs::path("/ci/options"));
  EXPECT_EQ(UserOptionsFolder(fs::path("/chosen")), fs::path("/chosen"));

  std::vector<std::string> args = {"stitch", "--options", "/x", "-o", "p.jpg", "a.jpg"};
  EXPECT_EQ(TakeOptionsArgument(args), fs::path("/x"));
  EXPECT_EQ(args, (std::vector<std::string>{"stitch", "-o", "p.jpg", "a.jpg"}));
  args = {"--options=/y", "a.jpg"};
  EXPECT_EQ(TakeOptionsArgument(args), fs::path("/y"));
  EXPECT_EQ(args, std::vector<std::string>{"a.jpg"});
  args = {"info", "--options"};
  EXPECT_THROW(TakeOptionsArgument(args), std::invalid_argument);
}

TEST_F(OptionsFolderTest, SettingsSavedByTheUserSurviveARebuildAndNewSwitchesArrive) {
  const fs::path program = Program();
  setenv("XDG_CONFIG_HOME", (Folder() / "config").c_str(), 1);
  unsetenv(kOptionsFolderVariable);
  std::string problem;
  const fs::path user = ChooseOptionsFolder(program, std::nullopt, problem);
  EXPECT_TRUE(problem.empty()) << problem;
  EXPECT_EQ(user, Folder() / "config" / "Vistarium" / "Options");
  // Every path of the settings leads into the user's folder now.
  EXPECT_EQ(CurrentParameterFilePath(program), user / "CurrentParameters.spr");
  EXPECT_EQ(CameraListPath(program), user / "Lenses.txt");
  EXPECT_EQ(ReadWholeFile(user / "Lenses.txt"), ReadWholeFile(program / "Options" / "Lenses.txt"));

  // The user adds a camera and chooses it.
  std::vector<std::string> lines = ReadCameraListLines(CameraListPath(program));
  lines = LinesWithCamera(lines, {"My Camera", 31.5, -0.01});
  SaveCameraList(CameraListPath(program), TemporaryCameraListPath(program), lines);
  ParameterSets sets = LoadParameterFile(CurrentParameterFilePath(program));
  sets.Camera.Name = "My Camera";
  SaveParameterFile(CurrentParameterFilePath(program), sets);
  const auto savedList = ReadWholeFile(user / "Lenses.txt");
  const auto savedParameters = ReadWholeFile(user / "CurrentParameters.spr");

  // A rebuild copies the delivered Options beside the program again, and a
  // newer version delivers a switch file more; the program starts again.
  UseOptionsFolder(std::nullopt);
  Program();
  WriteBytes(program / "Options" / "NewSwitch.txt", "Some switch\r\n1\r\n");
  WriteBytes(program / "Options" / "CurrentParameters.spr.tmp", "left over");
  EXPECT_EQ(ChooseOptionsFolder(program, std::nullopt, problem), user);
  EXPECT_EQ(ReadWholeFile(user / "Lenses.txt"), savedList);
  EXPECT_EQ(ReadWholeFile(user / "CurrentParameters.spr"), savedParameters);
  EXPECT_EQ(ReadWholeFile(user / "NewSwitch.txt"), std::optional<std::string>("Some switch\r\n1\r\n"));
  EXPECT_FALSE(fs::exists(user / "CurrentParameters.spr.tmp"));
  EXPECT_EQ(ReadCameraName(CurrentParameterFilePath(program)), "My Camera");
}

TEST_F(OptionsFolderTest, AnInstalledProgramSeedsFromItsDataFolderAndAFolderThatCannotBeMadeFallsBack) {
  const fs::path installed = Folder() / "usr";
  fs::create_directories(installed / "bin");
  fs::create_directories(installed / "share" / "vistarium");
  fs::copy(fs::path(VISTARIUM_SOURCE_DIR) / "Options", installed / "share" / "vistarium" / "Options");
  EXPECT_EQ(DeliveredOptionsFolder(installed / "bin"), (installed / "share" / "vistarium" / "Options").lexically_normal());
  std::string problem;
  const fs::path chosen = Folder() / "mine";
  EXPECT_EQ(ChooseOptionsFolder(installed / "bin", chosen, problem), chosen);
  EXPECT_TRUE(fs::exists(chosen / "CurrentParameters.spr"));

  // A settings folder inside a file cannot be made: the delivered settings
  // stay in use and the problem is told.
  WriteBytes(Folder() / "file", "x");
  const fs::path used = ChooseOptionsFolder(installed / "bin", Folder() / "file" / "Options", problem);
  EXPECT_EQ(used, (installed / "share" / "vistarium" / "Options").lexically_normal());
  EXPECT_NE(problem.find((Folder() / "file" / "Options").string()), std::string::npos) << problem;
}

}  // namespace
}  // namespace vistarium::params
