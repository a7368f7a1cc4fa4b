"""One checked and reported recap run, shared by ``clipweave URL SEGMENTS`` and the demo.

The extension module checks little and fails late (after the download, or in
the middle of a run), so everything that can be known up front is checked
here first and reported one problem per line; a failure during the run
becomes one line naming its stage, and the outcome an exit status.
"""
import math
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

from clipweave.segments import UsageError, load_segments

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


def error(message):
    print(f"{PROG}: error: {message}", file=sys.stderr)


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
