"""Helpers for end-to-end tests of the running companion: fake back ends on
their real loopback ports, fake command-line tools, and the companion process."""
import json
import os
import pathlib
import socket
import subprocess
import threading
import time
import http.client
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

IN_SANDBOX = os.environ.get("TAVLO_IN_SANDBOX") == "1"
needs_sandbox = pytest.mark.skipif(not IN_SANDBOX, reason="needs the private namespaces of tools/e2e-sandbox (root)")

PACK_ANSWER = json.dumps({
    "name": "Dark Mode Toggle",
    "summary": "Adds a toggle",
    "userscripts": [{"filename": "dark.js", "description": "Adds a toggle", "body": "console.log(1);\n"}],
})


class FakeBackend:
    """Ollama (11434) or LM Studio (1234) on loopback, answering from mutable fields."""

    def __init__(self, kind):
        self.kind = kind
        self.models = []
        self.answer = PACK_ANSWER
        self.requests = []
        backend = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def reply(self, obj, status=200):
                data = json.dumps(obj).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def do_GET(self):
                if backend.kind == "ollama" and self.path == "/api/tags":
                    return self.reply({"models": [{"name": m, "size": 4_700_000_000} for m in backend.models]})
                if backend.kind == "lmstudio" and self.path == "/v1/models":
                    return self.reply({"data": [{"id": m} for m in backend.models]})
                self.reply({"error": "no"}, 404)

            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))) or b"{}")
                backend.requests.append((self.path, body))
                if backend.kind == "ollama" and self.path == "/api/chat":
                    return self.reply({"message": {"role": "assistant", "content": backend.answer}})
                if backend.kind == "lmstudio" and self.path == "/v1/chat/completions":
                    return self.reply({"choices": [{"message": {"content": backend.answer}}]})
                self.reply({"error": "no"}, 404)

        class Server(ThreadingHTTPServer):
            request_queue_size = 256  # the default 5 drops bursts of connections
            daemon_threads = True

        port = 11434 if kind == "ollama" else 1234
        self.server = Server(("127.0.0.1", port), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def write_tool(path, script):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\n" + script)
    path.chmod(0o755)
    return path


def tailscale_script(ip="100.101.102.103", dns="desk.tail1234.ts.net."):
    status = {"BackendState": "Running", "Self": {"TailscaleIPs": ["fd7a:115c::1", ip], "DNSName": dns}}
    return f"cat <<'EOF'\n{json.dumps(status)}\nEOF\n"


class Companion:
    """The real binary in --headless mode with a private HOME."""

    def __init__(self, binary, home, extra_env=None):
        self.home = pathlib.Path(home)
        self.env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "HOME": str(self.home),
            "XDG_STATE_HOME": str(self.home / "state"),
            "XDG_DATA_HOME": str(self.home / "data"),
            "TAVLO_STAGING": str(self.home / "packs"),
        }
        self.env.update(extra_env or {})
        self.binary = binary
        self.proc = None

    def start(self):
        self.log = open(self.home / "companion.log", "ab")
        self.proc = subprocess.Popen([self.binary, "--headless"], env=self.env, stdout=self.log, stderr=self.log)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", 18765), timeout=0.2).close()
                return self
            except OSError:
                assert self.proc.poll() is None, self.logtext()
                time.sleep(0.002)
        raise AssertionError("companion did not listen: " + self.logtext())

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        return self.proc.returncode

    def logtext(self):
        return (self.home / "companion.log").read_text(errors="replace")

    def request(self, method, path, body=None, headers=None, timeout=30):
        conn = http.client.HTTPConnection("127.0.0.1", 18765, timeout=timeout)
        data = None if body is None else (body if isinstance(body, (bytes, str)) else json.dumps(body))
        conn.request(method, path, body=data, headers=headers or {})
        resp = conn.getresponse()
        raw = resp.read()
        conn.close()
        return resp.status, dict(resp.getheaders()), raw

    def get_json(self, path):
        status, _, raw = self.request("GET", path)
        return status, json.loads(raw)

    def post_json(self, path, body, headers=None, timeout=30):
        status, _, raw = self.request("POST", path, body, headers, timeout)
        return status, json.loads(raw)

    def wait_for(self, predicate, timeout=8.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            value = predicate()
            if value:
                return value
            time.sleep(0.1)
        raise AssertionError("condition not met in time; log: " + self.logtext())
