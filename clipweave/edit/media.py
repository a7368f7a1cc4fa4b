"""What the editor shows of the source, made once and kept in the cache:

- the browser copy: H.264 at 480 lines (or the source's height where
  smaller), AAC, a keyframe every 0.5 s so that a seek lands at once;
- the waveform: the peak of the sound every 10 ms, a byte each;
- a strip of thumbnails, one JPEG, tiles side by side at a fixed step;
- motion: how much the picture changes every 0.5 s;
- the shot cuts, as the framing analysis finds them (clipweave.follow).

Each is made in a thread of its own, in that order (the waveform first: it
needs only the sound), into the editor's session folder, and taken from
the cache (kind "editor", and "strips" for the thumbnails) when an earlier
session made it from the same video, by its content. ffmpeg runs through
clipweave.system.children, so ``stop`` ends what is in flight.
"""
import array
import base64
import math
import os
import sys
import threading

from clipweave.app.cache import key
from clipweave.system import children
from clipweave.system.probe import probe, video_problem

# Bump when what any part holds, or how it is made, changes.
VERSION = 2
COPY_LINES = 480
KEYFRAME_EVERY = 0.5
PEAKS_RATE = 100  # waveform values a second
_PEAK_SAMPLE_RATE = 8000
STRIP_HEIGHT = 72  # pixels of a thumbnail
MAX_TILES = 240
MOTION_RATE = 2  # values a second: one a keyframe of the copy
_MOTION_SIZE = (32, 18)
PARTS = ("waveform", "copy", "strip", "motion", "cuts")


class _Stopped(Exception):
    pass


class Part:
    """One thing made: its state ("waiting", "making", "ready", "failed"),
    progress (0 to 1) and error."""

    def __init__(self):
        self.state = "waiting"
        self.progress = 0.0
        self.error = None
        self.value = None  # the data, for the parts that are data

    def as_json(self):
        return {"state": self.state, "progress": round(self.progress, 3), "error": self.error}


def copy_arguments(source, target):
    """ffmpeg's arguments for the browser copy of source at target."""
    lines = f"trunc(min({COPY_LINES},ih)/2)*2"
    # The shown shape: pixel aspect applied (setsar=1), rotation by ffmpeg itself.
    # Decoding the source is most of the cost, so everything else is the
    # cheapest that still looks right at 480 lines (each measured on 2 cores,
    # docs/performance.md): H.264's loop filter skipped while decoding (its
    # blocks vanish in the downscale), fast_bilinear (half bilinear's cost),
    # a constant quantiser (CRF estimates every frame's cost on a half-size
    # copy first), and AAC's fast coder without the mid/side search, which
    # cost four times the rest of the sound's encoding.
    scale = f"scale='trunc({lines}*iw*sar/ih/2)*2':'{lines}':flags=fast_bilinear,setsar=1,format=yuv420p"
    return children.ffmpeg(
        "-y", "-skip_loop_filter", "all", "-i", "file:" + source,
        "-map", "0:v:0", "-map", "0:a:0?", "-sn", "-dn",
        "-vf", scale, "-c:v", "libx264", "-preset", "ultrafast", "-qp", "26",
        "-force_key_frames", f"expr:gte(t,n_forced*{KEYFRAME_EVERY})",
        "-c:a", "aac", "-aac_coder", "fast", "-aac_ms", "0", "-b:a", "128k", "-ac", "2",
        "-movflags", "+faststart", "-progress", "pipe:1", "-nostats", "-f", "mp4", "file:" + target)


class Media:
    """The parts of one source (``info``: its MediaInfo), made into
    ``folder`` through ``cache``."""

    def __init__(self, source, info, cache, folder):
        self.source = source
        self.info = info
        self.cache = cache
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.parts = {name: Part() for name in PARTS}
        self.copy = os.path.join(folder, "copy.mp4")
        self.strip = os.path.join(folder, "strip.jpg")
        self._stopping = threading.Event()
        self._child = None
        self._lock = threading.Lock()
        self._thread = None
        self._identity = None
        self.ready = threading.Event()  # every part made or failed

    def start(self):
        self._thread = threading.Thread(target=self._make_all, name="editor-media", daemon=True)
        self._thread.start()

    def stop(self):
        self._stopping.set()
        with self._lock:
            child = self._child
        if child is not None:
            child.kill()
        if self._thread is not None:
            self._thread.join()

    def status(self):
        return {name: part.as_json() for name, part in self.parts.items()}

    def value(self, name):
        """The data of a part that is ready, or None."""
        part = self.parts[name]
        return part.value if part.state == "ready" else None

    # --- making ------------------------------------------------------------------

    def _make_all(self):
        # Imported here, in the media's thread: the follow analysis's modules
        # load beside the server's start rather than before it.
        from clipweave.app.framing import video_identity

        try:
            self._identity = video_identity(self.source)
        except OSError as e:
            for part in self.parts.values():
                part.state, part.error = "failed", f"cannot read the source: {e.strerror or e}"
            self.ready.set()
            return
        makers = {"waveform": self._waveform, "copy": self._copy, "strip": self._strip,
                  "motion": self._motion, "cuts": self._cuts}
        for name in PARTS:
            part = self.parts[name]
            if self._stopping.is_set():
                break
            if name != "waveform" and name != "copy" and self.parts["copy"].state != "ready":
                part.state, part.error = "failed", "the browser copy could not be made"
                continue
            part.state = "making"
            try:
                makers[name](part)
                part.state, part.progress = "ready", 1.0
            except _Stopped:
                break
            except (OSError, ValueError, RuntimeError, children.ChildFailed) as e:
                if self._stopping.is_set():
                    break
                part.state = "failed"
                part.error = (str(e).splitlines() or [type(e).__name__])[0]
                if isinstance(e, children.ChildFailed) and e.stderr_tail:
                    part.error = e.stderr_tail[-1]
        self.ready.set()

    def _key(self, name, *more):
        return key("editor", name, VERSION, self._identity, *more)

    def _run(self, argv, on_line=None, capture=False):
        """Runs ffmpeg through children, stoppable; its output when capture."""
        if self._stopping.is_set():
            raise _Stopped
        with children.spawn(argv, stdout=children.PIPE) as child:
            with self._lock:
                self._child = child
            try:
                if capture:
                    out = child.stdout.read()
                else:
                    out = None
                    for raw in child.stdout:
                        if on_line is not None:
                            on_line(raw.decode("ascii", "replace").strip())
                code = child.wait(check=False)
            finally:
                with self._lock:
                    self._child = None
        if self._stopping.is_set():
            raise _Stopped
        if code != 0:
            raise children.ChildFailed(code, argv, child.stderr_tail)
        return out

    def _data(self, name, make, *more):
        """A data part through the cache: make() when it is not there."""
        entry = self._key(name, *more)
        kept = self.cache.fetch_data("editor", entry)
        if kept is not None:
            return kept
        value = make()
        self.cache.store_data("editor", entry, value)
        return value

    def _waveform(self, part):
        def make():
            if not self.info.has_audio:
                return {"rate": PEAKS_RATE, "peaks": ""}
            pcm = self._run(children.ffmpeg("-i", "file:" + self.source, "-map", "0:a:0", "-vn",
                                            "-ac", 1, "-ar", _PEAK_SAMPLE_RATE, "-f", "s16le",
                                            "pipe:1"), capture=True)
            return {"rate": PEAKS_RATE, "peaks": base64.b64encode(peaks(pcm)).decode("ascii")}

        value = self._data("waveform", make)
        part.value = {"rate": value["rate"], "peaks": base64.b64decode(value["peaks"])}

    def _copy(self, part):
        entry = self._key("copy")
        if self.cache.fetch("editor", entry, self.copy,
                            check=lambda path: video_problem(path) is None):
            return
        partial = self.copy + ".part"
        duration = self.info.duration if math.isfinite(self.info.duration) else 0.0

        def progress(line):
            name, _, value = line.partition("=")
            if name == "out_time_us" and duration > 0:
                try:
                    part.progress = min(1.0, max(0, int(value)) / 1e6 / duration)
                except ValueError:
                    pass

        self._run(copy_arguments(self.source, partial), on_line=progress)
        os.replace(partial, self.copy)
        self.cache.store("editor", entry, self.copy)

    def _strip(self, part):
        duration = self.info.duration if math.isfinite(self.info.duration) else 0.0
        # A whole number of keyframe steps between tiles, MAX_TILES at most.
        step = max(1.0, math.ceil(duration / MAX_TILES / KEYFRAME_EVERY) * KEYFRAME_EVERY)
        tiles = max(1, math.ceil(duration / step))
        entry = self._key("strip", step, STRIP_HEIGHT)
        meta = None
        if self.cache.fetch("strips", entry, self.strip):
            meta = self.cache.fetch_data("strips", entry)
            if meta is None:
                os.unlink(self.strip)
        if meta is None:
            self._run(children.ffmpeg(
                "-y", "-skip_frame", "nokey", "-i", "file:" + self.copy, "-an",
                "-vf", f"fps=1/{step},scale=-2:{STRIP_HEIGHT},tile={tiles}x1",
                "-frames:v", 1, "-q:v", 5, "file:" + self.strip))
            width = int(probe(self.strip)[0]["video"]["width"])
            meta = {"step": step, "tiles": tiles, "width": width // tiles,
                    "height": STRIP_HEIGHT}
            self.cache.store("strips", entry, self.strip)
            self.cache.store_data("strips", entry, meta)
        part.value = meta

    def _motion(self, part):
        def make():
            width, height = _MOTION_SIZE
            raw = self._run(children.ffmpeg(
                "-skip_frame", "nokey", "-i", "file:" + self.copy, "-an",
                "-vf", f"fps={MOTION_RATE},scale={width}:{height}:flags=area,format=gray",
                "-f", "rawvideo", "pipe:1"), capture=True)
            return {"rate": MOTION_RATE, "values": motion(raw, width * height)}

        part.value = self._data("motion", make)

    def _cuts(self, part):
        from clipweave.follow import find_cuts

        part.value = self._data("cuts", lambda: [round(t, 3) for t in find_cuts(self.copy)])


def peaks(pcm):
    """The peak of each 10 ms of mono signed 16-bit samples at 8 kHz, as
    bytes from 0 (silence) to 255 (full scale)."""
    samples = array.array("h")
    samples.frombytes(pcm[:len(pcm) - len(pcm) % 2])
    if sys.byteorder != "little":
        samples.byteswap()
    step = _PEAK_SAMPLE_RATE // PEAKS_RATE
    out = bytearray()
    for i in range(0, len(samples), step):
        chunk = samples[i:i + step]
        out.append(min(255, max(max(chunk), -min(chunk)) * 255 // 32767))
    return bytes(out)


def motion(raw, size):
    """How much each small grey frame differs from the one before, as the
    mean difference of its pixels (0 to 255); the first frame's is 0."""
    frames = [raw[i:i + size] for i in range(0, len(raw) - size + 1, size)]
    values = [0.0] * min(1, len(frames))
    for before, now in zip(frames, frames[1:]):
        values.append(round(sum(abs(a - b) for a, b in zip(before, now)) / size, 2))
    return values
