#!/usr/bin/env bash
# Installs what is missing, builds the programs, and starts the desktop
# program with the bundled open sample set loaded, ready for Join. Without a
# display it says so and joins the same set with the command-line tool.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)" --target vistarium vistarium-cli
pictures=(samples/open4/open4_0{1,2,3,4}.jpg)
if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
  echo "Starting Vistarium with ${#pictures[@]} pictures of samples/open4 loaded; press Join."
  exec build/bin/vistarium "${pictures[@]}"
fi
echo "No display is available (DISPLAY and WAYLAND_DISPLAY are unset): joining samples/open4 with vistarium-cli instead."
build/bin/vistarium-cli stitch --progress --report build/open4-report.json -o build/open4-panorama.jpg "${pictures[@]}"
echo "Panorama: $(pwd)/build/open4-panorama.jpg (report: build/open4-report.json)"
