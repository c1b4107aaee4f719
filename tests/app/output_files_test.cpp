#include "app/output_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <new>
#include <system_error>

#include "app/out_of_memory.h"
#include "../support/scratch_folder.h"

namespace vistarium::app {
namespace {

namespace fs = std::filesystem;
using test_support::ScratchFolder;

std::string RefusalOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const OutputRefused& e) {
    return e.what();
  }
  return "(accepted)";
}

class OutputFiles : public ScratchFolder {};

// An input is recognised by what it is, not by how it is named.
TEST_F(OutputFiles, AnOutputNeverReplacesAnInput) {
  const std::string photo = Put("photo.jpg", std::string("photo"));
  const std::vector<NamedFile> inputs = {{PathOf("other.jpg"), "input picture 1"}, {photo, "input picture 2"}};
  ASSERT_EQ(::link(photo.c_str(), PathOf("hard.jpg").c_str()), 0);
  fs::create_symlink(photo, PathOf("soft.jpg"));
  fs::create_directory(PathOf("sub"));
  for (const std::string& name : {photo, PathOf("hard.jpg"), PathOf("soft.jpg"), PathOf("sub/../photo.jpg")})
    EXPECT_EQ(OutputProblem(name, inputs), "it is input picture 2; choose another name") << name;
  EXPECT_EQ(OutputProblem(PathOf("new.jpg"), inputs), "");
  EXPECT_EQ(RefusalOf([&] { CheckOutputs({{PathOf("hard.jpg"), "the panorama"}}, inputs); }),
            "Cannot write the panorama \"" + PathOf("hard.jpg") + "\": it is input picture 2; choose another name");
  EXPECT_EQ(Contents(photo), Bytes({'p', 'h', 'o', 't', 'o'}));
}

TEST_F(OutputFiles, EveryOutputIsCheckedAndTwoOutputsAreNeverOneFile) {
  const std::string report = PathOf("r.json");
  EXPECT_EQ(RefusalOf([&] { CheckOutputs({{PathOf("p.jpg"), "the panorama"}, {report, "the report"}}, {}); }),
            "(accepted)");
  EXPECT_EQ(RefusalOf([&] {
              CheckOutputs({{PathOf("p.jpg"), "the panorama"}, {PathOf("no/r.json"), "the report"}}, {});
            }),
            "Cannot write the report \"" + PathOf("no/r.json") + "\": folder \"" + PathOf("no") +
                "\": No such file or directory");
  EXPECT_EQ(RefusalOf([&] {
              CheckOutputs({{PathOf("p.jpg"), "the panorama"}, {PathOf("./p.jpg"), "the report"}}, {});
            }),
            "Cannot write the report \"" + PathOf("./p.jpg") + "\": it is the same file as the panorama");
  EXPECT_TRUE(Listing().empty());  // checking writes nothing
}

TEST(OutputNames, TheExtensionRuleAddsTheKindsExtensionAndRefusesAnother) {
  EXPECT_EQ(PanoramaOutputName("out/pano"), "out/pano.jpg");
  EXPECT_EQ(PanoramaOutputName("pano.jpg"), "pano.jpg");
  EXPECT_EQ(PanoramaOutputName("PANO.JPEG"), "PANO.JPEG");
  EXPECT_EQ(PanoramaOutputName("in.folder/.hidden"), "in.folder/.hidden.jpg");
  EXPECT_EQ(RefusalOf([] { PanoramaOutputName("pano.png"); }),
            "Cannot write the panorama \"pano.png\": it is written as JPEG, so its name must end in .jpg or .jpeg "
            "(a name without extension gets .jpg)");
  EXPECT_EQ(RefusalOf([] { PanoramaOutputName("out/"); }), "Cannot write the panorama \"out/\": it is not a file name");
  EXPECT_EQ(ViewOutputName("view"), "view.png");
  EXPECT_EQ(ViewOutputName("view.PNG"), "view.PNG");
  EXPECT_NE(RefusalOf([] { ViewOutputName("photo.jpg"); }), "(accepted)");
  EXPECT_EQ(RefusalOf([] { CheckReportName("report.json"); }), "(accepted)");
  EXPECT_EQ(RefusalOf([] { CheckReportName("report"); }), "(accepted)");
  for (const char* picture : {"a.jpg", "a.JPEG", "a.bmp", "a.png"})
    EXPECT_NE(RefusalOf([&] { CheckReportName(picture); }), "(accepted)") << picture;
}

TEST(OutOfMemoryMessages, SayWhatDidNotFitAndHowMuch) {
  EXPECT_EQ(PictureMemoryText(7000LL * 4500), "32 MP (126 MB)");
  EXPECT_EQ(PictureMemoryText(2000LL * 1000), "2.0 MP (8.0 MB)");
  RunState rs;
  rs.PictureSet.Count = 4;
  rs.Projection.PictureSize = {4000, 3000};
  EXPECT_EQ(FindingMemoryUse(rs), "matching 4 pictures of 12 MP (48 MB) each, 2 of them held at once");
  rs.Panorama.Width = 7000;
  rs.Panorama.Height = 4500;
  EXPECT_EQ(NotEnoughMemory(ConstructionMemoryUse(rs)),
            "not enough memory for the panorama of 32 MP (126 MB) and its 4 pictures of 12 MP (48 MB) each; "
            "close other programs");
}

TEST(OutOfMemoryMessages, WantOfMemoryIsToldAsWhatDidNotFit) {
  const auto error = [](auto e) { return std::make_exception_ptr(e); };
  EXPECT_TRUE(IsWantOfMemory(error(std::bad_alloc())));
  EXPECT_TRUE(IsWantOfMemory(error(std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)))));
  EXPECT_FALSE(IsWantOfMemory(error(std::runtime_error("other"))));
  std::string told;
  try {
    TellingWantOfMemory([] { throw std::bad_alloc(); }, [] { return std::string("the panorama of 1 MP (4 MB)"); });
  } catch (const OutOfMemory& e) {
    told = e.what();
  }
  EXPECT_EQ(told, "not enough memory for the panorama of 1 MP (4 MB); close other programs");
  try {  // anything else passes unchanged
    TellingWantOfMemory([] { throw std::runtime_error("x"); }, [] { return std::string(); });
    ADD_FAILURE() << "nothing thrown";
  } catch (const OutOfMemory&) {
    ADD_FAILURE() << "told as want of memory";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "x");
  }
}

}  // namespace
}  // namespace vistarium::app
