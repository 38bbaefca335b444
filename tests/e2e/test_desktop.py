"""Tray mode on odd desktops: no display, a display nobody answers, a display
that goes away. The companion keeps serving in every case."""
import itertools
import os
import shutil
import socket
import subprocess
import time

import pytest

from companion_support import Companion, needs_sandbox

pytestmark = needs_sandbox


class TrayCompanion(Companion):
    """The companion started without --headless, with the given desktop variables."""

    def __init__(self, binary, home, args, desktop_env):
        super().__init__(binary, home, desktop_env)
        self.args = args

    def start(self):
        self.log = open(self.home / "companion.log", "ab")
        self.proc = subprocess.Popen([self.binary, *self.args], env=self.env, stdout=self.log, stderr=self.log)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", 18765), timeout=0.2).close()
                return self
            except OSError:
                assert self.proc.poll() is None, self.logtext()
                time.sleep(0.05)
        raise AssertionError("companion did not listen: " + self.logtext())


def serving(companion):
    status, body = companion.get_json("/health")
    return status == 200 and body["ok"] is True


@pytest.mark.parametrize("desktop_env", [{}, {"DISPLAY": ":4321"}, {"WAYLAND_DISPLAY": "wayland-77"}],
                         ids=["no-display", "unreachable-x11", "unreachable-wayland"])
def test_without_a_usable_display_it_serves_headless(tavlo_bin, tmp_path, desktop_env):
    companion = TrayCompanion(tavlo_bin, tmp_path, [], desktop_env).start()
    try:
        assert serving(companion)
        time.sleep(0.5)
        assert companion.proc.poll() is None, companion.logtext()
    finally:
        assert companion.stop() in (0, -15), companion.logtext()


DISPLAY_NUMBERS = itertools.count(90 + os.getpid() % 100 * 3)


@pytest.fixture
def xvfb():
    if shutil.which("Xvfb") is None:
        pytest.skip("needs Xvfb")
    number = next(DISPLAY_NUMBERS)
    server = subprocess.Popen(["Xvfb", f":{number}", "-nolisten", "tcp", "-screen", "0", "800x600x24"],
                              stderr=subprocess.DEVNULL)
    deadline = time.time() + 10
    while not os.path.exists(f"/tmp/.X11-unix/X{number}") and time.time() < deadline:
        time.sleep(0.05)
    time.sleep(0.3)
    yield server, f":{number}"
    if server.poll() is None:
        server.kill()
        server.wait()


def test_display_without_tray_or_session_bus_runs_headless(tavlo_bin, tmp_path, xvfb):
    companion = TrayCompanion(tavlo_bin, tmp_path, [], {"DISPLAY": xvfb[1]}).start()
    try:
        companion.wait_for(lambda: "running headless" in companion.logtext())
        assert serving(companion)
    finally:
        assert companion.stop() in (0, -15), companion.logtext()


def test_display_that_goes_away_leaves_the_companion_serving(tavlo_bin, tmp_path, xvfb):
    server, display = xvfb
    companion = TrayCompanion(tavlo_bin, tmp_path, ["--panel"], {"DISPLAY": display})
    try:
        companion.start()
        assert serving(companion)
        pid = companion.proc.pid
        time.sleep(1)  # the panel is up
        server.kill()
        server.wait()
        companion.wait_for(lambda: "--headless" in open(f"/proc/{pid}/cmdline").read().split("\0"))
        companion.wait_for(lambda: _try(serving, companion))
        assert companion.proc.poll() is None
    finally:
        companion.stop()


def _try(check, *args):
    try:
        return check(*args)
    except OSError:
        return False
