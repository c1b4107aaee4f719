#include "params/camera_list.h"

#include <gtest/gtest.h>

#include "params/text_files.h"
#include "temp_folder.h"

namespace vistarium::params {
namespace {

using testing::TempFolderTest;

std::string Padded(std::string name) {
  name.resize(50, ' ');
  return name;
}

TEST(CameraLineTest, FormatIsByteExact) {
  EXPECT_EQ(FormatCameraLine("Nikon", 50.0, -0.0125), Padded("Nikon") + " *** " + " 50.00" + "  " + "-0.0125");
  EXPECT_EQ(FormatCameraLine("Wide", 13.0, 0.0), Padded("Wide") + " ***  13.00   0.0000");
  EXPECT_EQ(FormatCameraLine("Tele", 999.0, 1.5), Padded("Tele") + " *** 999.00   1.5000");
}

TEST(CameraLineTest, ANameOverFiftyCharactersIsCut) {
  const std::string longName(60, 'x');
  const std::string line = FormatCameraLine(longName + "tail", 28.0, 0.0);
  EXPECT_EQ(line.substr(0, 55), std::string(50, 'x') + " *** ");
  EXPECT_EQ(ReadCameraLine(line).Name, std::string(50, 'x'));
}

TEST(CameraLineTest, ReadingBackKeepsFourDecimals) {
  const CameraLine line = ReadCameraLine(FormatCameraLine("Nikon", 50.0, -0.0125));
  EXPECT_EQ(line.Name, "Nikon");
  EXPECT_EQ(line.FocalText, "50.00");
  EXPECT_EQ(line.AberrationText, "-0.0125");
  EXPECT_EQ(line.FocalLength, 50.0);
  EXPECT_EQ(line.Aberration, -0.0125);
  EXPECT_EQ(CameraFromLine(line), (TParametersCamera{"Nikon", 50.0, -0.0125}));
}

TEST(CameraLineTest, ReadingSplitsAtTheFirstSeparatorAndFirstBlank) {
  CameraLine line = ReadCameraLine("  A *** B  ***   24.5    0.25  extra ");
  EXPECT_EQ(line.Name, "A");
  EXPECT_EQ(line.FocalText, "B");
  EXPECT_EQ(line.AberrationText, "***   24.5    0.25  extra");
  EXPECT_FALSE(CameraFromLine(line));

  line = ReadCameraLine("Cam ***35");
  EXPECT_EQ(line.Name, "Cam");
  EXPECT_EQ(line.FocalLength, 35.0);
  EXPECT_EQ(line.AberrationText, "");
  EXPECT_FALSE(line.Aberration);

  line = ReadCameraLine("Comma *** 35,5  0,1");
  EXPECT_FALSE(line.FocalLength);
  EXPECT_FALSE(line.Aberration);

  line = ReadCameraLine("no separator 50.00 0.0000");
  EXPECT_EQ(line.Name, "");
  EXPECT_FALSE(CameraFromLine(line));
}

TEST(CameraListFormatTest, TrimsDropsEmptySortsCaseInsensitivelyAndWritesEachLineOnce) {
  const std::vector<std::string> lines = {"  beta *** 1  0", "", "Alpha *** 2  0", "   ", "beta *** 1  0",
                                          "ALPHA *** 2  0", "alpha *** 2  0\t", "Gamma *** 3  0"};
  EXPECT_EQ(FormatCameraList(lines),
            "ALPHA *** 2  0\r\n"
            "Alpha *** 2  0\r\n"
            "alpha *** 2  0\r\n"
            "beta *** 1  0\r\n"
            "Gamma *** 3  0\r\n");
  // Writing what was written changes nothing.
  EXPECT_EQ(FormatCameraList(SplitLines(FormatCameraList(lines))), FormatCameraList(lines));
  EXPECT_EQ(FormatCameraList({}), "");
}

TEST(CameraListFormatTest, OrderComparesTheWholeLineIncludingPadding) {
  const std::string a = FormatCameraLine("Generic 14 mm", 14, 0);
  const std::string b = FormatCameraLine("Generic 100 mm", 100, 0);
  const std::string c = FormatCameraLine("generic 14 mm wide", 14, 0);
  EXPECT_EQ(FormatCameraList({a, c, b}), b + "\r\n" + a + "\r\n" + c + "\r\n");
}

std::vector<std::string> SampleList() {
  return {FormatCameraLine("Alpha", 28, 0), FormatCameraLine("Beta", 35, -0.01), "Broken ***  x  y",
          FormatCameraLine("beta", 50, 0.02)};
}

TEST(ReloadCameraListTest, SelectsTheExactCaseSensitiveMatch) {
  const CameraListView view = ReloadCameraList(SampleList(), "beta");
  EXPECT_EQ(view.Names, (std::vector<std::string>{"Alpha", "Beta", "Broken", "beta"}));
  EXPECT_EQ(view.SelectedIndex, 3);
  ASSERT_TRUE(view.Current);
  EXPECT_EQ(view.Current->FocalText, "50.00");
  EXPECT_EQ(view.Current->AberrationText, "0.0200");

  TParametersCamera camera{"beta", 1, 1};
  EXPECT_TRUE(ApplyReloadedCamera(view, camera));
  EXPECT_EQ(camera, (TParametersCamera{"beta", 50, 0.02}));
}

TEST(ReloadCameraListTest, NoMatchOrUnreadableNumbersKeepTheCamera) {
  for (const char* name : {"BETA", "", "Gamma"}) {
    const CameraListView view = ReloadCameraList(SampleList(), name);
    EXPECT_EQ(view.SelectedIndex, 0) << name;
    EXPECT_FALSE(view.Current) << name;
  }
  const CameraListView broken = ReloadCameraList(SampleList(), "Broken");
  EXPECT_EQ(broken.SelectedIndex, 2);  // selected, but its numbers do not read
  EXPECT_FALSE(broken.Current);
  TParametersCamera camera{"Broken", 24, 0.1};
  EXPECT_FALSE(ApplyReloadedCamera(broken, camera));
  EXPECT_EQ(camera, (TParametersCamera{"Broken", 24, 0.1}));
}

TEST(ReloadCameraListTest, SelectionFindsTheFirstLineOfThatName) {
  const auto found = FindCameraLine(SampleList(), "Beta");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->FocalLength, 35.0);
  EXPECT_FALSE(FindCameraLine(SampleList(), "Delta"));
}

TEST(CheckNewCameraTest, ChecksRunInOrderAndNameTheField) {
  struct Case {
    const char* name;
    const char* focal;
    const char* aberration;
    std::string_view message;
    CameraField focus;
  };
  const Case cases[] = {
      {"", "abc", "abc", kEnterNameMessage, CameraField::Name},
      {"Cam", "abc", "abc", kFocalNotNumberMessage, CameraField::FocalLength},
      {"Cam", "0.99", "abc", kImpossibleFocalMessage, CameraField::FocalLength},
      {"Cam", "999.01", "0", kImpossibleFocalMessage, CameraField::FocalLength},
      {"Cam", "50", "abc", kAberrationNotNumberMessage, CameraField::Aberration},
      {"Cam", "50", "-1.51", kImpossibleAberrationMessage, CameraField::Aberration},
      {"Cam", "50", "1.5001", kImpossibleAberrationMessage, CameraField::Aberration},
  };
  for (const Case& c : cases) {
    const NewCameraCheck check = CheckNewCamera(c.name, c.focal, c.aberration);
    ASSERT_FALSE(check.Accepted()) << c.name << "|" << c.focal << "|" << c.aberration;
    EXPECT_EQ(check.Problem->Message, c.message);
    EXPECT_EQ(check.Problem->Focus, c.focus);
  }
  EXPECT_EQ(std::string(kImpossibleFocalMessage),
            "You entered impossible focal distance \n(in mm, reduced to 35mm film standard)\n"
            "         Please correct this value.   ");

  const NewCameraCheck ok = CheckNewCamera("Cam", "999", "1.2");
  ASSERT_TRUE(ok.Accepted());
  EXPECT_EQ(ok.Camera, (TParametersCamera{"Cam", 999, 1.2}));
  EXPECT_TRUE(CheckNewCamera("Cam", "1", "-1.5").Accepted());
}

TEST(DeleteCameraTest, TheLastEntryCannotBeDeleted) {
  EXPECT_EQ(DeleteCameraRefusal(1), kLastCameraMessage);
  EXPECT_EQ(std::string(kLastCameraMessage), "The list of cameras should contain at least one item.");
  EXPECT_FALSE(DeleteCameraRefusal(2));
  EXPECT_FALSE(DeleteCameraRefusal(0));
}

TEST(DeleteCameraTest, KeepsOtherNamedLinesAndReportsTheFirst) {
  std::vector<std::string> lines = SampleList();
  lines.insert(lines.begin(), "line without separator");
  const CameraDeletion deletion = DeleteCameraLines(lines, "  Alpha ");
  EXPECT_EQ(deletion.KeptLines, (std::vector<std::string>{lines[2], lines[3], lines[4]}));
  ASSERT_TRUE(deletion.First);
  EXPECT_EQ(deletion.First->Name, "Beta");
  // Case matters: deleting "Beta" keeps "beta".
  EXPECT_EQ(DeleteCameraLines(SampleList(), "Beta").KeptLines,
            (std::vector<std::string>{SampleList()[0], SampleList()[2], SampleList()[3]}));
}

class CameraListFileTest : public TempFolderTest {
protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    std::filesystem::create_directories(Folder() / "Options");
    list_ = CameraListPath(Folder());
    tmp_ = TemporaryCameraListPath(Folder());
    WriteBytes(list_, FormatCameraList(SampleList()));
  }
  std::filesystem::path list_;
  std::filesystem::path tmp_;
};

TEST_F(CameraListFileTest, AddingWritesTheListAnewSorted) {
  // A list written by hand: unsorted, LF line ends, blanks and an empty line.
  WriteBytes(list_, "  Zeta *** 20.00   0.0000  \n\nalpha *** 10.00   0.0000\n");
  AddCamera(list_, tmp_, {"Nikon", 50, -0.0125});
  EXPECT_EQ(ReadBytes(list_), "alpha *** 10.00   0.0000\r\n" + FormatCameraLine("Nikon", 50, -0.0125) +
                                  "\r\nZeta *** 20.00   0.0000\r\n");
  EXPECT_FALSE(std::filesystem::exists(tmp_));
  const CameraListView view = ReloadCameraList(list_, "Nikon");
  EXPECT_EQ(view.SelectedIndex, 1);
  ASSERT_TRUE(view.Current);
  EXPECT_EQ(view.Current->Aberration, -0.0125);
}

TEST_F(CameraListFileTest, DeletingTheCurrentMakesTheFirstCurrent) {
  const CameraDeletion deletion = DeleteCamera(list_, tmp_, "Alpha");
  ASSERT_TRUE(deletion.First);
  const auto first = CameraFromLine(*deletion.First);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, (TParametersCamera{"Beta", 35, -0.01}));
  const auto lines = ReadCameraListLines(list_);
  EXPECT_EQ(lines.size(), 3u);
  EXPECT_EQ(ReloadCameraList(lines, first->Name).SelectedIndex, 0);
  EXPECT_FALSE(FindCameraLine(lines, "Alpha"));
  EXPECT_FALSE(std::filesystem::exists(tmp_));
}

TEST_F(CameraListFileTest, FailedWritesReportTheListAndLeaveItIntact) {
  const std::string before = ReadBytes(list_);
  std::filesystem::create_directory(tmp_);  // the temporary file cannot be created
  try {
    DeleteCamera(list_, tmp_, "Alpha");
    FAIL() << "no error reported";
  } catch (const CameraListError& e) {
    EXPECT_NE(std::string(e.what()).find(list_.string()), std::string::npos) << e.what();
  }
  EXPECT_EQ(ReadBytes(list_), before);
  EXPECT_THROW(AddCamera(list_, tmp_, {"Nikon", 50, 0}), CameraListError);
  EXPECT_EQ(ReadBytes(list_), before);
}

TEST_F(CameraListFileTest, MissingFolderOrListIsAnError) {
  const auto missing = Folder() / "nowhere" / "Lenses.txt";
  EXPECT_THROW(ReloadCameraList(missing, "Alpha"), CameraListError);
  EXPECT_THROW(DeleteCamera(missing, Folder() / "nowhere" / "tmpLenses.txt", "Alpha"), CameraListError);
  EXPECT_THROW(AddCamera(missing, Folder() / "nowhere" / "tmpLenses.txt", {"Nikon", 50, 0}), CameraListError);
  EXPECT_FALSE(std::filesystem::exists(Folder() / "nowhere"));
}

}  // namespace
}  // namespace vistarium::params
