"""What the end-to-end tests share: one fake model back end on its real loopback port, one
fake-tool writer, one bounded wait, and the companion process with a private HOME, state,
staging folder and log."""
import contextlib
import ctypes
import http.client
import json
import os
import pathlib
import pty
import signal
import ssl
import subprocess
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BIN = pathlib.Path(os.environ.get("TAVLO_BIN", ROOT / "build" / "dev" / "bin" / "tavlo-companion"))
IN_SANDBOX = os.environ.get("TAVLO_IN_SANDBOX") == "1"
needs_sandbox = pytest.mark.skipif(not IN_SANDBOX, reason="needs the private namespaces of tools/e2e-sandbox")
# Scratch folders in the sandbox (tmpfs / bind mounts): where fake tools go, emptied after each test.
TOOL_DIRS = [pathlib.Path("/usr/local/bin"), pathlib.Path("/opt")]

PACK = {
    "name": "Dark Mode Toggle",
    "summary": "Adds a toggle",
    "userscripts": [{"filename": "dark.js", "description": "Adds a toggle", "body": "console.log(1);\n"}],
}
NO_MODEL = {"ok": False, "reply": "⚠️ No model selected on the Mac companion. Open the menu bar and pick one."}


def wait_until(predicate, timeout=20.0, step=0.05):
    """Polls `predicate` until it gives a true value or `timeout` passes; returns its last value."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(step)
    return value


def write_tool(path, script):
    """An executable shell script."""
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\n" + script)
    path.chmod(0o755)
    return path


def tailscale_script(ips=("fd7a:115c::1", "100.101.102.103"), dns="desk.tail1234.ts.net."):
    status = {"BackendState": "Running", "Self": {"TailscaleIPs": list(ips), "DNSName": dns}}
    return f"cat <<'EOF'\n{json.dumps(status)}\nEOF\n"


def check_pack_on_disk(r, staging, model):
    """A one-shot command's success: one line of reply naming `model` and a pack under `staging` holding its files."""
    assert (r.returncode, r.stdout.count(b"\n")) == (0, 1), r.stderr
    reply = json.loads(r.stdout)
    pack = pathlib.Path(reply["pack_path"])
    assert (reply["ok"], reply["model"], pack) == (True, model, staging / reply["pack_name"])
    assert {p.relative_to(pack).as_posix(): p.read_text() for p in pack.rglob("*") if p.is_file()} == reply["files"]
    return reply


def on_terminal(companion, *args, streams=("stdout",)):
    """Runs the command with `streams` on one terminal: its exit status, the other stream, what the terminal got."""
    leader, follower = pty.openpty()
    r = subprocess.run([companion.binary, *args], env=companion.env, timeout=60,
                       **{s: follower if s in streams else subprocess.PIPE for s in ("stdout", "stderr")})
    os.close(follower)
    shown = b""
    with contextlib.suppress(OSError):  # EIO: the terminal's other side is closed and drained
        while chunk := os.read(leader, 4096):
            shown += chunk
    os.close(leader)
    return r.returncode, r.stderr if "stdout" in streams else r.stdout, shown.decode()


def sealed_processes(own):
    """The running processes of the sealed tool that recorded its PID namespace in `own`/pidns (the tool sees
    PIDs of its own namespace only), no zombies; [] until it recorded its working folder in `own`/cwd."""
    if not (own / "cwd").exists():
        return []
    ns, found = (own / "pidns").read_text().strip(), []
    for proc in pathlib.Path("/proc").iterdir():
        with contextlib.suppress(OSError):
            if proc.name.isdigit() and os.readlink(proc / "ns/pid") == ns and \
                    (proc / "stat").read_text().rsplit(")", 1)[1].split()[0] != "Z":
                found.append(int(proc.name))
    return found


def slow_claude(home, seconds=600):
    """A claude that starts a child, records its PID namespace and working folder in ~/.claude (the one place of
    the home a sealed tool may write), runs `seconds`, then answers; returns a function giving its running
    processes (see sealed_processes)."""
    own = pathlib.Path(home) / ".claude"
    own.mkdir(parents=True, exist_ok=True)
    write_tool("/usr/local/bin/claude", f"sleep {seconds} & readlink /proc/self/ns/pid > {own}/pidns; "
               f"pwd > {own}/cwd; wait\ncat <<'EOF'\n{json.dumps(PACK)}\nEOF\n")
    return lambda: sealed_processes(own)


class FakeBackend(ThreadingHTTPServer):
    """Ollama (11434) or LM Studio (1234) on loopback, or on `address` (host, port); with `tls`
    (certificate file, key file) over https. GET lists `models` (names, or whole entries);
    POST records (path, content type, JSON body) in `posts` and answers `answer` as the model's text."""
    request_queue_size = 256  # the default 5 drops bursts of connections
    daemon_threads = True

    def __init__(self, kind, address=None, tls=None):
        self.models, self.answer, self.posts = [], json.dumps(PACK), []
        backend = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def send(self, status, data):
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def do_GET(self):
                entries = [m if isinstance(m, dict) else {"name" if kind == "ollama" else "id": m} for m in backend.models]
                self.send(200, json.dumps({"models": entries} if kind == "ollama" else {"data": entries}).encode())

            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))) or b"{}")
                backend.posts.append((self.path, self.headers.get("Content-Type"), body))
                message = {"role": "assistant", "content": backend.answer}
                self.send(200, json.dumps({"message": message} if kind == "ollama"
                                          else {"choices": [{"message": message}]}).encode())

        super().__init__(address or ("127.0.0.1", 11434 if kind == "ollama" else 1234), Handler)
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*map(str, tls))
            self.socket = context.wrap_socket(self.socket, server_side=True)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def close(self):
        self.shutdown()
        self.server_close()


class Companion:
    """The real binary with a private HOME (state, data and staging below it) and a log file."""
    default_args = ("--headless",)  # what spawn() runs without arguments

    def __init__(self, binary, home, extra_env=None):
        self.binary, self.home, self.proc = str(binary), pathlib.Path(home), None
        self.prefix = []  # e.g. ["ip", "netns", "exec", NAME] to start it in another network namespace
        self.home.mkdir(parents=True, exist_ok=True)
        self.env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": str(self.home),
                    "XDG_STATE_HOME": str(self.home / "state"), "XDG_DATA_HOME": str(self.home / "data"),
                    "TAVLO_STAGING": str(self.home / "packs"), **(extra_env or {})}

    def spawn(self, *args):
        """Starts `tavlo-companion ARGS` (default_args when none) without waiting for it."""
        self.log = open(self.home / "companion.log", "ab")
        self.listened = self.logtext().count("listening on")
        self.proc = subprocess.Popen([*self.prefix, self.binary, *(args or self.default_args)], env=self.env,
                                     stdout=self.log, stderr=self.log)
        return self.proc

    def start(self, *args):
        """Spawns and waits until it listens (its log says so)."""
        self.spawn(*args)
        wait_until(lambda: self.logtext().count("listening on") > self.listened or self.proc.poll() is not None,
                   timeout=20, step=0.005)
        assert self.proc.poll() is None and self.logtext().count("listening on") > self.listened, self.logtext()
        return self

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

    def run(self, *args, **kw):
        """A one-shot command with the companion's environment."""
        return subprocess.run([self.binary, *args], env=kw.pop("env", self.env), capture_output=True,
                              timeout=kw.pop("timeout", 60), **kw)

    def logtext(self):
        return (self.home / "companion.log").read_text(errors="replace")

    def get_json(self, path):
        return self.post_json(path, None, method="GET")

    def post_json(self, path, body, timeout=30, method="POST"):
        conn = http.client.HTTPConnection("127.0.0.1", 18765, timeout=timeout)
        try:
            conn.request(method, path, body=None if body is None else json.dumps(body))
            resp = conn.getresponse()
            return resp.status, json.loads(resp.read())
        finally:
            conn.close()

    def wait_for(self, predicate, timeout=8.0):
        value = wait_until(predicate, timeout, step=0.1)
        assert value, "condition not met in time; log: " + self.logtext()
        return value

    def selected(self):
        return self.get_json("/health")[1]["selected_model"]


def sh(*args, check=True, timeout=30):
    return subprocess.run(args, check=check, timeout=timeout, capture_output=True, text=True)


def get_health(netns, source, target):
    """The body and status of GET /health from `source` (in network namespace `netns`, else here) within 5 s,
    or curl's exit status when it got no answer."""
    out = sh(*(["ip", "netns", "exec", netns] if netns else []), "curl", "-s", "-m", "5", "--interface", source,
             "-w", " %{http_code}", f"http://{target}:18765/health", check=False)
    return out.stdout if out.returncode == 0 else f"curl exit {out.returncode}"


@contextlib.contextmanager
def netns_pair(server_setup, client_setup):
    """Two network namespaces joined by a veth pair; each setup is a shell script run in its namespace with
    $DEV naming its end. Yields their names; afterwards every process in them is killed and they go."""
    tag = uuid.uuid4().hex[:6]
    names = (f"tavlo-s-{tag}", f"tavlo-c-{tag}")
    try:
        for ns in names:
            sh("ip", "netns", "add", ns)
        sh("ip", "link", "add", f"s{tag}", "netns", names[0], "type", "veth", "peer", "name", f"c{tag}", "netns", names[1])
        for ns, dev, script in zip(names, (f"s{tag}", f"c{tag}"), (server_setup, client_setup)):
            sh("ip", "netns", "exec", ns, "sh", "-ec", f"DEV={dev}; ip link set lo up; {script}")
        yield names
    finally:
        for ns in names:
            for pid in sh("ip", "netns", "pids", ns, check=False).stdout.split():
                with contextlib.suppress(ProcessLookupError):
                    os.kill(int(pid), signal.SIGKILL)
            sh("ip", "netns", "del", ns, check=False)


@contextlib.contextmanager
def in_netns(name):
    """Sockets made in the block belong to network namespace `name` (the calling thread switches; a
    socket keeps its namespace afterwards, so a FakeBackend made here serves there)."""
    libc, clone_newnet = ctypes.CDLL(None, use_errno=True), 0x40000000
    own, target = os.open("/proc/thread-self/ns/net", os.O_RDONLY), os.open(f"/run/netns/{name}", os.O_RDONLY)
    try:
        assert libc.setns(target, clone_newnet) == 0, os.strerror(ctypes.get_errno())
        yield
    finally:
        assert libc.setns(own, clone_newnet) == 0
        os.close(own)
        os.close(target)
