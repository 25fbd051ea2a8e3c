#!/usr/bin/env bash
# Builds TavrixInstall-<version>-x64.msi and TavrixInstall-<version>-x86.msi with wixl from
# BUILD_ROOT/x64/TavrixInstall.exe and BUILD_ROOT/x86/TavrixInstall.exe, and their custom
# actions (TavrixActions.cpp, built there with mingw-w64).
# Usage: installer/build.sh BUILD_ROOT [--out DIR] [--version A.B.C.D]
#                           [--hdhomerun-x64 DLL] [--hdhomerun-x86 DLL]
# The version defaults to the one of project() in the top CMakeLists.txt; the packages go to
# BUILD_ROOT/installer unless --out says otherwise.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")

usage() { sed -n '5,6p' "$0" | sed 's/^# //' >&2; exit 2; }
[ $# -ge 1 ] || usage
root=$(cd "$1" && pwd)
shift
out=$root/installer version="" dll64="" dll32=""
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
    --out) out=$2 ;;
    --version) version=$2 ;;
    --hdhomerun-x64) dll64=$2 ;;
    --hdhomerun-x86) dll32=$2 ;;
    *) usage ;;
  esac
  shift 2
done

# The version block of res/TavrixInstall.rc must say the same as project(), or the packages
# would announce a version that the program's About box contradicts.
project_version() {
  sed -n 's/^project([^)]*VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt"
}
rc_version() {
  sed -n 's/^ *FILEVERSION *\([0-9, ]*\).*/\1/p' "$repo/res/TavrixInstall.rc" | tr -d ' ' | tr ',' '.'
}
if [ -z "$version" ]; then
  version=$(project_version)
  if [ "$version" != "$(rc_version)" ]; then
    echo "installer: CMakeLists.txt says $version, res/TavrixInstall.rc says $(rc_version)" >&2
    exit 1
  fi
fi

for exe in "$root/x64/TavrixInstall.exe" "$root/x86/TavrixInstall.exe"; do
  [ -f "$exe" ] || { echo "installer: $exe is not built (run tools/build.sh)" >&2; exit 1; }
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

# wixl takes sources relative to where it runs: a staging folder with the layout the source names.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/x64" "$stage/x86"
cp "$here/TavrixInstall.wxs" "$here/TavrixInstall.ini" "$stage/"
cp "$repo/res/icons/tuner.ico" "$stage/TavrixInstall.ico"
cp "$root/x64/TavrixInstall.exe" "$stage/x64/"
cp "$root/x86/TavrixInstall.exe" "$stage/x86/"

# The custom actions: BUILD_ROOT/<arch>/TavrixActions.dll, compiled as the program is (for Vista,
# warnings are errors, nothing but system DLLs needed) when missing or older than its sources.
for arch in x64 x86; do
  dll=$root/$arch/TavrixActions.dll
  for source in "$here/TavrixActions.cpp" "$here/TavrixActions.def" "$repo/app/Scoped.h"; do
    [ "$dll" -nt "$source" ] || rm -f "$dll"
  done
  if [ ! -f "$dll" ]; then
    triple=$([ $arch = x64 ] && echo x86_64 || echo i686)-w64-mingw32
    "$triple-g++-posix" -std=c++17 -O2 -s -Wall -Wextra -Werror -I"$repo" \
      -D_WIN32_WINNT=0x0600 -DWINVER=0x0600 -DNTDDI_VERSION=0x06000000 \
      -shared -static -static-libgcc -static-libstdc++ -Wl,--enable-stdcall-fixup \
      -o "$dll" "$here/TavrixActions.cpp" "$here/TavrixActions.def" -lmsi
  fi
  cp "$dll" "$stage/$arch/"
done

# Each supplied library goes beside the copy of its bitness, in every package that has that copy.
libraries=()
supply() {  # arch bits dll
  if [ -z "$3" ]; then
    echo "installer: no $1 libhdhomerun.dll given (--hdhomerun-$1); the packages are built without it" >&2
    return
  fi
  [ -f "$3" ] || { echo "installer: $3 does not exist" >&2; exit 1; }
  cp "$3" "$stage/$1/libhdhomerun.dll"
  libraries+=(-D "Hdhomerun$2=yes")
}
supply x64 64 "$dll64"
supply x86 32 "$dll32"

for arch in x64 x86; do
  msi="$out/TavrixInstall-$version-$arch.msi"
  (cd "$stage" && wixl -a "$arch" -D "Arch=$arch" -D "Version=$version" "${libraries[@]}" \
     -o "$msi" TavrixInstall.wxs)
  echo "built: $msi"
done
