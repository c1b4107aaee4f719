#include "render/working_picture.h"

#include <stdexcept>

#include "render/sampling.h"

namespace vistarium::render {

namespace {

// Fills the working grid, column by column, with sample(pos) at each cell's
// full-size picture position.
template <typename Sample>
void ResampleOntoWorkingGrid(const TProjectionParameters& pp, TColMatrix& target, Sample&& sample) {
  const int wh = pp.WorkingHalfSize.X, hh = pp.WorkingHalfSize.Y;
  target = TColMatrix{};
  target = TColMatrix(CheckedAdd(CheckedMul(2, wh), 1), CheckedAdd(CheckedMul(2, hh), 1));
  for (int i = 0; i <= 2 * wh; ++i) {
    for (int j = 0; j <= 2 * hh; ++j) {
      const TRealPoint p{static_cast<double>(i - wh), static_cast<double>(hh - j)};
      const TRealPoint pos = geom::PictureCoordinates(
          pp, geom::RestoreAberration(pp, geom::AnglesToPlane(pp, geom::ToFullScale(pp, p))));
      const ColorTriple t = sample(pos);
      target.At(i, j, 0) = t.Blue;
      target.At(i, j, 1) = t.Green;
      target.At(i, j, 2) = t.Red;
    }
  }
}

}  // namespace

void BuildWorkingPicture(const TProjectionParameters& pp, const DeviceBitmap& source, TColMatrix& target) {
  ResampleOntoWorkingGrid(pp, target, [&](TRealPoint pos) { return SampleCanvas(pp.PictureSize, source, pos); });
}

void BuildWorkingPictureFromReduced(const TProjectionParameters& pp, const DeviceBitmap& reduced, int factor,
                                    TColMatrix& target) {
  if (factor < 1) throw std::invalid_argument("A reduction factor is at least 1");
  const TPoint size{reduced.Width, reduced.Height};
  const double k = factor;
  ResampleOntoWorkingGrid(pp, target,
                          [&](TRealPoint pos) { return SampleCanvasFast(size, reduced, {pos.X / k, pos.Y / k}); });
}

int WorkingDecodeFactor(const TProjectionParameters& pp) {
  int factor = 1;
  while (factor < 8 && 2 * factor <= pp.WorkingScale / 2.0) factor *= 2;
  return factor;
}

void SmoothWorkingPicture(const TColMatrix& source, int s, TColMatrix& target) {
  if (s < 0) throw std::invalid_argument("Smoothing radius must not be negative");
  const int cols = source.Columns, rows = source.Rows;
  TColMatrix out(cols, rows);
  for (int i = 0; i < cols; ++i) {
    for (int j = 0; j < rows; ++j) {
      unsigned sum[3] = {0, 0, 0};
      unsigned count = 0;
      for (int ii = i - s; ii <= i + s; ++ii) {
        if (ii < 0 || ii >= cols) continue;
        for (int jj = j - s; jj <= j + s; ++jj) {
          if (jj < 0 || jj >= rows) continue;
          for (int ch = 0; ch < 3; ++ch) sum[ch] += source.At(ii, jj, ch);
          ++count;
        }
      }
      for (int ch = 0; ch < 3; ++ch)
        out.At(i, j, ch) = count > 0 ? static_cast<std::uint16_t>(Round(static_cast<double>(sum[ch]) / count)) : 0;
    }
  }
  target = std::move(out);
}

void CopyWorkingPicture(const TColMatrix& source, TColMatrix& target) {
  target = TColMatrix{};
  target = source;
}

TColVector SampleLine(const TColMatrix& m, int n, TPoint start, TPoint end) {
  if (n < 2) throw std::invalid_argument("A sample line needs at least two samples");
  const double dx = static_cast<double>(end.X - start.X) / (n - 1);
  const double dy = static_cast<double>(end.Y - start.Y) / (n - 1);
  TColVector v(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) {
    const int col = Round(k * dx + start.X);
    const int row = Round(k * dy + start.Y);
    if (col < 0 || col >= m.Columns || row < 0 || row >= m.Rows)
      throw std::out_of_range("Sample line leaves the working picture");
    v[static_cast<std::size_t>(k)] = {static_cast<std::uint8_t>(m.At(col, row, 0)),
                                      static_cast<std::uint8_t>(m.At(col, row, 1)),
                                      static_cast<std::uint8_t>(m.At(col, row, 2))};
  }
  return v;
}

}  // namespace vistarium::render
