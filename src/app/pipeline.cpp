#include "app/pipeline.h"

#include "matching/all_pairs.h"
#include "matching/preparation.h"

namespace vistarium::app {

void RunFindingPhase(RunState& rs, matching::ProgressUi& ui, const TPictureSetData& pictures,
                     const params::ParameterSets& parameters) {
  rs.CurrentPairIndex = -1;
  matching::TakeRunSnapshot(rs, pictures, parameters);
  matching::SetUpProjection(rs);
  matching::EstimateFindingWork(rs);
  matching::ReportFindingProgress(rs, ui, 0.0);
  matching::MatchAllPairs(rs, ui);
}

void RunFindingPhaseWithoutEstimate(RunState& rs, matching::ProgressUi& ui, const TPictureSetData& pictures,
                                    const params::ParameterSets& parameters) {
  rs.CancelRequested = false;
  rs.CurrentPairIndex = -1;
  matching::TakeRunSnapshot(rs, pictures, parameters);
  matching::SetUpProjection(rs);
  matching::MatchAllPairs(rs, ui);
}

}  // namespace vistarium::app
