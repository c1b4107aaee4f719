#pragma once
// Layout of the panorama picture: which part of the panorama frame it shows,
// its size, each picture's columns, and the mapping of a panorama pixel into
// a picture. Columns are longitude (panorama pixels); rows are the
// equal-area height, row 0 at the top.

#include <stdexcept>
#include <string>

#include "run/run_state.h"

namespace vistarium::alignment {

// Thrown when the pictures leave no panorama to lay out.
class LayoutError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The largest side of a panorama: what JPEG holds.
inline constexpr int kMaxPanoramaSide = 65500;

// The projection the panorama picture is laid out in: the run's, or at a
// scale below 1 (rs.Layout.Scale) one with fewer panorama pixels to a turn.
TProjectionParameters PanoramaProjection(const RunState& rs);

void MeasurePictureSpans(RunState& rs);
void MeasureCommonBand(RunState& rs);
// Open panorama: the rectangle that every picture covers.
void PlainExtent(RunState& rs);
// Full circle: the band that every picture covers, one turn wide.
void CircleExtent(RunState& rs);
// Sizes the panorama and clears every pixel. Throws LayoutError when the
// layout leaves no pixel.
void AllocatePanorama(RunState& rs);
// The same without the pixel store, for a fill that hands its rows on.
void SizePanorama(RunState& rs);

// The panorama's width and height as the measured layout gives them
// (before AllocatePanorama).
TPoint LaidOutSize(const RunState& rs);

// Measures spans, band and frame (with the chosen crop, crop.h) at
// rs.RequestedScale, and again at a smaller scale when a side would exceed
// kMaxPanoramaSide. Returns the
// sentence that says so (empty when nothing was scaled down on its own).
std::string LayOutPanorama(RunState& rs);
// Open panorama: spans become panorama columns clamped into the picture.
void ClampSpans(RunState& rs);
// Full circle: spans wrapped into [0, N).
void WrapSpans(RunState& rs);

// Panorama pixel (column, row) to picture i's pixel coordinates.
TRealPoint OutputToPicturePlain(const RunState& rs, int i, TRealPoint uv);
// The same for a full circle; (-10, -10) for a column outside the picture's span.
TRealPoint OutputToPictureCircle(const RunState& rs, int i, TRealPoint uv);
bool InSpan(const RunState& rs, int i, double x);

}  // namespace vistarium::alignment
