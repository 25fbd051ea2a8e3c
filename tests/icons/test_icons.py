"""Regenerating the tray icons from their art reproduces the committed files byte for byte."""

import os
import subprocess
from pathlib import Path

ICON_DIR = Path(__file__).resolve().parents[2] / "res" / "icons"
ICONS = ["tuner.ico", "tuner_notready.ico", "tuner_ready.ico"]


def test_regeneration_reproduces_committed_files(tmp_path):
    out = tmp_path / "icons"
    subprocess.run(["sh", str(ICON_DIR / "generate.sh"), str(out)], check=True, timeout=300,
                   env={**os.environ, "TMPDIR": str(tmp_path)})
    assert sorted(p.name for p in out.iterdir()) == ICONS
    for name in ICONS:
        assert (out / name).read_bytes() == (ICON_DIR / name).read_bytes(), name
    assert list(tmp_path.glob("tavrix-icons.*")) == []  # its work directory is cleaned up
