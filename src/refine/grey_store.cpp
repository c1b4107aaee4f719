#include "refine/grey_store.h"

#include <utility>

namespace vistarium::refine {

namespace {
std::size_t BytesOf(const GreyPyramid& pyramid) {
  std::size_t bytes = 0;
  for (const GreyPicture& level : pyramid.Levels) bytes += level.Values.size();
  return bytes;
}
}  // namespace

std::shared_ptr<const GreyPyramid> GreyStore::Pyramid(const RunState& rs, int p) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = pictures_.find(p);
    if (found != pictures_.end()) return found->second;
  }
  auto pyramid = std::make_shared<const GreyPyramid>(
      BuildGreyPyramid(LoadGrey(rs.PictureSet.FileNames.at(static_cast<std::size_t>(p)))));
  const std::size_t bytes = BytesOf(*pyramid);
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = pictures_.find(p);
  if (found != pictures_.end()) return found->second;
  if (held_ + bytes <= budget_) {
    held_ += bytes;
    pictures_.emplace(p, pyramid);
  }
  return pyramid;
}

std::size_t GreyStore::HeldBytes() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

bool GreyStore::Holds(int p) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return pictures_.count(p) > 0;
}

GreyStore& GreyPicturesOf(RunState& rs) {
  return StageStoreIn<GreyStore>(rs.Stores.GreyPictures, [] { return std::make_shared<GreyStore>(); });
}

}  // namespace vistarium::refine
