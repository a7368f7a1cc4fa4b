"""What a viewer of a studio recap sees and hears at the edges: the source's
last frame, a narration past the source's end, silence after a narration,
the colour tags and profile of the video, and the notes printed before the
render. Tiny real renders, measured with ffprobe and by their pixels."""
import itertools
import json
import math
import os
import subprocess
import sys

import pytest

from clipweave.model.segments import Segment
from clipweave.studio import _core, render_studio
from clipweave.studio.job import SourceInfo, StudioJob
from studio_media import (ffmpeg, frame, mean_difference, numbered_video, padded_tone, pattern_video, shown_numbers,
                          silences, streams, tone)


def segment(start, end, text="A line."):
    return Segment(float(start), float(end), str(start), str(end), text)


def plan(segments, narrations, seconds=10.0, video=None, fit="narration", silent=()):
    job = StudioJob(SourceInfo("/m/s.mp4", seconds, video_seconds=video or seconds, rate=(25, 1)),
                    segments, narrations, fit=fit, silent_tails=list(silent))
    return _core.plan(job)


@pytest.fixture(scope="module")
def media(tmp_path_factory):
    d = tmp_path_factory.mktemp("picture")
    # Its picture ends at 3 s, its sound at 5 s.
    short_picture = str(d / "short-picture.mp4")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x90:rate=25:duration=3", "-f", "lavfi",
           "-i", "sine=frequency=330:sample_rate=48000:duration=5", "-c:v", "libx264",
           "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", short_picture)
    return {"short_picture": short_picture, "six": pattern_video(d / "six.mp4", 6, size="160x90"),
            "silent": pattern_video(d / "silent.mp4", 6, size="160x90", sound=False),
            "one": tone(d / "one.wav", 1.0), "three": tone(d / "three.wav", 3.0), "dir": d}


def frames_and_sound(path):
    s = streams(path)
    return int(s["video"]["nb_read_frames"]), float(s["audio"]["duration"])


# --- the source's last frame -----------------------------------------------------


def test_a_range_after_the_last_video_frame_keeps_the_picture_in_step(media, tmp_path):
    """The second range lies where the source has sound but no picture: it is
    shown from the last frames there are, and the clips after it keep their
    place (every clip's frames are in the video)."""
    segments = [segment(0, 1), segment(3.5, 4.5), segment(1, 2)]
    result = render_studio(media["short_picture"], segments, tmp_path, [media["one"]] * 3,
                           captions="none", quality="fast")
    frames, sound = frames_and_sound(result.video)
    assert frames == 75 and abs(sound - 3.0) < 0.05
    moved = result.segments[1]
    assert moved.hold == 0 and moved.source_start == pytest.approx(2.0, abs=0.05)
    assert "earlier" in moved.note
    # The third clip starts on the source's frame at 1 s: the picture at 2.0 s
    # of the recap is the one at 2.0 s of a recap of the third range alone.
    alone = render_studio(media["short_picture"], [segment(1, 2)], tmp_path / "alone",
                          [media["one"]], captions="none", quality="fast")
    box = (0, 700, 1080, 500)
    assert mean_difference(frame(result.video, 2.0, *box), frame(alone.video, 0.0, *box)) < 3


def test_a_hold_is_a_real_frame_of_the_source(media, tmp_path):
    """The second range lies past the picture's end, and the first shows all
    the picture before it: with nothing left to show, the clip holds the
    last frame there is (not black, not missing)."""
    result = render_studio(media["short_picture"], [segment(0, 3), segment(3.5, 4.5)], tmp_path,
                           [media["one"], media["one"]], captions="none", quality="fast")
    frames, _ = frames_and_sound(result.video)
    assert frames == 100
    assert result.segments[1].hold == pytest.approx(0.96, abs=0.05)
    assert "held on the last frame" in result.segments[1].note
    box = (0, 700, 1080, 500)
    last = frame(result.video, 3.9, *box)
    assert mean_difference(frame(result.video, 3.1, *box), last) < 1
    assert sum(last) / len(last) > 30  # the picture, not black


@pytest.mark.parametrize("segments, narrations, video, start, hold, note", [
    # A run-on past the end starts the clip earlier: the picture keeps moving.
    ([(8.0, 9.0)], [3.0], 10.0, 7.0, 0.0, "starts 1.00 s earlier"),
    # A range past the last frame of the picture (the sound goes on to 10 s).
    ([(8.5, 9.5)], [1.0], 8.0, 7.0, 0.0, "starts 1.50 s earlier"),
    # A source shorter than the narration is shown whole, slowed.
    ([(1.0, 2.0)], [12.0], 10.0, 0.0, 0.0, "its picture is slowed to 0.83x for the other 2.00 s"),
])
def test_a_clip_past_the_end_starts_earlier(segments, narrations, video, start, hold, note):
    clip = plan(segments, narrations, video=video)["clips"][0]
    assert clip["source_start"] == pytest.approx(start)
    assert clip["hold"] == pytest.approx(hold)
    assert note in clip["note"]


def test_a_run_on_past_the_end_keeps_moving(media, tmp_path):
    result = render_studio(media["six"], [segment(4.5, 5.5)], tmp_path, [media["three"]],
                           captions="none", quality="fast")
    assert result.segments[0].hold == 0
    box = (0, 700, 1080, 500)
    # The last second still moves.
    assert mean_difference(frame(result.video, 2.0, *box), frame(result.video, 2.9, *box)) > 5


# --- nothing shown twice, smooth motion, no dead air ------------------------------------


@pytest.fixture(scope="module")
def numbered(tmp_path_factory):
    """A 10 fps source without sound whose frames show their own numbers,
    and narrations with 0.4 s of silence either side of their sound."""
    d = tmp_path_factory.mktemp("numbered")
    return {"video": numbered_video(d / "numbered.mp4", 6), "long": padded_tone(d / "long.wav", 1.6, 0.4),
            "short": padded_tone(d / "short.wav", 0.6, 0.4)}


@pytest.mark.parametrize("speed", [1.0, 1.5])
def test_adjacent_ranges_show_no_frame_twice_smoothly_and_without_dead_air(numbered, tmp_path, speed):
    """Three adjacent ranges of a silent 10 fps source: the first narration
    is longer than its range, which has no room around it (slowed); the
    second is shorter (the clip ends a pause after it); the third runs on
    into the source after its range."""
    segments = [segment(0, 1.5), segment(1.5, 3), segment(3, 3.5)]
    result = render_studio(numbered["video"], segments, tmp_path,
                           [numbered["long"], numbered["short"], numbered["short"]],
                           captions="none", quality="fast", speed=speed)
    # Every picture shown equally long at 30 fps: three times each, or twice at 1.5x.
    assert video_fields(result.video)["r_frame_rate"] == "30/1"
    numbers = shown_numbers(result.video, (700, 520))
    assert len(numbers) == round(result.duration * 30)
    runs = [(n, len(list(same))) for n, same in itertools.groupby(numbers)]
    shown = [n for n, _ in runs]
    assert shown == sorted(set(shown)), "a source frame is shown twice"
    first, second, third = result.segments
    assert first.pace < 0.8 and "slowed" in first.note and second.pace == third.pace == 1
    assert third.source_end > 3.5 + 0.3 and "past its range" in third.note
    for timing in result.segments:
        inside = numbers[math.floor(timing.out_start * 30 + 0.5):math.floor(timing.out_end * 30 + 0.5)]
        assert timing.source_start * 10 - 0.5 <= min(inside) <= max(inside) < timing.source_end * 10 + 0.5
        if timing is third:  # not slowed: an even cadence
            assert {length for n, length in runs if n in inside[1:-1]} == {round(3 / speed)}
    # The narrations' own silence is trimmed and a clip ends a short pause
    # after its narration: nothing as long as half a second is silent.
    assert silences(result.video, 0.5) == []
    assert len(silences(result.video, 0.2)) >= 2


# --- silence after a narration -------------------------------------------------------


@pytest.mark.parametrize("fit, silent, length, note", [
    ("narration", [True], 1.2, "the source is silent after the narration; the clip ends 0.20 s after it"),
    ("narration", [False], 4.0, None),
    ("range", [True], 4.0, None),
])
def test_a_silent_tail_ends_the_clip(fit, silent, length, note):
    clip = plan([(2.0, 6.0)], [1.0], fit=fit, silent=silent)["clips"][0]
    assert clip["length"] == pytest.approx(length)
    assert (clip["note"] is None) == (note is None)
    if note:
        assert note in clip["note"]


def test_no_dead_air_after_the_narration(media, tmp_path):
    """Where the source is silent the clip ends a short pause (0.2 s) after
    its narration; where it has sound, or under fit="range", it keeps its range."""
    silent = render_studio(media["silent"], [segment(1, 4)], tmp_path / "a", [media["one"]],
                           captions="none", quality="fast")
    assert silent.duration == pytest.approx(1.2, abs=0.04)
    assert "silent after the narration" in silent.notes[0]
    kept = render_studio(media["six"], [segment(1, 4)], tmp_path / "b", [media["one"]],
                         captions="none", quality="fast")
    assert kept.duration == pytest.approx(3.0, abs=0.04) and not kept.notes
    ranged = render_studio(media["silent"], [segment(1, 4)], tmp_path / "c", [media["one"]],
                           captions="none", quality="fast", fit="range")
    assert ranged.duration == pytest.approx(3.0, abs=0.04)


# --- colour and profile ---------------------------------------------------------------


def video_fields(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
         "stream=profile,pix_fmt,color_space,color_primaries,color_transfer,r_frame_rate,"
         "avg_frame_rate", "-of", "json", path], capture_output=True, text=True, check=True).stdout
    return json.loads(out)["streams"][0]


def bt709_rgb(path, seconds, x, y):
    """The colour of a pixel decoded with the BT.709 matrix (limited range)."""
    data = ffmpeg("-ss", f"{seconds:.3f}", "-i", path, "-frames:v", "1", "-vf",
                  f"crop=2:2:{x}:{y}", "-f", "rawvideo", "-pix_fmt", "yuv444p", "-")
    luma, cb, cr = data[0] - 16, data[4] - 128, data[8] - 128
    return tuple(max(0, min(255, round(v))) for v in (
        1.164 * luma + 1.793 * cr, 1.164 * luma - 0.213 * cb - 0.533 * cr, 1.164 * luma + 2.112 * cb))


@pytest.fixture(scope="module")
def sd_green(tmp_path_factory):
    """A standard-definition source in green, its matrix BT.601 and tagged so."""
    path = str(tmp_path_factory.mktemp("sd") / "green.mp4")
    ffmpeg("-f", "lavfi", "-i", "color=c=0x00C000:s=320x240:r=25:d=2",
           "-vf", "scale=out_color_matrix=bt601:out_range=tv,format=yuv420p", "-c:v", "libx264",
           "-preset", "ultrafast", "-colorspace", "smpte170m", "-color_primaries", "smpte170m",
           "-color_trc", "smpte170m", path)
    return path


@pytest.mark.parametrize("quality", ["fast", "balanced", "small"])
def test_every_quality_is_high_profile_tagged_bt709(sd_green, tmp_path, quality):
    result = render_studio(sd_green, [segment(0, 1)], tmp_path, [tone(tmp_path / "n.wav", 1.0)],
                           captions="none", quality=quality, frame="fit")
    v = video_fields(result.video)
    assert v["profile"] == "High" and v["pix_fmt"] == "yuv420p"
    assert (v["color_space"], v["color_primaries"], v["color_transfer"]) == ("bt709",) * 3
    assert v["r_frame_rate"] == v["avg_frame_rate"] == "25/1"
    # The SD matrix is converted: read as BT.709 the green stays green.
    r, g, b = bt709_rgb(result.video, 0.5, 540, 960)
    assert abs(r - 0) <= 8 and abs(g - 0xC0) <= 8 and abs(b - 0) <= 8


def test_small_is_smaller_than_balanced(media, tmp_path):
    sizes = {}
    for quality in ("balanced", "small"):
        result = render_studio(media["six"], [segment(0, 2)], tmp_path / quality,
                               [media["one"]], captions="none", quality=quality, fit="range")
        sizes[quality] = os.path.getsize(result.video)
    assert sizes["small"] < 0.9 * sizes["balanced"]


# --- notes before the render -------------------------------------------------------------


def test_notes_are_printed_before_the_render(media, tmp_path):
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([
        {"start": "1", "end": "1.5", "voiceover": "A narration much longer than its half second."}]))
    run = subprocess.run(
        [sys.executable, "-m", "clipweave", media["six"], str(segments), "--speech", "flite",
         "--output-dir", str(tmp_path / "out"), "--captions", "none", "--quality", "fast",
         "--no-cache"], capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    lines = run.stderr.splitlines()
    note = next(i for i, line in enumerate(lines) if "the clip runs on" in line)
    render = next(i for i, line in enumerate(lines) if line.startswith("render"))
    assert note < render
    assert sum("the clip runs on" in line for line in lines) == 1
