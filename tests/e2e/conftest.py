"""Fixtures of the end-to-end tests: they run the real built binary."""
import shutil

import pytest

from companion_support import BIN, IN_SANDBOX, TOOL_DIRS, Companion, FakeBackend


@pytest.fixture(scope="session")
def tavlo_bin():
    if not BIN.exists():
        pytest.fail(f"{BIN} is missing: run `make build` first")
    return str(BIN)


@pytest.fixture(autouse=True)
def no_fake_tools_left():
    """Empties the sandbox's scratch tool folders after each test (only where they are mounts of its own)."""
    yield
    mounts = {line.split()[4] for line in open("/proc/self/mountinfo")} if IN_SANDBOX else set()
    for folder in TOOL_DIRS:
        if str(folder) in mounts:
            for entry in folder.iterdir():
                shutil.rmtree(entry) if entry.is_dir() and not entry.is_symlink() else entry.unlink()


@pytest.fixture
def backends():
    yield (made := (FakeBackend("ollama"), FakeBackend("lmstudio")))
    for backend in made:
        backend.close()


@pytest.fixture
def companion(tavlo_bin, tmp_path):
    c = Companion(tavlo_bin, tmp_path / "home")
    yield c
    if c.proc:
        c.stop()


def pytest_configure(config):
    # Outside the sandbox most cases would skip and the rest would not start the companion: a green run
    # that tested nothing. `make e2e` goes through tools/e2e-sandbox, which isolates or says why it cannot.
    if not IN_SANDBOX:
        raise pytest.UsageError("the end-to-end tests run inside tools/e2e-sandbox: make e2e, or "
                                "tools/e2e-sandbox python3 -m pytest tests/e2e")
