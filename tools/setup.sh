#!/usr/bin/env bash
# Installs every Debian package that building and testing TavrixInstall needs, and fetches the
# libhdhomerun source tarball that libhdhomerun.dll is built from (tools/hdhomerun-source.sh).
set -euo pipefail
here=$(dirname "$0")
. "$here/debian-mirror.sh"
. "$here/hdhomerun-source.sh"

packages=(
  cmake ninja-build binutils python3 python3-pytest
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine64
  hdhomerun-config
  googletest
  iproute2 xvfb xdotool imagemagick icoutils procps wixl msitools gcab
  locales osslsigncode openssl faketime
)

if [ "$(id -u)" -ne 0 ]; then
  echo "run as root: it installs Debian packages" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
# The users the tray test is run as: Wine takes the language from LC_ALL, and only from a locale that exists.
for name in de_DE pl_PL tr_TR; do
  locale -a | grep -x "$name.utf8" >/dev/null || localedef -i "$name" -f UTF-8 "$name.UTF-8"
done
hdhomerun_source_fetch || exit 1  # once: a later set-up finds it in the cache folder
"$here/setup-i386.sh"  # the 32-bit runtime the x86 tests run on
