"""Fixtures shared by the library's and the engine's tests: a recorder in place of the engine's
log sink."""

import pytest

import nubrix.sorn_engine as se


class SinkRecorder:
    """Stands in for se.log_encoder and keeps every (message, level) it is handed."""

    def __init__(self):
        self.calls = []

    def __call__(self, msg, level):
        self.calls.append((msg, level))

    def at(self, level_name):
        level = getattr(se.log_level_type, level_name)
        return [msg for msg, lv in self.calls if lv is level]


@pytest.fixture
def log_sink(monkeypatch):
    recorder = SinkRecorder()
    monkeypatch.setattr(se, "log_encoder", recorder)
    return recorder
