// Feeds arbitrary bytes, as a panorama file, to the trailer reader and to
// vistarium-cli info and view. Bad input must end in a one-line error with
// status 1, never in a crash, a sanitizer report, a usage error or a hang.
// A trailer the reader calls sound must survive a write and a second read,
// and info must say what the reader says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <string_view>

#include "app/cli/cli.h"
#include "app/panorama_file.h"
#include "render/picture_file.h"
#include "scratch_file.h"

namespace {

namespace app = vistarium::app;
namespace cli = vistarium::cli;

struct Run {
  int Status;
  std::string Out, Err;
};

Run Tool(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  std::istringstream in;
  cli::Console console{out, err, in, false};
  const int status = cli::RunCli(args, vistarium::fuzz::ScratchFolder(), console);
  return {status, out.str(), err.str()};
}

void CheckTrailer(std::string_view bytes) {
  const app::TrailerReading reading = app::ReadTrailer(bytes);
  if (reading.State == app::TrailerState::Damaged && reading.Reason.empty()) std::abort();
  if (reading.State != app::TrailerState::Sound) return;
  if (!reading.Reason.empty() || reading.NumbersRead != 3) std::abort();
  const std::string written = app::FormatTrailer(reading.Values);
  if (written.size() != app::kTrailerSize) std::abort();
  const app::TrailerReading again = app::ReadTrailer(written);
  // Ten decimals may round a value read with more; once written it stays.
  if (again.State == app::TrailerState::Sound && app::FormatTrailer(again.Values) != written) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckTrailer(std::string_view(reinterpret_cast<const char*>(data), size));

  const std::string file = vistarium::fuzz::ScratchFile("pano.jpg", data, size);
  const Run info = Tool({"info", file});
  if (info.Status != 0 && info.Status != 1) std::abort();
  if (info.Status == 0) {
    const nlohmann::json doc = nlohmann::json::parse(info.Out);  // throws, and so fails, on bad JSON
    const auto expected = app::ReadTrailer(std::string_view(reinterpret_cast<const char*>(data), size));
    if (doc["trailer"] != std::string(app::TrailerStateName(expected.State))) std::abort();
  } else if (info.Err.empty() || info.Err.find('\n') != info.Err.size() - 1) {
    std::abort();
  }

  // The view decodes the whole picture: only pictures of a few megapixels,
  // so that every run stays quick.
  try {
    const vistarium::render::PictureSize picture = vistarium::render::ReadPictureSize(file);
    if (static_cast<std::int64_t>(picture.Width) * picture.Height > 4'000'000) return 0;
  } catch (const vistarium::render::PictureFileError&) {
  }
  const std::string view = (vistarium::fuzz::ScratchFolder() / "view.png").string();
  const Run shown = Tool({"view", file, "--size", "32x24", "--yaw", "30", "--zoom", "2", "-o", view});
  if (shown.Status != 0 && shown.Status != 1) std::abort();
  if (shown.Status == 0 && info.Status != 0) std::abort();
  return 0;
}
