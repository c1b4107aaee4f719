// OpenCV's feature-based stitcher (cv::Stitcher in panorama mode) on a set
// of pictures, for side-by-side runs with vistarium-cli stitch: it reads the
// pictures, stitches them and writes the panorama as JPEG of quality 90.
//
//   opencv_stitch -o OUT.jpg PICTURE...
//
// Built only where OpenCV's stitching and image file modules are installed
// (Debian's libopencv-dev); bench/side_by_side.sh runs it.

#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/stitching.hpp>

int main(int argc, char** argv) {
  std::string output;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-o" && i + 1 < argc)
      output = argv[++i];
    else
      files.push_back(a);
  }
  if (output.empty() || files.size() < 2) {
    std::fprintf(stderr, "usage: opencv_stitch -o OUT.jpg PICTURE...\n");
    return 2;
  }
  std::vector<cv::Mat> pictures;
  for (const std::string& f : files) {
    cv::Mat m = cv::imread(f, cv::IMREAD_COLOR);
    if (m.empty()) {
      std::fprintf(stderr, "opencv_stitch: cannot read %s\n", f.c_str());
      return 1;
    }
    pictures.push_back(std::move(m));
  }
  cv::Ptr<cv::Stitcher> stitcher = cv::Stitcher::create(cv::Stitcher::PANORAMA);
  cv::Mat panorama;
  const cv::Stitcher::Status status = stitcher->stitch(pictures, panorama);
  if (status != cv::Stitcher::OK) {
    std::fprintf(stderr, "opencv_stitch: stitching failed (status %d)\n", static_cast<int>(status));
    return 1;
  }
  if (!cv::imwrite(output, panorama, {cv::IMWRITE_JPEG_QUALITY, 90})) {
    std::fprintf(stderr, "opencv_stitch: cannot write %s\n", output.c_str());
    return 1;
  }
  std::fprintf(stderr, "Panorama of %d x %d pixels written to %s\n", panorama.cols, panorama.rows, output.c_str());
  return 0;
}
