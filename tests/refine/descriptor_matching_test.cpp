// The exhaustive nearest-two search of descriptors: the blocked versions
// against the plain one on SIFT descriptors of real photographs, and the
// rules all keep.
#include "refine/descriptor_matching.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "render/picture_file.h"

namespace vistarium::refine {
namespace {

namespace fs = std::filesystem;

cv::Mat SiftDescriptors(const char* name, int features) {
  render::GreyPictureData picture =
      render::LoadGreyPicture((fs::path(VISTARIUM_SOURCE_DIR) / "samples" / "open4" / name).string());
  const cv::Mat grey(picture.Height, picture.Width, CV_8U, picture.Values.data());
  cv::Mat reduced, descriptors;
  cv::resize(grey, reduced, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
  std::vector<cv::KeyPoint> keypoints;
  cv::SIFT::create(features, 3, 0.02)->detectAndCompute(reduced, cv::noArray(), keypoints, descriptors);
  return descriptors;
}

// In AVX2 (where the processor has it) and in SSE2. Query and reference
// counts that are not whole blocks (and one picture with more features
// than a cache chunk holds) leave nothing out.
TEST(DescriptorMatching, BlockedVersionsFindWhatThePlainOneFindsOnPhotographs) {
  const cv::Mat left = SiftDescriptors("open4_01.jpg", 1500), right = SiftDescriptors("open4_02.jpg", 1003);
  ASSERT_GT(left.rows, 1000);
  ASSERT_GT(right.rows, 1000);
  for (const auto& [queries, references] : {std::pair{left, right}, std::pair{right, left.rowRange(0, 257)}}) {
    const int dims = queries.cols;
    const float *q = queries.ptr<float>(), *r = references.ptr<float>();
    const auto plain = FindNearestTwoPlain(q, queries.rows, r, references.rows, dims);
    int unmatched = 0;
    for (const NearestTwo& n : plain) unmatched += n.First < 0;
    EXPECT_EQ(unmatched, 0);
    for (const auto& fast : {FindNearestTwo(q, queries.rows, r, references.rows, dims),
                             FindNearestTwoWithoutAvx2(q, queries.rows, r, references.rows, dims)}) {
      ASSERT_EQ(fast.size(), plain.size());
      int differing = 0;
      for (std::size_t i = 0; i < fast.size(); ++i)
        differing += fast[i].First != plain[i].First || fast[i].FirstSquared != plain[i].FirstSquared ||
                     fast[i].SecondSquared != plain[i].SecondSquared;
      EXPECT_EQ(differing, 0);
    }
  }
}

TEST(DescriptorMatching, KeepsTheLowestOfEqualNeighboursAndNeedsTwoReferences) {
  // Three dimensions; references 1 and 3 are equally near the first query.
  const float references[] = {9, 9, 9, 1, 0, 0, 5, 5, 5, 0, 1, 0};
  const float queries[] = {0, 0, 0, 5, 5, 4};
  for (const auto& found : {FindNearestTwo(queries, 2, references, 4, 3), FindNearestTwoWithoutAvx2(queries, 2, references, 4, 3),
                            FindNearestTwoPlain(queries, 2, references, 4, 3)}) {
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].First, 1);
    EXPECT_EQ(found[0].FirstSquared, 1.0f);
    EXPECT_EQ(found[0].SecondSquared, 1.0f);
    EXPECT_EQ(found[1].First, 2);
    EXPECT_EQ(found[1].FirstSquared, 1.0f);
    EXPECT_EQ(found[1].SecondSquared, 57.0f);  // to references 0, 1 and 3 alike
  }
  for (const auto& found : {FindNearestTwo(queries, 2, references, 1, 3), FindNearestTwoWithoutAvx2(queries, 2, references, 1, 3),
                            FindNearestTwoPlain(queries, 2, references, 1, 3)})
    for (const NearestTwo& n : found) EXPECT_EQ(n.First, -1);
}

}  // namespace
}  // namespace vistarium::refine
