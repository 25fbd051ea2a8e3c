#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root), builds TavrixInstall and runs its main job,
# detect and install (-I), on a simulated LAN with two boxes; prints what it did.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/tools/setup.sh"
"$repo/tools/build.sh" "$repo/build"
/usr/bin/python3 "$repo/testbed/demo.py" "$repo/build/x64"
