"""`models` and `generate` against fake Ollama / LM Studio servers on their
real loopback ports and fake `claude` / `codex` tools, inside the sandbox."""
import http.server
import json
import os
import pathlib
import pty
import shutil
import signal
import socket
import subprocess
import threading
import time

import pytest

from companion_support import Companion

pytestmark = pytest.mark.skipif(
    os.environ.get("TAVLO_IN_SANDBOX") != "1" or os.environ.get("TAVLO_NO_SANDBOX") == "1",
    reason="needs tools/e2e-sandbox (private ports 11434/1234 and /usr/local/bin)",
)

PACK = {
    "name": "Dark Mode",
    "summary": "Darkens every page.",
    "keyboard_buttons": [{"label": "Hi", "kind": "snippet", "text": "hello"}],
    "userscripts": [{"filename": "dark.user.js", "name": "Dark", "match": "*://*/*",
                     "description": "dark", "run_at": "document-idle", "body": "(() => {})();"}],
    "python_recipes": [],
}
NO_MODEL = {"ok": False, "reply": "⚠️ No model selected on the Mac companion. Open the menu bar and pick one."}


class FakeBackend(http.server.ThreadingHTTPServer):
    """A fake back end on its real loopback port: GET answers `listing`,
    POST records (path, content type, JSON body) and answers `status`/`answer`."""

    def __init__(self, port, listing):
        self.listing, self.status, self.answer, self.posts = listing, 200, b"", []
        backend = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def _send(self, status, body):
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                self._send(200, json.dumps(backend.listing).encode())

            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))))
                backend.posts.append((self.path, self.headers.get("Content-Type"), body))
                self._send(backend.status, backend.answer)

        super().__init__(("127.0.0.1", port), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()


@pytest.fixture
def ollama():
    with FakeBackend(11434, {"models": [{"name": "llama3:8b", "size": 4700000000}, {"name": "tiny"}]}) as b:
        yield b
        b.shutdown()


@pytest.fixture
def lmstudio():
    with FakeBackend(1234, {"object": "list", "data": [{"id": "qwen/qwen3-8b"}]}) as b:
        yield b
        b.shutdown()


@pytest.fixture
def env(tmp_path):
    e = {k: v for k, v in os.environ.items() if k not in ("TAVLO_STAGING", "CLAUDECODE")}
    e["HOME"] = str(tmp_path / "home")
    e["PATH"] = "/usr/local/bin:/usr/bin:/bin"  # tools are looked for on the PATH too: keep the tester's out
    (tmp_path / "home").mkdir()
    yield e
    for name in ("claude", "codex"):
        pathlib.Path("/usr/local/bin", name).unlink(missing_ok=True)
    shutil.rmtree("/opt/homebrew", ignore_errors=True)


def fake_tool(path, record, script):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\n"
                    f"for a in \"$@\"; do printf '%s\\0' \"$a\"; done > {record}\n" + script)
    path.chmod(0o755)


def run(tavlo_bin, env, *args):
    return subprocess.run([tavlo_bin, *args], capture_output=True, env=env, timeout=60)


def on_terminal(tavlo_bin, env, *args):
    """What the program writes to a terminal as its standard output."""
    leader, follower = pty.openpty()
    with os.fdopen(leader, "rb") as out:
        subprocess.run([tavlo_bin, *args], stdout=follower, env=env, timeout=60, check=True)
        os.close(follower)
        data = b""
        while True:
            try:
                chunk = os.read(out.fileno(), 4096)
            except OSError:  # EIO: the terminal is closed and drained
                break
            if not chunk:
                break
            data += chunk
    return data.decode()


def check_pack_on_disk(reply, staging):
    pack = pathlib.Path(reply["pack_path"])
    assert pack.parent == staging and pack.name == reply["pack_name"]
    on_disk = {str(p.relative_to(pack)): p.read_text() for p in pack.rglob("*") if p.is_file()}
    assert on_disk == reply["files"]
    assert "manifest.json" in on_disk and "userscripts/dark.user.js" in on_disk


def test_models_lists_tools_then_ollama_then_lmstudio(tavlo_bin, env, ollama, lmstudio, tmp_path):
    r = run(tavlo_bin, env, "models")
    assert (r.returncode, r.stdout) == (0,
        b'{"models":[{"id":"ollama:llama3:8b","name":"llama3:8b","provider":"ollama","selected":false,'
        b'"subtitle":"4.7 GB"},{"id":"ollama:tiny","name":"tiny","provider":"ollama","selected":false,'
        b'"subtitle":""},{"id":"lmstudio:qwen\\/qwen3-8b","name":"qwen\\/qwen3-8b","provider":"lmstudio",'
        b'"selected":false,"subtitle":""}],"ok":true}\n')
    assert run(tavlo_bin, env, "models", "--json").stdout == r.stdout
    assert on_terminal(tavlo_bin, env, "models") == (
        "ID                      PROVIDER  NAME           SIZE    SELECTED\r\n"
        "ollama:llama3:8b        ollama    llama3:8b      4.7 GB\r\n"
        "ollama:tiny             ollama    tiny\r\n"
        "lmstudio:qwen/qwen3-8b  lmstudio  qwen/qwen3-8b\r\n")

    fake_tool("/usr/local/bin/claude", tmp_path / "argv", "")
    fake_tool(pathlib.Path(env["HOME"]) / ".local/bin/codex", tmp_path / "argv", "")
    ids = [m["id"] for m in json.loads(run(tavlo_bin, env, "models").stdout)["models"]]
    assert ids == ["claude:cli", "codex:cli", "ollama:llama3:8b", "ollama:tiny", "lmstudio:qwen/qwen3-8b"]


def test_models_and_generate_with_nothing_installed(tavlo_bin, env, tmp_path):
    r = run(tavlo_bin, env, "models")
    assert (r.returncode, r.stdout) == (0, b'{"models":[],"ok":true}\n')
    r = run(tavlo_bin, env, "generate", "--staging", str(tmp_path / "s"), "make a button")
    assert r.returncode == 3 and json.loads(r.stdout) == NO_MODEL
    assert not (tmp_path / "s").exists()


@pytest.mark.parametrize("backend,answer,args,model,path,members", [
    # No model named: the first listed one; staging on the command line.
    ("ollama", {"message": {"role": "assistant", "content": json.dumps(PACK)}}, [], "ollama:llama3:8b",
     "/api/chat", {"model": "llama3:8b", "stream": False, "format": "json"}),
    # An unlisted id is used as given, the pack is found after prose; staging from TAVLO_STAGING.
    ("lmstudio", {"choices": [{"message": {"content": "Sure:\n" + json.dumps(PACK)}}]},
     ["--model", "lmstudio:not-listed"], "lmstudio:not-listed",
     "/v1/chat/completions", {"model": "not-listed", "temperature": 0.3, "stream": False}),
], ids=["ollama", "lmstudio"])
def test_generate_sends_the_exact_request_and_writes_the_pack(tavlo_bin, env, request, tmp_path,
                                                              backend, answer, args, model, path, members):
    fake = request.getfixturevalue(backend)
    fake.answer = json.dumps(answer).encode()
    staging = tmp_path / "deep" / "staging"
    if backend == "ollama":
        args = [*args, "--staging", str(staging)]
    else:
        env["TAVLO_STAGING"] = str(staging)
    r = run(tavlo_bin, env, "generate", *args, "dark mode please")
    assert r.returncode == 0, r.stderr
    reply = json.loads(r.stdout)
    assert reply["ok"] is True and reply["model"] == model and reply["summary"] == "Darkens every page."
    check_pack_on_disk(reply, staging)
    [(seen_path, ctype, body)] = fake.posts
    assert (seen_path, ctype) == (path, "application/json")
    system = body["messages"][0]["content"]
    assert system.startswith("You are Tavlo")
    assert body == {**members, "messages": [{"role": "system", "content": system},
                                            {"role": "user", "content": "dark mode please"}]}


def test_generate_with_claude_passes_the_prompt_as_one_argument(tavlo_bin, env, tmp_path):
    record = tmp_path / "argv"
    fake_tool("/usr/local/bin/claude", record, f"cat <<'EOF'\n{json.dumps(PACK)}\nEOF\n")
    prompt = "-v \"quoted\" 'x' $HOME\nzweite Zeile äöü 日本"
    r = run(tavlo_bin, env, "generate", "--model", "claude:cli", "--staging", str(tmp_path / "s"), "--", prompt)
    assert r.returncode == 0, r.stderr
    check_pack_on_disk(json.loads(r.stdout), tmp_path / "s")
    argv = record.read_bytes().split(b"\0")[:-1]
    assert argv[0] == b"-p" and argv[2:] == [b"--output-format", b"text"]
    assert argv[1].startswith(b"You are Tavlo")
    assert argv[1].endswith(("\n\nUSER: " + prompt + "\n\nJSON:").encode())


def test_generate_failures_name_the_provider(tavlo_bin, env, ollama, tmp_path):
    fake_tool("/opt/homebrew/bin/codex", tmp_path / "argv", "echo boom >&2; exit 1\n")
    r = run(tavlo_bin, env, "generate", "--model", "codex:cli", "--staging", str(tmp_path), "x")
    assert (r.returncode, json.loads(r.stdout)) == (1, {"ok": False, "reply": "⚠️ Codex failed: CLI exit 1: boom\n"})
    assert (tmp_path / "argv").read_bytes().split(b"\0")[:2] == [b"exec", b"--skip-git-repo-check"]

    ollama.status, ollama.answer = 500, b"oops"
    r = run(tavlo_bin, env, "generate", "--model", "ollama:llama3:8b", "--staging", str(tmp_path), "x")
    assert (r.returncode, json.loads(r.stdout)) == (1, {"ok": False, "reply": "⚠️ Ollama failed: ollama 500: oops"})
    ollama.status, ollama.answer = 200, json.dumps({"message": {"content": "no json here"}}).encode()
    r = run(tavlo_bin, env, "generate", "--model", "ollama:llama3:8b", "--staging", str(tmp_path), "x")
    assert r.returncode == 1 and json.loads(r.stdout)["reply"].startswith("⚠️ Ollama failed: ")
    r = run(tavlo_bin, env, "generate", "--model", "mistral:7b", "x")
    assert r.returncode == 2 and r.stdout == b"" and r.stderr.count(b"\n") == 1


def wait_until(predicate, timeout=20.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return False


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def slow_claude(tmp_path):
    """A claude that records its PID, a child's PID and its folder, then runs until killed."""
    fake_tool("/usr/local/bin/claude", tmp_path / "argv",
              f"sleep 600 & echo $! >> {tmp_path}/pids; echo $$ >> {tmp_path}/pids; pwd > {tmp_path}/cwd; wait\n")
    return lambda: [int(p) for p in (tmp_path / "pids").read_text().split()] if (tmp_path / "cwd").exists() else []


@pytest.fixture
def companion(tavlo_bin, tmp_path, env):
    c = Companion(tavlo_bin, tmp_path / "home")
    yield c
    if c.proc:
        c.stop()


def test_stopping_the_companion_ends_its_tools_and_answers_their_requests(companion, tmp_path):
    pids = slow_claude(tmp_path)
    companion.start()
    companion.wait_for(lambda: companion.get_json("/health")[1]["selected_model"] == "claude:cli")
    answers = []
    client = threading.Thread(target=lambda: answers.append(companion.post_json("/generate", {"prompt": "x"})))
    client.start()
    assert wait_until(lambda: len(pids()) == 2), companion.logtext()
    scratch = pathlib.Path((tmp_path / "cwd").read_text().strip())
    assert scratch.is_dir()

    companion.proc.send_signal(signal.SIGTERM)
    assert companion.proc.wait(10) == 0
    client.join(10)
    assert answers == [(500, {"ok": False, "reply": "⚠️ Claude failed: stopped: the companion is shutting down"})]
    assert not any(alive(p) for p in pids()) and not scratch.exists()
    # Nothing holds the port: a new companion can listen at once.
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("0.0.0.0", 18765))
        s.listen()


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
def test_interrupted_generate_ends_its_tool(tavlo_bin, env, tmp_path, sig):
    pids = slow_claude(tmp_path)
    proc = subprocess.Popen([tavlo_bin, "generate", "--model", "claude:cli", "--staging", str(tmp_path / "s"), "x"],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert wait_until(lambda: len(pids()) == 2)
    scratch = pathlib.Path((tmp_path / "cwd").read_text().strip())
    proc.send_signal(sig)
    out, _ = proc.communicate(timeout=10)
    name = "SIGINT" if sig == signal.SIGINT else "SIGTERM"
    assert (proc.returncode, json.loads(out)) == (1, {"ok": False, "reply": f"⚠️ Claude failed: stopped: interrupted by {name}"})
    assert not any(alive(p) for p in pids()) and not scratch.exists()


@pytest.mark.parametrize("max_runs", [None, "1"], ids=["default", "TAVLO_MAX_RUNS=1"])
def test_model_runs_queue_two_at_a_time_and_refuse_beyond_sixteen_waiting(companion, tmp_path, max_runs):
    runs = int(max_runs or 2)
    if max_runs:
        companion.env["TAVLO_MAX_RUNS"] = max_runs
    live, go = tmp_path / "live", tmp_path / "go"
    live.mkdir()
    pack = json.dumps({**PACK, "name": "q-PID"}).replace("PID", "'$$'")
    # Each run counts the runs alive beside it, then waits for the test's go.
    fake_tool("/usr/local/bin/claude", tmp_path / "argv",
              f"touch {live}/$$; ls {live} | wc -l >> {tmp_path}/counts\n"
              f"while [ ! -e {go} ]; do sleep 0.05; done; rm {live}/$$\necho '{pack}'\n")
    companion.start()
    companion.wait_for(lambda: companion.get_json("/health")[1]["selected_model"] == "claude:cli")
    replies = []
    lock = threading.Lock()

    def post():
        r = companion.post_json("/generate", {"prompt": "x"}, timeout=120)
        with lock:
            replies.append(r)

    clients = [threading.Thread(target=post) for _ in range(50)]
    for c in clients:
        c.start()
    refused = 50 - runs - 16
    assert wait_until(lambda: len(replies) == refused, timeout=60), replies
    busy = {"ok": False, "reply": "⚠️ The companion is busy: 16 requests are waiting. Try again shortly."}
    assert replies == [(503, busy)] * refused
    # The queue holds nobody else up.
    status, health = companion.get_json("/health")
    assert status == 200 and health["ok"] is True
    go.touch()
    for c in clients:
        c.join(120)
    assert sorted(r[0] for r in replies) == [200] * (runs + 16) + [503] * refused
    counts = [int(n) for n in (tmp_path / "counts").read_text().split()]
    assert len(counts) == runs + 16 and max(counts) == runs


@pytest.mark.parametrize("name,value", [("TAVLO_MAX_RUNS", "0"), ("TAVLO_MAX_RUNS", "65"), ("TAVLO_MAX_RUNS", "two"),
                                        ("TAVLO_MAX_RUNS", "2x"), ("TAVLO_TOOL_TIMEOUT", "0"),
                                        ("TAVLO_TOOL_TIMEOUT", "-5"), ("TAVLO_TOOL_TIMEOUT", "1.5")])
def test_limits_out_of_range_are_a_clear_error(tavlo_bin, env, name, value):
    r = subprocess.run([tavlo_bin, "--headless"], env={**env, name: value}, capture_output=True,
                       text=True, timeout=30)
    assert r.returncode == 1 and name in r.stderr and r.stderr.count("\n") == 1


def test_tool_timeout_setting_stops_the_tool_and_says_so(companion, tmp_path):
    pids = slow_claude(tmp_path)
    companion.env["TAVLO_TOOL_TIMEOUT"] = "2"
    companion.start()
    companion.wait_for(lambda: companion.get_json("/health")[1]["selected_model"] == "claude:cli")
    status, body = companion.post_json("/generate", {"prompt": "x"}, timeout=60)
    assert (status, body) == (500, {"ok": False,
                                    "reply": "⚠️ Claude failed: CLI tool stopped: no answer within 2 seconds"})
    assert wait_until(lambda: not any(alive(p) for p in pids()))


def test_generate_on_a_terminal_shows_a_live_line_then_erases_it(tavlo_bin, env, tmp_path):
    fake_tool("/usr/local/bin/claude", tmp_path / "argv", f"sleep 2.5\ncat <<'EOF'\n{json.dumps(PACK)}\nEOF\n")
    leader, follower = pty.openpty()
    proc = subprocess.Popen([tavlo_bin, "generate", "--model", "claude:cli", "--staging", str(tmp_path / "s"), "x"],
                            env=env, stdout=subprocess.PIPE, stderr=follower)
    os.close(follower)
    out, _ = proc.communicate(timeout=60)
    err = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # EIO: the terminal's other side is closed
            break
        if not chunk:
            break
        err += chunk
    os.close(leader)
    assert proc.returncode == 0 and json.loads(out)["ok"] is True
    text = err.decode()
    assert text.startswith("\r⏳ claude:cli — 0 s\r⏳ claude:cli — 1 s"), text
    assert text.endswith("\r\033[K") and text.count("\r\033[K") == 1, text
