"""The program's command line: help, version, usage errors."""
import subprocess


def run(bin_path, *args):
    return subprocess.run([bin_path, *args], capture_output=True, text=True, timeout=30)


def test_help_and_version(tavlo_bin):
    r = run(tavlo_bin, "--help")
    assert r.returncode == 0 and "tavlo-companion pack --prompt TEXT --model ID" in r.stdout
    r = run(tavlo_bin, "--version")
    assert r.returncode == 0 and r.stdout.startswith("tavlo-companion ")


def test_unknown_option_is_a_usage_error(tavlo_bin):
    r = run(tavlo_bin, "--bogus")
    assert r.returncode == 2
    assert r.stderr.count("\n") == 1 and "--bogus" in r.stderr
