#pragma once
// What the main window decides without a toolkit: the workflow stages and
// their table of enabled commands and visible panels, the geometry of the
// thumbnail strip and of the panorama preview, the drop slot of a dragged
// thumbnail, the connection menu's rules, the order in which chosen picture
// files are taken, and the texts the window shows around them.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "image/bitmaps.h"

namespace vistarium::app {

enum class WorkflowStage : std::uint8_t {
  NoPictures = 0,        // fewer than two pictures
  PicturesLoaded = 1,    // two or more pictures, nothing computed
  Finding = 2,           // the finding phase runs
  ConnectionsReady = 3,  // connections exist and may be corrected by hand
  Constructing = 4,      // the construction phase runs
  PanoramaMade = 5,      // a panorama was built from the picture set
  PanoramaOpened = 6,    // a panorama file was opened for viewing
};
inline constexpr int kStageCount = 7;

// Names of the menus, menu items and the check box that the stage table
// switches, in table order. Every tool button follows its menu item.
std::span<const std::string_view> StageTableItems();
// Enabled state of one named item in a stage. Throws std::invalid_argument
// for a name that is not in the table.
bool IsEnabledInStage(std::string_view item, WorkflowStage stage);

struct StagePanels {
  bool PanoramaStrip = false;   // sbPanorama
  bool ProgressPanel = false;   // pnlProgress
  bool LoadedName = false;      // lblNameLoadedPan
};
// The progress panel stays hidden while Stitch Manually runs its finding phase.
StagePanels PanelsFor(WorkflowStage stage, bool manualStitching);

// Stage after loading or deleting pictures.
WorkflowStage StageForPictureCount(int count);

// ---------------------------------------------------------------------------
// Thumbnail strip: slots 110 pixels wide, a 100 x 100 picture box in each.
inline constexpr int kThumbnailSlot = 110;
inline constexpr int kThumbnailBox = 100;

struct ThumbnailGeometry {
  int Width = 0, Height = 0;  // picture inside the box
  int Left = 0, Top = 0;      // its offset inside the box
};
// The picture fitted into the box and centred. Throws std::invalid_argument
// for a size that is not positive.
ThumbnailGeometry ComputeThumbnailGeometry(int pictureWidth, int pictureHeight);

// Slot shift of a release point v pixels from the dragged picture's frame
// start: floor(v / 110).
int DragSlotShift(int v);
// Where a thumbnail dragged from `source` and released at (x, y) relative to
// its image lands; nothing when the drop is void (outside the strip's
// pictures, above or below the image, or on itself).
std::optional<int> DropTarget(int source, int x, int y, const ThumbnailGeometry& thumb, int pictureCount);

// Chosen files are taken in ascending order, compared case-insensitively.
std::vector<std::string> SortedPicturePaths(std::vector<std::string> paths);
// The message shown for a picture whose size differs from the set's.
std::string SizeMismatchMessage(const std::string& path);

// ---------------------------------------------------------------------------
// Panorama preview in the panorama strip.
struct PreviewGeometry {
  double Scale = 0.0;
  int ImageWidth = 0, ImageHeight = 0, ImageLeft = 0, ImageTop = 0;
  int PanelWidth = 0, PanelHeight = 0;
};
// Preview of a panorama made from n pictures: at most 110 n - 20 wide and
// 125 high. Throws std::invalid_argument for an empty panorama or n < 1.
PreviewGeometry MadePanoramaPreview(int panoramaWidth, int panoramaHeight, int pictureCount);
// Preview of an opened panorama, centred in a panel as wide as the strip
// less 10 pixels.
PreviewGeometry OpenedPanoramaPreview(int panoramaWidth, int panoramaHeight, int stripWidth);
// The same two in a strip that grew with the window by extraWidth x
// extraHeight beyond its starting size: the made panorama's preview up to
// 125 + extraHeight high and 110 n - 20 + extraWidth wide, never wider than
// the strip's visible width less 20 (so that no scroll bar is needed); the
// opened panorama's in a panel 115 + extraHeight high. Without growth they
// are the two above (the first also fitted to the visible width).
PreviewGeometry GrownPanoramaPreview(int panoramaWidth, int panoramaHeight, int pictureCount, int visibleWidth,
                                     int extraWidth, int extraHeight);
PreviewGeometry GrownOpenedPreview(int panoramaWidth, int panoramaHeight, int stripWidth, int extraHeight);
// The preview's pixels (0xFFRRGGBB, by rows), each the nearest panorama
// pixel (Round(i / s), Round(j / s)); a source outside the panorama stays black.
Bitmap32 PreviewPixels(const Bitmap32& panorama, const PreviewGeometry& geometry);

// ---------------------------------------------------------------------------
// Connection menu of thumbnail k in a set of n pictures.
struct ConnectionMenuState {
  bool AdjustLeft = false;
  bool AdjustRight = false;
};
ConnectionMenuState ConnectionMenuFor(int k, int n, bool is360);
// The pairs (left, right) that Adjust Left and Adjust Right correct.
std::pair<int, int> LeftConnectionPair(int k, int n);
std::pair<int, int> RightConnectionPair(int k, int n);

}  // namespace vistarium::app
