#!/usr/bin/env python3
"""Resident memory of the tray companion after its panel was opened from the
icon and closed again, on the test desktops: xfce4-panel under Xvfb (X11),
headless sway with waybar (native Wayland), and the same with Xwayland. Says
whether a GL driver got mapped. Runs inside tools/e2e-sandbox (as the
end-to-end desktop tests do), after `make build`.

Usage: tools/e2e-sandbox /usr/bin/python3 bench/panel_memory.py [BINARY]
"""
import os
import pathlib
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from companion_support import FakeBackend, wait_until  # noqa: E402
from test_desktop import (GL_DRIVER, Desktop, Sway, TrayCompanion, mapped,  # noqa: E402
                          open_panel_from_icon, start_xfce4_panel)


def rss_mb(pid):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def x11(tmp, binary):
    desktop = Desktop(tmp, bus=True)
    bar = start_xfce4_panel(desktop)
    companion = TrayCompanion(binary, tmp / "home", desktop.env).start()
    icon, _ = open_panel_from_icon(desktop, companion, bar)
    time.sleep(0.5)  # a click of its own, not the second half of a double click
    desktop.call("xdotool", "mousemove", str(icon[0] + icon[2] // 2), str(icon[1] + icon[3] // 2), "click", "1")
    assert wait_until(lambda: not [w for w in desktop.windows(companion.proc.pid) if w[2] == 340]), "still open"
    return desktop, companion


def sway(xwayland):
    def run(tmp, binary):
        desktop = Sway(tmp, xwayland)
        companion = TrayCompanion(binary, tmp / "home", desktop.env).start()
        icon = companion.wait_for(lambda: desktop.drawn(0, 0, 800, 30), timeout=20)
        desktop.pointer.click(icon[0] + icon[2] // 2, 15)
        companion.wait_for(lambda: desktop.windows(companion.proc.pid), 20)
        desktop.call("wtype", "-s", "300", "-k", "Escape")
        assert wait_until(lambda: not desktop.windows(companion.proc.pid)), "the panel did not close"
        return desktop, companion
    return run


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else str(pathlib.Path(__file__).resolve().parents[1] /
                                                       "build" / "dev" / "bin" / "tavlo-companion")
    if os.environ.get("TAVLO_IN_SANDBOX") != "1":
        sys.exit("panel_memory: run it inside tools/e2e-sandbox")
    print("load average before:", " ".join(f"{x:.2f}" for x in os.getloadavg()))
    ollama = FakeBackend("ollama")
    ollama.models = ["qwen3-coder", "llama3"]
    try:
        for name, open_and_close in [("X11 (xfce4-panel)", x11), ("Wayland (sway, waybar)", sway(False)),
                                     ("sway with Xwayland too", sway(True))]:
            with tempfile.TemporaryDirectory() as tmp:
                desktop, companion = open_and_close(pathlib.Path(tmp), binary)
                try:
                    time.sleep(2)  # what closing frees is given back
                    gl = GL_DRIVER.findall(mapped(companion.proc.pid))
                    print(f"{name:<24} {rss_mb(companion.proc.pid):6.1f} MB resident after the panel was opened"
                          f" and closed; GL driver mapped: {', '.join(sorted(set(gl))) or 'none'}")
                finally:
                    companion.stop()
                    desktop.close()
    finally:
        ollama.close()
    print("load average after: ", " ".join(f"{x:.2f}" for x in os.getloadavg()))


if __name__ == "__main__":
    main()
