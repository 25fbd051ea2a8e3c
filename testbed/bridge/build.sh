#!/bin/sh
# Builds the libhdhomerun bridge for Wine (test equipment):
#   OUTDIR/libhdhomerun.dll                PE stub; copy it beside the .exe
#   OUTDIR/x86_64-unix/libhdhomerun.dll.so Winelib DLL; found through WINEDLLPATH=OUTDIR
# usage: build.sh OUTDIR
set -eu
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1/x86_64-unix"
out=$(cd "$1" && pwd)
WINEGCC=${WINEGCC:-/usr/lib/wine/winegcc}
WINEBUILD=${WINEBUILD:-/usr/lib/wine/winebuild}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

# Host gcc, not winegcc: the wrappers need libhdhomerun's POSIX headers.
gcc -c -O2 -fPIC -Wall -Wextra -Werror -o "$work/hdhomerun_bridge.o" "$here/hdhomerun_bridge.c"
(cd "$work" && "$WINEGCC" -m64 -shared -o libhdhomerun.dll "$here/libhdhomerun.spec" hdhomerun_bridge.o -lhdhomerun)
cp "$work/libhdhomerun.dll.so" "$out/x86_64-unix/libhdhomerun.dll.so"
(cd "$work" && "$WINEBUILD" --dll --fake-module -m64 -E "$here/libhdhomerun.spec" -F libhdhomerun.dll -o "$out/libhdhomerun.dll")
