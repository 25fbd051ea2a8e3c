#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root), builds both executables and runs every
# test: GoogleTest executables under wine64 and the pytest suites (end to end on a
# simulated LAN, the test bed, the icons). Screenshots and logs land in build/x64/artifacts.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/tools/setup.sh"
"$repo/tools/build.sh" "$repo/build"
cd "$repo/build/x64"
ctest --output-on-failure --timeout 3000 "$@"
