"""The benchmark still runs: a tiny configuration, no timing asserted."""
import importlib.util
import os
import platform
import re
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")

pytestmark = pytest.mark.skipif(
    not os.path.isfile(os.path.join(BENCH, "bench.py")), reason="no bench/ beside the tests")


def load_call_overhead():
    spec = importlib.util.spec_from_file_location(
        "call_overhead", os.path.join(BENCH, "call_overhead.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_quick_run_prints_every_row(tmp_path):
    done = subprocess.run(
        [sys.executable, os.path.join(BENCH, "bench.py"), "--quick", "--cache", str(tmp_path)],
        capture_output=True, text=True, timeout=600, cwd=str(tmp_path))
    assert done.returncode == 0, done.stderr
    out = done.stdout
    labels = [case[0] for case in load_call_overhead().CASES]
    expected = labels + [
        "run_recap wall time", "child processes (8 runs)", "service answers (4 requests)",
        "wall / (children + answers)", "peak RSS, long source / short source",
        "run_recap (--classic)", "studio fast / run_recap", "studio fast / its bare encode",
        "studio balanced / its ffmpeg run",
        "peak RSS, long / short source",
    ]
    missing = [text for text in expected if text not in out]
    assert not missing, out
    # Two memory rows, one per source length.
    assert out.count(" MB ") >= 2, out


def test_quick_voices_run_prints_every_voice(tmp_path):
    done = subprocess.run(
        [sys.executable, os.path.join(BENCH, "voices.py"), "--quick", "--cache", str(tmp_path)],
        capture_output=True, text=True, timeout=300, cwd=str(tmp_path))
    assert done.returncode == 0, done.stderr
    rows = ["flite slt", "flite rms", "flite awb", "flite kal", "espeak-ng en-us", "espeak-ng fr",
            "every voice"]
    assert all(f"| {row} " in done.stdout for row in rows), done.stdout
    # The MP3s it measured are kept where asked, one a voice.
    assert len(list((tmp_path / "voices").glob("*.mp3"))) == 6


def test_quick_follow_run_prints_its_rows(tmp_path):
    done = subprocess.run(
        [sys.executable, os.path.join(BENCH, "follow.py"), "--quick", "--cache", str(tmp_path)],
        capture_output=True, text=True, timeout=600, cwd=str(tmp_path))
    assert done.returncode == 0, done.stderr
    for row in ("analysis time ÷ render time", "whole face", "jitter"):
        assert row in done.stdout, done.stdout


def test_quick_edit_run_prints_its_rows(tmp_path):
    done = subprocess.run(
        [sys.executable, os.path.join(BENCH, "edit.py"), "--quick", "--cache", str(tmp_path)],
        capture_output=True, text=True, timeout=600, cwd=str(tmp_path))
    assert done.returncode == 0, done.stderr
    for row in ("browser copy ÷ the source's duration", "decoding the same source alone",
                "key press to the new frame painted", "preview, click to playable",
                "page ready after `edit` starts", "load average"):
        assert row in done.stdout, done.stdout


def test_quick_align_run_prints_its_tables(tmp_path):
    done = subprocess.run([sys.executable, os.path.join(BENCH, "align.py"), "--quick"],
                          capture_output=True, text=True, timeout=300, cwd=str(tmp_path))
    assert done.returncode == 0, done.stderr
    assert "even spread" in done.stdout and "1 min" in done.stdout, done.stdout


def test_calls_only_prints_the_call_rows_of_this_interpreter(tmp_path):
    """Its twins checked against the module first (the run fails where one
    differs), then a row a call: the two times and their ratio."""
    done = subprocess.run(
        [sys.executable, os.path.join(BENCH, "bench.py"), "--quick", "--calls-only"],
        capture_output=True, text=True, timeout=120, cwd=str(tmp_path))
    assert done.returncode == 0, done.stderr
    assert f"CPython {platform.python_version()}" in done.stdout
    rows = [line for line in done.stdout.splitlines() if re.search(r" \d+\.\d\dx  >= ", line)]
    assert [row.split()[0] for row in rows] == \
        [case[0].split()[0] for case in load_call_overhead().CASES], done.stdout
    assert "run_recap wall time" not in done.stdout
