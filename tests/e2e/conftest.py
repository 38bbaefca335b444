"""Shared fixtures for end-to-end tests: they run the real built binary."""
import os
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BIN = pathlib.Path(os.environ.get("TAVLO_BIN", ROOT / "build" / "dev" / "bin" / "tavlo-companion"))


@pytest.fixture(scope="session")
def tavlo_bin():
    if not BIN.exists():
        pytest.fail(f"{BIN} is missing: run `make build` first")
    return str(BIN)
