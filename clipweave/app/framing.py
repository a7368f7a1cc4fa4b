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
import os
import threading

from clipweave.app.cache import key
from clipweave.follow import ANALYSIS_VERSION, FollowShot, analyse_range, describe, face_search
from clipweave.follow.look import WHOLE, one_look
from clipweave.model.options import default, option
from clipweave.system.children import ChildFailed
from clipweave.system.probe import media_info

# The framings the analysis makes; the studio core draws the others.
FOLLOW_FRAMES = option("frame").elsewhere
# The content of the video, not its name: a file edited in place is analysed anew.
_IDENTITY_BYTES = 1 << 20
# A clip that shows no more than this past what was analysed from its start keeps that analysis.
_RUN_ON_SLACK = 0.05
# How often the places of clips not yet analysed are looked at, seconds.
_PLACE_POLL = 0.05
# Clips analysed at once: one's decoder starts and ends, and its searches
# wait for frames, while the other's keep the cores busy.
_AT_ONCE = 2


def on_output(shots, timing):
    """The shots of a segment's clip as the finished video shows them: each
    a FollowShot with ``out_start`` and ``out_end`` beside it, in seconds of
    the video (``timing``: the render's SegmentTiming), cut to the clip's
    true length (a clip may end before the length analysed: a short pause
    after its narration where the source is silent); a shot past the clip's end is
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
    """The shots of every followed segment, looked at in threads of their
    own (two clips at once).

    ``start()`` begins; ``shots(places)`` waits and gives, per segment, its
    FollowShots over the source its clip shows, ``places[i]`` = (start,
    seconds) as the render placed it (a clip whose place ``place_of`` did
    not know is analysed then); ``notes(timings)`` says per segment which
    framing each shot got, in seconds of the video; ``stop()`` ends the
    threads."""

    def __init__(self, source_file, segments, mode, cache, place_of=None,
                 aspect=default("aspect")):
        self.source_file = source_file
        self.segments = segments
        # Per segment, "follow" or "auto", or None: not followed.
        self.modes = [m if m in FOLLOW_FRAMES else None for m in (frame_of(s, mode) for s in segments)]
        self.cache = cache
        self.aspect = aspect  # the output's shape: the window's
        # (start, seconds) of the source the clip of segment i shows (the
        # render's plan: clipweave.studio.ClipPlaces), or None until that
        # is settled: each clip is analysed once, where it is shown, as
        # soon as that is known.
        self.place_of = place_of or (lambda i: (segments[i].start, segments[i].end - segments[i].start))
        self._shown = []  # per segment, its FollowShots, why it was not analysed, or None
        self.look = None  # one_look's: the look and the framed share it was decided by
        self.share = 0.0
        self._found = {}  # (index, start, seconds) -> list of FollowShot, or an error text
        self._thread = None
        self._stopping = threading.Event()
        self._settled = threading.Event()  # a length unknown now stays unknown
        self._info = None
        self._identity = None
        self._source_lock = threading.Lock()

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
        running = []
        try:
            while waiting and not self._stopping.is_set():
                running = [t for t in running if t.is_alive()]
                if len(running) >= _AT_ONCE:
                    running[0].join(_PLACE_POLL)
                    continue
                for i in waiting:
                    try:
                        place = self.place_of(i)
                    except (OSError, ValueError, RuntimeError, ChildFailed):
                        place = None  # the render will say what is wrong
                    if place is not None:
                        waiting.remove(i)
                        one = threading.Thread(target=self._analyse, args=(i, *place), name="framing clip",
                                               daemon=True)
                        one.start()
                        running.append(one)
                        break
                else:
                    if self._settled.is_set():
                        return
                    self._stopping.wait(_PLACE_POLL)
        finally:
            for one in running:
                one.join()

    def _source(self):
        """The source's MediaInfo and identity, found once."""
        with self._source_lock:
            if self._info is None:
                info = media_info(self.source_file)
                self._identity = video_identity(self.source_file)
                self._info = info
            return self._info, self._identity

    def _analyse(self, index, start, length):
        try:
            info, identity = self._source()
            entry = key("follow", ANALYSIS_VERSION, face_search()[0], identity, round(start, 6),
                        round(length, 6), self.modes[index], self.aspect)
            shots = self._cached(entry)
            if shots is None:
                shots = analyse_range(self.source_file, start, start + length, self.modes[index], info,
                                      window=self.aspect)
                self.cache.store_data("follow", entry, [s.as_data() for s in shots])
        except (OSError, ValueError, RuntimeError, ChildFailed) as e:
            shots = f"{e}".splitlines()[0] if f"{e}" else type(e).__name__
        self._found[(index, start, length)] = shots

    def _cached(self, entry):
        data = self.cache.fetch_data("follow", entry)
        try:
            return None if data is None else [FollowShot.from_data(d) for d in data]
        except (TypeError, ValueError):
            return None

    def shots(self, places):
        """Per segment, its FollowShots in the short's one look, or None where
        it is not followed or falls back to the blur framing."""
        self._settled.set()
        self._thread.join()
        self._shown = []
        for i, (start, length) in enumerate(places):
            if self.modes[i] is None:
                self._shown.append(None)
                continue
            # An analysis from the clip's start over at least what it shows
            # (less a hair) serves: on_output cuts it to the clip.
            done = [key for key in self._found
                    if key[0] == i and key[1] == start and key[2] >= length - _RUN_ON_SLACK]
            if not done:
                self._analyse(i, start, length)
                done = [(i, start, length)]
            self._shown.append(self._found[done[0]])
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
