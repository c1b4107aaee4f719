#include "params/parameter_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "params/camera_list.h"
#include "params/output_options.h"
#include "params/refinement_option.h"
#include "params/text_files.h"
#include "temp_folder.h"

namespace vistarium::params {
namespace {

using testing::TempFolderTest;

ParameterSets SampleSets() {
  ParameterSets sets;
  sets.Camera = {"Generic 28 mm", 28.0, 0.0};
  sets.Method = {75, 50, 1};
  sets.TwoPic = {45, 15, 3, 5, 5};
  return sets;
}

template <typename Error, typename F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(FormatParameterFileTest, WritesTwelveCrLfLinesInFixedWidths) {
  EXPECT_EQ(FormatParameterFile(SampleSets()),
            "Parameters of camera\r\n"
            "Generic 28 mm\r\n"
            "Parameters of stitching method\r\n"
            "  75\r\n"
            " 50\r\n"
            "1\r\n"
            "Parameters of adjacent pictures\r\n"
            "45\r\n"
            "15\r\n"
            " 3\r\n"
            " 5\r\n"
            " 5\r\n");
}

TEST(FormatParameterFileTest, LongerNumbersAreWrittenInFull) {
  ParameterSets sets;
  sets.Method = {123456, -1234, 10};
  sets.TwoPic = {100, -5, 0, 7, 2147483647};
  const auto lines = SplitLines(FormatParameterFile(sets));
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[3], "123456");
  EXPECT_EQ(lines[4], "-1234");
  EXPECT_EQ(lines[5], "10");
  EXPECT_EQ(lines[7], "100");
  EXPECT_EQ(lines[8], "-5");
  EXPECT_EQ(lines[9], " 0");
  EXPECT_EQ(lines[11], "2147483647");
}

TEST(ParseParameterFileTest, ReadsWhatWasWrittenAndKeepsTheCameraNumbers) {
  ParameterSets current;
  current.Camera = {"Old", 35.0, 0.01};
  const auto parsed = ParseParameterFile(FormatParameterFile(SampleSets()), current);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->Camera, (TParametersCamera{"Generic 28 mm", 35.0, 0.01}));
  EXPECT_EQ(parsed->Method, SampleSets().Method);
  EXPECT_EQ(parsed->TwoPic, SampleSets().TwoPic);
}

TEST(ParseParameterFileTest, FollowsTheLineOrientedReadingRules) {
  // LF line ends, titles ignored, blanks around numbers, the rest of a number
  // line skipped, a name taken whole with its blanks, no final line end.
  const char* text =
      "anything\n"
      "  My camera  \n"
      "\n"
      "   +75   trailing words\n"
      "\t50\n"
      "0\r\n"
      "title\n"
      "45\n15\n3\n5\n-5";
  const auto parsed = ParseParameterFile(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->Camera.Name, "  My camera  ");
  EXPECT_EQ(parsed->Method, (TParametersMethod{75, 50, 0}));
  EXPECT_EQ(parsed->TwoPic, (TParametersTwoPic{45, 15, 3, 5, -5}));
}

TEST(ParseParameterFileTest, AnEmptyNumberLineIsSkippedLikeALineEnd) {
  // The reader of an integer passes over line ends, so an empty line 4 shifts
  // the values up and the file ends one integer early.
  const std::string shifted = "t\r\nname\r\nt\r\n\r\n75\r\n50\r\n1\r\nt\r\n45\r\n15\r\n3\r\n5\r\n";
  EXPECT_FALSE(ParseParameterFile(shifted));
  const auto method = ParseMethodParameters(shifted);
  ASSERT_TRUE(method);
  EXPECT_EQ(*method, (TParametersMethod{75, 50, 1}));
}

TEST(ParseParameterFileTest, RejectsBadIntegersAndShortFiles) {
  const std::string good = FormatParameterFile(SampleSets());
  EXPECT_TRUE(ParseParameterFile(good));
  auto replaceLine = [&good](int index, const std::string& content) {
    auto lines = SplitLines(good);
    lines[static_cast<std::size_t>(index)] = content;
    std::string text;
    for (const auto& l : lines) text += l + "\r\n";
    return text;
  };
  for (const char* bad : {"x", "7x", "1.5", "0x10", "2147483648", "-", "+"})
    EXPECT_FALSE(ParseParameterFile(replaceLine(4, bad))) << bad;
  EXPECT_FALSE(ParseParameterFile(replaceLine(11, "abc")));
  // Every truncation of the file before its last digit fails.
  for (std::size_t length : {0u, 10u, 22u, 37u, 60u, 100u})
    EXPECT_FALSE(ParseParameterFile(good.substr(0, length))) << length;
  EXPECT_FALSE(ParseParameterFile(good.substr(0, good.size() - 3)));
  EXPECT_TRUE(ParseParameterFile(good.substr(0, good.size() - 2)));  // only the last line end missing
}

using ParameterFileIoTest = TempFolderTest;

TEST_F(ParameterFileIoTest, SaveAndLoadRoundTrip) {
  const auto path = Folder() / "set.spr";
  SaveParameterFile(path, SampleSets());
  EXPECT_EQ(ReadBytes(path), FormatParameterFile(SampleSets()));
  ParameterSets current;
  current.Camera = {"x", 28.0, 0.0};
  EXPECT_EQ(LoadParameterFile(path, current), SampleSets());
  // Saving again replaces the file.
  ParameterSets other = SampleSets();
  other.TwoPic.OverlapWidthPercent = 30;
  SaveParameterFile(path, other);
  EXPECT_EQ(LoadParameterFile(path).TwoPic.OverlapWidthPercent, 30);
  EXPECT_FALSE(std::filesystem::exists(Folder() / "set.spr.tmp"));
}

// The message's own words first, then the file and why.
TEST_F(ParameterFileIoTest, LoadFailuresGiveTheReadMessageWithTheFileAndTheReason) {
  const auto path = Folder() / "set.spr";
  const auto missing = Folder() / "missing.spr";
  EXPECT_EQ(MessageOf<ParameterFileError>([&] { LoadParameterFile(missing); }),
            std::string(kReadParametersError) + ": \"" + missing.string() + "\": No such file or directory");
  const std::string notParameters =
      std::string(kReadParametersError) + ": \"" + path.string() + "\": a line is missing or does not hold a number";
  WriteBytes(path, "Parameters of camera\r\nname\r\nParameters of stitching method\r\n75\r\n");
  EXPECT_EQ(MessageOf<ParameterFileError>([&] { LoadParameterFile(path); }).rfind(notParameters, 0), 0u);
  std::string text = FormatParameterFile(SampleSets());
  text.replace(text.find(" 50\r\n"), 3, "abc");
  WriteBytes(path, text);
  EXPECT_EQ(MessageOf<ParameterFileError>([&] { LoadParameterFile(path); }).rfind(notParameters, 0), 0u);
  // A named pipe is refused at once instead of waiting for a writer; so are
  // the dialogs' readers and the camera list.
  const auto pipe = Folder() / "pipe.spr";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  const std::string reason = "it is a named pipe, not a regular file";
  EXPECT_EQ(MessageOf<ParameterFileError>([&] { LoadParameterFile(pipe); }),
            std::string(kReadParametersError) + ": \"" + pipe.string() + "\": " + reason);
  EXPECT_EQ(MessageOf<ParameterFileError>([&] { ReadMethodParameters(pipe); }),
            std::string(kDialogReadError) + pipe.string() + ": " + reason);
  EXPECT_NE(MessageOf<CameraListError>([&] { ReadCameraListLines(pipe); }).find(reason), std::string::npos);
  EXPECT_TRUE(ReadRefinementOption(pipe));  // the default, at once
}

TEST_F(ParameterFileIoTest, SaveFailureGivesTheSaveMessageAndKeepsTheOldFile) {
  const auto nowhere = Folder() / "no" / "set.spr";
  EXPECT_EQ(MessageOf<ParameterFileError>([&] { SaveParameterFile(nowhere, SampleSets()); }),
            std::string(kSaveParametersError) + ": \"" + nowhere.string() + "\": folder \"" +
                (Folder() / "no").string() + "\": No such file or directory");
  const auto path = Folder() / "set.spr";
  WriteBytes(path, "old");
  std::filesystem::create_directory(Folder() / "set.spr.tmp");
  EXPECT_THROW(SaveParameterFile(path, SampleSets()), ParameterFileError);
  EXPECT_EQ(ReadBytes(path), "old");
}

TEST_F(ParameterFileIoTest, DialogReadersReadOnlyTheirOwnLines) {
  const auto path = Folder() / "CurrentParameters.spr";
  // Lines of the other dialogs are never looked at: here they are garbage.
  WriteBytes(path, "x\r\nGeneric 35 mm\r\nx\r\n150\r\n 50\r\n1\r\nx\r\nbad\r\n");
  EXPECT_EQ(ReadCameraName(path), "Generic 35 mm");
  EXPECT_EQ(ReadMethodParameters(path), (TParametersMethod{150, 50, 1}));
  const std::string expected =
      "Error while reading file " + path.string() + ": a line is missing or does not hold a number where one belongs";
  EXPECT_EQ(MessageOf<ParameterFileError>([&] { ReadTwoPicParameters(path); }), expected);

  WriteBytes(path, "x\r\nname\r\nx\r\nbad\r\n50\r\n1\r\nx\r\n1\r\n2\r\n3\r\n4\r\n5\r\n");
  EXPECT_EQ(ReadTwoPicParameters(path), (TParametersTwoPic{1, 2, 3, 4, 5}));
  EXPECT_EQ(MessageOf<ParameterFileError>([&] { ReadMethodParameters(path); }), expected);

  WriteBytes(path, "only one line\r\n");
  EXPECT_EQ(MessageOf<ParameterFileError>([&] { ReadCameraName(path); }), expected);
  const auto missing = Folder() / "missing.spr";
  EXPECT_EQ(MessageOf<ParameterFileError>([&] { ReadCameraName(missing); }),
            "Error while reading file " + missing.string() + ": No such file or directory");
}

TEST(ParameterFileNameTest, ExactSprEndingIsReplacedOtherwiseAppended) {
  EXPECT_EQ(ParameterFileNameFor("/home/u/set"), "/home/u/set.spr");
  EXPECT_EQ(ParameterFileNameFor("/home/u/set.spr"), "/home/u/set.spr");
  EXPECT_EQ(ParameterFileNameFor("x.SPR"), "x.SPR.spr");
  EXPECT_EQ(ParameterFileNameFor("x.spr.spr"), "x.spr.spr");
  EXPECT_EQ(ParameterFileNameFor("spr"), "spr.spr");
  EXPECT_EQ(ParameterFileNameFor(".spr"), ".spr");
}


// The refinement switch lives beside the parameter file: on unless its file
// says 0, so a missing or damaged file keeps refining.
TEST_F(ParameterFileIoTest, RefinementOptionRoundTripsAndDefaultsToOn) {
  const auto path = Folder() / "Refinement.txt";
  EXPECT_TRUE(ReadRefinementOption(path));
  SaveRefinementOption(path, false);
  EXPECT_EQ(ReadWholeFile(path), "Refine connections on the full-size pictures\r\n0\r\n");
  EXPECT_FALSE(ReadRefinementOption(path));
  SaveRefinementOption(path, true);
  EXPECT_TRUE(ReadRefinementOption(path));
  ReplaceFileContents(path, Folder() / "x.tmp", "Refine\r\nno\r\n");
  EXPECT_TRUE(ReadRefinementOption(path));
  EXPECT_EQ(RefinementOptionPath("/opt/v"), OptionsFolder("/opt/v") / "Refinement.txt");
}

// The exposure and crop choices live beside it the same way: a missing or
// unreadable file keeps the defaults (exposure evened out, common band).
TEST_F(ParameterFileIoTest, ExposureAndCropOptionsRoundTripAndDefault) {
  std::filesystem::create_directories(OptionsFolder(Folder()));
  const auto gains = GainCompensationOptionPath(Folder()), crop = CropOptionPath(Folder());
  EXPECT_TRUE(ReadGainCompensationOption(gains));
  EXPECT_EQ(ReadCropOption(crop), CropChoice::Common);
  SaveGainCompensationOption(gains, false);
  EXPECT_FALSE(ReadGainCompensationOption(gains));
  for (CropChoice c : {CropChoice::Largest, CropChoice::All, CropChoice::Common}) {
    SaveCropOption(crop, c);
    EXPECT_EQ(ReadCropOption(crop), c);
  }
  SaveCropOption(crop, CropChoice::All);
  EXPECT_EQ(ReadWholeFile(crop), "Crop of the panorama: common, largest or all\r\nall\r\n");
  ReplaceFileContents(crop, Folder() / "x.tmp", "Crop\r\nbiggest\r\n");
  EXPECT_EQ(ReadCropOption(crop), CropChoice::Common);
  EXPECT_EQ(crop.parent_path(), OptionsFolder(Folder()));
}

}  // namespace
}  // namespace vistarium::params
