// The two nearest descriptors of every feature, as the rescue and the focal
// length estimate match SIFT features: the blocked exhaustive search in AVX2
// (where the processor has it) and in SSE2, the plain one, and FLANN's randomised k-d trees (four trees, 32 checks, the matcher
// used before) for comparison. Per count of features a picture: the best of
// five runs in ms on one thread, the ratio tests passed (0.8), and whether
// both blocked searches found exactly what the plain one found.
//
//   descriptor_matching_bench [LEFT.jpg RIGHT.jpg]
//
// Default: the first two pictures of ../shared/realsets/weir, reduced to a
// longer side of 1000 pixels.

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/flann.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "measure.h"
#include "refine/descriptor_matching.h"
#include "render/picture_file.h"

namespace fs = std::filesystem;
using namespace vistarium;

namespace {

cv::Mat Descriptors(const std::string& file, int features) {
  render::GreyPictureData picture = render::LoadGreyPicture(file);
  const cv::Mat grey(picture.Height, picture.Width, CV_8U, picture.Values.data());
  const double factor = 1000.0 / std::max(grey.cols, grey.rows);
  cv::Mat reduced, descriptors;
  cv::resize(grey, reduced, cv::Size(), factor, factor, cv::INTER_AREA);
  std::vector<cv::KeyPoint> keypoints;
  cv::SIFT::create(features, 3, 0.02)->detectAndCompute(reduced, cv::noArray(), keypoints, descriptors);
  return descriptors;
}

double BestOfFive(const std::function<void()>& run) {
  double best = 1e30;
  for (int k = 0; k < 5; ++k) {
    const auto start = bench::Clock::now();
    run();
    best = std::min(best, bench::Seconds(start, bench::Clock::now()));
  }
  return 1000.0 * best;
}

int Passing(const std::vector<refine::NearestTwo>& found) {
  int passing = 0;
  for (const refine::NearestTwo& n : found)
    passing += n.First >= 0 && std::sqrt(n.FirstSquared) < 0.8f * std::sqrt(n.SecondSquared);
  return passing;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path weir = fs::path(VISTARIUM_SOURCE_DIR) / ".." / "shared" / "realsets" / "weir";
  const std::string left = argc > 2 ? argv[1] : (weir / "01.jpg").string();
  const std::string right = argc > 2 ? argv[2] : (weir / "02.jpg").string();
  cv::setNumThreads(1);
  std::printf("%9s  %8s %8s %9s %9s  %7s %7s  %s\n", "features", "AVX2 ms", "SSE2 ms", "plain ms", "FLANN ms",
              "plain", "FLANN", "blocked = plain");
  for (int count : {350, 1500, 3000}) {
    const cv::Mat a = Descriptors(left, count), b = Descriptors(right, count);
    std::vector<refine::NearestTwo> fast, sse2, plain;
    const double fastMs = BestOfFive(
        [&] { fast = refine::FindNearestTwo(a.ptr<float>(), a.rows, b.ptr<float>(), b.rows, a.cols); });
    const double sse2Ms = BestOfFive(
        [&] { sse2 = refine::FindNearestTwoWithoutAvx2(a.ptr<float>(), a.rows, b.ptr<float>(), b.rows, a.cols); });
    const double plainMs = BestOfFive(
        [&] { plain = refine::FindNearestTwoPlain(a.ptr<float>(), a.rows, b.ptr<float>(), b.rows, a.cols); });
    int flannPassing = 0;
    const double flannMs = BestOfFive([&] {
      cv::flann::Index trees(b, cv::flann::KDTreeIndexParams(4));
      cv::Mat nearest, squared;
      trees.knnSearch(a, nearest, squared, 2, cv::flann::SearchParams(32));
      flannPassing = 0;
      for (int q = 0; q < nearest.rows; ++q)
        flannPassing += std::sqrt(squared.at<float>(q, 0)) < 0.8f * std::sqrt(squared.at<float>(q, 1));
    });
    bool same = fast.size() == plain.size() && sse2.size() == plain.size();
    for (std::size_t i = 0; same && i < plain.size(); ++i)
      for (const auto* found : {&fast, &sse2})
        same = same && (*found)[i].First == plain[i].First && (*found)[i].FirstSquared == plain[i].FirstSquared &&
               (*found)[i].SecondSquared == plain[i].SecondSquared;
    std::printf("%4d x %-4d %8.1f %8.1f %9.1f %9.1f  %7d %7d  %s\n", a.rows, b.rows, fastMs, sse2Ms, plainMs, flannMs,
                Passing(plain), flannPassing, same ? "yes" : "NO");
  }
  return 0;
}
