"""A simulated LAN of tuner boxes in network namespaces.

One namespace holds a bridge ("br0"); the program's namespace and one namespace per box
hang off it through veth pairs. Addresses come from 192.0.2.0/24, IPv6 is off and nothing
is linked to the host's network, so no packet leaves the bridge. Names carry the pid and a
per-process counter, so parallel runs never meet.

    with Lan() as lan:
        lan.add_box(Box(nth_valid_device_id(0), "192.0.2.10", "box-a", [Tuner("dvbc")]))
        out = lan.run(["hdhomerun_config", "discover"]).stdout
"""

import atexit
import contextlib
import ipaddress
import itertools
import os
import re
import shutil
import selectors
import signal
import subprocess
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Dict, List, Optional, Sequence

from .simulator_config import (  # noqa: F401  (re-exported for tests)
    LAN_NETWORK, SIMULATOR, TEST_NETWORKS, Box, Tuner, format_device_id, invalid_device_id,
    is_valid_device_id, nth_valid_device_id,
)

NS_PREFIX = "tvxlan-"
NS_UP = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "lan", "ns-up.sh")
NETNS_ETC = "/etc/netns"
# A resolver that never answers: an address of TEST-NET-2 whose frames go, by a fixed
# neighbour entry, to a MAC address nobody on the bridge holds.
SILENT_RESOLVER, SILENT_RESOLVER_MAC = "198.51.100.53", "02:00:00:00:00:53"
_STALE_NAME = re.compile(r"^%s(\d+)-\d+-" % re.escape(NS_PREFIX))
_counter = itertools.count(1)


class LanError(RuntimeError):
    pass


def _ip(args: Sequence[str], stdin: Optional[str] = None, check: bool = True) -> subprocess.CompletedProcess:
    result = subprocess.run(["ip", *args], input=stdin, capture_output=True, text=True, timeout=60)
    if check and result.returncode != 0:
        raise LanError("ip %s failed: %s %s" % (" ".join(args), result.stderr.strip(), stdin or ""))
    return result


def _pid_alive(pid: int) -> bool:
    try:
        with open("/proc/%d/stat" % pid) as handle:
            return handle.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except (OSError, IndexError):
        return False


def list_namespaces() -> List[str]:
    return [line.split()[0] for line in _ip(["netns", "list"]).stdout.splitlines() if line.strip()]


def _delete_namespaces(names: Sequence[str]) -> None:
    """Ends what runs inside (only namespaces of this module), then deletes them."""
    doomed = [n for n in names if n in set(list_namespaces())]
    for sig in (signal.SIGTERM, signal.SIGKILL):
        pids = [int(p) for ns in doomed for p in _ip(["netns", "pids", ns], check=False).stdout.split()
                if p.isdigit() and int(p) != os.getpid()]
        for pid in pids:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline and any(_pid_alive(p) for p in pids):
            time.sleep(0.02)
    if doomed:
        _ip(["-force", "-batch", "-"], stdin="".join("netns del %s\n" % n for n in doomed), check=False)


def cleanup_stale() -> None:
    """Removes namespaces, hosts folders and work folders of runs whose process is gone."""
    def stale(name):
        match = _STALE_NAME.match(name)
        return match and not _pid_alive(int(match.group(1)))
    _delete_namespaces([n for n in list_namespaces() if stale(n)])
    for parent in (NETNS_ETC, tempfile.gettempdir()):
        for entry in os.listdir(parent) if os.path.isdir(parent) else []:
            if stale(entry):
                shutil.rmtree(os.path.join(parent, entry), ignore_errors=True)


class RunningBox:
    def __init__(self, box: Box, namespace: str, process: subprocess.Popen, log_path: str):
        self.box, self.namespace, self.process, self.log_path = box, namespace, process, log_path
        self.bridge_port = "b%08x" % box.device_id


class Lan:
    """Bridge namespace + program namespace + one namespace and simulator per box."""

    def __init__(self, program_ip: str = "192.0.2.2", start_timeout: float = 60.0):
        self.run_id = "%s%d-%d" % (NS_PREFIX, os.getpid(), next(_counter))
        self.program_ns = self.run_id + "-prog"
        self.bridge_ns = self.run_id + "-br"
        self.program_ip = program_ip
        self.start_timeout = start_timeout
        self.hosts_dir = os.path.join(NETNS_ETC, self.program_ns)
        self._namespaces: List[str] = []
        self._boxes: Dict[int, RunningBox] = {}
        self._hosts: List[tuple] = []  # (ip, names, device id of the box that brought it)
        self._closed = False
        self._owner_pid = os.getpid()
        self.workdir = tempfile.mkdtemp(prefix=self.run_id + "-")
        atexit.register(self.close)
        try:
            cleanup_stale()
            self._create()
        except BaseException:
            self.close()
            raise

    def _add_namespaces(self, names: Sequence[str]) -> None:
        self._namespaces.extend(names)
        _ip(["-batch", "-"], stdin="".join("netns add %s\n" % n for n in names))

    def _create(self) -> None:
        self._add_namespaces([self.bridge_ns, self.program_ns])
        subprocess.run(["ip", "netns", "exec", self.bridge_ns, "sh", "-c",
                        "echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6;"
                        "echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6"], check=True, timeout=30)
        _ip(["-n", self.bridge_ns, "-batch", "-"], stdin=(
            "link set lo up\nlink add br0 type bridge\nlink set br0 up\n"
            "link add prog type veth peer name eth0 netns %s\nlink set prog master br0 up\n" % self.program_ns))
        os.makedirs(self.hosts_dir, exist_ok=True)
        # Look-ups end at the hosts file or at a resolver on the namespace's own loopback,
        # where nothing listens: no query leaves.
        self._resolve_at("127.0.0.1", 1)
        with open(os.path.join(self.hosts_dir, "nsswitch.conf"), "w") as handle:
            handle.write("passwd: files\ngroup: files\nshadow: files\nhosts: files dns\n")
        self._write_hosts()
        result = subprocess.run(["ip", "netns", "exec", self.program_ns, "/bin/sh", NS_UP,
                                 "%s/%d" % (self.program_ip, LAN_NETWORK.prefixlen)],
                                capture_output=True, text=True, timeout=30)
        if result.returncode != 0:
            raise LanError("program namespace set-up failed: " + result.stderr)
        _ip(["-n", self.program_ns, "-batch", "-"], stdin="route add %s/32 dev eth0\nneigh add %s lladdr %s dev eth0 "
            "nud permanent\n" % (SILENT_RESOLVER, SILENT_RESOLVER, SILENT_RESOLVER_MAC))

    def _resolve_at(self, server: str, seconds: int) -> None:
        # Rewritten in place: processes in the namespace have this very file bind-mounted.
        with open(os.path.join(self.hosts_dir, "resolv.conf"), "w") as handle:
            handle.write("nameserver %s\noptions timeout:%d attempts:1\n" % (server, seconds))

    @contextlib.contextmanager
    def silent_resolver(self, seconds: int = 5):
        """For programs started within, look-ups past the hosts file go to a resolver that never
        answers, each query waiting out `seconds`. No query ever leaves the bridge."""
        self._resolve_at(SILENT_RESOLVER, seconds)
        try:
            yield
        finally:
            self._resolve_at("127.0.0.1", 1)

    def _write_hosts(self) -> None:
        lines = ["127.0.0.1\tlocalhost"] + ["%s\t%s" % (ip, " ".join(names)) for ip, names, _ in self._hosts]
        # Rewritten in place: processes in the namespace have this very file bind-mounted.
        with open(os.path.join(self.hosts_dir, "hosts"), "w") as handle:
            handle.write("\n".join(lines) + "\n")

    # hosts
    def set_host(self, ip: str, name: str, *aliases: str, _box: Optional[int] = None) -> None:
        """Adds "ip name aliases..." to the program namespace's hosts file (forward and reverse)."""
        address = ipaddress.ip_address(ip)
        if not (address.is_loopback or any(address in net for net in TEST_NETWORKS)):
            raise ValueError("host address %s is outside TEST-NET and loopback" % ip)
        if any(not n or any(c.isspace() or c == "#" for c in n) for n in (name,) + aliases):
            raise ValueError("bad host name in %r" % ((name,) + aliases,))
        self._hosts.append((str(address), (name,) + aliases, _box))
        self._write_hosts()

    # boxes
    def add_box(self, box: Box) -> RunningBox:
        return self.add_boxes([box])[0]

    def add_boxes(self, boxes: Sequence[Box]) -> List[RunningBox]:
        """Starts all boxes in parallel; returns once every simulator listens."""
        if self._closed:
            raise LanError("LAN already closed")
        boxes = list(boxes)
        ips = {rb.box.ip for rb in self._boxes.values()} | {self.program_ip}
        for box in boxes:
            box.validate()
            if box.device_id in self._boxes or box.ip in ips:
                raise ValueError("box %s or address %s is already on the LAN" % (box.id_text, box.ip))
            ips.add(box.ip)
        if not boxes:
            return []
        names = {b.device_id: "%s-b%08x" % (self.run_id, b.device_id) for b in boxes}
        self._add_namespaces(list(names.values()))
        _ip(["-n", self.bridge_ns, "-batch", "-"], stdin="".join(
            "link add b%08x type veth peer name eth0 netns %s\nlink set b%08x master br0 up\n"
            % (b.device_id, names[b.device_id], b.device_id) for b in boxes))
        # Popen waits for each child's exec; a few threads start a large LAN faster.
        with ThreadPoolExecutor(max_workers=min(8, len(boxes))) as pool:
            started = list(pool.map(lambda b: self._start_simulator(b, names[b.device_id]), boxes))
        for rb in started:
            self._boxes[rb.box.device_id] = rb
        self._wait_ready(started)
        for box in boxes:
            if box.hostname:
                self.set_host(box.ip, box.hostname, _box=box.device_id)
        return started

    def _start_simulator(self, box: Box, ns: str) -> RunningBox:
        config_path = os.path.join(self.workdir, "box-%s.json" % box.id_text)
        log_path = os.path.join(self.workdir, "box-%s.log" % box.id_text)
        box.write_config(config_path)
        with open(log_path, "w") as log:
            process = subprocess.Popen(
                ["ip", "netns", "exec", ns, "/bin/sh", NS_UP, "%s/%d" % (box.ip, LAN_NETWORK.prefixlen),
                 "/usr/bin/python3", "-I", "-S", SIMULATOR, config_path],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log)
        return RunningBox(box, ns, process, log_path)

    def _wait_ready(self, started: Sequence[RunningBox]) -> None:
        deadline = time.monotonic() + self.start_timeout
        with selectors.DefaultSelector() as sel:
            for rb in started:
                sel.register(rb.process.stdout, selectors.EVENT_READ, rb)
            while sel.get_map():
                ready = sel.select(max(0.0, deadline - time.monotonic()))
                if not ready:
                    raise LanError("boxes did not start: " + ", ".join(k.data.box.id_text
                                                                        for k in sel.get_map().values()))
                for key, _ in ready:
                    sel.unregister(key.fileobj)
                    if not key.fileobj.readline().startswith(b"READY"):  # one write: the whole line
                        raise LanError("box %s did not start: %s" % (key.data.box.id_text,
                                                                     self._read(key.data.log_path)))

    def remove_box(self, device_id: int) -> None:
        """The box leaves the LAN: simulator stopped, namespace, bridge port and hosts entry gone."""
        rb = self._boxes.pop(device_id)
        _delete_namespaces([rb.namespace])
        self._namespaces.remove(rb.namespace)
        _ip(["-n", self.bridge_ns, "link", "del", rb.bridge_port], check=False)
        rb.process.wait(timeout=10)
        rb.process.stdout.close()
        self._hosts = [h for h in self._hosts if h[2] != device_id]
        self._write_hosts()

    @property
    def boxes(self) -> List[Box]:
        return [rb.box for rb in self._boxes.values()]

    def box_log(self, device_id: int) -> str:
        return self._read(self._boxes[device_id].log_path)

    def box_connects(self, device_id: int) -> list[float]:
        """When the box took each control connection (a search's first read), as time.time() says."""
        return [float(line.split()[0]) for line in self.box_log(device_id).splitlines() if "control connect" in line]

    @staticmethod
    def _read(path: str) -> str:
        # Made when the box starts: a failed read is a failure, never an empty log.
        with open(path, errors="replace") as handle:
            return handle.read()

    # program side
    def exec_prefix(self) -> List[str]:
        return ["ip", "netns", "exec", self.program_ns]

    def run(self, args: Sequence[str], timeout: float = 60, **kwargs) -> subprocess.CompletedProcess:
        """Runs a command in the program namespace; output captured as text."""
        kwargs.setdefault("capture_output", True)
        kwargs.setdefault("text", True)
        return subprocess.run(self.exec_prefix() + list(args), timeout=timeout, **kwargs)

    # teardown
    def close(self) -> None:
        if self._closed or os.getpid() != self._owner_pid:  # a forked child owns nothing
            return
        self._closed = True
        atexit.unregister(self.close)
        try:
            _delete_namespaces(list(reversed(self._namespaces)))
            for rb in self._boxes.values():
                rb.process.wait(timeout=10)
                rb.process.stdout.close()
            self._boxes.clear()
        finally:
            shutil.rmtree(self.hosts_dir, ignore_errors=True)
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self) -> "Lan":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
