"""Command-line interface: ``clipweave URL SEGMENTS`` and ``clipweave demo``.

Parses the arguments and hands them to :func:`clipweave.recap.recap`, which
checks them, runs the module and reports; ``demo`` goes to
:mod:`clipweave.demo`.
"""
import argparse
import sys

from clipweave import __version__
from clipweave.recap import (
    DEFAULT_VOICE,
    EXIT_INTERRUPTED,
    MAX_SPEED,
    MIN_SPEED,
    PROG,
    error,
    recap,
)

EPILOG = """\
example:
  clipweave "https://www.youtube.com/watch?v=VIDEO_ID" segments.json \\
      --speed 1.25 --voice en-US-AriaNeural --output-dir out

The segments file is a UTF-8 JSON array of narrated time ranges, e.g.
  [{"start": "00:00:05", "end": "00:00:12", "voiceover": "It begins."},
   {"start": "75.5", "end": "81", "voiceover": "Then it ends."}]
Times are seconds (75.5) or [HH:]MM:SS[.fraction] (00:01:15.5).

The output directory must exist. It receives FINAL_RECAP.mp4 (1080x1920,
played at the speed factor) and horizontal_final.mp4 (the narrated clips
joined); the absolute path of FINAL_RECAP.mp4 is printed as the last line.

  clipweave demo [--output-dir DIR]
runs the whole pipeline offline against local stand-in services
("clipweave demo --help" for its options).

exit status: 0 done, 1 the run failed, 2 bad arguments or input, 130 interrupted
"""


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Make a narrated 9:16 recap of a YouTube video from a list of "
                    "narrated time ranges.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("url", metavar="URL", help="the YouTube video's URL")
    parser.add_argument("segments", metavar="SEGMENTS",
                        help="JSON file of segments (start, end, voiceover)")
    parser.add_argument("--speed", type=float, default=1.0, metavar="FACTOR",
                        help=f"playback speed of the vertical video, {MIN_SPEED:g} to "
                             f"{MAX_SPEED:g} (default: 1.0)")
    parser.add_argument("--voice", default=DEFAULT_VOICE, metavar="NAME",
                        help=f"voice of the narration (default: {DEFAULT_VOICE})")
    parser.add_argument("--output-dir", default=".", metavar="DIR",
                        help="existing directory for the results and working files "
                             "(default: the current directory)")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser


def main(argv=None):
    """Entry point of ``clipweave`` and ``python -m clipweave``; returns the exit status."""
    if argv is None:
        argv = sys.argv[1:]
    argv = list(argv)
    try:
        if argv[:1] == ["demo"]:
            from clipweave import demo

            return demo.main(argv[1:])
        args = build_parser().parse_args(argv)
        return recap(args.url, args.segments, args.speed, args.voice, args.output_dir)
    except KeyboardInterrupt:
        error("interrupted")
        return EXIT_INTERRUPTED
