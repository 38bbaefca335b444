"""`tavlo-companion pack`: the generate reply body for a model's answer, and the pack folder on disk."""
import json
import os
import pathlib
import re
import subprocess
import time

import pytest

from companion_support import Companion, check_pack_on_disk, needs_sandbox, wait_until

SAMPLE = pathlib.Path(__file__).resolve().parents[1] / "fixtures" / "sample-answer.txt"


def test_sample_answer_prints_the_generate_reply(companion, tmp_path):
    staging = tmp_path / "a" / "staging"
    reply = check_pack_on_disk(companion.run("pack", "--prompt", "Dark mode please", "--model", "ollama:llama3",
                                             "--answer", str(SAMPLE), "--staging", str(staging)), staging, "ollama:llama3")
    name, summary = reply["pack_name"], "Adds a dark-mode toggle to every page and a keyboard button."
    assert re.fullmatch(r"dark-mode-toggle-\d{6}", name)
    assert (reply["summary"], reply["reply"]) == (
        summary, f"📦 Pack '{name}' written.\n\n{summary}\n\nOpen Tavlo → Packs to apply.")
    assert sorted(reply["files"]) == ["keyboard-pack.json", "manifest.json", "python/invert.py", "userscripts/dark.user.js"]


@pytest.mark.parametrize("model,label", [("ollama:m", "Ollama"), ("lmstudio:m", "LM Studio"),
                                         ("claude:cli", "Claude"), ("codex:cli", "Codex"), ("gemini:x", "Gemini")])
def test_failures_print_the_500_reply(companion, tmp_path, model, label):
    r = companion.run("pack", "--prompt", "p", "--model", model, "--staging", str(tmp_path / "s"), input=b"no json, sorry")
    assert (r.returncode, r.stdout.decode()) == (
        1, '{"ok":false,"reply":"⚠️ ' + label + ' failed: Model output did not contain JSON: no json, sorry"}\n')
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
    c = Companion(tavlo_bin, tmp_path / "home").start()
    try:
        c.wait_for(lambda: sorted(os.listdir(staging)) == sorted([*packs, ".tavlo-tmp-notours"]), timeout=60)
    finally:
        c.stop()
    assert complete_packs(staging) == packs
