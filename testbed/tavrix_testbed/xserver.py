"""A private X server (Xvfb) for tests that need real windows under Wine."""

from __future__ import annotations

import os
import select
import subprocess
from pathlib import Path


class XServer:
    """Xvfb on a display number it picks itself (no race between parallel runs); `close()` stops it."""

    def __init__(self, size: str = "1024x768x24", timeout: float = 30):
        read, write = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", size, "-nolisten", "tcp", "-noreset"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as numbers:
            ready, _, _ = select.select([numbers], [], [], timeout)
            number = numbers.readline().strip() if ready else ""
        if not number.isdigit():
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.number, self.display = int(number), f":{number}"

    def env(self, base: dict[str, str] | None = None) -> dict[str, str]:
        env = dict(base if base is not None else os.environ)
        env["DISPLAY"] = self.display
        return env

    def screenshot(self, path: Path):
        subprocess.run(["import", "-display", self.display, "-window", "root", str(path)], check=True, timeout=60)

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
