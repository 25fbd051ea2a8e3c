#!/usr/bin/env bash
# Builds TavrixInstall-<version>-x64.msi and TavrixInstall-<version>-x86.msi with wixl from
# BUILD_ROOT/<arch>/TavrixInstall.exe and TavrixActions.dll (tools/build.sh builds them), with the
# libhdhomerun.dll of each bitness and its licence beside its copy, and, beside the packages, the
# library's source tarball and SHA256SUMS.
# Usage: installer/build.sh BUILD_ROOT [--hdhomerun-x64 DLL --hdhomerun-x86 DLL --hdhomerun-source TARBALL]
#          [--out DIR] [--version A.B.C.D]
#          [--pkcs12 FILE --password-file FILE | --cert PEM --key PEM [--password-file FILE]] [--timestamp URL]
# The libraries default to the ones tools/build.sh built (BUILD_ROOT/<arch>/libhdhomerun.dll) and
# the source to the tarball they were built from; a library that is no DLL of its bitness, lacks
# a function the program resolves or imports anything but system DLLs is refused.
# The version defaults to the one of project() in the top CMakeLists.txt; the packages go to
# BUILD_ROOT/installer unless --out says otherwise. Signing (osslsigncode, SHA-256: the exes and
# action DLLs, then the packages) takes its defaults from TAVRIX_SIGN_PKCS12, TAVRIX_SIGN_CERT,
# TAVRIX_SIGN_KEY, TAVRIX_SIGN_PASSWORD_FILE and TAVRIX_TIMESTAMP_URL. The same commit and inputs
# give the same bytes: times come from SOURCE_DATE_EPOCH, else from the commit's time.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")

fail() { echo "installer: $*" >&2; exit 1; }
usage() { sed -n '6,8p' "$0" | sed 's/^# //' >&2; exit 2; }
[ $# -ge 1 ] || usage
root=$(cd "$1" && pwd)
shift
read -r _ source_name <"$repo/cmake/libhdhomerun.sha256"
out=$root/installer version="" dll64=$root/x64/libhdhomerun.dll dll32=$root/x86/libhdhomerun.dll
source=$root/x64/$source_name
pkcs12=${TAVRIX_SIGN_PKCS12:-} cert=${TAVRIX_SIGN_CERT:-} key=${TAVRIX_SIGN_KEY:-}
password=${TAVRIX_SIGN_PASSWORD_FILE:-} timestamp=${TAVRIX_TIMESTAMP_URL:-}
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
    --out) out=$2 ;;
    --version) version=$2 ;;
    --hdhomerun-x64) dll64=$2 ;;
    --hdhomerun-x86) dll32=$2 ;;
    --hdhomerun-source) source=$2 ;;
    --pkcs12) pkcs12=$2 ;;
    --cert) cert=$2 ;;
    --key) key=$2 ;;
    --password-file) password=$2 ;;
    --timestamp) timestamp=$2 ;;
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
  [ "$version" = "$(rc_version)" ] || fail "CMakeLists.txt says $version, res/TavrixInstall.rc says $(rc_version)"
fi
for arch in x64 x86; do
  for file in TavrixInstall.exe TavrixActions.dll; do
    [ -f "$root/$arch/$file" ] || fail "$root/$arch/$file is not built (run tools/build.sh)"
  done
done

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$repo" log -1 --format=%ct 2>/dev/null || true)}
[[ $epoch =~ ^[0-9]+$ ]] || fail "no commit to take the packages' time from: set SOURCE_DATE_EPOCH"

# What this build delivers goes first, so that a build that stops leaves none of it behind; the
# packages are made in a folder of their own and moved in when all of them are done.
mkdir -p "$out"
out=$(cd "$out" && pwd)
delivered=("TavrixInstall-$version-x64.msi" "TavrixInstall-$version-x86.msi" "$(basename "$source")" SHA256SUMS)
for name in "${delivered[@]}"; do rm -f "$out/$name"; done
stage=$(mktemp -d) ready=$(mktemp -d "$out/.partial.XXXXXX")
trap 'rm -rf "$stage" "$ready"' EXIT

# The program finds its boxes through libhdhomerun.dll beside it and resolves these functions in it;
# an elevated copy would look for any other DLL the library imports along PATH.
SYSTEM_DLLS=" advapi32 bcrypt comctl32 crypt32 dnsapi gdi32 iphlpapi kernel32 msvcrt ntdll ole32 oleaut32 secur32
  shell32 shlwapi user32 userenv version ws2_32 "
resolved=$(sed -n 's/.*Resolve("\([a-z0-9_]*\)".*/\1/p' "$repo/devices/HdhomerunLibrary.cpp")
check_library() {  # file arch format
  local dump name
  [ -f "$1" ] || fail "$1: no such file (the $2 libhdhomerun.dll)"
  dump=$(objdump -p "$1" 2>/dev/null) || fail "$1: not a Windows DLL"
  grep -q "file format $3\$" <<<"$dump" || fail "$1: not a DLL for $2 ($(sed -n 's/.*file format //p' <<<"$dump" | head -n 1))"
  grep -qx $'\tDLL' <<<"$dump" || fail "$1: not a DLL"
  for name in $resolved; do
    grep -qE "^\s+\[ *[0-9]+\] $name\$" <<<"$dump" || fail "$1: lacks $name, which the program calls"
  done
  for name in $(sed -n 's/^\s*DLL Name: //p' <<<"$dump" | tr A-Z a-z); do
    [[ $SYSTEM_DLLS == *[[:space:]]"${name%.dll}"[[:space:]]* ]] || fail "$1: imports $name, which is no system DLL"
  done
}
check_library "$dll64" x64 pei-x86-64
check_library "$dll32" x86 pei-i386
[ -f "$source" ] || fail "$source: no such file (the source tarball of libhdhomerun.dll: --hdhomerun-source)"

# A certificate that cannot sign code stops the build before anything is signed with it.
signer=()
if [ -n "$pkcs12$cert$key" ]; then
  passin=()
  if [ -n "$password" ]; then
    [ -f "$password" ] || fail "password file $password does not exist"
    passin=(-passin "file:$password")
  fi
  if [ -n "$pkcs12" ]; then
    [ -z "$cert$key" ] || fail "give either --pkcs12 or --cert and --key, not both"
    [ -f "$pkcs12" ] || fail "PKCS#12 file $pkcs12 does not exist"
    [ -n "$password" ] || fail "no password file for $pkcs12 (--password-file)"
    openssl pkcs12 -in "$pkcs12" "${passin[@]}" -nokeys -clcerts -out "$stage/cert.pem" 2>/dev/null ||
      fail "cannot open $pkcs12 with the password in $password"
    openssl pkcs12 -in "$pkcs12" "${passin[@]}" -nocerts -nodes 2>/dev/null | grep -q "PRIVATE KEY" ||
      fail "$pkcs12 holds no private key"
    signer=(-pkcs12 "$pkcs12" -readpass "$password")
  else
    [ -n "$cert" ] || fail "no certificate for the key $key (--cert)"
    [ -f "$cert" ] || fail "certificate file $cert does not exist"
    [ -n "$key" ] || fail "no key for the certificate $cert (--key)"
    [ -f "$key" ] || fail "key file $key does not exist"
    openssl x509 -in "$cert" -out "$stage/cert.pem" 2>/dev/null || fail "$cert holds no PEM certificate"
    openssl pkey -in "$key" "${passin[@]}" -pubout -out "$stage/key.pub" 2>/dev/null ||
      fail "cannot read the key $key${password:+ with the password in $password}"
    openssl x509 -in "$stage/cert.pem" -noout -pubkey | cmp -s - "$stage/key.pub" ||
      fail "the key $key does not belong to the certificate $cert"
    signer=(-certs "$cert" -key "$key")
    [ -z "$password" ] || signer+=(-readpass "$password")
  fi
  subject=$(openssl x509 -in "$stage/cert.pem" -noout -subject -nameopt oneline | sed 's/^subject= *//')
  openssl x509 -in "$stage/cert.pem" -noout -checkend 0 >/dev/null ||
    fail "the certificate \"$subject\" expired on $(openssl x509 -in "$stage/cert.pem" -noout -enddate | cut -d= -f2)"
  start=$(openssl x509 -in "$stage/cert.pem" -noout -startdate | cut -d= -f2)
  [ "$(date -d "$start" +%s)" -le "$(date +%s)" ] || fail "the certificate \"$subject\" is valid only from $start"
  openssl x509 -in "$stage/cert.pem" -noout -ext extendedKeyUsage 2>/dev/null | grep -q "Code Signing" ||
    fail "the certificate \"$subject\" is not for code signing (no Code Signing in its extended key usage)"
  [ -z "$timestamp" ] || signer+=(-ts "$timestamp")
  echo "installer: signing with \"$subject\"${timestamp:+, time stamps from $timestamp}"
else
  echo "installer: no certificate given (--pkcs12, or --cert and --key): the packages and their programs are UNSIGNED" >&2
fi
sign() {  # file
  osslsigncode sign "${signer[@]}" -h sha256 -n Zentrova -in "$1" -out "$1.signed" >"$stage/sign.log" 2>&1 ||
    fail "signing $(basename "$1") failed: $(grep -v '^$' "$stage/sign.log" | tail -n 1)"
  mv "$1.signed" "$1"
}

# wixl takes sources relative to where it runs: a staging folder with the layout the source names.
mkdir -p "$stage/files/x64" "$stage/files/x86"
cp "$here/TavrixInstall.wxs" "$here/TavrixInstall.ini" "$stage/files/"
cp "$repo/res/icons/tuner.ico" "$stage/files/TavrixInstall.ico"
for arch in x64 x86; do
  for file in TavrixInstall.exe TavrixActions.dll; do
    cp "$root/$arch/$file" "$stage/files/$arch/"
    [ ${#signer[@]} -eq 0 ] || sign "$stage/files/$arch/$file"
  done
done
cp "$dll64" "$stage/files/x64/libhdhomerun.dll"
cp "$dll32" "$stage/files/x86/libhdhomerun.dll"
# The library's licence (LGPL) travels beside it, as its source tarball holds it.
tar -xzOf "$source" libhdhomerun/LICENSE >"$stage/files/libhdhomerun-LICENSE.txt" 2>/dev/null ||
  fail "$source: no libhdhomerun/LICENSE in it"
# The cabinet keeps each file's time (in local time): all of them get the commit's.
find "$stage/files" -exec touch -d "@$epoch" {} +

# Codes from what goes in (and the time it carries): the same content the same codes, other
# content other codes.
content=$(cd "$stage/files" && find . -type f | LC_ALL=C sort | xargs sha256sum)
code() {  # what
  local h
  h=$(printf '%s\n' "$1" "$version" "$epoch" "$content" | sha256sum)
  printf '%s-%s-5%s-%x%s-%s' "${h:0:8}" "${h:8:4}" "${h:13:3}" $(( (0x${h:16:1} & 3) | 8 )) "${h:17:3}" "${h:20:12}" |
    tr a-f A-F
}

# wixl and msibuild write the time they run: they run at the commit's, frozen (libfaketime).
clock=(env TZ=UTC NO_FAKE_STAT=1 faketime -f "$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')")
for arch in x64 x86; do
  msi=$ready/TavrixInstall-$version-$arch.msi
  (cd "$stage/files" && "${clock[@]}" wixl -a "$arch" -D "Arch=$arch" -D "Version=$version" \
     -D "ProductCode=$(code "product $arch")" -o "$msi" TavrixInstall.wxs)
  # wixl ignores Package/@Id and makes up a package code: msibuild sets it, keeping the rest.
  summary=$(msiinfo suminfo "$msi")
  field() { sed -n "s/^$1: //p" <<<"$summary"; }
  "${clock[@]}" msibuild "$msi" -s "$(field Subject)" "$(field Author)" "$(field Template)" "{$(code "package $arch")}"
  [ ${#signer[@]} -eq 0 ] || sign "$msi"
done
cp "$source" "$ready/"
(cd "$ready" && sha256sum "${delivered[@]:0:3}" >SHA256SUMS)
for name in "${delivered[@]}"; do mv "$ready/$name" "$out/"; done
for name in "${delivered[@]}"; do echo "built: $out/$name"; done
