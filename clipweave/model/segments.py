"""Segment files: reading one and telling everything that is wrong with it.

The extension module reads the segments file only after the download and
fails on the first bad entry, so the command line and the demo check it
here first, one message per problem.
"""
import json
import math
import re
from dataclasses import dataclass
from typing import Optional

from clipweave.model.options import option

# Seconds (optionally with an ffmpeg unit) or [HH:]MM:SS[.fraction].
# ASCII digits only: \d would take digits of any script, which ffmpeg refuses.
_SECONDS = re.compile(r"(\d+(?:\.\d+)?)(s|ms|us)?", re.ASCII)
_CLOCK = re.compile(r"(?:(\d+):)?(\d{1,2}):(\d{1,2}(?:\.\d+)?)", re.ASCII)
_UNIT_SCALE = {None: 1.0, "s": 1.0, "ms": 1e-3, "us": 1e-6}


@dataclass(frozen=True)
class Segment:
    """One narrated time range, checked: ``start`` and ``end`` in seconds
    (``end`` after ``start``), the times as written (``start_text``,
    ``end_text``: the exact pipeline and the messages use them), and the
    ``narration`` to be spoken over it; ``frame``, its own framing (one of
    --frame's choices) where the file gives one, else None: the run's."""

    start: float
    end: float
    start_text: str
    end_text: str
    narration: str
    frame: Optional[str] = None

    @property
    def length(self):
        return self.end - self.start

    def inside(self, duration, tolerance=0.0):
        """Whether the range lies inside a video of that length; ``end`` may
        pass its end by ``tolerance`` seconds. A length that is not known
        (NaN) holds every range: the render will tell."""
        return not (self.start >= duration or self.end > duration + tolerance)


class UsageError(Exception):
    """A problem found before the run; one message per problem."""

    def __init__(self, problems):
        super().__init__("\n".join(problems))
        self.problems = list(problems)


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


MAX_BYTES = 16 * 1024 * 1024
# A segment may end this much after the video's last frame: containers round.
END_TOLERANCE = 0.05
MAX_NUMBER_CHARS = 100  # a time is a string; a number this long is no segment's
# A narration's length: about ten minutes of speech. Far longer texts are
# mistakes (a whole book pasted), and would be spoken for hours.
MAX_VOICEOVER_CHARS = 10_000


class _NumberTooLong(ValueError):
    pass


def _number(parse):
    def checked(text):
        if len(text) > MAX_NUMBER_CHARS:
            raise _NumberTooLong(len(text))
        return parse(text)

    return checked


def read_text(path):
    """The file's bytes (at most MAX_BYTES), or UsageError."""
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_BYTES + 1)
    except FileNotFoundError:
        raise UsageError([f"segments file not found: {path}"]) from None
    except IsADirectoryError:
        raise UsageError([f"segments file is a directory: {path}"]) from None
    except OSError as e:
        raise UsageError([f"cannot read segments file {path}: {e.strerror or e}"]) from None
    if len(data) > MAX_BYTES:
        raise UsageError([f"segments file {path} is larger than {MAX_BYTES // 2**20} MiB"])
    return data


def _decode(path, data):
    """The decoded JSON value of the file's bytes, or UsageError."""
    if data.startswith(b"\xef\xbb\xbf"):
        raise UsageError([f"segments file {path} begins with a byte-order mark; "
                          "save it as UTF-8 without one"])
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise UsageError([f"segments file {path} is not valid UTF-8 "
                          f"(byte 0x{data[e.start]:02x} at offset {e.start})"]) from None
    try:
        return json.loads(text, parse_int=_number(int), parse_float=_number(float))
    except _NumberTooLong as e:
        raise UsageError([f"segments file {path} holds a number of {e.args[0]} characters "
                          f"(at most {MAX_NUMBER_CHARS})"]) from None
    except json.JSONDecodeError as e:
        raise UsageError([f"segments file {path} is not valid JSON: {e.msg} "
                          f"(line {e.lineno}, column {e.colno})"]) from None
    except RecursionError:
        # Thousands of nested brackets: the decoder gives up before any segment.
        raise UsageError([f"segments file {path} is not valid JSON: "
                          "arrays or objects nested too deeply"]) from None


def _segment_problems(seg):
    """What is wrong with one segment entry, without its position."""
    if not isinstance(seg, dict):
        return [f"must be an object, not {_json_type(seg)}"]
    problems = []
    seconds = {}
    for key in ("start", "end", "voiceover"):
        if key not in seg:
            problems.append(f'missing "{key}"')
        elif key != "voiceover" and _is_number(seg[key]):
            seconds[key] = _seconds_of(seg[key])
            if seconds[key] is None:
                problems.append(f'"{key}" must be a number of seconds from 0, got {seg[key]!r}')
        elif not isinstance(seg[key], str):
            problems.append(f'"{key}" must be a string, not {_json_type(seg[key])}')
        elif key == "voiceover":
            if not seg[key].strip():
                problems.append('"voiceover" is empty')
            elif len(seg[key]) > MAX_VOICEOVER_CHARS:
                problems.append(f'"voiceover" is {len(seg[key]):,} characters long; at most '
                                f'{MAX_VOICEOVER_CHARS:,} (about ten minutes of speech)')
            elif _SURROGATE.search(seg[key]):
                problems.append('"voiceover" holds a lone UTF-16 surrogate '
                                f'({_SURROGATE.search(seg[key]).group()!r}), which is no character')
        else:
            seconds[key] = parse_time(seg[key])
            if seconds[key] is None:
                problems.append(f'"{key}" is not a time such as 75.5 or '
                                f'00:01:15.5: {seg[key]!r}')
    if "frame" in seg:
        # The segment's own framing; the exact pipeline's reader ignores the key.
        choices = option("frame").choices
        if not isinstance(seg["frame"], str):
            problems.append(f'"frame" must be a string, not {_json_type(seg["frame"])}')
        elif seg["frame"] not in choices:
            problems.append(f'"frame" must be one of {", ".join(choices)}, got {seg["frame"][:40]!r}')
    if seconds.get("start") is not None and seconds.get("end") is not None:
        if seconds["end"] <= seconds["start"]:
            problems.append(f'"end" ({_text_of(seg["end"])}) is not after '
                            f'"start" ({_text_of(seg["start"])})')
    return problems


def entry_problems(entries):
    """Per entry of a decoded segments list, what is wrong with it (a list
    of messages each, without the file's name and the entry's number): the
    checks of :func:`parse_segments`, for a caller that shows each next to
    its entry (the editor)."""
    return [_segment_problems(seg) for seg in entries]


def read_entries(path):
    """The decoded JSON value of a segments file, unchecked (the editor
    shows a file's entries with what is wrong with each), or UsageError
    when it cannot be read or decoded."""
    return _decode(path, read_text(path))


def load_segments(path):
    """The Segments of a file, or UsageError listing everything wrong with it."""
    return parse_segments(path, read_text(path))


def parse_segments(path, data):
    """A tuple of the Segments in data, the bytes of the file at path (named
    in messages), or UsageError listing everything wrong with them."""
    entries = _decode(path, data)
    if not isinstance(entries, list):
        raise UsageError([f"segments file {path} must hold a JSON array of segments, "
                          f"not {_json_type(entries)}"])
    if not entries:
        raise UsageError([f"segments file {path} holds no segments"])
    problems = [f"segments file {path}, segment {n}: {problem}"
                for n, found in enumerate(entry_problems(entries), 1) for problem in found]
    if problems:
        raise UsageError(problems)
    return tuple(Segment(_seconds_of(seg["start"]), _seconds_of(seg["end"]),
                         _text_of(seg["start"]), _text_of(seg["end"]), seg["voiceover"], seg.get("frame"))
                 for seg in entries)


_SURROGATE = re.compile("[\ud800-\udfff]")


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _seconds_of(value):
    """Seconds of a time as written: a string (parse_time) or a plain JSON
    number of seconds; None when it is neither."""
    if _is_number(value):
        return float(value) if math.isfinite(value) and value >= 0 else None
    return parse_time(value)


def time_seconds(value):
    """Seconds of a segment's time as written (a string or a JSON number of
    seconds), or None when the command would not take it."""
    if isinstance(value, str) or _is_number(value):
        return _seconds_of(value)
    return None


def _text_of(value):
    """A time as text: a number of seconds in plain decimals (no exponent)."""
    if not _is_number(value):
        return value
    return f"{value:.6f}".rstrip("0").rstrip(".") if isinstance(value, float) else str(value)


def module_form(data, segments):
    """The segments file as the exact pipeline reads it (times as strings):
    data itself when every time is one, else the same segments with each
    time written as text."""
    entries = json.loads(data.decode("utf-8"))
    if all(isinstance(e[k], str) for e in entries for k in ("start", "end")):
        return data
    for entry, seg in zip(entries, segments):
        entry["start"], entry["end"] = seg.start_text, seg.end_text
    return json.dumps(entries, ensure_ascii=False).encode("utf-8")


def outside(segments, duration, tolerance=END_TOLERANCE):
    """(number from 1, Segment) of each segment that does not lie inside a
    video of that length."""
    return [(n, seg) for n, seg in enumerate(segments, 1)
            if not seg.inside(duration, tolerance)]


def outside_message(seg, duration):
    """What is wrong with a segment that does not lie inside a video of that length."""
    return f"({seg.start_text} to {seg.end_text}) is not inside the video, which lasts {duration:.2f} s"


def segments_outside(segments, duration):
    """One problem per segment that does not lie inside a video of that length."""
    return [f"segment {n} {outside_message(seg, duration)}" for n, seg in outside(segments, duration)]
