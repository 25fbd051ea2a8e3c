#!/usr/bin/env bash
# Builds what the benchmarks need and runs them all (see bench/README.md).
#   bench/run.sh [--quick] [PART ...]        PART: store jobs resolver tray menu (default: all)
# Environment: BENCH_BUILD (default build/bench), BENCH_OUT (default bench/results/latest.json,
# with --quick bench/results/quick.json).
# Needs root (network namespaces) and the packages of tools/setup.sh plus python3-xlib.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$repo/build/bench}

"$repo/tools/setup.sh"
if ! dpkg-query -W -f='${Status}' python3-xlib 2>/dev/null | grep -q "install ok installed"; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends python3-xlib
fi

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-x86_64-w64-mingw32.cmake" >/dev/null
cmake --build "$build" --target TavrixInstall libhdhomerun bench_store bench_empty bench_meter bench_proc_probe \
  bench_regtool bench_lib_probe

exec /usr/bin/python3 "$repo/bench/bench.py" --build "$build" ${BENCH_OUT:+--out "$BENCH_OUT"} "$@"
