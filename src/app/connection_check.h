#pragma once
// A check of every matched connection: its three point pairs must fit one
// rotation of the viewing sphere. A correct match leaves a residual well
// under one working-grid cell; a match at a wrong place leaves several.

#include <vector>

#include "run/run_state.h"

namespace vistarium {

struct ConnectionCheck {
  int Left = 0, Right = 0;      // pictures i and j of the pair
  double ResidualPixels = 0.0;  // root mean square misfit, full-size pixels (panorama pixels)
  double ResidualCells = 0.0;   // the same in working-grid cells
};

// Residuals above this many working cells mark a connection as unreliable.
inline constexpr double kUnreliableResidualCells = 1.0;

// One entry per adjacent pair in set order (with the closing pair of a full
// circle), from the stored angle points.
std::vector<ConnectionCheck> CheckConnections(const RunState& rs);

}  // namespace vistarium
