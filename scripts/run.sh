#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: joins a bundled
# sample set into a panorama, with progress, and says where it is.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
build/bin/vistarium-cli stitch --progress --report build/open4-report.json -o build/open4-panorama.jpg \
  samples/open4/open4_0{1,2,3,4}.jpg
echo "Panorama: $(pwd)/build/open4-panorama.jpg (report: build/open4-report.json)"
