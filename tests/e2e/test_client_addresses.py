"""Which clients the companion serves, seen from another network namespace joined by a veth pair:
a client on the companion's own subnet is served even from a global address, a client from an
address that no network of the companion's contains is refused."""
import os
import shutil

import pytest

from companion_support import Companion, netns_pair, sh

SERVER_IP, CLIENT_IP = "203.0.113.1", "203.0.113.2"  # one /24: on-link for the companion
FOREIGN_IP = "198.51.100.2"  # the client's second address, reached through a /32 route only


@pytest.fixture
def link():
    if os.geteuid() != 0 or not shutil.which("ip"):
        pytest.skip("needs root and iproute2 to build network namespaces")
    with netns_pair(f"ip link set $DEV up; ip addr add {SERVER_IP}/24 dev $DEV; ip route add {FOREIGN_IP}/32 dev $DEV",
                    f"ip link set $DEV up; ip addr add {CLIENT_IP}/24 dev $DEV; ip addr add {FOREIGN_IP}/32 dev $DEV") as ns:
        yield ns


def get_health(netns, source, target):
    """The status and body of GET /health, or curl's exit status when it could not connect."""
    out = sh("ip", "netns", "exec", netns, "curl", "-s", "--interface", source, "-w", " %{http_code}",
             f"http://{target}:18765/health", check=False)
    return out.stdout if out.returncode == 0 else f"curl exit {out.returncode}"


def test_clients_on_this_machines_networks_only(link, tavlo_bin, tmp_path):
    server, client = link
    companion = Companion(tavlo_bin, tmp_path)
    companion.prefix = ["ip", "netns", "exec", server]
    try:
        companion.start()
        assert get_health(client, CLIENT_IP, SERVER_IP).startswith('{"hostname"')
        assert get_health(client, FOREIGN_IP, SERVER_IP) == '{"error":"client address not allowed","ok":false} 403'
        assert companion.stop() == 0
        # --listen on the link's address only, and every client allowed: loopback gets no connection
        # at all, the foreign address is served.
        companion.env["TAVLO_ALLOW_ANY_CLIENT"] = "1"
        companion.start("--headless", "--listen", SERVER_IP)
        assert get_health(client, FOREIGN_IP, SERVER_IP).endswith(" 200")
        assert get_health(server, "127.0.0.1", "127.0.0.1") == "curl exit 7"  # could not connect
    finally:
        assert companion.stop() == 0
