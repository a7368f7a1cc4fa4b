"""Ranges the editor proposes as a starting point: in each shot (between
the cuts the framing analysis finds) that has sound or motion, the part of
it, up to MAX_LENGTH seconds from its cut, with the most of both.
"""
import math

MIN_LENGTH = 2.0  # a shorter shot is no range of its own
MAX_LENGTH = 8.0
MAX_RANGES = 12
# A shot is active where its mean peak passes -40 dBFS (peaks run 0 to 255)
# or its picture changes by more than this mean grey difference.
SOUND_FLOOR = 255 * 10 ** (-40 / 20)
MOTION_FLOOR = 1.0
_STEP = 0.5  # seconds between the starts a long shot's window is tried at


def _mean(values, rate, start, end):
    part = values[int(start * rate):max(int(start * rate) + 1, int(end * rate))]
    return sum(part) / len(part) if part else 0.0


def suggest(duration, cuts, peaks, peaks_rate, motion, motion_rate, taken=()):
    """[{"start", "end", "sound", "motion"}] in seconds, in time order, at
    most MAX_RANGES (the most active), none overlapping a range of
    ``taken`` ((start, end) pairs). ``peaks``: the waveform's bytes,
    ``motion``: the picture's change, each at its rate a second."""
    if not (math.isfinite(duration) and duration > 0):
        return []
    bounds = [0.0] + [c for c in cuts if 0 < c < duration] + [duration]
    # The change across a cut is no motion: the first sample after each is dropped.
    motion = list(motion)
    for cut in bounds[1:-1]:
        after = math.ceil(cut * motion_rate - 1e-6)
        if after < len(motion):
            motion[after] = 0.0
    found = []
    for first, last in zip(bounds, bounds[1:]):
        if last - first < MIN_LENGTH:
            continue
        length = min(MAX_LENGTH, last - first)
        best = None
        start = first
        while start + length <= last + 1e-9:
            sound = _mean(peaks, peaks_rate, start, start + length)
            moving = _mean(motion, motion_rate, start, start + length)
            score = sound / SOUND_FLOOR + moving / MOTION_FLOOR
            if best is None or score > best[0] + 1e-9:
                best = (score, start, sound, moving)
            start += _STEP
        score, start, sound, moving = best
        if sound < SOUND_FLOOR and moving < MOTION_FLOOR:
            continue
        end = start + length
        if any(start < b and a < end for a, b in taken):
            continue
        found.append((score, {"start": round(start, 3), "end": round(end, 3),
                              "sound": round(sound / 255, 3), "motion": round(moving, 2)}))
    kept = sorted(found, key=lambda f: -f[0])[:MAX_RANGES]
    return sorted((r for _, r in kept), key=lambda r: r["start"])
