"""The studio render's planning, captions and ffmpeg command (C++ extension module).

A job is a dict. ``plan`` and ``captions`` read ``segments`` ([(start, end)]
in seconds), ``narration_seconds``, ``source_seconds`` and, optionally,
``fit`` ("narration" | "range"), ``speed`` and ``rate`` ((num, den) of the
source's frame rate); ``captions`` also ``texts``. ``prepare`` reads every
key: ``source``, ``width``, ``height``, ``rotation``, ``sar``, ``has_audio``,
``narrations``, ``narration_lufs`` (optional), ``frame``, ``captions``,
``quality``, ``bed_volume`` (dB or None), ``atempo``, ``encoder``,
``captions_file``, ``graph_file`` and ``output`` besides. A job that cannot
be rendered raises ValueError, a value of the wrong type or an unknown key
TypeError.
"""
from typing import Any, Optional, Sequence, TypedDict

MIN_SPEED: float
MAX_SPEED: float
MIN_BED_VOLUME: float
MAX_BED_VOLUME: float

class ClipPlan(TypedDict):
    source_start: float
    range: float
    length: float
    source_part: float
    hold: float
    narration: float
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
    srt: str
    ass: str

class Prepared(TypedDict):
    plan: Plan
    cues: list[tuple[float, float, str]]
    srt: str
    ass: str
    graph: str
    graph_in_file: bool
    args: list[str]

def plan(job: dict[str, Any]) -> Plan:
    """The clips of a job and a note for each adjusted segment."""

def captions(job: dict[str, Any]) -> Captions:
    """The timed caption cues of a job and their SRT and ASS texts."""

def prepare(job: dict[str, Any]) -> Prepared:
    """Plan, captions, filter graph and argument vector of the one ffmpeg run."""

def chunk_caption(text: str, line_chars: int = 30, max_lines: int = 2) -> list[str]:
    """A narration's caption chunks, lines joined by a line feed."""

def escape_ass(text: str) -> str:
    """Text as an ASS event shows it literally."""

def filter_arg(value: str) -> str:
    """A value escaped for a filter option inside a filter graph."""

def encode_args(encoder: str, quality: str) -> list[str]:
    """The encoder and container options of the output."""

def hardware_probe_args() -> list[str]:
    """A tiny encode that succeeds only where the hardware encoder works."""
