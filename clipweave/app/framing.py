"""The subject-following framing of a run (``--frame follow`` or ``auto``,
or a segment's own "frame"): every such segment's range analysed in a
thread while the narrations are made, through the cache, so a resumed run
does not analyse again; then one look for all of them
(clipweave.follow.look).

A segment whose analysis fails is framed with the blur framing and a note
says why: the recap is made all the same.
"""
import dataclasses
import hashlib
import math
import os
import threading

from clipweave.app.cache import key
from clipweave.follow import ANALYSIS_VERSION, FollowShot, analyse_range, describe, face_search
from clipweave.follow.look import WHOLE, one_look
from clipweave.model.options import default, option
from clipweave.system.children import ChildFailed
from clipweave.system.probe import media_info, picture_end

# The framings the analysis makes; the studio core draws the others.
FOLLOW_FRAMES = option("frame").elsewhere
# The content of the video, not its name: a file edited in place is analysed anew.
_IDENTITY_BYTES = 1 << 20
# A clip that runs on past its range by no more than this keeps the range's analysis.
_RUN_ON_SLACK = 0.05
# How often the lengths of clips not yet analysed are looked at, seconds.
_LENGTH_POLL = 0.05
# The render's tolerance on where a clip meets the end of the picture.
_END_TOLERANCE = 0.0005


def on_output(shots, timing):
    """The shots of a segment's clip as the finished video shows them: each
    a FollowShot with ``out_start`` and ``out_end`` beside it, in seconds of
    the video (``timing``: the render's SegmentTiming), cut to the clip's
    true length (a clip may end before the length analysed: 0.5 s after its
    narration where the source is silent); a shot past the clip's end is
    left out. The shots' own times stay seconds from the clip's start."""
    length = timing.source_end - timing.source_start
    scale = (timing.out_end - timing.out_start) / length if length > 0 else 0.0
    shown = [dataclasses.replace(s, end=min(s.end, length)) for s in shots if s.start < length]
    if shown:  # the last framing holds to the clip's end
        shown[-1] = dataclasses.replace(shown[-1], end=length)
    return [(s, timing.out_start + s.start * scale, timing.out_start + s.end * scale)
            for s in shown]


def video_identity(path):
    """The video's size and a hash of its first and last MiB."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        digest.update(f.read(_IDENTITY_BYTES))
        if size > _IDENTITY_BYTES:
            f.seek(max(_IDENTITY_BYTES, size - _IDENTITY_BYTES))
            digest.update(f.read(_IDENTITY_BYTES))
    return f"{size}:{digest.hexdigest()}"


def frame_of(segment, frame):
    """The framing of a segment in a run of ``frame``: its own, else the run's."""
    return getattr(segment, "frame", None) or frame


def followed(segments, frame):
    """Whether any segment of a run of ``frame`` is framed by following."""
    return any(frame_of(s, frame) in FOLLOW_FRAMES for s in segments)


def render_frames(segments, frame):
    """(frame, frames) for the render: the framing of the segments not
    followed, and per segment its own where that differs ("" elsewhere)."""
    base = "blur" if frame in FOLLOW_FRAMES else frame
    # A followed segment not analysed keeps the blur framing.
    own = ["blur" if f in FOLLOW_FRAMES else f for f in (frame_of(s, frame) for s in segments)]
    return base, (None if all(f == base for f in own) else own)


class FramingAnalysis:
    """The shots of every followed segment, looked at in a thread of its own.

    ``start()`` begins; ``shots(lengths)`` waits and gives, per segment, its
    FollowShots over ``lengths[i]`` seconds from its start (a clip whose
    length was not known to ``length_of`` is analysed then); ``notes(timings)``
    says per segment which framing each shot got, in seconds of the video;
    ``stop()`` ends the thread."""

    def __init__(self, source_file, segments, mode, cache, length_of=None,
                 aspect=default("aspect")):
        self.source_file = source_file
        self.segments = segments
        # Per segment, "follow" or "auto", or None: not followed.
        self.modes = [m if m in FOLLOW_FRAMES else None for m in (frame_of(s, mode) for s in segments)]
        self.cache = cache
        self.aspect = aspect  # the output's shape: the window's
        # Seconds the clip of segment i will show, or None until its
        # narration is measured: each clip is analysed once, over its
        # whole length, as soon as that is known.
        self.length_of = length_of or (lambda i: segments[i].end - segments[i].start)
        self._shown = []  # per segment, its FollowShots, why it was not analysed, or None
        self.look = None  # one_look's: the look and the framed share it was decided by
        self.share = 0.0
        self._found = {}  # (index, length) -> list of FollowShot, or an error text
        self._thread = None
        self._stopping = threading.Event()
        self._settled = threading.Event()  # a length unknown now stays unknown
        self._info = None
        self._identity = None
        self._picture = None

    def start(self):
        self._thread = threading.Thread(target=self._all, name="framing", daemon=True)
        self._thread.start()

    def stop(self):
        """Analyses nothing more (the run is ending) and waits for the thread."""
        self._stopping.set()
        if self._thread is not None:
            self._thread.join()

    def _all(self):
        waiting = [i for i, m in enumerate(self.modes) if m is not None]
        while waiting and not self._stopping.is_set():
            for i in waiting:
                length = self.length_of(i)
                if length is not None:
                    waiting.remove(i)
                    self._analyse(i, length)
                    break
            else:
                if self._settled.is_set():
                    return
                self._stopping.wait(_LENGTH_POLL)

    def clip_start(self, index, length):
        """Where the render starts the clip: its range's start, or earlier
        where the clip would otherwise run past the end of the picture."""
        start = self.segments[index].start
        if start + length > self._picture + _END_TOLERANCE:
            start = max(0.0, self._picture - length)
        return start

    def _analyse(self, index, length):
        try:
            if self._info is None:
                self._info = media_info(self.source_file)
                self._identity = video_identity(self.source_file)
                end = picture_end(self.source_file, self._info.duration)
                self._picture = (min(end, self._info.duration) if end > 0 and math.isfinite(end)
                                 else self._info.duration)
            start = self.clip_start(index, length)
            entry = key("follow", ANALYSIS_VERSION, face_search()[0], self._identity, round(start, 6),
                        round(length, 6), self.modes[index], self.aspect)
            shots = self._cached(entry)
            if shots is None:
                shots = analyse_range(self.source_file, start, start + length, self.modes[index], self._info,
                                      window=self.aspect)
                self.cache.store_data("follow", entry, [s.as_data() for s in shots])
        except (OSError, ValueError, RuntimeError, ChildFailed) as e:
            shots = f"{e}".splitlines()[0] if f"{e}" else type(e).__name__
        self._found[(index, length)] = shots

    def _cached(self, entry):
        data = self.cache.fetch_data("follow", entry)
        try:
            return None if data is None else [FollowShot.from_data(d) for d in data]
        except (TypeError, ValueError):
            return None

    def shots(self, lengths):
        """Per segment, its FollowShots in the short's one look, or None where
        it is not followed or falls back to the blur framing."""
        self._settled.set()
        self._thread.join()
        self._shown = []
        for i, seg in enumerate(self.segments):
            if self.modes[i] is None:
                self._shown.append(None)
                continue
            length = lengths[i]
            if (i, length) not in self._found:
                ranged = seg.end - seg.start
                # A clip that runs on a hair past its range keeps its range's analysis.
                if length <= ranged + _RUN_ON_SLACK and (i, ranged) in self._found:
                    length = ranged
                else:
                    self._analyse(i, length)
            self._shown.append(self._found[(i, length)])
        self.look, self.share, looked = one_look([None if isinstance(f, str) else f for f in self._shown])
        self._shown = [f if isinstance(f, str) else shots for f, shots in zip(self._shown, looked)]
        return [None if isinstance(found, str) else found for found in self._shown]

    def notes(self, timings):
        """Per segment, the framing of each of its shots, in seconds of the
        finished video (``timings``: the render's SegmentTimings), or why it
        kept the blur framing."""
        notes = []
        how, why = face_search()
        if how != "model":
            notes.append(f"framing: {why}")
        if self.look == WHOLE:
            notes.append(f"framing: every followed segment shows the whole picture over its blurred fill, "
                         f"one look for the short: subjects were framed in only {self.share:.0%} of it")
        for i, (found, timing) in enumerate(zip(self._shown, timings), 1):
            if found is None:
                continue
            if isinstance(found, str):
                notes.append(f"segment {i}: framing not analysed ({found}); blur framing")
                continue
            shown = [dataclasses.replace(s, start=a, end=b) for s, a, b in on_output(found, timing)]
            notes.append(f"segment {i}: {describe(shown)}")
        return notes
