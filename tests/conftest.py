"""Shared fixtures: the built module and the rebinding of its globals.

The module looks its globals up at call time, so rebinding one (``requests``,
``subprocess``, ``time``, ``_generate_tts`` ...) for the length of a test is
how tests route service calls to loopback, skip fixed sleeps or observe
processes. ``rebind`` restores every global when the test ends.
"""
import os
import pathlib
import tempfile

import pytest

import clipweave.clipweave as _module

# Files whose tests spend their time in ffmpeg renders and rebuilds rather than
# in the interpreter: CI runs them on the target interpreter only (and not
# under the sanitizers, whose instrumented code they barely reach).
HEAVY_FILES = {"test_batch.py", "test_bench_smoke.py", "test_command_line.py",
               "test_end_to_end.py", "test_studio_picture.py", "test_studio_render.py"}


def pytest_collection_modifyitems(items):
    for item in items:
        if item.path.name in HEAVY_FILES:
            item.add_marker(pytest.mark.heavy)


@pytest.fixture(scope="session")
def cw():
    return _module


@pytest.fixture(autouse=True)
def private_settings(tmp_path_factory, monkeypatch):
    """No test reads the user's configuration or fills the user's cache."""
    home = tmp_path_factory.mktemp("home")
    monkeypatch.setenv("XDG_CONFIG_HOME", str(home / "config"))
    monkeypatch.setenv("XDG_CACHE_HOME", str(home / "cache"))
    for name in ("CLIPWEAVE_DOWNLOAD_SERVICE", "CLIPWEAVE_SPEECH_SERVICE"):
        monkeypatch.delenv(name, raising=False)
    return home


@pytest.fixture
def rebind(monkeypatch):
    def _rebind(name, value):
        monkeypatch.setattr(_module, name, value)
        return value

    return _rebind


@pytest.fixture
def memory_dir(tmp_path):
    """A scratch directory in memory where there is one: in loops of many
    calls, writing files to a disk costs far more than the call under test."""
    shm = pathlib.Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK):
        with tempfile.TemporaryDirectory(dir=shm) as d:
            yield pathlib.Path(d)
    else:
        yield tmp_path
