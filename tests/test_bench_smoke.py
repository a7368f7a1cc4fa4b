"""The benchmark still runs: a tiny configuration, no timing asserted."""
import importlib.util
import os
import platform
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

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
        "run_recap (--classic)", "studio fast / run_recap", "studio balanced / its ffmpeg run",
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


def test_quick_align_run_prints_its_tables(tmp_path):
    done = subprocess.run([sys.executable, os.path.join(BENCH, "align.py"), "--quick"],
                          capture_output=True, text=True, timeout=300, cwd=str(tmp_path))
    assert done.returncode == 0, done.stderr
    assert "even spread" in done.stdout and "1 min" in done.stdout, done.stdout


def test_calls_only_prints_the_call_rows_of_this_interpreter(tmp_path):
    done = subprocess.run(
        [sys.executable, os.path.join(BENCH, "bench.py"), "--quick", "--calls-only"],
        capture_output=True, text=True, timeout=120, cwd=str(tmp_path))
    assert done.returncode == 0, done.stderr
    assert f"CPython {platform.python_version()}" in done.stdout
    assert all(case[0] in done.stdout for case in load_call_overhead().CASES), done.stdout
    assert "run_recap wall time" not in done.stdout


# The ratios mean something only while each twin does what the module does.
@pytest.mark.parametrize(
    "name, args",
    [(case[1], case[2]) for case in load_call_overhead().CASES]
    + [
        ("_build_atempo_chain", "2"),
        ("_build_atempo_chain", "True"),
        ("_build_atempo_chain", "-1.0"),
        ("_build_atempo_chain", "0.1 + 0.2"),
        ("_build_atempo_chain", "1e300"),
        # Ties at the fourth decimal of the last factor (1.03125, 1.09375).
        ("_build_atempo_chain", "4.125"),
        ("_build_atempo_chain", "4.375"),
        ("_build_atempo_chain", "2.0000000000000004"),
        # Where repr changes layout, and the longest short decimals.
        ("_build_atempo_chain", "1e-4"),
        ("_build_atempo_chain", "9.999999999999999e-05"),
        ("_build_atempo_chain", "-1e15"),
        ("_build_atempo_chain", "-999999999999999.9"),
        ("_build_atempo_chain", "-123456789012345.6"),
        ("_build_atempo_chain", "-1e16"),
        ("_build_atempo_chain", "-0.0"),
        ("_build_atempo_chain", "float('inf')"),
        ("_build_atempo_chain", "'2'"),
        ("_build_atempo_chain", "2**2000"),
        ("run_recap", "'u', 's', None, 'v'"),
        ("run_recap", "'u', 's', 1.0, 'v', TEXT"),
        ("_generate_tts", "'t', 'o', URL"),
    ],
)
def test_twins_agree_with_the_module(cw, name, args):
    load_call_overhead().check_same_outcome(cw, name, args)


@settings(max_examples=300, deadline=None, derandomize=True)
@given(digits=st.integers(0, 10**17), scale=st.integers(-22, 18), numerator=st.integers(1, 2**16),
       halvings=st.integers(0, 16), negative=st.booleans())
def test_twins_agree_on_short_decimals_and_ties(cw, digits, scale, numerator, halvings, negative):
    # Short decimals, and binary fractions whose last factor can sit exactly
    # halfway between two four-decimal texts: where formatting shortcuts
    # would go wrong first.
    for speed in (digits * 10.0**scale, numerator / 2.0**halvings):
        load_call_overhead().check_same_outcome(cw, "_build_atempo_chain",
                                                repr(-speed if negative else speed))
