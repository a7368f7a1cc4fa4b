"""``clipweave demo``: a whole recap run on this machine, no internet needed.

A test-pattern video stands in for the YouTube video, and two HTTP servers on
127.0.0.1 stand in for the download and speech services (narration spoken by
flite, or espeak-ng for other languages). The run itself is the command
line's: the same checks, the same workspace and the same backends, with the
two services' origins set to the stand-ins'. The source video is kept beside
the results, for a first real run.
"""
import argparse
import functools
import math
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from clipweave.app.checks import check_speed
from clipweave.app.console import PROG, Console
from clipweave.app.errors import ExitStatus
from clipweave.app.offline_speech import offline_voice
from clipweave.app.options import add_output_arguments, add_render_arguments, mode_of, \
    render_options
from clipweave.app.request import CAPTIONS, FINAL, HORIZONTAL, RunRequest
from clipweave.app.run import make_recap
from clipweave.app.settings import DEFAULT_VOICE
from clipweave.demo.polling import ShortWaits
from clipweave.model.segments import UsageError, load_segments, outside
from clipweave.system.probe import probe

DEMO_URL = "https://www.youtube.com/watch?v=clipweave-demo"
DEFAULT_OUTPUT_DIR = "clipweave-demo"
DEFAULT_SPEED = 1.25
DEFAULT_SECONDS = 60.0
POLL_WAIT = 0.2  # the download client's polling wait, 3 s against the real service
# Long enough for a slow machine, short enough not to linger after a crash.
SERVICES_LIFETIME = 1800.0
# Progress figures (per mille) the download service reports before it finishes,
# so the download's progress line has something to show.
PROGRESS_STEPS = (250, 700)
# The source video, kept beside the results: a first real run's input.
SAMPLE = "sample.mp4"

EPILOG = """\
The demo makes a test-pattern source video (with its own tone) in a
temporary directory, serves it from a stand-in of the download service,
speaks the narration with a stand-in of the speech service (flite; espeak-ng
for a voice in another language), and
renders DIR/FINAL_RECAP.mp4 with its captions as DIR/FINAL_RECAP.srt (none
with --captions none; with --classic: DIR/FINAL_RECAP.mp4 and
DIR/horizontal_final.mp4). The source video is kept as DIR/sample.mp4, for a
first real run:  clipweave DIR/sample.mp4 examples/segments.json
Nothing leaves 127.0.0.1, and the cache is not used (the source is made anew
each time).
"""


def default_segments():
    """The shipped examples/segments.json, from the checkout, the current
    directory or the package, in that order; None if there is none."""
    here = Path(__file__).resolve().parent
    for candidate in (here.parent.parent / "examples" / "segments.json",
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
        prog=f"{PROG} demo",
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
    parser.add_argument("--voice", default=DEFAULT_VOICE, metavar="NAME",
                        help=f"voice name handed to the speech stand-in (default: "
                             f"{DEFAULT_VOICE})")
    add_output_arguments(parser)
    add_render_arguments(parser)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    mode = mode_of(args)
    console = Console(mode, progress_to_stderr=not args.classic)
    try:
        render = render_options(args)
    except UsageError as e:
        console.failure(e.problems, "check")
        return ExitStatus.USAGE
    segments_file = args.segments or default_segments()
    if segments_file is None:
        console.failure("demo: examples/segments.json not found; give one with --segments FILE",
                        "check")
        return ExitStatus.USAGE
    if check_speed(args.speed):
        console.failure(check_speed(args.speed), "check")
        return ExitStatus.USAGE
    if not (math.isfinite(args.seconds) and 1 <= args.seconds <= 3600):
        console.failure(f"demo: --seconds must be from 1 to 3600, got {args.seconds!r}", "check")
        return ExitStatus.USAGE
    try:
        segments = load_segments(segments_file)
    except UsageError as e:
        console.failure(e.problems, "check")
        return ExitStatus.USAGE
    # The source is made to measure: no tolerance for a container's rounding.
    beyond = outside(segments, args.seconds, tolerance=0.0)
    if beyond:
        n, seg = beyond[0]
        console.failure(f"demo: segment {n} ends at {seg.end:g} s, after the end of the "
                        f"{args.seconds:g} s source video (raise --seconds)", "check")
        return ExitStatus.USAGE

    from clipweave.demo.services import DemoServices, make_source_video

    with tempfile.TemporaryDirectory(prefix="clipweave-demo-") as scratch:
        source = os.path.join(scratch, "source.mp4")
        console.say(f"demo: making a {args.seconds:g} s source video (moving test pattern and "
                    "tone)")
        try:
            make_source_video(source, seconds=args.seconds)
        except (OSError, subprocess.CalledProcessError) as e:
            detail = e.stderr.strip() if getattr(e, "stderr", None) else e
            console.failure(f"demo: could not make the source video: {detail}", "check")
            return ExitStatus.FAILED
        with DemoServices(video_file=source, lifetime=SERVICES_LIFETIME,
                          progress_steps=PROGRESS_STEPS) as services:
            engine, name = offline_voice(args.voice)  # as the speech stand-in chooses
            console.say(f"demo: stand-in services on 127.0.0.1: download "
                        f"({services.download.origin}), speech by {engine} ({name}) "
                        f"({services.tts.origin})")
            console.say(f"demo: polling waits shortened from 3 s to {POLL_WAIT:g} s; "
                        "the 0.5 s pause after each narration kept")
            console.say(f"demo: segments: {segments_file}")
            status = make_recap(RunRequest(
                source=DEMO_URL, segments=segments_file, speed=args.speed, voice=args.voice,
                speech="service", downloader="service",
                download_service=services.download.origin, speech_service=services.tts.origin,
                output_dir=args.output_dir, overwrite=args.overwrite, use_cache=False,
                keep_source=SAMPLE,
                mode=mode, module_time=functools.partial(ShortWaits, poll_wait=POLL_WAIT),
                **render))
    if status != ExitStatus.OK or mode != "normal":
        return status

    total = sum(seg.length for seg in segments)
    final = os.path.abspath(os.path.join(args.output_dir, FINAL))
    sample = os.path.abspath(os.path.join(args.output_dir, SAMPLE))
    print()
    print("demo: results")
    if args.classic:
        horizontal = os.path.abspath(os.path.join(args.output_dir, HORIZONTAL))
        print(f"  FINAL_RECAP.mp4       {final}")
        print(f"                        {describe(final)}")
        print(f"  horizontal_final.mp4  {horizontal}")
        print(f"                        {describe(horizontal)}")
        print(f"  sample.mp4            {sample}")
        print(f"                        {describe(sample)} (the source)")
        print(f"  expected duration of FINAL_RECAP.mp4: {total:g} s of segments / "
              f"{args.speed:g} = {total / args.speed:.2f} s")
        print("  (each clip lasts as long as the shorter of its cut and its narration)")
        return ExitStatus.OK
    print(f"  FINAL_RECAP.mp4  {final}")
    print(f"                   {describe(final)}")
    captions = os.path.abspath(os.path.join(args.output_dir, CAPTIONS))
    if os.path.exists(captions):
        with open(captions, encoding="utf-8") as f:
            cues = sum(1 for line in f if " --> " in line)
        print(f"  FINAL_RECAP.srt  {captions}")
        print(f"                   {cues} captions")
    print(f"  sample.mp4       {sample}")
    print(f"                   {describe(sample)} (the source)")
    print(f"  {total:g} s of segments / {args.speed:g} = {total / args.speed:.2f} s at least "
          "(each clip keeps its range; a longer narration runs on)")
    return ExitStatus.OK


if __name__ == "__main__":
    sys.exit(main())
