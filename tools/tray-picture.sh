#!/usr/bin/env bash
# Regenerates docs/tray.png, the README's picture of the tray: the 32-bit copy's tray test opens
# its menu in Wine's virtual desktop on Xvfb and keeps the picture among its artifacts.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
"$repo/tools/test.sh" -R '^pytest_x86$'
cp "$repo/build/x64/artifacts/test_32bit_tray_menu_with_boxes_and_exit/tray.png" "$repo/docs/tray.png"
echo "docs/tray.png: $(stat -c %s "$repo/docs/tray.png") bytes"
