"""Studio render timings, for the benchmark table.

    .venv/py310/bin/python bench/studio.py --seconds 600 [--speed 1.25] [--quality balanced]

Makes (or reuses, in --cache) a 1080p 30 fps test source of the given
length with a tone, twelve 5-second segments spread over it with espeak-ng
narrations, and times
  (a) render_studio from start to finish (probing, narration loudness,
      caption files and the one ffmpeg run), and
  (b) the same ffmpeg command alone, run bare with the same files,
so that the shell's share can be worked out. Prints one JSON object.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

from clipweave.demo_services import make_source_video
from clipweave.speech import synthesize
from clipweave.studio import render, render_studio

SEGMENTS = 12
SEGMENT_SECONDS = 5.0
TEXT = "Segment {n}: a narration of about five seconds, read over the picture."


def source(cache, seconds):
    path = os.path.join(cache, f"studio-source-{seconds:g}s-1080p30.mp4")
    if not os.path.exists(path):
        make_source_video(path + ".part.mp4", seconds=seconds, size="1920x1080", rate=30)
        os.replace(path + ".part.mp4", path)
    return path


def segments(seconds):
    step = (seconds - SEGMENT_SECONDS) / SEGMENTS
    return [{"start": f"{i * step:.3f}", "end": f"{i * step + SEGMENT_SECONDS:.3f}",
             "voiceover": TEXT.format(n=i + 1)} for i in range(SEGMENTS)]


def narrations(cache, segs):
    paths = []
    for i, seg in enumerate(segs):
        path = os.path.join(cache, f"studio-narration-{i}.mp3")
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(synthesize(seg["voiceover"], "en"))
        paths.append(path)
    return paths


def measure(seconds, cache, **options):
    """{"studio_seconds", "ffmpeg_alone_seconds", "output_seconds", ...}."""
    src = source(cache, seconds)
    segs = segments(seconds)
    voices = narrations(cache, segs)
    bare = {}
    run_ffmpeg = render._run_ffmpeg

    def timed(args, work_dir, duration, emit):
        # The command alone first, as it is, writing the same output...
        started = time.perf_counter()
        subprocess.run(args, cwd=work_dir, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       check=True)
        bare["seconds"] = time.perf_counter() - started
        started = time.perf_counter()
        run_ffmpeg(args, work_dir, duration, emit)
        bare["in_render"] = time.perf_counter() - started

    with tempfile.TemporaryDirectory(dir=cache) as work:
        render._run_ffmpeg = timed
        try:
            started = time.perf_counter()
            result = render_studio(src, segs, work, voices, **options)
            total = time.perf_counter() - started
        finally:
            render._run_ffmpeg = run_ffmpeg
    # The render ran the command twice; count it once, as run by the render.
    studio = total - bare["seconds"]
    return {"source_seconds": seconds, "segments": SEGMENTS, "options": options,
            "encoder": result.encoder, "output_seconds": round(result.duration, 3),
            "studio_seconds": round(studio, 3),
            "ffmpeg_in_render_seconds": round(bare["in_render"], 3),
            "ffmpeg_alone_seconds": round(bare["seconds"], 3),
            "studio_over_ffmpeg": round(studio / bare["seconds"], 3)}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=120.0, help="length of the source")
    parser.add_argument("--speed", type=float, default=1.0)
    parser.add_argument("--quality", default="balanced", choices=["fast", "balanced", "small"])
    parser.add_argument("--frame", default="blur", choices=["blur", "crop", "fit"])
    parser.add_argument("--cache", default=os.path.join(os.path.dirname(__file__), ".cache"))
    args = parser.parse_args(argv)
    os.makedirs(args.cache, exist_ok=True)
    print(json.dumps(measure(args.seconds, args.cache, speed=args.speed, quality=args.quality,
                             frame=args.frame)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
