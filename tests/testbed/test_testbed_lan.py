"""The namespace LAN: isolation, names, hosts files, box start and removal, clean-up."""

import os
import subprocess
import time

import pytest

from conftest import PYTHON, TESTBED, discovered, timed_run
from tavrix_testbed.lan import Box, Lan, LanError, Tuner, cleanup_stale, list_namespaces, nth_valid_device_id

ID_A = nth_valid_device_id(10)
ID_B = nth_valid_device_id(11)
LONG_NAME = "n" * 300  # far past any name field of the program

pytestmark = pytest.mark.usefixtures("netns_ok")


def box(device_id, ip, hostname=None, **misbehave):
    return Box(device_id, ip, hostname, [Tuner("dvbc")], misbehave or None)


def lan_namespaces(lan):
    return [n for n in list_namespaces() if n.startswith(lan.run_id + "-")]


def pid_alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as handle:
            return handle.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except OSError:
        return False


class TestLifecycle:
    def test_close_removes_namespaces_hosts_folder_and_simulators(self):
        with Lan() as lan:
            rb = lan.add_box(box(ID_A, "192.0.2.10", "box-a"))
            assert str(os.getpid()) in lan.program_ns
            assert sorted(lan_namespaces(lan)) == sorted(
                [lan.program_ns, lan.bridge_ns, rb.namespace])
            assert os.path.exists("/etc/netns/%s/hosts" % lan.program_ns)
            pid = rb.process.pid
            workdir = lan.workdir
        assert lan_namespaces(lan) == []
        assert not os.path.exists("/etc/netns/%s" % lan.program_ns)
        assert not os.path.exists(workdir)
        assert not pid_alive(pid)

    def test_close_after_a_failure_inside_the_block(self):
        with pytest.raises(RuntimeError, match="boom"):
            with Lan() as lan:
                lan.add_box(box(ID_A, "192.0.2.10"))
                raise RuntimeError("boom")
        assert lan_namespaces(lan) == []
        assert not os.path.exists("/etc/netns/%s" % lan.program_ns)

    def test_simulator_that_cannot_start_is_reported_and_cleaned_up(self):
        with Lan() as lan:
            with pytest.raises(LanError, match="did not start"):
                lan.add_box(box(ID_A, "192.0.2.10", control_garbage="no-such-kind"))
        assert lan_namespaces(lan) == []

    def test_two_lans_at_once_have_distinct_names_and_do_not_see_each_other(self):
        with Lan() as lan1, Lan() as lan2:
            assert lan1.program_ns != lan2.program_ns
            lan1.add_box(box(ID_A, "192.0.2.10"))
            lan2.add_box(box(ID_B, "192.0.2.10"))  # same address, other LAN
            assert discovered(lan1) == {"%08X" % ID_A: "192.0.2.10"}
            assert discovered(lan2) == {"%08X" % ID_B: "192.0.2.10"}

    def test_remove_box_leaves_the_lan(self):
        with Lan() as lan:
            rb_a = lan.add_box(box(ID_A, "192.0.2.10", "box-a"))
            lan.add_box(box(ID_B, "192.0.2.11"))
            assert set(discovered(lan)) == {"%08X" % ID_A, "%08X" % ID_B}
            lan.remove_box(ID_A)
            assert discovered(lan) == {"%08X" % ID_B: "192.0.2.11"}
            assert rb_a.namespace not in list_namespaces()
            assert not pid_alive(rb_a.process.pid)
            assert "box-a" not in lan.hosts_text()
            assert [b.device_id for b in lan.boxes] == [ID_B]
            lan.add_box(box(ID_A, "192.0.2.10"))  # and may come back
            assert set(discovered(lan)) == {"%08X" % ID_A, "%08X" % ID_B}


def test_leftovers_of_a_killed_run_are_cleaned_by_the_next():
    script = (
        "import sys; sys.path.insert(0, %r)\n"
        "from tavrix_testbed.lan import Lan, Box, Tuner, nth_valid_device_id\n"
        "lan = Lan(); rb = lan.add_box(Box(%d, '192.0.2.10', 'box-a', [Tuner('x')]))\n"
        "print(lan.run_id, rb.process.pid, flush=True)\n"
        "sys.stdin.read()\n" % (str(TESTBED), ID_A))
    proc = subprocess.Popen([PYTHON, "-c", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    run_id, sim_pid = proc.stdout.readline().split()
    proc.kill()
    proc.wait()
    left = [n for n in list_namespaces() if n.startswith(run_id + "-")]
    assert len(left) == 3 and pid_alive(int(sim_pid))
    removed = cleanup_stale()
    assert sorted(n for n in removed if n.startswith(run_id + "-")) == sorted(left)
    assert [n for n in list_namespaces() if n.startswith(run_id + "-")] == []
    assert not os.path.exists("/etc/netns/%s-prog" % run_id)
    deadline = time.monotonic() + 5
    while pid_alive(int(sim_pid)) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not pid_alive(int(sim_pid))


class TestValidation:
    def test_rejects_duplicates_and_foreign_addresses(self):
        with Lan() as lan:
            lan.add_box(box(ID_A, "192.0.2.10"))
            with pytest.raises(ValueError):
                lan.add_box(box(ID_A, "192.0.2.11"))
            with pytest.raises(ValueError):
                lan.add_box(box(ID_B, "192.0.2.10"))
            with pytest.raises(ValueError):
                lan.add_box(box(ID_B, "192.0.2.2"))  # the program's address
            with pytest.raises(ValueError):
                lan.set_host("10.1.2.3", "elsewhere")
            with pytest.raises(ValueError):
                lan.set_host("192.0.2.40", "two words")
        with pytest.raises(ValueError):
            Lan(program_ip="10.0.0.2")


@pytest.fixture(scope="module")
def lan():
    with Lan() as lan:
        lan.add_box(box(ID_A, "192.0.2.10", "box-a.lan"))
        lan.set_host("192.0.2.77", "owner-pc")
        lan.set_host("198.51.100.9", "far-host")
        lan.set_host("192.0.2.80", "multi")
        lan.set_host("192.0.2.81", "multi")  # reverse of .81 is "multi", forward of it is .80
        lan.set_host("192.0.2.82", LONG_NAME)
        yield lan


class TestProgramNamespace:
    def test_only_the_test_net_route_and_no_ipv6(self, lan):
        routes = lan.run(["ip", "-4", "route"]).stdout.strip().splitlines()
        assert routes == ["192.0.2.0/24 dev eth0 proto kernel scope link src 192.0.2.2"]
        assert lan.run(["cat", "/proc/sys/net/ipv6/conf/all/disable_ipv6"]).stdout.strip() == "1"
        assert lan.run(["ip", "-6", "addr"]).stdout.strip() == ""
        links = sorted(line.split(":")[1].strip().split("@")[0]
                       for line in lan.run(["ip", "-o", "link"]).stdout.splitlines())
        assert links == ["eth0", "lo"]

    def test_box_namespace_is_as_narrow(self, lan):
        ns = lan.running_box(ID_A).namespace
        result = lan.run(["ip", "netns", "exec", ns, "ip", "-4", "-o", "addr"])  # nested exec is fine
        assert "192.0.2.10/24" in result.stdout
        assert len(result.stdout.strip().splitlines()) == 2  # lo and eth0

    def test_resolver_stays_on_loopback(self, lan):
        assert lan.run(["cat", "/etc/resolv.conf"]).stdout.splitlines()[0] == "nameserver 127.0.0.1"

    @pytest.mark.parametrize("query,expected", [
        ("box-a.lan", "192.0.2.10"), ("192.0.2.10", "box-a.lan"),
        ("owner-pc", "192.0.2.77"), ("192.0.2.77", "owner-pc"),
        ("198.51.100.9", "far-host"),
        (LONG_NAME, "192.0.2.82"), ("192.0.2.82", LONG_NAME),
    ])
    def test_forward_and_reverse_names(self, lan, query, expected):
        result = lan.run(["getent", "hosts", query])
        assert result.returncode == 0
        assert expected in result.stdout.split()

    def test_several_addresses_for_one_name_forward_to_the_first(self, lan):
        assert lan.run(["getent", "hosts", "multi"]).stdout.split()[0] == "192.0.2.80"
        assert lan.run(["getent", "hosts", "192.0.2.81"]).stdout.split()[1] == "multi"

    @pytest.mark.parametrize("query", ["no-such-host", "192.0.2.99"])
    def test_unknown_names_fail_fast(self, lan, query):
        result, seconds = timed_run(lan, ["getent", "hosts", query])
        assert result.returncode == 2
        assert seconds < 3.0

    def test_hosts_change_reaches_a_running_process(self, lan):
        # The process has the hosts file mounted before the change and reads it after.
        proc = subprocess.Popen(lan.exec_prefix() + ["sh", "-c", "echo started; read go; getent hosts late-host"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert proc.stdout.readline() == "started\n"
        lan.set_host("192.0.2.90", "late-host")
        out, _ = proc.communicate("go\n", timeout=10)
        lan.remove_host(name="late-host")
        assert out.split() == ["192.0.2.90", "late-host"]
        assert "late-host" not in lan.hosts_text()

    def test_exec_prefix_names_the_program_namespace(self, lan):
        assert lan.exec_prefix() == ["ip", "netns", "exec", lan.program_ns]
