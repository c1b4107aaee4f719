// Times the panorama browser on a large synthetic full-circle panorama:
// building the browsing map, and drawing views at 400 x 300 and 1920 x 1080
// with the plain and the fast drawing, in frames per second, while the view
// turns by one automatic step per frame (the automatic rotation) and while it
// tilts by one pixel per frame.
//
//   browser_bench [--size WxH] [--frames N] [--threads N] [--fast-only]
//
// Default panorama 14000 x 2900 (40.6 megapixels), with 14000 columns to the
// full turn and a focal length of one turn / 2 pi pixels.

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "browse/browser.h"
#include "measure.h"

using namespace vistarium;

namespace {

using namespace vistarium::bench;

// Stripes and a soft gradient, so that neighbouring pixels differ.
Bitmap32 SyntheticPanorama(int width, int height) {
  Bitmap32 p;
  p.SetSize(width, height);
#pragma omp parallel for
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const unsigned r = static_cast<unsigned>((x * 255) / width);
      const unsigned g = static_cast<unsigned>((y * 255) / height);
      const unsigned b = ((x / 37 + y / 23) % 2) ? 230u : 20u;
      p.SetPixel(x, y, 0xFF000000u | (r << 16) | (g << 8) | b);
    }
  return p;
}

// Turning: one automatic step per frame. Tilting: the view plane shifts by
// one pixel up or down per frame, so the fast drawing renews its row tables
// every frame (as for moves up and down and zooms).
double FramesPerSecond(browse::BrowserState s, int width, int height, int frames, bool reference, bool tilting) {
  browse::SetViewSize(s, width, height);
  browse::StartAutoRight(s);
  Bitmap32 view;
  view.SetSize(width, height);
  const auto t0 = Clock::now();
  for (int k = 0; k < frames; ++k) {
    if (tilting)
      browse::Pan(s, 0, k % 2 ? -1 : 1);
    else
      browse::AutoTick(s);
    if (reference)
      browse::RenderViewReference(s, view);
    else
      browse::RenderView(s, view);
  }
  return frames / Seconds(t0, Clock::now());
}

}  // namespace

int main(int argc, char** argv) {
  int width = 14000, height = 2900, frames = 60;
  bool fastOnly = false;
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--fast-only") fastOnly = true;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--fast-only") {
      --i;
      continue;
    }
    if (a == "--size")
      std::sscanf(argv[i + 1], "%dx%d", &width, &height);
    else if (a == "--frames")
      frames = std::max(1, std::atoi(argv[i + 1]));
    else if (a == "--threads")
      omp_set_num_threads(std::max(1, std::atoi(argv[i + 1])));
  }
  const double kPi = 3.14159265358979323846;
  browse::BrowserSource src;
  src.Is360 = true;
  src.AngleStep = 2.0 * kPi / width;
  src.PixelsPerRadian = width / (2.0 * kPi);
  src.FocalPixels = src.PixelsPerRadian;
  src.HorizonRow = height / 2;

  std::printf("panorama %d x %d (%.1f megapixels), %d threads\n", width, height, width * 1e-6 * height,
              omp_get_max_threads());
  const Bitmap32 panorama = SyntheticPanorama(width, height);

  browse::BrowserState s;
  browse::ResetBrowser(s);
  double best = 1e30;
  for (int k = 0; k < 3; ++k) {
    const auto t0 = Clock::now();
    browse::OpenBrowser(s, panorama, src);
    best = std::min(best, Seconds(t0, Clock::now()));
  }
  std::printf("map %d x %d built in %.3f s (fast, best of 3)\n", s.MapWidth, s.MapHeight, best);
  if (!fastOnly) {
    const auto t0 = Clock::now();
    const TColMatrix plain = browse::BuildMapReference(panorama, src);
    std::printf("map built in %.3f s (plain)%s\n", Seconds(t0, Clock::now()),
                plain.Values == s.Map.Values ? ", same values" : ", VALUES DIFFER");
  }

  const int sizes[2][2] = {{400, 300}, {1920, 1080}};
  for (const auto& size : sizes)
    for (bool reference : {true, false})
      for (bool tilting : {false, true}) {
        if (reference && fastOnly) continue;
        const int n = reference ? std::max(1, frames / 4) : frames;
        std::printf("view %4d x %4d: %7.1f frames/s (%s, %s)\n", size[0], size[1],
                    FramesPerSecond(s, size[0], size[1], n, reference, tilting), reference ? "plain" : "fast",
                    tilting ? "tilting" : "turning");
      }
  std::printf("peak memory %.0f MB\n", PeakMegabytes());
  return 0;
}
