"""`tavlo-companion pack`: the generate reply body for a model's answer, and the pack folder on disk."""
import json
import os
import pathlib
import re
import subprocess
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "tests" / "fixtures" / "sample-answer.txt"
WARN = "\u26a0\ufe0f "


def pack(bin_path, *args, answer=None, env=None, timeout=60):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([bin_path, "pack", *args], input=answer, capture_output=True,
                          env=full_env, timeout=timeout)


def body(result):
    out = result.stdout.decode("utf-8")
    assert out.endswith("\n") and out.count("\n") == 1, out[:300]
    return out[:-1], json.loads(out)


def disk_files(folder):
    files = {}
    for p in sorted(pathlib.Path(folder).rglob("*")):
        if p.is_file() and not p.is_symlink():
            files[p.relative_to(folder).as_posix()] = p.read_text("utf-8")
    return files


def test_sample_answer_prints_the_generate_reply(tavlo_bin, tmp_path):
    staging = tmp_path / "a" / "staging"
    r = pack(tavlo_bin, "--prompt", "Dark mode please", "--model", "ollama:llama3",
             "--staging", str(staging), "--answer", str(SAMPLE))
    assert r.returncode == 0, r.stderr
    raw, reply = body(r)
    # Compact, keys sorted, slashes escaped as the HTTP replies write them.
    assert raw == json.dumps(reply, sort_keys=True, separators=(",", ":"), ensure_ascii=False).replace("/", "\\/")
    assert sorted(reply) == ["files", "model", "ok", "pack_name", "pack_path", "reply", "summary"]
    name = reply["pack_name"]
    assert re.fullmatch(r"dark-mode-toggle-\d{6}", name)
    assert reply["ok"] is True and reply["model"] == "ollama:llama3"
    assert reply["pack_path"] == str(staging / name)
    summary = "Adds a dark-mode toggle to every page and a keyboard button."
    assert reply["summary"] == summary
    assert reply["reply"] == f"\U0001F4E6 Pack '{name}' written.\n\n{summary}\n\nOpen Tavlo \u2192 Packs to apply."
    assert reply["files"] == disk_files(staging / name)
    assert sorted(reply["files"]) == ["keyboard-pack.json", "manifest.json", "python/invert.py",
                                      "userscripts/dark.user.js"]
    manifest = json.loads(reply["files"]["manifest.json"])
    assert manifest["artifacts"] == [
        {"kind": "keyboard", "path": "keyboard-pack.json", "summary": "1 buttons"},
        {"kind": "userscript", "path": "userscripts/dark.user.js", "summary": "Adds a toggle"},
        {"kind": "python", "path": "python/invert.py", "summary": "Inverts text case"},
    ]
    assert manifest["version"] == "0.1.0" and manifest["prompt"] == "Dark mode please"
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", manifest["createdAt"])
    assert json.loads(reply["files"]["keyboard-pack.json"])["version"] == 1
    script = reply["files"]["userscripts/dark.user.js"]
    assert script.startswith("// ==UserScript==\n// @name        Dark mode toggle\n// @namespace   tavlo.quillet\n")
    assert "// @description Adds a toggle\n// ==/UserScript==\n(function () {" in script


def test_answer_on_stdin_and_staging_from_the_environment(tavlo_bin, tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    answer = b'{"name": "Env", "summary": ""}'
    r = pack(tavlo_bin, "--prompt", "x", "--model", "claude:cli", answer=answer,
             env={"HOME": str(home), "TAVLO_STAGING": "~/packs"})
    assert r.returncode == 0, r.stderr
    _, reply = body(r)
    assert reply["pack_path"].startswith(str(home / "packs") + "/env-")
    r = pack(tavlo_bin, "--prompt", "x", "--model", "claude:cli", answer=answer,
             env={"HOME": str(home), "TAVLO_STAGING": ""})
    _, reply = body(r)
    assert reply["pack_path"].startswith(str(home / "TavloStaging") + "/env-")
    assert reply["summary"] == "" and list(reply["files"]) == ["manifest.json"]


@pytest.mark.parametrize("model,label", [("ollama:m", "Ollama"), ("lmstudio:m", "LM Studio"),
                                         ("claude:cli", "Claude"), ("codex:cli", "Codex"), ("gemini:x", "Gemini")])
def test_failures_print_the_500_reply(tavlo_bin, tmp_path, model, label):
    staging = tmp_path / "s"
    r = pack(tavlo_bin, "--prompt", "p", "--model", model, "--staging", str(staging), answer="no json, sorry".encode())
    assert r.returncode == 1
    raw, reply = body(r)
    assert reply == {"ok": False, "reply": f"{WARN}{label} failed: Model output did not contain JSON: no json, sorry"}
    assert raw == '{"ok":false,"reply":"' + WARN + label + ' failed: Model output did not contain JSON: no json, sorry"}'
    assert staging.is_dir() and not any(staging.iterdir())


def test_file_system_failure_names_the_folder(tavlo_bin, tmp_path):
    (tmp_path / "plain").write_text("in the way")
    staging = tmp_path / "plain" / "staging"
    r = pack(tavlo_bin, "--prompt", "p", "--model", "ollama:m", "--staging", str(staging), answer=b"{}")
    assert r.returncode == 1
    _, reply = body(r)
    assert reply["reply"].startswith(f"{WARN}Ollama failed: could not create folder {staging}: ")


@pytest.mark.parametrize("args", [
    ["--prompt", "p"],
    ["--model", "ollama:m"],
    ["--prompt", "p", "--model", "llama3"],
    ["--prompt", "p", "--model", "openai:gpt"],
    ["--prompt", "p", "--model", "ollama:m", "--bogus"],
    ["--prompt", "p", "--model", "ollama:m", "--answer", "/nonexistent/answer.txt"],
    ["--prompt"],
])
def test_usage_errors(tavlo_bin, tmp_path, args):
    r = pack(tavlo_bin, *args, "--staging", str(tmp_path / "s"), answer=b"{}")
    assert r.returncode == 2
    assert r.stdout == b""
    assert r.stderr.count(b"\n") == 1
    assert not (tmp_path / "s").exists()


def test_names_from_the_model_stay_inside_the_pack(tavlo_bin, tmp_path):
    staging = tmp_path / "staging"
    doc = {"name": "escape", "userscripts": [{"filename": "../../../.bashrc", "body": "a", "name": "x\ny"}],
           "python_recipes": [{"filename": "/etc/passwd", "body": "b"}, {"filename": "..", "body": "c"}]}
    r = pack(tavlo_bin, "--prompt", "p", "--model", "ollama:m", "--staging", str(staging),
             answer=json.dumps(doc).encode())
    assert r.returncode == 0, r.stderr
    _, reply = body(r)
    name = reply["pack_name"]
    assert sorted(reply["files"]) == ["manifest.json", f"python/{name}.py", "python/etc/passwd",
                                      "userscripts/.bashrc.user.js"]
    assert "// @name        x y\n" in reply["files"]["userscripts/.bashrc.user.js"]
    assert [p.name for p in tmp_path.iterdir()] == ["staging"]
    assert [p.name for p in staging.iterdir()] == [name]


def test_a_link_at_the_pack_folder_is_replaced_not_followed(tavlo_bin, tmp_path):
    staging = tmp_path / "staging"
    staging.mkdir()
    victim = tmp_path / "victim"
    victim.mkdir()
    (victim / "keep").write_text("precious")
    # The folder name carries the local time: cover the next few seconds.
    now = time.time()
    for delta in range(0, 4):
        stamp = time.strftime("%H%M%S", time.localtime(now + delta))
        link = staging / f"linked-{stamp}"
        if not link.exists():
            link.symlink_to(victim)
    r = pack(tavlo_bin, "--prompt", "p", "--model", "ollama:m", "--staging", str(staging),
             answer=b'{"name":"linked","python_recipes":[{"filename":"keep","body":"x"}]}')
    assert r.returncode == 0
    _, reply = body(r)
    folder = pathlib.Path(reply["pack_path"])
    assert folder.is_dir() and not folder.is_symlink()
    assert (victim / "keep").read_text() == "precious" and sorted(os.listdir(victim)) == ["keep"]


def _deep():
    return b"[" * 100_000 + b"]" * 100_000


def _big_prose():
    return b"All prose, no braces. " * (10 * 1024 * 1024 // 22) + b'{"name":"Late"}'


def _many_scripts():
    return json.dumps({"name": "many", "userscripts": [{"body": str(i)} for i in range(10_000)]}).encode()


@pytest.mark.parametrize("answer,code", [
    (b"", 1),
    (b"\xff\xfe\x80 not text {\"name\":\"a\xc3\x28\"} \xc0", 0),
    (_deep(), 1),
    (b'{"name": 5, "summary": [], "keyboard_buttons": {"a": 1}, "userscripts": [1], "python_recipes": "x"}', 0),
    (json.dumps({"name": "\U0001F600" * 5000}).encode(), 0),
], ids=["empty", "invalid-utf8", "nested-100000", "wrong-types", "emoji-name"])
def test_bad_answers_never_crash(tavlo_bin, tmp_path, answer, code):
    staging = tmp_path / "staging"
    r = pack(tavlo_bin, "--prompt", "bad \xe9", "--model", "ollama:m", "--staging", str(staging), answer=answer)
    assert r.returncode == code, r.stderr
    _, reply = body(r)
    assert reply["ok"] is (code == 0)
    assert [p.name for p in tmp_path.iterdir()] == ["staging"]


@pytest.mark.parametrize("make,expect_files", [(_big_prose, 1), (_many_scripts, 2)], ids=["10MiB-prose", "10000-scripts"])
def test_large_answers_finish_in_time(tavlo_bin, tmp_path, make, expect_files):
    staging = tmp_path / "staging"
    start = time.monotonic()
    r = pack(tavlo_bin, "--prompt", "big", "--model", "ollama:m", "--staging", str(staging), answer=make(),
             timeout=120)
    assert r.returncode == 0, r.stderr
    assert time.monotonic() - start < 60
    _, reply = body(r)
    assert len(reply["files"]) == expect_files
