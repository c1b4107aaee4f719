// What becomes of a panorama after Join: exposure evened out across its
// pictures, the pictures' metadata kept, other crops, the 360 photo for
// other viewers, and many sets at once.
#include <gtest/gtest.h>
#include <stb_image.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdlib.h>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numbers>
#include <sstream>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include "alignment/layout.h"
#include "alignment/orientation.h"
#include "app/adjustment.h"
#include "app/cli/batch.h"
#include "app/cli/cli.h"
#include "../support/cli_tool.h"
#include "app/panorama_file.h"
#include "app/pipeline.h"
#include "browse/browser.h"
#include "geom/numbers.h"
#include "params/parameter_file.h"
#include "render/picture_file.h"
#include "render/upright.h"
#include "sample_set.h"

namespace vistarium::app {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
const fs::path kSource = VISTARIUM_SOURCE_DIR;
const fs::path kPrograms = VISTARIUM_BIN_DIR;

using Tool = test_support::CliRun;
using test_support::RunTool;

// A new folder of its own (other test runs may share the temporary folder).
fs::path FreshFolder(const std::string& name) {
  std::string pattern = (fs::temp_directory_path() / ("vistarium-outputs-" + name + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
  return pattern;
}

std::vector<std::string> SampleFiles(const std::string& set, int count) {
  std::vector<std::string> files;
  for (int k = 1; k <= count; ++k)
    files.push_back((kSource / "samples" / set / (set + "_0" + std::to_string(k) + ".jpg")).string());
  return files;
}

json ReadJson(const fs::path& path) {
  std::ifstream in(path);
  return json::parse(in);
}

// Mean of a block of pixels (red, green, blue) of an RGB picture.
std::array<double, 3> BlockMean(const unsigned char* rgb, int width, int cx, int cy, int radius) {
  std::array<double, 3> sum{};
  int n = 0;
  for (int y = cy - radius; y <= cy + radius; ++y)
    for (int x = cx - radius; x <= cx + radius; ++x, ++n)
      for (int k = 0; k < 3; ++k) sum[static_cast<std::size_t>(k)] += rgb[(static_cast<std::size_t>(y) * width + x) * 3 + k];
  for (double& s : sum) s /= n;
  return sum;
}

// ---------------------------------------------------------------------------
// The open sample set shot again with other exposures and colour casts (the
// brighter pictures clip), its first picture carrying a date, camera and
// position, stitched once for the tests below.

constexpr double kGains[4][3] = {{1.25, 1.25, 1.15}, {0.8, 0.85, 0.8}, {1.1, 1.0, 1.2}, {0.9, 0.95, 0.9}};  // red, green, blue

class ExposedOpenSet : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    folder_ = FreshFolder("exposed");
    std::vector<std::string> args = {"stitch", "--report", (folder_ / "report.json").string(), "-o",
                                     (folder_ / "pano.jpg").string()};
    const std::vector<std::string> sources = SampleFiles("open4", 4);
    for (std::size_t i = 0; i < sources.size(); ++i) {
      DeviceBitmap picture = render::LoadPictureFile(sources[i]);
      samples::PictureExposure e;
      e.Cast = {kGains[i][0], kGains[i][1], kGains[i][2]};
      samples::ApplyExposureAndNoise(picture, e, 0.0, 1);
      // The first picture is stored lying on its side, as a phone held
      // upright stores it, and its orientation below turns it back: the
      // join, the gains and the outputs see it upright.
      if (i == 0) picture = render::UprightPicture(std::move(picture), 8);
      const std::vector<std::uint8_t> bytes = render::EncodeJpeg(picture, 95);
      const fs::path path = folder_ / fs::path(sources[i]).filename();
      render::WriteFileAtomically(path.string(), bytes);
      args.push_back(path.string());
    }
    auto image = Exiv2::ImageFactory::open(args[5]);
    Exiv2::ExifData exif;
    exif["Exif.Image.Make"] = "Canon";
    exif["Exif.Image.Model"] = "Canon PowerShot S95";
    exif["Exif.Photo.DateTimeOriginal"] = "2014:01:25 14:04:45";
    exif["Exif.Image.Orientation"] = static_cast<std::uint16_t>(6);  // the picture's own, not the panorama's
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "S";
    exif["Exif.GPSInfo.GPSLatitude"] = "33/1 52/1 3000/100";
    exif["Exif.GPSInfo.GPSLongitudeRef"] = "E";
    exif["Exif.GPSInfo.GPSLongitude"] = "151/1 12/1 0/1";
    image->setExifData(exif);
    image->writeMetadata();
    stitched_ = RunTool(args);
  }
  static void TearDownTestSuite() { fs::remove_all(folder_); }

  static fs::path folder_;
  static Tool stitched_;
};
fs::path ExposedOpenSet::folder_;
Tool ExposedOpenSet::stitched_;

TEST_F(ExposedOpenSet, GainsUndoThePicturesExposuresWithMeanOne) {
  ASSERT_EQ(stitched_.status, 0) << stitched_.err;
  const json gains = ReadJson(folder_ / "report.json")["gains"];
  ASSERT_EQ(gains.size(), 4u);
  const char* names[3] = {"red", "green", "blue"};
  for (int c = 0; c < 3; ++c) {
    // gain * exposure is the same for every picture, up to a percent.
    double product[4], mean = 0.0, gainMean = 0.0;
    for (int i = 0; i < 4; ++i) {
      product[i] = gains[i][names[c]].get<double>() * kGains[i][c];
      mean += product[i] / 4;
      gainMean += gains[i][names[c]].get<double>() / 4;
    }
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(product[i] / mean, 1.0, 0.01) << names[c] << " of picture " << i;
    EXPECT_NEAR(gainMean, 1.0, 1e-9) << names[c];
  }
}

TEST_F(ExposedOpenSet, KeepsTheFirstPicturesMetadataWithTheTrailerLast) {
  ASSERT_EQ(stitched_.status, 0) << stitched_.err;
  const std::string pano = (folder_ / "pano.jpg").string();
  const Tool info = RunTool({"info", pano});
  ASSERT_EQ(info.status, 0) << info.err;
  const json doc = json::parse(info.out);
  EXPECT_EQ(doc["trailer"], "sound");
  const json& m = doc["metadata"];
  EXPECT_EQ(m["make"], "Canon");
  EXPECT_EQ(m["model"], "Canon PowerShot S95");
  EXPECT_EQ(m["date_time"], "2014:01:25 14:04:45");
  EXPECT_EQ(m["software"], "Vistarium");
  EXPECT_EQ(m["description"], "Panorama of 4 pictures");
  EXPECT_NEAR(m["gps"]["latitude"].get<double>(), -(33 + 52 / 60.0 + 30 / 3600.0), 1e-9);
  EXPECT_NEAR(m["gps"]["longitude"].get<double>(), 151.2, 1e-9);
  Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(pano);
  image->readMetadata();
  EXPECT_EQ(image->exifData().findKey(Exiv2::ExifKey("Exif.Image.Orientation")), image->exifData().end());

  // The browser opens the file from its trailer.
  const OpenedPanorama opened = OpenPanoramaFile(pano);
  ASSERT_EQ(opened.Trailer.State, TrailerState::Sound);
  Bitmap32 shown;
  ShowPicture(opened.Picture, shown);
  browse::BrowserSource src{opened.Trailer.Values.Is360, opened.Trailer.Values.AngleStep,
                            opened.Trailer.Values.PixelsPerRadian, opened.Trailer.Values.FocalPixels,
                            static_cast<double>(BrowsingHorizonRow(opened.Trailer.Values, shown.Height))};
  browse::BrowserState state;
  browse::ResetBrowser(state);
  browse::OpenBrowser(state, shown, src);
  EXPECT_EQ(state.MapWidth, shown.Width);
}

TEST_F(ExposedOpenSet, OpenPanoramaExportsAsItsPartOfTheSphere) {
  ASSERT_EQ(stitched_.status, 0) << stitched_.err;
  const fs::path photo = folder_ / "photo.jpg";
  const Tool t = RunTool({"export", (folder_ / "pano.jpg").string(), "--width", "6000", "-o", photo.string()});
  ASSERT_EQ(t.status, 0) << t.err;
  const json report = ReadJson(folder_ / "report.json");
  const double turn = 2 * std::numbers::pi / report["projection"]["angle_step"].get<double>();
  const int width = report["panorama"]["width"];
  const json m = json::parse(RunTool({"info", photo.string()}).out)["metadata"];
  const json& s = m["photo_sphere"];
  EXPECT_EQ(s["full_width"], 6000);
  EXPECT_EQ(s["full_height"], 3000);
  EXPECT_NEAR(s["cropped_width"].get<int>(), width * 6000 / turn, 1.0);
  EXPECT_NEAR(s["cropped_left"].get<int>() + s["cropped_width"].get<int>() / 2.0, 3000, 1.0);  // centred
  // The horizon row of the panorama lies at the sphere's middle row.
  const double horizon = report["panorama"]["horizon_row"].get<double>();
  const double pixelsPerRadian = report["projection"]["pixels_per_radian"].get<double>();
  const double top = std::asin(horizon / pixelsPerRadian);
  EXPECT_NEAR(s["cropped_top"].get<int>(), (std::numbers::pi / 2 - top) / std::numbers::pi * 3000, 1.5);
  EXPECT_EQ(m["make"], "Canon");  // the date and camera go along
  int w = 0, h = 0, n = 0;
  unsigned char* rgb = stbi_load(photo.c_str(), &w, &h, &n, 3);
  ASSERT_NE(rgb, nullptr);
  stbi_image_free(rgb);
  EXPECT_EQ(w, s["cropped_width"].get<int>());
  EXPECT_EQ(h, s["cropped_height"].get<int>());
}

// ---------------------------------------------------------------------------

TEST(SpherePhoto, FullCircleIsTheWholeSphereAndLooksLikeTheBrowsersView) {
  const fs::path folder = FreshFolder("circle");
  const fs::path pano = folder / "circle.jpg", photo = folder / "photo.jpg";
  std::vector<std::string> args = {"stitch", "--360", "-o", pano.string()};
  for (const std::string& f : SampleFiles("circle8", 8)) args.push_back(f);
  ASSERT_EQ(RunTool(args).status, 0);
  const Tool t = RunTool({"export", pano.string(), "-o", photo.string()});
  ASSERT_EQ(t.status, 0) << t.err;

  const PanoramaInfo info = ReadPanoramaInfo(pano.string());
  Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(photo.string());
  image->readMetadata();
  const Exiv2::XmpData& xmp = image->xmpData();
  auto tag = [&](const char* key) { return xmp.findKey(Exiv2::XmpKey(std::string("Xmp.GPano.") + key))->toString(); };
  const int full = info.Width + info.Width % 2;  // one column per panorama column
  EXPECT_EQ(tag("ProjectionType"), "equirectangular");
  EXPECT_EQ(tag("UsePanoramaViewer"), "True");
  EXPECT_EQ(tag("FullPanoWidthPixels"), std::to_string(full));
  EXPECT_EQ(tag("FullPanoHeightPixels"), std::to_string(full / 2));
  EXPECT_EQ(tag("CroppedAreaImageWidthPixels"), std::to_string(full));
  EXPECT_EQ(tag("CroppedAreaImageHeightPixels"), std::to_string(full / 2));
  EXPECT_EQ(tag("CroppedAreaLeftPixels"), "0");
  EXPECT_EQ(tag("CroppedAreaTopPixels"), "0");
  if (std::system("command -v exiftool > /dev/null 2>&1") == 0) {
    const fs::path out = folder / "exiftool.txt";
    ASSERT_EQ(std::system(("exiftool -s -s -s -XMP-GPano:FullPanoHeightPixels -XMP-GPano:ProjectionType " +
                           photo.string() + " > " + out.string()).c_str()),
              0);
    std::ifstream in(out);
    std::string height, projection;
    std::getline(in, height);
    std::getline(in, projection);
    EXPECT_EQ(height, std::to_string(full / 2));
    EXPECT_EQ(projection, "equirectangular");
  }

  int w = 0, h = 0, n = 0;
  unsigned char* sphere = stbi_load(photo.c_str(), &w, &h, &n, 3);
  ASSERT_NE(sphere, nullptr);
  ASSERT_EQ(w, 2 * h);
  const double step = info.Trailer.Values.AngleStep, f = info.Trailer.Values.FocalPixels;
  // At a zoom where a view pixel spans a panorama column, the middle of the
  // view and the same direction of the photo agree.
  struct Direction {
    double Yaw, Pitch;
  };
  for (const Direction d : {Direction{0, 0}, Direction{-120, 8}, Direction{75, -10}, Direction{160, 5}}) {
    const fs::path view = folder / "view.png";
    std::ostringstream yaw, pitch, zoom;
    yaw << d.Yaw;
    pitch << d.Pitch;
    browse::BrowserState s;
    browse::ResetBrowser(s);
    s.MapHeight = browse::MapHeightFor(info.Height, step, info.Trailer.Values.PixelsPerRadian);
    zoom << (std::tan(s.MapHeight * 0.5 * step) * f - 2.0) / s.ViewCentreY / (f * step);
    const Tool v = RunTool({"view", pano.string(), "--yaw", yaw.str(), "--pitch", pitch.str(), "--zoom", zoom.str(),
                            "-o", view.string()});
    ASSERT_EQ(v.status, 0) << v.err;
    int vw = 0, vh = 0;
    unsigned char* rgb = stbi_load(view.c_str(), &vw, &vh, &n, 3);
    ASSERT_NE(rgb, nullptr);
    const std::array<double, 3> seen = BlockMean(rgb, vw, 199, 149, 4);
    stbi_image_free(rgb);
    // The view's middle column and tilt, as the browser placed them.
    int column = 0, shift = 0;
    ASSERT_EQ(std::sscanf(v.err.c_str(), "View of 400 x 300 pixels (column %d, shift %d", &column, &shift), 2) << v.err;
    EXPECT_NEAR(column, std::fmod(info.Width * 1.5 + d.Yaw * std::numbers::pi / 180 / step, info.Width), 1.5);
    const double lat = std::atan(shift / f);
    EXPECT_NEAR(lat, d.Pitch * std::numbers::pi / 180, 0.002);
    const int x = Round((column + 0.5) * w / info.Width - 0.5);
    const int y = Round((std::numbers::pi / 2 - lat) / std::numbers::pi * h - 0.5);
    const std::array<double, 3> photoMean = BlockMean(sphere, w, x, y, 4);
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(seen[static_cast<std::size_t>(k)], photoMean[static_cast<std::size_t>(k)], 6.0)
          << "yaw " << d.Yaw << " pitch " << d.Pitch << " channel " << k;
  }
  stbi_image_free(sphere);

  const Tool plain = RunTool({"export", SampleFiles("circle8", 1)[0], "-o", (folder / "no.jpg").string()});
  EXPECT_EQ(plain.status, 1);
  EXPECT_NE(plain.err.find("has no Vistarium panorama trailer"), std::string::npos) << plain.err;
  EXPECT_FALSE(fs::exists(folder / "no.jpg"));
  fs::remove_all(folder);
}

// ---------------------------------------------------------------------------

// Three pictures shot along a diagonal, each right of and above the last,
// connected exactly: no band is common to all of them.
TEST(Crop, DiagonalSetHasNoCommonBandButKeepsEverythingOrItsLargestRectangle) {
  const fs::path folder = FreshFolder("diagonal");
  const samples::Scene scene = samples::Scene::Load((kSource / "samples" / "open4" / "open4_02.jpg").string(), 1,
                                                    150.0, false);
  samples::SetRecipe recipe;
  recipe.Name = "diagonal";
  recipe.Camera = {{640, 480}, 35.0, 0.0};
  recipe.Count = 3;
  recipe.YawStep = 30.0;
  recipe.Pitch = {-22.0, 0.0, 22.0};
  samples::SampleSet set = samples::PlanSet(recipe);
  samples::WriteSampleSet(set, scene, folder.string());
  const samples::SetGeometry truth = set.Geometry();

  auto join = [&](params::CropChoice crop) {
    RunState rs;
    matching::SilentProgressUi ui;
    rs.ManualStitching = true;
    RunFindingPhaseWithoutEstimate(rs, ui, samples::RunPictures(set, folder.string()),
                                   samples::WithSetCamera(params::LoadParameterFile(kSource / "Options" / "CurrentParameters.spr"), set));
    rs.ManualStitching = false;
    for (int i = 0; i + 1 < 3; ++i) {
      ConnectionAdjustment a = OpenAdjustment(rs, i, i + 1);
      const TPoint corners[3] = {{600, 200}, {600, 60}, {440, 100}};
      for (int k = 0; k < 3; ++k) {
        const auto q = truth.Correspond(i, {corners[k].X + 0.5, corners[k].Y + 0.5}, i + 1);
        EXPECT_TRUE(q);
        a.LeftTriangle[static_cast<std::size_t>(k)] = corners[k];
        a.RightTriangle[static_cast<std::size_t>(k)] = {Round(q->X - 0.5), Round(q->Y - 0.5)};
      }
      StoreAdjustment(rs, a);
    }
    rs.Crop = crop;
    RunConstructionPhase(rs, ui);
    return rs;
  };
  try {
    join(params::CropChoice::Common);
    ADD_FAILURE() << "the common band of a diagonal set should be empty";
  } catch (const alignment::LayoutError& e) {
    EXPECT_NE(std::string(e.what()).find("The pictures do not overlap enough to make a panorama"), std::string::npos);
  }
  const RunState all = join(params::CropChoice::All);
  const RunState largest = join(params::CropChoice::Largest);
  // Everything: every picture whole, each corner of the frame empty.
  const TPanorama& p = all.Panorama;
  for (int i = 0; i < 3; ++i)
    for (const TRealPoint corner : {TRealPoint{0, 0}, TRealPoint{639, 0}, TRealPoint{0, 479}, TRealPoint{639, 479}}) {
      const TRealPoint q = alignment::PictureToPanorama(all, i, corner);
      const double row = all.Layout.Top - std::sin(q.Y * all.Projection.AngleStep) * all.Projection.PixelsPerRadian;
      EXPECT_GE(q.X - all.Layout.Left, 0.0);
      EXPECT_LE(q.X - all.Layout.Left, p.Width - 1.0);
      EXPECT_GE(row, 0.0);
      EXPECT_LE(row, p.Height - 1.0);
    }
  EXPECT_EQ(p.Pixels.front(), 0u);
  EXPECT_EQ(p.Pixels.back(), 0u);
  // The largest rectangle has no empty pixel.
  const TPanorama& q = largest.Panorama;
  ASSERT_GT(q.Width * q.Height, 200 * 200);
  EXPECT_EQ(std::count(q.Pixels.begin(), q.Pixels.end(), 0u), 0);
  // Both carry the row of their horizon, and the browser shows the whole
  // height of the taller side: its map reaches the panorama's top row.
  for (const RunState* rs : {&all, &largest}) {
    EXPECT_GT(rs->Layout.Top, 0);
    Bitmap32 shown;
    ShowPanorama(rs->Panorama, shown);
    const browse::BrowserSource src{false, rs->Projection.AngleStep, rs->Projection.PixelsPerRadian,
                                    rs->Projection.FocalPixels, static_cast<double>(rs->Layout.Top)};
    const int mapHeight = browse::MapHeightFor(src, shown.Height);
    EXPECT_LE(browse::MapRowSource(src, shown.Height, mapHeight, 0), 1.5);
  }
  fs::remove_all(folder);
}

// ---------------------------------------------------------------------------

// The three forms of a list: paths count from the list's folder, quotes keep
// blanks, a folder's subfolders are sets in name order unless a set.json
// says otherwise.
TEST(Batch, ReadsTextListsAndFoldersOfSets) {
  const fs::path folder = FreshFolder("lists");
  std::ofstream(folder / "sets.txt") << "# two sets\n"
                                     << "-o out/a.jpg --360 --focal 24 \"my pics/1.jpg\" /abs/2.jpg\n\n"
                                     << "  --crop all -o b.jpg -- -odd.jpg x.jpg  \n";
  const std::vector<cli::BatchSet> text = cli::ReadBatchSets(folder / "sets.txt");
  ASSERT_EQ(text.size(), 2u);
  EXPECT_EQ(text[0].Name, "a");
  EXPECT_EQ(text[0].Output, (folder / "out" / "a.jpg").string());
  EXPECT_EQ(text[0].Arguments, (std::vector<std::string>{"--360", "--focal", "24",
                                                          (folder / "my pics" / "1.jpg").string(), "/abs/2.jpg"}));
  EXPECT_EQ(text[1].Arguments, (std::vector<std::string>{"--crop", "all", "--", (folder / "-odd.jpg").string(),
                                                          (folder / "x.jpg").string()}));
  std::ofstream(folder / "bad.txt") << "-o c.jpg \"open.jpg\n";
  EXPECT_THROW(cli::ReadBatchSets(folder / "bad.txt"), std::runtime_error);

  for (const char* set : {"hall", "attic", "empty"}) fs::create_directories(folder / "sets" / set);
  for (const char* picture : {"2.jpg", "1.JPG", "notes.txt", "3.bmp"}) std::ofstream(folder / "sets" / "hall" / picture);
  for (const char* picture : {"b.jpg", "a.jpg"}) std::ofstream(folder / "sets" / "attic" / picture);
  std::ofstream(folder / "sets" / "attic" / "set.json") << R"({"pictures": ["b.jpg", "a.jpg"], "is360": true})";
  const std::vector<cli::BatchSet> sub = cli::ReadBatchSets(folder / "sets");
  ASSERT_EQ(sub.size(), 2u);  // the empty folder is no set
  EXPECT_EQ(sub[0].Name, "attic");
  EXPECT_EQ(sub[0].Output, (folder / "sets" / "attic.jpg").string());
  EXPECT_EQ(sub[0].Arguments, (std::vector<std::string>{"--360", "--", (folder / "sets" / "attic" / "b.jpg").string(),
                                                         (folder / "sets" / "attic" / "a.jpg").string()}));
  EXPECT_EQ(sub[1].Arguments, (std::vector<std::string>{"--", (folder / "sets" / "hall" / "1.JPG").string(),
                                                         (folder / "sets" / "hall" / "2.jpg").string(),
                                                         (folder / "sets" / "hall" / "3.bmp").string()}));
  fs::remove_all(folder);
}

TEST(Batch, TriesEverySetAndReportsEachOnItsOwnLine) {
  const fs::path folder = FreshFolder("batch");
  json sets = json::array();
  sets.push_back({{"name", "broken"}, {"pictures", {"missing_1.jpg", "missing_2.jpg"}}});
  sets.push_back({{"name", "open"}, {"pictures", SampleFiles("open4", 4)}, {"crop", "largest"}});
  std::ofstream(folder / "sets.json") << sets.dump();
  const Tool t = RunTool({"batch", "-j", "2", "--output-dir", (folder / "out").string(), (folder / "sets.json").string()});
  EXPECT_EQ(t.status, 1) << t.err;
  std::istringstream lines(t.out);
  std::map<std::string, json> results;
  for (std::string line; std::getline(lines, line);) {
    const json r = json::parse(line);
    results[r["set"]] = r;
  }
  ASSERT_EQ(results.size(), 2u) << t.out;
  EXPECT_EQ(results["broken"]["result"], "failed");
  EXPECT_NE(results["broken"]["error"].get<std::string>().find("missing_1.jpg"), std::string::npos);
  const json& open = results["open"];
  EXPECT_EQ(open["result"], "ok");
  EXPECT_EQ(open["panorama"]["crop"], "largest");
  EXPECT_EQ(open["output"], (folder / "out" / "open.jpg").string());
  EXPECT_GT(open["times"]["total_s"].get<double>(), 0.0);
  EXPECT_EQ(ReadPanoramaInfo((folder / "out" / "open.jpg").string()).Trailer.State, TrailerState::Sound);
  EXPECT_FALSE(fs::exists(folder / "out" / "broken.jpg"));
  fs::remove_all(folder);
}

}  // namespace
}  // namespace vistarium::app
