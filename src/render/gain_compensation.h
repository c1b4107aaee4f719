#pragma once
// Gain compensation: phones and compacts change exposure and white balance
// from picture to picture, and the cross-fade would turn each change into a
// ramp of brightness across the overlap. This stage estimates one gain per
// picture and colour channel from the overlaps, so that corresponding
// places look alike in both pictures, before the fill blends them.
//
// The refined correspondences pair up places of adjacent pictures. Around
// each, the mean colour of a small patch is taken in both pictures; patches
// with clipped or nearly black pixels are left out. The gains solve, per
// channel and in logarithms, gain_left * left mean = gain_right * right mean
// in the least-squares sense, with weights that shrink for samples far off
// the consensus (moving things, parallax), and are then scaled so that their
// mean is 1: the panorama keeps the set's overall brightness and colour.

#include <array>
#include <vector>

#include "image/bitmaps.h"
#include "run/run_state.h"

namespace vistarium::render {

// The mean colours (blue, green, red) of one pair of corresponding patches.
struct GainSample {
  int Left = 0, Right = 0;  // pictures
  std::array<double, 3> LeftMean{}, RightMean{};
};

// Patch means around the correspondences of every connection whose refined
// rotation the construction builds from.
std::vector<GainSample> CollectGainSamples(const RunState& rs, const std::vector<DeviceBitmap>& pictures);

// Gains (blue, green, red) of `count` pictures from the samples, mean 1 per
// channel. A picture that no sample reaches keeps the mean.
std::vector<std::array<double, 3>> SolveGains(const std::vector<GainSample>& samples, int count);

// The stage: with rs.CompensateExposure and rs.Refine set, estimates
// rs.Gains on the reduced colours the matching kept (ColourStore), or on
// the pictures decoded at half size, two at a time along the set, where it
// kept none. rs.Gains stays empty when it is off or no connection gives
// samples.
void CompensateExposure(RunState& rs);

}  // namespace vistarium::render
