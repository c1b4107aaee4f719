#include "render/fill.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <numbers>
#include <exception>
#include <stdexcept>
#include <string>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "alignment/bundle_coord.h"
#include "alignment/layout.h"
#include "alignment/orientation.h"
#include "geom/numbers.h"
#include "render/band_fill.h"
#include "render/fill_rows.h"
#include "render/picture_file.h"

namespace vistarium::render {

std::vector<DeviceBitmap> LoadSetPictures(const RunState& rs) {
  const std::size_t count = rs.PictureSet.FileNames.size();
  std::vector<DeviceBitmap> pictures(count);
  std::vector<std::exception_ptr> failures(count);
#pragma omp parallel for schedule(dynamic, 1)
  for (std::size_t i = 0; i < count; ++i) {
    try {
      pictures[i] = LoadPictureFile(rs.PictureSet.FileNames[i]);
    } catch (...) {
      failures[i] = std::current_exception();
    }
  }
  for (const auto& f : failures)
    if (f) std::rethrow_exception(f);
  for (std::size_t i = 0; i < count; ++i)
    if (pictures[i].Width != rs.Projection.PictureSize.X || pictures[i].Height != rs.Projection.PictureSize.Y)
      throw std::runtime_error("Picture \"" + rs.PictureSet.FileNames[i] + "\" is no longer " +
                               std::to_string(rs.Projection.PictureSize.X) + " x " +
                               std::to_string(rs.Projection.PictureSize.Y) + " pixels");
  return pictures;
}

namespace {

using namespace rows;

// Runs `fillRow(y, work)` for every row, one after another, reporting
// progress y / Height at the start of each row.
template <typename FillRow>
void FillRowsPlainly(RunState& rs, matching::ProgressUi& ui, FillRow&& fillRow) {
  const int height = rs.Panorama.Height;
  RowWork wk(rs.PictureSet.Count, rs.Panorama.Width);
  for (int y = 0; y < height; ++y) {
    if (StopSignalled(rs)) return;
    matching::ReportConstructionProgress(rs, ui, static_cast<double>(y) / height);
    fillRow(y, wk);
  }
}

}  // namespace

void FillPlainPanorama(RunState& rs, matching::ProgressUi& ui) {
  if (!rs.UseReferenceFill) {
    FillPanoramaInBands(rs, ui, PanoramaRecordSink(rs.Panorama));
    return;
  }
  const std::vector<DeviceBitmap> pictures = LoadSetPictures(rs);
  auto map = [&rs](int i, int x, int y) {
    return alignment::OutputToPicturePlain(rs, i, {static_cast<double>(x), static_cast<double>(y)});
  };
  FillRowsPlainly(rs, ui, [&](int y, RowWork& wk) { FillPlainRow(rs, pictures, y, wk, map); });
}

void FillCirPanorama(RunState& rs, matching::ProgressUi& ui) {
  if (rs.Panorama.Width != alignment::PanoramaProjection(rs).CircleLength)
    throw std::logic_error("A full-circle panorama must be one turn wide");
  if (!rs.UseReferenceFill) {
    FillPanoramaInBands(rs, ui, PanoramaRecordSink(rs.Panorama));
    return;
  }
  const std::vector<DeviceBitmap> pictures = LoadSetPictures(rs);
  auto map = [&rs](int i, int x, int y) {
    return alignment::OutputToPictureCircle(rs, i, {static_cast<double>(x), static_cast<double>(y)});
  };
  FillRowsPlainly(rs, ui, [&](int y, RowWork& wk) { FillCirRow(rs, pictures, y, wk, map); });
}

}  // namespace vistarium::render
