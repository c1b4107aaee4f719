#include "params/text_files.h"

#include <gtest/gtest.h>

#include "temp_folder.h"

namespace vistarium::params {
namespace {

using testing::TempFolderTest;

TEST(SplitLinesTest, AcceptsCrLfAndLfAndAnUnendedLastLine) {
  EXPECT_EQ(SplitLines("a\r\nb\nc"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(SplitLines("a\r\n\r\nb\r\n"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_TRUE(SplitLines("").empty());
  // A CR that is not followed by LF belongs to the line.
  EXPECT_EQ(SplitLines("a\rb\r\r\n"), (std::vector<std::string>{"a\rb\r"}));
}

TEST(ParseIntegerTest, ReadsSignedDecimalIntegersOfThirtyTwoBits) {
  EXPECT_EQ(ParseInteger(" 75"), 75);
  EXPECT_EQ(ParseInteger("+5"), 5);
  EXPECT_EQ(ParseInteger("-0012"), -12);
  EXPECT_EQ(ParseInteger("2147483647"), 2147483647);
  EXPECT_EQ(ParseInteger("-2147483648"), -2147483647 - 1);
  EXPECT_FALSE(ParseInteger("2147483648"));
  EXPECT_FALSE(ParseInteger("-2147483649"));
  EXPECT_FALSE(ParseInteger("99999999999999999999999"));
  for (const char* bad : {"", " ", "-", "+-1", "1.0", "1e2", "0x10", "$10", "12a", "1 2"})
    EXPECT_FALSE(ParseInteger(bad)) << bad;
}

TEST(ParseRealTest, ReadsPointDecimalsAndRejectsTheRest) {
  EXPECT_EQ(ParseReal("50.00"), 50.0);
  EXPECT_EQ(ParseReal("-0.0125"), -0.0125);
  EXPECT_EQ(ParseReal(" +.5 "), 0.5);
  EXPECT_EQ(ParseReal("1e2"), 100.0);
  EXPECT_EQ(ParseReal("7."), 7.0);
  for (const char* bad : {"", "-", ".", "1,5", "inf", "-nan", "NaN", "+-1", "1e", "1e999", "0x1p3", "1.5mm"})
    EXPECT_FALSE(ParseReal(bad)) << bad;
}

TEST(FormatNumbersTest, RightAlignsAndWritesLongerNumbersInFull) {
  EXPECT_EQ(FormatInteger(75, 4), "  75");
  EXPECT_EQ(FormatInteger(-5, 4), "  -5");
  EXPECT_EQ(FormatInteger(12345, 2), "12345");
  EXPECT_EQ(FormatFixed(50, 6, 2), " 50.00");
  EXPECT_EQ(FormatFixed(-0.0125, 7, 4), "-0.0125");
  EXPECT_EQ(FormatFixed(0.00005, 7, 4), " 0.0001");  // rounded like printf
  EXPECT_EQ(FormatFixed(1234567.891, 6, 2), "1234567.89");
}

using ReplaceFileContentsTest = TempFolderTest;

TEST_F(ReplaceFileContentsTest, ReplacesTheFileAndLeavesNoTemporary) {
  const auto target = Folder() / "list.txt";
  const auto temporary = Folder() / "tmplist.txt";
  WriteBytes(target, "old");
  ReplaceFileContents(target, temporary, "new\r\n");
  EXPECT_EQ(ReadBytes(target), "new\r\n");
  EXPECT_FALSE(std::filesystem::exists(temporary));
}

TEST_F(ReplaceFileContentsTest, FailureReportsTheFileAndKeepsTheOldContent) {
  const auto target = Folder() / "list.txt";
  const auto temporary = Folder() / "tmplist.txt";
  WriteBytes(target, "old");
  // A folder standing where the temporary file must go cannot be written,
  // whatever the user's rights.
  std::filesystem::create_directory(temporary);
  try {
    ReplaceFileContents(target, temporary, "new");
    FAIL() << "no error reported";
  } catch (const FileWriteError& e) {
    EXPECT_NE(std::string(e.what()).find(target.string()), std::string::npos) << e.what();
  }
  EXPECT_EQ(ReadBytes(target), "old");
  EXPECT_TRUE(std::filesystem::is_directory(temporary));
}

TEST_F(ReplaceFileContentsTest, MissingFolderIsAnError) {
  const auto target = Folder() / "missing" / "list.txt";
  EXPECT_THROW(ReplaceFileContents(target, Folder() / "missing" / "tmp.txt", "new"), FileWriteError);
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(ReplaceFileContentsTest, FailedRenameRemovesTheTemporary) {
  // The target is a non-empty folder: the temporary is written, the rename fails.
  const auto target = Folder() / "list.txt";
  std::filesystem::create_directories(target / "inside");
  const auto temporary = Folder() / "tmplist.txt";
  EXPECT_THROW(ReplaceFileContents(target, temporary, "new"), FileWriteError);
  EXPECT_FALSE(std::filesystem::exists(temporary));
  EXPECT_TRUE(std::filesystem::is_directory(target / "inside"));
}

TEST_F(ReplaceFileContentsTest, ReadWholeFileKeepsEveryByte) {
  const auto path = Folder() / "bytes.bin";
  const std::string bytes("a\0b\r\n\xff", 6);
  WriteBytes(path, bytes);
  EXPECT_EQ(ReadWholeFile(path), bytes);
  EXPECT_FALSE(ReadWholeFile(Folder() / "absent"));
  EXPECT_FALSE(ReadWholeFile(Folder()));
}

}  // namespace
}  // namespace vistarium::params
