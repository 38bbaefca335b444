"""Tray mode on real desktops (xfce4-panel, trayer, dunst under Xvfb; sway with waybar, natively and
through Xwayland; each with a private session bus) and on odd ones: no display, a display nobody
answers, a display that goes away (the companion stops with it). Only the tray loads Qt."""
import collections
import contextlib
import json
import os
import pathlib
import re
import shutil
import socket
import struct
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from companion_support import Companion, needs_sandbox, slow_claude, tailscale_script, wait_until, write_tool

pytestmark = needs_sandbox
DESKTOP_TOOLS = ("Xvfb", "dbus-daemon", "xfce4-panel", "xfwm4", "trayer", "dunst", "xdotool", "import", "xprop")
# A session bus that starts no service by itself: only what a test runs is on it.
BUS_CONFIG = """<busconfig><type>session</type><listen>unix:dir=/tmp</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
</policy></busconfig>"""
# One 30-pixel bar along the top: a spacer, then the status tray.
XFCE_PANEL = """<?xml version="1.0" encoding="UTF-8"?><channel name="xfce4-panel" version="1.0">
<property name="configver" type="int" value="2"/><property name="panels" type="array"><value type="int" value="1"/>
<property name="panel-1" type="empty"><property name="position" type="string" value="p=6;x=0;y=0"/>
<property name="length" type="uint" value="100"/><property name="size" type="uint" value="30"/>
<property name="position-locked" type="bool" value="true"/><property name="plugin-ids" type="array">
<value type="int" value="1"/><value type="int" value="2"/></property></property></property>
<property name="plugins" type="empty"><property name="plugin-1" type="string" value="separator">
<property name="expand" type="bool" value="true"/><property name="style" type="uint" value="0"/></property>
<property name="plugin-2" type="string" value="systray"/></property></channel>"""


def serving(companion):
    with contextlib.suppress(OSError):  # not listening (yet, or again)
        return companion.get_json("/health")[0] == 200
    return False


class TrayCompanion(Companion):
    """The companion started without --headless, with the given desktop variables."""
    default_args = ()


class Desktop:
    """Xvfb, optionally a private session bus, and the programs a test adds to them."""

    def __init__(self, tmp_path, bus):
        self.home, self.procs = tmp_path / "desktop", []
        self.xvfb = self.run("Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24",
                             stdout=subprocess.PIPE)
        self.env = {"DISPLAY": ":" + self.xvfb.stdout.readline().decode().strip()}
        if bus:
            self.start_bus(tmp_path)

    def start_bus(self, tmp_path):
        (tmp_path / "bus.conf").write_text(BUS_CONFIG)
        daemon = self.run("dbus-daemon", "--config-file", str(tmp_path / "bus.conf"), "--nofork",
                          "--print-address=1", stdout=subprocess.PIPE)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = daemon.stdout.readline().decode().strip()

    def run(self, *cmd, stdout=subprocess.DEVNULL):
        env = {**getattr(self, "env", {}), "HOME": str(self.home), "XDG_CONFIG_HOME": str(self.home / "config"),
               "PATH": "/usr/bin:/bin"}
        self.procs.append(subprocess.Popen(cmd, env=env, stdout=stdout, stderr=subprocess.DEVNULL))
        return self.procs[-1]

    def close(self):
        for p in reversed(self.procs):
            p.kill()
            p.wait()
            if p.stdout:
                p.stdout.close()

    def call(self, *cmd):
        return subprocess.run(cmd, env=self.env, capture_output=True, timeout=30).stdout

    def on_bus(self, name):
        return name.encode() in self.call("dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                          "/", "org.freedesktop.DBus.ListNames")

    def pixels(self, x, y, w, h):
        return self.call("import", "-silent", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "-depth", "8", "rgb:-")

    def settled(self, x, y, w, h):
        """The pixels there once two looks half a second apart agree (hosts draw in steps)."""
        last, deadline = None, time.time() + 20
        while (now := self.pixels(x, y, w, h)) != last and time.time() < deadline:
            last = now
            time.sleep(0.5)
        return now

    def drawn(self, x, y, w, h):
        """The box of the columns in (x, y, w, h) that hold more than the background, or None."""
        cells = [bytes(c) for c in zip(*[iter(self.settled(x, y, w, h))] * 3)]
        ground = collections.Counter(cells).most_common(1)[0][0]
        cols = {i % w for i, c in enumerate(cells) if sum(abs(a - b) for a, b in zip(c, ground)) > 90}
        return (x + min(cols), y, max(cols) - min(cols) + 1, h) if cols else None

    def work_area_top(self):
        """Where the window manager's work area begins (below a bar along the top), or None before it says."""
        found = re.findall(rb"\d+", self.call("xprop", "-root", "_NET_WORKAREA").split(b"=")[-1])
        return int(found[1]) if len(found) >= 4 else None

    def windows(self, pid):
        """The visible windows of process `pid`, as (x, y, width, height)."""
        found = []
        for wid in self.call("xdotool", "search", "--onlyvisible", "--pid", str(pid)).split():
            g = dict(re.findall(r"(\w+)=(\d+)", self.call("xdotool", "getwindowgeometry", "--shell", wid).decode()))
            found.append(tuple(int(g[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")))
        return found


SWAY_TOOLS = ("sway", "waybar", "grim", "wtype", "xhost", "Xwayland", "dbus-daemon", "gdbus")
# waybar along the top, 30 pixels, its tray on its default dark background.
WAYBAR = {"layer": "top", "position": "top", "height": 30, "modules-right": ["tray"], "tray": {"icon-size": 22}}
WAYBAR_STYLE = "* { font-family: sans-serif; font-size: 12px; } window#waybar { background: #2B303B; }"


class WaylandPointer:
    """A pointer for the headless seat, which has none: a zwlr_virtual_pointer_v1, spoken on the socket."""

    def __init__(self, path):
        self.sock, self.ids, self.globals = socket.socket(socket.AF_UNIX), iter(range(2, 1000)), {}
        self.sock.connect(path)
        self.registry = next(self.ids)
        self.send(1, 1, self.registry)  # wl_display.get_registry
        self.roundtrip()
        seat, manager = self.bind("wl_seat", 1), self.bind("zwlr_virtual_pointer_manager_v1", 1)
        self.pointer = next(self.ids)
        self.send(manager, 0, seat, self.pointer)  # create_virtual_pointer
        self.roundtrip()

    def send(self, obj, opcode, *args):
        body = b"".join(struct.pack("<I", a) if isinstance(a, int) else
                        struct.pack("<I", len(a) + 1) + a.encode() + bytes(4 - len(a) % 4) for a in args)
        self.sock.sendall(struct.pack("<II", obj, (8 + len(body)) << 16 | opcode) + body)

    def roundtrip(self):
        """Waits for the compositor to have handled everything sent; notes the globals it announced."""
        callback = next(self.ids)
        self.send(1, 0, callback)  # wl_display.sync
        while True:
            obj, size_op = struct.unpack("<II", self.sock.recv(8, socket.MSG_WAITALL))
            body = self.sock.recv((size_op >> 16) - 8, socket.MSG_WAITALL) if size_op >> 16 > 8 else b""
            if obj == callback:
                return
            assert obj != 1 or size_op & 0xFFFF != 0, f"compositor error: {body!r}"
            if obj == self.registry:  # global(name, interface, version)
                length = struct.unpack_from("<I", body, 4)[0]
                self.globals[body[8:8 + length - 1].decode()] = struct.unpack_from("<I", body)[0]

    def bind(self, interface, version):
        new = next(self.ids)
        self.send(self.registry, 0, self.globals[interface], interface, version, new)
        return new

    def click(self, x, y, button="left"):
        code = {"left": 0x110, "right": 0x111}[button]
        self.send(self.pointer, 1, 0, x, y, 800, 600)  # motion_absolute in an 800x600 layout
        self.send(self.pointer, 4)  # frame
        for state in (1, 0):
            self.send(self.pointer, 2, 0, code, state)
            self.send(self.pointer, 4)
        self.roundtrip()


class Sway(Desktop):
    """Headless sway (as an unprivileged user: it refuses root), a private session bus, waybar with its
    tray, and a virtual pointer; with `xwayland`, DISPLAY names sway's Xwayland."""

    def __init__(self, tmp_path, xwayland):
        self.home, self.procs, self.pointer = tmp_path / "desktop", [], None
        runtime = pathlib.Path("/run") / f"sway-{tmp_path.name}"  # the sandbox's, which the user can reach
        runtime.mkdir(mode=0o700)
        os.chown(runtime, 65534, 65534)
        self.env = {"XDG_RUNTIME_DIR": str(runtime)}
        try:
            self.start(tmp_path, runtime, xwayland)
        except BaseException:
            self.close()
            raise

    def start(self, tmp_path, runtime, xwayland):
        self.start_bus(tmp_path)
        (runtime / "sway.conf").write_text("output HEADLESS-1 resolution 800x600\n" + (
            # Xwayland lets in its own user only; the tests run as root.
            f"xwayland enable\nexec xhost +si:localuser:root && echo $DISPLAY > {runtime}/display\n"
            if xwayland else "xwayland disable\n"))
        self.run("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env", "WLR_BACKENDS=headless",
                 "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1", "sway", "-c", str(runtime / "sway.conf"))
        found = wait_until(lambda: [p for p in runtime.glob("wayland-*") if p.is_socket()]
                           and list(runtime.glob("sway-ipc.*")) and (not xwayland or (runtime / "display").exists()))
        assert found, "sway did not start"
        self.env["WAYLAND_DISPLAY"] = next(p.name for p in runtime.glob("wayland-*") if p.is_socket())
        self.env["SWAYSOCK"] = str(next(runtime.glob("sway-ipc.*")))
        if xwayland:
            self.env["DISPLAY"] = wait_until(lambda: (runtime / "display").read_text().strip())
        self.pointer = WaylandPointer(str(runtime / self.env["WAYLAND_DISPLAY"]))
        (runtime / "waybar.json").write_text(json.dumps(WAYBAR))
        (runtime / "waybar.css").write_text(WAYBAR_STYLE)
        self.run("waybar", "-c", str(runtime / "waybar.json"), "-s", str(runtime / "waybar.css"))
        assert wait_until(lambda: self.on_bus("org.kde.StatusNotifierWatcher"), 30, 0.1), "no waybar tray"

    def close(self):
        if self.pointer:
            self.pointer.sock.close()
        super().close()
        shutil.rmtree(self.env["XDG_RUNTIME_DIR"])

    def pixels(self, x, y, w, h):
        ppm = self.call("grim", "-g", f"{x},{y} {w}x{h}", "-t", "ppm", "-")
        return ppm[len(b" ".join(ppm.split(maxsplit=4)[:4])) + 1:]

    def windows(self, pid):
        """The windows of process `pid` as sway shows them: (x, y, width, height, title, shell)."""
        def walk(node):
            yield node
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                yield from walk(child)
        tree = json.loads(self.call("swaymsg", "-r", "-t", "get_tree"))
        return [(*(n["rect"][k] for k in ("x", "y", "width", "height")), n["name"], n.get("shell"))
                for n in walk(tree) if n.get("pid") == pid and n.get("visible")]


def needs(tools):
    if missing := [t for t in tools if shutil.which(t) is None]:
        pytest.skip("needs " + ", ".join(missing) + " (tools/bootstrap installs them)")


@pytest.fixture
def desktop(request, tmp_path):
    needs(DESKTOP_TOOLS)
    d = Desktop(tmp_path, bus=getattr(request, "param", True))
    yield d
    d.close()


@pytest.fixture
def tray(tavlo_bin, tmp_path):
    """Makes TrayCompanions with the given desktop variables; stops them after the test."""
    made = []
    yield lambda env: made.append(TrayCompanion(tavlo_bin, tmp_path, env)) or made[-1]
    for companion in made:
        if companion.proc:
            assert companion.stop() in (0, -15), companion.logtext()


def luminance(rgb):
    linear = [v / 12.92 if v <= 0.03928 else ((v + 0.055) / 1.055) ** 2.4 for v in (c / 255 for c in rgb)]
    return 0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2]


def glyph_contrast(rgb):
    """How the icon stands out from the bar in a box of both (RGB bytes): the contrast ratio that at least
    20 of its pixels reach against the box's commonest colour (the bar)."""
    cells = [bytes(c) for c in zip(*[iter(rgb)] * 3)]
    ground = luminance(collections.Counter(cells).most_common(1)[0][0]) + 0.05
    ratios = sorted((max(l, ground) / min(l, ground) for l in (luminance(c) + 0.05 for c in cells)), reverse=True)
    return ratios[19]


# The GL driver that a panel of plain widgets must not load (glvnd's libEGL.so.1
# and libGLX.so.0 are libQt6Gui's own dependencies and dispatch only).
GL_DRIVER = re.compile(r"libEGL_|libGLX_|_dri\.so|libLLVM|libglapi|libgallium")


def open_panel_from_icon(desktop, companion, bar):
    """Clicks the icon (its XEmbed window in the bar, or where the host drew it); returns it and the panel."""
    def icon():
        embedded = [w for w in desktop.windows(companion.proc.pid) if w[1] < bar[1] + bar[3] and w[2] < 64]
        return embedded[0] if embedded else desktop.drawn(*bar)
    icon = companion.wait_for(icon, timeout=20)
    desktop.call("xdotool", "mousemove", str(icon[0] + icon[2] // 2), str(icon[1] + icon[3] // 2), "click", "1")
    panel = companion.wait_for(lambda: [w for w in desktop.windows(companion.proc.pid) if w[2] == 340], 20)[0]
    # Beside the bar, inside the screen, never over the bar or the icon.
    assert panel[1] >= bar[1] + bar[3] and panel[1] + panel[3] <= 600 and 0 <= panel[0] <= 800 - 340, (panel, bar)
    return icon, panel


def start_xfce4_panel(desktop):
    """xfce4-panel with its window manager; returns the bar, once it is drawn."""
    config = desktop.home / "config" / "xfce4" / "xfconf" / "xfce-perchannel-xml"
    config.mkdir(parents=True)
    (config / "xfce4-panel.xml").write_text(XFCE_PANEL)
    desktop.run("/usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd")
    desktop.run("xfwm4", "--compositor=off")  # reserves the bar's strut in the work area
    desktop.run("xfce4-panel")
    wait_until(lambda: desktop.on_bus("org.kde.StatusNotifierWatcher") and (desktop.work_area_top() or 0) >= 30, 30, 0.1)
    desktop.settled(0, 0, 800, 30)
    return (0, 0, 800, 30)


def test_xfce4_panel_hosts_the_status_notifier_item(tmp_path, desktop, tray, backends):
    bar = start_xfce4_panel(desktop)
    with open(tmp_path / "dunst.out", "wb") as notifications:
        desktop.run("dunst", "-print", stdout=notifications)
    backends[0].models = ["qwen3-coder"]
    backends[0].answer = json.dumps({"name": "Dark Mode Toggle", "summary": "Adds <b>two</b> buttons & a script",
                                     "userscripts": [{"filename": "d.js", "description": "d", "body": "1;\n"}]})
    companion = tray(desktop.env)
    companion.wait_for(lambda: desktop.on_bus("org.freedesktop.Notifications"), timeout=20)
    icon, _ = open_panel_from_icon(desktop, companion.start(), bar)
    assert glyph_contrast(desktop.settled(*icon)) >= 3  # on the light bar
    assert not GL_DRIVER.search(mapped(companion.proc.pid)), mapped(companion.proc.pid)
    # Tailscale connecting, then a request, each change the icon the host shows.
    for change in ("tailscale", "request"):
        shown = desktop.pixels(*icon)
        if change == "tailscale":
            write_tool("/usr/local/bin/tailscale", tailscale_script())
        else:
            companion.wait_for(companion.selected)
            assert companion.post_json("/generate", {"prompt": "dark mode"})[0] == 200
        companion.wait_for(lambda: len(now := desktop.settled(*icon)) == len(shown) and now != shown, timeout=20)
    printed = companion.wait_for(lambda: "written" in (text := (tmp_path / "dunst.out").read_text()) and text, 20)
    assert re.search(r"summary: 'Pack 'dark-mode-toggle\S*' written'", printed), printed
    assert "body: 'Adds &lt;b&gt;two&lt;/b&gt; buttons &amp; a script'" in printed, printed


def test_trayer_hosts_the_xembed_icon_and_no_notification_server_blocks_nothing(desktop, tray, backends):
    desktop.run("xfwm4", "--compositor=off")
    desktop.run("trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                "--height", "24", "--SetDockType", "true", "--SetPartialStrut", "true")
    # a click before the window manager has taken in the bar's strut lands beside the icon
    wait_until(lambda: (desktop.work_area_top() or 0) >= 24, 30, 0.1)
    backends[0].models = ["qwen3-coder"]
    companion = tray(desktop.env).start()
    open_panel_from_icon(desktop, companion, (680, 0, 120, 24))
    companion.wait_for(companion.selected)
    assert companion.post_json("/generate", {"prompt": "dark mode"}, timeout=20)[0] == 200
    assert serving(companion)


@pytest.mark.parametrize("desktop_env, args", [({}, ()), ({"DISPLAY": ":4321"}, ()), ({"WAYLAND_DISPLAY": "wayland-77"}, ()),
                                               ({"DISPLAY": ":4321"}, ("--headless",))],
                         ids=["no-display", "unreachable-x11", "unreachable-wayland", "headless-with-a-display"])
def test_without_a_usable_display_it_serves_headless(tray, desktop_env, args):
    companion = tray(desktop_env).start(*args)
    time.sleep(0.5)
    assert serving(companion) and companion.proc.poll() is None, companion.logtext()
    if args:  # --headless never loads Qt
        assert "libQt6" not in mapped(companion.proc.pid) and "libtavlo-ui" not in mapped(companion.proc.pid)


def mapped(pid):
    """The files mapped into the process, by name."""
    return " ".join(line.split()[-1] for line in open(f"/proc/{pid}/maps") if "/" in line)


def test_commands_never_load_qt_even_with_a_display(tavlo_bin, tmp_path):
    # They end too soon for their maps: the loader lists what it opens.
    for command in ("models", "pairing"):
        r = subprocess.run([tavlo_bin, command], env={"DISPLAY": ":4321", "HOME": str(tmp_path), "LD_DEBUG": "files"},
                           capture_output=True, text=True, timeout=30)
        opened = re.findall(r"file=(\S+)", r.stderr)
        assert "libc.so.6" in opened and not [f for f in opened if "libQt6" in f or "libtavlo-ui" in f], command


@pytest.mark.parametrize("desktop", [False], indirect=True)
def test_display_without_tray_runs_headless_and_one_that_goes_away_stops_it(desktop, tray):
    companion = tray(desktop.env).start()  # no session bus, so no tray host
    companion.wait_for(lambda: "running headless" in companion.logtext())
    assert companion.stop() == 0
    processes = slow_claude(companion.home)
    assert serving(companion.start("--panel"))
    companion.wait_for(lambda: companion.selected() == "claude:cli")
    answer = ThreadPoolExecutor(1).submit(companion.post_json, "/generate", {"prompt": "x"})
    assert wait_until(processes), companion.logtext()
    desktop.xvfb.kill()
    assert companion.proc.wait(10) == 1  # the toolkit's exit once the companion has stopped
    assert answer.result(10) == (500, {"ok": False, "reply": "⚠️ Claude failed: stopped: the companion is shutting down"})
    assert not processes() and "Tavlo lost its display; stopping" in companion.logtext()
    with socket.create_server(("0.0.0.0", 18765)):
        companion.proc = None


@pytest.fixture
def sway(request, tmp_path):
    needs(SWAY_TOOLS)
    d = Sway(tmp_path, xwayland=request.param)
    yield d
    d.close()


GET = "org.freedesktop.DBus.Properties.Get"


def gdbus(desktop, dest, path, method, *args):
    return desktop.call("env", "LC_ALL=C.UTF-8", "gdbus", "call", "--session", "--dest", dest,
                        "--object-path", path, "--method", method, "--", *args).decode()


def tray_item(desktop):
    """The icon as a StatusNotifierItem host finds it: its bus name, its object and its menu's (DBusMenu)
    object; None before it is registered."""
    item = re.search(r"'([^'/]+)(/[^']*)'", gdbus(desktop, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                                   GET, "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems"))
    if item:
        menu = gdbus(desktop, *item.groups(), GET, "org.kde.StatusNotifierItem", "Menu")
        return (*item.groups(), re.search(r"objectpath '([^']+)'", menu)[1])


def menu_entries(desktop, name, menu):
    """(id, label, properties) of each entry of the menu, depth first."""
    layout = gdbus(desktop, name, menu, "com.canonical.dbusmenu.GetLayout", "0", "-1", "@as []")
    return [(int(i), re.search(r"'label': <'([^']*)'>", props)[1], props)
            for i, props in re.findall(r"<\((\d+), \{([^}]*)\}", layout) if "'label'" in props]


@pytest.mark.parametrize("sway, env, shell", [(False, {}, "xdg_shell"), (True, {}, "xdg_shell"),
                                              (True, {"QT_QPA_PLATFORM": "xcb"}, "xwayland")],
                         ids=["native", "xwayland-prefers-native", "xwayland-by-choice"], indirect=["sway"])
def test_sway_waybar_icon_menu_and_panel(sway, tray, backends, env, shell):
    """The icon drawn in waybar, its menu, and a click on it (a real pointer's, as waybar gets it) opening
    the panel as a window of its own."""
    backends[0].models = ["qwen3-coder", "llama3"]
    companion = tray({**sway.env, **env}).start()
    icon = companion.wait_for(lambda: sway.drawn(0, 0, 800, 30), timeout=20)
    assert glyph_contrast(sway.settled(*icon)) >= 3  # on waybar's dark bar
    # The menu carries what the panel does.
    companion.wait_for(companion.selected)
    name, path, menu = companion.wait_for(lambda: tray_item(sway), 20)
    entries = companion.wait_for(lambda: (e := menu_entries(sway, name, menu)) and "qwen3-coder" in e[0][1] and e, 20)
    labels = [label for _, label, _ in entries]
    assert labels == ["Port 18765 \u00b7 Tailscale not installed \u00b7 Model qwen3-coder", "Model", "qwen3-coder",
                      "llama3", "Show panel", "Pair phone\u2026", "Open staging folder", "Quit Tavlo"], labels
    assert ["'toggle-state': <1>" in props for _, _, props in entries[2:4]] == [True, False]
    gdbus(sway, name, menu, "com.canonical.dbusmenu.Event", str(entries[3][0]), "clicked", "<0>", "0")
    companion.wait_for(lambda: companion.selected() == "ollama:llama3")
    # A click opens the panel as a titled window the compositor placed below the bar; Escape or another
    # click on the icon closes it.
    click = lambda: sway.pointer.click(icon[0] + icon[2] // 2, 15)
    for close in ("Escape", "click"):
        click()
        panel = companion.wait_for(lambda: sway.windows(companion.proc.pid), 20)[0]
        assert panel[4:] == ("Tavlo", shell) and panel[1] >= 30, panel
        if close == "Escape":
            sway.call("wtype", "-s", "300", "-k", "Escape")  # the seat's keyboard comes and goes with wtype
        else:
            time.sleep(0.5)  # a click of its own, not the second half of a double click
            click()
        assert wait_until(lambda: not sway.windows(companion.proc.pid)), close
    assert not GL_DRIVER.search(mapped(companion.proc.pid)), mapped(companion.proc.pid)
