#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root), builds TavrixInstall and runs its main job as a user
# of 64-bit Windows would: the installed 32-bit copy's detect and install (-I) on a simulated LAN
# with two boxes, and the 64-bit copy it starts; prints what they did.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/tools/setup.sh"
"$repo/tools/build.sh" "$repo/build"
"$repo/testbed/with-wine32.sh" /usr/bin/python3 "$repo/testbed/demo.py" "$repo/build"
