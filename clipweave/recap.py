"""One recap run from the command line: checks, workspace, backends, the module.

Everything that can be known before the download is checked first and
reported one problem a line (exit 2): the settings, the segments file, the
source, the programs the chosen backends need, the output directory. The
run then works in a private directory inside the output directory, with the
chosen backends bound into the extension module; right after the download,
before any narration is asked for, every segment must lie inside the video.
A failure during the run is one line naming its stage (exit 1); Ctrl-C,
SIGTERM and SIGHUP stop the running child and end the run (128 + signal);
only finished results are moved into the output directory.
"""
import math
import os
import shlex
import shutil
import signal
import subprocess
import sys
from dataclasses import dataclass, field

from clipweave import config
from clipweave.backends import BindingBusy, MappedRequests, ModuleBinding, builtin_origins, \
    is_placeholder
from clipweave.cache import Cache, default_dir
from clipweave.console import Console, escaped
from clipweave.guard import Terminated, guarded
from clipweave.narration import EspeakSpeech, Narrator, ServiceSpeech
from clipweave.probe import probe
from clipweave.segments import UsageError, parse_segments, parse_time, read_text
from clipweave.sources import LocalSource, ServiceSource, YtDlpSource, is_url
from clipweave.speech import known_voice
from clipweave.workspace import OutputRefused, Workspace, check_name

MIN_SPEED = 0.5
# Above this the render's setpts factor (six decimals) loses its precision.
MAX_SPEED = 100.0

EXIT_OK = 0
EXIT_RUN_FAILED = 1
EXIT_USAGE = 2
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE

FINAL = "FINAL_RECAP.mp4"
HORIZONTAL = "horizontal_final.mp4"
# A segment may end this much after the video's last frame: containers round.
END_TOLERANCE = 0.05


@dataclass
class RunRequest:
    """What one run is asked to do; None means "from the configuration"."""

    source: str
    segments: str
    speed: float = 1.0
    voice: str | None = None
    speech: str | None = None
    downloader: str = "service"
    download_service: str | None = None
    speech_service: str | None = None
    output_dir: str = "."
    overwrite: bool = False
    keep_work: bool = False
    cache_dir: str | None = None
    use_cache: bool = True
    mode: str = "normal"  # "json" or "quiet"
    poll_wait: float | None = None  # the download's polling wait, for the demo
    environ: dict = field(default_factory=lambda: os.environ)


class OutsideVideo(UsageError):
    """Segments that do not lie inside the downloaded video."""


def check_speed(speed):
    if not (math.isfinite(speed) and MIN_SPEED <= speed <= MAX_SPEED):
        return [f"speed must be a finite number from {MIN_SPEED:g} to {MAX_SPEED:g}, "
                f"got {speed!r}"]
    return []


def check_tools(tools):
    return [f"{tool} not found on PATH (install {tool})"
            for tool in dict.fromkeys(tools) if shutil.which(tool) is None]


def segments_outside(segments, duration):
    """One problem per segment that does not lie inside a video of that length."""
    problems = []
    for n, seg in enumerate(segments, 1):
        start, end = parse_time(seg["start"]), parse_time(seg["end"])
        if start >= duration or end > duration + END_TOLERANCE:
            problems.append(f"segment {n} ({seg['start']} to {seg['end']}) is not inside the "
                            f"video, which lasts {duration:.2f} s")
    return problems


def _shorten(text, limit=300):
    return text if len(text) <= limit else text[: limit - 3] + "..."


def describe(exc):
    """One line for a failure of the run."""
    if isinstance(exc, subprocess.CalledProcessError) and isinstance(exc.cmd, (list, tuple)):
        program = os.path.basename(str(exc.cmd[0])) if exc.cmd else "command"
        if exc.returncode < 0:
            how = f"killed by signal {-exc.returncode}"
        else:
            how = f"exit status {exc.returncode}"
        return (f"{program} failed ({how}) while running: "
                f"{_shorten(shlex.join(map(str, exc.cmd)), 200)}")
    if isinstance(exc, FileNotFoundError) and exc.filename in ("ffmpeg", "wget", "yt-dlp",
                                                               "espeak-ng", "ffprobe"):
        return f"{exc.filename} not found on PATH"
    if type(exc) is Exception:
        return _shorten(str(exc))
    return _shorten(f"{type(exc).__name__}: {exc}")


def stage_message(binding, exc):
    if binding.stage == "download":
        return "download", f"download failed: {describe(exc)}"
    if binding.stage == "speech":
        return "speech", f"speech synthesis failed for segment {binding.segment}: {describe(exc)}"
    return "render", describe(exc)


class ShortWaits:
    """The host's `time` with the download's 3-second polling waits shortened."""

    def __init__(self, real, poll_wait):
        self._real = real
        self._poll_wait = poll_wait

    def sleep(self, seconds):
        # Only the polling waits are that long; the 0.5 s pause per segment stays.
        self._real.sleep(min(seconds, self._poll_wait) if seconds >= 3 else seconds)

    def __getattr__(self, name):
        return getattr(self._real, name)


class Run:
    """The parts of one run, put together from a RunRequest."""

    def __init__(self, request, console):
        self.request = request
        self.console = console
        self.binding = ModuleBinding()
        self.settings = None
        self.segments = None
        self.segments_data = None
        self.source = None
        self.narrator = None

    # --- before anything is fetched ---------------------------------------

    def check(self):
        """Every problem knowable before the download, as UsageError."""
        r = self.request
        builtin = builtin_origins()
        self.settings = config.resolve(
            {"download_service": r.download_service, "speech_service": r.speech_service,
             "speech": r.speech, "voice": r.voice},
            builtin, r.environ)
        problems = check_speed(r.speed)
        try:
            self.segments_data = read_text(r.segments)
            self.segments = parse_segments(r.segments, self.segments_data)
        except UsageError as e:
            problems += e.problems
        cache = Cache(r.cache_dir or default_dir(r.environ), enabled=r.use_cache)
        mapping = {builtin["download_service"]: self.settings["download_service"].value,
                   builtin["download_site"]: self.settings["download_service"].value,
                   builtin["speech_service"]: self.settings["speech_service"].value}
        self.requests = MappedRequests(mapping, self.binding.saved("requests"))
        problems += self._choose_source(cache)
        problems += self._choose_speech(cache)
        tools = ["ffmpeg", "ffprobe"] + self.source_tools + self.narrator.backend.tools()
        problems += check_tools(tools)
        problems += check_name(r.output_dir)
        if problems:
            raise UsageError(problems)

    def _choose_source(self, cache):
        r = self.request
        self.source_tools = []
        if is_url(r.source):
            if r.downloader == "yt-dlp":
                self.source = YtDlpSource(r.source, cache, stdout=self.console.child_stdout())
            else:
                client = self.binding.saved("_download_video")
                self.source = ServiceSource(r.source, client, cache)
                origin = self.settings["download_service"]
                if is_placeholder(origin.value):
                    return [f"no download service is set up ({origin.value} is {origin.source}, "
                            "a placeholder): give --download-service ORIGIN, set "
                            "CLIPWEAVE_DOWNLOAD_SERVICE or download_service in "
                            f"{config.config_path(r.environ)}, or use --downloader yt-dlp "
                            "or a local video file"]
            self.source_tools = self.source.tools()
            return []
        if os.path.isfile(r.source):
            self.source = LocalSource(r.source)
            return []
        if os.path.exists(r.source):
            return [f"source is not a file: {r.source}"]
        return [f"source is neither an http(s) URL nor an existing file: {r.source}"]

    def _choose_speech(self, cache):
        r = self.request
        speech, voice = self.settings["speech"], self.settings["voice"]
        if speech.value == "espeak-ng":
            backend = EspeakSpeech()
        else:
            backend = ServiceSpeech(self.binding.saved("_generate_tts"),
                                    self.settings["speech_service"].value)
        self.narrator = Narrator(backend, cache)
        if speech.value == "espeak-ng":
            if shutil.which("espeak-ng") and known_voice(voice.value) is None:
                return [f"voice {voice.value!r} ({voice.source}) is not an espeak-ng voice; "
                        "'clipweave voices' lists them"]
            return []
        origin = self.settings["speech_service"]
        if is_placeholder(origin.value):
            return [f"no speech service is set up ({origin.value} is {origin.source}, a "
                    "placeholder): give --speech-service ORIGIN, set CLIPWEAVE_SPEECH_SERVICE "
                    f"or speech_service in {config.config_path(r.environ)}, or use "
                    "--speech espeak-ng"]
        return []

    # --- the run ----------------------------------------------------------

    def fetch(self, url, output_file):
        """The module's download step: the chosen source, then the segments'
        places in the video checked before any narration is asked for."""
        self.source.fetch(output_file)
        problems = segments_outside(self.segments, probe(output_file)[1])
        if problems:
            raise OutsideVideo(problems)

    def execute(self, work):
        """Runs the module in the work directory; {result name: path} of what it made."""
        r = self.request
        segments_copy = os.path.join(work, "segments.json")
        with open(segments_copy, "wb") as f:
            f.write(self.segments_data)
        self.binding.bind("requests", self.requests)
        if r.poll_wait is not None:
            self.binding.bind("time", ShortWaits(self.binding.saved("time"), r.poll_wait))
        self.binding.bind_download(self.fetch)
        self.binding.bind_speech(self.narrator)
        final = self.binding.module.run_recap(self.source.label, segments_copy, r.speed,
                                              self.settings["voice"].value, work)
        return {HORIZONTAL: os.path.join(work, HORIZONTAL), FINAL: final}

    def report(self, work, published):
        final = published[-1]
        try:
            duration = probe(final)[1]
        except (OSError, subprocess.CalledProcessError, ValueError):
            duration = math.nan
        segments = [{"start": seg["start"], "end": seg["end"],
                     "narration_seconds": _number(self.narrator.seconds.get(
                         os.path.join(work, f"voice_{i}.mp3")))}
                    for i, seg in enumerate(self.segments)]
        return {"final": final, "horizontal": published[0], "duration": _number(duration),
                "segments": segments}


def _number(value):
    return None if value is None or not math.isfinite(value) else round(value, 3)


def run(request):
    """Runs one recap as the command does; returns the exit status."""
    console = Console(request.mode)
    try:
        return _run(request, console)
    except BrokenPipeError:
        # The reader went away (| head): end quietly, and let nothing more be
        # written to the broken stream on the way out.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_BROKEN_PIPE


def _run(request, console):
    run_ = Run(request, console)
    try:
        run_.check()
    except UsageError as e:
        console.failure(e.problems, "check")
        return EXIT_USAGE
    except config.ConfigError as e:
        console.failure(str(e), "check")
        return EXIT_USAGE
    except BindingBusy as e:
        console.failure(str(e), "check")
        return EXIT_RUN_FAILED
    workspace = Workspace(request.output_dir, [HORIZONTAL, FINAL], request.overwrite,
                          request.keep_work)
    try:
        work = workspace.prepare()
    except OutputRefused as e:
        console.failure(e.problems, "output")
        return EXIT_USAGE
    try:
        with guarded():
            try:
                with run_.binding, console.capture():
                    produced = run_.execute(work)
                published = workspace.publish(produced)
            finally:
                if request.keep_work:
                    console.say(f"work directory kept: {escaped(work)}")
                workspace.close()
    except KeyboardInterrupt:
        console.failure("interrupted", "interrupted")
        return 128 + signal.SIGINT
    except Terminated as e:
        console.failure(f"terminated by {signal.Signals(e.signum).name}", "interrupted")
        return 128 + e.signum
    except OutsideVideo as e:
        console.failure(e.problems, "check")
        return EXIT_USAGE
    except OutputRefused as e:
        console.failure(e.problems, "output")
        return EXIT_RUN_FAILED
    except BindingBusy as e:
        console.failure(str(e), "run")
        return EXIT_RUN_FAILED
    except BrokenPipeError:
        raise
    except Exception as e:  # noqa: BLE001 - every failure becomes one line
        stage, message = stage_message(run_.binding, e)
        console.failure(message, stage)
        return EXIT_RUN_FAILED
    console.result(published[-1], run_.report(work, published))
    return EXIT_OK
