#pragma once
// The pictures beside the entries of the adjacent-pictures dialog: each
// shows its quantity on a pair of small sample pictures.

#include <QPixmap>

namespace vistarium::desktop {

inline constexpr int kIllustrationWidth = 200;
inline constexpr int kIllustrationHeight = 100;

enum class TwoPicIllustration {
  OverlapWidth,            // two overlapping frames, the common part shaded
  VerticalShift,           // the second frame lower than the first
  VerticalLinesAngle,      // a vertical object upright on one, tilted on the other
  VerticalLengthDifference,    // a vertical object longer on the second picture
  HorizontalLengthDifference,  // a horizontal object longer on the second picture
};

// A 200 x 100 picture drawn with the painter, transparent around the frames.
QPixmap DrawIllustration(TwoPicIllustration which);

}  // namespace vistarium::desktop
