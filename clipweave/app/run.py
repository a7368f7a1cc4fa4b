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
import contextlib
import io
import math
import os
import shlex
import shutil
import signal
import subprocess
import sys
from dataclasses import dataclass, field

from clipweave.app import settings as config
from clipweave.app.module_binding import BindingBusy, MappedRequests, ModuleBinding, builtin_origins, \
    is_placeholder
from clipweave.app.cache import Cache, default_dir
from clipweave.app.console import Console, StudioProgress, escaped
from clipweave.app.guard import Terminated, guarded
from clipweave.app.narration import EspeakSpeech, NarrationError, Narrator, ServiceSpeech, speak_all
from clipweave.system.probe import probe
from clipweave.model.segments import UsageError, parse_segments, parse_time, read_text
from clipweave.app.sources import LocalSource, ServiceSource, YtDlpSource, is_url
from clipweave.app.offline_speech import known_voice
from clipweave.studio import StudioError, measure_narration, render_studio
from clipweave.app.workspace import OutputRefused, Workspace, check_name

MIN_SPEED = 0.5
# Above this the render's setpts factor (six decimals) loses its precision.
MAX_SPEED = 100.0

EXIT_OK = 0
EXIT_RUN_FAILED = 1
EXIT_USAGE = 2
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE

FINAL = "FINAL_RECAP.mp4"
HORIZONTAL = "horizontal_final.mp4"
CAPTIONS = "FINAL_RECAP.srt"
MAX_JOBS = 32
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
    # The exact pipeline (run_recap) instead of the studio render, and the
    # studio's options.
    classic: bool = False
    frame: str = "blur"
    fit: str = "narration"
    bed_volume: float | None = -18.0  # dB; None: the narration alone
    captions: str = "burn"
    quality: str = "balanced"
    jobs: int = 4
    environ: dict = field(default_factory=lambda: os.environ)


STUDIO_OPTIONS = ("frame", "fit", "bed_volume", "captions", "quality", "jobs")


def bed_volume(text):
    """--bed-volume: decibels, or "off" for the narration alone."""
    if text.strip().lower() == "off":
        return "off"
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"not a number of dB or off: {text!r}") from None


def add_render_arguments(parser):
    """The choice between the studio render and the exact pipeline, and the studio's options."""
    studio = parser.add_argument_group(
        "studio render (the default; --classic runs run_recap unchanged instead)")
    studio.add_argument("--classic", action="store_true",
                        help="the exact pipeline: run_recap as it is, centre crop, narration only")
    studio.add_argument("--frame", choices=("blur", "crop", "fit"),
                        help="the whole picture over a blurred fill of itself (blur, default), "
                             "the centre crop (crop), or black bars (fit)")
    studio.add_argument("--fit", choices=("narration", "range"),
                        help="a narration longer than its range lets the clip run on "
                             "(narration, default) or is cut (range)")
    studio.add_argument("--bed-volume", type=bed_volume, metavar="DB",
                        help="the source's own sound under the narration, in dB (default -18), "
                             "or off")
    studio.add_argument("--captions", choices=("burn", "srt", "none"),
                        help="narration captions burned in, with FINAL_RECAP.srt beside the "
                             "video (burn, default), only the .srt (srt), or none")
    studio.add_argument("--quality", choices=("fast", "balanced", "small"),
                        help="encoder preset: ultrafast, veryfast (balanced, default) or medium")
    studio.add_argument("--jobs", type=int, metavar="N",
                        help="narrations asked for at a time (default 4)")


def render_options(args):
    """RunRequest fields from add_render_arguments' options; UsageError when
    studio options come with --classic."""
    given = {name: getattr(args, name) for name in STUDIO_OPTIONS
             if getattr(args, name) is not None}
    if args.classic and given:
        flags = ", ".join("--" + name.replace("_", "-") for name in given)
        raise UsageError([f"{flags}: for the studio render, not --classic"])
    if given.get("bed_volume") == "off":
        given["bed_volume"] = None
    return {"classic": args.classic, **given}


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
    if isinstance(exc, NarrationError):
        return "speech", f"speech synthesis failed for segment {exc.number}: {describe(exc.cause)}"
    if binding.stage == "download":
        return "download", f"download failed: {describe(exc)}"
    if binding.stage == "speech":
        return "speech", f"speech synthesis failed for segment {binding.segment}: {describe(exc)}"
    if isinstance(exc, StudioError):
        return "render", _shorten(" | ".join([f"ffmpeg failed (exit status {exc.returncode})",
                                               *exc.stderr_tail[-3:]]))
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
        if not 1 <= r.jobs <= MAX_JOBS:
            problems.append(f"--jobs must be from 1 to {MAX_JOBS}, got {r.jobs}")
        if r.bed_volume is not None and not (math.isfinite(r.bed_volume)
                                             and -60 <= r.bed_volume <= 0):
            problems.append(f"--bed-volume must be from -60 to 0 dB, or off; got {r.bed_volume!r}")
        if problems:
            raise UsageError(problems)

    def results(self):
        """The names this run puts into the output directory, in the order of their renames."""
        if self.request.classic:
            return [HORIZONTAL, FINAL]
        return [FINAL] + ([CAPTIONS] if self.request.captions != "none" else [])

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
        """Makes the recap in the work directory; {result name: path} of what it made."""
        self.binding.bind("requests", self.requests)
        if self.request.poll_wait is not None:
            self.binding.bind("time", ShortWaits(self.binding.saved("time"),
                                                 self.request.poll_wait))
        if self.request.classic:
            return self.execute_classic(work)
        return self.execute_studio(work)

    def execute_studio(self, work):
        """The studio render: download, every narration (several at a time),
        then one ffmpeg run."""
        r = self.request
        source_file = os.path.join(work, "movie.mp4")
        self.binding.stage = "download"
        self.fetch(None, source_file)
        self.binding.stage = "speech"
        progress = StudioProgress(self.console)
        try:
            texts = [seg["voiceover"] for seg in self.segments]
            self.narrations = [os.path.join(work, f"voice_{i}.mp3") for i in range(len(texts))]
            # Each narration is measured as it is made, while others are still asked for.
            self.narrator.measure = measure_narration
            speak_all(self.narrator, texts, self.narrations, self.settings["voice"].value,
                      r.jobs, progress.narration)
            levels = [self.narrator.levels.get(path) for path in self.narrations]
            self.binding.stage = "render"
            self.studio = render_studio(
                source_file, self.segments, work, self.narrations, frame=r.frame, fit=r.fit,
                bed_volume=r.bed_volume, captions=r.captions, speed=r.speed, quality=r.quality,
                progress=progress.render,
                narration_levels=None if None in levels else levels)
        finally:
            progress.close()
        for note in self.studio.notes:
            self.console.say(note)
        produced = {FINAL: self.studio.video}
        if r.captions != "none":
            produced[CAPTIONS] = self.studio.srt
        return produced

    def execute_classic(self, work):
        """Runs the module's run_recap in the work directory."""
        r = self.request
        segments_copy = os.path.join(work, "segments.json")
        with open(segments_copy, "wb") as f:
            f.write(self.segments_data)
        self.binding.bind_download(self.fetch)
        self.binding.bind_speech(self.narrator)
        final = self.binding.module.run_recap(self.source.label, segments_copy, r.speed,
                                              self.settings["voice"].value, work)
        return {HORIZONTAL: os.path.join(work, HORIZONTAL), FINAL: final}

    def report(self, work, published):
        """The JSON document of a successful run."""
        final = published[FINAL]
        try:
            duration = probe(final)[1]
        except (OSError, subprocess.CalledProcessError, ValueError):
            duration = math.nan
        segments = [{"start": seg["start"], "end": seg["end"],
                     "narration_seconds": _number(self.narrator.seconds.get(
                         os.path.join(work, f"voice_{i}.mp3")))}
                    for i, seg in enumerate(self.segments)]
        document = {"final": final, "horizontal": published.get(HORIZONTAL),
                    "duration": _number(duration), "segments": segments}
        if not self.request.classic:
            document["captions"] = published.get(CAPTIONS)
            for entry, timing in zip(segments, self.studio.segments):
                entry["note"] = timing.note
        return document


def _number(value):
    return None if value is None or not math.isfinite(value) else round(value, 3)


def run(request):
    """Runs one recap as the command does; returns the exit status."""
    console = Console(request.mode, progress_to_stderr=not request.classic)
    try:
        return _run(request, console)
    except BrokenPipeError:
        # The reader went away (| head): end quietly, and let nothing more be
        # written to the broken stream on the way out.
        with contextlib.suppress(OSError, ValueError, AttributeError, io.UnsupportedOperation):
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
    workspace = Workspace(request.output_dir, run_.results(), request.overwrite,
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
    console.result(published[FINAL], run_.report(work, published))
    return EXIT_OK
