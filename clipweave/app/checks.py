"""Everything a run checks before the download, one problem a line.

The settings, the segments file, the source, the programs the chosen
backends need, the output directory's name and the studio's options are
all checked together, so one attempt lists every problem (UsageError).
Choosing the source and the speech backend is part of it: what is wrong
with a choice is known only once it is made.
"""
import math
import os
import shutil
import subprocess
from dataclasses import dataclass

from clipweave.app import settings as config
from clipweave.app.backend_swap import BackendSwap
from clipweave.app.cache import Cache, default_dir
from clipweave.app.console import Console
from clipweave.app.deadline import DeadlineRequests
from clipweave.app.errors import ConfigError
from clipweave.app.origins import MappedRequests, builtin_origins, is_placeholder
from clipweave.app.narration import EspeakSpeech, FliteSpeech, Narrator, ServiceSpeech
from clipweave.app.offline_speech import who_speaks
from clipweave.app.sources import LocalSource, ServiceSource, YtDlpSource, is_url
from clipweave.app.workspace import check_name
from clipweave.model.options import FILE_OPTIONS, option
from clipweave.model.segments import UsageError, module_form, parse_segments, read_text
from clipweave.studio import MAX_BED_VOLUME, MAX_SPEED, MIN_BED_VOLUME, MIN_MUSIC_SECONDS, MIN_SPEED
from clipweave.system.probe import media_info

MIN_JOBS, MAX_JOBS = option("jobs").range


@dataclass
class Checked:
    """A run's parts, chosen and checked."""

    settings: dict  # {name: Setting}
    segments: tuple  # Segments
    segments_data: bytes  # the file as read: the exact pipeline reads it again
    source: object  # LocalSource, ServiceSource or YtDlpSource
    narrator: Narrator
    requests: MappedRequests  # the module's requests, through ``calls``
    calls: DeadlineRequests  # every service call, under the deadline
    notes: tuple = ()  # said on the progress stream before the run
    cache: Cache = None  # downloads, narrations and framing analyses


def check_speed(speed):
    if not (math.isfinite(speed) and MIN_SPEED <= speed <= MAX_SPEED):
        return [f"speed must be a finite number from {MIN_SPEED:g} to {MAX_SPEED:g}, "
                f"got {speed!r}"]
    return []


def check_tools(tools):
    return [f"{tool} not found on PATH (install {tool})"
            for tool in dict.fromkeys(tools) if shutil.which(tool) is None]


def check_studio(request):
    problems = []
    if not MIN_JOBS <= request.jobs <= MAX_JOBS:
        problems.append(f"--jobs must be from {MIN_JOBS} to {MAX_JOBS}, got {request.jobs}")
    volume = request.bed_volume
    if volume is not None and not (math.isfinite(volume)
                                   and MIN_BED_VOLUME <= volume <= MAX_BED_VOLUME):
        problems.append(f"--bed-volume must be from {MIN_BED_VOLUME:g} to {MAX_BED_VOLUME:g} "
                        f"dB, or off; got {volume!r}")
    return problems


def check_music(setting):
    """The music (a Setting), when there is one, must be audio ffmpeg reads."""
    path = setting.value
    if path is None:
        return []
    where = "--music" if setting.source == "--music" else f"music ({setting.source})"
    if not os.path.isfile(path):
        return [f"{where}: no such file: {path}"]
    try:
        info = media_info(path)
    except (OSError, subprocess.SubprocessError, ValueError):
        info = None
    if info is None or not info.has_audio:
        return [f"{where}: not audio that ffmpeg reads: {path}"]
    if not (math.isfinite(info.duration) and info.duration >= MIN_MUSIC_SECONDS):
        return [f"{where}: {path} is too short to loop (at least {MIN_MUSIC_SECONDS:g} s)"]
    return []


def check_timeout(timeout):
    if not (math.isfinite(timeout) and timeout > 0):
        return [f"--timeout must be a number of seconds above 0, got {timeout!r}"]
    return []


def choose(request, backends, console):
    """(the run's parts but its segments, chosen: a Checked whose segments
    are empty; the problems of those choices). The settings, the cache, the
    source, who speaks and the service calls, and whether the programs they
    need are here. ``backends`` gives the module's own clients; ``console``
    where a downloader's progress goes."""
    r = request
    builtin = builtin_origins()
    settings = config.resolve({o.name: getattr(r, o.name) for o in FILE_OPTIONS}, builtin,
                              r.environ)
    cache = Cache(r.cache_dir or default_dir(r.environ), enabled=r.use_cache)
    mapping = {builtin["download_service"]: settings["download_service"].value,
               builtin["download_site"]: settings["download_service"].value,
               builtin["speech_service"]: settings["speech_service"].value}
    calls = DeadlineRequests(backends.saved("requests"), r.timeout)
    requests = MappedRequests(mapping, calls)
    source, source_problems = _choose_source(r, settings, cache, backends, console)
    narrator, speech_problems, notes = _choose_speech(r, settings, cache, backends)
    problems = source_problems + speech_problems
    tools = ["ffmpeg", "ffprobe"] + (source.tools() if source else []) \
        + narrator.backend.tools()
    problems += check_tools(tools)
    return Checked(settings, (), b"", source, narrator, requests, calls, notes, cache), problems


def check(request, backends, console):
    """The run's Checked parts, or UsageError listing every problem.
    ``backends`` gives the module's own clients; ``console`` where a
    downloader's progress goes."""
    r = request
    problems = check_speed(r.speed)
    segments_data, segments = b"", ()
    try:
        data = read_text(r.segments)
        segments = parse_segments(r.segments, data)
        segments_data = module_form(data, segments)
    except UsageError as e:
        problems += e.problems
    parts, chosen = choose(r, backends, console)
    problems += chosen
    problems += check_name(r.output_dir)
    problems += check_studio(r)
    problems += check_timeout(r.timeout)
    if not r.classic:
        problems += check_music(parts.settings["music"])
    if problems:
        raise UsageError(problems)
    parts.segments, parts.segments_data = segments, segments_data
    return parts


def problems_of(request):
    """Every problem check() finds in a request before anything runs, one
    a line ([] when none): what a batch checks each job with, on the
    machine that submits it and again on the worker that takes it."""
    try:
        check(request, BackendSwap(), Console("quiet"))
    except UsageError as e:
        return e.problems
    except ConfigError as e:  # a flag's value the settings refuse
        return [str(e)]
    return []


def _placeholder(what, origin, flag, variable, environ, alternatives):
    return (f"no {what} service is set up ({origin.value} is {origin.source}, a placeholder): "
            f"give {flag} ORIGIN, set {variable} or {what}_service in "
            f"{config.config_path(environ)}, or use {alternatives}")


def _choose_source(r, settings, cache, backends, console):
    """(the source, its problems); the source is None when there is none."""
    if is_url(r.source):
        if r.downloader == "yt-dlp":
            return YtDlpSource(r.source, cache, stdout=console.child_stdout(),
                               timeout=r.timeout), []
        source = ServiceSource(r.source, backends.saved("_download_video"), cache)
        origin = settings["download_service"]
        if is_placeholder(origin.value):
            return source, [_placeholder("download", origin, "--download-service",
                                         "CLIPWEAVE_DOWNLOAD_SERVICE", r.environ,
                                         "--downloader yt-dlp or a local video file")]
        return source, []
    if os.path.isfile(r.source):
        return LocalSource(r.source), []
    if os.path.exists(r.source):
        return None, [f"source is not a file: {r.source}"]
    return None, [f"source is neither an http(s) URL nor an existing file: {r.source}"]


def _choose_speech(r, settings, cache, backends):
    """(the Narrator, its problems, notes for the progress stream)."""
    voice, origin = settings["voice"], settings["speech_service"]
    speaker = who_speaks(settings)
    notes = ()
    if speaker.fallback:
        notes = (f"no speech service is set up: narrating offline with {speaker.engine} "
                 f"({speaker.voice})",)
    if speaker.engine == "espeak-ng":
        narrator = Narrator(EspeakSpeech(), cache)
        if speaker.voice is None:
            return narrator, [f"voice {voice.value!r} ({voice.source}) is not an espeak-ng "
                              "voice; 'clipweave voices' lists them"], notes
        return narrator, [], notes
    if speaker.engine == "flite":
        narrator = Narrator(FliteSpeech(), cache)
        if speaker.voice is None:
            return narrator, [f"voice {voice.value!r} ({voice.source}) is not a flite voice: "
                              "flite speaks English (slt, rms, awb, kal or an en-... name); "
                              "use --speech espeak-ng for other languages"], notes
        return narrator, [], notes
    narrator = Narrator(ServiceSpeech(backends.saved("_generate_tts"), origin.value), cache)
    if is_placeholder(origin.value):
        return narrator, [_placeholder("speech", origin, "--speech-service",
                                       "CLIPWEAVE_SPEECH_SERVICE", r.environ,
                                       "--speech espeak-ng or --speech flite")], notes
    return narrator, [], notes
