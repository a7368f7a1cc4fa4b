"""The process shell of the analysis: ffmpeg decodes a range as a small
BGR copy, every frame's colour histogram and a few frames a second's faces
and people come from the C++ core (``clipweave.follow._follow``), which
then plans the shots."""
import contextlib
import math
import queue
import threading
from dataclasses import dataclass
from typing import Tuple

from clipweave.model.options import default
from clipweave.system import children
from clipweave.system.probe import media_info
import clipweave.follow._follow as _follow

ANALYSIS_VERSION = _follow.VERSION
# Debian's opencv-data.
CASCADE_DIR = "/usr/share/opencv4/haarcascades"
# Frames searched for faces a second; cuts are looked for in every frame.
SEARCH_RATE = 3.0
# Every frame is decoded for the cuts, at most this many a second.
MAX_RATE = 30.0
# Frames decoded ahead of the search (some 250 kB each).
_READ_AHEAD = 32
# How much of a shot a subject must be seen in for --frame auto to follow it.
AUTO_PRESENCE = 0.5
MODES = ("follow", "auto")


@dataclass(frozen=True)
class FollowShot:
    """One shot of a range. ``start`` and ``end`` are seconds from the
    range's start; ``kind`` is "still", "track" or "blur" (the blur
    framing: no subject, or subjects no window of the output's shape
    holds); ``path`` holds (seconds from the range's start, the window's
    centre as a fraction of the frame along the axis it moves on)."""

    start: float
    end: float
    kind: str
    reason: str
    path: Tuple[Tuple[float, float], ...] = ()

    def as_data(self):
        return [self.start, self.end, self.kind, self.reason, [list(k) for k in self.path]]

    @classmethod
    def from_data(cls, data):
        start, end, kind, reason, path = data
        if kind not in ("still", "track", "blur"):
            raise ValueError(f"not a framing: {kind!r}")
        return cls(float(start), float(end), str(kind), str(reason),
                   tuple((float(t), float(c)) for t, c in path))


def shown_size(info):
    """(width, height) of the source's frame as shown: pixel aspect and rotation applied."""
    width, height = info.width, info.height
    sar = info.sar[0] / info.sar[1] if info.sar and info.sar[0] > 0 and info.sar[1] > 0 else 1.0
    width = max(1, round(width * sar))
    if info.rotation % 180 == 90:
        width, height = height, width
    return width, height


def _frames(source, start, duration, size, rate):
    """Yields each decoded frame (BGR bytes) of the range at size and rate."""
    width, height = size
    frame_bytes = width * height * 3
    # The decoder may skip its deblocking and exactness: the picture is
    # only looked at, small, and that is most of the analysis's time.
    argv = children.ffmpeg("-skip_loop_filter", "all", "-flags2", "fast",
                           "-ss", f"{start:.6f}", "-t", f"{duration:.6f}", "-i", "file:" + source,
                           "-an", "-sn", "-dn", "-vf",
                           f"fps={rate:.6f},scale={width}:{height}:flags=area,setsar=1",
                           "-pix_fmt", "bgr24", "-f", "rawvideo", "pipe:1")
    with children.spawn(argv, stdout=children.PIPE) as child:
        # A thread reads ahead, so ffmpeg decodes while a frame is searched.
        ahead = queue.Queue(maxsize=_READ_AHEAD)

        def read():
            try:
                while True:
                    frame = child.stdout.read(frame_bytes)
                    if len(frame) < frame_bytes:
                        break
                    ahead.put(frame)
            except (OSError, ValueError):
                pass  # the child was stopped: the reader ends with it
            finally:
                ahead.put(None)

        reader = threading.Thread(target=read, name="analysis-frames", daemon=True)
        reader.start()
        ended = False
        try:
            while (frame := ahead.get()) is not None:
                yield frame
            ended = True
        finally:
            if not ended:
                child.kill()  # its reader's read ends with it
            while reader.is_alive():
                with contextlib.suppress(queue.Empty):
                    ahead.get_nowait()
                reader.join(0.05)
        child.wait()


def analyse_range(source, start, end, mode="follow", info=None, cascade_dir=CASCADE_DIR,
                  window=default("aspect")):
    """The shots of source's range [start, end) in seconds, each a FollowShot.

    ``mode`` "follow" follows any subject seen in a shot; "auto" only one
    seen in at least half of it. ``info`` is the source's MediaInfo (probed
    when None). ``window`` is the output frame's shape ("9:16", "1:1", ...):
    the window's. A range without a picture is one blur shot."""
    if mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(MODES)}, got {mode!r}")
    duration = float(end) - float(start)
    if not (math.isfinite(duration) and duration > 0):
        raise ValueError(f"the range {start}..{end} is empty")
    info = info or media_info(source)
    shown = shown_size(info)
    size = _follow.analysis_size(*shown)
    rate = min(MAX_RATE, info.rate[0] / info.rate[1]) if info.rate and info.rate[1] else MAX_RATE
    rate = rate if math.isfinite(rate) and rate >= 1 else MAX_RATE
    every = max(1, round(rate / SEARCH_RATE))
    times, signatures, sampled, found = [], [], [], []
    for i, frame in enumerate(_frames(source, float(start), duration, size, rate)):
        times.append(i / rate)
        signatures.append(_follow.signature(frame, *size))
        if i % every == 0:
            sampled.append(i)
            found.append(_follow.detect(frame, *size, cascade_dir))
    planned = _follow.plan(times, signatures, sampled, found, duration, shown[0] / shown[1],
                           0.0 if mode == "follow" else AUTO_PRESENCE, window)
    return [FollowShot(p["start"], p["end"], p["kind"], p["reason"], tuple(p["path"]))
            for p in planned]


def find_cuts(source, info=None):
    """Seconds from the start of the video file ``source`` at which a new
    shot begins (the cuts the analysis finds, none searched for faces),
    ascending. ``info`` is its MediaInfo (probed when None)."""
    info = info or media_info(source)
    if not info.has_video or not (math.isfinite(info.duration) and info.duration > 0):
        return []
    shown = shown_size(info)
    size = _follow.analysis_size(*shown)
    rate = min(MAX_RATE, info.rate[0] / info.rate[1]) if info.rate and info.rate[1] else MAX_RATE
    rate = rate if math.isfinite(rate) and rate >= 1 else MAX_RATE
    times, signatures = [], []
    for i, frame in enumerate(_frames(source, 0.0, info.duration, size, rate)):
        times.append(i / rate)
        signatures.append(_follow.signature(frame, *size))
    if not times:
        return []
    shots = _follow.plan(times, signatures, [], [], max(info.duration, times[-1] + 1 / rate),
                         shown[0] / shown[1], 0.0)
    return [p["start"] for p in shots[1:]]


def describe(shots):
    """The framing of a range's shots in words: "tracking 0.00-3.20 s; blur 3.20-5.00 s (no face or person found)"."""
    parts = []
    for s in shots:
        what = {"still": "still crop", "track": "tracking crop", "blur": "blur"}[s.kind]
        why = f" ({s.reason})" if s.kind == "blur" else ""
        parts.append(f"{what} {s.start:.2f}-{s.end:.2f} s{why}")
    return "; ".join(parts)
