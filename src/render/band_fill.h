#pragma once
// The fast fill: the panorama is made in bands of rows from the top down,
// and each band is handed on (to the JPEG encoder, a display picture or the
// panorama record) while the next one is made, so that neither the whole
// panorama nor any whole picture has to be held:
//
// - each picture is decoded row by row as the bands reach its rows
//   (render::PictureRowStream), holding a window of a few hundred rows
//   (a picture stored sideways is turned upright losslessly first, in
//   memory);
// - each picture's mapping is computed exactly on a grid of nodes
//   kGridStep columns and kGridRowStep rows apart and interpolated between
//   them by cubics through four nodes (down the columns, then along the
//   row). A grid cell whose nodes lie on different smooth pieces of the
//   mapping (behind the picture, outside its span, across a circle's seam)
//   or whose middle the interpolation misses by more than kGridTolerance is
//   mapped exactly pixel by pixel, and so is every pixel whose interpolated
//   position lies within kBorderMargin of the picture's border: which pixels
//   a picture covers is decided as the plain fill decides it;
// - pictures are sampled bilinearly in fixed point (positions and weights
//   to 1/256 pixel), eight pixels at a time with AVX2 where the processor
//   has it, with the same integer arithmetic as the one-pixel path;
// - the cross-fade is the plain fill's, in the same order of operations.
//
// Agreement with the plain fill (rs.UseReferenceFill): the same panorama
// size and the same covered pixels; a channel differs by at most
// kMaxLevelsOff levels (a position off by 1/256 pixel or less, beside a
// sharp edge), and over a whole panorama fewer than one channel value in
// kOffShareDenominator differs at all by more than one level. The tests
// check this on the bundled sample sets. Pictures stored turned add the
// rounding of their lossless turn (kTurnedLevelsOff, picture_file.h) unless
// TurnLosslessly is off.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "image/bitmaps.h"
#include "run/progress.h"
#include "run/run_state.h"

namespace vistarium::render {

inline constexpr int kGridStep = 32;     // panorama columns between nodes
inline constexpr int kGridRowStep = 16;  // panorama rows between nodes
inline constexpr double kGridTolerance = 0.002;  // pixels of the picture
inline constexpr double kBorderMargin = 0.02;    // pixels of the picture
inline constexpr int kMaxLevelsOff = 2;
inline constexpr int kOffShareDenominator = 1000;

// Rows Top .. Top + Rows - 1 of the panorama, 3 bytes a pixel (red, green,
// blue), row after row.
struct PanoramaBand {
  int Top = 0;
  int Rows = 0;
  int Width = 0;
  int PanoramaHeight = 0;  // of the whole panorama
  const std::uint8_t* Rgb = nullptr;
};
// Called once for every band, in order from the top, on a thread of its own.
using BandSink = std::function<void(const PanoramaBand&)>;

struct BandFillOptions {
  int BandRows = 64;
  bool Simd = true;  // false: the one-pixel sampling path everywhere (same results)
  // false: pictures stored turned are decoded whole and held while the fill
  // reads them, instead of turned losslessly and decoded by rows (see
  // render::PictureRowStream).
  bool TurnLosslessly = true;
};

// What one fill held and did.
struct BandFillReport {
  std::size_t PeakPictureBytes = 0;  // largest sum of the pictures' held rows (and turned JPEGs)
  int Restarts = 0;                  // pictures decoded again from the top
  int Bands = 0;
  long Cells = 0, InterpolatedCells = 0;  // grid cells, and those not mapped pixel by pixel
};

// Fills the laid-out panorama (spans clamped for an open panorama, wrapped
// for a full circle; rs.Panorama's Width and Height set) band by band into
// `sink`. Reports construction progress y / Height for every row, in order,
// on the calling thread. Pixels that no picture gives are black. An error
// of the sink or of a picture ends the fill and is thrown here.
BandFillReport FillPanoramaInBands(RunState& rs, matching::ProgressUi& ui, const BandSink& sink,
                                   const BandFillOptions& options = {});

// Sinks: the panorama record (its Pixels sized Width x Height beforehand);
// a display picture, sized by the first band to the panorama reduced by the
// smallest whole factor that leaves at most `maxPixels` pixels (1: the
// panorama itself), each pixel the mean of its factor x factor block; the
// factor is stored in `factor`.
BandSink PanoramaRecordSink(TPanorama& panorama);
// The smallest whole factor that leaves at most maxPixels of a picture.
int ReductionToFit(std::int64_t width, std::int64_t height, std::int64_t maxPixels);
BandSink DisplayPictureSink(Bitmap32& picture, std::int64_t maxPixels, int& factor);

// Hands a whole panorama record on as bands (for a fill that made it whole).
void HandOnInBands(const TPanorama& panorama, const BandSink& sink, int bandRows = 64);

}  // namespace vistarium::render
