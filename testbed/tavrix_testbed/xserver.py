"""A private X server (Xvfb) for tests that need real windows under Wine."""

from __future__ import annotations

import os
import subprocess
import time
from pathlib import Path


class XServer:
    """Xvfb on the first free display number from `first`; `close()` stops it."""

    def __init__(self, first: int = 91, size: str = "1024x768x24"):
        self.number = self._free_display(first)
        self.display = f":{self.number}"
        self.process = subprocess.Popen(
            ["Xvfb", self.display, "-screen", "0", size, "-nolisten", "tcp", "-noreset"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._wait_ready()

    @staticmethod
    def _free_display(first: int) -> int:
        for number in range(first, first + 200):
            if not Path(f"/tmp/.X{number}-lock").exists() and not Path(f"/tmp/.X11-unix/X{number}").exists():
                return number
        raise RuntimeError("no free X display number")

    def _wait_ready(self, timeout: float = 20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"Xvfb {self.display} ended at start")
            if Path(f"/tmp/.X11-unix/X{self.number}").exists():
                return
            time.sleep(0.05)
        raise RuntimeError(f"Xvfb {self.display} did not start")

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
