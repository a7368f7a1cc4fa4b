"""What ffprobe says about a media file: its streams by kind, and its duration."""
import json
import math
import os
import re
from dataclasses import dataclass

from clipweave.system import children

# Read for every stream; a stream lacks the ones that do not apply to it.
STREAM_FIELDS = ("codec_type", "codec_name", "width", "height", "sample_rate", "channels")
# Read as well for a render.
_RENDER_FIELDS = ("r_frame_rate", "avg_frame_rate", "sample_aspect_ratio", "color_space")


def _ffprobe_json(*args):
    """ffprobe's JSON answer for args; CalledProcessError when it fails."""
    out = children.run(children.ffprobe(*args[:-1], "-of", "json", args[-1]), capture=True).stdout
    return json.loads(out.decode("utf-8", "replace"))


def probe(path):
    """({codec_type: stream}, duration in seconds) of a media file, as ffprobe reads it.

    Of several streams of one kind the last is kept. The duration is NaN
    when ffprobe gives none. Raises CalledProcessError when ffprobe cannot
    read the file.
    """
    # An absolute path: ffprobe would take "-name" for an option and
    # "name:rest" for a protocol.
    target = os.path.abspath(os.fspath(path))
    data = _ffprobe_json("-show_entries", f"stream={','.join(STREAM_FIELDS)}:format=duration",
                         target)
    streams = {s["codec_type"]: s for s in data.get("streams", [])}
    return streams, float(data.get("format", {}).get("duration", "nan"))


@dataclass(frozen=True)
class MediaInfo:
    """What a render needs to know about a media file.

    ``width`` and ``height`` are as stored; ``rotation`` (degrees) says how
    a player turns the picture. ``rate`` and ``sar`` are (numerator,
    denominator) pairs. ``duration`` is NaN when ffprobe gives none.
    ``matrix`` is the video's colour matrix as ffprobe names it ("" when
    untagged); ``codec`` its codec's ffprobe name.
    """

    duration: float
    has_video: bool
    has_audio: bool
    width: int = 0
    height: int = 0
    rotation: int = 0
    sar: tuple = (1, 1)
    rate: tuple = (0, 1)
    matrix: str = ""
    codec: str = ""


def _ratio(text, separator):
    """(num, den) of "30000/1001" or "16:9"; None for "0/0", "N/A" or nothing."""
    try:
        num, den = (int(part) for part in str(text).split(separator))
    except (TypeError, ValueError):
        return None
    return (num, den) if num > 0 and den > 0 else None


def _rotation(stream):
    for item in stream.get("side_data_list", []):
        if "rotation" in item:
            return int(round(float(item["rotation"])))
    try:
        return int(stream.get("tags", {}).get("rotate", 0))
    except ValueError:
        return 0


_INFO_ENTRIES = (f"stream={','.join(STREAM_FIELDS + _RENDER_FIELDS)}:stream_tags=rotate"
                 ":stream_side_data=rotation")


def media_info(path):
    """A MediaInfo of the first video and first audio stream of a file.

    Raises CalledProcessError when ffprobe cannot read the file.
    """
    target = os.path.abspath(os.fspath(path))
    return _media_info(_ffprobe_json("-show_entries", _INFO_ENTRIES + ":format=duration", target))


def _media_info(data):
    streams = data.get("streams", [])
    video = next((s for s in streams if s.get("codec_type") == "video"
                  and s.get("width") and s.get("height")), None)
    has_audio = any(s.get("codec_type") == "audio" for s in streams)
    duration = _duration(data)
    if video is None:
        return MediaInfo(duration, False, has_audio)
    rate = _ratio(video.get("avg_frame_rate"), "/") or _ratio(video.get("r_frame_rate"), "/")
    return MediaInfo(duration, True, has_audio, int(video["width"]), int(video["height"]),
                     _rotation(video), _ratio(video.get("sample_aspect_ratio"), ":") or (1, 1),
                     rate or (0, 1), str(video.get("color_space", "")), str(video.get("codec_name", "")))


def picture_end(path, duration):
    """Seconds from the start of a file (of ``duration`` seconds) to the end
    of its first video stream's last frame, as its last packets say; NaN
    when it has none. A video track may end well before the file does.

    Raises CalledProcessError when ffprobe cannot read the file.
    """
    target = os.path.abspath(os.fspath(path))
    # Only the packets of the last seconds are read (from the keyframe before them).
    tail = max(0.0, duration - 10.0) if math.isfinite(duration) else 0.0
    data = _ffprobe_json("-select_streams", "v:0", "-read_intervals", f"{tail:.6f}%",
                         "-show_entries", "packet=pts_time,duration_time:format=start_time", target)
    start = _float(data.get("format", {}).get("start_time"), 0.0)
    ends = [_float(p.get("pts_time")) + _float(p.get("duration_time"), 0.0)
            for p in data.get("packets", [])]
    ends = [e for e in ends if math.isfinite(e)]
    return max(ends) - start if ends else math.nan


def _float(text, default=math.nan):
    try:
        value = float(text)
    except (TypeError, ValueError):
        return default
    return value if math.isfinite(value) else default


_SUMMARY_I = re.compile(r"^\s*I:\s*(-?[\d.]+|-inf)\s*LUFS\s*$", re.M)
_SUMMARY_PEAK = re.compile(r"^\s*Peak:\s*(-?[\d.]+|-inf)\s*dBFS\s*$", re.M)


def loudness(path, start=None, duration=None):
    """(integrated loudness in LUFS, true peak in dBTP) of a file's sound,
    as ffmpeg's EBU R128 meter reads it; -inf for silence.

    ``start`` and ``duration`` (seconds) measure a part only. Raises
    CalledProcessError when ffmpeg cannot read the file, ValueError when it
    has no sound.
    """
    target = os.path.abspath(os.fspath(path))
    part = []
    if start is not None:
        part += ["-ss", f"{float(start):.6f}"]
    if duration is not None:
        part += ["-t", f"{float(duration):.6f}"]
    # The meter's summary (ten lines) ends its error output: the kept tail holds it.
    err = children.run(
        ["ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-v", "info", *part, "-i", target,
         "-map", "0:a:0", "-af", "ebur128=peak=true:framelog=verbose", "-f", "null", "-"]).stderr
    summary = err[err.rfind("Summary:"):] if "Summary:" in err else ""
    i, peak = _SUMMARY_I.search(summary), _SUMMARY_PEAK.search(summary)
    if not i or not peak:
        raise ValueError(f"no sound to measure in {target}")
    return float(i.group(1)), float(peak.group(1))


# Containers of single pictures: ffprobe reads them as one-frame "video".
_STILL_FORMATS = ("image2", "_pipe")


def video_problem(path):
    """Why a file is not a video a recap can be made of (no picture that
    moves, no length, unreadable, empty), or None when it is one."""
    return video_check(path)[0]


_CHECK_ENTRIES = "stream_disposition=attached_pic:format=format_name,duration"


def video_check(path):
    """(video_problem's answer, the duration in seconds, NaN when ffprobe
    gives none), from one look at the file."""
    problem, data = _video_look(path, "stream=codec_type,width,height:" + _CHECK_ENTRIES)
    return problem, _duration(data)


def video_info(path):
    """(video_problem's answer, the file's MediaInfo; None when ffprobe
    cannot read it), from one look at the file."""
    problem, data = _video_look(path, _INFO_ENTRIES + ":" + _CHECK_ENTRIES)
    return problem, None if data is None else _media_info(data)


def _duration(data):
    try:
        return float((data or {}).get("format", {}).get("duration", "nan"))
    except ValueError:
        return float("nan")


def _video_look(path, entries):
    """(video_problem's answer, ffprobe's JSON for entries; None when it
    cannot read the file)."""
    target = os.path.abspath(os.fspath(path))
    try:
        if os.path.getsize(target) == 0:
            return "it is empty", None
        data = _ffprobe_json("-show_entries", entries, target)
    except (OSError, children.ChildFailed, ValueError):
        return "ffprobe cannot read it as media", None
    streams = data.get("streams", [])
    form = data.get("format", {})
    # An audio file's cover picture is no video.
    if not any(s.get("codec_type") == "video" and s.get("width")
               and not s.get("disposition", {}).get("attached_pic") for s in streams):
        return "it has no video stream", data
    if any(name in form.get("format_name", "") for name in _STILL_FORMATS):
        return "it is a still image", data
    if not _duration(data) > 0:
        return "it has no duration", data
    return None, data


# The sound's peak level over each hundredth of a second, as astats writes it.
_SPAN_STEP = 480  # samples at 48 kHz
_PEAK_LINE = re.compile(rb"^frame:\d+\s+pts:\d+\s+pts_time:([\d.]+)\s*\n"
                        rb"lavfi\.astats\.Overall\.Peak_level=(-?[\d.]+|-inf)", re.M)


def speech_level(path, threshold_db=-50.0):
    """(integrated loudness in LUFS, -inf for silence; and (start, end) in
    seconds of where the first sound stream rises above ``threshold_db``
    dBFS first and falls below it last, to a hundredth of a second, or None
    where it never does) of a file, in one reading of it.

    Raises CalledProcessError when ffmpeg cannot read the file, ValueError
    when it has no sound.
    """
    target = os.path.abspath(os.fspath(path))
    done = children.run(
        ["ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-v", "info", "-i", target, "-map", "0:a:0",
         # The meter last: its summary ends the error output, the kept tail holds it.
         "-af", f"aresample=48000,asetnsamples=n={_SPAN_STEP}:p=0,astats=metadata=1:reset=1:"
                "measure_perchannel=none:measure_overall=Peak_level,"
                "ametadata=mode=print:key=lavfi.astats.Overall.Peak_level:file=/dev/stdout,"
                "ebur128=framelog=verbose",
         "-f", "null", "-"], capture=True)
    err = done.stderr
    summary = err[err.rfind("Summary:"):] if "Summary:" in err else ""
    i = _SUMMARY_I.search(summary)
    if not i:
        raise ValueError(f"no sound to measure in {target}")
    loud = [float(t) for t, level in _PEAK_LINE.findall(done.stdout)
            if level != b"-inf" and float(level) > threshold_db]
    return float(i.group(1)), (loud[0], loud[-1] + _SPAN_STEP / 48000) if loud else None


_MAX_VOLUME = re.compile(r"max_volume:\s*(-?[\d.]+|-inf)\s*dB")


def peak_level(path, start, duration):
    """The highest sample level in dBFS of a file's first sound stream over
    ``duration`` seconds from ``start``; -inf for digital silence.

    Raises CalledProcessError when ffmpeg cannot read the file, ValueError
    when it has no sound there.
    """
    target = os.path.abspath(os.fspath(path))
    err = children.run(
        ["ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-v", "info", "-ss", f"{float(start):.6f}",
         "-t", f"{float(duration):.6f}", "-i", target, "-map", "0:a:0", "-af", "volumedetect",
         "-f", "null", "-"]).stderr
    found = _MAX_VOLUME.search(err)
    if not found:
        raise ValueError(f"no sound to measure in {target}")
    return float(found.group(1))
