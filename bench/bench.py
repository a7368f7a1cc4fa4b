"""clipweave benchmarks. Every figure is a ratio of two things measured side
by side in the same run, so the machine's speed cancels out (its load does
not: see the load averages printed with the table).

1. Call overhead: the module's callables beside pure-Python twins with the
   same checks and body (call_overhead.py).
2. Orchestration overhead: a 10-segment run_recap against the loopback
   stand-ins with real ffmpeg and wget, its wall time divided by the summed
   wall time of its child processes and service answers.
3. Memory: peak resident memory of the calling process during run_recap on
   a 10-second and on a 5-minute source, each in a fresh process.
4. The studio render against run_recap on one job, as the command runs
   them (studio.py).

    bash bench/run.sh                 # build, install, measure
    python bench/bench.py --quick     # tiny configuration, figures meaningless

Sources are generated once and cached under bench/.cache/ (or --cache).
"""
import argparse
import contextlib
import io
import json
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time

import call_overhead
import studio

import clipweave.clipweave as cw
from clipweave.demo.services import DemoServices, make_source_video

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CACHE = os.path.join(HERE, ".cache")

CALL_GOAL_OK = 3.0  # successful _build_atempo_chain calls
CALL_GOAL_ERROR = 1.5  # calls that stop in binding
ORCHESTRATION_GOAL = 1.02
MEMORY_GOAL = 1.05  # peak RSS, long source over short one
STUDIO_FAST_GOAL = 0.6  # studio at --quality fast over run_recap
STUDIO_FLOOR_GOAL = 1.8  # studio at --quality fast over a bare encode of its length
STUDIO_GOAL = 1.0  # studio at the default quality over run_recap
STUDIO_RENDER_GOAL = 1.15  # studio over its own ffmpeg runs
STUDIO_SMALL_GOAL = 2.0  # studio at --quality small over the default, in time
STUDIO_SEGMENTS_GOAL = 1.3  # peak memory of the process tree, many segments over few
STUDIO_LENGTH_GOAL = 0.10  # 20-minute over 2-minute source, either way

FULL = {
    "repeat": 7,
    "min_time": 0.1,
    "number": None,
    "orchestration": {"seconds": 30, "size": "640x360", "segments": 10, "length": 2, "speed": 1.5},
    "memory": {"short": 10, "long": 300, "size": "640x360", "segments": 2, "speed": 2.0},
}
QUICK = {
    "repeat": 2,
    "min_time": 0.0,
    "number": 2000,
    "orchestration": {"seconds": 4, "size": "160x90", "segments": 2, "length": 1, "speed": 2.0},
    "memory": {"short": 2, "long": 4, "size": "160x90", "segments": 2, "speed": 2.0},
}


# --------------------------------------------------------------------------
# Sources, segments and the module's globals


def cached_source(cache_dir, seconds, size, rate=25):
    """A test pattern with a tone, a keyframe every second; made once."""
    os.makedirs(cache_dir, exist_ok=True)
    path = os.path.join(cache_dir, f"source_{seconds:g}s_{size}_{rate}fps.mp4")
    if os.path.exists(path):
        return path
    partial = path + ".part.mp4"
    make_source_video(partial, seconds, size, rate)
    os.replace(partial, path)
    return path


def write_segments(directory, count, length, gap=1):
    segments = [
        {"start": str(i * (length + gap)), "end": str(i * (length + gap) + length),
         "voiceover": f"Part {i + 1}."}
        for i in range(count)
    ]
    path = os.path.join(directory, "segments.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(segments, f)
    return path


@contextlib.contextmanager
def rebound(**values):
    """Rebinds module globals for the length of the block."""
    saved = {name: getattr(cw, name) for name in values}
    for name, value in values.items():
        setattr(cw, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(cw, name, value)


class NoSleep:
    """Stands in for the time module: the fixed pauses return at once."""

    def __init__(self):
        self.skipped = 0.0

    def sleep(self, seconds):
        self.skipped += seconds

    def __getattr__(self, name):
        return getattr(time, name)


class Timed:
    """Wraps a module; calls of the named functions are timed, then passed on."""

    def __init__(self, real, *names):
        self._real = real
        self.spans = []  # (function, what, seconds)
        for name in names:
            setattr(self, name, self._timer(name))

    def _timer(self, name):
        target = getattr(self._real, name)

        def timed(*args, **kwargs):
            what = args[0][0] if name == "run" else name
            start = time.perf_counter()
            try:
                return target(*args, **kwargs)
            finally:
                self.spans.append((name, what, time.perf_counter() - start))

        return timed

    def __getattr__(self, name):
        return getattr(self._real, name)

    @property
    def total(self):
        return sum(span[2] for span in self.spans)


def recap_once(source, segments_file, speed, out_dir, lifetime):
    """One run_recap against the loopback services; returns (wall, runner, client, output)."""
    with DemoServices(video_file=source, lifetime=lifetime) as services:
        runner = Timed(subprocess, "run")
        client = Timed(services.requests, "get", "post")
        with rebound(requests=client, subprocess=runner, time=NoSleep()), \
                contextlib.redirect_stdout(io.StringIO()) as printed:
            start = time.perf_counter()
            result = cw.run_recap("https://www.youtube.com/watch?v=bench", segments_file,
                                  speed, "en-US-AriaNeural", out_dir)
            wall = time.perf_counter() - start
    if not os.path.exists(result):
        raise RuntimeError(f"run_recap returned {result!r}, which does not exist")
    return wall, runner, client, printed.getvalue()


# --------------------------------------------------------------------------
# The three measurements


def measure_calls(config):
    return call_overhead.measure(cw, repeat=config["repeat"], min_time=config["min_time"],
                                 number=config["number"])


def measure_orchestration(config, cache_dir):
    o = config["orchestration"]
    source = cached_source(cache_dir, o["seconds"], o["size"])
    with tempfile.TemporaryDirectory(prefix="clipweave-bench-") as work:
        segments_file = write_segments(work, o["segments"], o["length"])
        wall, runner, client, _ = recap_once(source, segments_file, o["speed"], work, 600)
    return {
        "wall": wall,
        "children": runner.total,
        "child_runs": len(runner.spans),
        "answers": client.total,
        "answer_count": len(client.spans),
        "ratio": wall / (runner.total + client.total),
        **o,
    }


def memory_child(source, segments, speed):
    """Runs in a fresh process: one run_recap, then its memory figures as JSON."""
    with tempfile.TemporaryDirectory(prefix="clipweave-bench-") as work:
        segments_file = write_segments(work, segments, 1)
        rss_before = _status_kb("VmRSS")
        wall, _, _, _ = recap_once(source, segments_file, speed, work, 600)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"rss_before_kb": rss_before, "maxrss_kb": peak,
                      "hwm_kb": _status_kb("VmHWM"), "wall": wall}))


def _status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def measure_memory(config, cache_dir):
    m = config["memory"]
    rows = []
    for seconds in (m["short"], m["long"]):
        source = cached_source(cache_dir, seconds, m["size"])
        # Through a shell that forks rather than execs: a child exec'd straight
        # from this process would report this process's peak as its own
        # ru_maxrss (Linux carries it across exec).
        argv = ["/bin/sh", "-c", '"$@"; exit $?', "sh", sys.executable, os.path.abspath(__file__),
                "--memory-child", source, "--segments", str(m["segments"]),
                "--speed", str(m["speed"])]
        done = subprocess.run(argv, capture_output=True, text=True, check=True)
        figures = json.loads(done.stdout.strip().splitlines()[-1])
        figures.update(seconds=seconds, source_bytes=os.path.getsize(source))
        rows.append(figures)
    return rows


# --------------------------------------------------------------------------
# The table


def fmt_time(seconds):
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    if seconds < 1:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


def verdict(ok, quick):
    return "(quick)" if quick else ("ok" if ok else "MISSED")


def print_heading(quick, load_before):
    print(f"clipweave benchmark: CPython {platform.python_version()}, {os.cpu_count()} CPUs, "
          f"load average {load_before[0]:.2f} before / {os.getloadavg()[0]:.2f} after"
          + ("  [--quick: tiny configuration, figures not meaningful]" if quick else ""))
    print(f"module: {cw.__file__}")
    print()


def print_calls(calls, quick):
    print(f"1. Call overhead on CPython {platform.python_version()}: time per call, module vs "
          "pure-Python twin (best of repeats)")
    print(f"   {'call':<30} {'module':>9} {'twin':>9} {'twin/module':>12}  goal")
    for row in calls:
        goal = CALL_GOAL_OK if row["ok"] else CALL_GOAL_ERROR
        print(f"   {row['label']:<30} {fmt_time(row['native']):>9} {fmt_time(row['twin']):>9} "
              f"{row['ratio']:>11.2f}x  >= {goal:g}x {verdict(row['ratio'] >= goal, quick)}")
    print()


def print_table(orchestration, memory, quick):
    o = orchestration
    print(f"2. Orchestration overhead: run_recap, {o['segments']} segments of {o['length']} s "
          f"from a {o['seconds']} s {o['size']} source, speed {o['speed']:g}, sleeps skipped")
    print(f"   {'run_recap wall time':<44} {fmt_time(o['wall']):>9}")
    print(f"   {'child processes (%d runs)' % o['child_runs']:<44} {fmt_time(o['children']):>9}")
    print(f"   {'service answers (%d requests)' % o['answer_count']:<44} "
          f"{fmt_time(o['answers']):>9}")
    print(f"   {'the rest: the module and its host calls':<44} "
          f"{fmt_time(o['wall'] - o['children'] - o['answers']):>9}")
    print(f"   {'wall / (children + answers)':<44} {o['ratio']:>9.4f}   "
          f"goal <= {ORCHESTRATION_GOAL:g} {verdict(o['ratio'] <= ORCHESTRATION_GOAL, quick)}")
    print()
    print("3. Memory: the calling process during run_recap, each source in a fresh process")
    print("   (peak RSS is ru_maxrss after the run; VmHWM the same peak as /proc reports it)")
    print(f"   {'source':<16} {'file':>9} {'RSS before':>11} {'peak RSS':>10} {'VmHWM':>10}")
    for row in memory:
        label = f"{row['seconds']:g} s" if row["seconds"] < 60 else f"{row['seconds'] / 60:g} min"
        print(f"   {label:<16} {row['source_bytes'] / 1e6:>6.1f} MB {row['rss_before_kb'] / 1024:>8.1f} MB"
              f" {row['maxrss_kb'] / 1024:>7.1f} MB {row['hwm_kb'] / 1024:>7.1f} MB")
    ratio = memory[1]["maxrss_kb"] / memory[0]["maxrss_kb"]
    print(f"   {'peak RSS, long source / short source':<44} {ratio:>9.4f}   "
          f"goal <= {MEMORY_GOAL:g} {verdict(ratio <= MEMORY_GOAL, quick)}")


def print_studio(s, quick):
    c = s["config"]
    print()
    print(f"4. Studio render vs run_recap: {c['segments']} segments of {c['length']:g} s from a "
          f"{c['short'] / 60:g}-minute {c['size']} {c['rate']} fps source, loopback speech "
          f"answering after {c['delay']:g} s, the command's own runs")
    rows = [("run_recap (--classic)", s["classic"]),
            ("studio, --quality fast", s["fast"]),
            ("  its render (ffmpeg runs)", s["fast_ffmpeg"]),
            ("studio, default quality (balanced)", s["balanced"]),
            ("  its render (ffmpeg runs)", s["balanced_ffmpeg"]),
            ("studio, --quality small", s["small"]),
            ("  its render (ffmpeg runs)", s["small_ffmpeg"]),
            ("bare encode of the output's length, fast", s["bare_fast"]),
            ("bare encode of the output's length, balanced", s["bare_balanced"])]
    for label, seconds in rows:
        print(f"   {label:<44} {fmt_time(seconds):>9}")
    checks = [
        ("studio fast / run_recap", s["fast"] / s["classic"], f"<= {STUDIO_FAST_GOAL:g}",
         s["fast"] / s["classic"] <= STUDIO_FAST_GOAL),
        ("studio fast / its bare encode", s["fast"] / s["bare_fast"], f"<= {STUDIO_FLOOR_GOAL:g}",
         s["fast"] / s["bare_fast"] <= STUDIO_FLOOR_GOAL),
        ("studio balanced / run_recap", s["balanced"] / s["classic"], f"<= {STUDIO_GOAL:g}",
         s["balanced"] / s["classic"] <= STUDIO_GOAL),
        ("studio balanced / its ffmpeg run", s["balanced"] / s["balanced_ffmpeg"],
         f"<= {STUDIO_RENDER_GOAL:g}", s["balanced"] / s["balanced_ffmpeg"] <= STUDIO_RENDER_GOAL),
        ("studio small / balanced", s["small"] / s["balanced"], f"< {STUDIO_SMALL_GOAL:g}",
         s["small"] / s["balanced"] < STUDIO_SMALL_GOAL),
    ]
    short, long_ = s["short_run"], s["long_run"]
    print(f"   studio on the {c['short'] / 60:g}-minute source, fresh process      "
          f"{fmt_time(short['wall']):>9}  peak RSS {short['maxrss_kb'] / 1024:.1f} MB")
    print(f"   studio on the {c['long'] / 60:g}-minute source, fresh process     "
          f"{fmt_time(long_['wall']):>9}  peak RSS {long_['maxrss_kb'] / 1024:.1f} MB")
    length_ratio = long_["wall"] / short["wall"]
    memory_ratio = long_["maxrss_kb"] / short["maxrss_kb"]
    checks += [
        (f"wall, {c['long'] / 60:g} min / {c['short'] / 60:g} min source", length_ratio,
         f"within {STUDIO_LENGTH_GOAL:.0%}", abs(length_ratio - 1) <= STUDIO_LENGTH_GOAL),
        ("peak RSS, long / short source", memory_ratio, f"<= {MEMORY_GOAL:g}",
         memory_ratio <= MEMORY_GOAL),
    ]
    few, many = (str(n) for n in c["memory_counts"])
    for framing, peak in s["memory"][few].items():
        more = s["memory"][many][framing]
        print(f"   peak memory of the process tree, --frame {framing:<5} {few} / {many} segments "
              f"{peak / 1024:>7.1f} MB / {more / 1024:.1f} MB")
        checks.append((f"peak tree memory, {many} / {few} segments, {framing}", more / peak,
                       f"<= {STUDIO_SEGMENTS_GOAL:g}", more / peak <= STUDIO_SEGMENTS_GOAL))
    for label, ratio, goal, ok in checks:
        print(f"   {label:<44} {ratio:>9.3f}   goal {goal} {verdict(ok, quick)}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny configuration, for smoke tests")
    parser.add_argument("--cache", default=DEFAULT_CACHE, help="where generated sources are kept")
    parser.add_argument("--calls-only", action="store_true",
                        help="only the call-overhead rows (one set per interpreter)")
    parser.add_argument("--memory-child", metavar="SOURCE", help=argparse.SUPPRESS)
    parser.add_argument("--segments", type=int, default=2, help=argparse.SUPPRESS)
    parser.add_argument("--speed", type=float, default=2.0, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_child:
        memory_child(args.memory_child, args.segments, args.speed)
        return 0
    config = QUICK if args.quick else FULL
    load_before = os.getloadavg()
    calls = measure_calls(config)
    if args.calls_only:
        print_calls(calls, args.quick)
        return 0
    orchestration = measure_orchestration(config, args.cache)
    memory = measure_memory(config, args.cache)
    studio_figures = studio.measure(args.cache, args.quick)
    print_heading(args.quick, load_before)
    print_calls(calls, args.quick)
    print_table(orchestration, memory, args.quick)
    print_studio(studio_figures, args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
