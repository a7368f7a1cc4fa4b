"""One look per short: the segments framed by following (--frame follow or
auto, or a segment's own "frame") are all cropped, or all shown whole over
the blurred fill, as their analyses decide together.

A short whose subjects are framed (a still, tracking or wide window) over
at least LOOK_SHARE of the followed segments' length is cropped: a shot
without a subject shows the middle of the picture, a shot whose subjects
take nearly the whole picture stays whole over the fill (a window as wide
as the picture). Otherwise every shot of them is shown whole over the fill.
"""
import dataclasses

# The share of the followed segments' length whose subjects must be framed
# for the short to be cropped.
LOOK_SHARE = 0.5
CROPPED, WHOLE = "cropped", "whole"


def framed_share(segments):
    """The share of the length of ``segments`` (each a list of FollowShots)
    whose shots frame their subjects (a blur shot of subjects too wide for
    any window, width 1, among them); 0 for none."""
    total = framed = 0.0
    for shots in segments:
        for s in shots:
            length = max(0.0, s.end - s.start)
            total += length
            framed += length if s.kind != "blur" or s.width > 0 else 0.0
    return framed / total if total > 0 else 0.0


def one_look(segments):
    """(look, share, segments): CROPPED or WHOLE, the framed share it was
    decided by, and ``segments`` (each a list of FollowShots, or None:
    not analysed, shown whole) with their shots in that look."""
    analysed = [shots for shots in segments if shots is not None]
    share = framed_share(analysed)
    look = CROPPED if share >= LOOK_SHARE and analysed else WHOLE

    def in_look(s):
        if look == WHOLE:
            if s.kind == "blur":
                return s
            return dataclasses.replace(s, kind="blur", path=((s.start, 0.5),), width=0.0,
                                       reason=f"one look: subjects framed in only {share:.0%} of the short")
        if s.kind == "blur" and not s.width:
            return dataclasses.replace(s, kind="still", path=((s.start, 0.5),), width=0.0,
                                       reason=f"{s.reason}: the middle of the picture")
        return s

    return look, share, [None if shots is None else [in_look(s) for s in shots] for shots in segments]
