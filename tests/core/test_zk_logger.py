import subprocess
import sys
import textwrap

import pytest

import nubrix.sorn_engine as se
from zk_encoder.core import zk_logger

FUNCTIONS = [
    ("log_c", "critical"),
    ("log_e", "error"),
    ("log_w", "warning"),
    ("log_i", "info"),
    ("log_d", "debug"),
    ("log_t", "trace"),
]


@pytest.mark.parametrize("fn,level", FUNCTIONS, ids=[f for f, _ in FUNCTIONS])
def test_each_function_reaches_the_sink_once(log_sink, fn, level):
    assert getattr(zk_logger, fn)("text") is None
    assert getattr(zk_logger, fn)(msg="kw") is None
    member = getattr(se.log_level_type, level)
    assert log_sink.calls == [("text", member), ("kw", member)]


@pytest.mark.parametrize("msg", [42, ["a", 1], None], ids=["int", "list", "none"])
def test_message_passes_unchanged(log_sink, msg):
    zk_logger.log_w(msg)
    assert log_sink.calls[0][0] is msg


def test_sink_and_level_are_looked_up_at_every_call(monkeypatch, log_sink):
    zk_logger.log_i("first")

    class Levels:
        info = "patched-info"

    monkeypatch.setattr(se, "log_level_type", Levels)
    zk_logger.log_i("second")
    assert log_sink.calls[1] == ("second", "patched-info")


def test_sink_errors_reach_the_caller(monkeypatch):
    def boom(msg, level):
        raise RuntimeError("sink failed")

    monkeypatch.setattr(se, "log_encoder", boom)
    with pytest.raises(RuntimeError, match="sink failed"):
        zk_logger.log_e("x")


@pytest.mark.parametrize("call", ["log_e()", "log_e(message='x')", "log_e('a', 'b')"])
def test_wrong_calls_fail_before_the_engine(log_sink, call):
    with pytest.raises(TypeError):
        eval(call, vars(zk_logger))
    assert log_sink.calls == []


@pytest.mark.parametrize("fn", [f for f, _ in FUNCTIONS])
def test_each_function_shows_its_own_signature(fn):
    # one message annotated str, no return annotation, no text besides the signature
    assert getattr(zk_logger, fn).__doc__ == f"{fn}(msg: str)"


def test_star_import_binds_exactly_eight_names():
    ns = {}
    exec("from zk_encoder.core.zk_logger import *", ns)
    names = sorted(k for k in ns if k != "__builtins__")
    assert names == sorted(["logging", "se", "log_c", "log_e", "log_w", "log_i", "log_d", "log_t"])
    assert [n for n in vars(zk_logger) if not n.startswith("__")] == [
        "logging", "se", "log_c", "log_e", "log_w", "log_i", "log_d", "log_t"]
    assert ns["se"] is se and zk_logger.__doc__ is None
    assert not hasattr(zk_logger, "__all__")


def _run(code):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def test_root_logging_configured_once_at_import():
    out = _run("""
        import logging
        calls = []
        real = logging.basicConfig
        logging.basicConfig = lambda **kw: (calls.append(kw), real(**kw))
        import zk_encoder.core.zk_logger
        import zk_encoder.core.zk_logger
        import zk_encoder
        root = logging.getLogger()
        print(len(calls), sorted(calls[0].items()), root.level, root.handlers[0].formatter._fmt)
    """)
    assert out == ("1 [('format', '%(asctime)s %(name)s %(levelname)s: %(message)s'), "
                   "('level', 30)] 30 %(asctime)s %(name)s %(levelname)s: %(message)s")


def test_earlier_root_configuration_is_kept():
    out = _run("""
        import logging
        logging.basicConfig(level=logging.DEBUG, format="mine %(message)s")
        import zk_encoder.core.zk_logger
        root = logging.getLogger()
        print(root.level, len(root.handlers), root.handlers[0].formatter._fmt)
    """)
    assert out == "10 1 mine %(message)s"


def test_messages_reach_the_host_logging_through_the_engine():
    out = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import logging, sys
        logging.basicConfig(level=1, format="%(name)s|%(levelname)s|%(message)s", stream=sys.stdout)
        from zk_encoder.core.zk_logger import *
        log_t("t"); log_d("d"); log_i("i"); log_w("w"); log_e("e"); log_c("c")
    """)], capture_output=True, text=True)
    assert out.stdout.splitlines() == [
        "nubrix.sorn_engine|TRACE|t", "nubrix.sorn_engine|DEBUG|d", "nubrix.sorn_engine|INFO|i",
        "nubrix.sorn_engine|WARNING|w", "nubrix.sorn_engine|ERROR|e",
        "nubrix.sorn_engine|CRITICAL|c",
    ]


def test_a_missing_engine_global_is_the_hosts_name_error():
    # In a fresh interpreter: deleting the global reorders the module's namespace.
    out = _run("""
        from zk_encoder.core import zk_logger
        del zk_logger.se
        try:
            zk_logger.log_w("text")
        except NameError as e:
            print(type(e).__name__, e)
    """)
    assert out == "NameError name 'se' is not defined"
