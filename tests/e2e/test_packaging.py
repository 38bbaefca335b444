"""What gets installed. The package round trip (make deb, lintian, dpkg -i, run, dpkg -P) builds a release
tree from scratch and changes the machine, so it runs only with TAVLO_TEST_PACKAGING=1."""
import glob
import gzip
import os
import pathlib
import re
import shutil
import subprocess

import pytest

from companion_support import ROOT, wait_until, write_tool

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
    # where the program looks for its tray module: ../lib/tavlo-companion/modules from its bin folder
    for path in ("lib/tavlo-companion/modules/libtavlo-ui.so", "share/bash-completion/completions/tavlo-companion",
                 "share/doc/tavlo-companion/copyright", "share/doc/tavlo-companion/changelog.gz"):
        assert (installed / path).is_file(), path
    assert desktop_entry(installed / "share/applications/tavlo-companion.desktop")["Icon"] == "tavlo-companion"
    assert (installed / "share/icons/hicolor/scalable/apps/tavlo-companion.svg").read_text().startswith("<svg")
    # The autostart entry starts tray mode (headless machines use the unit); what Exec runs is tested below.
    assert desktop_entry(installed / "etc/xdg/autostart/tavlo-companion.desktop")["Exec"].endswith("exec tavlo-companion\"")
    unit = (installed / "lib/systemd/user/tavlo-companion.service").read_text()
    exec_start = next(line for line in unit.splitlines() if line.startswith("ExecStart="))
    assert exec_start.startswith("ExecStart=/") and exec_start.endswith("/bin/tavlo-companion --headless")
    with gzip.open(installed / "share/man/man1/tavlo-companion.1.gz", "rt") as page:
        assert page.read().startswith(".TH TAVLO-COMPANION 1 ")


@pytest.mark.skipif(not shutil.which("desktop-file-validate") or not shutil.which("gio"),
                    reason="needs desktop-file-utils and libglib2.0-bin (gio)")
@pytest.mark.parametrize("name", ["tavlo-companion.desktop", "tavlo-companion-autostart.desktop"])
def test_desktop_entries_validate_and_start_with_local_bin_first(name, tmp_path):
    out = run("desktop-file-validate", str(PACKAGING / name))
    assert out.returncode == 0, out.stdout + out.stderr
    # Launched as a desktop would (gio parses Exec's quoting): the copy in ~/.local/bin wins over the PATH's.
    home, system = tmp_path / "home", tmp_path / "system"
    for folder, who in ((home / ".local/bin", "local"), (system, "system")):
        write_tool(folder / "tavlo-companion", f'echo "{who} $PATH" > "$HOME/started"\n')
    out = run("gio", "launch", str(PACKAGING / name), env={"HOME": str(home), "PATH": f"{system}:/usr/bin:/bin"}, timeout=60)
    assert out.returncode == 0, out.stderr
    assert wait_until(lambda: (home / "started").exists(), timeout=60)
    assert (home / "started").read_text().strip() == f"local {home}/.local/bin:{system}:/usr/bin:/bin"


def test_man_page_covers_every_option_of_help(tavlo_bin):
    usage = run(tavlo_bin, "--help", check=True, timeout=30).stdout
    page = (PACKAGING / "tavlo-companion.1.in").read_text().replace("\\-", "-")
    words = set(re.findall(r"--[a-z][a-z-]*|\bTAVLO_[A-Z_]+", usage))
    words |= set(re.findall(r"^  tavlo-companion ([a-z]+)", usage, re.M))
    assert sorted(w for w in words if w not in page) == []


@pytest.mark.parametrize("words, expected", [
    ("tavlo-companion ''", "pack models generate pairing doctor"),
    ("tavlo-companion --h", "--headless --help"),
    ("tavlo-companion --listen 127.0.0.1 --", "--headless --panel --help --version"),
    ("tavlo-companion pack --prompt x --", "--model --staging --answer"),
    ("tavlo-companion generate --staging ap", "apps/"),
    ("tavlo-companion models --", "--json"),
    ("tavlo-companion pairing -", "--qr"),
])
def test_bash_completion(words, expected, tmp_path):
    (tmp_path / "apps").mkdir()
    (tmp_path / "apple").write_text("")  # a file: --staging offers folders only
    script = f"""
        source {PACKAGING / "tavlo-companion.bash-completion"}
        COMP_WORDS=({words}); COMP_CWORD=$((${{#COMP_WORDS[@]}} - 1))
        _tavlo_companion
        for reply in "${{COMPREPLY[@]}}"; do [ -d "$reply" ] && reply="$reply/"; printf '%s ' "$reply"; done
        echo; complete -p tavlo-companion
    """
    out = run("bash", "--norc", "-c", script, cwd=tmp_path, timeout=30)
    assert out.stdout.splitlines() == [expected + " ", "complete -F _tavlo_companion tavlo-companion"], out.stderr


@pytest.mark.skipif(shutil.which("systemd-analyze") is None, reason="systemd-analyze not installed")
def test_unit_verifies(tmp_path, tavlo_bin):
    unit = (PACKAGING / "tavlo-companion.service.in").read_text()
    path = tmp_path / "tavlo-companion.service"
    path.write_text(unit.replace("@TAVLO_INSTALL_BINDIR@", str(pathlib.Path(tavlo_bin).resolve().parent)))
    out = run("systemd-analyze", "verify", "--man=no", str(path), timeout=60)
    ours = [line for line in (out.stdout + out.stderr).splitlines() if "tavlo-companion" in line]
    assert ours == [], "\n".join(ours)


@pytest.mark.skipif(os.environ.get("TAVLO_TEST_PACKAGING") != "1", reason="set TAVLO_TEST_PACKAGING=1 (slow, installs)")
def test_deb_is_clean_resolves_installs_runs_and_purges(tmp_path):
    if run("dpkg", "-s", "tavlo-companion").returncode == 0:
        pytest.skip("tavlo-companion is already installed here; not touching it")
    subprocess.run(["make", "deb", "JOBS=2"], cwd=ROOT, check=True, timeout=3600)
    deb = max(glob.glob(str(ROOT / "build/deb/tavlo-companion_*.deb")), key=os.path.getmtime)
    lint = run("lintian", deb, timeout=600)
    assert [line for line in lint.stdout.splitlines() if line[:2] in ("E:", "W:")] == [], lint.stdout + lint.stderr
    depends = run("dpkg-deb", "-f", deb, "Depends", check=True).stdout
    for lib in ("libc6", "libqt6widgets6", "libqt6svg6", "libqrencode4", "libcurl4", "libavahi-client3",
                "libsqlite3-0", "libsystemd0", "bubblewrap"):
        assert lib in depends, depends
    # Depends resolves on a machine without the libraries: apt with an empty database, from the package lists.
    (tmp_path / "status").write_text("")
    sim = run("apt-get", "--simulate", "-o", f"Dir::State::status={tmp_path / 'status'}", "install", deb)
    assert sim.returncode == 0 and "Inst tavlo-companion " in sim.stdout, \
        "apt cannot resolve Depends (are the package lists there? apt-get update)\n" + sim.stdout + sim.stderr
    run("dpkg", "-i", deb, check=True)  # the files are the install rules' (tested above)
    try:
        out = run("/usr/bin/tavlo-companion", "--version", timeout=30)
        assert out.returncode == 0 and out.stdout.strip(), out.stderr
        # Also finds the man page named in Documentation= (what ExecStart runs: the install test).
        out = run("systemd-analyze", "verify", "/usr/lib/systemd/user/tavlo-companion.service", timeout=60)
        assert [line for line in (out.stdout + out.stderr).splitlines() if "tavlo-companion" in line] == [], out.stderr
    finally:
        run("dpkg", "-P", "tavlo-companion", check=True)
    # Purged, the autostart entry (a conffile) goes too.
    assert not pathlib.Path("/usr/bin/tavlo-companion").exists()
    assert not pathlib.Path("/etc/xdg/autostart/tavlo-companion.desktop").exists()
