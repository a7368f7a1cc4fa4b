"""Subject-following framing: each clip's range is looked at on a small
copy (faces, people, shot cuts) and every shot gets a window of the
output frame's shape, still or on a smooth path, or the blur framing.

    from clipweave.follow import analyse_range
    shots = analyse_range("source.mp4", 12.0, 18.5, mode="follow")
    shots[0].kind, shots[0].path   # "track", ((0.0, 0.31), (0.25, 0.33), ...)
"""
from clipweave.follow.analyse import (
    ANALYSIS_VERSION,
    CASCADE_DIR,
    FollowShot,
    analyse_range,
    describe,
    face_search,
    find_cuts,
)

__all__ = ["ANALYSIS_VERSION", "CASCADE_DIR", "FollowShot", "analyse_range", "describe", "face_search", "find_cuts"]
