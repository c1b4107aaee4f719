#include "sample_set.h"

#include <gtest/gtest.h>
#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "render/picture_file.h"
#include "sample_exif.h"
#include "render/sampling.h"

namespace vistarium::samples {
namespace {

namespace fs = std::filesystem;

SampleSet ExampleSet() {
  SampleSet s;
  s.Preset = "example";
  s.Camera = {{800, 600}, 31.5, -0.0123};
  s.Scene = {"photo.jpg", 3, 90.0, true};
  s.PhotoSize = {1000, 750};
  s.Is360 = true;
  s.JpegQuality = 77;
  s.Pictures = {{"a_01.jpg", {0.1, -1.25, 0.3}, {}}, {"a_02.jpg", {12.345678901234567, 2.0 / 3.0, -1e-7}, {}},
                {"a_03.jpg", {-170.5, 0, 45}, {}}};
  return s;
}

TEST(SampleTruth, TextReadsBackUnchanged) {
  const SampleSet a = ExampleSet();
  const SampleSet b = ParseTruth(TruthText(a));
  EXPECT_EQ(b.Preset, a.Preset);
  EXPECT_EQ(b.Camera.Size, a.Camera.Size);
  EXPECT_EQ(b.Camera.FocalLength, a.Camera.FocalLength);
  EXPECT_EQ(b.Camera.Aberration, a.Camera.Aberration);
  EXPECT_EQ(b.Scene.Photo, a.Scene.Photo);
  EXPECT_EQ(b.Scene.Reduction, a.Scene.Reduction);
  EXPECT_EQ(b.Scene.Span, a.Scene.Span);
  EXPECT_EQ(b.Scene.Mirrored, a.Scene.Mirrored);
  EXPECT_EQ(b.PhotoSize, a.PhotoSize);
  EXPECT_EQ(b.Is360, a.Is360);
  EXPECT_EQ(b.JpegQuality, a.JpegQuality);
  ASSERT_EQ(b.Pictures.size(), a.Pictures.size());
  for (std::size_t i = 0; i < a.Pictures.size(); ++i) {
    EXPECT_EQ(b.Pictures[i].File, a.Pictures[i].File);
    // Exactly: the truth must give the same correspondences after reading.
    EXPECT_EQ(b.Pictures[i].Orientation.Yaw, a.Pictures[i].Orientation.Yaw);
    EXPECT_EQ(b.Pictures[i].Orientation.Pitch, a.Pictures[i].Orientation.Pitch);
    EXPECT_EQ(b.Pictures[i].Orientation.Roll, a.Pictures[i].Orientation.Roll);
  }
}

TEST(SampleTruth, PresetIsOptional) {
  SampleSet a = ExampleSet();
  a.Preset.clear();
  EXPECT_EQ(ParseTruth(TruthText(a)).Preset, "");
}

// The example's text with one replacement made, which must be present.
std::string Edited(const std::string& from, const std::string& to) {
  std::string text = TruthText(ExampleSet());
  const std::size_t at = text.find(from);
  if (at == std::string::npos) ADD_FAILURE() << "\"" << from << "\" not in the truth text";
  else text.replace(at, from.size(), to);
  return text;
}

TEST(SampleTruth, RejectsDamagedFiles) {
  EXPECT_THROW(ParseTruth("{\"kind\": "), TruthFileError);
  EXPECT_THROW(ParseTruth("[]"), TruthFileError);
  EXPECT_THROW(ParseTruth(Edited("vistarium sample set", "something else")), TruthFileError);
  EXPECT_THROW(ParseTruth(Edited("\"version\": 1", "\"version\": 2")), TruthFileError);
  EXPECT_THROW(ParseTruth(Edited("\"focalLength\"", "\"focal\"")), TruthFileError);
  EXPECT_THROW(ParseTruth(Edited("\"focalLength\": 31.5", "\"focalLength\": 0")), TruthFileError);
  EXPECT_THROW(ParseTruth(Edited("\"width\": 800", "\"width\": -800")), TruthFileError);
  EXPECT_THROW(ParseTruth(Edited("\"yaw\": 0.1", "\"yaw\": \"0.1\"")), TruthFileError);
  EXPECT_THROW(ParseTruth(Edited("\"is360\": true", "\"is360\": 1")), TruthFileError);
}

TEST(SampleTruth, PictureNamesMustStayInTheSetsFolder) {
  EXPECT_THROW(ParseTruth(Edited("\"a_01.jpg\"", "\"../a_01.jpg\"")), TruthFileError);
  EXPECT_THROW(ParseTruth(Edited("\"a_01.jpg\"", "\"sub/a_01.jpg\"")), TruthFileError);
  EXPECT_THROW(ParseTruth(Edited("\"a_01.jpg\"", "\"..\"")), TruthFileError);
  EXPECT_THROW(ParseTruth(Edited("\"a_01.jpg\"", "\"\"")), TruthFileError);
}

TEST(SampleTruth, ErrorsNameTheFile) {
  try {
    (void)ParseTruth("not json", "some/where/truth.json");
    FAIL() << "no error";
  } catch (const TruthFileError& e) {
    EXPECT_NE(std::string(e.what()).find("some/where/truth.json"), std::string::npos) << e.what();
  }
  EXPECT_THROW(LoadTruthFile("/nonexistent/truth.json"), TruthFileError);
}

TEST(SamplePlan, OpenSetIsCentredOnTheOffsetWithEqualSteps) {
  SetRecipe r;
  r.Name = "x";
  r.Count = 5;
  r.YawStep = 30.0;
  r.YawOffset = 10.0;
  r.Pitch = {2.5};
  r.Roll = {1, 2, 3, 4, 5};
  const SampleSet s = PlanSet(r);
  ASSERT_EQ(s.Pictures.size(), 5u);
  EXPECT_DOUBLE_EQ(s.Pictures[2].Orientation.Yaw, 10.0);
  std::set<std::string> names;
  for (std::size_t i = 0; i < 5; ++i) {
    if (i > 0) {
      EXPECT_DOUBLE_EQ(s.Pictures[i].Orientation.Yaw - s.Pictures[i - 1].Orientation.Yaw, 30.0);
    }
    EXPECT_EQ(s.Pictures[i].Orientation.Pitch, 2.5);
    EXPECT_EQ(s.Pictures[i].Orientation.Roll, r.Roll[i]);
    names.insert(s.Pictures[i].File);
  }
  EXPECT_EQ(names.size(), 5u);
  EXPECT_EQ(s.Pictures[0].File, "x_01.jpg");
  EXPECT_FALSE(s.Is360);
}

TEST(SamplePlan, FullCircleSetTurnsByEqualStepsAndMirrorsTheScene) {
  SetRecipe r;
  r.Count = 6;
  r.Is360 = true;
  r.YawOffset = -5.0;
  r.YawStep = 10.0;  // ignored: a circle divides 360 degrees
  const SampleSet s = PlanSet(r);
  ASSERT_EQ(s.Pictures.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(s.Pictures[i].Orientation.Yaw, -5.0 + 60.0 * i);
  EXPECT_TRUE(s.Is360);
  EXPECT_TRUE(s.Scene.Mirrored);
}

TEST(SamplePlan, OverlapSetsTheYawStep) {
  for (const double k : {0.0, -0.03}) {
    SetRecipe r;
    r.Camera = {{900, 600}, 24.0, k};
    r.Count = 2;
    r.Overlap = 0.25;
    const SampleSet s = PlanSet(r);
    EXPECT_NEAR(s.Geometry().CentreRowOverlap(0, 1), 0.25, 2.0 / 900) << "k " << k;
  }
}

TEST(SamplePlan, RejectsInconsistentRecipes) {
  SetRecipe r;
  r.Count = 5;
  r.Pitch = {1, 2, 3};
  EXPECT_THROW(PlanSet(r), std::invalid_argument);
  r.Pitch.clear();
  r.JpegQuality = 101;
  EXPECT_THROW(PlanSet(r), std::invalid_argument);
  r.JpegQuality = 90;
  r.Count = 0;
  EXPECT_THROW(PlanSet(r), std::invalid_argument);
  r.Count = 1;
  r.Is360 = true;
  EXPECT_THROW(PlanSet(r), std::invalid_argument);
}

TEST(SamplePresets, EachPresetPlansASetNamedAfterIt) {
  std::set<std::string> photos;
  for (const std::string& name : PresetNames()) {
    const std::optional<SetRecipe> r = FindPreset(name);
    ASSERT_TRUE(r) << name;
    EXPECT_EQ(PlanSet(*r).Pictures.front().File.rfind(name, 0), 0u) << name;
    photos.insert(r->Photo);
  }
  EXPECT_EQ(photos.size(), 3u);  // every photo is used
  EXPECT_FALSE(FindPreset("no such set"));
}

// The committed sets under samples/, as samples/README.md describes them.
struct CommittedSet {
  const char* Name;
  int Count;
  bool Is360;
  TPoint Size;
  double Aberration;
};

void PrintTo(const CommittedSet& s, std::ostream* os) { *os << s.Name; }

class CommittedSetTest : public ::testing::TestWithParam<CommittedSet> {
protected:
  fs::path Folder() const { return fs::path(VISTARIUM_SOURCE_DIR) / "samples" / GetParam().Name; }
  SampleSet Load() const { return LoadTruthFile((Folder() / kTruthFileName).string()); }
};

TEST_P(CommittedSetTest, TruthDescribesTheSet) {
  const CommittedSet& c = GetParam();
  const SampleSet s = Load();
  EXPECT_EQ(s.Preset, c.Name);
  EXPECT_EQ(static_cast<int>(s.Pictures.size()), c.Count);
  EXPECT_EQ(s.Is360, c.Is360);
  EXPECT_EQ(s.Camera.Size, c.Size);
  EXPECT_EQ(s.Camera.Aberration, c.Aberration);
}

TEST_P(CommittedSetTest, PicturesExistWithThePictureSize) {
  const SampleSet s = Load();
  std::uintmax_t bytes = 0;
  for (const SamplePicture& p : s.Pictures) {
    const fs::path file = Folder() / p.File;
    ASSERT_TRUE(fs::is_regular_file(file)) << file;
    const render::PictureSize size = render::ReadPictureSize(file.string());
    EXPECT_EQ(size.Width, s.Camera.Size.X) << file;
    EXPECT_EQ(size.Height, s.Camera.Size.Y) << file;
    bytes += fs::file_size(file);
  }
  // Each set stays within about a megabyte.
  EXPECT_LE(bytes, 1'100'000u);
}

TEST_P(CommittedSetTest, PresetReproducesTheTruth) {
  const SampleSet s = Load();
  const std::optional<SetRecipe> recipe = FindPreset(GetParam().Name);
  ASSERT_TRUE(recipe);
  const SampleSet planned = PlanSet(*recipe);
  EXPECT_EQ(planned.Camera.Size, s.Camera.Size);
  EXPECT_EQ(planned.Camera.FocalLength, s.Camera.FocalLength);
  EXPECT_EQ(planned.Camera.Aberration, s.Camera.Aberration);
  EXPECT_EQ(planned.Scene.Photo, s.Scene.Photo);
  EXPECT_EQ(planned.Scene.Span, s.Scene.Span);
  EXPECT_EQ(planned.JpegQuality, s.JpegQuality);
  ASSERT_EQ(planned.Pictures.size(), s.Pictures.size());
  for (std::size_t i = 0; i < s.Pictures.size(); ++i) {
    EXPECT_EQ(planned.Pictures[i].File, s.Pictures[i].File);
    EXPECT_EQ(planned.Pictures[i].Orientation.Yaw, s.Pictures[i].Orientation.Yaw);
    EXPECT_EQ(planned.Pictures[i].Orientation.Pitch, s.Pictures[i].Orientation.Pitch);
    EXPECT_EQ(planned.Pictures[i].Orientation.Roll, s.Pictures[i].Orientation.Roll);
  }
}

TEST_P(CommittedSetTest, AdjacentPicturesOverlapAsDocumented) {
  // samples/README.md: adjacent pictures share 30 to 36 % of the centre row,
  // and the right edge column of each picture lies wholly in the next one
  // (for a circle also the last in the first).
  const SampleSet s = Load();
  const SetGeometry g = s.Geometry();
  const int n = g.Count();
  for (int i = 0; i < (s.Is360 ? n : n - 1); ++i) {
    const int k = (i + 1) % n;
    const double row = g.CentreRowOverlap(i, k);
    EXPECT_GE(row, 0.30) << i << " -> " << k;
    EXPECT_LE(row, 0.36) << i << " -> " << k;
    EXPECT_DOUBLE_EQ(g.RightEdgeVisible(i, k), 1.0) << i << " -> " << k;
  }
  // Pictures two apart share no centre row in an open set of this overlap.
  if (!s.Is360 && n > 2) {
    EXPECT_EQ(g.CentreRowOverlap(0, 2), 0.0);
  }
}

int Green(PackedColor c) { return (c >> 8) & 0xFF; }

// Green contrast (largest minus smallest) in the 5 x 5 pixels around (x, y).
int LocalContrast(const DeviceBitmap& a, int x, int y) {
  int lo = 255, hi = 0;
  for (int dy = -2; dy <= 2; ++dy)
    for (int dx = -2; dx <= 2; ++dx) {
      const int g = Green(a.Pixel(x + dx, y + dy));
      lo = std::min(lo, g);
      hi = std::max(hi, g);
    }
  return hi - lo;
}

// Mean absolute channel difference between picture i at the textured ones of
// a grid of positions and picture j at their true correspondences shifted by
// `shift` pixels to the right.
double MeanDifference(const SampleSet& s, const DeviceBitmap& a, const DeviceBitmap& b, int i, int j,
                      double shift) {
  const SetGeometry g = s.Geometry();
  const TPoint size = s.Camera.Size;
  double sum = 0.0;
  int count = 0;
  for (int y = 8; y < size.Y - 8; y += 4)
    for (int x = 8; x < size.X - 8; x += 4) {
      const std::optional<TRealPoint> q = g.Correspond(i, {x + 0.5, y + 0.5}, j);
      if (!q || q->X < 20 || q->Y < 4 || q->X > size.X - 20 || q->Y > size.Y - 4) continue;
      if (LocalContrast(a, x, y) < 24) continue;
      const ColorTriple t = render::SampleCanvas(size, b, {q->X + shift, q->Y});
      const PackedColor c = a.Pixel(x, y);
      sum += std::abs((c & 0xFF) - t.Red) + std::abs(Green(c) - t.Green) + std::abs(((c >> 16) & 0xFF) - t.Blue);
      ++count;
    }
  EXPECT_GT(count, 100);
  return sum / (3.0 * count);
}

TEST_P(CommittedSetTest, PicturesAgreeAtTheirTrueCorrespondences) {
  // The committed pictures were rendered from this truth: true
  // correspondences show the same colours up to JPEG noise, while positions
  // a few pixels off do not.
  const SampleSet s = Load();
  const int last = static_cast<int>(s.Pictures.size()) - 1;
  for (const auto& [i, j] : {std::pair{0, 1}, std::pair{last - 1, last}}) {
    const DeviceBitmap a = render::LoadPictureFile((Folder() / s.Pictures[static_cast<std::size_t>(i)].File).string());
    const DeviceBitmap b = render::LoadPictureFile((Folder() / s.Pictures[static_cast<std::size_t>(j)].File).string());
    const double truth = MeanDifference(s, a, b, i, j, 0.0);
    const double off = MeanDifference(s, a, b, i, j, 8.0);
    EXPECT_LT(truth, 5.0) << i << " -> " << j;
    EXPECT_GT(off, 3.0 * truth) << i << " -> " << j;
  }
}

// Every picture carries its camera as EXIF, as a real camera writes it: the
// focal length on a sensor 36 mm along the longer side (so that it is the
// program's focal length) and the 35 mm equivalent on the diagonal.
TEST_P(CommittedSetTest, PicturesCarryTheirCameraAsExif) {
  const SampleSet s = Load();
  for (const SamplePicture& p : s.Pictures) {
    const std::string path = (Folder() / p.File).string();
    auto image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    const auto focal = exif.findKey(Exiv2::ExifKey("Exif.Photo.FocalLength"));
    const auto film = exif.findKey(Exiv2::ExifKey("Exif.Photo.FocalLengthIn35mmFilm"));
    const auto plane = exif.findKey(Exiv2::ExifKey("Exif.Photo.FocalPlaneXResolution"));
    ASSERT_TRUE(focal != exif.end() && film != exif.end() && plane != exif.end()) << path;
    EXPECT_DOUBLE_EQ(focal->toFloat(), s.Camera.FocalLength);
    EXPECT_EQ(film->toLong(), FocalLengthIn35mmFilm(s.Camera));
    // The sensor is 36 mm along the longer side.
    const double longer = std::max(s.Camera.Size.X, s.Camera.Size.Y);
    EXPECT_NEAR(longer / plane->toFloat(), 3.6, 1e-4);
  }
  EXPECT_EQ(FocalLengthIn35mmFilm({{1024, 768}, 28.0, 0.0}), 27);  // 28 / 1.040
  EXPECT_EQ(FocalLengthIn35mmFilm({{1500, 1000}, 28.0, 0.0}), 28);  // 3:2, the two conventions agree
}

TEST_P(CommittedSetTest, ScenePhotoIsAttributed) {
  const SampleSet s = Load();
  std::ifstream in(fs::path(VISTARIUM_SOURCE_DIR) / "samples" / "SOURCES.md");
  ASSERT_TRUE(in);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find(s.Scene.Photo), std::string::npos) << s.Scene.Photo;
}

INSTANTIATE_TEST_SUITE_P(Samples, CommittedSetTest,
                         ::testing::Values(CommittedSet{"open4", 4, false, {1024, 768}, 0.0},
                                           CommittedSet{"circle8", 8, true, {1024, 768}, 0.0},
                                           CommittedSet{"portrait5", 5, false, {768, 1024}, 0.0},
                                           CommittedSet{"sunset8", 8, true, {1024, 768}, 0.0}),
                         [](const ::testing::TestParamInfo<CommittedSet>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace vistarium::samples
