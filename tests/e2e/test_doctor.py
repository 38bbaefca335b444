"""`doctor` in the situations it names, inside the sandbox's own network and
mount namespaces: the port, nftables rules, interfaces and mounts are the test's."""
import contextlib
import glob
import os
import pathlib
import re
import socket
import subprocess

import pytest

from companion_support import BIN, Companion, needs_sandbox, wait_until, write_tool

pytestmark = needs_sandbox  # the port, the firewall rules, interfaces and mounts are the sandbox's own

LINE = re.compile(r"^(ok    |warn  |FAIL  )[^:]+: \S")


def own_netns():
    # The sandbox's namespace has a loopback interface only; the machine's has more.
    return [name for _, name in socket.if_nameindex()] == ["lo"]


@pytest.fixture
def bus(tmp_path):
    """A private D-Bus as system and session bus: no avahi-daemon or StatusNotifier watcher unless a situation starts one."""
    address = f"unix:path={tmp_path}/bus"
    proc = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    assert wait_until(lambda: (tmp_path / "bus").exists() or proc.poll() is not None) and proc.poll() is None
    yield address
    proc.terminate()
    proc.wait(10)


def held_port():
    s = socket.create_server(("127.0.0.1", 18765))
    comm = pathlib.Path("/proc/self/comm").read_text().strip()
    return s.close, [f"FAIL  port 18765: held by {comm} (pid {os.getpid()})"], 1


def nft_drops_18765(tmp, env):
    """nftables read and printed end to end; how rule sets read is DoctorRulesTest's table."""
    assert own_netns(), "refusing to touch the machine's own nftables rules"
    subprocess.run(["nft", "-f", "-"], text=True, check=True, input="add table inet tavlo_t\n"
                   "add chain inet tavlo_t input { type filter hook input priority 0; policy drop; }\n"
                   "add rule inet tavlo_t input udp dport 5353 accept\n")
    return lambda: subprocess.run(["nft", "delete", "table", "inet", "tavlo_t"], check=True), [
        "FAIL  firewall (nftables): chain inet tavlo_t input drops TCP 18765 — "
        "sudo nft insert rule inet tavlo_t input tcp dport 18765 accept",
        "ok    firewall (nftables): lets UDP 5353 (mDNS) in"], 1


def read_only_staging(tmp, env):
    ro = tmp / "ro"
    ro.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "ro", "tmpfs", str(ro)], check=True)
    env["TAVLO_STAGING"] = str(ro / "packs")
    return (lambda: subprocess.run(["umount", str(ro)], check=True),
            [f"FAIL  staging folder: {ro}/packs (to be created in {ro}): cannot write in {ro}: Read-only file system"], 1)


def nothing_there(tmp, env):
    env["XDG_CURRENT_DESKTOP"] = "ubuntu:GNOME"
    return lambda: None, [
        "ok    port 18765: free",
        "FAIL  avahi-daemon: not running — sudo apt install avahi-daemon && sudo systemctl enable --now avahi-daemon",
        "ok    firewall (nftables): lets TCP 18765 in",
        "FAIL  model source Ollama: nothing listens at http://127.0.0.1:11434",
        "FAIL  model source LM Studio: nothing listens at http://127.0.0.1:1234",
        "FAIL  model source claude: not found in /opt/homebrew/bin, /usr/local/bin, ",
        "warn  tray: GNOME shows no tray icons by itself — sudo apt install gnome-shell-extension-appindicator",
    ], 1


def wayland_without_qt_plugin(tmp, env):
    """A Wayland-only session on a system without qt6-wayland: its platforms folder hidden."""
    platforms = glob.glob("/usr/lib/*/qt6/plugins/platforms")[0]
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", platforms], check=True)
    env["WAYLAND_DISPLAY"] = "wayland-1"
    return lambda: subprocess.run(["umount", platforms], check=True), [
        "warn  tray: this Wayland session lacks Qt's Wayland platform plugin: the companion runs without a tray icon"
        " — sudo apt install qt6-wayland"], 1


def everything_works(tmp, env):
    """A LAN interface, avahi-daemon on the test's bus, a model and the running companion: exit 0."""
    assert own_netns(), "refusing to add interfaces to the machine's own network"
    daemon_env = {**os.environ, "DBUS_SYSTEM_BUS_ADDRESS": env["DBUS_SYSTEM_BUS_ADDRESS"]}
    with contextlib.ExitStack() as steps:  # undone here if a step fails, else after doctor ran
        for do, undo_cmd in [("mkdir -p /run/avahi-daemon", None), ("mount -t tmpfs tmpfs /run/avahi-daemon", "umount /run/avahi-daemon"),
                             ("ip link add eth0 type veth peer name eth1", "ip link del eth0"),
                             ("ip addr add 192.0.2.5/24 dev eth0", None), ("ip link set eth0 up", None),
                             ("avahi-daemon --daemonize --no-drop-root --no-chroot", "avahi-daemon --kill")]:
            subprocess.run(do.split(), env=daemon_env, check=True)
            if undo_cmd:
                steps.callback(subprocess.run, undo_cmd.split(), env=daemon_env)
        tool = write_tool(tmp / "home" / ".local" / "bin" / "codex", "exit 0\n")
        companion = Companion(BIN, tmp / "home", {"DBUS_SYSTEM_BUS_ADDRESS": env["DBUS_SYSTEM_BUS_ADDRESS"]})
        steps.callback(companion.stop)
        companion.start()
        browse = ["avahi-browse", "-pt", "_tavlo._tcp"]
        companion.wait_for(lambda: "_tavlo._tcp" in subprocess.run(
            browse, capture_output=True, text=True, env=daemon_env, timeout=30).stdout, timeout=30)
        undo = steps.pop_all().close
    return undo, [
        f"ok    port 18765: served by tavlo-companion (pid {companion.proc.pid}), GET /health answers",
        "ok    avahi-daemon: running",
        "ok    service _tavlo._tcp: visible: Tavlo on tavlo-test-host on ",
        "ok    LAN address: 192.0.2.5 on eth0",
        f"ok    model source codex: {tool}",
        "warn  model source Ollama: nothing listens at http://127.0.0.1:11434",  # not a failure: codex is there
        "ok    model tools: sealed by /usr/bin/bwrap",
        "warn  tray: no StatusNotifier host on the session bus",
    ], 0


SITUATIONS = {
    "everything a phone needs works": everything_works,
    "port held by another process": lambda tmp, env: held_port(),
    "no avahi-daemon, no models, GNOME without a tray host": nothing_there,
    "firewall drops 18765 by policy": nft_drops_18765,
    "read-only staging folder": read_only_staging,
    "bubblewrap cannot make its namespaces, codex installed": lambda tmp, env: (
        write_tool("/usr/local/bin/bwrap", "echo 'bwrap: Creating new namespace failed: Operation not permitted' >&2; exit 1\n")
        and write_tool(tmp / "home/.local/bin/codex", "exit 0\n") and (lambda: None),
        ["FAIL  model tools: cannot be sealed: bubblewrap failed: Creating new namespace failed: Operation not permitted"
         " — check that `/usr/local/bin/bwrap --ro-bind / / --unshare-pid true` works"], 1),
    "Wayland session without Qt's Wayland plugin": wayland_without_qt_plugin,
}


@pytest.mark.parametrize("situation", SITUATIONS, ids=list(SITUATIONS))
def test_doctor_names_the_problem_and_what_to_do(tavlo_bin, tmp_path, bus, situation):
    env = {"PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "HOME": str(tmp_path / "home"),
           "TAVLO_STAGING": str(tmp_path / "packs"), "XDG_STATE_HOME": str(tmp_path / "state"),
           "DBUS_SYSTEM_BUS_ADDRESS": bus, "DBUS_SESSION_BUS_ADDRESS": bus}
    (tmp_path / "home").mkdir()
    undo, expected, status = SITUATIONS[situation](tmp_path, env)
    try:
        r = subprocess.run([tavlo_bin, "doctor"], capture_output=True, text=True, env=env, timeout=60)
    finally:
        undo()
    lines = r.stdout.splitlines()
    assert r.returncode == status and r.stderr == "", r.stdout + r.stderr
    assert all(LINE.match(line) for line in lines), r.stdout
    for want in expected:
        assert any(line.startswith(want) for line in lines), f"{want!r} not in:\n{r.stdout}"
    assert not (tmp_path / "packs").exists() and list(tmp_path.glob("**/.tavlo-doctor-*")) == []
