"""The command line: help, usage and setting errors, `models` / `generate` against fake Ollama /
LM Studio servers on their real loopback ports and fake `claude` / `codex` tools, and `pack`:
the generate reply for a model's answer and the pack folder on disk."""
import contextlib
import json
import os
import pathlib
import re
import subprocess
import time

import pytest

from companion_support import (NO_MODEL, PACK, FakeBackend, check_pack_on_disk, get_health, in_netns, netns_pair,
                               on_terminal, sh, slow_claude, wait_until, write_tool)

SAMPLE = pathlib.Path(__file__).resolve().parents[1] / "fixtures" / "sample-answer.txt"
NO_HOME = {"HOME": None, "XDG_STATE_HOME": None, "XDG_DATA_HOME": None, "TAVLO_STAGING": None}
PACK_ARGS = ["pack", "--prompt", "p", "--model", "ollama:m"]
FOREIGN_IP = "198.51.100.2"  # the far computer's second address, reached through a /32 route only


@pytest.mark.parametrize("args, env, status, named", [
    (["--bogus"], {}, 2, "--bogus"),
    (["--headless", "--listen", "not-an-ip"], {}, 2, "not-an-ip"),
    (["--listen"], {}, 2, "--listen"),
    (["--headless", "--panel"], {}, 2, "--panel"),
    (["generate", "--model", "mistral:7b", "x"], {}, 2, ""),
    (["pack", "--prompt", "p"], {}, 2, ""),
    (["pack", "--prompt", "p", "--model", "llama3"], {}, 2, ""),
    ([*PACK_ARGS, "--bogus"], {}, 2, ""),
    ([*PACK_ARGS, "--answer", "/nonexistent/answer.txt"], {}, 2, ""),
    ([*PACK_ARGS, "--staging", "~nosuchuser/x"], {}, 2, '"nosuchuser"'),
    (["--headless"], {"TAVLO_STAGING": "~nosuchuser/x"}, 2, '"nosuchuser"'),
    (["--headless"], NO_HOME, 1, "HOME"),
    (["pairing"], NO_HOME, 2, "HOME"),
    *[(["--headless"], {name: value}, 2, name) for name, value in [
        ("TAVLO_MAX_RUNS", "0"), ("TAVLO_MAX_RUNS", "65"), ("TAVLO_MAX_RUNS", "two"), ("TAVLO_MAX_RUNS", "2x"),
        ("TAVLO_TOOL_TIMEOUT", "0"), ("TAVLO_TOOL_TIMEOUT", "-5"), ("TAVLO_TOOL_TIMEOUT", "1.5"),
        ("OLLAMA_HOST", "gpu-box:99999"), ("TAVLO_LMSTUDIO_URL", "ftp://studio")]],
    (["models"], {"OLLAMA_HOST": "gpu box"}, 2, "OLLAMA_HOST='gpu box'"),
    (["generate", "x"], {"TAVLO_LMSTUDIO_URL": "[fd00::5"}, 2, "TAVLO_LMSTUDIO_URL"),
])
def test_usage_and_setting_errors_are_one_line_and_make_nothing(companion, tmp_path, args, env, status, named):
    env = {k: v for k, v in {**companion.env, **env}.items() if v is not None}
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    r = companion.run(*args, env=env, cwd=cwd, input=b"{}", timeout=30)
    assert (r.returncode, r.stdout, r.stderr.count(b"\n")) == (status, b"", 1), r.stderr
    assert named.encode() in r.stderr
    assert list(cwd.iterdir()) == [] and not (companion.home / "packs").exists()


def test_models_lists_tools_then_ollama_then_lmstudio_and_generate_uses_them(companion, backends, tmp_path):
    assert companion.run("models").stdout == b'{"models":[],"ok":true}\n'
    r = companion.run("generate", "--staging", str(tmp_path / "s"), "make a button")
    assert r.returncode == 3 and json.loads(r.stdout) == NO_MODEL
    assert not (tmp_path / "s").exists()
    ollama, lmstudio = backends
    ollama.models = [{"name": "llama3:8b", "size": 4700000000}, "tiny"]
    lmstudio.models = ["qwen/qwen3-8b"]
    r = companion.run("models")
    assert (r.returncode, r.stdout) == (0,
        b'{"models":[{"id":"ollama:llama3:8b","name":"llama3:8b","provider":"ollama","selected":false,'
        b'"subtitle":"4.7 GB"},{"id":"ollama:tiny","name":"tiny","provider":"ollama","selected":false,'
        b'"subtitle":""},{"id":"lmstudio:qwen\\/qwen3-8b","name":"qwen\\/qwen3-8b","provider":"lmstudio",'
        b'"selected":false,"subtitle":""}],"ok":true}\n')
    assert companion.run("models", "--json").stdout == r.stdout
    assert on_terminal(companion, "models") == (0, b"",
        "ID                      PROVIDER  NAME           SIZE    SELECTED\r\n"
        "ollama:llama3:8b        ollama    llama3:8b      4.7 GB\r\n"
        "ollama:tiny             ollama    tiny\r\n"
        "lmstudio:qwen/qwen3-8b  lmstudio  qwen/qwen3-8b\r\n")
    # generate: no model named, the first one listed; staging from the command line.
    check_pack_on_disk(companion.run("generate", "--staging", str(tmp_path / "deep/s"), "x"), tmp_path / "deep/s",
                       "ollama:llama3:8b")
    # An unlisted id is used as given; staging from TAVLO_STAGING; the prompt reaches the model whole, whatever it holds.
    companion.env["TAVLO_STAGING"] = str(tmp_path / "env")
    prompt = "-v \"quoted\" 'x' $HOME\nzweite Zeile äöü 日本"
    check_pack_on_disk(companion.run("generate", "--model", "lmstudio:not-listed", "--", prompt), tmp_path / "env",
                       "lmstudio:not-listed")
    # Each back end gets its own request: its path, JSON, its options, the system prompt, then the prompt.
    expected = [("/api/chat", {"model": "llama3:8b", "format": "json"}, "x"),
                ("/v1/chat/completions", {"model": "not-listed", "temperature": 0.3}, prompt)]
    for (path, kind, body), (want, opts, said) in zip(ollama.posts + lmstudio.posts, expected, strict=True):
        system, user = body.pop("messages")
        assert (path, kind, body) == (want, "application/json", {**opts, "stream": False})
        assert [system["role"], user["role"]] == ["system", "user"] and system["content"]
        assert user["content"] == said
    write_tool("/usr/local/bin/claude", "")
    write_tool(companion.home / ".local/bin/codex", "")
    ids = [m["id"] for m in json.loads(companion.run("models").stdout)["models"]]
    assert ids == ["claude:cli", "codex:cli", "ollama:llama3:8b", "ollama:tiny", "lmstudio:qwen/qwen3-8b"]


@contextlib.contextmanager
def far_servers(tmp_path):
    """Ollama and LM Studio (https, a self-signed certificate for "gpu-box") on 10.99.0.1 in a network namespace
    of their own, "gpu-box" in /etc/hosts; yields the namespace the companion runs in, the two fakes, the certificate."""
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    sh("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1",
       "-keyout", str(key), "-out", str(cert), "-subj", "/CN=gpu-box", "-addext", "subjectAltName=DNS:gpu-box")
    (tmp_path / "hosts").write_text("127.0.0.1 localhost\n10.99.0.1 gpu-box\n")
    with netns_pair(f"ip link set $DEV up; ip addr add 10.99.0.1/24 dev $DEV; ip addr add {FOREIGN_IP}/32 dev $DEV",
                    f"ip link set $DEV up; ip addr add 10.99.0.2/24 dev $DEV; ip route add {FOREIGN_IP}/32 dev $DEV"
                    ) as (far, near), contextlib.ExitStack() as undo:
        sh("mount", "--bind", str(tmp_path / "hosts"), "/etc/hosts")
        undo.callback(sh, "umount", "/etc/hosts")
        with in_netns(far):
            ollama = FakeBackend("ollama", ("10.99.0.1", 11434))
            lmstudio = FakeBackend("lmstudio", ("10.99.0.1", 8443), tls=(cert, key))
        undo.callback(ollama.close)
        undo.callback(lmstudio.close)
        yield far, near, ollama, lmstudio, cert


def test_servers_on_another_computer(companion, tmp_path):
    """OLLAMA_HOST and TAVLO_LMSTUDIO_URL as users write them: the models say where they run, runs go there,
    doctor names the URL it tried and whether it answered, the running companion lists them too. That other
    computer, as a client, is served from its address on the link, not from one no network here contains."""
    with far_servers(tmp_path) as (far, near, ollama, lmstudio, cert):
        ollama.models, lmstudio.models = [{"name": "llama3:8b", "size": 4700000000}], ["qwen/qwen3-8b"]
        companion.env.update(OLLAMA_HOST="gpu-box", TAVLO_LMSTUDIO_URL="https://gpu-box:8443/v1", CURL_CA_BUNDLE=str(cert))
        run = lambda *args, env=companion.env: subprocess.run(["ip", "netns", "exec", near, companion.binary, *args],
                                                              env=env, capture_output=True, timeout=60)
        listed = [(m["id"], m["subtitle"]) for m in json.loads(run("models").stdout)["models"]]
        assert listed == [("ollama:llama3:8b", "Ollama on gpu-box · 4.7 GB"), ("lmstudio:qwen/qwen3-8b", "LM Studio on gpu-box")]
        for model, fake, path in [("ollama:llama3:8b", ollama, "/api/chat"), ("lmstudio:q", lmstudio, "/v1/chat/completions")]:
            check_pack_on_disk(run("generate", "--model", model, "x"), companion.home / "packs", model)
            assert fake.posts[-1][0] == path
        doctor = run("doctor").stdout.decode()
        assert "ok    model source Ollama on gpu-box: 1 model at http://gpu-box:11434 (OLLAMA_HOST)\n" in doctor
        assert "ok    model source LM Studio on gpu-box: 1 model at https://gpu-box:8443 (TAVLO_LMSTUDIO_URL)\n" in doctor
        # Without the certificate trusted, LM Studio does not answer, and doctor says why.
        untrusting = {k: v for k, v in companion.env.items() if k != "CURL_CA_BUNDLE"}
        assert [m["id"] for m in json.loads(run("models", env=untrusting).stdout)["models"]] == ["ollama:llama3:8b"]
        assert re.search(r"\nwarn  model source LM Studio on gpu-box: no answer from https://gpu-box:8443 "
                         r"\(TAVLO_LMSTUDIO_URL\): SSL certificate problem: self.signed certificate — check that LM Studio runs "
                         r"on gpu-box", run("doctor", env=untrusting).stdout.decode())
        companion.prefix = ["ip", "netns", "exec", near]
        companion.start()
        models = lambda: sh("ip", "netns", "exec", near, "curl", "-s", "http://127.0.0.1:18765/models").stdout
        assert wait_until(lambda: "LM Studio on gpu-box" in models()) and "Ollama on gpu-box" in models()
        assert get_health(far, "10.99.0.1", "10.99.0.2").startswith('{"hostname"')
        assert get_health(far, FOREIGN_IP, "10.99.0.2") == '{"error":"client address not allowed","ok":false} 403'
        assert companion.stop() == 0
        # --listen on the link's address only, and every client allowed: loopback gets no connection
        # at all, the foreign address is served.
        companion.env["TAVLO_ALLOW_ANY_CLIENT"] = "1"
        companion.start("--headless", "--listen", "10.99.0.2")
        assert get_health(far, FOREIGN_IP, "10.99.0.2").endswith(" 200")
        assert get_health(near, "127.0.0.1", "127.0.0.1") == "curl exit 7"  # could not connect
        assert companion.stop() == 0


def test_generate_on_a_terminal_shows_a_live_line_then_text_folder_and_files_unless_json(companion, backends, tmp_path):
    """While the tool runs, a live line (stderr), erased once; then the reply's text, the pack's folder and its files."""
    slow_claude(companion.home, 2.5)
    staging = tmp_path / "s"
    status, _, shown = on_terminal(companion, "generate", "--model", "claude:cli", "--staging", str(staging), "x",
                                   streams=("stdout", "stderr"))
    pack = next(staging.iterdir())
    size = lambda name: (pack / name).stat().st_size
    assert status == 0 and shown.startswith("\r⏳ claude:cli — 0 s\r⏳ claude:cli — 1 s") and shown.count("\r\033[K") == 1
    assert shown.endswith(f"\r\033[K📦 Pack '{pack.name}' written.\r\n\r\nAdds a toggle\r\n\r\nOpen Tavlo → Packs to apply."
                          f"\r\n\r\n{pack}\r\n  manifest.json  {size('manifest.json')} bytes\r\n"
                          f"  userscripts/dark.user.js  {size('userscripts/dark.user.js')} bytes\r\n"), shown
    assert json.loads(on_terminal(companion, "generate", "--json", "--model", "ollama:m", "x")[2])["ok"] is True
    # A tool that says what it is doing: its last line shows, cleaned, and clears what a longer line left.
    write_tool("/usr/local/bin/codex", "printf 'starting up\\n\\tReconnecting...\\a 2/5\\n\\n  \\n' >&2; sleep 1.5\n"
               f"cat <<'EOF'\n{json.dumps(PACK)}\nEOF\n")
    status, _, shown = on_terminal(companion, "generate", "--json", "--model", "codex:cli", "x", streams=("stderr",))
    assert status == 0 and "\r⏳ codex:cli — 1 s — Reconnecting... 2/5\033[K" in shown, shown
    # A failing one, found before /usr/local/bin's: exit 1 and the failure, naming the provider.
    write_tool("/opt/homebrew/bin/codex", "echo boom >&2; exit 1\n")
    assert on_terminal(companion, "generate", "--model", "codex:cli", "x") == (1, "⚠️ Codex failed: CLI exit 1: boom\n\n".encode(), "")


def test_pack_prints_the_generate_reply_or_the_500_reply(companion, tmp_path):
    staging = tmp_path / "a" / "staging"
    reply = check_pack_on_disk(companion.run("pack", "--prompt", "Dark mode please", "--model", "ollama:llama3",
                                             "--answer", str(SAMPLE), "--staging", str(staging)), staging, "ollama:llama3")
    name, summary = reply["pack_name"], "Adds a dark-mode toggle to every page and a keyboard button."
    assert re.fullmatch(r"dark-mode-toggle-\d{6}", name)
    assert (reply["summary"], reply["reply"]) == (
        summary, f"📦 Pack '{name}' written.\n\n{summary}\n\nOpen Tavlo → Packs to apply.")
    assert sorted(reply["files"]) == ["keyboard-pack.json", "manifest.json", "python/invert.py", "userscripts/dark.user.js"]
    # An answer without JSON, on stdin: the 500 reply, naming the provider, and nothing written.
    r = companion.run("pack", "--prompt", "p", "--model", "lmstudio:m", "--staging", str(tmp_path / "s"),
                      input=b"no json, sorry")
    assert (r.returncode, r.stdout.decode()) == (
        1, '{"ok":false,"reply":"⚠️ LM Studio failed: Model output did not contain JSON: no json, sorry"}\n')
    assert (tmp_path / "s").is_dir() and not any((tmp_path / "s").iterdir())


def complete_packs(staging):
    """The packs under real names, each checked whole: its manifest lists exactly its files."""
    packs = {}
    for folder in staging.iterdir():
        if folder.name.startswith("."):
            continue
        files = sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*") if p.is_file())
        manifest = json.loads((folder / "manifest.json").read_text())
        assert sorted([a["path"] for a in manifest["artifacts"]] + ["manifest.json"]) == files, folder
        packs[folder.name] = len(files)
    return packs


def test_killed_writes_leave_no_half_pack_and_are_swept_at_start(companion, tmp_path):
    staging = companion.home / "packs"
    staging.mkdir(parents=True)
    answer = tmp_path / "answer.json"
    answer.write_text(json.dumps({"name": "large", "python_recipes": [
        {"filename": f"d{i % 50}/{i}.py", "body": "print(1)\n" * 20} for i in range(10_200)]}))
    for attempt in range(3):
        proc = subprocess.Popen([companion.binary, *PACK_ARGS, "--staging", staging, "--answer", answer],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(lambda: any(p.name.startswith(".tavlo-tmp-") for p in staging.iterdir())
                          or proc.poll() is not None, timeout=60, step=0.005)
        time.sleep(0.05 * attempt)
        proc.kill()
        proc.wait()
        complete_packs(staging)  # nothing half-written under a real name
    leftovers = [p for p in staging.iterdir() if p.name.startswith(".")]
    assert leftovers, "no write was caught in progress"
    for p in leftovers:  # as if the kills were over a minute ago
        os.utime(p, (time.time() - 120, time.time() - 120))
    packs = complete_packs(staging)
    (staging / ".tavlo-tmp-notours").mkdir()
    companion.start().wait_for(lambda: sorted(os.listdir(staging)) == sorted([*packs, ".tavlo-tmp-notours"]), 60)
    assert complete_packs(staging) == packs
