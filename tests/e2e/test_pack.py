"""`tavlo-companion pack`: the generate reply body for a model's answer, and the pack folder on disk."""
import json
import os
import pathlib
import re
import subprocess
import time

import pytest

from companion_support import Companion, needs_sandbox

SAMPLE = pathlib.Path(__file__).resolve().parents[1] / "fixtures" / "sample-answer.txt"
WARN = "\u26a0\ufe0f "


def pack(bin_path, staging, *args, answer=None, env=None, model="ollama:m", prompt="p"):
    """Runs `pack`; returns the result and the parsed reply (stdout must be one line)."""
    r = subprocess.run([bin_path, "pack", "--prompt", prompt, "--model", model, *args] +
                       (["--staging", str(staging)] if staging else []),
                       input=answer, capture_output=True, env={**os.environ, **(env or {})}, timeout=120)
    out = r.stdout.decode("utf-8")
    assert out.endswith("\n") and out.count("\n") == 1, (r.returncode, out[:300], r.stderr[-300:])
    return r, json.loads(out)


def test_sample_answer_prints_the_generate_reply(tavlo_bin, tmp_path):
    staging = tmp_path / "a" / "staging"
    r, reply = pack(tavlo_bin, staging, "--answer", str(SAMPLE), prompt="Dark mode please", model="ollama:llama3")
    assert r.returncode == 0, r.stderr
    # Compact, keys sorted, slashes escaped as the HTTP replies write them.
    assert r.stdout.decode()[:-1] == json.dumps(reply, sort_keys=True, separators=(",", ":"),
                                                 ensure_ascii=False).replace("/", "\\/")
    name = reply["pack_name"]
    assert re.fullmatch(r"dark-mode-toggle-\d{6}", name)
    summary = "Adds a dark-mode toggle to every page and a keyboard button."
    disk = {p.relative_to(staging / name).as_posix(): p.read_text("utf-8")
            for p in (staging / name).rglob("*") if p.is_file()}
    assert reply == {"ok": True, "model": "ollama:llama3", "pack_name": name, "pack_path": str(staging / name),
                     "summary": summary, "files": disk,
                     "reply": f"\U0001F4E6 Pack '{name}' written.\n\n{summary}\n\nOpen Tavlo \u2192 Packs to apply."}
    assert sorted(disk) == ["keyboard-pack.json", "manifest.json", "python/invert.py", "userscripts/dark.user.js"]
    manifest = json.loads(disk["manifest.json"])
    assert manifest["artifacts"] == [
        {"kind": "keyboard", "path": "keyboard-pack.json", "summary": "1 buttons"},
        {"kind": "userscript", "path": "userscripts/dark.user.js", "summary": "Adds a toggle"},
        {"kind": "python", "path": "python/invert.py", "summary": "Inverts text case"},
    ]
    assert manifest["version"] == "0.1.0" and manifest["prompt"] == "Dark mode please"
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", manifest["createdAt"])
    assert json.loads(disk["keyboard-pack.json"]) == {
        "name": name, "version": 1, "buttons": [{"label": "Dark", "kind": "snippet", "text": "dark mode please"}]}
    assert disk["userscripts/dark.user.js"] == (
        "// ==UserScript==\n// @name        Dark mode toggle\n// @namespace   tavlo.quillet\n// @match       *://*/*\n"
        "// @run-at      document-idle\n// @grant       none\n// @version     0.1.0\n// @description Adds a toggle\n"
        "// ==/UserScript==\n(function () {\n  document.documentElement.classList.toggle('tavlo-dark');\n})();\n")


@pytest.mark.parametrize("setting,folder", [("~/packs", "packs"), ("", "TavloStaging")])
def test_answer_on_stdin_and_staging_from_the_environment(tavlo_bin, tmp_path, setting, folder):
    r, reply = pack(tavlo_bin, None, answer=b'{"name": "Env", "summary": ""}', model="claude:cli",
                    env={"HOME": str(tmp_path), "TAVLO_STAGING": setting})
    assert r.returncode == 0, r.stderr
    assert reply["pack_path"].startswith(str(tmp_path / folder) + "/env-")
    assert reply["summary"] == "" and list(reply["files"]) == ["manifest.json"]


@pytest.mark.parametrize("model,label", [("ollama:m", "Ollama"), ("lmstudio:m", "LM Studio"),
                                         ("claude:cli", "Claude"), ("codex:cli", "Codex"), ("gemini:x", "Gemini")])
def test_failures_print_the_500_reply(tavlo_bin, tmp_path, model, label):
    r, _ = pack(tavlo_bin, tmp_path / "s", answer=b"no json, sorry", model=model)
    assert r.returncode == 1
    assert r.stdout.decode() == ('{"ok":false,"reply":"' + WARN + label +
                                 ' failed: Model output did not contain JSON: no json, sorry"}\n')
    assert (tmp_path / "s").is_dir() and not any((tmp_path / "s").iterdir())
    (tmp_path / "plain").write_text("in the way")
    r, reply = pack(tavlo_bin, tmp_path / "plain" / "s", answer=b"{}", model=model)
    assert r.returncode == 1
    assert reply["reply"].startswith(f"{WARN}{label} failed: could not create folder {tmp_path / 'plain' / 's'}: ")


@pytest.mark.parametrize("args", [["--model", "ollama:m"], ["--prompt", "p"], ["--prompt", "p", "--model", "llama3"],
                                  ["--prompt", "p", "--model", "openai:gpt"], ["--prompt", "p", "--model", "ollama:m", "--bogus"],
                                  ["--prompt", "p", "--model", "ollama:m", "--answer", "/nonexistent/answer.txt"], ["--prompt"]])
def test_usage_errors(tavlo_bin, tmp_path, args):
    r = subprocess.run([tavlo_bin, "pack", *args, "--staging", str(tmp_path / "s")], input=b"{}", capture_output=True, timeout=60)
    assert (r.returncode, r.stdout, r.stderr.count(b"\n")) == (2, b"", 1)
    assert not (tmp_path / "s").exists()


def test_names_from_the_model_stay_inside_the_pack(tavlo_bin, tmp_path):
    doc = {"name": "escape", "userscripts": [{"filename": "../../../.bashrc", "body": "a", "name": "x\ny"}],
           "python_recipes": [{"filename": "/etc/passwd", "body": "b"}, {"filename": "..", "body": "c"}]}
    r, reply = pack(tavlo_bin, tmp_path / "staging", answer=json.dumps(doc).encode())
    assert r.returncode == 0, r.stderr
    name = reply["pack_name"]
    assert sorted(reply["files"]) == ["manifest.json", f"python/{name}.py", "python/etc/passwd", "userscripts/.bashrc.user.js"]
    assert "// @name        x y\n" in reply["files"]["userscripts/.bashrc.user.js"]
    assert os.listdir(tmp_path) == ["staging"] and os.listdir(tmp_path / "staging") == [name]


@pytest.mark.parametrize("answer,code,files", [
    (b"", 1, None),
    (b"\xff\xfe\x80 not text {\"name\":\"a\xc3\x28\"} \xc0", 0, 1),
    (b"[" * 100_000 + b"]" * 100_000, 1, None),
    (b'{"name": 5, "summary": [], "keyboard_buttons": {"a": 1}, "userscripts": [1], "python_recipes": "x"}', 0, 1),
    (json.dumps({"name": "\U0001F600" * 5000}).encode(), 0, 1),
    (b"All prose, no braces. " * (10 * 1024 * 1024 // 22) + b'{"name":"Late"}', 0, 1),
    (json.dumps({"name": "many", "userscripts": [{"body": str(i)} for i in range(10_000)]}).encode(), 0, 10_001),
], ids=["empty", "invalid-utf8", "nested-100000", "wrong-types", "emoji-name", "10MiB-prose", "10000-scripts"])
def test_hostile_answers_never_crash_and_finish_in_time(tavlo_bin, tmp_path, answer, code, files):
    start = time.monotonic()
    r, reply = pack(tavlo_bin, tmp_path / "staging", answer=answer, prompt="bad \xe9")
    assert time.monotonic() - start < 60
    assert r.returncode == code, r.stderr
    assert reply["ok"] is (code == 0) and (files is None or len(reply["files"]) == files)
    assert [p.name for p in tmp_path.iterdir()] == ["staging"]


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


@needs_sandbox
def test_a_full_disk_answers_500_and_gives_the_space_back(tavlo_bin, tmp_path):
    staging = tmp_path / "small"
    staging.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(staging)], check=True)
    try:
        answer = json.dumps({"name": "big", "userscripts": [{"filename": f"{i}.js", "body": "x" * 40_000}
                                                            for i in range(8)]}).encode()
        written = []
        for _ in range(10):
            free = os.statvfs(staging).f_bfree
            r, reply = pack(tavlo_bin, staging, answer=answer)
            if r.returncode:
                break
            written.append(reply["pack_name"])
        assert r.returncode == 1 and written, reply
        assert reply["reply"].startswith(WARN + "Ollama failed: could not write ") and "No space left" in reply["reply"]
        # Nothing of the failed pack is left, and its space is free again.
        assert sorted(complete_packs(staging)) == sorted(written) and len(os.listdir(staging)) == len(written)
        assert os.statvfs(staging).f_bfree == free
    finally:
        subprocess.run(["umount", str(staging)], check=True)


@needs_sandbox
def test_killed_writes_leave_no_half_pack_and_are_swept_at_start(tavlo_bin, tmp_path):
    staging = tmp_path / "home" / "packs"
    staging.mkdir(parents=True)
    answer = json.dumps({"name": "large", "python_recipes": [{"filename": f"d{i % 50}/{i}.py", "body": "print(1)\n" * 20}
                                                             for i in range(10_200)]}).encode()
    for attempt in range(3):
        proc = subprocess.Popen([tavlo_bin, "pack", "--prompt", "p", "--model", "ollama:m", "--staging", str(staging)],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        proc.stdin.write(answer)
        proc.stdin.close()
        deadline = time.monotonic() + 60
        while not any(p.name.startswith(".tavlo-tmp-") for p in staging.iterdir()) and proc.poll() is None:
            assert time.monotonic() < deadline
            time.sleep(0.005)
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
    c = Companion(tavlo_bin, tmp_path / "home").start()
    try:
        c.wait_for(lambda: sorted(os.listdir(staging)) == sorted([*packs, ".tavlo-tmp-notours"]), timeout=60)
    finally:
        c.stop()
    assert complete_packs(staging) == packs
