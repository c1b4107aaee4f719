#!/bin/sh
# Whole runs, files to saved panorama, of vistarium-cli stitch side by side
# with OpenCV's feature-based stitcher (bench/opencv_stitch), timed by
# farm-bench in turns (A B A B ...): the median wall time of each, their
# pairwise ratio and the peak memory. On the rendered open sets of 4 x 2 MP
# (study set open-aitz) and 4 x 12 MP (mp12-aitz), and on the real
# photographs of ../shared/realsets with the focal lengths of this program's
# convention (millimetres on the longer side of 36 mm film) when asked for,
# and otherwise with the camera the program takes from the pictures, as a
# user who never opens the camera dialog gets it.
#
#   bench/side_by_side.sh [BUILD_FOLDER] [RUNS] [given]
#
# Needs farm-bench on the PATH and opencv_stitch built (Debian's
# libopencv-dev). The rendered sets are made once in /tmp/vistarium-side-sets.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
runs=${2:-5}
camera=${3:-pictures}
bin=$build/bin
real=$here/../shared/realsets
work=/tmp/vistarium-side-sets
mkdir -p "$work"
[ -x "$bin/opencv_stitch" ] || { echo "side_by_side.sh: $bin/opencv_stitch is not built (needs libopencv-dev)"; exit 1; }
command -v farm-bench > /dev/null || { echo "side_by_side.sh: farm-bench is not on the PATH"; exit 1; }

for study in open-aitz mp12-aitz; do
  [ -f "$work/$study/truth.json" ] ||
    "$bin/vistarium-render-samples" --study "$study" --photos "$here/../shared/photos" --out "$work/$study" > /dev/null
done

# name | options of vistarium-cli | pictures, left to right
# The real sets' focal lengths are used only with "given".
focal() { [ "$camera" = given ] && echo "--focal $1 --aberration 0"; true; }
sets() {
  echo "4 x 2 MP rendered open|--focal 35 --aberration 0|$(ls "$work"/open-aitz/*.jpg | tr '\n' ' ')"
  echo "4 x 12 MP rendered open|--focal 28 --aberration 0|$(ls "$work"/mp12-aitz/*.jpg | tr '\n' ' ')"
  echo "yosemite 4 x 0.3 MP|$(focal 75.9)|$(ls "$real"/yosemite_a10/*.jpg | tr '\n' ' ')"
  echo "weir 3 x 1.0 MP|$(focal 26)|$(ls "$real"/weir/*.jpg | tr '\n' ' ')"
  echo "helens 6 x 0.9 MP|$(focal 29.1)|$(ls "$real"/helens_s95/*.jpg | tr '\n' ' ')"
  echo "library 16 x 0.9 MP circle|--360 $(focal 27)|$(ls "$real"/library360_nex5/*.jpg | tr '\n' ' ')"
  echo "home 14 x 1.1 MP|$(focal 27)|$(ls -r "$real"/home_indoor_iphone/*.jpg | tr '\n' ' ')"
  echo "taipei 6 x 12 MP|$(focal 27.04)|$(ls "$real"/taipei101_iphone13/*.jpg | tr '\n' ' ')"
}

printf '%-28s %10s %10s %8s %10s %10s  %s\n' "set" "A wall s" "B wall s" "A/B" "A peak MiB" "B peak MiB" "exits"
sets | while IFS='|' read -r name options pictures; do
  # shellcheck disable=SC2086
  report=$(farm-bench -n "$runs" --timeout 3000 \
    --vs "$bin/opencv_stitch -o $work/opencv.jpg $pictures" \
    -- "$bin/vistarium-cli" stitch $options -o "$work/vistarium.jpg" $pictures 2>&1) || true
  echo "$report" >> "$work/reports.txt"
  median() { echo "$report" | awk -v key="$1" 'index($0, key) == 1 { print $(NF - 1); exit }'; }
  exits=$(echo "$report" | awk '/^[AB] exit/ { printf "%s %s%s ", $1, $3, ($3 == "0" ? "" : "!") }')
  printf '%-28s %10s %10s %8s %10s %10s  %s\n' "$name" "$(median 'A wall s')" "$(median 'B wall s')" \
    "$(median 'A/B wall')" "$(median 'A peak MiB')" "$(median 'B peak MiB')" "$exits"
done
echo "A: vistarium-cli stitch (real sets: camera $camera); B: opencv_stitch (OpenCV's Stitcher); medians of $runs runs each, in turn;"
echo "A/B: the median of the pairwise ratios. farm-bench's whole reports are in $work/reports.txt."
