# Sourced by tools/setup.sh and tools/build.sh: the libhdhomerun source tarball that
# libhdhomerun.dll is built from, pinned by cmake/libhdhomerun.sha256 (its SHA-256 and name).
# It is fetched once into the cache folder, or named by TAVRIX_HDHOMERUN_SOURCE=FILE (offline
# machines, other distributions). Each failing check prints one line: the cause and what to set.
HDHOMERUN_CACHE=/var/cache/tavrix
read -r HDHOMERUN_SHA256 HDHOMERUN_NAME <"$(dirname "${BASH_SOURCE[0]}")/../cmake/libhdhomerun.sha256"
HDHOMERUN_SOURCE=${TAVRIX_HDHOMERUN_SOURCE:-$HDHOMERUN_CACHE/$HDHOMERUN_NAME}

hdhomerun_source_fail() {
  echo "libhdhomerun source: $*" >&2
  return 1
}

hdhomerun_source_check() {  # the tarball exists and has the pinned checksum
  local sum
  [ -f "$HDHOMERUN_SOURCE" ] || hdhomerun_source_fail "$HDHOMERUN_SOURCE does not exist: run tools/setup.sh, or set TAVRIX_HDHOMERUN_SOURCE to a copy of $HDHOMERUN_NAME" || return
  sum=$(sha256sum <"$HDHOMERUN_SOURCE") && sum=${sum%% *}
  [ "$sum" = "$HDHOMERUN_SHA256" ] || hdhomerun_source_fail "$HDHOMERUN_SOURCE has SHA-256 $sum, not $HDHOMERUN_SHA256: set TAVRIX_HDHOMERUN_SOURCE to the real $HDHOMERUN_NAME"
}

hdhomerun_source_fetch() {  # from the pool of the mirror the machine's apt sources name
  [ -n "${TAVRIX_HDHOMERUN_SOURCE:-}" ] || [ -f "$HDHOMERUN_SOURCE" ] || {
    local uri codename part
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    read -r uri _ < <(debian_mirror "$codename") || true
    [ -n "${uri:-}" ] || hdhomerun_source_fail "no source for suite $codename in the machine's apt sources: set TAVRIX_HDHOMERUN_SOURCE to a copy of $HDHOMERUN_NAME" || return
    uri=${uri%/}/pool/main/libh/libhdhomerun/$HDHOMERUN_NAME
    mkdir -p "$HDHOMERUN_CACHE"
    part=$(mktemp "$HDHOMERUN_CACHE/.partial.XXXXXX")
    if ! /usr/lib/apt/apt-helper download-file "$uri" "$part" "SHA256:$HDHOMERUN_SHA256" >"$part.log" 2>&1; then
      rm -f "$part"
      hdhomerun_source_fail "cannot fetch $uri ($(grep -E '^(E|Err):' "$part.log" | tail -n 1; rm -f "$part.log")): set TAVRIX_HDHOMERUN_SOURCE to a copy of $HDHOMERUN_NAME" || return
    fi
    rm -f "$part.log"
    chmod 644 "$part" && mv "$part" "$HDHOMERUN_SOURCE"
  }
  hdhomerun_source_check
}
