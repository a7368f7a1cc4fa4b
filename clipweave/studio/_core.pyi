"""The studio render's planning, captions and ffmpeg command (C++ extension module).

A job is a ``clipweave.studio.job.StudioJob``, read by attribute: ``plan``
reads its segments, narrations' durations and sound, silent tails, fit, speed
and its source's duration, picture and rate; ``captions`` its texts besides; ``prepare`` every field.
A job that cannot be rendered raises ValueError, a value of the wrong type
TypeError.
"""
from typing import Literal, Optional, TypedDict

from clipweave.studio.job import StudioJob

MIN_SPEED: float
MAX_SPEED: float
MIN_BED_VOLUME: float
MAX_BED_VOLUME: float
MIN_MUSIC_VOLUME: float
MAX_MUSIC_VOLUME: float
MIN_MUSIC_SECONDS: float
"""Music shorter than this is not looped."""
MUSIC_DUCK: float
"""dB the music goes lower while a narration speaks."""
TITLE_SECONDS: float
"""How long the title is shown, its fade included."""

# The choices a job's fields take, as the core draws them (the table of
# options, clipweave.model.options, offers the same; a test keeps these in step).
Fit = Literal["narration", "range"]
Framing = Literal["blur", "crop", "fit"]
CaptionMode = Literal["words", "phrases", "srt", "none", "burn"]
Quality = Literal["fast", "balanced", "small"]
Aspect = Literal["9:16", "4:5", "1:1", "16:9"]
CaptionStyle = Literal["bold", "boxed", "karaoke", "pop", "minimal"]
CaptionPosition = Literal["lower", "middle", "upper"]
SafeArea = Literal["platforms", "none"]

CHOICES: dict[str, tuple[str, ...]]
"""{option: the names the core draws, as offered}"""
OLD_NAMES: dict[str, dict[str, str]]
"""{option: {old name still accepted: the name it stands for}}"""
FRAMES: dict[str, tuple[int, int]]
"""{aspect: (width, height)} of the output frames, the default first."""
SAFE_AREA: tuple[float, float, float, float]
"""(left, top, right, bottom) of a frame that captions keep to by default, as shares of its width and height."""
SAFE_AREAS: dict[str, tuple[float, float, float, float]]
"""{safe_area choice: its shares}"""

class ClipPlan(TypedDict):
    source_start: float
    range: float
    length: float
    source_part: float
    hold: float
    pace: float
    after: float
    before: float
    narration: float
    narration_skip: float
    narration_used: float
    start_at: float
    out_start: float
    out_length: float
    first_frame: int
    frames: int
    samples: int
    note: Optional[str]

class Plan(TypedDict):
    clips: list[ClipPlan]
    notes: list[str]
    rate: tuple[int, int]
    speed: float
    length: float
    frames: int
    duration: float

class Captions(TypedDict):
    cues: list[tuple[float, float, str]]
    words: list[tuple[str, float, float, int]]
    notes: list[str]
    srt: str
    ass: str
    emoji: list[tuple[int, int, int, int, float, float]]
    """Each colour emoji laid over the captions: (x, y, width, height, start, end)."""

class Step(TypedDict):
    args: list[str]
    graph: str
    frames: int
    duration: float

class Render(TypedDict):
    plan: Plan
    cues: list[tuple[float, float, str]]
    words: list[tuple[str, float, float, int]]
    notes: list[str]
    srt: str
    ass: str
    groups: list[Step]
    sounds: list[Step]
    mix: Step
    finish: Step
    files: list[tuple[str, str]]
    images: list[tuple[str, bytes]]
    scratch: list[str]

def plan(job: StudioJob) -> Plan:
    """The clips of a job and a note for each adjusted segment."""

def captions(job: StudioJob) -> Captions:
    """The timed caption cues and heard words of a job, its notes on the
    captions, and their SRT and ASS texts."""

def prepare(job: StudioJob) -> Render:
    """Plan, captions and the ffmpeg runs: the pictures' groups (any two side
    by side) and, beside them, the sounds then the mix; then the finish. The
    files to write before them and those they leave."""

def check_output_name(name: object) -> None:
    """ValueError unless name is a plain file name in the work directory ending in .mp4."""

def chunk_caption(text: str, line_chars: int = 30, max_lines: int = 2) -> list[str]:
    """A narration's caption chunks, lines joined by a line feed."""

def spoken_text(text: str) -> str:
    """A narration's text as it is spoken and shown: *emphasis* markers left out, \\* an asterisk."""

def colour(text: str, what: str = "colour") -> str:
    """A CSS colour name or #rrggbb as #rrggbb; ValueError naming what otherwise."""

def escape_ass(text: str) -> str:
    """Text as an ASS event shows it literally."""

def filter_arg(value: str) -> str:
    """A value escaped for a filter option inside a filter graph."""

def encode_args(encoder: str, quality: Quality) -> list[str]:
    """The encoder and container options of the output."""

def hardware_probe_args() -> list[str]:
    """A tiny encode that succeeds only where the hardware encoder works."""
