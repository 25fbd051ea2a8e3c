#!/bin/sh
# Builds the libhdhomerun bridge for Wine (test equipment), for both bitnesses:
#   OUTDIR/libhdhomerun.dll                PE stub of the x64 bridge; copy it beside the x64 .exe
#   OUTDIR/x86/libhdhomerun.dll            PE stub of the x86 bridge; copy it beside the x86 .exe
#   OUTDIR/x86_64-unix/libhdhomerun.dll.so, OUTDIR/i386-unix/libhdhomerun.dll.so
#                                          Winelib DLLs; found through WINEDLLPATH=OUTDIR
# The i386 one builds with the host's gcc against the sysroot that tools/setup-i386.sh makes.
# usage: build.sh OUTDIR
set -eu
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1/x86_64-unix" "$1/i386-unix" "$1/x86"
out=$(cd "$1" && pwd)
WINEGCC=${WINEGCC:-/usr/lib/wine/winegcc}
WINEBUILD=${WINEBUILD:-/usr/lib/wine/winebuild}
sys=${TAVRIX_I386:-/opt/tavrix-i386}/sysroot
[ -d "$sys/usr/include/libhdhomerun" ] || { echo "bridge: no i386 sysroot in $sys (run tools/setup-i386.sh as root)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

# Host gcc, not winegcc: the wrappers need libhdhomerun's POSIX headers.
build() {  # build -m64|-m32 UNIXDIR STUB [gcc options...]
  bits=$1 unixdir=$2 stub=$3
  shift 3
  mkdir -p "$work/$unixdir"
  gcc "$bits" "$@" -c -O2 -fPIC -Wall -Wextra -Werror -o "$work/$unixdir/hdhomerun_bridge.o" "$here/hdhomerun_bridge.c"
  (cd "$work/$unixdir" && "$WINEGCC" "$bits" "$@" -shared -o libhdhomerun.dll "$here/libhdhomerun.spec" hdhomerun_bridge.o -lhdhomerun)
  cp "$work/$unixdir/libhdhomerun.dll.so" "$out/$unixdir/libhdhomerun.dll.so"
  "$WINEBUILD" --dll --fake-module "$bits" -E "$here/libhdhomerun.spec" -F libhdhomerun.dll -o "$stub"
}
build -m64 x86_64-unix "$out/libhdhomerun.dll"
LIBRARY_PATH=$(echo "$sys"/usr/lib/gcc/i686-linux-gnu/*) build -m32 i386-unix "$out/x86/libhdhomerun.dll" --sysroot="$sys"
