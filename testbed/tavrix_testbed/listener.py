"""A window of another process in a prefix: tests/programs/window_listener.exe driven from Python."""

from __future__ import annotations

import queue
import shutil
import subprocess
import threading

from tavrix_testbed import wineprefix


class Listener:
    """window_listener.exe: a top-level window of another process that prints the broadcasts it
    sees ("instance-message", "devicechange 7 0"); with `hold_instance`, it also holds the
    program's single-instance mutex, as a resident copy does."""

    def __init__(self, prefix: wineprefix.WinePrefix, programs, hold_instance: bool = False, seconds: int = 900,
                 start_limit: float = 30, own_mutex: str = ""):
        exe = (prefix.root / "drive_c" if own_mutex else prefix.home64) / "window_listener.exe"
        if not exe.exists():  # never over the image of one that runs
            shutil.copy2(programs / "window_listener.exe", exe)
        self.process = prefix.start(exe, ["--seconds", str(seconds)] + ["--hold-instance"] * hold_instance +
                                    ["--own-mutex", own_mutex] * bool(own_mutex),
                                    env=prefix.env(WINEDEBUG="-all"), stdout=subprocess.PIPE,
                                    stdin=subprocess.DEVNULL, text=True)
        self.lines: queue.Queue = queue.Queue()
        self.ended = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()
        if (line := self.next(start_limit)) != "ready":
            state = f"ended with exit code {self.process.wait(10)}" if self.ended.is_set() else "still runs"
            raise AssertionError(f"window_listener.exe printed {line!r} instead of 'ready' and {state}")

    def _read(self) -> None:
        for line in self.process.stdout:
            self.lines.put(line.strip())
        self.ended.set()
        self.lines.put(None)  # wakes a waiting next()

    def next(self, timeout: float = 30) -> str | None:
        """The next line; None once the output has ended, or after `timeout` seconds."""
        if self.ended.is_set() and self.lines.empty():
            return None
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def until(self, last: str) -> list[str]:
        """The lines seen before `last`."""
        seen = []
        while (line := self.next(60)) != last:
            assert line is not None, f"no {last!r} from the listener; it saw {seen}"
            seen.append(line)
        return seen

    def close(self) -> None:
        self.process.kill()
        self.process.wait()
