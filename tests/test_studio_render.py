"""The studio render end to end: real renders of tiny generated sources,
checked with ffprobe, the EBU R128 meter and the pixels of their frames."""
import os
import subprocess
import time
from typing import NamedTuple

import pytest

from clipweave.model.segments import Segment
from clipweave.system.probe import loudness
from clipweave.studio import RenderProgress, StudioError, render_studio
from clipweave.studio import _core
from clipweave.studio import render as render_module
from clipweave.studio.render import caption_fonts
from clipweave.studio.job import SourceInfo, StudioJob
from studio_media import (BARS, BOLD_FONT, bars_video, ffmpeg, frame, ink_box, mean_difference,
                          narration, near, pattern_video, pixel, streams, top_level_atoms, white_video)

LINES = [
    "The story begins in a quiet town, where nothing ever happens.",
    "Then a stranger arrives with a secret and a plan.",
    "By the end, nobody in the town is quite the same.",
]


@pytest.fixture(scope="module")
def media(tmp_path_factory):
    """Sources and narrations shared by the renders of this module."""
    d = tmp_path_factory.mktemp("media")
    return {
        "tone": pattern_video(d / "tone.mp4", 12),
        "short": pattern_video(d / "short.mp4", 3),
        "odd_silent": pattern_video(d / "odd.mp4", 2, size="641x361", sound=False),
        "bars": bars_video(d / "bars.mp4"),
        "bars_turned": bars_video(d / "turned.mp4", rotate=90),
        "lines": [narration(d / f"line{i}.mp3", text) for i, text in enumerate(LINES)],
        "brief": narration(d / "brief.mp3", "Look."),
        "dir": d,
    }


class Timed(NamedTuple):
    seconds: float
    event: RenderProgress


def segment(start, end, text):
    return Segment(float(start), float(end), str(start), str(end), text)


def work_files(work):
    return sorted(os.listdir(work))


# --- the finished file ---------------------------------------------------------------

# Three 3-second ranges of a source with a tone bed, under fit=range.
SPEEDS = [1.0, 1.25, 2.0, 4.0]


@pytest.fixture(scope="module")
def renders(media, tmp_path_factory):
    done = {}
    for speed in SPEEDS:
        work = tmp_path_factory.mktemp(f"speed{speed}")
        events = []
        segments = [segment(1 + 3.5 * i, 4 + 3.5 * i, text) for i, text in enumerate(LINES)]
        result = render_studio(media["tone"], segments, work, media["lines"], fit="range",
                               speed=speed, quality="fast",
                               progress=lambda e: events.append(Timed(time.monotonic(), e)))
        ended = time.monotonic()
        # Each event with the seconds the render really had left then.
        done[speed] = (result, [Timed(ended - t, e) for t, e in events], work)
    return done


@pytest.mark.parametrize("speed", SPEEDS)
def test_format_of_the_finished_video(renders, speed):
    result, _, work = renders[speed]
    s = streams(result.video)
    video, audio = s["video"], s["audio"]
    assert (video["codec_name"], video["width"], video["height"]) == ("h264", 1080, 1920)
    assert video["sample_aspect_ratio"] == "1:1"
    assert video["pix_fmt"] == "yuv420p"
    assert (audio["codec_name"], audio["sample_rate"], audio["channels"]) == ("aac", "48000", 2)
    atoms = top_level_atoms(result.video)
    assert atoms.index("moov") < atoms.index("mdat")  # fast start
    # Only the declared results are left in the work directory.
    assert work_files(work) == ["FINAL_RECAP.mp4", "FINAL_RECAP.srt"]
    assert result.video == os.path.join(work, "FINAL_RECAP.mp4")
    assert result.srt == os.path.join(work, "FINAL_RECAP.srt")


@pytest.mark.parametrize("speed", SPEEDS)
def test_duration_is_the_ranges_over_the_speed(renders, speed):
    result, _, _ = renders[speed]
    s = streams(result.video)
    expected = 9.0 / speed
    frame_time = 1 / 25
    assert abs(int(s["video"]["nb_read_frames"]) * frame_time - expected) <= frame_time
    assert abs(float(s["video"]["duration"]) - expected) <= frame_time
    assert abs(float(s["audio"]["duration"]) - expected) <= frame_time
    assert abs(result.duration - expected) <= frame_time
    assert [t.out_start for t in result.segments] == pytest.approx([0, 3 / speed, 6 / speed])


@pytest.mark.parametrize("speed", SPEEDS)
def test_loudness_is_normalised(renders, speed):
    result, _, _ = renders[speed]
    integrated, true_peak = loudness(result.video)
    assert abs(integrated - -14.0) <= 1.0
    assert true_peak <= -1.0


def test_a_recap_shorter_than_the_meter_window_is_normalised(media, tmp_path):
    # 2.5 s of output: less than loudnorm's 3-second window.
    segments = [segment(1 + 3.5 * i, 4 + 3.5 * i, text) for i, text in enumerate(LINES)]
    result = render_studio(media["tone"], segments, tmp_path, media["lines"], fit="narration",
                           speed=4.0, captions="none", quality="fast")
    assert result.duration < 3
    integrated, true_peak = loudness(result.video)
    assert abs(integrated - -14.0) <= 1.0
    assert true_peak <= -1.0


def test_progress_events(renders):
    _, timed, _ = renders[1.0]
    events = [e for _, e in timed]
    assert all(isinstance(e, RenderProgress) for e in events)
    assert events[0].stage == "probe" and events[-1] == ("done", 1.0, None, 0.0)
    render = [e for e in events if e.stage == "render"]
    assert render and render[-1].fraction == 1.0
    fractions = [e.fraction for e in render]
    assert fractions == sorted(fractions) and all(0 <= f <= 1 for f in fractions)
    # The time left is shown once the pace is measured, and is of the render's
    # order: ffmpeg's first lines (a sliver made after its start-up) gave a
    # first estimate 20 to 50 times the truth.
    estimates = [(left, e.seconds_left) for left, e in timed
                 if e.stage == "render" and e.seconds_left is not None and e.fraction < 1]
    first = next(left for left, e in timed if e.stage == "render" and e.fraction > 0)
    if first > 2 * render_module._PACE_WINDOW:
        assert estimates, timed
    assert [(left, shown) for left, shown in estimates if shown > 3 * left + 5] == []


def test_captions_srt_follows_the_voice(renders):
    result, _, _ = renders[2.0]
    with open(result.srt, encoding="utf-8") as f:
        srt = f.read()
    assert "The story begins in a" in " ".join(srt.split())  # on one line or two
    assert srt.startswith("1\n00:00:00,000 --> ")
    # The second narration begins with its clip: 3 s of source at speed 2.
    assert "\n00:00:01,500 --> " in srt


# --- timing rules ---------------------------------------------------------------------------


def test_a_long_narration_shows_the_whole_source_slowed(media, tmp_path):
    # 0.5 s of range in a 3 s source, a narration of about 4 s: the clip
    # shows the rest of the source after the range and all of it before,
    # slowed to fill the narration, and keeps moving to its end.
    result = render_studio(media["short"], [segment(2, 2.5, LINES[0])], tmp_path, [media["lines"][0]],
                           fit="narration", captions="none", quality="fast")
    timing = result.segments[0]
    narration_seconds = timing.narration
    assert narration_seconds > 3.3
    assert abs(result.duration - narration_seconds) <= 1 / 25
    assert (timing.source_start, timing.hold) == (0, 0)
    assert timing.source_end == pytest.approx(3.0) and timing.pace == pytest.approx(3.0 / narration_seconds)
    note = result.notes[0]
    assert "the clip runs on" in note and "starts 2.00 s earlier" in note and "slowed to" in note
    assert result.srt is None and work_files(tmp_path) == ["FINAL_RECAP.mp4"]
    box = (0, 600, 1080, 700)
    assert mean_difference(frame(result.video, narration_seconds - 0.6, *box),
                           frame(result.video, narration_seconds - 0.1, *box)) > 5


@pytest.mark.parametrize("speed, start, end, frames", [(0.5, 0, 1.5, 75), (100.0, 0, 3, 1)])
def test_extreme_speeds(media, tmp_path, speed, start, end, frames):
    result = render_studio(media["short"], [segment(start, end, "Quick.")], tmp_path, [media["brief"]],
                           fit="range", speed=speed, quality="fast")
    s = streams(result.video)
    assert int(s["video"]["nb_read_frames"]) == frames
    assert (s["audio"]["codec_name"], s["audio"]["channels"]) == ("aac", 2)


# --- framing ---------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def bar_renders(media, tmp_path_factory):
    out = {}
    for frame_mode, captions in (("blur", "words"), ("blur", "none"), ("crop", "none")):
        work = tmp_path_factory.mktemp(f"{frame_mode}-{captions}")
        out[frame_mode, captions] = render_studio(
            media["bars"], [segment(0, 1.5, "Every bar stays in the picture.")], work,
            [media["brief"]], frame=frame_mode, captions=captions, quality="fast").video
    return out


def test_blur_keeps_the_whole_width(bar_renders):
    row = frame(bar_renders["blur", "none"], 0.5, 0, 960, 1080, 1)
    for i, colour in enumerate(BARS):
        x = round((64 * i + 32) * 1080 / 320)
        assert near(pixel(row, 1080, x, 0), colour), (i, pixel(row, 1080, x, 0))
    # Above the picture, the dimmed fill: darker than the picture itself.
    fill = frame(bar_renders["blur", "none"], 0.5, 0, 200, 1080, 1)
    assert sum(fill) < 0.8 * sum(row)


def test_crop_loses_the_outer_bars(bar_renders):
    row = frame(bar_renders["crop", "none"], 0.5, 0, 960, 1080, 1)
    colours = [pixel(row, 1080, x, 0) for x in range(0, 1080, 12)]
    assert not any(near(c, BARS[0]) or near(c, BARS[4]) for c in colours)
    assert any(near(c, BARS[2]) for c in colours)


def test_captions_are_burned_above_the_bottom_fifth(bar_renders):
    top = 1100
    burned = frame(bar_renders["blur", "words"], 0.5, 0, top, 1080, 820, "gray")
    plain = frame(bar_renders["blur", "none"], 0.5, 0, top, 1080, 820, "gray")
    rows = [max(abs(a - b) for a, b in zip(burned[y * 1080:(y + 1) * 1080], plain[y * 1080:(y + 1) * 1080]))
            for y in range(820)]
    changed = [top + y for y, d in enumerate(rows) if d > 60]
    assert changed, "no caption was burned in"
    assert max(changed) < 1536


@pytest.mark.parametrize("key, expected", [("bars_turned", 90)])
def test_a_rotated_source_is_shown_upright(media, tmp_path, key, expected):
    assert streams(media[key])["video"].get("side_data_list", [{}])[0].get("rotation") in (expected, -expected)
    result = render_studio(media[key], [segment(0, 1, "Turned.")], tmp_path, [media["brief"]],
                           frame="fit", captions="none", quality="fast")
    assert "side_data_list" not in streams(result.video)["video"]  # not turned twice
    # Shown as 180x320, the bars run across the frame: one colour along the
    # middle row, all five down the middle column.
    row = frame(result.video, 0.5, 0, 960, 1080, 1)
    row_colours = {min(range(5), key=lambda i: sum(abs(a - b) for a, b in zip(pixel(row, 1080, x, 0), BARS[i])))
                   for x in range(20, 1060, 40)}
    assert len(row_colours) == 1
    column = frame(result.video, 0.5, 540, 0, 1, 1920)
    found = [i for i in range(5) if any(near(pixel(column, 1, 0, y), BARS[i]) for y in range(0, 1920, 16))]
    assert found == [0, 1, 2, 3, 4]


@pytest.mark.parametrize("frame_mode, size, rotate, sar, box", [
    # (left, top, right, bottom) of the picture in the 1080x1920 frame.
    ("crop", "320x180", None, "1", (0, 0, 1079, 1919)),
    ("fit", "320x180", None, "1", (0, 656, 1079, 1261)),
    ("fit", "320x180", 90, "1", (0, 0, 1079, 1919)),
    ("fit", "641x361", -90, "1", (0, 2, 1079, 1917)),
    ("fit", "720x576", None, "16/15", (0, 554, 1079, 1363)),
    ("blur", "641x361", None, "1", (0, 656, 1079, 1263)),
    ("blur", "320x180", 180, "1", (0, 656, 1079, 1261)),
    ("blur", "500x500", None, "1", (0, 420, 1079, 1499)),
    ("blur", "360x1000", None, "1", (194, 0, 883, 1919)),
    ("blur", "320x180", 90, "1", (0, 0, 1079, 1919)),
])
def test_the_picture_is_placed_at_its_shown_size(media, tmp_path, frame_mode, size, rotate, sar, box):
    """A white source: the white of the result is the whole picture, at the
    size it is shown (rotation and pixel aspect applied); the blurred fill
    around it is dimmed, the fit's bands are black."""
    source = white_video(tmp_path / "white.mp4", size, rotate=rotate, sar=sar)
    result = render_studio(source, [segment(0, 0.4, "White.")], tmp_path / "work", [media["brief"]],
                           frame=frame_mode, fit="range", captions="none", quality="fast")
    gray = frame(result.video, 0.2, 0, 0, 1080, 1920, "gray")
    assert ink_box(gray, 1080, threshold=200) == pytest.approx(box, abs=2)


def test_odd_size_without_sound(media, tmp_path):
    result = render_studio(media["odd_silent"], [segment(0, 1.5, "Look.")], tmp_path, [media["brief"]],
                           quality="fast", fit="range")
    s = streams(result.video)
    assert (s["video"]["width"], s["video"]["height"], s["video"]["sample_aspect_ratio"]) == (1080, 1920, "1:1")
    assert (s["audio"]["sample_rate"], s["audio"]["channels"]) == ("48000", 2)
    assert abs(float(s["audio"]["duration"]) - 1.5) <= 1 / 25


# --- caption text -----------------------------------------------------------------------------


def test_long_and_quoted_narrations(media, tmp_path):
    long_text = " ".join(f"w{i}, \"q\"" for i in range(700))
    assert len(long_text) >= 5000
    quoted = 'He said "stop",\nthen \'left\'.'
    result = render_studio(media["short"], [segment(0, 1.5, long_text), segment(1.5, 2.5, quoted)],
                           tmp_path, [media["lines"][1], media["brief"]], fit="range", quality="fast")
    with open(result.srt, encoding="utf-8") as f:
        blocks = f.read().strip().split("\n\n")
    texts = [" ".join(b.split("\n")[2:]) for b in blocks]
    assert texts[-1] == "He said \"stop\", then 'left'."
    # Only the part of the long narration heard in its 1.5 s range is shown,
    # from its beginning, in order.
    heard = " ".join(texts[:-1])
    assert long_text.startswith(heard) and len(heard) > 20


def render_caption(work, text, name):
    """One frame of a caption card through the subtitles filter: its gray
    pixels from y=1100 to y=1600, white text on black."""
    job = StudioJob(SourceInfo("source.mp4", 5.0), [(0.0, 2.0)], [2.0], texts=[text], captions="phrases",
                    text_font=caption_fonts()[0])
    (work / f"{name}.ass").write_text(_core.captions(job)["ass"], encoding="utf-8")
    return ffmpeg("-f", "lavfi", "-i", "color=c=black:s=1080x1920:d=1", "-vf",
                  f"subtitles=filename={name}.ass,crop=1080:500:0:1100", "-frames:v", "1",
                  "-f", "rawvideo", "-pix_fmt", "gray", "-", cwd=work)


def render_text(work, text, name):
    """The same text drawn literally (no markup of any kind) with the same font."""
    (work / f"{name}.txt").write_text(text, encoding="utf-8")
    return ffmpeg("-f", "lavfi", "-i", "color=c=black:s=1080x500:d=1", "-vf",
                  f"drawtext=fontfile={BOLD_FONT}:textfile={name}.txt:expansion=none:fontsize=60:"
                  "fontcolor=white:x=20:y=100", "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "gray",
                  "-", cwd=work)


def ink_size(gray):
    left, top, right, bottom = ink_box(gray, 1080)
    return right - left + 1, bottom - top + 1


@pytest.mark.parametrize("text", ["{\\i1}x\\Ny", "a{\\fs200}b\\hc}", "\\{not a tag\\}"])
def test_markup_in_a_narration_is_shown_literally(tmp_path, text):
    """Measured against text drawn without any markup: the same width and a
    single line, scaled by the two renderers' sizes for plain text."""
    calibrate = "Plain words"
    scale = ink_size(render_caption(tmp_path, calibrate, "c1"))[0] / ink_size(render_text(tmp_path, calibrate, "c2"))[0]
    width, height = ink_size(render_caption(tmp_path, text, "t1"))
    literal_width, literal_height = ink_size(render_text(tmp_path, text, "t2"))
    assert width == pytest.approx(literal_width * scale, rel=0.06)
    assert height == pytest.approx(literal_height * scale, rel=0.2)


# --- refusals and failures ---------------------------------------------------------------------


def test_refusals_leave_nothing_behind(media, tmp_path):
    with pytest.raises(ValueError, match=r"^segment 2: start 20.00 s is at or after the end of the "
                                         r"source \(3.00 s\)$"):
        render_studio(media["short"], [segment(0, 1, "a"), segment(20, 21, "b")], tmp_path,
                      [media["brief"], media["brief"]])
    with pytest.raises(ValueError, match="speed must be between 0.5 and 100"):
        render_studio(media["short"], [segment(0, 1, "a")], tmp_path, [media["brief"]], speed=0.25)
    with pytest.raises(ValueError, match="1 segments need 1 narrations, got 2"):
        render_studio(media["short"], [segment(0, 1, "a")], tmp_path, [media["brief"]] * 2)
    with pytest.raises(ValueError, match="output name must be a plain file name"):
        render_studio(media["short"], [segment(0, 1, "a")], tmp_path, [media["brief"]],
                      output_name="../out.mp4")
    assert work_files(tmp_path) == []


def test_an_existing_result_is_not_replaced(media, tmp_path):
    (tmp_path / "FINAL_RECAP.mp4").write_bytes(b"keep me")
    with pytest.raises(FileExistsError):
        render_studio(media["short"], [segment(0, 1, "a")], tmp_path, [media["brief"]], quality="fast")
    assert (tmp_path / "FINAL_RECAP.mp4").read_bytes() == b"keep me"
    assert work_files(tmp_path) == ["FINAL_RECAP.mp4"]


def test_a_failed_run_reports_ffmpeg_errors(media, tmp_path):
    # No GPU here: the hardware encoder fails to open.
    with pytest.raises(StudioError) as info:
        render_studio(media["short"], [segment(0, 1, "a")], tmp_path, [media["brief"]],
                      encoder="h264_nvenc", captions="none")
    assert info.value.returncode != 0 and info.value.stderr_tail
    assert "ffmpeg failed with exit status" in str(info.value)
    assert work_files(tmp_path) == []


def children():
    pid = os.getpid()
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as f:
            found += f.read().split()
    return found


@pytest.mark.parametrize("error", [KeyboardInterrupt, RuntimeError])
def test_an_interrupted_render_stops_ffmpeg(media, tmp_path, error):
    def interrupt(event):
        if event.stage == "render":
            raise error("stop")

    with pytest.raises(error):
        render_studio(media["tone"], [segment(0, 10, "a")], tmp_path, [media["brief"]],
                      quality="small", progress=interrupt)
    assert children() == []  # killed and reaped
    assert work_files(tmp_path) == []


def test_source_that_cannot_be_read(tmp_path, media):
    bad = tmp_path / "bad.mp4"
    bad.write_bytes(b"not a video")
    with pytest.raises(ValueError, match="the source cannot be read"):
        render_studio(bad, [segment(0, 1, "a")], tmp_path / "work", [media["brief"]])
    with pytest.raises(ValueError, match="narration 1 cannot be read"):
        render_studio(media["short"], [segment(0, 1, "a")], tmp_path / "work", [bad])
    assert not subprocess.run(["ls", tmp_path / "work"], capture_output=True, text=True).stdout


# --- the source's sound under the narration ------------------------------------------------

def band_level(path, start, length, frequency):
    """RMS level in dB of a narrow band around frequency, over a part of path."""
    err = subprocess.run(
        ["ffmpeg", "-hide_banner", "-nostdin", "-ss", f"{start}", "-t", f"{length}", "-i",
         os.fspath(path), "-af", f"bandpass=f={frequency}:width_type=q:w=8,"
         "astats=measure_overall=RMS_level:measure_perchannel=none", "-f", "null", "-"],
        capture_output=True, text=True, check=True, timeout=120).stderr
    levels = [line.split()[-1] for line in err.splitlines() if "RMS level dB" in line]
    return float(levels[-1])


@pytest.fixture(scope="module")
def beep(media):
    """A 1.5 s narration that is a 2 kHz tone: apart in pitch from the 330 Hz bed."""
    path = media["dir"] / "beep.mp3"
    ffmpeg("-f", "lavfi", "-i", "sine=frequency=2000:sample_rate=44100:duration=1.5",
           "-c:a", "libmp3lame", os.fspath(path))
    return os.fspath(path)


@pytest.mark.parametrize("bed", [-18.0, -30.0])
def test_the_bed_is_lowered_under_the_narration_and_comes_back(media, beep, tmp_path, bed):
    result = render_studio(media["tone"], [segment(1, 6, "Beep.")], tmp_path, [beep],
                           bed_volume=bed, captions="none", quality="fast")
    under = band_level(result.video, 0.3, 1.0, 330)
    after = band_level(result.video, 2.5, 2.0, 330)
    # The loudness normaliser moves both a little; the step between them is the bed's.
    assert abs((after - under) - (-bed)) < 4, (under, after)
    # The narration is heard over the bed, and is gone after it.
    assert band_level(result.video, 0.3, 1.0, 2000) > under + 10
    assert band_level(result.video, 2.5, 2.0, 2000) < after - 20


def test_without_a_bed_the_source_is_not_heard(media, beep, tmp_path):
    result = render_studio(media["tone"], [segment(1, 4, "Beep.")], tmp_path, [beep],
                           bed_volume=None, captions="none", quality="fast")
    assert band_level(result.video, 0.3, 1.0, 2000) > band_level(result.video, 0.3, 1.0, 330) + 30


def test_narrations_are_levelled_to_each_other(media, beep, tmp_path):
    quiet = os.fspath(tmp_path / "quiet.mp3")
    ffmpeg("-i", beep, "-af", "volume=-20dB", "-c:a", "libmp3lame", quiet)
    result = render_studio(media["tone"], [segment(1, 3, "Loud."), segment(4, 6, "Quiet.")],
                           tmp_path / "work", [beep, quiet], bed_volume=None, captions="none",
                           quality="fast")
    first, second = (band_level(result.video, t.out_start + 0.3, 0.9, 2000)
                     for t in result.segments)
    assert abs(first - second) < 3, (first, second)
