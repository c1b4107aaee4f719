#pragma once
// The tool-bar images and the program's icon, drawn in code with QPainter so
// that the program carries no binary resources. All images share one flat
// style: 2-pixel dark outlines (at 24 pixels), a few plain colours, drawn on a
// 24-unit grid and scaled to the size asked for.

#include <QIcon>
#include <QPixmap>

namespace vistarium::desktop {

// Image index as in the tool bar: 0 new panorama, 1 load pictures, 2 save panorama, 3 adjacent-pictures parameters,
// 4 camera parameters, 5 stitching-method parameters, 6 help, 7 join, 8 manual adjustment, 9 open panorama,
// 10 full size view, 11 browse panorama, 12 stitch manually.
inline constexpr int kToolImageCount = 13;

// The image of one tool button, size x size pixels on a transparent ground.
// The disabled image is the enabled one turned grey, lightened and faded.
// An index outside 0 .. kToolImageCount - 1 or a size below 1 gives a null pixmap.
QPixmap ToolImage(int index, bool enabled, int size = 24);

// The tool button's icon at 16, 24, 32 and 48 pixels, with the Normal and
// Disabled modes taken from ToolImage.
QIcon ToolIcon(int index);

// The program's icon (a wide panorama strip with a curved horizon) at 16 to 256 pixels.
QIcon ProgramIcon();

// The program's icon as one size x size pixmap (a size below 1 gives a null pixmap).
QPixmap ProgramImage(int size);

}  // namespace vistarium::desktop
