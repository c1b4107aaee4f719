#pragma once
// What the window keeps of a panorama to show it: the panorama itself while
// it has at most kHeldPanoramaPixels pixels, otherwise a copy reduced by a
// whole factor, so that a panorama of any size costs the window a bounded
// amount of memory (4 bytes a held pixel, and 6 more for the browser's map).
// The full-size view, the preview and the browser's map all come from it.
// Saving a made panorama whose copy is reduced makes it again at full size,
// band by band into the file; an opened file larger than the budget is
// decoded reduced by the decoder's own scaling.

#include <cstdint>
#include <string>

#include "app/panorama_file.h"
#include "browse/browser.h"
#include "image/bitmaps.h"
#include "run/progress.h"
#include "run/run_state.h"

namespace vistarium::app {

inline constexpr std::int64_t kHeldPanoramaPixels = 40'000'000;

struct HeldPanorama {
  int Factor = 1;  // panorama pixels per held pixel along each side
  int FullWidth = 0, FullHeight = 0;
};

// What the window says it holds: "12213 x 2462 pixels, 115 MB held", or
// "shown at 1:2, 32750 x 1500 of 65500 x 3000 pixels, 188 MB held".
std::string HeldPanoramaText(const HeldPanorama& held, const Bitmap32& picture);

// The browser's values of a run's panorama: those of the projection it was
// laid out in, its flag and its horizon row (the layout's Top).
browse::BrowserSource RunBrowserSource(const RunState& rs);
// The same values for a copy reduced by `factor`: a held pixel spans
// `factor` panorama pixels of angle.
browse::BrowserSource HeldBrowserSource(browse::BrowserSource source, int factor);

// Writes the run's panorama (made, its layout in place) at full size into a
// panorama file with the first picture's metadata, its bands made again from
// the picture files as they go to the encoder.
void SaveRunPanorama(RunState& rs, matching::ProgressUi& ui, const std::string& path);

// An opened panorama file as the window keeps it: decoded whole when it has
// at most `budget` pixels, otherwise reduced by 2, 4 or 8 by the decoder.
struct HeldOpenedPanorama {
  DeviceBitmap Picture;
  HeldPanorama Held;
  TrailerReading Trailer;
};
HeldOpenedPanorama OpenPanoramaToHold(const std::string& path, std::int64_t budget = kHeldPanoramaPixels);

}  // namespace vistarium::app
