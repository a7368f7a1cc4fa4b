"""What the studio core is asked to plan and render: one typed job.

The core (``clipweave.studio._core``) reads these by attribute and checks
every value itself: a value of the wrong type is a TypeError, one that
cannot be rendered a ValueError. ``plan`` reads the segments, the
narrations' durations and sound, the silent tails, the source's duration,
picture and rate, ``fit`` and ``speed``; ``captions`` the texts, the caption mode, the word times and
the glyphs besides; ``prepare`` every field.
"""
from dataclasses import dataclass
from typing import Optional, Sequence, Tuple, Union

from clipweave.model.options import default
from clipweave.model.segments import Segment


@dataclass(frozen=True)
class SourceInfo:
    """The source video as probed. ``width`` and ``height`` as stored,
    ``rotation`` in degrees as shown; ``sar`` and ``rate`` are
    (numerator, denominator) pairs. ``video_seconds`` is where its picture
    ends (0: with ``seconds``); ``matrix`` its colour matrix as ffprobe
    names it ("" when untagged)."""

    path: str
    seconds: float
    width: int = 0
    height: int = 0
    rotation: int = 0
    sar: Tuple[int, int] = (1, 1)
    rate: Tuple[int, int] = (30, 1)
    has_audio: bool = False
    video_seconds: float = 0.0
    matrix: str = ""


@dataclass(frozen=True)
class StudioJob:
    """One render. ``segments`` are ``Segment`` objects or (start, end)
    pairs in seconds; ``narrations`` (audio files), ``narration_seconds``,
    ``narration_lufs`` (measured loudness, None for silence; or empty when
    unknown) and ``texts`` hold one entry per segment. ``fit``,
    ``frame`` (of those the core draws), ``captions``, ``quality`` and
    ``aspect`` (the output frame's shape) take the choices of
    clipweave.model.options, as do their defaults; ``bed_volume`` is the
    source's sound under a narration in dB, None for none.
    ``words`` holds, per segment, its narration's written words as (text,
    start, end) in seconds of that narration; an entry that is None or
    empty, or no entries at all, leaves the words to be timed by their
    share of the characters. ``glyphs`` is the character coverage of the
    installed fonts as ``fc-list --format '%{charset}\n'`` writes it; empty
    shows every character. ``silent_tails`` says, per segment, whether the
    source is silent over what follows the narration in its range (empty:
    nowhere known to be). ``narration_sound`` says, per segment, None or
    where its narration's sound begins and ends in its file, in seconds (or
    is empty): the silence beyond a natural pause either side is skipped. ``output``, ``captions_file`` and
    ``graph_file`` are file names in the work directory, where ffmpeg
    runs. ``follow`` holds, per segment, None or its shots as (start,
    "still" | "track" | "wide" | "blur", ((t, centre), ...), width):
    seconds from the clip's start, the window's centre as a fraction of the
    shown frame along the axis it moves on, a wide window's share of the
    frame along it (shown over the blurred fill); such a segment is framed
    shot by shot. ``frames`` holds, per segment, the framing of one not
    framed so (one the core draws, or "" for ``frame``), or is empty:
    ``frame`` frames them all. ``scale`` divides the frame's sizes (a
    preview: 3 makes 1080x1920 360x640); they must stay whole and even.
    ``caption_style``, ``caption_position`` and ``safe_area`` take the
    table's choices, ``highlight`` and ``accent`` a CSS colour name or
    #rrggbb; ``title`` is shown over the first seconds ("": none).
    ``text_font`` and ``emoji_font`` are the font files of the captions and
    of colour emoji ("": the widths are estimated, emoji left out).
    ``music`` is an audio file (None: none) of ``music_seconds``, measured
    at ``music_lufs`` (None: unknown), played ``music_volume`` dB against
    the narration."""

    source: SourceInfo
    segments: Sequence[Union[Segment, Tuple[float, float]]]
    narration_seconds: Sequence[float]
    texts: Sequence[str] = ()
    narrations: Sequence[str] = ()
    narration_lufs: Sequence[Optional[float]] = ()
    fit: str = default("fit")
    frame: str = default("frame")
    captions: str = default("captions")
    quality: str = default("quality")
    bed_volume: Optional[float] = default("bed_volume")
    speed: float = default("speed")
    encoder: str = "libx264"
    output: str = ""
    captions_file: str = ""
    graph_file: str = ""
    words: Sequence[Optional[Sequence[Tuple[str, float, float]]]] = ()
    glyphs: str = ""
    silent_tails: Sequence[bool] = ()
    narration_sound: Sequence[Optional[Tuple[float, float]]] = ()
    follow: Sequence[Optional[Sequence[Tuple[float, str, Sequence[Tuple[float, float]], float]]]] = ()
    aspect: str = default("aspect")
    frames: Sequence[str] = ()
    scale: int = 1
    caption_style: str = default("caption_style")
    caption_position: str = default("caption_position")
    safe_area: str = default("safe_area")
    highlight: str = default("highlight")
    accent: str = default("accent")
    title: str = ""
    text_font: str = ""
    emoji_font: str = ""
    music: Optional[str] = None
    music_seconds: float = 0.0
    music_lufs: Optional[float] = None
    music_volume: float = default("music_volume")
