#pragma once
// Correcting one connection by hand: the two triangles of its corresponding
// points, drawn by inverting pixels, moved by dragging their corners, checked
// and written back into the run state. The adjustment window holds a
// ConnectionAdjustment and leaves every decision here.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "geom/point.h"
#include "image/bitmaps.h"
#include "run/run_state.h"

namespace vistarium::app {

// Vertex 1, 2, 3 of a triangle are connection points [0], [1], [2]: the
// upper and lower end of the matched line and the anchor.
using TTriangle = std::array<TPoint, 3>;

// The corners of the two triangles and the drag in progress.
struct ConnectionAdjustment {
  std::int32_t LeftIndex = -1, RightIndex = -1;  // the left picture and its right neighbour
  TTriangle LeftTriangle{}, RightTriangle{};     // picture pixels
  bool Dragging = false;
  bool DragRight = false;           // the dragged corner belongs to the right picture
  std::int32_t DragImageTag = -1;   // picture index of the image the drag started on
  std::int32_t DragVertex = 0;      // 1, 2 or 3; 0 when none
  TPoint PressPoint, ReleasePoint;
  TPoint DragOrigin;                // where the dragged corner was at the press
};

// ---------------------------------------------------------------------------
// Drawing

// Inverting adds 128 to red, green and blue modulo 256; the same in the
// packed (0x00BBGGRR) and the display (0xAARRGGBB) form.
inline constexpr std::uint32_t kInvertMask = 0x00808080u;

// The pixels a triangle inverts, in order: the three vertices, then the
// inner pixels of the edges 1->2, 2->3 and 3->1. A pixel may appear more
// than once (corners that coincide); it is then inverted that many times.
std::vector<TPoint> TrianglePixels(const TTriangle& t);
// Inner pixels of the edge p -> q, stepping along its longer axis.
std::vector<TPoint> EdgeInnerPixels(TPoint p, TPoint q);

// Draws the triangle by inverting its pixels; drawing it again restores the
// picture. Pixels outside the picture are left out.
void DrawTriangle(DeviceBitmap& picture, const TTriangle& t);
void DrawTriangle(Bitmap32& picture, const TTriangle& t);

// ---------------------------------------------------------------------------
// Opening and dragging

// LeftIndex = l, RightIndex = r, no drag, and the triangles from the run:
// the ImagePoints of picture l's RightConnection and of picture r's
// LeftConnection, each coordinate rounded. Throws std::out_of_range for an
// index outside the geometry array.
ConnectionAdjustment OpenAdjustment(const RunState& rs, int l, int r);

// The vertex (1, 2 or 3) near p, |dx| + |dy| < reach (10 picture pixels at
// full size; more on a picture shown reduced); a later vertex wins over an
// earlier one; 0 when none is near.
int NearestVertex(const TTriangle& t, TPoint p, int reach = 10);

// A left-button press at p on the image of picture `tag`: starts dragging
// the vertex near p on that picture's triangle. Returns whether a drag
// started.
bool PressCorner(ConnectionAdjustment& a, int tag, TPoint p, int reach = 10);

// The triangle a release changed, with its corners before the change (for
// erasing it).
struct CornerMove {
  bool Right = false;
  TTriangle Before{};
};

// The mouse moved to p on the image of picture `tag` during a drag: the
// dragged corner follows it while it is on the pressed picture, and waits
// where it was at the press while it is not. The triangle it changed, if any.
std::optional<CornerMove> DragCorner(ConnectionAdjustment& a, int tag, TPoint p, TPoint pictureSize);

// A left-button release at p on the image of picture `tag` (-1 when on
// neither image), pictures W x H. Moves the dragged vertex to p when the
// release is on the pressed image with 0 <= X < W and 0 <= Y < H, else puts
// it back where it was at the press; ends the drag in every case.
std::optional<CornerMove> ReleaseCorner(ConnectionAdjustment& a, int tag, TPoint p, TPoint pictureSize);

// Where to scroll a view of `view` pixels on a picture of `picture` pixels
// (its top-left corner, inside the picture) so that it shows as many
// corners of the triangle as it can: the whole triangle when it fits, else
// two corners of an edge, else one corner.
TPoint ViewOriginFor(const TTriangle& t, TPoint view, TPoint picture);

// ---------------------------------------------------------------------------
// Saving

inline constexpr std::string_view kLeftTriangleSmall =
    "The triangle on the left picture is very small.\nPlease increase it or cancel manual adjustment.";
inline constexpr std::string_view kLeftTriangleNarrow =
    "The triangle on the left picture is very narrow.\nPlease change it or cancel manual adjustment.";
inline constexpr std::string_view kRightTriangleSmall =
    "The triangle on the right picture is very small.\nPlease increase it or cancel manual adjustment.";
inline constexpr std::string_view kRightTriangleNarrow =
    "The triangle on the right picture is very narrow.\nPlease change it or cancel manual adjustment.";

enum class TriangleProblem { None, Small, Narrow };

// Small when the perimeter P is below 0.3 x the picture height; otherwise
// narrow when the two shorter edges exceed the longest L by less than
// 0.006 L (three corners on one line exceed it by nothing).
TriangleProblem CheckTriangle(const TTriangle& t, int pictureHeight);

// The message that refuses the triangles, the left one checked first, or ""
// when both may be saved.
std::string SaveRefusal(const ConnectionAdjustment& a, int pictureHeight);

// Writes both triangles into the connection: ImagePoints = the corners,
// AnglePoints = PictureToAngles of them, WorkingPoints = ToWorkingScale of
// those, on picture LeftIndex's RightConnection and picture RightIndex's
// LeftConnection. Linked flags are left alone.
void StoreAdjustment(RunState& rs, const ConnectionAdjustment& a);

}  // namespace vistarium::app
