#!/bin/sh
# Runs a command (and all it starts) with Debian's i386 Wine loader at /usr/lib/wine/wine, where
# wine64 looks for it to start a 32-bit program. A file there would turn every other prefix on the
# machine into a WoW64 one, so it is laid over /usr/lib/wine in a private mount namespace only.
# Needs the runtime of tools/setup-i386.sh (TAVRIX_I386, default /opt/tavrix-i386); fails when
# any part of it is missing, never runs the command without it.
# usage: with-wine32.sh COMMAND [ARGS...]
set -eu
base=${TAVRIX_I386:-/opt/tavrix-i386}
handler=/proc/sys/fs/binfmt_misc/tavrix-i386
die() { echo "with-wine32: $* (set it up: tools/setup-i386.sh as root)" >&2; exit 1; }
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
[ -e "$base/ready" ] && [ -e "$base/overlay/wine" ] || die "no 32-bit runtime in $base"
grep -qx enabled "$handler" 2>/dev/null && grep -qx "interpreter $base/bin/qemu-i386" "$handler" ||
  die "qemu-i386 is not registered in binfmt_misc"
[ "$(readlink /usr/gnemul/qemu-i386)" = "$base/root" ] || die "/usr/gnemul/qemu-i386 does not lead to $base/root"
"$base/overlay/wine" --version >/dev/null || die "the i386 Wine loader does not run"
# Inside: the command as a child; once it ends, whatever it left in this mount namespace (a
# wineserver, an emulated program) is ended too, and named.
exec unshare --mount --propagation private -- /bin/sh -c '
  mount -t overlay tavrix-wine32 -o "lowerdir=$0/overlay:/usr/lib/wine" /usr/lib/wine || exit 1
  "$@" <&0 &
  child=$!
  trap "kill -TERM $child 2>/dev/null" TERM INT HUP
  while wait $child; rc=$?; kill -0 $child 2>/dev/null; do :; done
  ns=$(readlink /proc/$$/ns/mnt)
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    [ "$pid" != $$ ] && [ "$(readlink "$dir/ns/mnt" 2>/dev/null)" = "$ns" ] || continue
    command=$(tr "\0" " " <"$dir/cmdline" 2>/dev/null)
    kill -9 "$pid" 2>/dev/null && echo "with-wine32: ended leftover process $pid: $command" >&2
  done
  exit $rc' "$base" "$@"
