#pragma once
// The pictures' colours as the matching decodes them (reduced by the
// decoder's own scaling of its transform, for the working pictures), kept
// for the rest of the run: the exposure gains compare the overlaps on them
// instead of decoding every picture once more, which took a tenth of a
// 12 MP set's run, and a circle matched again under a new focal length
// builds its working pictures from them. A kept picture has some hundred
// thousand pixels (a twentieth of a 12 MP picture's), whatever the set.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "render/picture_file.h"
#include "run/run_state.h"

namespace vistarium::render {

class ColourStore : public StageStore {
public:
  // Safe to call from several threads at once.
  void Keep(const std::string& path, std::shared_ptr<const ReducedPicture> picture);
  // The picture kept for that file; none when there is none.
  std::shared_ptr<const ReducedPicture> Picture(const std::string& path) const;

private:
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const ReducedPicture>> pictures_;
};

// The run's store (made on first use); emptied with the finding results.
ColourStore& ReducedColoursOf(RunState& rs);
// The run's store when it has one.
const ColourStore* ReducedColoursIn(const RunState& rs);

}  // namespace vistarium::render
