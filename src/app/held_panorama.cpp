#include "app/held_panorama.h"

#include <algorithm>

#include "alignment/layout.h"
#include "app/picture_metadata.h"
#include "geom/numbers.h"
#include "render/band_fill.h"
#include "render/picture_file.h"

namespace vistarium::app {

std::string HeldPanoramaText(const HeldPanorama& held, const Bitmap32& picture) {
  const std::int64_t bytes = static_cast<std::int64_t>(picture.Width) * picture.Height * 4;
  const std::string megabytes = std::to_string((bytes + (1 << 19)) >> 20) + " MB held";
  const std::string shown = std::to_string(picture.Width) + " x " + std::to_string(picture.Height);
  if (held.Factor <= 1) return shown + " pixels, " + megabytes;
  return "shown at 1:" + std::to_string(held.Factor) + ", " + shown + " of " + std::to_string(held.FullWidth) +
         " x " + std::to_string(held.FullHeight) + " pixels, " + megabytes;
}

browse::BrowserSource RunBrowserSource(const RunState& rs) {
  const TProjectionParameters pp = alignment::PanoramaProjection(rs);
  browse::BrowserSource source;
  source.Is360 = rs.PictureSet.Is360;
  source.AngleStep = pp.AngleStep;
  source.PixelsPerRadian = pp.PixelsPerRadian;
  source.FocalPixels = pp.FocalPixels;
  source.HorizonRow = rs.Layout.Top;
  return source;
}

browse::BrowserSource HeldBrowserSource(browse::BrowserSource source, int factor) {
  if (factor <= 1) return source;
  source.AngleStep *= factor;
  source.PixelsPerRadian /= factor;
  // Held row r stands for panorama rows factor r .. factor r + factor - 1.
  source.HorizonRow = (source.HorizonRow + 0.5) / factor - 0.5;
  return source;
}

void SaveRunPanorama(RunState& rs, matching::ProgressUi& ui, const std::string& path) {
  if (rs.Panorama.Width <= 0 || rs.Panorama.Height <= 0) throw std::logic_error("No panorama has been made");
  PanoramaFileWriter writer(path, [&rs](int width, int height) {
    return std::vector<render::JpegSegment>{PanoramaExifSegment(rs.PictureSet.FileNames, width, height)};
  });
  render::FillPanoramaInBands(rs, ui, writer.Sink());
  writer.Commit(TrailerOfRun(rs));
}

HeldOpenedPanorama OpenPanoramaToHold(const std::string& path, std::int64_t budget) {
  HeldOpenedPanorama opened;
  opened.Trailer = ReadPanoramaTrailer(path);
  const render::PictureSize size = render::ReadPictureSize(path);
  opened.Held.FullWidth = size.Width;
  opened.Held.FullHeight = size.Height;
  const int wanted = render::ReductionToFit(size.Width, size.Height, budget);
  int factor = 1;
  while (factor < wanted && factor < 8) factor *= 2;
  if (factor == 1) {
    opened.Picture = render::LoadPictureFile(path);
  } else {
    render::ReducedPicture reduced = render::LoadReducedPicture(path, factor);
    opened.Picture = std::move(reduced.Picture);
  }
  opened.Held.Factor = factor;
  return opened;
}

}  // namespace vistarium::app
