"""Reference leaks: every success and error path of the four callables, many times.

Each path runs a warm-up, then N calls; after a collection the interpreter's
allocated block count may grow only by a small constant, and the reference
counts of the objects handed to the module (arguments, fake answers) must
come back to where they were. Services, processes and sleeps are fast
in-process fakes: what is measured is the module's own bookkeeping.

Run with -s to see the figures (calls made, blocks before and after).
"""
import contextlib
import gc
import os
import pathlib
import subprocess
import sys

import pytest

from support import (
    NO_SLEEP, Boom, FakeRequests, FakeResponse, FakeSubprocess, FloatRaises, FloatReturns,
    FloatSub, IndexRaises, IndexReturns, Sink, StrHash1, StrSub, fail_on, progress_done, raising,
    tts_ok, vectorcall)

# Under scripts/sanitize.sh (PYTHONMALLOC=malloc) there is no block count;
# a few hundred calls per path are enough for the sanitizers to see every
# path, and the instrumented build is many times slower.
SANITIZER_RUN = os.environ.get("CLIPWEAVE_SANITIZER_RUN") == "1"
BLOCKS_COUNTED = sys.getallocatedblocks() > 0

# Calls per measured round: binding paths are cheap; bodies run fakes, and
# run_recap bodies real files, so they get fewer calls to keep the run short.
N = 300 if SANITIZER_RUN else 10_000
N_BODY = 200 if SANITIZER_RUN else 5_000
N_PIPELINE = 100 if SANITIZER_RUN else 2_000
WARMUP = 20 if SANITIZER_RUN else 300
SLACK = 50  # blocks
ROUNDS = 5


@contextlib.contextmanager
def quiet():
    saved = sys.stdout
    sys.stdout = Sink()
    try:
        yield
    finally:
        sys.stdout = saved


def repeat(func, args=(), kwargs=None, expect=None):
    """One call of func, checked: raises the expected exception type, or returns."""
    kwargs = kwargs or {}
    if expect is None:
        def call():
            func(*args, **kwargs)
    else:
        def call():
            try:
                func(*args, **kwargs)
            except expect:
                return
            raise AssertionError(f"{func} did not raise {expect}")
    return call


def trackable(o):
    # Shared singletons and cached small ints move with everything else.
    if o is None or isinstance(o, bool):
        return False
    return not (type(o) is int and -5 <= o <= 256)


def check_no_leak(label, call, n, tracked=()):
    """n calls after a warm-up; the block count may not keep growing.

    Interpreter caches (dict resizes, the method cache, interned text) grow
    now and then by a few hundred blocks, so a round that grows more than
    SLACK is measured again, up to ROUNDS times: a real leak grows every
    round, by at least one block per call.
    """
    tracked = [o for o in tracked if trackable(o)]
    rounds = []
    with quiet():
        for _ in range(WARMUP):
            call()
        for _ in range(ROUNDS):
            gc.collect()
            refs_before = [sys.getrefcount(o) for o in tracked]
            before = sys.getallocatedblocks()
            for _ in range(n):
                call()
            gc.collect()
            after = sys.getallocatedblocks()
            refs_after = [sys.getrefcount(o) for o in tracked]
            rounds.append((before, after))
            assert refs_after == refs_before, (
                f"{label}: reference counts {refs_before} -> {refs_after} over {n} calls")
            if not BLOCKS_COUNTED or after - before <= SLACK:
                break
    figures = "; ".join(f"blocks before {b}, after {a} ({a - b:+d})" for b, a in rounds)
    print(f"\nleaks: {label}: {n} calls per round, {figures}")
    if BLOCKS_COUNTED:
        before, after = rounds[-1]
        assert after - before <= SLACK, f"{label}: {after - before} blocks kept over {n} calls"


# --- odd arguments --------------------------------------------------------

def generic(func):
    """The generic call path: tp_call with a tuple and a dict."""
    return lambda *a, **k: type(func).__call__(func, *a, **k)


def dict_call(func, args, mapping):
    """Calls with keywords from a dict that Python syntax would reject."""
    return lambda: type(func).__call__(func, *args, **mapping)


# --- _build_atempo_chain ---------------------------------------------------

ATEMPO_OK = [
    ("chain", (3.0,), {}),
    ("single", (1.5,), {}),
    ("long chain", (1e300,), {}),
    ("keyword", (), {"speed": 2.5}),
    ("int", (2,), {}),
    ("bool", (True,), {}),
    ("float subclass", (FloatSub(5.0),), {}),
    ("__float__", (FloatReturns(1.25),), {}),
    ("__index__", (IndexReturns(3),), {}),
]

ATEMPO_ERR = [
    ("no argument", (), {}, TypeError),
    ("two arguments", (1.0, 2.0), {}, TypeError),
    ("multiple values", (1.0,), {"speed": 2.0}, TypeError),
    ("unexpected keyword", (), {"sped": 2.0}, TypeError),
    ("str", ("2",), {}, TypeError),
    ("None", (None,), {}, TypeError),
    ("huge int", (10**400,), {}, OverflowError),
    ("__float__ raises", (FloatRaises(ArithmeticError),), {}, ArithmeticError),
    ("__float__ wrong type", (FloatReturns("1.0"),), {}, TypeError),
    ("__index__ raises", (IndexRaises(),), {}, LookupError),
    ("inf", (float("inf"),), {}, ValueError),
    ("nan", (float("nan"),), {}, ValueError),
]


@pytest.mark.parametrize("label,args,kwargs", ATEMPO_OK, ids=[c[0] for c in ATEMPO_OK])
def test_atempo_success(cw, label, args, kwargs):
    check_no_leak(f"_build_atempo_chain {label}",
                  repeat(cw._build_atempo_chain, args, kwargs), N,
                  [*args, *kwargs.values()])


@pytest.mark.parametrize("label,args,kwargs,expect", ATEMPO_ERR, ids=[c[0] for c in ATEMPO_ERR])
@pytest.mark.parametrize("path", ["vector", "generic"])
def test_atempo_errors(cw, label, args, kwargs, expect, path):
    func = cw._build_atempo_chain if path == "vector" else generic(cw._build_atempo_chain)
    check_no_leak(f"_build_atempo_chain {label} ({path})", repeat(func, args, kwargs, expect),
                  N, [*args, *kwargs.values()])


# --- keyword errors reachable only through odd names -----------------------

def test_keyword_name_errors(cw):
    f = cw._download_video
    url, out = "https://youtu.be/x", "out.mp4"
    cases = [
        ("non-str key, generic path", dict_call(f, (url,), {1: out})),
        ("non-str kwname, vectorcall", lambda: vectorcall(f, (url,), (1,), (out,))),
        ("duplicate kwname, vectorcall",
         lambda: vectorcall(f, (url,), ("output_file", "output_file"), (out, out))),
        ("same text, two dict keys", dict_call(f, (), {StrHash1("url"): url, "url": url})),
    ]
    for label, call in cases:
        check_no_leak(f"_download_video {label}", repeat(call, expect=TypeError), N, [url, out])


# --- _download_video -------------------------------------------------------

def resp(data=None, **kw):
    return lambda given: FakeResponse(data, **kw)


class ApiDown(Exception):
    pass


DOWNLOAD_BODY = [
    # label, fakes for requests / subprocess, expected exception
    ("success", {}, None),
    ("start request raises", {"start": raising(ApiDown, "refused")}, ApiDown),
    ("error status", {"start": resp(status_error=lambda: ApiDown("HTTP 502"))}, ApiDown),
    ("start not JSON", {"start": resp(json_error=lambda: ValueError("not JSON"))}, ValueError),
    ("start not an object", {"start": resp([1, 2])}, AttributeError),
    ("success false", {"start": resp({"success": False, "msg": "nope"})}, Exception),
    ("no id", {"start": resp({"success": True, "progress_url": "p"})}, KeyError),
    ("no progress_url", {"start": resp({"success": True, "id": 7})}, KeyError),
    ("progress raises", {"progress": raising(ApiDown, "reset")}, ApiDown),
    ("progress null", {"progress": resp({"success": True, "progress": None})}, TypeError),
    ("no download_url", {"progress": resp({"success": True, "progress": 1000})}, KeyError),
    ("60 polls unfinished", {"progress": resp({"success": True, "progress": 5})}, Exception),
    ("download_url option-like",
     {"progress": lambda url: progress_done(download_url="-oops")}, Exception),
    ("wget fails", {"run": FakeSubprocess(status=lambda argv: 8)},
     subprocess.CalledProcessError),
    ("wget missing", {"run": FakeSubprocess(error=lambda: FileNotFoundError(2, "wget"))},
     FileNotFoundError),
    # the real subprocess.run refuses None before anything is started
    ("download_url null",
     {"progress": lambda url: progress_done(download_url=None), "run": subprocess}, TypeError),
]


@pytest.mark.parametrize("label,fakes,expect", DOWNLOAD_BODY, ids=[c[0] for c in DOWNLOAD_BODY])
def test_download_body(cw, rebind, label, fakes, expect):
    fakes = dict(fakes)
    rebind("subprocess", fakes.pop("run", FakeSubprocess()))
    rebind("requests", FakeRequests(**fakes))
    rebind("time", NO_SLEEP)
    url, out = "https://www.youtube.com/watch?v=abc&t=1", "/nonexistent/out.mp4"
    n = N_PIPELINE if label in ("60 polls unfinished", "download_url null") else N_BODY
    check_no_leak(f"_download_video {label}",
                  repeat(cw._download_video, (url, out), None, expect), n, [url, out])


DOWNLOAD_BINDING = [
    ("one argument", ("u",), {}),
    ("three arguments", ("u", "o", "x"), {}),
    ("multiple values", ("u",), {"url": "v"}),
    ("unexpected keyword", ("u",), {"output": "o"}),
    ("missing first, keyword given", (), {"output_file": "o"}),
    ("bytes url", (b"u", "o"), {}),
    ("str subclass output_file", ("u",), {"output_file": StrSub("o")}),
    ("path output_file", ("u", pathlib.Path("o")), {}),
]


@pytest.mark.parametrize("label,args,kwargs", DOWNLOAD_BINDING,
                         ids=[c[0] for c in DOWNLOAD_BINDING])
@pytest.mark.parametrize("path", ["vector", "generic"])
def test_download_binding(cw, label, args, kwargs, path):
    func = cw._download_video if path == "vector" else generic(cw._download_video)
    check_no_leak(f"_download_video {label} ({path})", repeat(func, args, kwargs, TypeError), N,
                  [*args, *kwargs.values()])


def test_download_name_error(cw, rebind, monkeypatch):
    monkeypatch.delattr(cw, "requests")
    check_no_leak("_download_video requests deleted",
                  repeat(cw._download_video, ("u", "o"), None, NameError), N_BODY, ["u", "o"])


# --- _generate_tts ---------------------------------------------------------

TTS_BODY = [
    ("success, data-URL header", tts_ok, None, None),
    ("success, plain Base64", lambda payload: tts_ok(audio="YWJjZA=="), None, None),
    ("post raises", raising(ApiDown, "timeout"), None, ApiDown),
    ("status 503", resp({"audio_data": "YWJj"}, status_code=503), None, Exception),
    ("body not JSON", resp(json_error=lambda: ValueError("not JSON")), None, ValueError),
    ("body a list", resp([1]), None, TypeError),
    ("no audio_data", resp({"audio": "x"}), None, KeyError),
    ("audio_data not str", resp({"audio_data": 5}), None, TypeError),
    ("malformed Base64", resp({"audio_data": "abc"}), None, ValueError),
    ("cannot open", tts_ok, "missing-dir/voice.mp3", FileNotFoundError),
    # /dev/full: a small write is buffered and fails when the file is closed
    # on leaving the block; a large one fails inside the block.
    ("close fails", tts_ok, "/dev/full", OSError),
    ("write fails", lambda payload: tts_ok(audio="QUJD" * 5000), "/dev/full", OSError),
]


@pytest.mark.parametrize("label,answer,out,expect", TTS_BODY, ids=[c[0] for c in TTS_BODY])
def test_tts_body(cw, rebind, memory_dir, label, answer, out, expect):
    rebind("requests", FakeRequests(post=answer))
    out = out if out is None or out.startswith("/") else str(memory_dir / out)
    out = out or str(memory_dir / "voice.mp3")
    text, voice = "Hello there", "alto"
    check_no_leak(f"_generate_tts {label}",
                  repeat(cw._generate_tts, (text, out, voice), None, expect),
                  N_PIPELINE if label == "write fails" else N_BODY,
                  [text, out, voice])


TTS_BINDING = [
    ("two arguments", ("t", "o"), {}),
    ("four arguments", ("t", "o", "v", "x"), {}),
    ("multiple values", ("t", "o", "v"), {"text": "t"}),
    ("unexpected keyword", ("t", "o"), {"voices": "v"}),
    ("missing middle, keywords given", ("t",), {"voice": "v"}),
    ("str subclass text", (StrSub("t"), "o", "v"), {}),
    ("None voice", ("t", "o"), {"voice": None}),
]


@pytest.mark.parametrize("label,args,kwargs", TTS_BINDING, ids=[c[0] for c in TTS_BINDING])
@pytest.mark.parametrize("path", ["vector", "generic"])
def test_tts_binding(cw, label, args, kwargs, path):
    func = cw._generate_tts if path == "vector" else generic(cw._generate_tts)
    check_no_leak(f"_generate_tts {label} ({path})", repeat(func, args, kwargs, TypeError), N,
                  [*args, *kwargs.values()])


@pytest.mark.parametrize("name", ["requests", "re", "base64"])
def test_tts_name_error(cw, rebind, monkeypatch, memory_dir, name):
    rebind("requests", FakeRequests())
    monkeypatch.delattr(cw, name)
    check_no_leak(f"_generate_tts {name} deleted",
                  repeat(cw._generate_tts, ("t", str(memory_dir / "v.mp3"), "v"), None, NameError),
                  N_BODY)


# --- run_recap -------------------------------------------------------------

SEGMENT = {"start": "00:00:01", "end": "00:00:02", "voiceover": "Hi"}


def write_segments(path, content):
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content, encoding="utf-8")
    return str(path)


def seg_json(*segments):
    import json
    return json.dumps(list(segments))




RECAP_BODY = [
    # label, segments file content, fakes, speed, expected exception
    ("success, hardware encoder", seg_json(SEGMENT), {}, 1.5, None),
    ("success, software fallback", seg_json(SEGMENT, SEGMENT),
     {"run": FakeSubprocess(status=fail_on("h264_nvenc"))}, 3.0, None),
    ("success, no segments", "[]", {}, 1.0, None),
    ("download fails", seg_json(SEGMENT), {"_download_video": raising(Boom)}, 1.0, Boom),
    ("segments file missing", None, {}, 1.0, FileNotFoundError),
    ("segments not UTF-8", b"[\xff]", {}, 1.0, UnicodeDecodeError),
    ("segments not JSON", "[{", {}, 1.0, ValueError),
    ("segments a number", "5", {}, 1.0, TypeError),
    ("segment not an object", "[1]", {}, 1.0, TypeError),
    ("segment without end", seg_json({"start": "1"}), {}, 1.0, KeyError),
    ("segment without voiceover", seg_json({"start": "1", "end": "2"}), {}, 1.0, KeyError),
    ("voiceover a number", seg_json({**SEGMENT, "voiceover": 3}), {}, 1.0, TypeError),
    ("start a number", seg_json({**SEGMENT, "start": 3}), {}, 1.0, TypeError),
    ("speech fails", seg_json(SEGMENT), {"_generate_tts": raising(Boom)}, 1.0, Boom),
    ("cut fails", seg_json(SEGMENT), {"run": FakeSubprocess(status=fail_on("-ss"))}, 1.0,
     subprocess.CalledProcessError),
    ("merge fails", seg_json(SEGMENT), {"run": FakeSubprocess(status=fail_on("-shortest"))},
     1.0, subprocess.CalledProcessError),
    ("join fails", seg_json(SEGMENT), {"run": FakeSubprocess(status=fail_on("concat"))}, 1.0,
     subprocess.CalledProcessError),
    ("software render fails", seg_json(SEGMENT),
     {"run": FakeSubprocess(status=fail_on("-vf"))}, 1.0, subprocess.CalledProcessError),
    ("ffmpeg missing", seg_json(SEGMENT),
     {"run": FakeSubprocess(error=lambda: FileNotFoundError(2, "ffmpeg"))}, 1.0,
     FileNotFoundError),
    ("infinite speed", seg_json(SEGMENT), {}, float("inf"), ValueError),
    ("json deleted", seg_json(SEGMENT), {"json": None}, 1.0, NameError),
    ("time deleted", seg_json(SEGMENT), {"time": None}, 1.0, NameError),
    ("_build_atempo_chain deleted", "[]", {"_build_atempo_chain": None}, 1.0, NameError),
]


@pytest.mark.parametrize("label,content,fakes,speed,expect", RECAP_BODY,
                         ids=[c[0] for c in RECAP_BODY])
def test_recap_body(cw, rebind, monkeypatch, memory_dir, label, content, fakes, speed, expect):
    fakes = dict(fakes)
    rebind("requests", FakeRequests())
    rebind("time", NO_SLEEP)
    rebind("subprocess", fakes.pop("run", FakeSubprocess()))
    for name, value in fakes.items():
        if value is None:
            monkeypatch.delattr(cw, name)
        else:
            rebind(name, value)
    out = memory_dir / "out"
    out.mkdir()
    segments = str(memory_dir / "segments.json")
    if content is not None:
        write_segments(memory_dir / "segments.json", content)
    args = ("https://youtu.be/abc", segments, speed, "alto", str(out))
    check_no_leak(f"run_recap {label}", repeat(cw.run_recap, args, None, expect), N_PIPELINE,
                  args)


def test_recap_removal_fails(cw, rebind, memory_dir):
    # A directory where a merged clip should be: exists, but cannot be removed.
    rebind("requests", FakeRequests())
    rebind("time", NO_SLEEP)
    rebind("subprocess", FakeSubprocess())
    out = memory_dir / "out"
    (out / "merged_0.mp4").mkdir(parents=True)
    segments = write_segments(memory_dir / "s.json", seg_json(SEGMENT))
    args = ("u", segments, 1.0, "alto", str(out))
    check_no_leak("run_recap removal fails", repeat(cw.run_recap, args, None, OSError),
                  N_PIPELINE, args)


RECAP_BINDING = [
    ("three arguments", ("u", "s", 1.0), {}, TypeError),
    ("six arguments", ("u", "s", 1.0, "v", ".", "x"), {}, TypeError),
    ("speed_factor missing, keywords given", (),
     {"youtube_url": "u", "segments_file": "s", "tts_voice": "v"}, TypeError),
    ("multiple values", ("u", "s", 1.0, "v"), {"youtube_url": "u"}, TypeError),
    ("unexpected keyword", ("u", "s", 1.0, "v"), {"speed": 1.0}, TypeError),
    ("speed a str", ("u", "s", "2", "v"), {}, TypeError),
    ("speed huge", ("u", "s", 10**400, "v"), {}, OverflowError),
    ("speed __float__ raises", ("u", "s", FloatRaises(ArithmeticError), "v"), {},
     ArithmeticError),
    ("output_dir None", ("u", "s", 1.0, "v", None), {}, TypeError),
    ("segments_file a path", ("u", pathlib.Path("s"), 1.0, "v"), {}, TypeError),
    ("tts_voice str subclass", ("u", "s", 1.0), {"tts_voice": StrSub("v")}, TypeError),
]


@pytest.mark.parametrize("label,args,kwargs,expect", RECAP_BINDING,
                         ids=[c[0] for c in RECAP_BINDING])
@pytest.mark.parametrize("path", ["vector", "generic"])
def test_recap_binding(cw, label, args, kwargs, expect, path):
    func = cw.run_recap if path == "vector" else generic(cw.run_recap)
    check_no_leak(f"run_recap {label} ({path})", repeat(func, args, kwargs, expect), N,
                  [*args, *kwargs.values()])


def test_blocks_are_counted_or_sanitizer_run():
    # The block check is off only in the sanitizer run, where malloc does not count blocks.
    assert BLOCKS_COUNTED or SANITIZER_RUN
