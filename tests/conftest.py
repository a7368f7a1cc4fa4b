"""Shared fixtures: the built module and the rebinding of its globals.

The module looks its globals up at call time, so rebinding one (``requests``,
``subprocess``, ``time``, ``_generate_tts`` ...) for the length of a test is
how tests route service calls to loopback, skip fixed sleeps or observe
processes. ``rebind`` restores every global when the test ends.
"""
import pytest

import clipweave.clipweave as _module


@pytest.fixture(scope="session")
def cw():
    return _module


@pytest.fixture
def rebind(monkeypatch):
    def _rebind(name, value):
        monkeypatch.setattr(_module, name, value)
        return value

    return _rebind
