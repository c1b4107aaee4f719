// Joining the bundled sample sets from end to end, and the command-line
// commands that do it.
#include <unistd.h>
#include <gtest/gtest.h>
#include <stb_image.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unistd.h>

#include "alignment/orientation.h"
#include "app/cli/cli.h"
#include "../support/cli_tool.h"
#include "app/connection_check.h"
#include "app/panorama_file.h"
#include "app/picture_metadata.h"
#include "app/pipeline.h"
#include "geom/numbers.h"
#include "params/parameter_file.h"
#include "render/colour_store.h"
#include "render/gain_compensation.h"
#include "render/picture_file.h"
#include "render/upright.h"
#include "sample_set.h"
#include "../render/exif_block.h"

namespace vistarium::app {
namespace {

namespace fs = std::filesystem;
const fs::path kSource = VISTARIUM_SOURCE_DIR;

struct SampleRun {
  samples::SampleSet truth;
  RunState rs;
};

SampleRun Join(const std::string& set, bool refine = false) {
  SampleRun run;
  const fs::path folder = kSource / "samples" / set;
  run.truth = samples::LoadTruthFile((folder / "truth.json").string());
  const TPictureSetData pictures = samples::RunPictures(run.truth, folder.string());
  params::ParameterSets sets =
      samples::WithSetCamera(params::LoadParameterFile(kSource / "Options" / "CurrentParameters.spr"), run.truth);
  if (!refine) {
    // The three matched points alone, on the finer search grid they were
    // tuned for; the delivered grid is coarser, since with refinement the
    // precision comes from the full-size pictures.
    sets.Method.MinReducedHalfSize = 200;
    sets.TwoPic.OverlapWidthPercent = 45;
  }
  matching::SilentProgressUi ui;
  run.rs.Refine = refine;
  RunFindingPhase(run.rs, ui, pictures, sets);
  RunConstructionPhase(run.rs, ui);
  return run;
}

class JoinSampleSet : public ::testing::TestWithParam<std::string> {};

// Scene points that two adjacent pictures both show land within two working
// cells of each other in the panorama.
TEST_P(JoinSampleSet, TrueCorrespondencesMeetInThePanorama) {
  const SampleRun run = Join(GetParam());
  const RunState& rs = run.rs;
  const samples::SetGeometry geometry = run.truth.Geometry();
  const double cell = rs.Projection.WorkingScale;
  const int count = rs.PictureSet.Count;
  const double n = rs.Projection.FullCircle;
  for (int i = 0; i < count; ++i) {
    if (i == count - 1 && !rs.PictureSet.Is360) break;
    const int j = (i + 1) % count;
    double worst = 0;
    int checked = 0;
    for (double x = 0.6; x <= 0.98; x += 0.04)
      for (double y = 0.1; y <= 0.9; y += 0.1) {
        const TRealPoint p{x * rs.Projection.PictureSize.X, y * rs.Projection.PictureSize.Y};
        const auto q = geometry.Correspond(i, p, j);
        if (!q) continue;
        const TRealPoint a = alignment::PictureToPanorama(rs, i, p), b = alignment::PictureToPanorama(rs, j, *q);
        double dx = std::fabs(a.X - b.X);
        if (rs.PictureSet.Is360) dx = std::min(dx, std::fabs(dx - n));
        worst = std::max(worst, std::hypot(dx, a.Y - b.Y));
        ++checked;
      }
    EXPECT_GT(checked, 20) << GetParam() << " pair " << i;
    EXPECT_LT(worst, 2.0 * cell) << GetParam() << " pair " << i << ": " << worst << " panorama pixels apart";
  }
  for (const ConnectionCheck& c : CheckConnections(rs))
    EXPECT_LT(c.ResidualCells, kUnreliableResidualCells) << GetParam() << " pair " << c.Left;
}

INSTANTIATE_TEST_SUITE_P(Samples, JoinSampleSet, ::testing::Values("open4", "circle8", "portrait5"));

// The panorama handed band by band to its file while it is made is the
// file of the whole panorama, byte for byte; the streamed construction keeps
// no pixels of its own.
TEST(JoinSampleSet, PanoramaStreamedToItsFileIsTheFileOfTheWholePanorama) {
  SampleRun run = Join("circle8");
  RunState& rs = run.rs;
  matching::SilentProgressUi ui;
  const fs::path folder = fs::temp_directory_path() / ("vistarium-stream-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const auto bytes = [](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  {
    RunConstructionPhase(rs, ui);
    Bitmap32 shown;
    ShowPanorama(rs.Panorama, shown);
    const render::JpegSegment metadata = PanoramaExifSegment(rs.PictureSet.FileNames, shown.Width, shown.Height);
    SavePanoramaFile((folder / "whole.jpg").string(), shown, TrailerOfRun(rs), {&metadata, 1});
    PanoramaFileWriter writer((folder / "streamed.jpg").string(), [&rs](int width, int height) {
      return std::vector<render::JpegSegment>{PanoramaExifSegment(rs.PictureSet.FileNames, width, height)};
    });
    RunConstructionPhase(rs, ui, writer.Sink());
    writer.Commit(TrailerOfRun(rs));
    EXPECT_TRUE(rs.Panorama.Pixels.empty());
    EXPECT_EQ(rs.Panorama.Width, shown.Width);
    const std::string whole = bytes(folder / "whole.jpg"), streamed = bytes(folder / "streamed.jpg");
    EXPECT_GT(whole.size(), 10000u);
    EXPECT_TRUE(whole == streamed) << whole.size() << " and " << streamed.size() << " bytes";
  }
  fs::remove_all(folder);
}

// Refined, the panorama of the hard scene joins every pair to a fraction of
// a pixel, or names the pair: a misplaced picture cannot pass unnamed.
TEST(JoinSampleSet, RefinedConnectionsMeetToAFractionOfAPixelOrAreNamed) {
  const SampleRun run = Join("sunset8", true);
  const RunState& rs = run.rs;
  const samples::SetGeometry geometry = run.truth.Geometry();
  const double n = rs.Projection.FullCircle;
  for (const ConnectionCheck& c : CheckConnections(rs)) {
    double worst = 0;
    for (double x = 0.7; x <= 0.98; x += 0.04)
      for (double y = 0.1; y <= 0.9; y += 0.1) {
        const TRealPoint p{x * rs.Projection.PictureSize.X, y * rs.Projection.PictureSize.Y};
        const auto q = geometry.Correspond(c.Left, p, c.Right);
        if (!q) continue;
        const TRealPoint a = alignment::PictureToPanorama(rs, c.Left, p), b = alignment::PictureToPanorama(rs, c.Right, *q);
        double dx = std::fabs(a.X - b.X);
        dx = std::min(dx, std::fabs(dx - n));
        worst = std::max(worst, std::hypot(dx, a.Y - b.Y));
      }
    if (c.Problem == ConnectionProblem::None) {
      EXPECT_TRUE(c.Refined) << "pair " << c.Left;
      EXPECT_LT(worst, 1.0) << "pair " << c.Left << " passes unnamed " << worst << " panorama pixels apart";
    }
  }
}

// Pictures a phone stored lying on their side, with the EXIF orientation 6
// ("turn a quarter clockwise"), are joined upright: every picture lands
// where the same pictures stored upright land, to a fraction of a pixel.
TEST(JoinSampleSet, PicturesStoredSidewaysWithTheirOrientationJoinUpright) {
  const fs::path source = kSource / "samples" / "open4";
  const samples::SampleSet truth = samples::LoadTruthFile((source / "truth.json").string());
  const fs::path folder = fs::temp_directory_path() / "vistarium_sideways_join";
  fs::remove_all(folder);
  fs::create_directories(folder);
  TPictureSetData upright, sideways;
  for (const samples::SamplePicture& p : truth.Pictures) {
    const DeviceBitmap picture = render::LoadPictureFile((source / p.File).string());
    const auto write = [&folder](const std::string& name, const std::vector<std::uint8_t>& bytes) {
      const fs::path path = folder / name;
      std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                  static_cast<std::streamsize>(bytes.size()));
      return path.string();
    };
    upright.FileNames.push_back(write("upright_" + p.File, render::EncodeJpeg(picture, 95)));
    // Stored a quarter turn anticlockwise, as the sensor of a phone held
    // upright records it; the tag says how to turn it back.
    sideways.FileNames.push_back(
        write("sideways_" + p.File, render::JpegWithExif(render::UprightPicture(picture, 8), {6})));
  }
  params::ParameterSets sets =
      samples::WithSetCamera(params::LoadParameterFile(kSource / "Options" / "CurrentParameters.spr"), truth);
  const auto join = [&sets](TPictureSetData pictures) {
    pictures.Count = static_cast<std::int32_t>(pictures.FileNames.size());
    RunState rs;
    rs.Refine = true;
    matching::SilentProgressUi ui;
    RunFindingPhase(rs, ui, pictures, sets);
    RunConstructionPhase(rs, ui);
    return rs;
  };
  const RunState a = join(upright), b = join(sideways);
  fs::remove_all(folder);
  EXPECT_EQ(b.Projection.PictureSize.X, truth.Camera.Size.X);
  EXPECT_EQ(b.Projection.PictureSize.Y, truth.Camera.Size.Y);
  EXPECT_NEAR(b.Panorama.Width, a.Panorama.Width, 1);
  EXPECT_NEAR(b.Panorama.Height, a.Panorama.Height, 1);
  for (int i = 0; i < a.PictureSet.Count; ++i)
    for (const TRealPoint pixel : {TRealPoint{100, 100}, TRealPoint{900, 650}, TRealPoint{512, 384}}) {
      const TRealPoint pa = alignment::PictureToPanorama(a, i, pixel), pb = alignment::PictureToPanorama(b, i, pixel);
      EXPECT_LT(std::hypot(pa.X - pb.X, pa.Y - pb.Y), 0.5) << "picture " << i;
    }
}

TEST(JoinSampleSet, FullCircleIsOneTurnWideAndContinuousAcrossItsSeam) {
  const SampleRun run = Join("circle8");
  const TPanorama& p = run.rs.Panorama;
  ASSERT_EQ(p.Width, Round(run.rs.Projection.FullCircle));
  // The step from the last column to the first is no larger than the usual
  // step between neighbouring columns.
  auto column = [&](int x) { return p.Pixels.data() + static_cast<std::size_t>(x) * p.Height; };
  auto step = [&](int a, int b) {
    double sum = 0;
    for (int y = 0; y < p.Height; ++y)
      for (int shift : {0, 8, 16})
        sum += std::abs(static_cast<int>((column(a)[y] >> shift) & 0xFF) - static_cast<int>((column(b)[y] >> shift) & 0xFF));
    return sum / (3.0 * p.Height);
  };
  double typical = 0;
  for (int x = 100; x < p.Width - 100; x += 97) typical = std::max(typical, step(x, x + 1));
  EXPECT_LE(step(p.Width - 1, 0), typical);
  // No column is left black inside the common band.
  for (int x = 0; x < p.Width; ++x) ASSERT_NE(column(x)[p.Height / 2], 0u) << "column " << x;
}

using Tool = test_support::CliRun;
using test_support::RunTool;

class StitchCommand : public ::testing::Test {
protected:
  void SetUp() override {
    // One folder per test, so that tests run side by side do not share it.
    folder_ = fs::temp_directory_path() /
              ("vistarium_stitch_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
               std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  fs::path folder_;
};

TEST_F(StitchCommand, WritesAPanoramaThatOrdinaryDecodersOpenAndInfoReadsBack) {
  std::vector<std::string> args = {"stitch", "--report", (folder_ / "r.json").string(), "-o",
                                   (folder_ / "pano.jpg").string()};
  for (int k = 1; k <= 4; ++k) args.push_back((kSource / "samples" / "open4" / ("open4_0" + std::to_string(k) + ".jpg")).string());
  const Tool t = RunTool(args);
  ASSERT_EQ(t.status, 0) << t.err;

  // An independent decoder reads the file (the trailer lies after its end).
  int w = 0, h = 0, channels = 0;
  unsigned char* pixels = stbi_load((folder_ / "pano.jpg").c_str(), &w, &h, &channels, 3);
  ASSERT_NE(pixels, nullptr);
  stbi_image_free(pixels);

  std::ifstream in(folder_ / "r.json");
  const nlohmann::json report = nlohmann::json::parse(in);
  EXPECT_EQ(report["panorama"]["width"], w);
  EXPECT_EQ(report["panorama"]["height"], h);
  EXPECT_EQ(report["panorama"]["is360"], false);
  ASSERT_EQ(report["pictures"].size(), 4u);
  EXPECT_EQ(report["pictures"][0]["grid"].size(), 25u);
  ASSERT_EQ(report["connections"].size(), 3u);
  EXPECT_LT(report["connections"][0]["residual_cells"].get<double>(), 1.0);
  EXPECT_LT(report["connections"][0]["refined"]["rms_px"].get<double>(), 0.5);
  EXPECT_EQ(report["connections"][2]["rescued"], false);
  // Picture grids run left to right across the panorama.
  EXPECT_LT(report["pictures"][0]["grid"][12]["panorama"][0].get<double>(),
            report["pictures"][1]["grid"][12]["panorama"][0].get<double>());
  EXPECT_GE(report["times"]["total_s"].get<double>(), report["times"]["construction_s"].get<double>());

  const Tool info = RunTool({"info", (folder_ / "pano.jpg").string()});
  ASSERT_EQ(info.status, 0) << info.err;
  const nlohmann::json doc = nlohmann::json::parse(info.out);
  EXPECT_EQ(doc["trailer"], "sound");
  EXPECT_EQ(doc["is360"], false);
  EXPECT_EQ(doc["width"], w);
  // The horizon row of the layout is carried along (the levelled horizon
  // lies inside the picture).
  ASSERT_TRUE(doc["horizon_row"].is_number_integer());
  EXPECT_GT(doc["horizon_row"].get<int>(), 0);
  EXPECT_LT(doc["horizon_row"].get<int>(), h);
  EXPECT_NEAR(doc["angle_step"].get<double>(), report["projection"]["angle_step"].get<double>(), 1e-10);
  EXPECT_NEAR(doc["focal_pixels"].get<double>(), report["projection"]["focal_pixels"].get<double>(), 1e-9);
}

// Grey levels of a view drawn into a PNG by the view command.
std::vector<int> ViewGreys(const fs::path& png) {
  int w = 0, h = 0, channels = 0;
  unsigned char* pixels = stbi_load(png.c_str(), &w, &h, &channels, 1);
  EXPECT_NE(pixels, nullptr);
  std::vector<int> greys(pixels, pixels + static_cast<std::size_t>(w) * h);
  stbi_image_free(pixels);
  return greys;
}

double MeanDifference(const std::vector<int>& a, const std::vector<int>& b) {
  double sum = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k) sum += std::abs(a[k] - b[k]);
  return sum / static_cast<double>(a.size());
}

// Pictures a phone stored lying on their side, with the EXIF orientation 6,
// make the panorama the same pictures stored upright make: by the fast
// decodings (reduced for the matching, luma for the refinement, row by row
// for the fill, half size for the gains), by the plain ones (--reference)
// and without refinement (--exact).
TEST_F(StitchCommand, PicturesStoredSidewaysMakeThePanoramaOfTheUprightOnes) {
  std::vector<std::string> upright, sideways;
  for (int k = 1; k <= 3; ++k) {
    const std::string name = "open4_0" + std::to_string(k) + ".jpg";
    const DeviceBitmap picture = render::LoadPictureFile((kSource / "samples" / "open4" / name).string());
    const auto write = [this](const std::string& file, const std::vector<std::uint8_t>& bytes) {
      std::ofstream((folder_ / file), std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      return (folder_ / file).string();
    };
    // Both carry the camera's 35 mm equivalent, as the samples do.
    upright.push_back(write("upright_" + name, render::JpegWithExif(picture, {1, 0.0, 27})));
    sideways.push_back(write("sideways_" + name, render::JpegWithExif(render::UprightPicture(picture, 8), {6, 0.0, 27})));
  }
  struct Decoded {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
  };
  const auto stitch = [this](const std::string& mode, const std::string& out, const std::vector<std::string>& files) {
    std::vector<std::string> args = {"stitch", "-o", (folder_ / out).string()};
    if (!mode.empty()) args.insert(args.begin() + 1, mode);
    args.insert(args.end(), files.begin(), files.end());
    const Tool t = RunTool(args);
    EXPECT_EQ(t.status, 0) << mode << ": " << t.err;
    Decoded d;
    int channels = 0;
    unsigned char* pixels = stbi_load((folder_ / out).c_str(), &d.width, &d.height, &channels, 3);
    EXPECT_NE(pixels, nullptr) << mode;
    if (pixels) d.rgb.assign(pixels, pixels + static_cast<std::size_t>(d.width) * d.height * 3);
    stbi_image_free(pixels);
    return d;
  };
  for (const std::string mode : {"", "--reference", "--exact"}) {
    const Decoded a = stitch(mode, "upright.jpg", upright), b = stitch(mode, "sideways.jpg", sideways);
    ASSERT_EQ(a.width, b.width) << mode;
    ASSERT_EQ(a.height, b.height) << mode;
    ASSERT_FALSE(a.rgb.empty());
    // The same panorama up to the pictures' own encodings; the same one
    // moved by a pixel already differs by more.
    double same = 0.0, moved = 0.0;
    const std::size_t row = static_cast<std::size_t>(a.width) * 3;
    for (std::size_t k = 0; k + row < a.rgb.size(); ++k) {
      same += std::abs(a.rgb[k] - b.rgb[k]);
      moved += std::abs(a.rgb[k] - a.rgb[k + row]);
    }
    EXPECT_LT(same, 0.5 * moved) << mode;
    EXPECT_LT(same / static_cast<double>(a.rgb.size() - row), 1.2) << mode;
  }
}

// The scale of a view as the view command reports it (on stderr).
double ViewScale(const std::string& out) {
  const std::size_t at = out.find("scale ");
  EXPECT_NE(at, std::string::npos) << out;
  return at == std::string::npos ? 0.0 : std::stod(out.substr(at + 6));
}

// A panorama made at half the pictures' scale carries the values of that
// scale: the browser shows of it what it shows of the full one. (The
// opening view fits the panorama's height, which each scale rounds to its
// own rows: the views are compared at one scale, closer than the opening
// view, where the pitch turns the view as far in both.)
TEST_F(StitchCommand, APanoramaMadeSmallerBrowsesAsTheFullOne) {
  std::vector<std::string> pictures;
  for (int k = 1; k <= 8; ++k)
    pictures.push_back((kSource / "samples" / "circle8" / ("circle8_0" + std::to_string(k) + ".jpg")).string());
  const std::vector<std::string> scales = {"1", "0.5"};
  std::vector<double> opening;
  for (const std::string& scale : scales) {
    std::vector<std::string> args = {"stitch", "--360", "--scale", scale, "-o", (folder_ / (scale + ".jpg")).string()};
    args.insert(args.end(), pictures.begin(), pictures.end());
    const Tool t = RunTool(args);
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(t.err.find("JPEG holds"), std::string::npos);  // asked for, not forced
    const Tool view = RunTool({"view", (folder_ / (scale + ".jpg")).string(), "-o", (folder_ / "open.png").string()});
    ASSERT_EQ(view.status, 0) << view.err;
    opening.push_back(ViewScale(view.err));
  }
  EXPECT_NEAR(opening[1] / opening[0], 1.0, 0.02);
  const double common = std::min(opening[0], opening[1]) / 1.5;
  for (std::size_t k = 0; k < scales.size(); ++k)
    for (const std::string yaw : {"0", "60"}) {
      const Tool view = RunTool({"view", (folder_ / (scales[k] + ".jpg")).string(), "--yaw", yaw, "--pitch", "5",
                                 "--zoom", std::to_string(opening[k] / common), "-o",
                                 (folder_ / (scales[k] + "-" + yaw + ".png")).string()});
      ASSERT_EQ(view.status, 0) << view.err;
      EXPECT_NEAR(ViewScale(view.err), common, 1e-4 * common);
    }
  const nlohmann::json full = nlohmann::json::parse(RunTool({"info", (folder_ / "1.jpg").string()}).out);
  const nlohmann::json half = nlohmann::json::parse(RunTool({"info", (folder_ / "0.5.jpg").string()}).out);
  EXPECT_NEAR(half["width"].get<double>(), full["width"].get<double>() / 2, 1.0);
  EXPECT_NEAR(half["angle_step"].get<double>(), 2 * full["angle_step"].get<double>(), 1e-6);
  EXPECT_NEAR(half["horizon_row"].get<double>(), full["horizon_row"].get<double>() / 2, 2.0);
  const double same = MeanDifference(ViewGreys(folder_ / "1-60.png"), ViewGreys(folder_ / "0.5-60.png"));
  const double turned = MeanDifference(ViewGreys(folder_ / "1-0.png"), ViewGreys(folder_ / "0.5-60.png"));
  EXPECT_LT(same, 6.0);
  EXPECT_GT(turned, 3 * same);
  EXPECT_EQ(RunTool({"stitch", "--scale", "1.5", "-o", (folder_ / "x.jpg").string(), pictures[0], pictures[1]}).status, 2);
}

// A full circle wider than JPEG's 65500 pixels (here pictures of 512 x 384
// whose focal length makes a turn 67,900 pixels long) is made smaller, says
// so, and its trailer holds the values of the scale it was made at.
TEST_F(StitchCommand, APanoramaWiderThanJpegHoldsIsMadeSmallerWithItsTrailerRight) {
  std::vector<std::string> args = {"stitch", "--360", "--manual", "--exact", "--focal", "760", "--aberration", "0",
                                   "-o", (folder_ / "wide.jpg").string()};
  for (int k = 1; k <= 8; ++k) {
    const std::string name = "circle8_0" + std::to_string(k) + ".jpg";
    const render::ReducedPicture small = render::LoadReducedPicture((kSource / "samples" / "circle8" / name).string(), 2);
    render::WriteFileAtomically((folder_ / name).string(), render::EncodeJpeg(small.Picture));
    args.push_back((folder_ / name).string());
  }
  const Tool t = RunTool(args);
  ASSERT_EQ(t.status, 0) << t.err;
  EXPECT_NE(t.err.find("more than the 65500 a side that JPEG holds; it is made at 96 % of the pictures' scale"),
            std::string::npos)
      << t.err;
  const nlohmann::json info = nlohmann::json::parse(RunTool({"info", (folder_ / "wide.jpg").string()}).out);
  ASSERT_EQ(info["trailer"], "sound");
  EXPECT_LE(info["width"].get<int>(), 65500);
  EXPECT_GT(info["width"].get<int>(), 65000);
  // One turn is the panorama's width, in the trailer's own values.
  const double step = info["angle_step"].get<double>();
  EXPECT_NEAR(step * info["width"].get<double>(), 2 * M_PI, 1e-5);
  EXPECT_NEAR(step * info["pixels_per_radian"].get<double>(), 1.0, 1e-6);  // ten decimals each
  EXPECT_GE(info["horizon_row"].get<int>(), 0);
  EXPECT_LT(info["horizon_row"].get<int>(), info["height"].get<int>());
  EXPECT_EQ(RunTool({"view", (folder_ / "wide.jpg").string(), "-o", (folder_ / "wide.png").string()}).status, 0);
}

TEST_F(StitchCommand, OrdinaryPicturesHaveNoTrailerAndFailuresLeaveNoFile) {
  const std::string sample = (kSource / "samples" / "open4" / "open4_01.jpg").string();
  const Tool info = RunTool({"info", sample});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(nlohmann::json::parse(info.out)["trailer"], "none");

  const Tool bad = RunTool({"info", (folder_ / "x.png").string()});
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.err.find("Selected file could not contain panoramic image."), std::string::npos);

  const fs::path target = folder_ / "missing-folder" / "pano.jpg";
  const Tool t = RunTool({"stitch", "--manual", "-o", target.string(), sample,
                          (kSource / "samples" / "open4" / "open4_02.jpg").string()});
  EXPECT_NE(t.status, 0);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_TRUE(t.out.empty());
  EXPECT_EQ(RunTool({"stitch", sample}).status, 2);  // no -o
}

}  // namespace
}  // namespace vistarium::app

namespace vistarium::app {
namespace {

// A display that sets the run's stop signal once a phase's bar has moved.
class StoppingProgress : public matching::SilentProgressUi {
public:
  StoppingProgress(std::atomic<bool>& stop, matching::Phase phase) : stop_(stop), phase_(phase) {}
  void ShowBar(matching::Phase phase, int percent) override {
    if (phase == phase_ && percent > 0) stop_ = true;
    if (phase == matching::Phase::Construction) highest_ = std::max(highest_, percent);
  }
  int highest_ = 0;

private:
  std::atomic<bool>& stop_;
  matching::Phase phase_;
};

// The bundled circle of eight with its camera, as a run takes it.
std::pair<TPictureSetData, params::ParameterSets> Circle8Run() {
  const fs::path folder = kSource / "samples" / "circle8";
  const samples::SampleSet truth = samples::LoadTruthFile((folder / "truth.json").string());
  return {samples::RunPictures(truth, folder.string()),
          samples::WithSetCamera(params::LoadParameterFile(kSource / "Options" / "CurrentParameters.spr"), truth)};
}

// The stop signal ends either phase where it is: the finding inside its
// first pair, the construction inside the fill, each with CancelRequested
// set; the other pairs are not searched and the panorama is not finished.
TEST(StopSignal, EndsTheFindingInsideAPairAndTheConstructionInsideTheFill) {
  const auto [pictures, sets] = Circle8Run();
  std::atomic<bool> stop{false};
  RunState rs;
  rs.StopSignal = &stop;
  StoppingProgress finding(stop, matching::Phase::Finding);
  RunFindingPhase(rs, finding, pictures, sets);
  EXPECT_TRUE(rs.CancelRequested);
  EXPECT_EQ(rs.CurrentPairIndex, 0);
  EXPECT_EQ(rs.Geometry.at(1).LeftConnection.ImagePoints, (std::array<TRealPoint, 3>{}));  // pair 0 never stored

  stop = false;
  matching::SilentProgressUi quiet;
  RunFindingPhase(rs, quiet, pictures, sets);
  ASSERT_FALSE(rs.CancelRequested);
  StoppingProgress construction(stop, matching::Phase::Construction);
  RunConstructionPhase(rs, construction);
  EXPECT_TRUE(rs.CancelRequested);
  EXPECT_GT(construction.highest_, 0);
  EXPECT_LT(construction.highest_, 50);
  // Started again without the signal, it finishes.
  stop = false;
  RunConstructionPhase(rs, quiet);
  EXPECT_FALSE(rs.CancelRequested);
  EXPECT_GT(rs.Panorama.Width, 0);
}

// A display that records the finding bar, and which pair was being matched
// at each move.
class RecordingBar : public matching::SilentProgressUi {
public:
  explicit RecordingBar(const RunState& rs) : rs_(rs) {}
  void ShowBar(matching::Phase phase, int percent) override {
    if (phase == matching::Phase::Finding) moves.push_back({percent, rs_.CurrentPairIndex});
  }
  struct Move {
    int Percent, Pair;
  };
  std::vector<Move> moves;

private:
  const RunState& rs_;
};

// A circle whose focal length is estimated, matched and calibrated: the
// finding bar runs once through all of it, never backwards, each step
// moving it within its own part: the estimate before the first pair is
// matched, the calibration beyond what the matching fills; so does it for
// a circle matched again because its given camera is far off. A stop while
// the estimate runs ends the phase there.
TEST(FindingBar, RunsOnceThroughTheEstimateTheMatchingAndTheCalibration) {
  const auto [pictures, sets] = Circle8Run();
  RunState rs;
  rs.Refine = true;
  rs.EstimateFocal = true;
  RecordingBar bar(rs);
  RunFindingPhase(rs, bar, pictures, sets);
  ASSERT_FALSE(rs.CancelRequested);
  ASSERT_TRUE(rs.Calibration.Done);
  ASSERT_FALSE(bar.moves.empty());
  EXPECT_GE(bar.moves.back().Percent, 95);
  for (std::size_t k = 1; k < bar.moves.size(); ++k) EXPECT_GT(bar.moves[k].Percent, bar.moves[k - 1].Percent) << k;
  const FindingSteps steps = PlanFindingSteps(rs);
  ASSERT_GT(steps.Estimate, 0.1);
  ASSERT_LT(steps.Rematch, 0.9);
  int estimating = 0, beyondMatching = 0;
  for (const RecordingBar::Move& m : bar.moves) {
    if (m.Pair < 0 && m.Percent > 0) {
      ++estimating;
      EXPECT_LE(m.Percent, Round(100.0 * steps.Estimate));
    }
    if (m.Percent > Round(100.0 * steps.Rematch)) ++beyondMatching;  // only the calibration goes there
  }
  EXPECT_GT(estimating, 1);
  EXPECT_GT(beyondMatching, 3);
  EXPECT_EQ(rs.Progress.FindingFrom, 0.0);
  EXPECT_EQ(rs.Progress.FindingTo, 1.0);

  // Given a camera 30 % long, the circle is matched again where it closes:
  // the bar still never moves back.
  params::ParameterSets longer = sets;
  longer.Camera.FocalLength *= 1.3;
  RunState given;
  given.Refine = true;
  RecordingBar givenBar(given);
  RunFindingPhase(given, givenBar, pictures, longer);
  ASSERT_TRUE(given.Calibration.Done);
  ASSERT_GT(given.Calibration.ClosingFocalLength, 0.0);
  EXPECT_GE(givenBar.moves.back().Percent, 95);
  for (std::size_t k = 1; k < givenBar.moves.size(); ++k)
    EXPECT_GT(givenBar.moves[k].Percent, givenBar.moves[k - 1].Percent) << k;

  // Stopped while the estimate moves the bar, the phase ends there: no pair
  // is matched and no camera estimated.
  std::atomic<bool> stop{false};
  RunState stopped;
  stopped.Refine = true;
  stopped.EstimateFocal = true;
  stopped.StopSignal = &stop;
  StoppingProgress finding(stop, matching::Phase::Finding);
  RunFindingPhase(stopped, finding, pictures, sets);
  EXPECT_TRUE(stopped.CancelRequested);
  EXPECT_EQ(stopped.CurrentPairIndex, -1);
  EXPECT_EQ(stopped.Calibration.EstimatedFocalLength, 0.0);
  EXPECT_FALSE(stopped.Calibration.Done);
}

}  // namespace
}  // namespace vistarium::app

namespace vistarium::app {
namespace {

// Stitch Manually starts each connection where the feature search sees the
// pictures overlap: its right-picture points lie where the truth puts the
// left ones, while the placement by the expected overlap is far off.
TEST(ManualStitching, StartsWhereThePicturesReallyOverlap) {
  const fs::path folder = kSource / "samples" / "open4";
  const samples::SampleSet truth = samples::LoadTruthFile((folder / "truth.json").string());
  const TPictureSetData pictures = samples::RunPictures(truth, folder.string());
  const params::ParameterSets sets =
      samples::WithSetCamera(params::LoadParameterFile(kSource / "Options" / "CurrentParameters.spr"), truth);
  const samples::SetGeometry geometry = truth.Geometry();
  const auto worstError = [&](bool byFeatures) {
    RunState rs;
    rs.ManualStitching = true;
    rs.PlaceByFeatures = byFeatures;
    matching::SilentProgressUi ui;
    RunFindingPhaseWithoutEstimate(rs, ui, pictures, sets);
    double worst = 0.0;
    for (int i = 0; i + 1 < rs.PictureSet.Count; ++i)
      for (std::size_t k = 0; k < 3; ++k) {
        const TRealPoint l = rs.Geometry[static_cast<std::size_t>(i)].RightConnection.ImagePoints[k];
        const TRealPoint r = rs.Geometry[static_cast<std::size_t>(i + 1)].LeftConnection.ImagePoints[k];
        const auto expected = geometry.Correspond(i, l, i + 1);
        worst = std::max(worst, expected ? std::hypot(expected->X - r.X, expected->Y - r.Y) : 1e9);
      }
    return worst;
  };
  EXPECT_LT(worstError(true), 3.0);
  EXPECT_GT(worstError(false), 100.0);
}

// The exposure gains compare the overlaps on the reduced colours that the
// matching decoded and kept: with the pictures gone after the finding phase
// they come out the same, and they undo each picture's exposure as gains
// from the pictures decoded again do.
TEST(ExposureGains, ComeFromTheColoursTheMatchingKept) {
  const fs::path source = kSource / "samples" / "open4";
  const samples::SampleSet truth = samples::LoadTruthFile((source / "truth.json").string());
  const fs::path folder = fs::temp_directory_path() / ("vistarium-kept-colours-" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  constexpr double kExposure[4] = {1.2, 0.85, 1.0, 0.9};
  TPictureSetData pictures = samples::RunPictures(truth, source.string());
  for (std::size_t i = 0; i < pictures.FileNames.size(); ++i) {
    DeviceBitmap picture = render::LoadPictureFile(pictures.FileNames[i]);
    samples::ApplyExposureAndNoise(picture, {kExposure[i], {1.0, 1.0, 1.0}}, 0.0, 1);
    pictures.FileNames[i] = (folder / fs::path(pictures.FileNames[i]).filename()).string();
    render::WriteFileAtomically(pictures.FileNames[i], render::EncodeJpeg(picture, 95));
  }
  RunState rs;
  rs.Refine = true;
  rs.CompensateExposure = true;
  matching::SilentProgressUi ui;
  RunFindingPhase(rs, ui, pictures,
                  samples::WithSetCamera(params::LoadParameterFile(kSource / "Options" / "CurrentParameters.spr"), truth));
  const render::ColourStore* kept = render::ReducedColoursIn(rs);
  ASSERT_NE(kept, nullptr);
  for (const std::string& file : pictures.FileNames) EXPECT_NE(kept->Picture(file), nullptr) << file;
  render::CompensateExposure(rs);
  const auto fromKept = rs.Gains;
  ASSERT_EQ(fromKept.size(), 4u);
  for (int c = 0; c < 3; ++c) {
    double mean = 0.0;
    for (int i = 0; i < 4; ++i) mean += fromKept[i][c] * kExposure[i] / 4.0;
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(fromKept[i][c] * kExposure[i] / mean, 1.0, 0.01) << c << " " << i;
  }

  const fs::path away = folder.string() + "-away";
  fs::rename(folder, away);
  render::CompensateExposure(rs);
  EXPECT_EQ(rs.Gains, fromKept);
  fs::rename(away, folder);
  rs.Stores.ReducedColours.reset();
  render::CompensateExposure(rs);
  ASSERT_EQ(rs.Gains.size(), 4u);
  for (int i = 0; i < 4; ++i)
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(rs.Gains[i][c] / fromKept[i][c], 1.0, 0.01) << c << " " << i;
  fs::remove_all(folder);
}

}  // namespace
}  // namespace vistarium::app
