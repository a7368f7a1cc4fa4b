"""The studio render: from a local source video and its narrations to a
finished recap with captions, in a frame of the chosen shape (9:16,
1080x1920, unless told otherwise; clipweave.studio.FRAMES).

The planning, caption text, filter graphs and ffmpeg arguments come from
the C++ core (``clipweave.studio._core``): the clips in bounded groups,
each rendered by an ffmpeg run of its own, two side by side, then one run
that joins them and normalises the sound of the whole. This module probes
the inputs, writes the files the runs read, runs them and reports their
progress.
"""
import contextlib
import dataclasses
import math
import os
import selectors
import subprocess
import secrets
import threading
import time
from dataclasses import dataclass
from typing import Callable, NamedTuple, Optional, Sequence, Union

from clipweave.model.options import default
from clipweave.model.segments import Segment
from clipweave.system import children, files
from clipweave.system.probe import loudness, media_info, peak_level, picture_end, speech_level
from clipweave.studio.job import SourceInfo, StudioJob
import clipweave.studio._core as _core

DEFAULT_OUTPUT = "FINAL_RECAP.mp4"
_HARDWARE_PROBE_TIMEOUT = 30
_FONT_LIST_TIMEOUT = 60
# ffmpeg runs at a time: one filter graph keeps one core busy.
SIDE_BY_SIDE = 2
# Below this peak (dBFS) a source is silent.
_SILENCE_DB = -60.0
# A narration's sound: where it rises above this level (dBFS) first and
# falls below it last.
_SOUND_DB = -50.0
# What follows a narration in its range is looked at only when longer than
# this: a shorter silence is no dead air worth a run of ffmpeg.
_SILENCE_WORTH_CHECKING = 0.5
# The share of the render's progress, per second of the recap, against a
# group of pictures': of the sound's runs (beside the pictures), and of the
# finish, which only copies.
_SOUND_WEIGHT = 0.05
_FINISH_WEIGHT = 0.02
# Seconds of the render's progress that its pace is measured over before the
# speed and the time left are shown.
_PACE_WINDOW = 2.0


class RenderProgress(NamedTuple):
    """A progress event: ``("probe", fraction, None, None)`` while the inputs
    are read, ``("render", fraction, speed, seconds_left)`` while ffmpeg runs
    (``speed`` in seconds of the recap made per second, and the time left at
    that pace; both None until the pace has been measured for a while),
    ``("done", 1.0, None, 0.0)`` at the end."""

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
    source_end: float      # where the source it shows ends; past the picture's end when held
    hold: float            # seconds shown as the source's last frame
    narration: float       # the narration as heard: its sound, a natural pause either side
    narration_used: float  # what of it is heard
    out_start: float
    out_end: float
    note: Optional[str]    # what was adjusted, or None
    pace: float = 1.0      # the source's pace in the clip: below 1, slowed


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


_fonts_lock = threading.Lock()
_fonts = None


def caption_fonts():
    """(the caption font's file, a colour emoji font's file) as fontconfig
    finds them for libass ("" for one it cannot name). Asked once per
    process."""
    global _fonts
    with _fonts_lock:
        if _fonts is None:
            found = []
            for pattern in ("DejaVu Sans:bold", "Noto Color Emoji:color=true"):
                try:
                    found.append(children.run(["fc-match", "--format", "%{file}", pattern], capture=True,
                                              timeout=_FONT_LIST_TIMEOUT).stdout.decode("utf-8", "replace"))
                except (OSError, subprocess.SubprocessError):
                    found.append("")
            _fonts = tuple(found)
        return _fonts


def measure_music(path):
    """(duration in seconds, integrated loudness in LUFS or None for
    silence) of a music file; ValueError when it cannot be read or has no
    sound."""
    try:
        info = media_info(path)
        if not info.has_audio or not math.isfinite(info.duration) or info.duration <= 0:
            raise ValueError
        level, _peak = loudness(path)
    except subprocess.CalledProcessError:
        raise ValueError(f"the music cannot be read: {path}") from None
    except ValueError:
        raise ValueError(f"the music has no sound: {path}") from None
    return info.duration, (level if math.isfinite(level) else None)


def _check_segments(segments):
    for n, seg in enumerate(segments, 1):
        if not isinstance(seg, Segment):
            raise TypeError(f"segment {n} must be a Segment, not {type(seg).__name__}")


class NarrationLevel(NamedTuple):
    """A narration file as the render needs it: its duration in seconds, its
    integrated loudness in LUFS (None for silence) and where its sound
    begins and ends, in seconds (None for silence): the silence around it
    is trimmed to a natural pause."""

    seconds: float
    lufs: Optional[float]
    sound: Optional[tuple] = None


def measure_narration(path):
    """The NarrationLevel of a narration file; ValueError when it cannot be
    read or has no sound. Callers that make narrations several at a time
    can measure each as it is made and hand the results to render_studio."""
    try:
        info = media_info(path)
        if not info.has_audio or not math.isfinite(info.duration) or info.duration <= 0:
            raise ValueError
        level, sound = speech_level(path, _SOUND_DB)
    except subprocess.CalledProcessError:
        raise ValueError(f"cannot be read: {path}") from None
    except ValueError:
        raise ValueError(f"has no sound: {path}") from None
    return NarrationLevel(info.duration, level if math.isfinite(level) else None, sound)


def _levels(levels):
    """NarrationLevels of measure_narration results or (seconds, lufs) pairs."""
    return [NarrationLevel(*level) for level in levels]


def _probe_narrations(narrations, emit):
    """Each narration's NarrationLevel."""
    levels = []
    for n, path in enumerate(narrations, 1):
        try:
            levels.append(measure_narration(path))
        except ValueError as e:
            raise ValueError(f"narration {n} {e}") from None
        emit("probe", n / (len(narrations) + 1))
    return levels


def _run_steps(ready, work_dir, emit):
    """Runs the pictures' groups, SIDE_BY_SIDE at a time, and beside them
    the sounds then the mix, one at a time; then the finish. Reports the
    progress of all as one. Any exception kills every run still going."""
    groups, sounds = ready["groups"], ready["sounds"]
    steps = list(groups) + list(sounds) + [ready["mix"], ready["finish"]]
    # The pictures are the work; the sound and the finish's copy little of it.
    weights = ([g["duration"] for g in groups] +
               [s["duration"] * _SOUND_WEIGHT for s in steps[len(groups):-1]] +
               [ready["finish"]["duration"] * _FINISH_WEIGHT])
    total = sum(weights) or 1.0
    done = [0.0] * len(weights)
    first = []  # (time, fraction) when ffmpeg first reported any picture made

    def report(i, seconds):
        done[i] = min(weights[i], seconds * weights[i] / max(steps[i]["duration"], 1e-9))
        fraction = min(1.0, sum(done) / total)
        now = time.monotonic()
        if not first:
            if fraction > 0:
                first.append((now, fraction))
            emit("render", fraction, None, None)
            return
        # The pace from ffmpeg's first picture on, once measured over a while:
        # its start-up and its first few lines say little about it.
        since, at = first[0]
        rate = (fraction - at) / (now - since) if now - since >= _PACE_WINDOW else 0.0
        if rate <= 0:
            emit("render", fraction, None, None)
            return
        # Seconds of the recap made per second, and the time left at that pace.
        emit("render", fraction, rate * ready["finish"]["duration"], (1 - fraction) / rate)

    indexed = list(enumerate(steps))
    _run_lines([(SIDE_BY_SIDE, indexed[:len(groups)]), (1, indexed[len(groups):-1])], work_dir, report)
    _run_lines([(1, indexed[-1:])], work_dir, report)
    emit("render", 1.0, None, 0.0)


def _run_lines(lines, work_dir, report):
    """Runs lines of (index, step) pairs side by side, each line's steps in
    order, ``limit`` of them at a time (lines: (limit, steps) pairs), reading
    their progress (report(index, seconds written)); StudioError for the
    first that fails."""
    pending = [list(reversed(steps)) for _, steps in lines]
    running = [0] * len(lines)
    with contextlib.ExitStack() as stack, selectors.DefaultSelector() as selector:
        def start(line):
            index, step = pending[line].pop()
            child = stack.enter_context(
                children.spawn(step["args"], stdout=children.PIPE, cwd=work_dir))
            selector.register(child.stdout, selectors.EVENT_READ, [index, child, b"", {}, line])
            running[line] += 1

        for line, (limit, _) in enumerate(lines):
            while pending[line] and running[line] < limit:
                start(line)
        while selector.get_map():
            for key, _ in selector.select():
                state = key.data
                index, child, line = state[0], state[1], state[4]
                chunk = os.read(key.fd, 65536)
                if chunk:
                    *rows, state[2] = (state[2] + chunk).split(b"\n")
                    for raw in rows:
                        k, _, value = raw.decode("ascii", "replace").strip().partition("=")
                        state[3][k] = value
                        if k == "progress":
                            seconds = _seconds(state[3].get("out_time_us"))
                            if seconds is not None:
                                report(index, seconds)
                            state[3] = {}
                    continue
                selector.unregister(key.fileobj)
                returncode = child.wait(check=False)
                running[line] -= 1
                if returncode != 0:
                    raise StudioError(returncode, child.stderr_tail)
                if pending[line]:
                    start(line)


def _seconds(us):
    try:
        return max(0, int(us)) / 1e6
    except (TypeError, ValueError):
        return None


def _source_info(source):
    """The SourceInfo of a source video as the core reads it; ValueError
    when it is no video the render can use."""
    try:
        info = media_info(source)
    except subprocess.CalledProcessError:
        raise ValueError(f"the source cannot be read: {source}") from None
    if not info.has_video:
        raise ValueError(f"the source has no video: {source}")
    if not math.isfinite(info.duration) or info.duration <= 0:
        raise ValueError(f"the source's duration is unknown: {source}")
    try:
        picture = picture_end(source, info.duration)
    except subprocess.CalledProcessError:
        picture = math.nan
    return SourceInfo(source, info.duration, info.width, info.height, info.rotation, info.sar,
                      info.rate, info.has_audio,
                      picture if math.isfinite(picture) and picture > 0 else 0.0, info.matrix)


def _plan_job(source, segments, levels, fit, speed):
    """What the core plans the clips from."""
    return StudioJob(source=source, segments=segments, narration_seconds=[l.seconds for l in levels],
                     narration_lufs=[l.lufs for l in levels], narration_sound=[l.sound for l in levels],
                     fit=fit, speed=speed)


def _place(clip):
    """(start, seconds) of the source a planned clip shows, its held last frame included."""
    return clip["source_start"], clip["source_part"] + clip["hold"]


class ClipPlaces:
    """Where the render places each segment's clip in the source, known
    before the render: the clips can be looked at while the narrations are
    made.

    Called with one entry per segment, its narration's NarrationLevel or
    None while it is not measured, it gives per segment (start, seconds)
    of the source that clip shows, or None where that is not settled: its
    narration not measured, or the room it takes hanging on one that is
    not. Clips that a silence in the source's sound would end sooner are
    placed as though it did not (a source without sound excepted): their
    place starts the same and is no shorter. Reads the source once, when
    first called: ValueError when it is no usable video.
    """

    def __init__(self, source, segments, *, fit=default("fit"), speed=default("speed")):
        self._source = os.path.abspath(os.fspath(source))
        self._segments = tuple(segments)
        self._fit = fit
        self._speed = speed
        self._info = None

    def __call__(self, levels):
        if self._info is None:
            self._info = _source_info(self._source)
        levels = list(levels)
        silent = [not self._info.has_audio] * len(levels) if self._fit == "narration" else []

        def places(unknown):
            known = [NarrationLevel(unknown, None) if level is None else NarrationLevel(*level)
                     for level in levels]
            job = dataclasses.replace(_plan_job(self._info, self._segments, known, self._fit, self._speed),
                                      silent_tails=silent)
            return [_place(clip) for clip in _core.plan(job)["clips"]]

        # A narration not yet measured takes no room, or all the room it can:
        # a clip placed alike either way is placed so whatever it turns out to be.
        least = places(0.0)
        most = places(self._info.seconds + sum(s.end - s.start for s in self._segments))
        return [a if level is not None and a == b else None for level, a, b in zip(levels, least, most)]


def _silent_tails(source, info, segments, plan, fit):
    """Per segment, whether the source is silent after its narration: always
    for a source without sound; else where it is over the rest of its range
    (``plan``: the core's plan without silent tails)."""
    if fit != "narration":
        return []
    if not info.has_audio:
        return [True] * len(segments)
    tails = []
    for seg, clip in zip(segments, plan["clips"]):
        start, length = seg.start + clip["narration"], seg.end - seg.start - clip["narration"]
        if length <= _SILENCE_WORTH_CHECKING:
            tails.append(False)
        else:
            try:
                tails.append(peak_level(source, start, length) <= _SILENCE_DB)
            except (subprocess.CalledProcessError, ValueError):
                tails.append(True)  # no sound there to read
    return tails


def render_studio(
    source,
    segments: Sequence[Segment],
    work_dir,
    narrations: Sequence,
    *,
    frame: str = default("frame"),
    fit: str = default("fit"),
    bed_volume: Optional[float] = default("bed_volume"),
    captions: str = default("captions"),
    speed: float = default("speed"),
    quality: str = default("quality"),
    aspect: str = default("aspect"),
    output_name: str = DEFAULT_OUTPUT,
    overwrite: bool = False,
    encoder: Optional[str] = None,
    progress: Optional[Callable[[RenderProgress], None]] = None,
    narration_levels: Optional[Sequence[tuple]] = None,
    words: Optional[Sequence] = None,
    notes: Optional[Callable[[str], None]] = None,
    follow: Union[Sequence, Callable[[list], Sequence], None] = None,
    frames: Optional[Sequence[str]] = None,
    scale: int = 1,
    caption_style: str = default("caption_style"),
    caption_position: str = default("caption_position"),
    safe_area: str = default("safe_area"),
    highlight: str = default("highlight"),
    accent: str = default("accent"),
    title: str = "",
    music=None,
    music_volume: float = default("music_volume"),
) -> StudioResult:
    """Renders a finished recap of ``source``.

    ``segments`` are ``Segment`` objects (their ``narration`` is the
    caption text); ``narrations`` the narration audio files, one per
    segment. ``frame`` is "blur", "crop" or "fit"; ``fit`` "narration" (a
    long narration makes its clip run on) or "range" (it is cut);
    ``bed_volume`` the level in dB of the source's own sound under a
    narration (MIN_BED_VOLUME to MAX_BED_VOLUME), None for the narration
    alone; ``captions`` "words" (pages of a few words, the one being spoken
    highlighted), "phrases" (cards of up to two lines), "srt" (not burned
    in) or "none"; ``speed`` MIN_SPEED to
    MAX_SPEED; ``quality`` "fast", "balanced" or "small"; ``aspect`` the
    output frame's shape, a name of clipweave.studio.FRAMES ("9:16",
    "4:5", "1:1", "16:9"): the captions keep to its safe area.
    ``encoder`` None picks the hardware encoder where it works.
    ``narration_levels``, one ``measure_narration`` result (or a
    (seconds, lufs) pair: no silence trimmed) per narration, saves
    measuring them again. ``words``, per narration, its written
    words as (text, start, end) in seconds of that narration, times the
    captions (None, or None for a narration: by their share of its
    characters); ``result.words`` are those heard, on the video's timeline.
    ``follow``, per segment, None or its shots (``clipweave.follow``'s
    FollowShot, times from the start of the source its clip shows): that
    segment is framed shot by shot, a window of the output's shape standing
    or moving with its subject, wider over the blurred fill where it is too wide for one,
    or blurred where it has none. ``follow`` may
    also be a callable that is given, once the clips are planned, per
    segment (start, seconds) of the source its clip shows, and answers the
    shots. ``frames``, per segment, the framing of a segment not followed
    ("blur", "crop", "fit", or "" for ``frame``). ``scale`` divides the
    frame's sizes for a preview (3: 360x640 for 9:16).

    ``caption_style`` ("bold", "boxed", "karaoke", "pop", "minimal"),
    ``caption_position`` ("lower", "middle", "upper") and ``highlight``
    and ``accent`` (CSS colour names or #rrggbb) say how burned captions
    look; a narration's *emphasised* words take the accent colour while
    they are spoken. ``safe_area`` "platforms" keeps captions and the title
    where no big vertical platform draws over them, "none" in a wider box.
    ``title`` is shown in large type over the first TITLE_SECONDS. ``music``
    (an audio file) plays under the recap, looped or cut to it,
    ``music_volume`` dB against the narration and MUSIC_DUCK dB lower
    while a narration speaks.

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
    shown = _source_info(source)
    if narration_levels is None:
        levels = _probe_narrations(narrations, emit)
    elif len(narration_levels) != len(narrations):
        raise ValueError(f"{len(narrations)} narrations need {len(narrations)} levels, "
                         f"got {len(narration_levels)}")
    else:
        levels = _levels(narration_levels)
    planned = _plan_job(shown, segments, levels, fit, speed)
    planned = dataclasses.replace(planned, silent_tails=_silent_tails(
        source, shown, segments, _core.plan(planned), fit))
    if callable(follow):
        follow = follow([_place(clip) for clip in _core.plan(planned)["clips"]])
    music_seconds, music_lufs = 0.0, None
    if music is not None:
        music = os.path.abspath(os.fspath(music))
        music_seconds, music_lufs = measure_music(music)
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

    # Captions or a title are drawn: measured in the fonts libass will use.
    drawn = captions not in ("srt", "none") or bool(title)
    fonts = caption_fonts() if drawn else ("", "")
    try:
        output = scratch(".mp4.part")
        ass = scratch(".ass")
        job = dataclasses.replace(
            planned, texts=[s.narration for s in segments],
            narrations=narrations, frame=frame,
            captions=captions, quality=quality, bed_volume=bed_volume, encoder=encoder,
            output=os.path.basename(output), captions_file=os.path.basename(ass),
            graph_file=os.path.basename(output) + ".graph", words=tuple(words or ()),
            glyphs=font_glyphs() if drawn else "",
            text_font=fonts[0], emoji_font=fonts[1], aspect=aspect, scale=scale,
            caption_style=caption_style,
            caption_position=caption_position, safe_area=safe_area, highlight=highlight,
            accent=accent, title=title, music=music, music_seconds=music_seconds,
            music_lufs=music_lufs, music_volume=music_volume,
            follow=tuple(None if shots is None else tuple((s.start, s.kind, s.path, s.width) for s in shots)
                         for shots in (follow or ())), frames=tuple(frames or ()))
        ready = _core.prepare(job)
        if notes is not None:
            for note in ready["notes"]:
                notes(note)
        if ready["ass"]:
            with open(ass, "w", encoding="utf-8") as f:
                f.write(ready["ass"])
        temporary.extend(os.path.join(work_dir, name) for name in ready["scratch"])
        for name, text in ready["files"]:
            with open(os.path.join(work_dir, name), "w", encoding="utf-8") as f:
                f.write(text)
        for name, image in ready["images"]:
            with open(os.path.join(work_dir, name), "wb") as f:
                f.write(image)
        plan = ready["plan"]
        _run_steps(ready, work_dir, emit)
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
        SegmentTiming(n, c["source_start"], sum(_place(c)), c["hold"],
                      c["narration"], c["narration_used"], c["out_start"],
                      c["out_start"] + c["out_length"], c["note"], c["pace"])
        for n, c in enumerate(plan["clips"], 1))
    emit("done", 1.0, None, 0.0)
    shown = tuple((text, start, end, segment) for text, start, end, segment in ready["words"])
    return StudioResult(final, srt_final, plan["duration"], timings, tuple(ready["notes"]), encoder,
                        shown)
