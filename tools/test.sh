#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root), builds both executables and the installer
# packages, and runs every test: the GoogleTest executable under wine64 and the pytest
# files (end to end on a simulated LAN, the installer, the simulator, the icons), two at a
# time. Screenshots and logs land in build/x64/artifacts. Extra arguments go to ctest.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/tools/setup.sh"
"$repo/tools/build.sh" "$repo/build"
cd "$repo/build/x64"
ctest --output-on-failure -j2 "$@"
