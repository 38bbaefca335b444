"""`models` and `generate` against fake Ollama / LM Studio servers on their
real loopback ports and fake `claude` / `codex` tools, inside the sandbox."""
import http.server
import json
import os
import pathlib
import shutil
import subprocess
import threading

import pytest

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


class FakeBackend:
    """A tiny HTTP server on a fixed loopback port: GET answers `listing`,
    POST records the JSON body and answers `status`/`answer`."""

    def __init__(self, port, listing):
        backend = self
        self.listing, self.status, self.answer, self.posts = listing, 200, b"", []

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
                length = int(self.headers.get("Content-Length", 0))
                backend.posts.append((self.path, self.headers.get("Content-Type"), json.loads(self.rfile.read(length))))
                self._send(backend.status, backend.answer)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def ollama():
    b = FakeBackend(11434, {"models": [{"name": "llama3:8b", "size": 4700000000}, {"name": "tiny"}]})
    yield b
    b.close()


@pytest.fixture
def lmstudio():
    b = FakeBackend(1234, {"object": "list", "data": [{"id": "qwen/qwen3-8b"}]})
    yield b
    b.close()


@pytest.fixture
def env(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    e = {k: v for k, v in os.environ.items() if k not in ("TAVLO_STAGING", "CLAUDECODE")}
    e["HOME"] = str(home)
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


def check_pack_on_disk(reply, staging):
    pack = pathlib.Path(reply["pack_path"])
    assert pack.parent == staging and pack.name == reply["pack_name"]
    on_disk = {str(p.relative_to(pack)): p.read_text() for p in pack.rglob("*") if p.is_file()}
    assert on_disk == reply["files"]
    assert "manifest.json" in on_disk and "userscripts/dark.user.js" in on_disk


def test_models_lists_tools_then_ollama_then_lmstudio(tavlo_bin, env, ollama, lmstudio, tmp_path):
    r = run(tavlo_bin, env, "models")
    assert r.returncode == 0
    assert r.stdout == (
        b'{"models":[{"id":"ollama:llama3:8b","name":"llama3:8b","provider":"ollama","selected":false,'
        b'"subtitle":"4.7 GB"},{"id":"ollama:tiny","name":"tiny","provider":"ollama","selected":false,'
        b'"subtitle":""},{"id":"lmstudio:qwen\\/qwen3-8b","name":"qwen\\/qwen3-8b","provider":"lmstudio",'
        b'"selected":false,"subtitle":""}],"ok":true}\n')

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


def test_generate_with_first_listed_model_writes_the_pack(tavlo_bin, env, ollama, tmp_path):
    ollama.answer = json.dumps({"message": {"role": "assistant", "content": json.dumps(PACK)}}).encode()
    staging = tmp_path / "deep" / "staging"
    r = run(tavlo_bin, env, "generate", "--staging", str(staging), "dark mode please")
    assert r.returncode == 0, r.stderr
    reply = json.loads(r.stdout)
    assert reply["ok"] is True and reply["model"] == "ollama:llama3:8b"
    assert reply["summary"] == "Darkens every page."
    check_pack_on_disk(reply, staging)
    path, ctype, body = ollama.posts[0]
    assert (path, ctype) == ("/api/chat", "application/json")
    assert body["model"] == "llama3:8b" and body["stream"] is False and body["format"] == "json"
    assert [m["role"] for m in body["messages"]] == ["system", "user"]
    assert body["messages"][0]["content"].startswith("You are Tavlo")
    assert body["messages"][1]["content"] == "dark mode please"


def test_generate_with_lmstudio_by_id_even_when_unlisted(tavlo_bin, env, lmstudio, tmp_path):
    lmstudio.answer = json.dumps({"choices": [{"message": {"content": "Sure:\n" + json.dumps(PACK)}}]}).encode()
    env["TAVLO_STAGING"] = str(tmp_path / "st")
    r = run(tavlo_bin, env, "generate", "--model", "lmstudio:not-listed", "x")
    assert r.returncode == 0, r.stderr
    reply = json.loads(r.stdout)
    assert reply["model"] == "lmstudio:not-listed"
    check_pack_on_disk(reply, tmp_path / "st")
    path, _, body = lmstudio.posts[0]
    assert path == "/v1/chat/completions"
    assert body["model"] == "not-listed" and body["temperature"] == 0.3 and body["stream"] is False


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
    assert r.returncode == 1
    assert json.loads(r.stdout) == {"ok": False, "reply": "⚠️ Codex failed: CLI exit 1: boom\n"}
    assert (tmp_path / "argv").read_bytes().split(b"\0")[:2] == [b"exec", b"--skip-git-repo-check"]

    ollama.status, ollama.answer = 500, b"oops"
    r = run(tavlo_bin, env, "generate", "--model", "ollama:llama3:8b", "--staging", str(tmp_path), "x")
    assert r.returncode == 1
    assert json.loads(r.stdout) == {"ok": False, "reply": "⚠️ Ollama failed: ollama 500: oops"}

    ollama.status, ollama.answer = 200, json.dumps({"message": {"content": "no json here"}}).encode()
    r = run(tavlo_bin, env, "generate", "--model", "ollama:llama3:8b", "--staging", str(tmp_path), "x")
    assert r.returncode == 1 and json.loads(r.stdout)["reply"].startswith("⚠️ Ollama failed: ")

    r = run(tavlo_bin, env, "generate", "--model", "mistral:7b", "x")
    assert r.returncode == 2 and r.stdout == b"" and r.stderr.count(b"\n") == 1
