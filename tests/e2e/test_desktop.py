"""Tray mode on odd desktops: no display, a display nobody answers, a display
that goes away. The companion keeps serving in every case, and only the tray
loads Qt."""
import re
import shutil
import subprocess
import time

import pytest

from companion_support import Companion, needs_sandbox

pytestmark = needs_sandbox


def serving(companion):
    try:
        status, body = companion.get_json("/health")
        return status == 200 and body["ok"] is True
    except OSError:
        return False


class TrayCompanion(Companion):
    """The companion started without --headless, with the given desktop variables."""

    def start(self, *args):
        self.log = open(self.home / "companion.log", "ab")
        self.proc = subprocess.Popen([self.binary, *args], env=self.env, stdout=self.log, stderr=self.log)
        self.wait_for(lambda: serving(self) or self.proc.poll() is not None, timeout=10)
        assert self.proc.poll() is None, self.logtext()
        return self


@pytest.mark.parametrize("desktop_env", [{}, {"DISPLAY": ":4321"}, {"WAYLAND_DISPLAY": "wayland-77"}],
                         ids=["no-display", "unreachable-x11", "unreachable-wayland"])
def test_without_a_usable_display_it_serves_headless(tavlo_bin, tmp_path, desktop_env):
    companion = TrayCompanion(tavlo_bin, tmp_path, desktop_env).start()
    try:
        assert serving(companion)
        time.sleep(0.5)
        assert companion.proc.poll() is None, companion.logtext()
    finally:
        assert companion.stop() in (0, -15), companion.logtext()


def mapped(pid):
    """The files mapped into the process, by name."""
    return " ".join(line.split()[-1] for line in open(f"/proc/{pid}/maps") if "/" in line)


def test_headless_and_commands_never_load_qt_even_with_a_display(tavlo_bin, tmp_path):
    companion = Companion(tavlo_bin, tmp_path, {"DISPLAY": ":4321"}).start()
    try:
        assert "libQt6" not in mapped(companion.proc.pid) and "libtavlo-ui" not in mapped(companion.proc.pid)
    finally:
        companion.stop()
    # The one-shot commands end too soon for their maps: the loader lists what it opens.
    for command in ("models", "pairing"):
        r = subprocess.run([tavlo_bin, command], env={**companion.env, "LD_DEBUG": "files"},
                           capture_output=True, text=True, timeout=30)
        opened = re.findall(r"file=(\S+)", r.stderr)
        assert "libc.so.6" in opened and not [f for f in opened if "libQt6" in f or "libtavlo-ui" in f], command


@pytest.fixture
def xvfb():
    if shutil.which("Xvfb") is None:
        pytest.skip("needs Xvfb")
    # Xvfb picks a free display and names it once it accepts connections.
    server = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    yield server, ":" + server.stdout.readline().decode().strip()
    server.kill()
    server.wait()
    server.stdout.close()


def test_display_without_tray_or_session_bus_runs_headless(tavlo_bin, tmp_path, xvfb):
    companion = TrayCompanion(tavlo_bin, tmp_path, {"DISPLAY": xvfb[1]}).start()
    try:
        companion.wait_for(lambda: "running headless" in companion.logtext())
        assert serving(companion)
    finally:
        assert companion.stop() in (0, -15), companion.logtext()


def test_display_that_goes_away_leaves_the_companion_serving(tavlo_bin, tmp_path, xvfb):
    server, display = xvfb
    companion = TrayCompanion(tavlo_bin, tmp_path, {"DISPLAY": display})
    try:
        assert serving(companion.start("--panel"))
        time.sleep(1)  # the panel is up
        assert "lib/tavlo-companion/modules/libtavlo-ui.so" in mapped(companion.proc.pid)
        server.kill()
        server.wait()
        cmdline = f"/proc/{companion.proc.pid}/cmdline"
        companion.wait_for(lambda: "--headless" in open(cmdline).read().split("\0"))
        companion.wait_for(lambda: serving(companion))
        assert companion.proc.poll() is None
        assert "libQt6" not in mapped(companion.proc.pid)
    finally:
        companion.stop()
