#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on a bundled
# sample set: the matching of its adjacent pictures, printed as JSON.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
build/bin/vistarium-cli match --progress samples/open4/open4_0{1,2,3,4}.jpg > build/open4-connections.json
echo "Connections of samples/open4 written to build/open4-connections.json"
