"""The studio render: one ffmpeg process from a local source video and its
narrations to a finished 1080x1920 recap with captions.

The planning, caption text, filter graph and ffmpeg arguments come from
the C++ core (``clipweave.studio._core``); this module probes the inputs,
writes the caption files, runs ffmpeg and reports its progress.
"""
import math
import os
import subprocess
import secrets
import threading
from dataclasses import dataclass
from typing import Callable, NamedTuple, Optional, Sequence

from clipweave.model.segments import Segment
from clipweave.system import children, files
from clipweave.system.probe import loudness, media_info
from clipweave.studio.job import SourceInfo, StudioJob
import clipweave.studio._core as _core

DEFAULT_OUTPUT = "FINAL_RECAP.mp4"
_HARDWARE_PROBE_TIMEOUT = 30
_FONT_LIST_TIMEOUT = 60


class RenderProgress(NamedTuple):
    """A progress event: ``("probe", fraction, None, None)`` while the inputs
    are read, ``("render", fraction, speed, seconds_left)`` while ffmpeg runs
    (``speed`` is ffmpeg's, media seconds per second; either may be None
    before ffmpeg knows it), ``("done", 1.0, None, 0.0)`` at the end."""

    stage: str
    fraction: float
    speed: Optional[float]
    seconds_left: Optional[float]


@dataclass(frozen=True)
class SegmentTiming:
    """Where one segment went. Source times are seconds in the source; out
    times are seconds in the finished video."""

    number: int            # 1 for the first segment
    source_start: float
    source_end: float      # start + length; past the source's end when held
    hold: float            # seconds shown as the source's last frame
    narration: float       # the narration's own duration
    narration_used: float  # what of it is heard
    out_start: float
    out_end: float
    note: Optional[str]    # what was adjusted, or None


@dataclass(frozen=True)
class StudioResult:
    video: str             # the finished video in the work directory
    srt: Optional[str]     # its captions as SRT, unless captions="none"
    duration: float        # seconds of the finished video
    segments: tuple        # SegmentTiming for each segment
    notes: tuple           # the adjustment notes and the captions', in segment order
    encoder: str           # "libx264" or "h264_nvenc"
    # Every word heard, as (text, start, end, segment): seconds of the
    # finished video, segment counted from 1.
    words: tuple = ()


class StudioError(RuntimeError):
    """ffmpeg failed; the message ends with its last lines of error output."""

    def __init__(self, returncode, stderr_tail):
        self.returncode = returncode
        self.stderr_tail = stderr_tail
        detail = "\n".join(stderr_tail) or "(no error output)"
        super().__init__(f"ffmpeg failed with exit status {returncode}:\n{detail}")


_encoder_lock = threading.Lock()
_encoder = None


def video_encoder():
    """"h264_nvenc" when a tiny test encode with it works, else "libx264".

    Decided once per process.
    """
    global _encoder
    with _encoder_lock:
        if _encoder is None:
            try:
                ok = children.run(_core.hardware_probe_args(), stdout=children.DEVNULL,
                                  timeout=_HARDWARE_PROBE_TIMEOUT, check=False).returncode == 0
            except (OSError, subprocess.SubprocessError):
                ok = False
            _encoder = "h264_nvenc" if ok else "libx264"
        return _encoder


_glyphs_lock = threading.Lock()
_glyphs = None


def font_glyphs():
    """The characters of the fonts libass can draw with, as fontconfig lists
    them (one font a line of hex ranges); empty when fontconfig cannot be
    asked. Asked once per process."""
    global _glyphs
    with _glyphs_lock:
        if _glyphs is None:
            try:
                listed = children.run(["fc-list", ":outline=true", "--format", "%{charset}\n"],
                                      capture=True, timeout=_FONT_LIST_TIMEOUT).stdout
                _glyphs = listed.decode("ascii", "replace")
            except (OSError, subprocess.SubprocessError):
                _glyphs = ""
        return _glyphs


def _check_segments(segments):
    for n, seg in enumerate(segments, 1):
        if not isinstance(seg, Segment):
            raise TypeError(f"segment {n} must be a Segment, not {type(seg).__name__}")


def measure_narration(path):
    """(duration in seconds, integrated loudness in LUFS or None for silence)
    of a narration file, as the render needs them; ValueError when it cannot
    be read or has no sound. Callers that make narrations several at a time
    can measure each as it is made and hand the results to render_studio."""
    try:
        info = media_info(path)
        if not info.has_audio or not math.isfinite(info.duration) or info.duration <= 0:
            raise ValueError
        level, _peak = loudness(path)
    except subprocess.CalledProcessError:
        raise ValueError(f"cannot be read: {path}") from None
    except ValueError:
        raise ValueError(f"has no sound: {path}") from None
    return info.duration, (level if math.isfinite(level) else None)


def _probe_narrations(narrations, emit):
    """Each narration's duration and loudness (None for silence)."""
    seconds, lufs = [], []
    for n, path in enumerate(narrations, 1):
        try:
            duration, level = measure_narration(path)
        except ValueError as e:
            raise ValueError(f"narration {n} {e}") from None
        seconds.append(duration)
        lufs.append(level)
        emit("probe", n / (len(narrations) + 1))
    return seconds, lufs


def _run_ffmpeg(args, work_dir, duration, emit):
    """Runs ffmpeg, reporting its progress; kills it on any exception."""
    with children.spawn(args, stdout=children.PIPE, cwd=work_dir) as child:
        block = {}
        for raw in child.stdout:
            key, _, value = raw.decode("ascii", "replace").strip().partition("=")
            block[key] = value
            if key != "progress":
                continue
            if value == "end":
                emit("render", 1.0, _speed(block.get("speed")), 0.0)
            else:
                done = _seconds(block.get("out_time_us"))
                speed = _speed(block.get("speed"))
                fraction = min(1.0, max(0.0, done / duration)) if done is not None else 0.0
                left = (max(0.0, duration - done) / speed
                        if done is not None and speed else None)
                emit("render", fraction, speed, left)
            block = {}
        returncode = child.wait(check=False)
    if returncode != 0:
        raise StudioError(returncode, child.stderr_tail)


def _seconds(us):
    try:
        return max(0, int(us)) / 1e6
    except (TypeError, ValueError):
        return None


def _speed(text):
    try:
        value = float((text or "").rstrip("x"))
    except ValueError:
        return None
    return value if value > 0 and math.isfinite(value) else None


def render_studio(
    source,
    segments: Sequence[Segment],
    work_dir,
    narrations: Sequence,
    *,
    frame: str = "blur",
    fit: str = "narration",
    bed_volume: Optional[float] = -18.0,
    captions: str = "words",
    speed: float = 1.0,
    quality: str = "balanced",
    output_name: str = DEFAULT_OUTPUT,
    overwrite: bool = False,
    encoder: Optional[str] = None,
    progress: Optional[Callable[[RenderProgress], None]] = None,
    narration_levels: Optional[Sequence[tuple]] = None,
    words: Optional[Sequence] = None,
    follow: Optional[Sequence] = None,
) -> StudioResult:
    """Renders a finished recap of ``source`` in ONE ffmpeg process.

    ``segments`` are ``Segment`` objects (their ``narration`` is the
    caption text); ``narrations`` the narration audio files, one per
    segment. ``frame`` is "blur", "crop" or "fit"; ``fit`` "narration" (a
    long narration makes its clip run on) or "range" (it is cut);
    ``bed_volume`` the level in dB of the source's own sound under a
    narration (MIN_BED_VOLUME to MAX_BED_VOLUME), None for the narration
    alone; ``captions`` "words" (pages of a few words, the one being spoken
    highlighted), "phrases" (cards of up to two lines), "srt" (not burned
    in) or "none"; ``speed`` MIN_SPEED to
    MAX_SPEED; ``quality`` "fast", "balanced" or "small".
    ``encoder`` None picks the hardware encoder where it works.
    ``narration_levels``, one ``measure_narration`` result per narration,
    saves measuring them again. ``words``, per narration, its written
    words as (text, start, end) in seconds of that narration, times the
    captions (None, or None for a narration: by their share of its
    characters); ``result.words`` are those heard, on the video's timeline.
    ``follow``, per segment, None or its shots (``clipweave.follow``'s
    FollowShot, times from the segment's start): that segment is framed
    shot by shot, a 9:16 window standing or moving with its subject, or
    blurred where it has none.

    The video (and, unless captions="none", its SRT of the same name) is
    written to ``work_dir`` under a temporary name and renamed into place;
    an existing result is replaced only when ``overwrite`` is true
    (FileExistsError otherwise). Nothing else is left behind.

    Raises TypeError for a segment that is no ``Segment``, ValueError for
    a segment or option that cannot be rendered and StudioError when
    ffmpeg fails.
    """
    def emit(stage, fraction, speed_now=None, left=None):
        if progress is not None:
            progress(RenderProgress(stage, fraction, speed_now, left))

    _core.check_output_name(output_name)
    segments = tuple(segments)
    _check_segments(segments)
    narrations = [os.path.abspath(os.fspath(p)) for p in narrations]
    if len(narrations) != len(segments):
        raise ValueError(f"{len(segments)} segments need {len(segments)} narrations, "
                         f"got {len(narrations)}")
    if isinstance(speed, bool) or not isinstance(speed, (int, float)):
        raise ValueError(f"speed must be a number, got {speed!r}")
    source = os.path.abspath(os.fspath(source))
    work_dir = os.path.abspath(os.fspath(work_dir))
    os.makedirs(work_dir, exist_ok=True)
    final = os.path.join(work_dir, output_name)
    srt_final = os.path.splitext(final)[0] + ".srt" if captions != "none" else None
    if not overwrite:
        for path in (final, srt_final):
            if path is not None and os.path.lexists(path):
                raise FileExistsError(f"{path} exists; pass overwrite=True to replace it")

    emit("probe", 0.0)
    try:
        info = media_info(source)
    except subprocess.CalledProcessError:
        raise ValueError(f"the source cannot be read: {source}") from None
    if not info.has_video:
        raise ValueError(f"the source has no video: {source}")
    if not math.isfinite(info.duration) or info.duration <= 0:
        raise ValueError(f"the source's duration is unknown: {source}")
    if narration_levels is None:
        narration_seconds, narration_lufs = _probe_narrations(narrations, emit)
    elif len(narration_levels) != len(narrations):
        raise ValueError(f"{len(narrations)} narrations need {len(narrations)} levels, "
                         f"got {len(narration_levels)}")
    else:
        narration_seconds = [float(seconds) for seconds, _ in narration_levels]
        narration_lufs = [lufs for _, lufs in narration_levels]
    if encoder is None:
        encoder = video_encoder()

    temporary = []  # removed whatever happens

    def scratch(suffix):
        # Not mkstemp: its files are private (0600), and these become results.
        while True:
            path = os.path.join(work_dir, f".studio-{secrets.token_hex(6)}{suffix}")
            try:
                os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            except FileExistsError:
                continue
            temporary.append(path)
            return path

    try:
        output = scratch(".mp4.part")
        ass = scratch(".ass")
        graph_file = scratch(".graph")
        job = StudioJob(
            source=SourceInfo(source, info.duration, info.width, info.height, info.rotation,
                              info.sar, info.rate, info.has_audio),
            segments=segments, narration_seconds=narration_seconds, texts=[s.narration for s in segments],
            narrations=narrations, narration_lufs=narration_lufs, fit=fit, frame=frame,
            captions=captions, quality=quality, bed_volume=bed_volume, speed=speed, encoder=encoder,
            output=os.path.basename(output), captions_file=os.path.basename(ass),
            graph_file=os.path.basename(graph_file), words=tuple(words or ()),
            glyphs=font_glyphs() if captions not in ("srt", "none") else "",
            follow=tuple(None if shots is None else tuple((s.start, s.kind, s.path) for s in shots)
                         for shots in (follow or ())))
        ready = _core.prepare(job)
        if ready["ass"]:
            with open(ass, "w", encoding="utf-8") as f:
                f.write(ready["ass"])
        if ready["graph_in_file"]:
            with open(graph_file, "w", encoding="utf-8") as f:
                f.write(ready["graph"])
        plan = ready["plan"]
        _run_ffmpeg(ready["args"], work_dir, plan["duration"], emit)
        if os.path.getsize(output) == 0:
            raise StudioError(0, ["ffmpeg wrote nothing"])
        srt = None
        if srt_final is not None:
            srt = scratch(".srt.part")
            with open(srt, "w", encoding="utf-8") as f:
                f.write(ready["srt"])
        # The checks above make these fail only where another process made
        # the file meanwhile.
        files.place(output, final, overwrite)
        if srt is not None:
            files.place(srt, srt_final, overwrite)
    finally:
        for path in temporary:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass

    timings = tuple(
        SegmentTiming(n, c["source_start"], c["source_start"] + c["length"], c["hold"],
                      c["narration"], c["narration_used"], c["out_start"],
                      c["out_start"] + c["out_length"], c["note"])
        for n, c in enumerate(plan["clips"], 1))
    emit("done", 1.0, None, 0.0)
    shown = tuple((text, start, end, segment) for text, start, end, segment in ready["words"])
    return StudioResult(final, srt_final, plan["duration"], timings, tuple(ready["notes"]), encoder,
                        shown)
