#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) into fuzz-build/ and fuzzes each in turn for
# SECONDS (default 60), starting from its seeds in fuzz/seeds/. New inputs go
# to fuzz-build/corpus/<target>/, crashes to fuzz-build/crashes/; the seeds
# in the repository stay as they are.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift $(($# > 0 ? 1 : 0))
if ! command -v clang++ > /dev/null; then
  echo "Fuzzing needs clang: apt-get install -y clang libclang-rt-14-dev" >&2
  exit 1
fi
targets=("$@")
if ((${#targets[@]} == 0)); then
  mapfile -t targets < <(sed -n 's/^vistarium_add_fuzzer(\([a-z_]*\) .*/\1/p' fuzz/targets.cmake)
fi
cmake -S . -B fuzz-build -DVISTARIUM_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug
cmake --build fuzz-build -j"$(nproc)" --target "${targets[@]}"
mkdir -p fuzz-build/crashes
for target in "${targets[@]}"; do
  echo "== $target: $seconds s"
  mkdir -p "fuzz-build/corpus/$target"
  "fuzz-build/bin/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="fuzz-build/crashes/$target-" "fuzz-build/corpus/$target" "fuzz/seeds/$target"
done
