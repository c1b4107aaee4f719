#include "matching/all_pairs.h"

#include <omp.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "matching/pair_matching.h"
#include "matching/preparation.h"
#include "refine/grey_store.h"
#include "refine/refinement.h"
#include "render/colour_store.h"
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

namespace {

// One picture as the finding phase needs it: the colours for its working
// picture and, with refinement, its full-size grey pyramid.
struct DecodedPicture {
  DeviceBitmap Colour;                                   // full size (exact mode)
  std::shared_ptr<const render::ReducedPicture> Reduced;  // or reduced (with refinement)
  std::shared_ptr<const refine::GreyPyramid> Grey;
};

// With refinement, two cheap decodings replace one full one: the colours
// reduced by the decoder's own scaling for the working picture, and the
// luma alone at full size for the refinement (the run's grey store, which
// keeps it for the calibration). Without it (the exact mode) the working
// picture samples the full-size picture, whose grey serves the feature
// search that places connections for Stitch Manually. The reduced colours
// stay in the run (for the exposure gains, and a second matching).
DecodedPicture Decode(const RunState& rs, refine::GreyStore* greys, render::ColourStore* colours, int p) {
  const std::string& file = rs.PictureSet.FileNames.at(static_cast<std::size_t>(p));
  DecodedPicture d;
  if (!rs.Refine) {
    d.Colour = render::LoadPictureFile(file);
    if (rs.ManualStitching && rs.PlaceByFeatures)
      d.Grey = std::make_shared<const refine::GreyPyramid>(refine::BuildGreyPyramid(d.Colour));
    return d;
  }
  const int factor = render::WorkingDecodeFactor(rs.Projection);
  d.Reduced = colours->Picture(file);
  if (!d.Reduced || d.Reduced->Factor != factor) {
    d.Reduced = std::make_shared<const render::ReducedPicture>(render::LoadReducedPicture(file, factor));
    colours->Keep(file, d.Reduced);
  }
  d.Grey = greys->Pyramid(rs, p);
  const refine::GreyPicture& base = d.Grey->Levels.at(0);
  if (base.Width != rs.Projection.PictureSize.X || base.Height != rs.Projection.PictureSize.Y)
    throw std::runtime_error("Picture \"" + file + "\" is " + std::to_string(base.Width) + " x " +
                             std::to_string(base.Height) + " pixels, but the set's pictures are " +
                             std::to_string(rs.Projection.PictureSize.X) + " x " +
                             std::to_string(rs.Projection.PictureSize.Y));
  return d;
}

void PrepareWorking(RunState& rs, int p, const DecodedPicture& d, TColMatrix& target) {
  if (!rs.Refine) {
    PrepareDecodedWorkingPicture(rs, p, d.Colour, target);
    return;
  }
  render::BuildWorkingPictureFromReduced(rs.Projection, *d.Reduced, rs.RawWorking);
  render::SmoothWorkingPicture(rs.RawWorking, rs.Parameters.Method.PreliminarySmoothing, target);
}

// Connections measured at full size on a thread of their own while the
// next pairs are searched: the search of a pair and the measuring of the
// one before are independent, and their parallel loops are short, so that
// the second core gains the search nothing and the measuring a third of
// its time, where the two side by side keep both cores busy. The calling
// thread measures too once the searches are done, or when two connections
// wait, so that no more than four pairs' grey pyramids are held. Each
// connection is measured as it would be alone; none uses the feature
// store, which stays the calling thread's.
class ConnectionMeasuring {
public:
  // `alongside` false measures each connection at once on the calling
  // thread: for a run kept to one thread (OMP_NUM_THREADS=1, as sets
  // joined side by side run), and for a set of two pairs, whose one overlap
  // would cost the second search its second core.
  ConnectionMeasuring(RunState& rs, bool alongside)
      : rs_(rs), alongside_(alongside), threads_(omp_get_max_threads()) {}
  ConnectionMeasuring(const ConnectionMeasuring&) = delete;
  ConnectionMeasuring& operator=(const ConnectionMeasuring&) = delete;
  // A stop or a failure drops the connections not yet measured: they keep
  // what they had and are measured again next time.
  ~ConnectionMeasuring() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      jobs_.clear();
      closed_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
    omp_set_num_threads(threads_);
  }

  // Connection (i, j) measured as `settings` say: one that may be rescued
  // here at once (the rescue searches features in the run's store), any
  // other as Add.
  void Measure(int i, int j, std::shared_ptr<const refine::GreyPyramid> left,
               std::shared_ptr<const refine::GreyPyramid> right, const refine::RefinementSettings& settings) {
    if (settings.Rescue)
      refine::RefineStoredConnection(rs_, i, j, *left, *right, settings);
    else
      Add(i, j, std::move(left), std::move(right), settings);
  }

  void Add(int i, int j, std::shared_ptr<const refine::GreyPyramid> left,
           std::shared_ptr<const refine::GreyPyramid> right, const refine::RefinementSettings& settings) {
    if (!alongside_) {
      Run({i, j, std::move(left), std::move(right), settings});
      return;
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back({i, j, std::move(left), std::move(right), settings});
    }
    if (!worker_.joinable()) {
      // From now on each thread keeps one core: more threads than cores
      // leave the parallel loops waiting for one that is not running.
      omp_set_num_threads(1);
      worker_ = std::thread([this] { Work(); });
    }
    wake_.notify_one();
    while (Waiting() >= 2 && RunOne()) {
    }
  }

  // Measures what is left, on this thread too, and waits for the rest;
  // a failure of either thread reaches the caller.
  void Finish() {
    // The searches are done: this thread's measuring takes its threads
    // back.
    omp_set_num_threads(threads_);
    while (RunOne()) {
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
    if (failure_) std::rethrow_exception(failure_);
  }

private:
  struct Job {
    int I = 0, J = 0;
    std::shared_ptr<const refine::GreyPyramid> Left, Right;
    refine::RefinementSettings Settings;
  };

  std::size_t Waiting() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return jobs_.size();
  }

  std::optional<Job> Take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.empty()) return std::nullopt;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    return job;
  }

  void Run(const Job& job) { refine::RefineStoredConnection(rs_, job.I, job.J, *job.Left, *job.Right, job.Settings); }

  bool RunOne() {
    std::optional<Job> job = Take();
    if (!job) return false;
    Run(*job);
    return true;
  }

  void Work() {
    // One core for this thread's measuring; the calling thread's searches
    // keep their own threads.
    omp_set_num_threads(1);
    for (;;) {
      std::optional<Job> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !jobs_.empty() || closed_; });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      try {
        Run(*job);
      } catch (...) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
        jobs_.clear();
        return;
      }
    }
  }

  RunState& rs_;
  const bool alongside_;
  const int threads_;  // the calling thread's, given back at the end
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool closed_ = false;
  std::exception_ptr failure_;
  std::thread worker_;
};

// How the matching measures a connection.
refine::RefinementSettings FirstMeasuring(const RunState& rs) {
  // Connections placed without search (Stitch Manually) are measured but
  // not rescued: the user places them. When the calibration on all
  // connections follows, it searches again the connections that do not
  // hold under the calibrated camera, which finds more than a search under
  // a camera the calibration is about to correct.
  refine::RefinementSettings settings;
  settings.Rescue = !rs.ManualStitching && !(rs.Calibrate && rs.Refine);
  // Measured at a reduced size for the calibration, which measures them
  // again at full size under the camera it fits.
  if (!rs.ManualStitching && rs.Calibrate) settings.FinestLevel = refine::MeasuringLevel(rs.Projection.PictureSize);
  return settings;
}

// Whether connection i (with its right neighbour j) holds a refinement
// measured from its present points.
bool MeasuredNow(const RunState& rs, int i, int j) {
  return RefinementCurrent(rs.Geometry.at(static_cast<std::size_t>(i)).RightRefinement,
                           rs.Geometry.at(static_cast<std::size_t>(i)).RightConnection,
                           rs.Geometry.at(static_cast<std::size_t>(j)).LeftConnection);
}

}  // namespace

void MatchAllPairs(RunState& rs, ProgressUi& ui, const std::vector<bool>* given, bool measure) {
  // The grey pyramids of the pair's two pictures, when decoded (with
  // refinement, or for the feature search of Stitch Manually).
  std::shared_ptr<const refine::GreyPyramid> leftGrey, rightGrey;
  const int count = rs.PictureSet.Count;
  refine::GreyStore* greys = rs.Refine ? &refine::GreyPicturesOf(rs) : nullptr;
  render::ColourStore* colours = rs.Refine ? &render::ReducedColoursOf(rs) : nullptr;
  // The next pair's right picture is decoded while this pair is matched.
  const auto decode = [&rs, greys, colours](int p) {
    return std::async(std::launch::async, [&rs, greys, colours, p] { return Decode(rs, greys, colours, p); });
  };
  const int pairs = rs.PictureSet.Is360 ? count : count - 1;
  ConnectionMeasuring measuring(rs, pairs >= 3 && omp_get_max_threads() >= 2);
  std::future<DecodedPicture> next;
  if (pairs > 0) next = decode(1 % count);
  for (int i = 0; i < pairs; ++i) {
    if (ui.StopRequested() || StopSignalled(rs)) {
      rs.CancelRequested = true;
      return;
    }
    rs.CurrentPairIndex = i;
    const int j = i + 1 == count ? 0 : i + 1;
    if (i == 0) {
      DecodedPicture first = Decode(rs, greys, colours, 0);
      PrepareWorking(rs, 0, first, rs.LeftWorking);
      leftGrey = std::move(first.Grey);
    } else {
      render::CopyWorkingPicture(rs.RightWorking, rs.LeftWorking);
      leftGrey = std::move(rightGrey);
    }
    DecodedPicture right = next.get();
    if (i + 1 < pairs) next = decode(i + 2 == count ? 0 : i + 2);
    PrepareWorking(rs, j, right, rs.RightWorking);
    rightGrey = std::move(right.Grey);
    right = DecodedPicture{};
    const bool kept = given && static_cast<std::size_t>(i) < given->size() && (*given)[static_cast<std::size_t>(i)];
    if (!kept) {
      const PairMatch match = MatchPair(rs, ui, rs.LeftWorking, rs.RightWorking);
      if (match.Cancelled || rs.CancelRequested) return;
      StoreConnection(rs, i, j, match.Left, match.Right);
      if (rs.ManualStitching && rs.PlaceByFeatures) {
        // The starting points go where the feature search sees the pictures
        // overlap; without a confident answer they stay where the expected
        // overlap puts them.
        std::string note;
        refine::TryRescue(rs, {PictureProjection(rs, i), PictureProjection(rs, j)}, i, j, *leftGrey, *rightGrey, note);
        if (StopSignalled(rs)) {
          rs.CancelRequested = true;
          return;
        }
      }
    } else if (!rs.Refine || MeasuredNow(rs, i, j)) {
      continue;  // a kept connection whose refinement still holds
    }
    if (rs.Refine && measure) measuring.Measure(i, j, leftGrey, rightGrey, FirstMeasuring(rs));
  }
  measuring.Finish();
}

void MeasureConnections(RunState& rs, ProgressUi& ui) {
  if (!rs.Refine) return;
  const int count = rs.PictureSet.Count;
  const int pairs = rs.PictureSet.Is360 ? count : count - 1;
  refine::GreyStore& greys = refine::GreyPicturesOf(rs);
  const refine::RefinementSettings settings = FirstMeasuring(rs);
  ConnectionMeasuring measuring(rs, pairs >= 3 && omp_get_max_threads() >= 2);
  for (int i = 0; i < pairs; ++i) {
    if (ui.StopRequested() || StopSignalled(rs)) {
      rs.CancelRequested = true;
      return;
    }
    ReportFindingProgress(rs, ui, static_cast<double>(i) / pairs);
    if (rs.CancelRequested) return;
    const int j = i + 1 == count ? 0 : i + 1;
    if (!MeasuredNow(rs, i, j)) measuring.Measure(i, j, greys.Pyramid(rs, i), greys.Pyramid(rs, j), settings);
  }
  measuring.Finish();
}

}  // namespace vistarium::matching
