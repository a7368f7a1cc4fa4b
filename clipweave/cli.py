"""Command-line interface: ``clipweave URL SEGMENTS`` and ``clipweave demo``.

The extension module checks little and fails late (after the download, or in
the middle of a run), so everything that can be known up front is checked
here first and reported one problem per line.
"""
import argparse
import json
import math
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

from clipweave import __version__

PROG = "clipweave"
DEFAULT_VOICE = "en-US-AriaNeural"
MIN_SPEED = 0.5
# Above this the render's setpts factor (six decimals) loses its precision.
MAX_SPEED = 100.0
MAX_PROBLEMS_SHOWN = 10

EXIT_OK = 0
EXIT_RUN_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

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

# Seconds (optionally with an ffmpeg unit) or [HH:]MM:SS[.fraction].
# ASCII digits only: \d would take digits of any script, which ffmpeg refuses.
_SECONDS = re.compile(r"(\d+(?:\.\d+)?)(s|ms|us)?", re.ASCII)
_CLOCK = re.compile(r"(?:(\d+):)?(\d{1,2}):(\d{1,2}(?:\.\d+)?)", re.ASCII)
_UNIT_SCALE = {None: 1.0, "s": 1.0, "ms": 1e-3, "us": 1e-6}


class UsageError(Exception):
    """A problem found before the run; one message per problem."""

    def __init__(self, problems):
        super().__init__("\n".join(problems))
        self.problems = list(problems)


def error(message):
    print(f"{PROG}: error: {message}", file=sys.stderr)


def parse_time(text):
    """Seconds for a segment position, or None if ffmpeg would not take it."""
    m = _SECONDS.fullmatch(text)
    if m:
        return float(m.group(1)) * _UNIT_SCALE[m.group(2)]
    m = _CLOCK.fullmatch(text)
    if m:
        hours, minutes, seconds = int(m.group(1) or 0), int(m.group(2)), float(m.group(3))
        if minutes < 60 and seconds < 60:
            return hours * 3600 + minutes * 60 + seconds
    return None


def _json_type(value):
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if value is None:
        return "null"
    return {dict: "an object", list: "an array", str: "a string"}[type(value)]


def load_segments(path):
    """The segments of a file, or UsageError listing everything wrong with it."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        raise UsageError([f"segments file not found: {path}"]) from None
    except IsADirectoryError:
        raise UsageError([f"segments file is a directory: {path}"]) from None
    except OSError as e:
        raise UsageError([f"cannot read segments file {path}: {e.strerror or e}"]) from None
    if data.startswith(b"\xef\xbb\xbf"):
        raise UsageError([f"segments file {path} begins with a byte-order mark; "
                          "save it as UTF-8 without one"])
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise UsageError([f"segments file {path} is not valid UTF-8 "
                          f"(byte 0x{data[e.start]:02x} at offset {e.start})"]) from None
    try:
        segments = json.loads(text)
    except json.JSONDecodeError as e:
        raise UsageError([f"segments file {path} is not valid JSON: {e.msg} "
                          f"(line {e.lineno}, column {e.colno})"]) from None
    if not isinstance(segments, list):
        raise UsageError([f"segments file {path} must hold a JSON array of segments, "
                          f"not {_json_type(segments)}"])
    if not segments:
        raise UsageError([f"segments file {path} holds no segments"])
    problems = []
    for n, seg in enumerate(segments, 1):
        where = f"segments file {path}, segment {n}"
        if not isinstance(seg, dict):
            problems.append(f"{where}: must be an object, not {_json_type(seg)}")
            continue
        seconds = {}
        for key in ("start", "end", "voiceover"):
            if key not in seg:
                problems.append(f'{where}: missing "{key}"')
            elif not isinstance(seg[key], str):
                problems.append(f'{where}: "{key}" must be a string, not {_json_type(seg[key])}')
            elif key == "voiceover":
                if not seg[key].strip():
                    problems.append(f'{where}: "voiceover" is empty')
            else:
                seconds[key] = parse_time(seg[key])
                if seconds[key] is None:
                    problems.append(f'{where}: "{key}" is not a time such as 75.5 or '
                                    f'00:01:15.5: {seg[key]!r}')
        if seconds.get("start") is not None and seconds.get("end") is not None:
            if seconds["end"] <= seconds["start"]:
                problems.append(f'{where}: "end" ({seg["end"]}) is not after '
                                f'"start" ({seg["start"]})')
    if problems:
        raise UsageError(problems)
    return segments


def check_output_dir(path):
    if not os.path.exists(path):
        return [f"output directory does not exist: {path}"]
    if not os.path.isdir(path):
        return [f"output directory is not a directory: {path}"]
    # os.access says yes to root everywhere; only a real file tells.
    try:
        with tempfile.TemporaryFile(dir=path, prefix=".clipweave-probe-"):
            pass
    except OSError as e:
        return [f"output directory is not writable: {path} ({e.strerror or e})"]
    return []


def check_speed(speed):
    if not (math.isfinite(speed) and MIN_SPEED <= speed <= MAX_SPEED):
        return [f"speed must be a finite number from {MIN_SPEED:g} to {MAX_SPEED:g}, "
                f"got {speed!r}"]
    return []


def check_tools():
    return [f"{tool} not found on PATH (install {tool})"
            for tool in ("ffmpeg", "wget") if shutil.which(tool) is None]


def precheck(url, segments_file, speed, voice, output_dir):
    """Every problem the run would otherwise meet late, as UsageError."""
    problems = []
    if not url.strip():
        problems.append("URL is empty")
    if not voice.strip():
        problems.append("voice is empty")
    problems += check_speed(speed)
    try:
        load_segments(segments_file)
    except UsageError as e:
        problems += e.problems
    problems += check_output_dir(output_dir)
    problems += check_tools()
    if problems:
        raise UsageError(problems)


def _shorten(text, limit=200):
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _describe(exc):
    if isinstance(exc, subprocess.CalledProcessError) and isinstance(exc.cmd, (list, tuple)):
        program = os.path.basename(str(exc.cmd[0])) if exc.cmd else "command"
        if exc.returncode < 0:
            how = f"killed by signal {-exc.returncode}"
        else:
            how = f"exit status {exc.returncode}"
        return f"{program} failed ({how}) while running: {_shorten(shlex.join(map(str, exc.cmd)))}"
    if isinstance(exc, FileNotFoundError) and exc.filename in ("ffmpeg", "wget"):
        return f"{exc.filename} not found on PATH"
    if type(exc) is Exception:
        return _shorten(str(exc), 300)
    return _shorten(f"{type(exc).__name__}: {exc}", 300)


class _Stages:
    """Labels failures of the two service calls while a run is under way.

    The module looks its callables up at each use, so wrapping the ones bound
    now (real or replaced) tells a download or speech failure from the rest
    without changing what the run does.
    """

    def __init__(self, module):
        self.module = module
        self.stage = None
        self.segment = 0

    def __enter__(self):
        download, tts = self.module._download_video, self.module._generate_tts
        self._saved = (download, tts)

        def _download_video(url, output_file):
            self.stage = "download"
            download(url, output_file)
            self.stage = None

        def _generate_tts(text, output_file, voice):
            self.segment += 1
            self.stage = "speech"
            tts(text, output_file, voice)
            self.stage = None

        self.module._download_video = _download_video
        self.module._generate_tts = _generate_tts
        return self

    def __exit__(self, *exc_info):
        self.module._download_video, self.module._generate_tts = self._saved
        return False

    def message(self, exc):
        if self.stage == "download":
            return f"download failed: {_describe(exc)}"
        if self.stage == "speech":
            return f"speech synthesis failed for segment {self.segment}: {_describe(exc)}"
        return _describe(exc)


def recap(url, segments_file, speed, voice, output_dir):
    """Checks, runs ``run_recap`` and reports; returns the exit status."""
    try:
        precheck(url, segments_file, speed, voice, output_dir)
    except UsageError as e:
        shown = e.problems[:MAX_PROBLEMS_SHOWN]
        for problem in shown:
            error(problem)
        if len(e.problems) > len(shown):
            error(f"... and {len(e.problems) - len(shown)} more problems")
        return EXIT_USAGE

    from clipweave import clipweave as module

    stages = _Stages(module)
    try:
        with stages:
            result = module.run_recap(url, segments_file, speed, voice, output_dir)
    except KeyboardInterrupt:
        sys.stdout.flush()
        error("interrupted")
        return EXIT_INTERRUPTED
    except Exception as e:  # noqa: BLE001 - every failure becomes one line
        # The download's progress line ends without a newline.
        sys.stdout.flush()
        error(stages.message(e))
        return EXIT_RUN_FAILED
    print(os.path.abspath(result))
    return EXIT_OK


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
