#!/usr/bin/env bash
# Builds, for x64 (with the tests) and x86, TavrixInstall.exe, the installer's actions and
# libhdhomerun.dll from the library's source tarball (tools/hdhomerun-source.sh: the cache folder
# of tools/setup.sh, or TAVRIX_HDHOMERUN_SOURCE=FILE), then the MSI packages with that library
# beside each copy (installer/build.sh, which reads the TAVRIX_SIGN_* variables to sign them).
# TAVRIX_HDHOMERUN_X64 and TAVRIX_HDHOMERUN_X86 ship other builds of the library instead;
# TAVRIX_BUILD_TESTS=OFF leaves the tests out (a release needs none of them).
# Usage: tools/build.sh [BUILD_ROOT]   (default: build)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$repo/build}
. "$repo/tools/hdhomerun-source.sh"

# Packages of an earlier build must not pass for this one's, if this one stops.
rm -rf "$root/installer"
hdhomerun_source_check || exit 1

configure() {  # dir toolchain [cmake options...]
  local dir=$1 toolchain=$2
  shift 2
  cmake -S "$repo" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIX_HDHOMERUN_SOURCE="$HDHOMERUN_SOURCE" \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$toolchain" "$@" >/dev/null
}

configure "$root/x64" toolchain-x86_64-w64-mingw32.cmake -DTAVRIX_BUILD_TESTS="${TAVRIX_BUILD_TESTS:-ON}"
cmake --build "$root/x64"
configure "$root/x86" toolchain-i686-w64-mingw32.cmake -DTAVRIX_BUILD_TESTS=OFF
cmake --build "$root/x86" --target TavrixInstall TavrixActions libhdhomerun
echo "built: $root/x64/TavrixInstall.exe $root/x86/TavrixInstall.exe and libhdhomerun.dll beside each"
"$repo/installer/build.sh" "$root" --hdhomerun-x64 "${TAVRIX_HDHOMERUN_X64:-$root/x64/libhdhomerun.dll}" \
  --hdhomerun-x86 "${TAVRIX_HDHOMERUN_X86:-$root/x86/libhdhomerun.dll}"
