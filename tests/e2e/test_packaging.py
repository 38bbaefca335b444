"""The install layout, the systemd user unit and the Debian package.

The package round trip (make deb, dpkg -i, run, dpkg -r) builds a release tree
from scratch and changes the machine, so it runs only with TAVLO_TEST_PACKAGING=1."""
import glob
import os
import pathlib
import shutil
import subprocess

import pytest

from conftest import ROOT

PACKAGING = ROOT / "packaging"


def desktop_entry(path):
    lines = pathlib.Path(path).read_text().splitlines()
    return dict(line.split("=", 1) for line in lines if "=" in line and not line.startswith("#"))


def run(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=kw.pop("timeout", 300), **kw)


@pytest.fixture(scope="module")
def installed(tmp_path_factory, tavlo_bin):
    build_dir = pathlib.Path(tavlo_bin).resolve().parents[1]
    if not (build_dir / "cmake_install.cmake").exists():
        pytest.skip(f"{build_dir} has no install rules")
    prefix = tmp_path_factory.mktemp("prefix")
    run("cmake", "--install", str(build_dir), "--prefix", str(prefix), check=True, timeout=120)
    return prefix


def test_install_puts_every_file_in_its_place(installed):
    out = run(str(installed / "bin" / "tavlo-companion"), "--version", timeout=30)
    assert out.returncode == 0 and out.stdout.strip(), out.stderr
    app = desktop_entry(installed / "share/applications/tavlo-companion.desktop")
    assert app["Type"] == "Application" and app["Exec"] == "tavlo-companion" and app["Icon"] == "tavlo-companion"
    autostart = desktop_entry(installed / "etc/xdg/autostart/tavlo-companion.desktop")
    assert autostart["Exec"] == "tavlo-companion"  # tray mode; headless machines use the unit
    assert (installed / "share/icons/hicolor/scalable/apps/tavlo-companion.svg").read_text().startswith("<svg")
    unit = (installed / "lib/systemd/user/tavlo-companion.service").read_text()
    assert "Type=notify" in unit and "Restart=on-failure" in unit
    exec_start = next(line for line in unit.splitlines() if line.startswith("ExecStart="))
    assert exec_start.startswith("ExecStart=/") and exec_start.endswith("/bin/tavlo-companion --headless")


@pytest.mark.skipif(shutil.which("desktop-file-validate") is None, reason="desktop-file-utils not installed")
@pytest.mark.parametrize("name", ["tavlo-companion.desktop", "tavlo-companion-autostart.desktop"])
def test_desktop_entries_validate(name):
    out = run("desktop-file-validate", str(PACKAGING / name))
    assert out.returncode == 0, out.stdout + out.stderr


@pytest.mark.skipif(shutil.which("systemd-analyze") is None, reason="systemd-analyze not installed")
def test_unit_verifies(tmp_path, tavlo_bin):
    unit = (PACKAGING / "tavlo-companion.service.in").read_text()
    path = tmp_path / "tavlo-companion.service"
    path.write_text(unit.replace("@TAVLO_INSTALL_BINDIR@", str(pathlib.Path(tavlo_bin).resolve().parent)))
    out = run("systemd-analyze", "verify", "--man=no", str(path), timeout=60)
    ours = [line for line in (out.stdout + out.stderr).splitlines() if "tavlo-companion" in line]
    assert ours == [], "\n".join(ours)


@pytest.mark.skipif(os.environ.get("TAVLO_TEST_PACKAGING") != "1", reason="set TAVLO_TEST_PACKAGING=1 (slow, installs)")
def test_deb_installs_runs_and_removes():
    if run("dpkg", "-s", "tavlo-companion").returncode == 0:
        pytest.skip("tavlo-companion is already installed here; not touching it")
    subprocess.run(["make", "deb", "JOBS=2"], cwd=ROOT, check=True, timeout=3600)
    debs = sorted(glob.glob(str(ROOT / "build/deb/tavlo-companion_*.deb")), key=os.path.getmtime)
    assert debs, "make deb produced no package"
    depends = run("dpkg-deb", "-f", debs[-1], "Depends", check=True).stdout
    for lib in ("libc6", "libqt6widgets6", "libqt6svg6", "libqrencode4", "libcurl4", "libavahi-client3",
                "libsqlite3-0", "libsystemd0"):
        assert lib in depends, depends
    contents = run("dpkg-deb", "-c", debs[-1], check=True).stdout
    for path in ("./usr/bin/tavlo-companion", "./usr/share/applications/tavlo-companion.desktop",
                 "./etc/xdg/autostart/tavlo-companion.desktop", "./usr/lib/systemd/user/tavlo-companion.service",
                 "./usr/share/icons/hicolor/scalable/apps/tavlo-companion.svg"):
        assert path in contents, path
    run("dpkg", "-i", debs[-1], check=True)
    try:
        out = run("/usr/bin/tavlo-companion", "--version", timeout=30)
        assert out.returncode == 0 and out.stdout.strip(), out.stderr
        assert "ExecStart=/usr/bin/tavlo-companion --headless" in \
            pathlib.Path("/usr/lib/systemd/user/tavlo-companion.service").read_text()
    finally:
        run("dpkg", "-r", "tavlo-companion", check=True)
    assert not pathlib.Path("/usr/bin/tavlo-companion").exists()
