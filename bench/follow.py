"""The subject-following framing's two figures.

  * cost: the analysis's time ÷ the render's time on the studio benchmark
    job (bench/studio.py: twelve 5-second segments of a 2-minute 1080p
    30 fps source, through the command line's own run with --frame
    follow). The analysis is timed alone, as the run makes it (two clips
    at once, the source probed once) with nothing else running, and inside
    the run, where it shares the cores with the narrations' own work; and
    the whole run with --frame follow against the blur framing's;
  * quality: on a generated shot where a face crosses the frame (the test
    suite's source, made from a photograph Debian ships), the share of
    frames that show the whole face and the jitter of its place in the
    output (mean absolute second difference, pixels per frame²), found by
    the face's grey levels and by the patch's coloured sides, beside the
    centre crop's.

    .venv/py310/bin/python bench/follow.py [--quick] [--cache DIR]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests")]

import studio as studio_bench  # noqa: E402
import follow_media as fm  # noqa: E402
from clipweave.app import framing  # noqa: E402
from clipweave.app.cache import Cache  # noqa: E402
from clipweave.follow import analyse_range  # noqa: E402
from clipweave.model.segments import Segment  # noqa: E402
from clipweave.studio import render_studio  # noqa: E402
from studio_media import narration  # noqa: E402


def cost(cache, quick):
    """(analysis alone, analysis during the run, blur job, follow job): each
    job as (wall seconds, render seconds)."""
    c = studio_bench.QUICK if quick else studio_bench.FULL
    os.makedirs(cache, exist_ok=True)
    video = studio_bench.source(cache, c["short"], c["size"], c["rate"])
    spans = []
    analyse = framing.analyse_range

    def timed(*args, **kwargs):
        started = time.perf_counter()
        try:
            return analyse(*args, **kwargs)
        finally:
            spans.append((started, time.perf_counter()))

    with tempfile.TemporaryDirectory(prefix="clipweave-bench-") as work:
        segments = studio_bench.segments_file(work, c["short"], c["segments"], c["length"])
        blur = studio_bench.run_job(video, segments, c["delay"])
        framing.analyse_range = timed
        try:
            follow = studio_bench.run_job(video, segments, c["delay"], frame="follow")
        finally:
            framing.analyse_range = analyse
        # The same ranges again with nothing else running, as the run looks
        # at them (its clips two at once, the source probed once), its
        # cache empty: the analysis's own cost.
        with open(segments) as f:
            segs = [Segment(float(s["start"]), float(s["end"]), s["start"], s["end"], s["voiceover"])
                    for s in json.load(f)]
        started = time.perf_counter()
        analysis = framing.FramingAnalysis(video, segs, "follow", Cache(os.path.join(work, "cache")))
        analysis.start()
        analysis.shots([(s.start, s.end - s.start) for s in segs])
        alone = time.perf_counter() - started
    return alone, covered(spans), blur, follow


def covered(spans):
    """The seconds covered by (start, end) spans that may overlap."""
    total, reach = 0.0, float("-inf")
    for start, end in sorted(spans):
        total += max(0.0, end - max(start, reach))
        reach = max(reach, end)
    return total


def face_figures(path, scale, crossing_frames):
    """(share of the crossing's frames showing the whole face, jitter) of a render."""
    sides = fm.patch_sides(path, 907, scale=scale)[:crossing_frames]
    whole, places = 0, []
    for left, right in sides:
        patch = left if left is not None else (right - fm.PATCH * scale if right is not None else None)
        if patch is None:
            places.append(None)
            continue
        face = patch + fm.FACE_X * scale
        whole += face >= 0 and face + fm.FACE_W * scale <= 1080
        places.append(face)
    jumps = [abs(c - 2 * b + a) for a, b, c in zip(places, places[1:], places[2:])
             if None not in (a, b, c)]
    return whole / len(sides), (sum(jumps) / len(jumps) if jumps else float("nan"))


def luma_rows(path, row, height=64):
    """Per frame, the output's grey level along a band of ``height`` rows
    centred on ``row``, averaged down to one row of 1080 values."""
    out = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-vf",
                          f"crop=iw:{height}:0:{row - height // 2},scale=1080:1:flags=area,format=gray",
                          "-f", "rawvideo", "pipe:1"], capture_output=True, check=True).stdout
    return [out[i:i + 1080] for i in range(0, len(out) - 1079, 1080)]


def luma_jitter(path, scale, crossing_frames):
    """The jitter of the face's place measured on its picture (grey levels,
    what the eye follows) rather than on the patch's coloured sides, whose
    halved chroma moves by half a pixel with the crop's parity: each frame's
    face is found in the next by the shift that matches it best (to a tenth
    of a pixel), and the shifts' changes are averaged."""
    sides = fm.patch_sides(path, 907, scale=scale)[:crossing_frames]
    rows = luma_rows(path, 907)[:crossing_frames]
    reach = 48
    shifts = []
    for k in range(1, len(rows)):
        left, right = sides[k - 1]
        left = left if left is not None else (right - fm.PATCH * scale if right is not None else None)
        if left is None:
            shifts.append(None)
            continue
        lo = int(left + (fm.FACE_X + 10) * scale)
        hi = int(left + (fm.FACE_X + fm.FACE_W - 10) * scale)
        if lo - reach < 0 or hi + reach > 1080:
            shifts.append(None)
            continue
        a, b = rows[k - 1], rows[k]
        cost = [sum(abs(a[x] - b[x + d]) for x in range(lo, hi, 2)) for d in range(-reach, reach + 1)]
        best = min(range(len(cost)), key=cost.__getitem__)
        at = float(best - reach)
        if 0 < best < len(cost) - 1:
            bend = cost[best - 1] - 2 * cost[best] + cost[best + 1]
            if bend > 0:
                at += 0.5 * (cost[best - 1] - cost[best + 1]) / bend
        shifts.append(at)
    jumps = [abs(b - a) for a, b in zip(shifts, shifts[1:]) if a is not None and b is not None]
    return sum(jumps) / len(jumps) if jumps else float("nan")


def quality():
    with tempfile.TemporaryDirectory(prefix="clipweave-bench-") as work:
        video = fm.crossing_then_still(os.path.join(work, "cross.mp4"))
        line = narration(os.path.join(work, "line.mp3"), "He runs across.")
        seg = [Segment(0.0, float(fm.CROSS_SECONDS), "0", str(fm.CROSS_SECONDS), "He runs across.")]
        shots = analyse_range(video, 0, fm.CROSS_SECONDS, "follow")
        frames = fm.CROSS_SECONDS * fm.RATE
        follow = render_studio(video, seg, os.path.join(work, "follow"), [line], captions="none",
                               fit="range", follow=[shots], quality="fast")
        crop = render_studio(video, seg, os.path.join(work, "crop"), [line], captions="none",
                             fit="range", frame="crop", quality="fast")
        return (face_figures(follow.video, 1080 / 202, frames) + (luma_jitter(follow.video, 1080 / 202, frames),),
                face_figures(crop.video, 1920 / 360, frames) + (luma_jitter(crop.video, 1920 / 360, frames),))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small job, for a smoke test")
    parser.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "clipweave-bench"))
    args = parser.parse_args(argv)
    alone, during, (blur_wall, blur_render), (follow_wall, follow_render) = cost(args.cache, args.quick)
    (f_share, f_jitter, f_luma), (c_share, c_jitter, c_luma) = quality()
    print("| Subject-following framing (bench/follow.py) | figure | goal |")
    print("|---|---|---|")
    print(f"| analysis time ÷ render time, studio job (analysis alone {alone:.1f} s; render "
          f"{follow_render:.1f} s) | {alone / follow_render:.2f} | ≤ 0.25 |")
    print(f"| the same analysis timed inside the run, beside the narrations | "
          f"{during / follow_render:.2f} ({during:.1f} s) | |")
    print(f"| whole run, follow ÷ blur ({follow_wall:.1f} s / {blur_wall:.1f} s) | "
          f"{follow_wall / blur_wall:.2f} | |")
    print(f"| face crossing the frame: frames showing the whole face, follow / centre crop | "
          f"{f_share:.0%} / {c_share:.0%} | ≥ 95 % |")
    print(f"| its jitter (px/frame²), follow / centre crop, on the face's picture | "
          f"{f_luma:.2f} / {c_luma:.2f} | ≤ 1 |")
    print(f"| the same on the patch's coloured sides (halved chroma) | {f_jitter:.2f} / {c_jitter:.2f} | |")


if __name__ == "__main__":
    main()
