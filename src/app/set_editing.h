#pragma once
// Returning from a made panorama (or from connections ready for correction)
// to editing the picture set: the connections of pairs whose pictures stay
// neighbours are kept and not searched again by the next Join; and, when
// Join named connections whose pictures are out of order, the order in which
// they fit.

#include <optional>
#include <string>
#include <vector>

#include "params/parameter_sets.h"
#include "run/progress.h"
#include "run/run_state.h"

namespace vistarium::app {

// A connection taken from a run: its two pictures' files, the halves as
// placed (full-size picture pixels are what counts), and its refinement with
// the camera it was measured under.
struct KeptConnection {
  std::string LeftFile, RightFile;
  TConnectionSide Left, Right;
  TConnectionRefinement Refinement;
  TPoint PictureSize;
  double FocalPixels = 0.0, Aberration = 0.0;
};

// Every connection of the run (the closing pair of a full circle included)
// that the connection check finds sound; a named one is searched again.
std::vector<KeptConnection> TakeConnections(const RunState& rs);

// For each adjacent pair of `files` (i with i + 1, and for a full circle the
// last with the first), the kept connection of exactly those two files in
// that order, if there is one.
std::vector<std::optional<KeptConnection>> ConnectionsForSet(const std::vector<KeptConnection>& kept,
                                                              const std::vector<std::string>& files, bool is360);

// The finding phase (with or without the time estimate, as for Join or
// Stitch Manually) that keeps the given connections of pairs that are still
// neighbours: their points are carried into the new projection, their
// refinement kept when the camera is the same (else it is measured again by
// the construction), and those pairs are not searched.
void RunFindingPhaseKeeping(RunState& rs, matching::ProgressUi& ui, const TPictureSetData& pictures,
                            const params::ParameterSets& parameters, const std::vector<KeptConnection>& kept,
                            bool withEstimate);

// --- Pictures out of order ---------------------------------------------------

// Whether the pictures of connection (i, j) fit the other way round: enough
// of their feature matches agree, however loosely, on a rotation that puts
// picture j to the left of picture i.
bool ConnectionReversed(const RunState& rs, int i, int j);

// The order (indices of the present pictures, left to right) in which each
// run of consecutive reversed connections is turned round; `reversed` holds
// one flag per connection in set order. The present order when none is.
std::vector<int> OrderTurningReversed(int count, bool is360, const std::vector<bool>& reversed);

// The question that offers the order (pictures counted from 1).
std::string ReorderQuestion(const std::vector<int>& order);

// The order in which the pictures of a joined run fit, from its named
// connections whose pictures stand the wrong way round; empty when none
// does.
std::vector<int> FittingOrder(const RunState& rs);

// What the command line says of that order (pictures counted from 1).
std::string ReorderNote(const std::vector<int>& order);

}  // namespace vistarium::app
