"""The JSON document of a successful run (``--json``)."""
import math
import subprocess

from clipweave.app.framing import on_output
from clipweave.app.narration import narration_file
from clipweave.app.request import CAPTIONS, FINAL, HORIZONTAL
from clipweave.system.probe import probe


def _number(value):
    return None if value is None or not math.isfinite(value) else round(value, 3)


def report(segments, narration_seconds, work, published, studio=None, framing=None):
    """The document: the published results, the final video's duration and
    size in pixels (as measured; None where unreadable) and,
    per segment, its range and its narration's length; ``studio`` (the
    studio render's result) adds the captions, every word heard with its
    times and segment, and each segment's note and place in the video.
    ``narration_seconds``: {narration file in ``work``: seconds}. ``framing``
    (``--frame follow`` or ``auto``), per segment its FollowShots or None,
    adds each segment's ``"framing"``: its shots with the framing each got
    ("still", "track" or "blur") and why, in seconds from the clip's start
    and of the video, over the clip's true length."""
    final = published[FINAL]
    try:
        streams, duration = probe(final)
    except (OSError, subprocess.CalledProcessError, ValueError):
        streams, duration = {}, math.nan
    video = streams.get("video", {})
    entries = [{"start": seg.start_text, "end": seg.end_text,
                "narration_seconds": _number(narration_seconds.get(narration_file(work, i)))}
               for i, seg in enumerate(segments)]
    document = {"final": final, "horizontal": published.get(HORIZONTAL),
                "duration": _number(duration), "width": video.get("width"),
                "height": video.get("height"), "segments": entries}
    if studio is not None:
        document["captions"] = published.get(CAPTIONS)
        for entry, timing in zip(entries, studio.segments):
            entry["note"] = timing.note
            entry["out_start"] = _number(timing.out_start)
            entry["out_end"] = _number(timing.out_end)
        for entry, shots, timing in zip(entries, framing or (), studio.segments):
            entry["framing"] = [{"start": _number(s.start), "end": _number(s.end),
                                 "out_start": _number(a), "out_end": _number(b),
                                 "framing": s.kind, "reason": s.reason}
                                for s, a, b in on_output(shots or (), timing)]
        document["words"] = [{"text": text, "start": _number(start), "end": _number(end),
                              "segment": segment}
                             for text, start, end, segment in studio.words]
    return document
