"""The studio render against the exact pipeline, on one job, as the command runs it.

The job: a generated 1080p 30 fps source with a tone and a keyframe every
4 s, twelve 5-second segments spread over it, narrations from the loopback
speech service, which answers each request after 1 s. Each run is the
command line's own (``make_recap``, local source, no cache), timed from
start to finish:

  * run_recap (--classic) and the studio render at --quality fast, at the
    default quality and at --quality small, on a 2-minute source;
  * the studio's render (its ffmpeg runs), timed inside the studio run;
  * the floor under a render: a bare encode of as many seconds of the output
    frame (a generated picture, no source to read, no filter) with the
    studio's own encoder settings, at --quality fast and at the default;
  * the studio render on a 2-minute and on a 20-minute source, each in a
    fresh process, with the peak resident memory of that process;
  * the peak memory of the whole process tree (the command and every
    ffmpeg it runs, sampled from /proc) for 4 and for 24 segments of a
    720p source, in each framing.

    .venv/py310/bin/python bench/studio.py [--quick] [--fast] [--cache DIR]

Prints one JSON object; bench.py prints it as a table. --fast measures only
run_recap, the fast render and its bare encode, and prints their ratios.
"""
import argparse
import contextlib
import io
import json
import os
import resource
import subprocess
import sys
import tempfile
import threading
import time

from clipweave.app.errors import ExitStatus
from clipweave.app.request import RunRequest
from clipweave.app.run import make_recap
from clipweave.demo.services import DemoServices, SpeechService, make_source_video
from clipweave.model.options import default
from clipweave.studio import FRAMES, _core, render

SEGMENTS = 12
SEGMENT_SECONDS = 5.0
SPEECH_DELAY = 1.0
TEXT = "Segment {n}: a narration of about five seconds, read over the moving picture."
KEYFRAME_SECONDS = 4
FULL = {"short": 120, "long": 1200, "size": "1920x1080", "rate": 30, "segments": SEGMENTS,
        "length": SEGMENT_SECONDS, "delay": SPEECH_DELAY, "keyframe": KEYFRAME_SECONDS,
        "memory_size": "1280x720", "memory_counts": (4, 24), "memory_length": 1.0}
QUICK = {"short": 8, "long": 16, "size": "320x180", "rate": 30, "segments": 2, "length": 1.0,
         "delay": 0.1, "keyframe": KEYFRAME_SECONDS, "memory_size": "320x180",
         "memory_counts": (2, 6), "memory_length": 0.5}
FRAMINGS = ("blur", "crop", "fit")


class SlowSpeech(SpeechService):
    """The speech service, answering each request after a delay."""

    delay = SPEECH_DELAY

    def handle(self, request):
        time.sleep(self.delay)
        return super().handle(request)


class SlowServices(DemoServices):
    speech_type = SlowSpeech


def source(cache, seconds, size, rate, keyframe=KEYFRAME_SECONDS):
    """A test pattern with a tone and a keyframe every ``keyframe`` seconds,
    made once; a long one is a short one repeated (stream copy), which makes
    no difference to a render that seeks."""
    path = os.path.join(cache, f"job-{seconds:g}s-{size}-{rate}fps-k{keyframe:g}.mp4")
    if os.path.exists(path):
        return path
    partial = path + ".part.mp4"
    unit = min(seconds, 120)
    if unit == seconds:
        gop = str(round(rate * keyframe))
        subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-nostdin", "-f", "lavfi", "-i",
                        f"testsrc2=size={size}:rate={rate}", "-f", "lavfi", "-i",
                        "sine=frequency=440:beep_factor=4:sample_rate=44100", "-t", f"{seconds:g}",
                        "-map", "0:v", "-map", "1:a", "-c:v", "libx264", "-preset", "veryfast",
                        "-pix_fmt", "yuv420p", "-g", gop, "-keyint_min", gop, "-sc_threshold", "0",
                        "-c:a", "aac", "-b:a", "96k", "-movflags", "+faststart", partial],
                       check=True)
    else:
        piece = source(cache, unit, size, rate, keyframe)
        listing = os.path.join(cache, "repeat.txt")
        with open(listing, "w") as f:
            f.write(f"file '{piece}'\n" * int(seconds // unit))
        subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-nostdin", "-f", "concat",
                        "-safe", "0", "-i", listing, "-c", "copy", partial], check=True)
        os.unlink(listing)
    os.replace(partial, path)
    return path


class TreeMemory:
    """The peak of the summed resident memory of this process and all its
    descendants, sampled from /proc every 20 ms while in use."""

    def __init__(self):
        self.peak_kb = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        return False

    def _sample(self):
        me = os.getpid()
        while not self._stop.wait(0.02):
            parents, rss = {}, {}
            for name in os.listdir("/proc"):
                if not name.isdigit():
                    continue
                try:
                    with open(f"/proc/{name}/status") as f:
                        fields = dict(line.split(":", 1) for line in f if ":" in line)
                except OSError:
                    continue
                pid = int(name)
                parents[pid] = int(fields.get("PPid", "0"))
                rss[pid] = int(fields.get("VmRSS", "0 kB").split()[0])
            total = 0
            for pid, kb in rss.items():
                p = pid
                while p not in (0, 1, me):
                    p = parents.get(p, 0)
                if p == me:
                    total += kb
            self.peak_kb = max(self.peak_kb, total)


def segments_file(directory, seconds, count, length):
    step = (seconds - length) / count
    segments = [{"start": f"{i * step:.3f}", "end": f"{i * step + length:.3f}",
                 "voiceover": TEXT.format(n=i + 1)} for i in range(count)]
    path = os.path.join(directory, "segments.json")
    with open(path, "w") as f:
        json.dump(segments, f)
    return path


def run_job(video, segments, delay, **render_options):
    """One run of the command on the job; (wall seconds, seconds of the studio's ffmpeg runs)."""
    SlowSpeech.delay = delay
    ffmpeg_spans = []
    run_ffmpeg = render._run_steps

    def timed(*args, **kwargs):
        started = time.perf_counter()
        try:
            return run_ffmpeg(*args, **kwargs)
        finally:
            ffmpeg_spans.append(time.perf_counter() - started)

    with tempfile.TemporaryDirectory(prefix="clipweave-bench-") as out, \
            SlowServices(lifetime=3600) as services, \
            contextlib.redirect_stdout(io.StringIO()):
        render._run_steps = timed
        try:
            started = time.perf_counter()
            status = make_recap(RunRequest(
                source=video, segments=segments, speech="service",
                speech_service=services.tts.origin, output_dir=out, use_cache=False,
                mode="quiet", **render_options))
            wall = time.perf_counter() - started
        finally:
            render._run_steps = run_ffmpeg
    if status != ExitStatus.OK:
        raise RuntimeError(f"the run ended with exit status {status}")
    return wall, sum(ffmpeg_spans)


def in_fresh_process(video, segments, delay):
    """A studio run in a new process; its wall time and peak resident memory."""
    # Through a shell that forks: an exec'd child would inherit this process's peak.
    argv = ["/bin/sh", "-c", '"$@"; exit $?', "sh", sys.executable, os.path.abspath(__file__),
            "--child", video, segments, str(delay)]
    done = subprocess.run(argv, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def child(video, segments, delay):
    wall, ffmpeg = run_job(video, segments, float(delay))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"wall": wall, "ffmpeg": ffmpeg, "maxrss_kb": peak}))


def tree_peak(video, segments, **options):
    """Peak memory in kB of the process tree during one run of the command."""
    with TreeMemory() as memory:
        run_job(video, segments, 0.0, fit="range", **options)
    return memory.peak_kb


def bare_encode(seconds, rate, quality):
    """Wall seconds of encoding ``seconds`` of a generated picture of the
    output frame as the studio encodes its pictures at ``quality``."""
    width, height = FRAMES[default("aspect")]
    with tempfile.TemporaryDirectory(prefix="clipweave-bench-") as out:
        started = time.perf_counter()
        subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-nostdin", "-f", "lavfi", "-i",
                        f"testsrc2=size={width}x{height}:rate={rate}:duration={seconds:g}", "-an",
                        *_core.encode_args("libx264", quality), os.path.join(out, "bare.mp4")],
                       check=True)
        return time.perf_counter() - started


def measure_fast(cache, quick=False):
    """run_recap, the fast render and its bare encode, in one run."""
    c = QUICK if quick else FULL
    os.makedirs(cache, exist_ok=True)
    short = source(cache, c["short"], c["size"], c["rate"])
    with tempfile.TemporaryDirectory(prefix="clipweave-bench-") as work:
        segments = segments_file(work, c["short"], c["segments"], c["length"])
        classic, _ = run_job(short, segments, c["delay"], classic=True)
        fast, fast_ffmpeg = run_job(short, segments, c["delay"], quality="fast")
    bare = bare_encode(c["segments"] * c["length"], c["rate"], "fast")
    return {"config": c, "classic": classic, "fast": fast, "fast_ffmpeg": fast_ffmpeg,
            "bare_fast": bare, "fast_over_classic": fast / classic, "fast_over_bare": fast / bare}


def measure(cache, quick=False):
    c = QUICK if quick else FULL
    os.makedirs(cache, exist_ok=True)
    short = source(cache, c["short"], c["size"], c["rate"])
    long_ = source(cache, c["long"], c["size"], c["rate"])
    sized = source(cache, c["short"], c["memory_size"], c["rate"])
    with tempfile.TemporaryDirectory(prefix="clipweave-bench-") as work:
        short_segments = segments_file(work, c["short"], c["segments"], c["length"])
        os.makedirs(os.path.join(work, "long"))
        long_segments = segments_file(os.path.join(work, "long"), c["long"], c["segments"],
                                      c["length"])
        classic, _ = run_job(short, short_segments, c["delay"], classic=True)
        fast, fast_ffmpeg = run_job(short, short_segments, c["delay"], quality="fast")
        balanced, balanced_ffmpeg = run_job(short, short_segments, c["delay"])
        small, small_ffmpeg = run_job(short, short_segments, c["delay"], quality="small")
        bare = {q: bare_encode(c["segments"] * c["length"], c["rate"], q) for q in ("fast", "balanced")}
        lengths = [in_fresh_process(short, short_segments, c["delay"]),
                   in_fresh_process(long_, long_segments, c["delay"])]
        memory = {}
        for count in c["memory_counts"]:
            os.makedirs(os.path.join(work, str(count)))
            listed = segments_file(os.path.join(work, str(count)), c["short"], count,
                                   c["memory_length"])
            memory[str(count)] = {framing: tree_peak(sized, listed, frame=framing)
                                  for framing in FRAMINGS}
    return {"config": c, "classic": classic, "fast": fast, "fast_ffmpeg": fast_ffmpeg,
            "balanced": balanced, "balanced_ffmpeg": balanced_ffmpeg, "small": small,
            "small_ffmpeg": small_ffmpeg, "bare_fast": bare["fast"], "bare_balanced": bare["balanced"],
            "short_run": lengths[0], "long_run": lengths[1],
            "memory": memory}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny configuration")
    parser.add_argument("--cache", default=os.path.join(os.path.dirname(__file__), ".cache"))
    parser.add_argument("--fast", action="store_true",
                        help="only run_recap, the fast render and its bare encode")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        child(*args.child)
        return 0
    print(json.dumps((measure_fast if args.fast else measure)(args.cache, args.quick)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
