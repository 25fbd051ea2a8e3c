#!/usr/bin/env bash
# Builds TavrixInstall.exe for x64 (with tests) and x86, and the libhdhomerun bridge
# that lets the unchanged x64 program reach Debian's libhdhomerun under Wine.
# Usage: tools/build.sh [BUILD_ROOT]   (default: build)
# Then, when TAVRIX_HDHOMERUN_X64 and TAVRIX_HDHOMERUN_X86 name the Windows builds of
# libhdhomerun.dll to ship, the MSI packages (installer/build.sh, which also reads the TAVRIX_SIGN_*
# variables to sign them) in BUILD_ROOT/installer.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$repo/build}

configure() {  # dir toolchain [cmake options...]
  local dir=$1 toolchain=$2
  shift 2
  cmake -S "$repo" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$toolchain" "$@" >/dev/null
}

configure "$root/x64" toolchain-x86_64-w64-mingw32.cmake -DTAVRIX_BUILD_TESTS=ON
cmake --build "$root/x64"
configure "$root/x86" toolchain-i686-w64-mingw32.cmake -DTAVRIX_BUILD_TESTS=OFF
cmake --build "$root/x86" --target TavrixInstall TavrixActions
"$repo/testbed/bridge/build.sh" "$root/x64/bridge"
echo "built: $root/x64/TavrixInstall.exe $root/x86/TavrixInstall.exe"
if [ -z "${TAVRIX_HDHOMERUN_X64:-}${TAVRIX_HDHOMERUN_X86:-}" ]; then
  echo "no packages built: they need TAVRIX_HDHOMERUN_X64 and TAVRIX_HDHOMERUN_X86 (libhdhomerun.dll of each bitness)"
  exit 0
fi
"$repo/installer/build.sh" "$root" --hdhomerun-x64 "${TAVRIX_HDHOMERUN_X64:-}" --hdhomerun-x86 "${TAVRIX_HDHOMERUN_X86:-}"
