"""Floods of slow peers, from this computer and from many addresses of one /64 (on the sandbox's loopback),
leave the companion serving everyone else. Its DNS-SD advertisement, seen from another machine on the link:
two network namespaces joined by a veth pair, each with its own D-Bus and avahi-daemon in a private mount
namespace, so no mDNS ever reaches the machine's real interfaces."""
import pathlib
import resource
import select
import shutil
import signal
import socket
import subprocess

import pytest

from companion_support import Companion, get_health, netns_pair, sh, tailscale_script, wait_until, write_tool

SERVER_HOST = "tavlo-srv"
INSTANCE = f"Tavlo on {SERVER_HOST}"
PORT = 18765


def slow_peer(source, family=socket.AF_INET6, target="::1"):
    """A connection from `source` that sends half a request head and then nothing."""
    s = socket.socket(family, socket.SOCK_STREAM)
    s.bind((source, 0))
    s.connect((target, PORT))
    s.sendall(b"GET / HTTP/1.1\r\n")
    return s


def closed(s):
    (poller := select.poll()).register(s, select.POLLIN)  # readable: closed (a slow peer is sent nothing)
    return bool(poller.poll(0))


def test_floods_from_this_computer_or_one_slash64_leave_the_door_open(companion):
    """Soft limit 1024 as on a desktop session, hard 2048: 1,100 slow peers from 200 addresses of one /64 keep
    64 connections, 1,100 from 127.0.0.1 keep theirs, and clients from loopback and another /64 are served."""
    flood, other = [f"fd00:aa::{i}" for i in range(1, 201)], "fd00:bb::1"
    batch = "".join(f"address add {a}/64 dev lo nodad\n" for a in [*flood, other])
    subprocess.run(["ip", "-6", "-batch", "-"], input=batch, text=True, check=True)
    # The 2,200 peers are this process's descriptors: a desktop session's soft limit of 1024 is too few.
    limits = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(limits[0], min(limits[1], 4096)), limits[1]))
    peers = []
    try:
        companion.prefix = ["prlimit", "--nofile=1024:2048"]
        companion.start()
        assert "Tavlo HTTP: descriptor limit 2048, at most 1984 connections at once" in companion.logtext()
        peers = [slow_peer(flood[i % 200]) for i in range(1100)]
        assert wait_until(lambda: sum(map(closed, peers)) == 1100 - 64, timeout=10), sum(map(closed, peers))
        peers += [slow_peer("127.0.0.1", socket.AF_INET, "127.0.0.1") for _ in range(1100)]
        assert get_health(None, other, "[::1]").endswith(" 200") and get_health(None, "127.0.0.1", "127.0.0.1").endswith(" 200")
        assert sum(map(closed, peers)) == 1100 - 64
    finally:
        for s in peers:
            s.close()
        undo = batch.replace("address add", "address del")
        subprocess.run(["ip", "-6", "-batch", "-"], input=undo, text=True, check=False)
        resource.setrlimit(resource.RLIMIT_NOFILE, limits)


class Node:
    """A network namespace with a long-lived holder process owning private mount and UTS namespaces."""

    def __init__(self, netns):
        self.netns, self.daemon = netns, None
        self.holder = subprocess.Popen(["ip", "netns", "exec", netns, "unshare", "--mount", "--uts",
                                        "--propagation", "private", "sleep", "3600"])

    def start(self, hostname):
        # Entered only once the holder runs `sleep`: `ip netns exec` makes a mount namespace of its own
        # first, and mounts made in that one would not be the holder's (nor private).
        comm = pathlib.Path(f"/proc/{self.holder.pid}/comm")
        assert wait_until(lambda: comm.read_text().strip() == "sleep", timeout=10, step=0.02), "holder did not start"
        self.sh(f"""
            hostname {hostname}
            mkdir -p /run/dbus /run/avahi-daemon
            mount -t tmpfs tmpfs /run/dbus
            mount -t tmpfs tmpfs /run/avahi-daemon
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
        return sh(*self.enter(), "bash", "-ec", script, check=check, timeout=timeout)

    def avahi(self, start):
        """Stops avahi-daemon, or starts it in the foreground, its log kept to say why it will not start."""
        if not start:
            self.daemon.terminate()
            return self.daemon.wait(timeout=10)
        log = pathlib.Path(f"/tmp/{self.netns}-avahi.log")
        self.daemon = subprocess.Popen([*self.enter(), "avahi-daemon", "--no-drop-root", "--no-chroot",
                                        "--no-rlimits"], stdout=subprocess.DEVNULL, stderr=log.open("w"))
        running = lambda: self.sh("avahi-daemon --check", check=False).returncode == 0  # noqa: E731
        assert wait_until(running, timeout=10, step=0.05), log.read_text(errors="replace")[-2000:]

    def reap(self):
        """After every process in the namespace was killed."""
        self.holder.wait(timeout=10)
        if self.daemon:
            self.daemon.wait(timeout=10)
        pathlib.Path(f"/tmp/{self.netns}-avahi.log").unlink(missing_ok=True)


@pytest.fixture
def link():
    tools = ("ip", "nsenter", "unshare", "dbus-daemon", "avahi-daemon", "avahi-browse")
    if missing := [t for t in tools if not shutil.which(t, path="/usr/sbin:/usr/bin:/sbin:/bin")]:
        pytest.skip(f"DNS-SD end-to-end test skipped: {', '.join(missing)} not installed")
    # Each side's interface is named like a built-in Ethernet port, so it is the LAN address.
    eth0 = "ip link set $DEV name eth0; ip addr add {} dev eth0; ip link set eth0 up multicast on"
    nodes = []
    try:
        with netns_pair(eth0.format("10.77.0.1/24"), eth0.format("10.77.0.2/24")) as names:
            for ns, hostname in zip(names, (SERVER_HOST, "tavlo-phone")):
                nodes.append(Node(ns))
                nodes[-1].start(hostname)
            yield nodes
    finally:
        for node in nodes:
            node.reap()


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
    """Waits for the server's entry at 10.77.0.1:PORT with the given TXT values."""
    entry = wait_until(lambda: (e := browse(client).get(INSTANCE)) and {k: e[2].get(k) for k in txt} == txt and e, step=0.5)
    assert entry and entry[:2] == ("10.77.0.1", PORT), f"{INSTANCE} with {txt} not seen; browse gave {browse(client)}"


def test_companion_advertises_follows_changes_and_withdraws(link, tavlo_bin, tmp_path):
    server, client = link
    write_tool("/usr/local/bin/tailscale", tailscale_script(["100.64.1.2"], "desk.example.ts.net."))
    companion = Companion(tavlo_bin, tmp_path)
    companion.prefix = server.enter()
    companion.spawn()
    try:
        seen(client, version="0.1.0", hostname=SERVER_HOST, port=str(PORT), lan_ip="10.77.0.1",
             tailscale_ip="100.64.1.2", tailscale_hostname="desk.example.ts.net")
        # The phone's request over the link, its reply raw (text mode folds CR LF).
        reply = client.sh(f"exec 3<>/dev/tcp/10.77.0.1/{PORT}; "
                          f"printf 'GET /health HTTP/1.1\\r\\nHost: 10.77.0.1:{PORT}\\r\\n\\r\\n' >&3; cat <&3").stdout
        assert reply.startswith("HTTP/1.1 200 OK") and '"tailscale_ip":"100.64.1.2"' in reply
        # Tailscale comes up with another address: the record follows within a refresh, in place.
        write_tool("/usr/local/bin/tailscale", tailscale_script(["100.64.7.7"], "desk2.example.ts.net."))
        seen(client, tailscale_ip="100.64.7.7", tailscale_hostname="desk2.example.ts.net", lan_ip="10.77.0.1")
        # The daemon restarts: the companion goes on and registers again.
        server.avahi(start=False)
        assert wait_until(lambda: INSTANCE not in browse(client)), "entry outlived its daemon"
        server.avahi(start=True)
        seen(client, tailscale_ip="100.64.7.7", port=str(PORT))
        assert companion.proc.poll() is None, "the companion died with the daemon"
        companion.proc.send_signal(signal.SIGTERM)
        assert companion.proc.wait(timeout=10) == 0
        assert wait_until(lambda: INSTANCE not in browse(client)), "advertisement outlived the companion"
    finally:
        companion.stop()
