"""The running companion (--headless) against fake Ollama / LM Studio servers and fake claude,
codex and tailscale tools: what the phone sees over HTTP, what lands on disk, and how it stops."""
import contextlib
import json
import pathlib
import signal
import socket
import sqlite3
import subprocess
import time
import uuid
from concurrent.futures import ThreadPoolExecutor

import pytest

from companion_support import PACK, ROOT, on_terminal, sh, slow_claude, tailscale_script, wait_until, write_tool

def kv(path):
    """The store's rows; {} while the file or its table is not there yet."""
    with contextlib.suppress(sqlite3.OperationalError), contextlib.closing(
            sqlite3.connect(f"file:{path}?mode=ro", uri=True)) as db:
        return dict(db.execute("SELECT key, value FROM kv").fetchall())
    return {}


def test_status_models_and_selection_across_restart(companion, backends):
    ollama, lmstudio = backends
    ollama.models = [{"name": "llama3:8b", "size": 4_700_000_000}, "qwen3-coder"]
    lmstudio.models = ["mistral-7b"]
    companion.start()
    companion.wait_for(companion.selected)  # the first refresh selects the first listed model
    assert companion.get_json("/health") == (200, {
        "ok": True, "service": "tavlo-companion", "hostname": "tavlo-test-host", "tailscale_ip": "",
        "selected_model": "ollama:llama3:8b", "staging": str(companion.home / "packs")})
    models = companion.wait_for(lambda: len(m := companion.get_json("/models")[1]["models"]) == 3 and m)
    assert [(m["id"], m["selected"]) for m in models] == [
        ("ollama:llama3:8b", True), ("ollama:qwen3-coder", False), ("lmstudio:mistral-7b", False)]
    assert companion.post_json("/models/active", {"id": "lmstudio:mistral-7b"}) == \
        (200, {"id": "lmstudio:mistral-7b", "ok": True})
    status, reply = companion.post_json("/generate", {"prompt": "Make a dark-mode toggle"})
    assert (status, reply["model"]) == (200, "lmstudio:mistral-7b"), reply
    assert (companion.home / "packs" / reply["pack_name"] / "manifest.json").is_file()
    assert companion.stop() == 0
    # Kept in a plain SQLite file; the one-shot commands use the same stored choice, and so does a restart.
    assert kv(companion.home / "state/tavlo/defaults.sqlite3")["selectedModelID"] == "lmstudio:mistral-7b"
    listed = json.loads(companion.run("models").stdout)["models"]
    assert [m["id"] for m in listed if m["selected"]] == ["lmstudio:mistral-7b"]
    made = companion.run("generate", "a dark mode toggle")
    assert made.returncode == 0 and json.loads(made.stdout)["model"] == "lmstudio:mistral-7b"
    companion.start()
    companion.wait_for(lambda: companion.selected() == "lmstudio:mistral-7b")


def test_tailscale_shows_in_the_pairing_record_and_command(companion):
    write_tool("/usr/local/bin/tailscale", tailscale_script())
    companion.start()
    rows = companion.wait_for(lambda: (r := kv(companion.home / "data/tavlo/pairing.sqlite3")).get("mac.tailscale_ip") and r)
    assert {k: v for k, v in rows.items() if k != "mac.updated_at"} == {
        "mac.hostname": "tavlo-test-host", "mac.lan_ip": "", "mac.tailscale_ip": "100.101.102.103",
        "mac.tailscale_hostname": "desk.tail1234.ts.net", "mac.port": 18765}
    assert isinstance(rows["mac.updated_at"], float)
    printed = json.loads(companion.run("pairing", check=True).stdout)
    assert (printed["mac.tailscale_ip"], printed["mac.port"]) == ("100.101.102.103", 18765)
    # On a terminal, also where the phone connects; doctor asks that address for /health.
    status, _, shown = on_terminal(companion, "pairing")
    assert (status, shown.splitlines()[1:]) == (0, ["phone connects to 100.101.102.103:18765 (Tailscale)"])
    phone_line = lambda: next(l for l in companion.run("doctor").stdout.decode().splitlines() if "phone address" in l)
    assert phone_line().startswith("FAIL  phone address: phone connects to 100.101.102.103:18765 (Tailscale), "
                                   "GET /health gets no answer: ")  # no interface has it
    sh("ip", "addr", "add", "100.101.102.103/32", "dev", "lo")
    try:
        assert phone_line() == "ok    phone address: phone connects to 100.101.102.103:18765 (Tailscale), GET /health answers"
    finally:
        sh("ip", "addr", "del", "100.101.102.103/32", "dev", "lo")


def test_home_unset_stores_are_named_not_misplaced_and_a_hanging_tailscale_holds_nothing(companion, tmp_path,
                                                                                         monkeypatch):
    monkeypatch.chdir(tmp_path)  # the companion's working folder
    for key in ("HOME", "XDG_STATE_HOME", "XDG_DATA_HOME"):
        del companion.env[key]
    write_tool("/usr/local/bin/tailscale", "sleep 600\n")  # read at start, given 5 s
    began = time.monotonic()
    companion.start()
    assert companion.get_json("/models")[0] == companion.get_json("/health")[0] == 200, companion.logtext()
    assert time.monotonic() - began < 2 and companion.stop() == 0
    lines = [line for line in companion.logtext().splitlines() if "HOME is not set" in line]
    assert len(lines) == 2 and "model selection" in lines[0] and "pairing record" in lines[1]
    assert not (tmp_path / ".local").exists()


def test_busy_port_is_retried_and_systemd_told(companion, tmp_path):
    """Started while the port is taken, it serves once it frees; under systemd it says READY=1 only
    then, and ends with status 1 when the port stays taken, so the unit restarts it."""
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(str(tmp_path / "notify"))
    notify.settimeout(20)
    companion.env.update({"NOTIFY_SOCKET": str(tmp_path / "notify"), "TAVLO_TEST_LISTEN_GIVE_UP_MS": "60000"})
    with notify, socket.create_server(("0.0.0.0", 18765)) as holder:
        companion.spawn()
        companion.wait_for(lambda: "could not listen on :18765: Address already in use" in companion.logtext())
        assert b"READY=1" not in notify.recv(4096)  # the status line that says why it waits
        holder.close()
        while b"READY=1" not in (message := notify.recv(4096)):
            assert b"STATUS=" in message
        assert companion.get_json("/health")[0] == 200 and companion.stop() == 0
    with socket.create_server(("0.0.0.0", 18765)):
        companion.env["TAVLO_TEST_LISTEN_GIVE_UP_MS"] = "1500"
        assert companion.spawn().wait(timeout=30) == 1
        assert "exiting so that systemd starts it again" in companion.logtext()


@pytest.mark.parametrize("via, stop, status, why", [
    ("generate", signal.SIGINT, 1, "stopped: interrupted by SIGINT"),
    ("generate", signal.SIGTERM, 1, "stopped: interrupted by SIGTERM"),
    ("generate", "2", 1, "CLI tool stopped: no answer within 2 seconds"),  # TAVLO_TOOL_TIMEOUT
    ("server", signal.SIGTERM, 0, "stopped: the companion is shutting down"),
    ("server", signal.SIGKILL, -9, None),  # no reply; no tool left: its PID namespace dies with the companion
], ids=["generate-ctrl-c", "generate-sigterm", "TAVLO_TOOL_TIMEOUT", "sigterm", "kill-9"])
def test_a_stop_ends_the_tool_and_its_scratch_folder_and_says_why(companion, via, stop, status, why):
    processes = slow_claude(companion.home)
    if isinstance(stop, str):
        companion.env["TAVLO_TOOL_TIMEOUT"] = stop
    if via == "generate":
        proc = subprocess.Popen([companion.binary, "generate", "--model", "claude:cli", "x"],
                                stdout=subprocess.PIPE, env=companion.env)
        answer = ThreadPoolExecutor(1).submit(lambda: (json.loads(proc.communicate()[0]), proc.returncode))
    else:
        proc = companion.start().proc
        companion.wait_for(lambda: companion.selected() == "claude:cli")
        answer = ThreadPoolExecutor(1).submit(lambda: companion.post_json("/generate", {"prompt": "x"})[::-1])
    assert wait_until(processes), companion.logtext()
    scratch = pathlib.Path((companion.home / ".claude/cwd").read_text().strip())
    if isinstance(stop, signal.Signals):
        proc.send_signal(stop)
    assert proc.wait(60) == status and wait_until(lambda: not processes(), timeout=5), processes()
    if why:
        code = 1 if via == "generate" else 500  # the command prints the reply, the server sends it
        assert answer.result(10) == ({"ok": False, "reply": "⚠️ Claude failed: " + why}, code)
        assert not scratch.exists()
    with socket.create_server(("0.0.0.0", 18765)):  # nothing holds the port: a new companion can listen at once
        pass


@pytest.mark.parametrize("max_runs", [None, "1"], ids=["default", "TAVLO_MAX_RUNS=1"])
def test_model_runs_queue_two_at_a_time_and_refuse_beyond_sixteen_waiting(companion, tmp_path, max_runs):
    runs = int(max_runs or 2)
    if max_runs:
        companion.env["TAVLO_MAX_RUNS"] = max_runs
    own = companion.home / ".claude"  # a sealed tool writes nowhere else
    live, go = own / "live", own / "go"
    live.mkdir(parents=True)
    pack = json.dumps({**PACK, "name": "q-ID"}).replace("ID", "'${me##*/}'")
    # Each run counts the runs alive beside it, then waits for the test's go.
    write_tool("/usr/local/bin/claude", f"me=$(mktemp {live}/XXXXXX); ls {live} | wc -l >> {own}/counts\n"
               f"while [ ! -e {go} ]; do sleep 0.05; done; rm $me\nprintf '%s' '{pack}'\n")
    companion.start()
    companion.wait_for(lambda: companion.selected() == "claude:cli")
    pool = ThreadPoolExecutor(50)
    asked = [pool.submit(companion.post_json, "/generate", {"prompt": "x"}, 120) for _ in range(50)]
    refused = 50 - runs - 16
    assert wait_until(lambda: sum(a.done() for a in asked) == refused, timeout=60)
    busy = {"ok": False, "reply": "⚠️ The companion is busy: 16 requests are waiting. Try again shortly."}
    assert [a.result() for a in asked if a.done()] == [(503, busy)] * refused
    assert companion.get_json("/health")[1]["ok"] is True  # the queue holds nobody else up
    go.touch()
    assert sorted(a.result(120)[0] for a in asked) == [200] * (runs + 16) + [503] * refused
    counts = [int(n) for n in (own / "counts").read_text().split()]
    assert len(counts) == runs + 16 and max(counts) == runs


@pytest.fixture
def other_places(tmp_path):
    """Empty tmpfs over /home and /run/user in the sandbox's own mount namespace (its /run is its own where
    /run/user is missing), so that canaries go there without touching the machine's. A checkout in a home
    (a normal user's) is bound back in its place: the tests run the binary built there."""
    places, kept = [pathlib.Path("/home"), pathlib.Path("/run/user")], tmp_path / "checkout"
    home_checkout = ROOT.is_relative_to("/home")
    if home_checkout:
        kept.mkdir()
        subprocess.run(["mount", "--bind", str(ROOT), str(kept)], check=True)
    for place in places:
        place.mkdir(exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", str(place)], check=True)
    if home_checkout:
        ROOT.mkdir(parents=True)
        subprocess.run(["mount", "--move", str(kept), str(ROOT)], check=True)
    yield
    # Lazily: a companion started by the test still runs its binary from the checkout until it is stopped.
    for place in ([ROOT] if home_checkout else []) + places:
        subprocess.run(["umount", "--lazy", str(place)], check=True)


SEALED = {"claude": ("/usr/local/bin/claude", ".claude"), "codex": (".local/bin/codex", ".codex")}


@pytest.mark.parametrize("tool, via, env", [
    ("claude", "generate", {}), ("codex", "generate", {}), ("codex", "POST /generate", {}),
    ("claude", "generate", {"PATH": "/usr/local/bin"}), ("claude", "generate", {"TAVLO_TOOLS_UNSEALED": "1"}),
], ids=["claude", "codex", "codex-via-http", "bubblewrap-not-on-PATH", "TAVLO_TOOLS_UNSEALED=1"])
def test_a_tool_reads_none_of_the_users_files(companion, tmp_path, other_places, tool, via, env):
    """Whatever the prompt asks, the tool finds no file of the user's home, of another home, of /tmp or of
    /run/user, and what it writes outside its scratch folder does not stay; it works in its scratch folder and
    reads and writes its own configuration folder. Without bubblewrap it does not start and the reply says why;
    TAVLO_TOOLS_UNSEALED=1 runs it as it is (it reads the home) and says so once."""
    secret = f"CANARY-{uuid.uuid4().hex}"
    canaries = [companion.home / "canary", pathlib.Path("/home/other/canary"), tmp_path / "canary",
                pathlib.Path("/run/user/1000/canary")]
    for canary in canaries:
        canary.parent.mkdir(parents=True, exist_ok=True)
        canary.write_text(secret)
    place, own = SEALED[tool]
    own = companion.home / own
    own.mkdir()
    (own / "settings").write_text("OWN")
    targets = [companion.home, pathlib.Path("/home/other"), tmp_path, pathlib.Path("/usr/local/bin"), pathlib.Path("/opt")]
    write_tool(companion.home / place, f"cat {' '.join(map(str, canaries))} > seen 2>&1\n"
               + "".join(f"echo x 2>/dev/null > {t}/written-by-tool\n" for t in targets)
               + f"echo kept > {own}/written\n"
               + "printf '{\"name\":\"sealed\",\"summary\":\"%s\"}' "
               + f"\"own:$(cat {own}/settings) cwd:$(pwd) read:$(tr -cd 'A-Za-z0-9 :/._-' < seen)\"\n")
    companion.env.update(env)
    if via == "generate":
        r = companion.run("generate", "--model", f"{tool}:cli", "x")
        status, reply, said = r.returncode, json.loads(r.stdout), r.stderr.decode()
    else:
        companion.start().wait_for(lambda: companion.selected() == f"{tool}:cli")
        (status, reply), said = companion.post_json("/generate", {"prompt": "x"}), ""
    if "PATH" in env:
        assert (status, reply) == (1, {"ok": False, "reply": "⚠️ Claude failed: cannot seal the tool: bubblewrap is not "
                                       "installed (sudo apt install bubblewrap), see tavlo-companion doctor"}), said
        assert not (own / "written").exists()
        return
    assert status in (0, 200) and said.count("TAVLO_TOOLS_UNSEALED=1") == (1 if env else 0), reply
    assert (secret in reply["summary"]) == bool(env), reply["summary"]
    if not env:
        assert reply["summary"].startswith("own:OWN cwd:/tmp/tavlo-tool-"), reply["summary"]
        assert reply["summary"].count("No such file or directory") == len(canaries), reply["summary"]
        assert (own / "written").read_text() == "kept\n"
        assert [t for t in targets if (t / "written-by-tool").exists()] == []
