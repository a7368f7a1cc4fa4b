"""``clipweave demo``: a whole recap run on this machine, no internet needed.

A test-pattern video stands in for the YouTube video, and two HTTP servers on
127.0.0.1 stand in for the download and speech services (narration spoken by
espeak-ng). The run itself goes through the same checks and the same
``run_recap`` call as ``clipweave URL SEGMENTS``.
"""
import argparse
import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

from clipweave import recap
from clipweave.probe import probe
from clipweave.segments import UsageError, load_segments, parse_time

DEMO_URL = "https://www.youtube.com/watch?v=clipweave-demo"
DEFAULT_OUTPUT_DIR = "clipweave-demo"
DEFAULT_SPEED = 1.25
DEFAULT_SECONDS = 60.0
WORK_DIR = "demo-work"
POLL_WAIT = 0.2  # the download client's polling wait, 3 s against the real service
# Long enough for a slow machine, short enough not to linger after a crash.
SERVICES_LIFETIME = 1800.0
# Progress figures (per mille) the download service reports before it finishes,
# so the download's progress line has something to show.
PROGRESS_STEPS = (250, 700)

EPILOG = """\
The demo makes a test-pattern source video (with its own tone) in
DIR/demo-work/, serves it from a stand-in of the download service, speaks the
narration with a stand-in of the speech service (espeak-ng), and renders
DIR/FINAL_RECAP.mp4 and DIR/horizontal_final.mp4. Nothing leaves 127.0.0.1.
"""


class ShortWaits:
    """The host's `time` with the download's 3-second polling waits shortened."""

    def __init__(self, real, poll_wait=POLL_WAIT):
        self._real = real
        self._poll_wait = poll_wait

    def sleep(self, seconds):
        # Only the polling waits are that long; the 0.5 s pause per segment stays.
        self._real.sleep(min(seconds, self._poll_wait) if seconds >= 3 else seconds)

    def __getattr__(self, name):
        return getattr(self._real, name)


def default_segments():
    """The shipped examples/segments.json, from the checkout, the current
    directory or the package, in that order; None if there is none."""
    here = Path(__file__).resolve().parent
    for candidate in (here.parent / "examples" / "segments.json",
                      Path.cwd() / "examples" / "segments.json",
                      here / "examples" / "segments.json"):
        if candidate.is_file():
            return str(candidate)
    return None


def describe(path):
    try:
        streams, duration = probe(path)
    except (OSError, subprocess.CalledProcessError, ValueError) as e:
        return f"(ffprobe could not read it: {e})"
    video, audio = streams.get("video", {}), streams.get("audio", {})
    return (f"{video.get('width')}x{video.get('height')}, "
            f"video {video.get('codec_name', 'none')}, audio {audio.get('codec_name', 'none')}, "
            f"{duration:.2f} s")


def build_parser():
    parser = argparse.ArgumentParser(
        prog=f"{recap.PROG} demo",
        description="Make a narrated recap offline, with local stand-ins of the two services.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--output-dir", default=DEFAULT_OUTPUT_DIR, metavar="DIR",
                        help=f"where the results go; created if missing "
                             f"(default: {DEFAULT_OUTPUT_DIR})")
    parser.add_argument("--speed", type=float, default=DEFAULT_SPEED, metavar="FACTOR",
                        help=f"playback speed of the vertical video (default: {DEFAULT_SPEED})")
    parser.add_argument("--segments", metavar="FILE",
                        help="segments file (default: the shipped examples/segments.json)")
    parser.add_argument("--seconds", type=float, default=DEFAULT_SECONDS, metavar="N",
                        help=f"length of the source video (default: {DEFAULT_SECONDS:g})")
    parser.add_argument("--voice", default=recap.DEFAULT_VOICE, metavar="NAME",
                        help=f"voice name handed to the speech stand-in (default: "
                             f"{recap.DEFAULT_VOICE})")
    return parser


def say(text):
    print(f"demo: {text}", flush=True)


def main(argv=None):
    args = build_parser().parse_args(argv)
    segments_file = args.segments or default_segments()
    if segments_file is None:
        recap.error("demo: examples/segments.json not found; give one with --segments FILE")
        return recap.EXIT_USAGE
    if not (math.isfinite(args.seconds) and 1 <= args.seconds <= 3600):
        recap.error(f"demo: --seconds must be from 1 to 3600, got {args.seconds!r}")
        return recap.EXIT_USAGE
    try:
        segments = load_segments(segments_file)
    except UsageError as e:
        for problem in e.problems:
            recap.error(problem)
        return recap.EXIT_USAGE
    lengths = []
    for n, seg in enumerate(segments, 1):
        start, end = parse_time(seg["start"]), parse_time(seg["end"])
        if end > args.seconds:
            recap.error(f"demo: segment {n} ends at {end:g} s, after the end of the "
                      f"{args.seconds:g} s source video (raise --seconds)")
            return recap.EXIT_USAGE
        lengths.append(end - start)
    problems = recap.check_speed(args.speed)
    missing = [tool for tool in ("ffmpeg", "ffprobe", "espeak-ng", "wget")
               if shutil.which(tool) is None]
    if missing:
        problems.append(f"demo: not found on PATH: {', '.join(missing)}")
    if problems:
        for problem in problems:
            recap.error(problem)
        return recap.EXIT_USAGE

    from clipweave import clipweave as module
    from clipweave.demo_services import DemoServices, make_source_video

    output_dir = args.output_dir
    work = os.path.join(output_dir, WORK_DIR)
    try:
        os.makedirs(work, exist_ok=True)
    except OSError as e:
        recap.error(f"demo: cannot create {work}: {e.strerror or e}")
        return recap.EXIT_USAGE
    source = os.path.join(work, "source.mp4")
    say(f"making a {args.seconds:g} s source video (moving test pattern and tone): {source}")
    try:
        make_source_video(source, seconds=args.seconds)
    except (OSError, subprocess.CalledProcessError) as e:
        detail = e.stderr.decode(errors="replace").strip() if getattr(e, "stderr", None) else e
        recap.error(f"demo: could not make the source video: {detail}")
        return recap.EXIT_RUN_FAILED

    with DemoServices(video_file=source, lifetime=SERVICES_LIFETIME,
                      progress_steps=PROGRESS_STEPS) as services:
        say(f"stand-in services on 127.0.0.1: download (port {services.download.port}), "
            f"speech by espeak-ng (port {services.tts.port})")
        say(f"polling waits shortened from 3 s to {POLL_WAIT:g} s; "
            "the 0.5 s pause after each narration kept")
        say(f"segments: {segments_file}")
        saved = module.requests, module.time
        module.requests, module.time = services.requests, ShortWaits(saved[1])
        try:
            status = recap.recap(DEMO_URL, segments_file, args.speed, args.voice, output_dir)
        finally:
            module.requests, module.time = saved
    if status != recap.EXIT_OK:
        return status

    total = sum(lengths)
    final = os.path.abspath(os.path.join(output_dir, "FINAL_RECAP.mp4"))
    horizontal = os.path.abspath(os.path.join(output_dir, "horizontal_final.mp4"))
    print()
    say("results")
    print(f"  FINAL_RECAP.mp4       {final}")
    print(f"                        {describe(final)}")
    print(f"  horizontal_final.mp4  {horizontal}")
    print(f"                        {describe(horizontal)}")
    print(f"  expected duration of FINAL_RECAP.mp4: {total:g} s of segments / "
          f"{args.speed:g} = {total / args.speed:.2f} s")
    print("  (each clip lasts as long as the shorter of its cut and its narration)")
    return recap.EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
