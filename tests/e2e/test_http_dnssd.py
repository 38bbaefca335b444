"""DNS-SD advertisement seen from another machine on the link.

Two network namespaces joined by a veth pair stand in for the desktop and the
phone's network; each has its own D-Bus and avahi-daemon in a private mount
namespace, so no mDNS ever reaches the machine's real interfaces.
"""
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
PORT = 18765
TESTSERVER = pathlib.Path(os.environ.get("TAVLO_HTTP_TESTSERVER", BIN.parent / "tavlo-http-testserver"))


def run(*args, check=True, timeout=20):
    return subprocess.run(args, check=check, timeout=timeout, capture_output=True, text=True)


class Node:
    """A network namespace with a long-lived holder process owning private mount and UTS namespaces."""

    def __init__(self, netns, hostname):
        self.netns = netns
        self.holder = subprocess.Popen(
            ["ip", "netns", "exec", netns, "unshare", "--mount", "--uts", "--propagation", "private",
             "sleep", "3600"])
        for _ in range(100):  # wait until the holder has entered its namespaces
            if os.readlink(f"/proc/{self.holder.pid}/ns/mnt") != os.readlink("/proc/self/ns/mnt"):
                break
            time.sleep(0.02)
        self.sh(f"""
            hostname {hostname}
            mount -t tmpfs tmpfs /run/dbus
            mkdir -p /run/avahi-daemon && mount -t tmpfs tmpfs /run/avahi-daemon
            if [ -e /etc/machine-info ]; then mount --bind /dev/null /etc/machine-info; fi
            dbus-daemon --system --fork
        """)
        self.start_avahi()

    def enter(self):
        return ["nsenter", "-t", str(self.holder.pid), "-m", "-u", "-n", "--"]

    def sh(self, script, check=True, timeout=20):
        return run(*self.enter(), "bash", "-ec", script, check=check, timeout=timeout)

    def start_avahi(self):
        self.sh("avahi-daemon --daemonize --no-drop-root --no-chroot")
        for _ in range(100):
            if self.sh("avahi-daemon --check", check=False).returncode == 0:
                return
            time.sleep(0.05)
        raise AssertionError("avahi-daemon did not start")

    def stop_avahi(self):
        self.sh("avahi-daemon --kill")
        for _ in range(100):
            if self.sh("avahi-daemon --check", check=False).returncode != 0:
                return
            time.sleep(0.05)

    def popen(self, *args):
        return subprocess.Popen([*self.enter(), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def close(self):
        # Every process in our own namespace is ours: end each by its pid.
        out = run("ip", "netns", "pids", self.netns, check=False).stdout.split()
        for pid in out:
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        self.holder.wait(timeout=10)
        run("ip", "netns", "del", self.netns, check=False)


def can_make_namespaces():
    if os.geteuid() != 0:
        return "needs root to create network namespaces"
    for tool in ("ip", "nsenter", "unshare", "dbus-daemon", "avahi-daemon", "avahi-browse"):
        if not shutil.which(tool) and not os.path.exists(f"/usr/sbin/{tool}"):
            return f"{tool} is not installed"
    probe = f"tavlo-probe-{uuid.uuid4().hex[:6]}"
    if run("ip", "netns", "add", probe, check=False).returncode != 0:
        return "ip netns add failed: network namespaces are not available here"
    run("ip", "netns", "del", probe, check=False)
    return None


@pytest.fixture
def link():
    reason = can_make_namespaces()
    if reason:
        pytest.skip(f"DNS-SD end-to-end test skipped: {reason}")
    tag = uuid.uuid4().hex[:6]
    server_ns, client_ns = f"tavlo-s-{tag}", f"tavlo-c-{tag}"
    run("ip", "netns", "add", server_ns)
    run("ip", "netns", "add", client_ns)
    nodes = []
    try:
        run("ip", "link", "add", f"ts{tag}", "type", "veth", "peer", "name", f"tc{tag}")
        run("ip", "link", "set", f"ts{tag}", "netns", server_ns)
        run("ip", "link", "set", f"tc{tag}", "netns", client_ns)
        # The server side's interface is named like a built-in Ethernet port, so it is the LAN address.
        for ns, dev, new, addr in ((server_ns, f"ts{tag}", "eth0", "10.77.0.1/24"),
                                   (client_ns, f"tc{tag}", "eth0", "10.77.0.2/24")):
            run("ip", "-n", ns, "link", "set", dev, "name", new)
            run("ip", "-n", ns, "addr", "add", addr, "dev", new)
            run("ip", "-n", ns, "link", "set", new, "up", "multicast", "on")
            run("ip", "-n", ns, "link", "set", "lo", "up")
        nodes.append(Node(server_ns, SERVER_HOST))
        nodes.append(Node(client_ns, "tavlo-phone"))
        yield nodes[0], nodes[1]
    finally:
        for node in nodes:
            node.close()
        run("ip", "netns", "del", server_ns, check=False)
        run("ip", "netns", "del", client_ns, check=False)


def browse(client):
    """Resolved `_tavlo._tcp` entries seen by the client: {instance name: (address, port, txt dict)}."""
    out = client.sh("avahi-browse -rpt _tavlo._tcp", check=False, timeout=30).stdout
    found = {}
    for line in out.splitlines():
        fields = line.split(";")
        if len(fields) < 10 or fields[0] != "=" or fields[2] != "IPv4":
            continue
        name = fields[3].replace("\\032", " ")
        txt = {}
        for item in fields[9].split('" "'):
            item = item.strip('"')
            if "=" in item:
                key, value = item.split("=", 1)
                txt[key] = value
        found[name] = (fields[7], int(fields[8]), txt)
    return found


def wait_until(predicate, timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.5)
    return predicate()


def test_advertisement_is_seen_and_survives_a_daemon_restart(link, tmp_path):
    server, client = link
    assert TESTSERVER.exists(), f"{TESTSERVER} is missing: build the tests first"
    sandboxed = os.environ.get("TAVLO_IN_SANDBOX") == "1"
    if sandboxed:
        # /usr/local/bin is the sandbox's scratch folder: a fake tailscale that is up.
        fake = pathlib.Path("/usr/local/bin/tailscale")
        fake.write_text('#!/bin/sh\necho \'{"BackendState":"Running","Self":'
                        '{"TailscaleIPs":["fd7a::5","100.64.9.9"],"DNSName":"tavlo-srv.example.ts.net."}}\'\n')
        fake.chmod(0o755)
    proc = server.popen(str(TESTSERVER), "--port", str(PORT))
    try:
        assert proc.stdout.readline().strip() == f"listening {PORT}"
        instance = f"Tavlo on {SERVER_HOST}"

        seen = wait_until(lambda: browse(client).get(instance))
        assert seen, f"{instance} not seen; browse gave {browse(client)}"
        address, port, txt = seen
        assert (address, port) == ("10.77.0.1", PORT)
        assert txt["version"] == "0.1.0"
        assert txt["hostname"] == SERVER_HOST
        assert txt["port"] == str(PORT)
        assert txt["lan_ip"] == "10.77.0.1"
        if sandboxed:
            assert txt["tailscale_ip"] == "100.64.9.9"
            assert txt["tailscale_hostname"] == "tavlo-srv.example.ts.net"

        # The service answers HTTP over the link as well.
        reply = client.sh(f"exec 3<>/dev/tcp/10.77.0.1/{PORT}; printf 'GET / HTTP/1.1\\r\\n\\r\\n' >&3; cat <&3")
        assert reply.stdout.startswith("HTTP/1.1 200 OK")  # text mode folds CR LF
        assert reply.stdout.endswith('{"ok":true,"status":"ready"}')

        server.stop_avahi()
        assert wait_until(lambda: instance not in browse(client)), "entry outlived its daemon"
        server.start_avahi()
        again = wait_until(lambda: browse(client).get(instance))
        assert again and again[2]["port"] == str(PORT), "not registered again after the daemon restarted"
        assert proc.poll() is None, "server died with the daemon"
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        if sandboxed:
            pathlib.Path("/usr/local/bin/tailscale").unlink(missing_ok=True)


def test_companion_advertises_tailscale_and_withdraws_on_sigterm(link, tmp_path):
    server, client = link
    if os.environ.get("TAVLO_IN_SANDBOX") != "1":
        pytest.skip("needs the sandbox's private /usr/local/bin for a fake tailscale")
    fake = pathlib.Path("/usr/local/bin/tailscale")
    fake.write_text('#!/bin/sh\necho \'{"BackendState":"Running","Self":'
                    '{"TailscaleIPs":["100.64.1.2"],"DNSName":"desk.example.ts.net."}}\'\n')
    fake.chmod(0o755)
    env = f"HOME={tmp_path} XDG_STATE_HOME={tmp_path}/state XDG_DATA_HOME={tmp_path}/data"
    proc = server.popen("env", *env.split(), str(BIN), "--headless")
    try:
        instance = f"Tavlo on {SERVER_HOST}"
        seen = wait_until(lambda: browse(client).get(instance))
        assert seen, f"{instance} not seen; log: {proc.stderr.readline() if proc.poll() is not None else ''}"
        address, port, txt = seen
        assert (address, port) == ("10.77.0.1", PORT)
        assert txt["tailscale_ip"] == "100.64.1.2" and txt["tailscale_hostname"] == "desk.example.ts.net"
        assert txt["lan_ip"] == "10.77.0.1" and txt["hostname"] == SERVER_HOST

        # The phone's request over the link, naming the computer by address.
        reply = client.sh(f"exec 3<>/dev/tcp/10.77.0.1/{PORT}; "
                          "printf 'GET /health HTTP/1.1\\r\\nHost: 10.77.0.1:18765\\r\\n\\r\\n' >&3; cat <&3")
        assert '"tailscale_ip":"100.64.1.2"' in reply.stdout

        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=10) == 0
        assert wait_until(lambda: instance not in browse(client)), "advertisement outlived the companion"
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        fake.unlink()
