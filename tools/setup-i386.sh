#!/usr/bin/env bash
# Sets up the 32-bit runtime the x86 tests run on (as root, machine-wide, idempotent):
# Debian's i386 Wine unpacked into a root of its own, run by a static qemu-i386 (qemu 10, from
# <codename>-backports) registered in binfmt_misc. Packages come through a private apt
# configuration over the mirror the machine's own sources name: nothing in /etc/apt or dpkg's
# database changes. Everything lives under /opt/tavrix-i386 (TAVRIX_I386 overrides): add-on
# software that no package manages, shared by every clone of the repository.
#   BASE/root     i386 Wine and its libraries (qemu's library prefix, /usr/gnemul/qemu-i386)
#   BASE/bin      qemu-i386;  BASE/overlay  the loader the test bed lays over /usr/lib/wine
# A later run only checks, and registers the binfmt handler again when it is missing (after a boot).
set -euo pipefail
. "$(dirname "$0")/debian-mirror.sh"
base=${TAVRIX_I386:-/opt/tavrix-i386}
log=$base/setup.log
step=start
BINFMT=/proc/sys/fs/binfmt_misc
HANDLER=tavrix-i386
GNEMUL=/usr/gnemul/qemu-i386
# Raised when what is unpacked changes, so that a set-up machine is set up again.
LAYOUT=2

fail() { echo "setup-i386: FAILED at step '$step'${1:+: $1} (log: $log)" >&2; reported=1; exit 1; }
reported=""
trap 'rc=$?; [ $rc -eq 0 ] || [ -n "$reported" ] || echo "setup-i386: FAILED at step '"'"'$step'"'"' (log: $log)" >&2' EXIT
run() { "$@" >>"$log" 2>&1; }  # the tools' own output goes to the log, the failing step to stderr

[ "$(id -u)" -eq 0 ] || { echo "setup-i386: run as root" >&2; exit 1; }
mkdir -p "$base"

step="read the installed libwine version"
wine_version=$(dpkg-query -W -f='${Version}' libwine:amd64) || fail "libwine (amd64) is not installed"
stamp="layout $LAYOUT libwine $wine_version"

unpack() {  # unpack every .deb of a folder into a root
  local deb
  for deb in "$1"/*.deb; do run dpkg-deb -x "$deb" "$2"; done
}

install_runtime() {
  : >"$log"
  step="read the machine's apt sources"
  . /etc/os-release
  codename=${VERSION_CODENAME:?}
  # The first source that serves the codename's own suite: its URI and keyring.
  read -r uri keyring < <(debian_mirror "$codename") || true
  [ -n "${uri:-}" ] || fail "no source for suite $codename in the machine's apt sources"
  signed=""
  [ "$keyring" = "-" ] || signed=" signed-by=$keyring"

  apt_config() {  # apt_config NAME ARCH SUITES... -> writes $base/apt/NAME/apt.conf
    local dir=$base/apt/$1 arch=$2
    shift 2
    mkdir -p "$dir/state/lists/partial" "$dir/cache/archives/partial" "$dir/parts" "$dir/log"
    : >"$dir/state/status"
    printf 'deb [arch=%s%s] %s %s main\n' "$arch" "$signed" "$uri" "$*" >"$dir/sources.list"
    cat >"$dir/apt.conf" <<EOF
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
APT::Sandbox::User "root";
Acquire::Languages "none";
Dir::State "$dir/state";
Dir::State::status "$dir/state/status";
Dir::Cache "$dir/cache";
Dir::Log "$dir/log";
Dir::Etc::SourceList "$dir/sources.list";
Dir::Etc::SourceParts "$dir/parts";
Dir::Etc::PreferencesParts "$dir/parts";
Dir::Etc::Preferences "$dir/parts/none";
EOF
  }
  rm -rf "$base/apt" "$base/root.new"
  apt_config i386 i386 "$codename" "$codename-updates"
  apt_config backports amd64 "$codename-backports"
  i386() { APT_CONFIG=$base/apt/i386/apt.conf "$@"; }

  step="fetch the i386 package index"
  run i386 apt-get update --error-on=any
  step="match the i386 libwine version to the installed amd64 $wine_version"
  i386 apt-cache madison libwine | awk -v v="$wine_version" '$3 == v { found = 1 } END { exit !found }' ||
    fail "the mirror has no i386 libwine $wine_version (it has: $(i386 apt-cache madison libwine | awk '{ printf "%s ", $3 }'))"
  step="download i386 Wine and the libraries it loads"
  run i386 apt-get install -y --download-only --no-install-recommends wine32="$wine_version" libwine="$wine_version" \
    libgnutls30 libxrender1 libxrandr2 libxi6 libxcursor1 libxinerama1 libxcomposite1 libxfixes3 libxxf86vm1 \
    libdbus-1-3 libkrb5-3 libgssapi-krb5-2
  step="check the downloaded libwine version"
  got=$(dpkg-deb -f "$base"/apt/i386/cache/archives/libwine_*_i386.deb Version)
  [ "$got" = "$wine_version" ] || fail "downloaded libwine $got, installed amd64 $wine_version"
  step="unpack the i386 packages"
  root=$base/root.new
  unpack "$base/apt/i386/cache/archives" "$root"
  step="turn mingw's zlib1.dll into a Wine builtin"
  for arch in i686:i386 x86_64:x86_64; do
    in=$root/usr/${arch%%:*}-w64-mingw32/lib/zlib1.dll out=$root/usr/lib/i386-linux-gnu/wine/${arch##*:}-windows
    [ -d "$out" ] || continue
    cp "$in" "$out/zlib1.dll"
    printf 'Wine builtin DLL\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0' | dd of="$out/zlib1.dll" bs=1 seek=64 conv=notrunc status=none
  done
  step="link the i386 loader to wine64 and index the i386 libraries"
  ln -sfn /usr/lib/wine/wine64 "$root/usr/lib/wine/wine64"
  [ -e "$root/etc/ld.so.conf" ] || echo 'include /etc/ld.so.conf.d/*.conf' >"$root/etc/ld.so.conf"
  run ldconfig -r "$root"

  step="fetch qemu-user from $codename-backports"
  run env APT_CONFIG="$base/apt/backports/apt.conf" apt-get update --error-on=any
  mkdir -p "$base/apt/qemu"
  (cd "$base/apt/qemu" && run env APT_CONFIG="$base/apt/backports/apt.conf" apt-get download "qemu-user/$codename-backports")
  step="take qemu-i386 out of the qemu-user package"
  mkdir -p "$base/bin.new"
  dpkg-deb --fsys-tarfile "$base"/apt/qemu/qemu-user_*.deb | tar -xO ./usr/bin/qemu-i386 >"$base/bin.new/qemu-i386"
  chmod 755 "$base/bin.new/qemu-i386"
  [ "$(readelf -l "$base/bin.new/qemu-i386" | grep -c INTERP)" = 0 ] || fail "qemu-i386 is not static"
  run "$base/bin.new/qemu-i386" --version

  step="put the runtime in place"
  mkdir -p "$base/overlay.new"
  ln -sfn "$base/root/usr/lib/wine/wine" "$base/overlay.new/wine"
  rm -rf "$base/root" "$base/sysroot" "$base/bin" "$base/overlay" "$base/apt"
  mv "$root" "$base/root"
  mv "$base/bin.new" "$base/bin"
  mv "$base/overlay.new" "$base/overlay"
  echo "$stamp" >"$base/ready"
}

# A runtime set up when it carried an i386 build sysroot too (its stamp goes on) serves as it is.
[[ "$(cat "$base/ready" 2>/dev/null)" == "$stamp"?(" gcc "*) ]] || install_runtime

step="mount binfmt_misc"
[ -e "$BINFMT/register" ] || run mount -t binfmt_misc binfmt_misc "$BINFMT"
step="register qemu-i386 for i386 programs in binfmt_misc"
if ! grep -qx "interpreter $base/bin/qemu-i386" "$BINFMT/$HANDLER" 2>/dev/null; then
  [ ! -e "$BINFMT/$HANDLER" ] || echo -1 >"$BINFMT/$HANDLER"
  printf '%s' ":$HANDLER:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$base/bin/qemu-i386:FP" >"$BINFMT/register"
fi
grep -qx enabled "$BINFMT/$HANDLER" || echo 1 >"$BINFMT/$HANDLER"
step="link $GNEMUL to the i386 root"
mkdir -p "$(dirname "$GNEMUL")"
[ "$(readlink "$GNEMUL" 2>/dev/null)" = "$base/root" ] || ln -sfn "$base/root" "$GNEMUL"
step="run the i386 Wine loader"
version=$("$base/root/usr/lib/wine/wine" --version 2>>"$log") || fail "i386 programs do not run under qemu-i386"
[[ "$version" == *" $wine_version)" ]] || fail "the i386 loader says '$version', the installed amd64 Wine $wine_version"
