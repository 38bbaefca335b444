"""DNS-SD advertisement seen from another machine on the link: two network namespaces joined by a
veth pair, each with its own D-Bus and avahi-daemon in a private mount namespace, so no mDNS ever
reaches the machine's real interfaces."""
import os
import pathlib
import shutil
import signal
import subprocess
import time
import uuid

import pytest

from conftest import BIN

SERVER_HOST = "tavlo-srv"
INSTANCE = f"Tavlo on {SERVER_HOST}"
PORT = 18765
TESTSERVER = pathlib.Path(os.environ.get("TAVLO_HTTP_TESTSERVER", BIN.parent / "tavlo-http-testserver"))
SANDBOXED = os.environ.get("TAVLO_IN_SANDBOX") == "1"
FAKE_TAILSCALE = pathlib.Path("/usr/local/bin/tailscale")  # the sandbox's private scratch folder


def run(*args, check=True, timeout=20):
    return subprocess.run(args, check=check, timeout=timeout, capture_output=True, text=True)


def wait_until(predicate, timeout=20, step=0.5):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if value := predicate():
            return value
        time.sleep(step)
    return predicate()


class Node:
    """A network namespace with a long-lived holder process owning private mount and UTS namespaces."""

    def __init__(self, netns, hostname):
        self.netns = netns
        self.holder = subprocess.Popen(["ip", "netns", "exec", netns, "unshare", "--mount", "--uts",
                                        "--propagation", "private", "sleep", "3600"])
        try:
            self.start(hostname)
        except BaseException:
            self.close()  # a node whose set-up failed leaves nothing running
            raise

    def start(self, hostname):
        # Entered only once the holder runs `sleep`: `ip netns exec` makes a mount namespace of its own
        # first, and mounts made in that one would not be the holder's (nor private).
        comm = pathlib.Path(f"/proc/{self.holder.pid}/comm")
        assert wait_until(lambda: comm.read_text().strip() == "sleep", timeout=10, step=0.02), "holder did not start"
        self.sh(f"""
            hostname {hostname}
            mount -t tmpfs tmpfs /run/dbus
            mkdir -p /run/avahi-daemon && mount -t tmpfs tmpfs /run/avahi-daemon
            if [ -e /etc/machine-info ]; then mount --bind /dev/null /etc/machine-info; fi
            dbus-daemon --system --fork
        """)
        # The bus must answer before avahi-daemon looks for it; start it again if it went away.
        bus_up = lambda: self.sh("test -S /run/dbus/system_bus_socket", check=False).returncode == 0  # noqa: E731
        if not wait_until(bus_up, timeout=3, step=0.05):
            self.sh("rm -f /run/dbus/pid; dbus-daemon --system --fork")
            assert wait_until(bus_up, timeout=5, step=0.05), "dbus-daemon did not start"
        self.avahi(start=True)

    def enter(self):
        return ["nsenter", "-t", str(self.holder.pid), "-m", "-u", "-n", "--"]

    def sh(self, script, check=True, timeout=20):
        return run(*self.enter(), "bash", "-ec", script, check=check, timeout=timeout)

    def avahi(self, start):
        # In the foreground, its log kept: a daemon that will not start says why in the failure.
        log = pathlib.Path(f"/tmp/{self.netns}-avahi.log")
        if start:
            self.daemon = subprocess.Popen([*self.enter(), "avahi-daemon", "--no-drop-root", "--no-chroot",
                                            "--no-rlimits"], stdout=subprocess.DEVNULL, stderr=log.open("w"))
        else:
            self.sh("avahi-daemon --kill", check=False)
        running = lambda: self.sh("avahi-daemon --check", check=False).returncode == 0  # noqa: E731
        ok = wait_until(lambda: running() == start, timeout=10, step=0.05)
        if not start and ok:
            self.daemon.wait(timeout=10)
        assert ok, f"avahi-daemon start={start} failed: {log.read_text(errors='replace')[-2000:]}"

    def popen(self, *args):
        return subprocess.Popen([*self.enter(), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def get(self, path):  # the raw reply from the server; text mode folds CR LF
        return self.sh(f"exec 3<>/dev/tcp/10.77.0.1/{PORT}; "
                       f"printf 'GET {path} HTTP/1.1\\r\\nHost: 10.77.0.1:{PORT}\\r\\n\\r\\n' >&3; cat <&3").stdout

    def close(self):
        # Every process in our own namespace is ours: end each by its pid.
        for pid in run("ip", "netns", "pids", self.netns, check=False).stdout.split():
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        self.holder.kill()
        self.holder.wait(timeout=10)
        if getattr(self, "daemon", None):
            self.daemon.wait(timeout=10)
        pathlib.Path(f"/tmp/{self.netns}-avahi.log").unlink(missing_ok=True)


def skip_reason():
    if os.geteuid() != 0:
        return "needs root to create network namespaces"
    for tool in ("ip", "nsenter", "unshare", "dbus-daemon", "avahi-daemon", "avahi-browse"):
        if not shutil.which(tool) and not os.path.exists(f"/usr/sbin/{tool}"):
            return f"{tool} is not installed"
    probe = f"tavlo-probe-{uuid.uuid4().hex[:6]}"
    if run("ip", "netns", "add", probe, check=False).returncode != 0:
        return "ip netns add failed: network namespaces are not available here"
    run("ip", "netns", "del", probe, check=False)


@pytest.fixture
def link():
    if reason := skip_reason():
        pytest.skip(f"DNS-SD end-to-end test skipped: {reason}")
    tag = uuid.uuid4().hex[:6]
    ends = ((f"tavlo-s-{tag}", f"ts{tag}", "10.77.0.1/24", SERVER_HOST),
            (f"tavlo-c-{tag}", f"tc{tag}", "10.77.0.2/24", "tavlo-phone"))
    nodes = []
    try:
        run("ip", "link", "add", ends[0][1], "type", "veth", "peer", "name", ends[1][1])
        # Each side's interface is named like a built-in Ethernet port, so it is the LAN address.
        for ns, dev, addr, _ in ends:
            run("ip", "netns", "add", ns)
            run("ip", "link", "set", dev, "netns", ns)
            run("ip", "netns", "exec", ns, "sh", "-ec", f"ip link set {dev} name eth0; ip addr add {addr} dev eth0; "
                "ip link set eth0 up multicast on; ip link set lo up")
        for ns, _, _, hostname in ends:
            nodes.append(Node(ns, hostname))
        yield nodes
    finally:
        for node in nodes:
            node.close()
        for ns, *_ in ends:
            run("ip", "netns", "del", ns, check=False)


def fake_tailscale(ips, dns_name):
    assert SANDBOXED, "only the sandbox's /usr/local/bin is scratch"
    FAKE_TAILSCALE.write_text('#!/bin/sh\necho \'{"BackendState":"Running","Self":'
                              f'{{"TailscaleIPs":{ips},"DNSName":"{dns_name}."}}}}\'\n')
    FAKE_TAILSCALE.chmod(0o755)


def end(proc):
    """SIGTERM (then SIGKILL after 10 s) and removal of any fake tailscale."""
    if SANDBOXED:
        FAKE_TAILSCALE.unlink(missing_ok=True)
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def browse(client):
    """Resolved `_tavlo._tcp` entries seen by the client: {instance name: (address, port, txt dict)}."""
    found = {}
    for line in client.sh("avahi-browse -rpt _tavlo._tcp", check=False, timeout=30).stdout.splitlines():
        fields = line.split(";")
        if len(fields) >= 10 and fields[0] == "=" and fields[2] == "IPv4":
            txt = dict(item.strip('"').split("=", 1) for item in fields[9].split('" "') if "=" in item)
            found[fields[3].replace("\\032", " ")] = (fields[7], int(fields[8]), txt)
    return found


def seen(client, **txt):
    """Waits for the server's entry at 10.77.0.1:PORT and checks the given TXT keys; returns the TXT."""
    entry = wait_until(lambda: browse(client).get(INSTANCE))
    assert entry, f"{INSTANCE} not seen; browse gave {browse(client)}"
    assert entry[:2] == ("10.77.0.1", PORT)
    assert {key: entry[2].get(key) for key in txt} == txt
    return entry[2]


def test_advertisement_is_seen_and_survives_a_daemon_restart(link):
    server, client = link
    assert TESTSERVER.exists(), f"{TESTSERVER} is missing: build the tests first"
    if SANDBOXED:
        fake_tailscale('["fd7a::5","100.64.9.9"]', "tavlo-srv.example.ts.net")
    proc = server.popen(str(TESTSERVER), "--port", str(PORT))
    try:
        assert proc.stdout.readline().strip() == f"listening {PORT}"
        txt = seen(client, version="0.1.0", hostname=SERVER_HOST, port=str(PORT), lan_ip="10.77.0.1")
        if SANDBOXED:
            assert (txt["tailscale_ip"], txt["tailscale_hostname"]) == ("100.64.9.9", "tavlo-srv.example.ts.net")
        reply = client.get("/")
        assert reply.startswith("HTTP/1.1 200 OK") and reply.endswith('{"ok":true,"status":"ready"}')

        server.avahi(start=False)
        assert wait_until(lambda: INSTANCE not in browse(client)), "entry outlived its daemon"
        server.avahi(start=True)
        seen(client, port=str(PORT))  # registered again after the daemon restarted
        assert proc.poll() is None, "server died with the daemon"
    finally:
        end(proc)


def test_companion_advertises_tailscale_and_withdraws_on_sigterm(link, tmp_path):
    server, client = link
    if not SANDBOXED:
        pytest.skip("needs the sandbox's private /usr/local/bin for a fake tailscale")
    fake_tailscale('["100.64.1.2"]', "desk.example.ts.net")
    env = f"HOME={tmp_path} XDG_STATE_HOME={tmp_path}/state XDG_DATA_HOME={tmp_path}/data"
    proc = server.popen("env", *env.split(), str(BIN), "--headless")
    try:
        seen(client, tailscale_ip="100.64.1.2", tailscale_hostname="desk.example.ts.net", lan_ip="10.77.0.1",
             hostname=SERVER_HOST)
        assert '"tailscale_ip":"100.64.1.2"' in client.get("/health")  # the phone's request over the link
        # Tailscale comes up with another address: the record follows within a refresh, in place.
        fake_tailscale('["100.64.7.7"]', "desk2.example.ts.net")
        changed = wait_until(lambda: browse(client).get(INSTANCE, (0, 0, {}))[2].get("tailscale_ip") == "100.64.7.7",
                             timeout=15)
        assert changed, f"TXT not updated: {browse(client)}"
        seen(client, tailscale_hostname="desk2.example.ts.net", lan_ip="10.77.0.1", hostname=SERVER_HOST)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=10) == 0
        assert wait_until(lambda: INSTANCE not in browse(client)), "advertisement outlived the companion"
    finally:
        end(proc)
