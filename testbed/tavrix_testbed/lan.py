"""A simulated LAN of tuner boxes in network namespaces.

Layout: one namespace holds a bridge ("br0"); the program's namespace and one
namespace per box hang off it through veth pairs. Addresses come from
192.0.2.0/24 (TEST-NET-1), IPv6 is off everywhere, and nothing is linked to the
host's own network, so no packet can leave the bridge. Every name carries the
pid and a per-process counter, so parallel runs never meet.

    with Lan() as lan:
        lan.add_box(Box(nth_valid_device_id(0), "192.0.2.10", "box-a", [Tuner("dvbc")]))
        out = lan.run(["hdhomerun_config", "discover"]).stdout
"""

import atexit
import ipaddress
import itertools
import os
import re
import selectors
import shutil
import signal
import subprocess
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Dict, Iterable, List, Optional, Sequence

from .simulator_config import (  # noqa: F401  (re-exported for tests)
    LAN_NETWORK, SIMULATOR, TEST_NETWORKS, Box, Tuner, format_device_id, invalid_device_id,
    is_valid_device_id, nth_valid_device_id, valid_device_ids,
)

NS_PREFIX = "tvxlan-"
PYTHON = "/usr/bin/python3"
NS_UP = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "lan", "ns-up.sh")
NETNS_ETC = "/etc/netns"
_STALE_NAME = re.compile(r"^%s(\d+)-\d+-" % re.escape(NS_PREFIX))
_counter = itertools.count(1)


class LanError(RuntimeError):
    pass


def _ip(args: Sequence[str], stdin: Optional[str] = None, check: bool = True) -> subprocess.CompletedProcess:
    result = subprocess.run(["ip", *args], input=stdin, capture_output=True, text=True, timeout=60)
    if check and result.returncode != 0:
        raise LanError("ip %s failed: %s%s" % (" ".join(args), result.stderr.strip(),
                                               ("\ninput:\n" + stdin) if stdin else ""))
    return result


def _pid_alive(pid: int) -> bool:
    """True while the process runs; a zombie (exited, not yet reaped) counts as gone."""
    try:
        with open("/proc/%d/stat" % pid) as handle:
            state = handle.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state not in ("Z", "X")


def _namespace_pids(ns: str) -> List[int]:
    result = _ip(["netns", "pids", ns], check=False)
    return [int(p) for p in result.stdout.split() if p.isdigit()]


def _kill_namespace_processes(ns: str) -> None:
    # Only processes inside a namespace this module created: its simulators and
    # whatever a test started in it.
    for sig in (signal.SIGTERM, signal.SIGKILL):
        pids = [p for p in _namespace_pids(ns) if p != os.getpid()]
        if not pids:
            return
        for pid in pids:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline and any(_pid_alive(p) for p in pids):
            time.sleep(0.02)


def _delete_namespaces(names: Iterable[str]) -> None:
    existing = set(list_namespaces())
    doomed = [n for n in names if n in existing]
    for ns in doomed:
        _kill_namespace_processes(ns)
    if doomed:
        _ip(["-force", "-batch", "-"], stdin="".join("netns del %s\n" % n for n in doomed), check=False)


def list_namespaces() -> List[str]:
    result = _ip(["netns", "list"], check=False)
    return [line.split()[0] for line in result.stdout.splitlines() if line.strip()]


def cleanup_stale() -> List[str]:
    """Remove namespaces, hosts folders and work folders left by runs whose process is gone."""
    removed = []
    stale_ns = [n for n in list_namespaces()
                if _STALE_NAME.match(n) and not _pid_alive(int(_STALE_NAME.match(n).group(1)))]
    _delete_namespaces(stale_ns)
    removed += stale_ns
    for parent in (NETNS_ETC, tempfile.gettempdir()):
        if not os.path.isdir(parent):
            continue
        for entry in os.listdir(parent):
            match = _STALE_NAME.match(entry)
            if match and not _pid_alive(int(match.group(1))):
                shutil.rmtree(os.path.join(parent, entry), ignore_errors=True)
                removed.append(os.path.join(parent, entry))
    return removed


@dataclass
class RunningBox:
    box: Box
    namespace: str
    bridge_port: str
    process: subprocess.Popen
    config_path: str
    log_path: str


class Lan:
    """Bridge namespace + program namespace + one namespace and simulator per box."""

    def __init__(self, program_ip: str = "192.0.2.2", start_timeout: float = 60.0, python: str = PYTHON):
        self.run_id = "%s%d-%d" % (NS_PREFIX, os.getpid(), next(_counter))
        self.program_ns = self.run_id + "-prog"
        self.bridge_ns = self.run_id + "-br"
        self.program_ip = program_ip
        self.prefix_len = LAN_NETWORK.prefixlen
        self.start_timeout = start_timeout
        self.python = python
        self.hosts_dir = os.path.join(NETNS_ETC, self.program_ns)
        self._namespaces: List[str] = []
        self._boxes: Dict[int, RunningBox] = {}
        self._hosts: List[tuple] = []  # (ip, names, owner tag)
        self._closed = False
        self._owner_pid = os.getpid()
        self.workdir = tempfile.mkdtemp(prefix=self.run_id + "-")
        atexit.register(self.close)
        try:
            self._check_address(program_ip, "program")
            cleanup_stale()
            self._create()
        except BaseException:
            self.close()
            raise

    # ------------------------------------------------------------ set-up
    def _check_address(self, ip: str, what: str) -> None:
        address = ipaddress.ip_address(ip)
        if address not in LAN_NETWORK or address in (LAN_NETWORK.network_address, LAN_NETWORK.broadcast_address):
            raise ValueError("%s address %s is not a host of %s" % (what, ip, LAN_NETWORK))

    def _add_namespaces(self, names: Sequence[str]) -> None:
        self._namespaces.extend(names)
        _ip(["-batch", "-"], stdin="".join("netns add %s\n" % n for n in names))

    def _create(self) -> None:
        self._add_namespaces([self.bridge_ns, self.program_ns])
        subprocess.run(["ip", "netns", "exec", self.bridge_ns, "sh", "-c",
                        "echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6;"
                        "echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6"], check=True, timeout=30)
        _ip(["-n", self.bridge_ns, "-batch", "-"], stdin=(
            "link set lo up\n"
            "link add br0 type bridge\n"
            "link set br0 up\n"
            "link add prog type veth peer name eth0 netns %s\n"
            "link set prog master br0 up\n" % self.program_ns))
        self._write_name_service_files()
        result = subprocess.run(["ip", "netns", "exec", self.program_ns, "/bin/sh", NS_UP,
                                 "%s/%d" % (self.program_ip, self.prefix_len)],
                                capture_output=True, text=True, timeout=30)
        if result.returncode != 0:
            raise LanError("program namespace set-up failed: " + result.stderr)

    def _write_name_service_files(self) -> None:
        os.makedirs(self.hosts_dir, exist_ok=True)
        # Look-ups end at the hosts file or at a resolver on the namespace's
        # own loopback, where nothing listens: no query can leave.
        with open(os.path.join(self.hosts_dir, "resolv.conf"), "w") as handle:
            handle.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
        with open(os.path.join(self.hosts_dir, "nsswitch.conf"), "w") as handle:
            handle.write("passwd: files\ngroup: files\nshadow: files\nhosts: files dns\n")
        self._write_hosts()

    def _write_hosts(self) -> None:
        lines = ["127.0.0.1\tlocalhost"]
        lines += ["%s\t%s" % (ip, " ".join(names)) for ip, names, _tag in self._hosts]
        text = "\n".join(lines) + "\n"
        # Rewritten in place: processes already running in the namespace have
        # this very file bind-mounted and see the new entries.
        with open(os.path.join(self.hosts_dir, "hosts"), "w") as handle:
            handle.write(text)

    # ------------------------------------------------------------ hosts
    def set_host(self, ip: str, name: str, *aliases: str, _tag: Optional[str] = None) -> None:
        """Add "ip name aliases..." to the program namespace's hosts file (forward and reverse)."""
        address = ipaddress.ip_address(ip)
        if not (address.is_loopback or any(address in net for net in TEST_NETWORKS)):
            raise ValueError("host address %s is outside TEST-NET and loopback" % ip)
        for text in (name,) + aliases:
            if not text or any(c.isspace() for c in text) or "#" in text:
                raise ValueError("bad host name %r" % text)
        self._hosts.append((str(address), (name,) + tuple(aliases), _tag))
        self._write_hosts()

    def remove_host(self, ip: Optional[str] = None, name: Optional[str] = None) -> None:
        self._hosts = [h for h in self._hosts
                       if not ((ip is None or h[0] == ip) and (name is None or name in h[1]))]
        self._write_hosts()

    def hosts_text(self) -> str:
        with open(os.path.join(self.hosts_dir, "hosts")) as handle:
            return handle.read()

    # ------------------------------------------------------------ boxes
    def add_box(self, box: Box) -> RunningBox:
        return self.add_boxes([box])[0]

    def add_boxes(self, boxes: Sequence[Box]) -> List[RunningBox]:
        """Start all boxes in parallel; returns once every simulator listens."""
        self._ensure_open()
        boxes = list(boxes)
        self._check_new_boxes(boxes)
        if not boxes:
            return []
        names = {b.device_id: "%s-b%08x" % (self.run_id, b.device_id) for b in boxes}
        self._add_namespaces(list(names.values()))
        batch = []
        for box in boxes:
            port = "b%08x" % box.device_id
            batch.append("link add %s type veth peer name eth0 netns %s\n" % (port, names[box.device_id]))
            batch.append("link set %s master br0 up\n" % port)
        _ip(["-n", self.bridge_ns, "-batch", "-"], stdin="".join(batch))

        # Popen waits for each child's exec; spawning from a few threads keeps a
        # large LAN from starting one box after the other.
        with ThreadPoolExecutor(max_workers=min(8, len(boxes))) as pool:
            futures = [pool.submit(self._start_simulator, box, names[box.device_id]) for box in boxes]
        started, errors = [], []
        for future in futures:
            try:
                rb = future.result()
            except Exception as exc:  # every started box must still be recorded for close()
                errors.append(exc)
                continue
            self._boxes[rb.box.device_id] = rb
            started.append(rb)
        if errors:
            raise errors[0]
        self._wait_ready(started)
        for box in boxes:
            if box.hostname:
                self.set_host(box.ip, box.hostname, _tag=box.id_text)
        return started

    def _check_new_boxes(self, boxes: Sequence[Box]) -> None:
        ids = set(self._boxes)
        ips = {rb.box.ip for rb in self._boxes.values()} | {self.program_ip}
        for box in boxes:
            box.validate()
            if box.device_id in ids:
                raise ValueError("device id %s is already on the LAN" % box.id_text)
            if box.ip in ips:
                raise ValueError("address %s is already on the LAN" % box.ip)
            ids.add(box.device_id)
            ips.add(box.ip)

    def _start_simulator(self, box: Box, ns: str) -> RunningBox:
        config_path = os.path.join(self.workdir, "box-%s.json" % box.id_text)
        log_path = os.path.join(self.workdir, "box-%s.log" % box.id_text)
        box.write_config(config_path)
        with open(log_path, "w") as log:
            process = subprocess.Popen(
                ["ip", "netns", "exec", ns, "/bin/sh", NS_UP, "%s/%d" % (box.ip, self.prefix_len),
                 self.python, "-I", "-S", SIMULATOR, config_path],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log)
        return RunningBox(box, ns, "b%08x" % box.device_id, process, config_path, log_path)

    def _wait_ready(self, started: Sequence[RunningBox]) -> None:
        deadline = time.monotonic() + self.start_timeout
        pending = {rb.process.stdout.fileno(): rb for rb in started}
        lines = {fd: b"" for fd in pending}
        with selectors.DefaultSelector() as sel:
            for fd in pending:
                sel.register(fd, selectors.EVENT_READ)
            while pending:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise LanError("boxes did not start in %.0f s: %s" % (
                        self.start_timeout, ", ".join(rb.box.id_text for rb in pending.values())))
                for key, _ in sel.select(left):
                    fd = key.fd
                    chunk = os.read(fd, 256)
                    rb = pending[fd]
                    lines[fd] += chunk
                    if b"\n" in lines[fd] or not chunk:
                        sel.unregister(fd)
                        del pending[fd]
                        rb.process.stdout.close()
                        if not lines[fd].startswith(b"READY"):
                            rb.process.wait(timeout=5)
                            raise LanError("box %s did not start (rc=%s): %s" % (
                                rb.box.id_text, rb.process.returncode, self._read(rb.log_path)))

    def remove_box(self, device_id: int) -> None:
        """The box leaves the LAN: simulator stopped, namespace and bridge port gone."""
        rb = self._boxes.pop(device_id)
        self._stop(rb)
        _delete_namespaces([rb.namespace])
        self._namespaces.remove(rb.namespace)
        _ip(["-n", self.bridge_ns, "link", "del", rb.bridge_port], check=False)
        self._hosts = [h for h in self._hosts if h[2] != rb.box.id_text]
        self._write_hosts()

    @staticmethod
    def _stop(rb: RunningBox) -> None:
        if rb.process.poll() is None:
            rb.process.terminate()
            try:
                rb.process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                rb.process.kill()
                rb.process.wait(timeout=5)
        if rb.process.stdout and not rb.process.stdout.closed:
            rb.process.stdout.close()

    @property
    def boxes(self) -> List[Box]:
        return [rb.box for rb in self._boxes.values()]

    def running_box(self, device_id: int) -> RunningBox:
        return self._boxes[device_id]

    def box_running(self, device_id: int) -> bool:
        return self._boxes[device_id].process.poll() is None

    def box_log(self, device_id: int) -> str:
        return self._read(self._boxes[device_id].log_path)

    @staticmethod
    def _read(path: str) -> str:
        try:
            with open(path, errors="replace") as handle:
                return handle.read()
        except OSError:
            return ""

    # ------------------------------------------------------------ program side
    def exec_prefix(self) -> List[str]:
        return ["ip", "netns", "exec", self.program_ns]

    def run(self, args: Sequence[str], timeout: float = 60, **kwargs) -> subprocess.CompletedProcess:
        """Run a command in the program namespace; output captured as text."""
        kwargs.setdefault("capture_output", True)
        kwargs.setdefault("text", True)
        return subprocess.run(self.exec_prefix() + list(args), timeout=timeout, **kwargs)

    # ------------------------------------------------------------ teardown
    def _ensure_open(self) -> None:
        if self._closed:
            raise LanError("LAN already closed")

    def close(self) -> None:
        if self._closed or os.getpid() != self._owner_pid:  # a forked child owns nothing
            return
        self._closed = True
        atexit.unregister(self.close)
        try:
            for rb in list(self._boxes.values()):
                try:
                    self._stop(rb)
                except Exception:  # keep tearing down the rest
                    pass
            self._boxes.clear()
            _delete_namespaces(list(reversed(self._namespaces)))
        finally:
            shutil.rmtree(self.hosts_dir, ignore_errors=True)
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self) -> "Lan":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):  # last resort; close() is the way
        try:
            self.close()
        except Exception:
            pass
