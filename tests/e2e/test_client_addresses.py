"""Which clients the companion serves, seen from another network namespace joined by a veth pair:
a client on the companion's own subnet is served even from a global address, a client from an
address that no network of the companion's contains is refused."""
import os
import shutil
import subprocess
import time
import uuid

import pytest

from conftest import BIN

PORT = 18765
SERVER_IP, CLIENT_IP = "203.0.113.1", "203.0.113.2"  # one /24: on-link for the companion
FOREIGN_IP = "198.51.100.2"  # the client's second address, reached through a /32 route only

CLIENT = r"""
import socket, sys
source, target, extra = sys.argv[1], sys.argv[2], sys.argv[3:]
try:
    s = socket.create_connection((target, %d), timeout=10, source_address=(source, 0))
except OSError as e:
    print("connect failed:", e.strerror)
    sys.exit()
s.sendall(("GET /health HTTP/1.1\r\nHost: %%s:%d\r\n%%s\r\n" %% (target, "".join(h + "\r\n" for h in extra))).encode())
reply = b""
while chunk := s.recv(65536):
    reply += chunk
head, _, body = reply.decode().partition("\r\n\r\n")
print(head.split("\r\n")[0].split(" ")[1], body)
""" % (PORT, PORT)


def run(*args, check=True):
    return subprocess.run(args, check=check, timeout=30, capture_output=True, text=True)


@pytest.fixture
def link():
    if os.geteuid() != 0 or not shutil.which("ip"):
        pytest.skip("needs root and iproute2 to build network namespaces")
    tag = uuid.uuid4().hex[:6]
    server, client = f"tavlo-as-{tag}", f"tavlo-ac-{tag}"
    try:
        run("ip", "netns", "add", server)
        run("ip", "netns", "add", client)
        run("ip", "link", "add", f"as{tag}", "netns", server, "type", "veth", "peer", "name", f"ac{tag}",
            "netns", client)
        run("ip", "netns", "exec", server, "sh", "-ec",
            f"ip link set lo up; ip link set as{tag} up; ip addr add {SERVER_IP}/24 dev as{tag}; "
            f"ip route add {FOREIGN_IP}/32 dev as{tag}")
        run("ip", "netns", "exec", client, "sh", "-ec",
            f"ip link set lo up; ip link set ac{tag} up; ip addr add {CLIENT_IP}/24 dev ac{tag}; "
            f"ip addr add {FOREIGN_IP}/32 dev ac{tag}")
        yield server, client
    finally:
        for ns in (server, client):
            for pid in run("ip", "netns", "pids", ns, check=False).stdout.split():
                run("kill", "-9", pid, check=False)
            run("ip", "netns", "del", ns, check=False)


def get_health(netns, source, target, *headers):
    return run("ip", "netns", "exec", netns, "/usr/bin/python3", "-c", CLIENT, source, target, *headers).stdout.strip()


def start(netns, home, *args, env=None):
    env = {"PATH": "/usr/bin:/bin", "HOME": str(home), "XDG_STATE_HOME": f"{home}/state",
           "XDG_DATA_HOME": f"{home}/data", **(env or {})}
    log_path = home / "companion.log"
    starts = log_path.read_text().count("listening on") if log_path.exists() else 0
    log = open(log_path, "ab")
    proc = subprocess.Popen(["ip", "netns", "exec", netns, str(BIN), "--headless", *args], env=env,
                            stdout=log, stderr=log)
    deadline = time.time() + 20
    while (home / "companion.log").read_text().count("listening on") < starts + 1:
        assert proc.poll() is None and time.time() < deadline, (home / "companion.log").read_text()
        time.sleep(0.05)
    return proc


def stop(proc):
    proc.terminate()
    assert proc.wait(timeout=15) == 0


def test_clients_on_this_machines_networks_only(link, tmp_path):
    server, client = link
    proc = start(server, tmp_path)
    try:
        assert get_health(client, CLIENT_IP, SERVER_IP).startswith('200 {"hostname"')
        assert get_health(client, FOREIGN_IP, SERVER_IP) == '403 {"error":"client address not allowed","ok":false}'
    finally:
        stop(proc)

    # --listen on the link's address only, and every client allowed: loopback gets no connection at
    # all, the foreign address is served.
    proc = start(server, tmp_path, "--listen", SERVER_IP, env={"TAVLO_ALLOW_ANY_CLIENT": "1"})
    try:
        assert get_health(client, FOREIGN_IP, SERVER_IP).startswith("200 ")
        assert get_health(server, "127.0.0.1", "127.0.0.1") == "connect failed: Connection refused"
    finally:
        stop(proc)
