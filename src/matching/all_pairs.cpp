#include "matching/all_pairs.h"

#include <algorithm>
#include <future>

#include "matching/pair_matching.h"
#include "matching/preparation.h"
#include "refine/refinement.h"
#include "render/picture_file.h"
#include "render/working_picture.h"

namespace vistarium::matching {

namespace {
void StoreSide(const TProjectionParameters& pp, TConnectionSide& side, const std::array<TPoint, 3>& points) {
  for (std::size_t k = 0; k < 3; ++k) {
    side.WorkingPoints[k] = {static_cast<double>(points[k].X), static_cast<double>(points[k].Y)};
    side.AnglePoints[k] = geom::ToFullScale(pp, side.WorkingPoints[k]);
    side.ImagePoints[k] = geom::AnglesToPicture(pp, side.AnglePoints[k]);
  }
}
}  // namespace

void StoreConnection(RunState& rs, int i, int j, const std::array<TPoint, 3>& left,
                     const std::array<TPoint, 3>& right) {
  StoreSide(rs.Projection, rs.Geometry.at(static_cast<std::size_t>(i)).RightConnection, left);
  StoreSide(rs.Projection, rs.Geometry.at(static_cast<std::size_t>(j)).LeftConnection, right);
}

void MatchAllPairs(RunState& rs, ProgressUi& ui, const std::vector<bool>* given) {
  DeviceBitmap source;  // the picture being prepared
  // With refinement, the grey full-size copies of the pair's two pictures,
  // taken from the same decoding as their working pictures.
  refine::GreyPyramid leftGrey, rightGrey;
  const int count = rs.PictureSet.Count;
  rs.KeptPictures.clear();
  if (rs.KeepPictures) rs.KeptPictures.resize(static_cast<std::size_t>(std::max(count, 0)));
  // Hands a decoded picture to the construction once nothing here needs it.
  const auto keep = [&rs, &source](int p) {
    if (rs.KeepPictures && rs.KeptPictures[static_cast<std::size_t>(p)].Pixels.empty())
      rs.KeptPictures[static_cast<std::size_t>(p)] = std::move(source);
  };
  // The next pair's right picture is decoded while this pair is matched.
  const auto decode = [&rs](int p) {
    return std::async(std::launch::async, [file = rs.PictureSet.FileNames.at(static_cast<std::size_t>(p))] {
      return render::LoadPictureFile(file);
    });
  };
  const int pairs = rs.PictureSet.Is360 ? count : count - 1;
  std::future<DeviceBitmap> next;
  if (pairs > 0) next = decode(1 % count);
  for (int i = 0; i < pairs; ++i) {
    if (ui.StopRequested() || StopSignalled(rs)) {
      rs.CancelRequested = true;
      return;
    }
    rs.CurrentPairIndex = i;
    const int j = i + 1 == count ? 0 : i + 1;
    if (i == 0) {
      PrepareWorkingPicture(rs, 0, source, rs.LeftWorking);
      if (rs.Refine || (rs.ManualStitching && rs.PlaceByFeatures)) leftGrey = refine::BuildGreyPyramid(source);
      keep(0);
    } else {
      render::CopyWorkingPicture(rs.RightWorking, rs.LeftWorking);
      leftGrey = std::move(rightGrey);
    }
    source = next.get();
    if (i + 1 < pairs) next = decode(i + 2 == count ? 0 : i + 2);
    PrepareDecodedWorkingPicture(rs, j, source, rs.RightWorking);
    if (rs.Refine || (rs.ManualStitching && rs.PlaceByFeatures)) rightGrey = refine::BuildGreyPyramid(source);
    keep(j);
    if (given && static_cast<std::size_t>(i) < given->size() && (*given)[static_cast<std::size_t>(i)]) continue;
    const PairMatch match = MatchPair(rs, ui, rs.LeftWorking, rs.RightWorking);
    if (match.Cancelled || rs.CancelRequested) return;
    StoreConnection(rs, i, j, match.Left, match.Right);
    if (rs.ManualStitching && rs.PlaceByFeatures) {
      // The starting points go where the feature search sees the pictures
      // overlap; without a confident answer they stay where the expected
      // overlap puts them.
      std::string note;
      refine::TryRescue(rs, i, j, leftGrey, rightGrey, note);
      if (StopSignalled(rs)) {
        rs.CancelRequested = true;
        return;
      }
    }
    if (rs.Refine) {
      // Connections placed without search (Stitch Manually) are measured
      // but not rescued: the user places them.
      refine::RefinementSettings settings;
      settings.Rescue = !rs.ManualStitching;
      refine::RefineStoredConnection(rs, i, j, leftGrey, rightGrey, settings);
    }
  }
}

}  // namespace vistarium::matching
