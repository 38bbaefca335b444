"""The program's command line: help, version, usage errors."""
import subprocess


def run(bin_path, *args):
    return subprocess.run([bin_path, *args], capture_output=True, text=True, timeout=30)


def test_help_and_version(tavlo_bin):
    r = run(tavlo_bin, "--help")
    assert r.returncode == 0 and "tavlo-companion pack --prompt TEXT --model ID" in r.stdout
    r = run(tavlo_bin, "--version")
    assert r.returncode == 0 and r.stdout.startswith("tavlo-companion ")


def test_usage_errors_are_one_line_and_status_2(tavlo_bin):
    for args, named in [(["--bogus"], "--bogus"), (["--headless", "--listen", "not-an-ip"], "not-an-ip"),
                        (["--listen"], "--listen"), (["--headless", "--panel"], "--panel")]:
        r = run(tavlo_bin, *args)
        assert r.returncode == 2, args
        assert r.stderr.count("\n") == 1 and named in r.stderr, r.stderr
