#pragma once
// The full-size grey pyramids of a run's pictures, decoded once in the
// finding phase and shared by the stages that measure on them: the focal
// length estimate and the feature searches (level 0), the refinement of
// each connection during the matching and the calibration's measuring
// again. Pictures are held while their pyramids fit a memory budget; a
// picture beyond it is decoded each time it is asked for, as before the
// store, so that large sets keep their memory bounded.

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>

#include "refine/refinement.h"
#include "run/run_state.h"

namespace vistarium::refine {

class GreyStore : public StageStore {
public:
  // 128 MB hold the pyramids of 96 megapixels: every picture of a set of
  // eight pictures of 12 megapixels, which the calibration then measures
  // again without decoding them a second time (taipei's six: 12 % faster).
  // The finding phase's peak stays below the construction's, which holds
  // the panorama's bands.
  static constexpr std::size_t kDefaultBudget = std::size_t{128} << 20;
  explicit GreyStore(std::size_t budgetBytes = kDefaultBudget) : budget_(budgetBytes) {}
  // The grey pyramid of picture p of the run (LoadGrey and its halvings).
  // Safe to call from several threads at once; a picture asked for by two
  // threads at the same time may be decoded twice, and is held once.
  std::shared_ptr<const GreyPyramid> Pyramid(const RunState& rs, int p);
  std::size_t HeldBytes() const;
  bool Holds(int p) const;

private:
  mutable std::mutex mutex_;
  std::size_t budget_;
  std::size_t held_ = 0;
  std::map<int, std::shared_ptr<const GreyPyramid>> pictures_;
};

// The run's store (made on first use); emptied with the finding results,
// and at the end of the finding phase.
GreyStore& GreyPicturesOf(RunState& rs);

}  // namespace vistarium::refine
