// How whole runs scale with the size of the set: rendered full circles of
// 8, 16 and 36 pictures of 2, 12 and 24 megapixels, each joined by
// vistarium-cli stitch (files to saved panorama) in a process of its own.
// Prints per set the wall-clock time, the processor time of all threads and
// the peak memory (the process's resident high-water mark), each also per
// megapixel of input, and the share of the processor time that the codec
// floor takes: decoding every picture once plus encoding the panorama once,
// on one core, measured here in the same run.
//
//   scaling_bench [--counts 8,16,36] [--sizes 2,12,24] [--work FOLDER] [--photos FOLDER]
//
// Sizes are megapixels of 3:2 pictures (2: 1800 x 1200, 12: 4200 x 2800,
// 24: 6000 x 4000). The focal length gives neighbours about 40 % overlap:
// 23.5 mm for 8 pictures, 52.9 for 16, 122.9 for 36 (a panorama of 36 x 24
// megapixels is wider than JPEG holds and is made smaller). The sets are
// rendered by vistarium-render-samples into the work folder (default
// /tmp/vistarium-scaling-sets) once and reused; rendering the largest takes
// minutes and about 300 MB of disk.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "measure.h"
#include "render/picture_file.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace vistarium;
using namespace vistarium::bench;

namespace {

struct Size {
  int Megapixels, Width, Height;
};

Size SizeFor(int megapixels) {
  switch (megapixels) {
    case 2: return {2, 1800, 1200};
    case 12: return {12, 4200, 2800};
    case 24: return {24, 6000, 4000};
    default: break;
  }
  // Any other size: 3:2 pictures of about that many megapixels.
  const int h = static_cast<int>(std::lround(std::sqrt(megapixels * 1e6 / 1.5) / 2) * 2);
  return {megapixels, h * 3 / 2, h};
}

// About 40 % overlap between neighbours of a circle of `count` pictures.
double FocalFor(int count) {
  const double step = 360.0 / count, view = step / 0.6;
  return 18.0 / std::tan(view / 2.0 * 3.14159265358979 / 180.0);
}

std::vector<int> ParseList(const std::string& text) {
  std::vector<int> values;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) values.push_back(std::stoi(item));
  return values;
}

std::string FocalText(double focal) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", focal);
  return text;
}

fs::path EnsureSet(int count, const Size& size, const fs::path& photos, const fs::path& work) {
  const fs::path folder = work / ("circle" + std::to_string(count) + "-" + std::to_string(size.Megapixels) + "mp");
  if (fs::exists(folder / "truth.json")) return folder;
  const fs::path tool = fs::path(VISTARIUM_BIN_DIR) / "vistarium-render-samples";
  std::ostringstream command;
  command << '"' << tool.string() << "\" --preset circle8 --reduce 1 --count " << count << " --360 --size "
          << size.Width << 'x' << size.Height << " --focal " << FocalText(FocalFor(count))
          << " --pitch 0 --roll 0 --pitch-jitter 0.8 --roll-jitter 0.8 --quality 90 --name circle --photos \""
          << photos.string() << "\" --out \"" << folder.string() << "\" > /dev/null";
  std::printf("rendering %d pictures of %d x %d ...\n", count, size.Width, size.Height);
  std::fflush(stdout);
  if (std::system(command.str().c_str()) != 0) throw std::runtime_error("rendering failed: " + command.str());
  return folder;
}

struct Run {
  double Wall = 0.0, Cpu = 0.0, PeakMb = 0.0;
  int Status = 0;
};

// Runs a command in a child process; its own processor time and peak memory.
Run RunChild(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto t0 = Clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start " + args[0]);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Run r;
  r.Wall = Seconds(t0, Clock::now());
  r.Cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + 1e-6 * (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  r.PeakMb = usage.ru_maxrss / 1024.0;
  r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Decoding every picture once and encoding the panorama once, on one core.
double CodecFloor(const std::vector<std::string>& pictures, const std::string& panorama, const fs::path& work) {
  const double d0 = ProcessorSeconds();
  for (const std::string& f : pictures) render::LoadPictureFile(f);
  double seconds = ProcessorSeconds() - d0;
  const render::PictureSize size = render::ReadPictureSize(panorama);
  render::PictureRowStream rows(panorama, size);
  std::vector<std::uint8_t> band(3 * static_cast<std::size_t>(size.Width) * 64);
  render::JpegFileWriter encoder((work / "floor.jpg").string(), size.Width, size.Height);
  for (int y0 = 0; y0 < size.Height; y0 += 64) {
    const int n = std::min(64, size.Height - y0);
    rows.Hold(y0, y0 + n - 1);
    for (int k = 0; k < n; ++k)
      std::copy_n(rows.Row(y0 + k), 3 * static_cast<std::size_t>(size.Width),
                  band.data() + 3 * static_cast<std::size_t>(size.Width) * k);
    const double e0 = ProcessorSeconds();
    encoder.WriteRows(band.data(), n);
    seconds += ProcessorSeconds() - e0;
  }
  const double e0 = ProcessorSeconds();
  encoder.Commit();
  seconds += ProcessorSeconds() - e0;
  fs::remove(work / "floor.jpg");
  return seconds;
}

}  // namespace

int main(int argc, char** argv) try {
  std::vector<int> counts = {8, 16, 36}, sizes = {2, 12, 24};
  fs::path work = fs::temp_directory_path() / "vistarium-scaling-sets";
  fs::path photos = fs::path(VISTARIUM_SOURCE_DIR) / ".." / "shared" / "photos";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--counts" && i + 1 < argc) counts = ParseList(argv[++i]);
    else if (a == "--sizes" && i + 1 < argc) sizes = ParseList(argv[++i]);
    else if (a == "--work" && i + 1 < argc) work = argv[++i];
    else if (a == "--photos" && i + 1 < argc) photos = argv[++i];
    else throw std::invalid_argument("unknown option " + a);
  }
  fs::create_directories(work);
  const std::string cli = (fs::path(VISTARIUM_BIN_DIR) / "vistarium-cli").string();
  std::printf("load average %s (other work on the machine inflates the times)\n", LoadAverage().c_str());
  std::printf("%-14s %8s %-22s %8s %8s %8s %8s %8s %8s %8s %8s %7s\n", "set", "input MP", "panorama", "time s",
              "cpu s", "peak MB", "ms/MP", "cpu ms/MP", "MB/MP", "floor s", "floor %", "status");
  for (const int mp : sizes)
    for (const int count : counts) {
      const Size size = SizeFor(mp);
      const fs::path folder = EnsureSet(count, size, photos, work);
      std::vector<std::string> pictures;
      for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".jpg") pictures.push_back(entry.path().string());
      std::sort(pictures.begin(), pictures.end());
      const std::string output = (work / ("panorama-" + folder.filename().string() + ".jpg")).string();
      std::vector<std::string> args = {cli, "stitch", "--360", "--focal", FocalText(FocalFor(count)), "--aberration", "0",
                                       "-o", output};
      args.insert(args.end(), pictures.begin(), pictures.end());
      const Run run = RunChild(args);
      const double input = static_cast<double>(count) * size.Width * size.Height / 1e6;
      std::string panorama = "-", floorText = "-", shareText = "-";
      if (run.Status == 0) {
        const render::PictureSize p = render::ReadPictureSize(output);
        panorama = std::to_string(p.Width) + " x " + std::to_string(p.Height);
        const double floor = CodecFloor(pictures, output, work);
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", floor);
        floorText = text;
        std::snprintf(text, sizeof text, "%.0f", 100.0 * floor / run.Cpu);
        shareText = text;
      }
      const std::string name = std::to_string(count) + " x " + std::to_string(mp) + " MP";
      std::printf("%-14s %8.0f %-22s %8.2f %8.2f %8.0f %8.1f %9.1f %8.2f %8s %8s %7d\n", name.c_str(), input,
                  panorama.c_str(), run.Wall, run.Cpu, run.PeakMb, 1000.0 * run.Wall / input, 1000.0 * run.Cpu / input,
                  run.PeakMb / input, floorText.c_str(), shareText.c_str(), run.Status);
      std::fflush(stdout);
    }
  std::printf("time: wall clock of vistarium-cli stitch, files to saved panorama; cpu: its processor time (all threads);\n"
              "peak MB: its resident high-water mark; ms/MP, cpu ms/MP and MB/MP per megapixel of input pictures;\n"
              "floor: processor time of decoding every picture once plus encoding the panorama once, on one core;\n"
              "floor %%: floor / cpu, the share of the run's processor time that the codec floor takes\n");
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "scaling_bench: %s\n", e.what());
  return 1;
}
