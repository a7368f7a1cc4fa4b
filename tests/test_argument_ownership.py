"""The callables own their arguments for the whole call.

A caller's object may run code in the middle of a call (a ``__float__``
during conversion, a ``sys.stdout`` hook during the body's first message)
that drops the last other reference to an argument: a partial's stored
arguments reset, the keyword dict handed to ``tp_call`` cleared. Each case
runs in a child interpreter (a crash must not take the test run with it),
also under ``PYTHONMALLOC=debug``, which overwrites freed memory at once;
recorders rebound in place of the services report the values that reached
the body, which must be the ones passed.
"""
import json
import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = textwrap.dedent("""
    import functools, json, os, sys
    import clipweave.clipweave as m

    work = sys.argv[1]
    seen = {}

    def fresh(*parts):
        # A new object each time, so only the call's caller holds it.
        return "".join(parts)

    def churn():
        [fresh("x", str(i)) for i in range(1000)]

    class Stop(Exception):
        pass

    def record_download(url, output_file):
        seen["download"] = [url, output_file]

    def record_tts(text, output_file, voice):
        seen["tts"] = [text, output_file, voice]
        raise Stop

    def report():
        print(json.dumps(seen), file=sys.__stdout__)

    segments = os.path.join(work, "segments.json")
    with open(segments, "w") as f:
        json.dump([{"start": "0", "end": "1", "voiceover": "narration"}], f)
    m._download_video = record_download
    m._generate_tts = record_tts
""")

CASES = {
    # The reproduction: __float__ of a later argument resets the partial
    # that holds the first two.
    "partial reset in __float__": """
        p = functools.partial(m.run_recap, fresh("https://video.invalid/", "a"),
                              fresh(segments))
        class Speed:
            def __float__(self):
                p.__setstate__((m.run_recap, (), {}, None)); churn(); return 1.0
        try:
            p(Speed(), fresh("voice-", "c"), fresh(work, "/out"))
        except Stop:
            report()
    """,
    # The generic call path gets a dict that __float__ can reach and clear.
    "keyword dict cleared in __float__": """
        import gc
        kw = {"youtube_url": fresh("https://video.invalid/", "a"),
              "segments_file": fresh(segments), "tts_voice": fresh("voice-", "c"),
              "output_dir": fresh(work, "/out")}
        class Speed:
            def __float__(self):
                for d in gc.get_referrers(self):
                    if isinstance(d, dict) and "speed_factor" in d:
                        d.clear()
                churn(); return 1.0
        kw["speed_factor"] = Speed()
        try:
            type(m.run_recap).__call__(m.run_recap, **kw)
        except Stop:
            report()
    """,
    # The body's first message runs a stdout hook that resets the partial.
    "partial reset by a stdout hook": """
        p = functools.partial(m.run_recap, fresh("https://video.invalid/", "a"),
                              fresh(segments), 1.0, fresh("voice-", "c"), fresh(work, "/out"))
        class Hook:
            def write(self, text):
                if p.args:
                    p.__setstate__((m.run_recap, (), {}, None)); churn()
                return len(text)
            def flush(self):
                pass
        sys.stdout = Hook()
        try:
            p()
        except Stop:
            report()
    """,
}


def run_case(body, tmp_path, malloc):
    (tmp_path / "out").mkdir(exist_ok=True)
    script = PRELUDE + textwrap.dedent(body)
    env = dict(os.environ)
    if malloc:
        env["PYTHONMALLOC"] = malloc
    proc = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True,
                          text=True, env=env, timeout=120, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("malloc", [None, "debug"], ids=["default allocator", "debug allocator"])
@pytest.mark.parametrize("case", list(CASES))
def test_arguments_outlive_the_callers_references(case, malloc, tmp_path):
    seen = run_case(CASES[case], tmp_path, malloc)
    out = os.path.join(f"{tmp_path}/out")
    assert seen["download"] == ["https://video.invalid/a", os.path.join(out, "movie.mp4")]
    assert seen["tts"] == ["narration", os.path.join(out, "voice_0.mp3"), "voice-c"]
