#pragma once
// Matching of all adjacent pairs of the set, left to right (and, for a full
// circle, the last picture with the first), storing each pair's three point
// pairs in the two pictures' connection sides.

#include <array>
#include <vector>

#include "run/run_state.h"
#include "run/progress.h"

namespace vistarium::matching {

// Needs the snapshot and SetUpProjection. Leaves CancelRequested set when the
// user stopped the phase, or sets it before a pair when the progress display
// asks to stop; the pairs before that are stored. With rs.Refine each stored
// connection is also refined on the full-size pictures (and handed to the
// rescue when still unreliable). Pairs whose flag in `given` is set already
// hold their connection (kept from an earlier run) and are not searched;
// with rs.Refine they are measured again when their refinement no longer
// holds (it was measured under another camera).
// With `measure` false the connections are stored unmeasured, for
// MeasureConnections to measure later.
void MatchAllPairs(RunState& rs, ProgressUi& ui, const std::vector<bool>* given = nullptr, bool measure = true);

// Measures the stored connections that have no refinement that holds, as
// the matching would have (rs.Refine), from the run's grey pictures.
// Sets CancelRequested when stopped; the connections measured before stay.
void MeasureConnections(RunState& rs, ProgressUi& ui);

// Writes the working, angle and image forms of the six points of pair (i, j).
void StoreConnection(RunState& rs, int i, int j, const std::array<TPoint, 3>& left,
                     const std::array<TPoint, 3>& right);

}  // namespace vistarium::matching
