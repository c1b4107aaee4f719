#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
#
#   scripts/test.sh                     the Release build in build/ and the whole suite
#   scripts/test.sh --sanitize address  AddressSanitizer with UndefinedBehaviorSanitizer: a build of its own
#                                       in build-address/ and the whole suite under it
#   scripts/test.sh --sanitize thread   ThreadSanitizer: a build in build-thread/ and the whole suite with one
#                                       OpenMP thread (GCC's OpenMP runtime is not instrumented, so its own
#                                       synchronisation would be reported); then, when clang is installed,
#                                       clang's ThreadSanitizer with Archer, which knows OpenMP's
#                                       synchronisation, on vistarium-cli stitch, stitch --360 and view with 2
#                                       and 4 threads (build-thread-clang/)
#   --core                              only the core and the command-line tool: no desktop program
#   --exclude REGEX                     leaves out the tests whose names match (ctest -E)
#
# Sanitizer builds leave out the benchmarks and the fast search's
# per-processor versions (VISTARIUM_TARGET_CLONES), whose selection runs
# before the sanitizer's runtime is ready.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/test.sh [--sanitize address|thread] [--core] [--exclude REGEX]" >&2
  exit 2
}
sanitize=""
core=0
selection=()
while (($#)); do
  case "$1" in
    --sanitize) (($# >= 2)) || usage; sanitize="$2"; shift 2 ;;
    --core) core=1; shift ;;
    --exclude) (($# >= 2)) || usage; selection=(-E "$2"); shift 2 ;;
    *) usage ;;
  esac
done
[[ -z "$sanitize" || "$sanitize" == address || "$sanitize" == thread ]] || usage

scripts/install-deps.sh
jobs="$(nproc)"
options=()
command -v ccache > /dev/null && options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
((core)) && options+=(-DVISTARIUM_DESKTOP=OFF)

if [[ -z "$sanitize" ]]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${options[@]}"
  cmake --build build -j"$jobs"
  ctest --test-dir build --output-on-failure -j"$jobs" "${selection[@]}"
  exit 0
fi

folder="build-$sanitize"
cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVISTARIUM_SANITIZE="$sanitize" -DVISTARIUM_BENCH=OFF \
  "${options[@]}"
cmake --build "$folder" -j"$jobs"
if [[ "$sanitize" == address ]]; then
  export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:check_initialization_order=1"
  export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
else
  export OMP_NUM_THREADS=1
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
fi
ctest --test-dir "$folder" --output-on-failure -j"$jobs" "${selection[@]}"
[[ "$sanitize" == thread ]] || exit 0

# OpenMP's own synchronisation is visible to ThreadSanitizer only through
# LLVM's OpenMP runtime with its Archer tool.
archer=""
command -v clang++ > /dev/null && archer="$(clang++ -print-file-name=libarcher.so)"
if [[ ! -f "$archer" ]]; then
  echo "clang with Archer (libomp-dev) is not installed: the OpenMP-aware run of vistarium-cli is skipped."
  exit 0
fi
clangFolder="build-thread-clang"
cmake -S . -B "$clangFolder" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVISTARIUM_SANITIZE=thread \
  -DVISTARIUM_TESTS=OFF -DVISTARIUM_DESKTOP=OFF "${options[@]}"
cmake --build "$clangFolder" -j"$jobs" --target vistarium-cli
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
cli="$clangFolder/bin/vistarium-cli"
for threads in 2 4; do
  echo "vistarium-cli under ThreadSanitizer and Archer with $threads OpenMP threads"
  export OMP_NUM_THREADS="$threads" OMP_TOOL_LIBRARIES="$archer" TSAN_OPTIONS="halt_on_error=1 exitcode=66"
  "$cli" stitch -o "$out/open.jpg" samples/open4/open4_0{1,2,3,4}.jpg
  "$cli" stitch --360 -o "$out/circle.jpg" samples/circle8/circle8_0{1,2,3,4,5,6,7,8}.jpg
  "$cli" view "$out/circle.jpg" --yaw 40 --zoom 2 -o "$out/view.png"
done
