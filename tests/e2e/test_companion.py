"""The companion end to end: the real binary in --headless mode against fake
Ollama / LM Studio servers and fake claude, codex and tailscale tools."""
import json
import os
import pathlib
import shutil
import socket
import sqlite3
import subprocess
import time

import pytest

from companion_support import (PACK_ANSWER, Companion, FakeBackend, needs_sandbox, tailscale_script,
                               write_tool)

pytestmark = needs_sandbox

TOOL_DIRS = [pathlib.Path("/usr/local/bin"), pathlib.Path("/opt")]


@pytest.fixture
def backends():
    ollama, lmstudio = FakeBackend("ollama"), FakeBackend("lmstudio")
    yield ollama, lmstudio
    ollama.close()
    lmstudio.close()


@pytest.fixture
def tools():
    yield
    for d in TOOL_DIRS:
        for entry in d.iterdir() if d.exists() else []:
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry)
            else:
                entry.unlink()


@pytest.fixture
def companion(tavlo_bin, tmp_path, tools):
    c = Companion(tavlo_bin, tmp_path)
    yield c
    if c.proc:
        c.stop()


def test_status_models_and_selection_across_restart(companion, backends):
    ollama, lmstudio = backends
    ollama.models = ["llama3:8b", "qwen3-coder"]
    lmstudio.models = ["mistral-7b"]
    companion.start()
    status, health = companion.get_json("/health")
    assert status == 200
    assert health == {"ok": True, "service": "tavlo-companion", "hostname": "tavlo-test-host",
                      "tailscale_ip": "", "selected_model": health["selected_model"],
                      "staging": str(companion.home / "packs")}

    models = companion.wait_for(lambda: len(companion.get_json("/models")[1]["models"]) == 3
                                and companion.get_json("/models")[1]["models"])
    assert [m["id"] for m in models] == ["ollama:llama3:8b", "ollama:qwen3-coder", "lmstudio:mistral-7b"]
    assert models[0] == {"id": "ollama:llama3:8b", "provider": "ollama", "name": "llama3:8b",
                         "subtitle": "4.7 GB", "selected": True}
    assert models[2]["subtitle"] == ""

    assert companion.post_json("/models/active", {"id": "lmstudio:mistral-7b"}) == \
        (200, {"id": "lmstudio:mistral-7b", "ok": True})
    assert companion.stop() == 0

    # The selection survives a restart, and the store is a plain SQLite file.
    db = sqlite3.connect(companion.home / "state" / "tavlo" / "defaults.sqlite3")
    assert db.execute("SELECT value FROM kv WHERE key='selectedModelID'").fetchone() == ("lmstudio:mistral-7b",)
    db.close()

    # The one-shot commands use the same stored choice.
    listed = subprocess.run([companion.binary, "models"], env=companion.env, capture_output=True, timeout=30)
    assert [m["id"] for m in json.loads(listed.stdout)["models"] if m["selected"]] == ["lmstudio:mistral-7b"]
    made = subprocess.run([companion.binary, "generate", "a dark mode toggle"], env=companion.env,
                          capture_output=True, timeout=60)
    assert made.returncode == 0 and json.loads(made.stdout)["model"] == "lmstudio:mistral-7b"

    companion.start()
    assert companion.get_json("/health")[1]["selected_model"] == "lmstudio:mistral-7b"


def test_generate_through_each_back_end(companion, backends):
    ollama, lmstudio = backends
    ollama.models = ["llama3:8b"]
    lmstudio.models = ["mistral-7b"]
    argv_log = companion.home / "argv.txt"
    for tool in ("claude", "codex"):
        write_tool(f"/usr/local/bin/{tool}",
                   f'printf "%s\\n" "$@" > {argv_log}.{tool}\ncat <<\'EOF\'\n{PACK_ANSWER}\nEOF\n')
    companion.start()
    companion.wait_for(lambda: len(companion.get_json("/models")[1]["models"]) == 4)
    for model_id in ["claude:cli", "codex:cli", "ollama:llama3:8b", "lmstudio:mistral-7b"]:
        assert companion.post_json("/models/active", {"id": model_id})[0] == 200
        status, reply = companion.post_json("/generate", {"prompt": "Make a dark-mode toggle"})
        assert status == 200, reply
        assert reply["model"] == model_id
        assert reply["pack_name"].startswith("dark-mode-toggle-")
        assert reply["reply"] == f"📦 Pack '{reply['pack_name']}' written.\n\nAdds a toggle\n\nOpen Tavlo → Packs to apply."
        pack = pathlib.Path(reply["pack_path"])
        assert pack.parent == companion.home / "packs"
        assert sorted(reply["files"]) == ["manifest.json", "userscripts/dark.user.js"]
        assert (pack / "userscripts" / "dark.user.js").read_text() == reply["files"]["userscripts/dark.user.js"]
        assert json.loads((pack / "manifest.json").read_text())["model"] == model_id
    claude_argv = (companion.home / "argv.txt.claude").read_text().split("\n")
    assert claude_argv[0] == "-p" and "Make a dark-mode toggle" in (companion.home / "argv.txt.claude").read_text()
    assert (companion.home / "argv.txt.codex").read_text().startswith("exec\n--skip-git-repo-check\n")
    chat = [body for path, body in ollama.requests if path == "/api/chat"][0]
    assert chat["model"] == "llama3:8b" and chat["stream"] is False and chat["format"] == "json"
    assert chat["messages"][1] == {"role": "user", "content": "Make a dark-mode toggle"}


def test_failures_and_missing_models(companion, backends):
    ollama, _ = backends
    companion.start()
    status, reply = companion.post_json("/generate", {"prompt": "x"})
    assert (status, reply) == (503, {"ok": False, "reply": "⚠️ No model selected on the Mac companion. "
                                                              "Open the menu bar and pick one."})

    # A model that appears on the server is picked up and selected by the next refresh.
    ollama.models = ["llama3:8b"]
    companion.wait_for(lambda: companion.get_json("/health")[1]["selected_model"] == "ollama:llama3:8b")
    ollama.answer = "Sorry, I cannot help with that."
    status, reply = companion.post_json("/generate", {"prompt": "x"})
    assert status == 500
    assert reply == {"ok": False, "reply": "⚠️ Ollama failed: Model output did not contain JSON: "
                                           "Sorry, I cannot help with that."}


def test_unwritable_staging_gives_500_and_companion_goes_on(tavlo_bin, tmp_path, backends, tools):
    ollama, _ = backends
    ollama.models = ["llama3:8b"]
    blocker = tmp_path / "file"
    blocker.write_text("not a folder")
    c = Companion(tavlo_bin, tmp_path, {"TAVLO_STAGING": str(blocker / "packs")})
    c.start()
    try:
        c.wait_for(lambda: c.get_json("/health")[1]["selected_model"])
        status, reply = c.post_json("/generate", {"prompt": "x"})
        assert status == 500 and reply["reply"].startswith("⚠️ Ollama failed: ")
        assert c.get_json("/health")[0] == 200
    finally:
        assert c.stop() == 0


def test_tailscale_shows_in_health_and_pairing_record(companion, backends):
    write_tool("/usr/local/bin/tailscale", tailscale_script())
    companion.start()
    companion.wait_for(lambda: companion.get_json("/health")[1]["tailscale_ip"] == "100.101.102.103")
    db_path = companion.home / "data" / "tavlo" / "pairing.sqlite3"

    def record():
        if not db_path.exists():
            return None
        db = sqlite3.connect(db_path)
        rows = dict(db.execute("SELECT key, value FROM kv").fetchall())
        db.close()
        return rows if rows.get("mac.tailscale_ip") else None

    rows = companion.wait_for(record)
    assert rows["mac.hostname"] == "tavlo-test-host"
    assert rows["mac.tailscale_hostname"] == "desk.tail1234.ts.net"
    assert rows["mac.port"] == 18765
    assert isinstance(rows["mac.updated_at"], float)
    out = subprocess.run([companion.binary, "pairing"], env=companion.env, capture_output=True, text=True, timeout=30)
    assert out.returncode == 0
    printed = json.loads(out.stdout)
    assert printed["mac.tailscale_ip"] == "100.101.102.103" and printed["mac.port"] == 18765


def test_hanging_tailscale_holds_no_request(companion, backends):
    write_tool("/usr/local/bin/tailscale", "exec sleep 30\n")
    companion.start()
    began = time.monotonic()
    status, health = companion.get_json("/health")
    assert status == 200 and health["tailscale_ip"] == ""
    assert time.monotonic() - began < 1.0, "a request waited for the tailscale tool"


def test_locked_stores_hold_neither_start_nor_later_choices(companion, backends):
    """Another program holds both store files (BEGIN EXCLUSIVE) while the companion starts."""
    ollama, lmstudio = backends
    ollama.models, lmstudio.models = ["llama3:8b"], ["mistral-7b"]
    files = [companion.home / "state" / "tavlo" / "defaults.sqlite3",
             companion.home / "data" / "tavlo" / "pairing.sqlite3"]
    holders = []
    for f in files:
        f.parent.mkdir(parents=True)
        holders.append(sqlite3.connect(f, isolation_level=None))
        holders[-1].execute("BEGIN EXCLUSIVE")
    began = time.monotonic()
    companion.start()
    assert time.monotonic() - began < 5, "listening waited for the locked stores"
    companion.wait_for(lambda: len(companion.get_json("/models")[1]["models"]) == 2)
    assert companion.post_json("/models/active", {"id": "lmstudio:mistral-7b"})[0] == 200
    for h in holders:
        h.execute("ROLLBACK")
        h.close()

    def stored():
        db = sqlite3.connect(files[0])
        try:
            return db.execute("SELECT value FROM kv WHERE key='selectedModelID'").fetchone()
        except sqlite3.OperationalError:
            return None
        finally:
            db.close()

    assert companion.wait_for(stored, timeout=15) == ("lmstudio:mistral-7b",)
    assert companion.stop() == 0
    companion.start()
    assert companion.get_json("/health")[1]["selected_model"] == "lmstudio:mistral-7b"
    db = sqlite3.connect(files[1])
    assert db.execute("SELECT value FROM kv WHERE key='mac.port'").fetchone() == (18765,)
    db.close()


def test_request_policy_keeps_web_pages_out(companion, backends):
    companion.start()
    curl = ["curl", "-s", "-o", "-", "-w", "\n%{http_code}"]
    out = subprocess.run(curl + ["-H", "Origin: https://evil.example", "http://127.0.0.1:18765/health"],
                         capture_output=True, text=True, timeout=30)
    assert out.stdout == '{"error":"cross-origin request refused","ok":false}\n403'
    out = subprocess.run(curl + ["-H", "Host: rebind.evil.example", "http://127.0.0.1:18765/health"],
                         capture_output=True, text=True, timeout=30)
    assert out.stdout == '{"error":"host not allowed","ok":false}\n403'
    # The phone's own requests pass: a local name, an address, or no Host at all.
    for host in ["desk.local:18765", "100.101.102.103:18765"]:
        status, headers, _ = companion.request("GET", "/health", headers={"Host": host})
        assert status == 200 and headers["Access-Control-Allow-Origin"] == "*"


@pytest.mark.parametrize("args, extra, status, names", [
    (["--headless"], {}, 1, "HOME"),
    (["pairing"], {}, 2, "HOME"),
    (["--headless"], {"TAVLO_STAGING": "~nosuchuser/x"}, 1, '"nosuchuser"'),
    (["pack", "--prompt", "p", "--model", "ollama:m", "--staging", "~nosuchuser/x"], {}, 2, '"nosuchuser"'),
])
def test_home_unset_and_unknown_user_are_clear_errors(tavlo_bin, tmp_path, args, extra, status, names):
    env = {k: v for k, v in os.environ.items() if k not in ("HOME", "TAVLO_STAGING", "XDG_STATE_HOME", "XDG_DATA_HOME")}
    env.update(extra)
    out = subprocess.run([tavlo_bin, *args], env=env, cwd=tmp_path, input=b"{}", capture_output=True, timeout=30)
    assert out.returncode == status
    assert names in out.stderr.decode() and out.stderr.count(b"\n") == 1
    assert list(tmp_path.iterdir()) == []  # nothing made relative to the working folder


def test_home_unset_stores_are_named_not_misplaced(tavlo_bin, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the companion's working folder
    c = Companion(tavlo_bin, tmp_path, {"TAVLO_STAGING": str(tmp_path / "packs")})
    for key in ("HOME", "XDG_STATE_HOME", "XDG_DATA_HOME"):
        del c.env[key]
    c.start()
    try:
        assert c.get_json("/health")[0] == 200
    finally:
        assert c.stop() == 0
    lines = [line for line in c.logtext().splitlines() if "HOME is not set" in line]
    assert len(lines) == 2 and "model selection" in lines[0] and "pairing record" in lines[1]
    assert not (tmp_path / ".local").exists()


def test_corrupt_store_is_reported_and_left_alone(companion, backends):
    state = companion.home / "state" / "tavlo"
    state.mkdir(parents=True)
    (state / "defaults.sqlite3").write_bytes(b"this is not a database" * 100)
    before = (state / "defaults.sqlite3").read_bytes()
    companion.start()
    assert companion.get_json("/health")[0] == 200
    assert companion.stop() == 0
    assert (state / "defaults.sqlite3").read_bytes() == before
    assert companion.logtext().count("defaults.sqlite3") == 1


def test_busy_port_is_retried_and_systemd_told(companion, tmp_path):
    """A companion started while the port is taken serves once it frees; under systemd it says READY=1
    only then, and ends with status 1 when the port stays taken, so the unit restarts it."""
    holder = socket.socket()
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    holder.bind(("0.0.0.0", 18765))
    holder.listen()
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(str(tmp_path / "notify"))
    notify.settimeout(20)
    companion.env.update({"NOTIFY_SOCKET": str(tmp_path / "notify"), "TAVLO_TEST_LISTEN_GIVE_UP_MS": "60000"})
    try:
        companion.log = open(companion.home / "companion.log", "ab")
        companion.proc = subprocess.Popen([companion.binary, "--headless"], env=companion.env,
                                          stdout=companion.log, stderr=companion.log)
        companion.wait_for(lambda: "could not listen on :18765: Address already in use" in companion.logtext())
        assert b"READY=1" not in notify.recv(4096)  # the status line that says why it waits
        holder.close()
        while b"READY=1" not in (message := notify.recv(4096)):
            assert b"STATUS=" in message
        assert companion.get_json("/health")[0] == 200
        assert companion.stop() == 0

        holder = socket.socket()
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        holder.bind(("0.0.0.0", 18765))
        holder.listen()
        companion.env["TAVLO_TEST_LISTEN_GIVE_UP_MS"] = "1500"
        companion.log = open(companion.home / "companion.log", "ab")
        companion.proc = subprocess.Popen([companion.binary, "--headless"], env=companion.env,
                                          stdout=companion.log, stderr=companion.log)
        assert companion.proc.wait(timeout=30) == 1
        assert "exiting so that systemd starts it again" in companion.logtext()
    finally:
        holder.close()
        notify.close()
