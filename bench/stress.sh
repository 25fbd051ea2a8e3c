#!/usr/bin/env bash
# The stress run (see bench/README.md): the tray plus 16 one-shot copies at once, 50 rounds.
#   bench/stress.sh [ROUNDS]          (default 50; the CI-sized run is 3)
# Environment: TAVRIX_BUILD_DIR (default build/bench, built by bench/run.sh or as below),
# TAVRIX_STRESS_SEED (default 7) picks the order of options and the boxes that move.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVRIX_BUILD_DIR:-$repo/build/bench}
if [ ! -x "$build/TavrixInstall.exe" ] || [ ! -e "$build/bench/bench_regtool.exe" ] || [ ! -e "$build/libhdhomerun.dll" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-x86_64-w64-mingw32.cmake" >/dev/null
  cmake --build "$build" --target TavrixInstall libhdhomerun bench_regtool
fi
TAVRIX_BUILD_DIR=$build TAVRIX_STRESS_ROUNDS=${1:-50} \
  exec /usr/bin/python3 -m pytest -q -s -p no:cacheprovider "$repo/bench/stress"
