#include "render/colour_store.h"

#include <utility>

namespace vistarium::render {

void ColourStore::Keep(const std::string& path, std::shared_ptr<const ReducedPicture> picture) {
  const std::lock_guard<std::mutex> lock(mutex_);
  pictures_[path] = std::move(picture);
}

std::shared_ptr<const ReducedPicture> ColourStore::Picture(const std::string& path) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = pictures_.find(path);
  return found == pictures_.end() ? nullptr : found->second;
}

ColourStore& ReducedColoursOf(RunState& rs) {
  return StageStoreIn<ColourStore>(rs.Stores.ReducedColours, [] { return std::make_shared<ColourStore>(); });
}

const ColourStore* ReducedColoursIn(const RunState& rs) {
  return dynamic_cast<const ColourStore*>(rs.Stores.ReducedColours.get());
}

}  // namespace vistarium::render
