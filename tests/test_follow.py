"""The subject-following framing (--frame follow, auto): the analysis on
sources made from a photograph, the render checked frame by frame, bad
input, and the command line's notes, report and cache."""
import json
import os
import re
import struct

import pytest

import clipweave.follow._follow as _follow
from clipweave.app import cli
from clipweave.app import framing as app_framing
import clipweave.follow.analyse as analyse
from clipweave.follow import FollowShot, analyse_range
from clipweave.model.segments import Segment
from clipweave.studio import _core, render_studio
from clipweave.studio.job import SourceInfo, StudioJob
import follow_media as fm
from studio_media import frame, narration, streams

# Output pixels per source pixel: the 9:16 window of a 640x360 source is
# 202 pixels wide, scaled to 1080.
SCALE = 1080 / 202
# An output row through the patch in both shots of crossing_then_still.
ROW = 907
CUT_FRAME = fm.CROSS_SECONDS * fm.RATE


def segment(start, end, text="Look at him go."):
    return Segment(float(start), float(end), str(start), str(end), text)


@pytest.fixture(scope="module")
def media(tmp_path_factory):
    d = tmp_path_factory.mktemp("follow")
    return {
        "cross": fm.crossing_then_still(str(d / "cross.mp4")),
        "line": narration(d / "line.mp3", "He runs across, then he stops."),
        "brief": narration(d / "brief.mp3", "Look."),
        "dir": d,
    }


@pytest.fixture(scope="module")
def cross_shots(media):
    return analyse_range(media["cross"], 0, 5, "follow")


@pytest.fixture(scope="module")
def cross_render(media, cross_shots, tmp_path_factory):
    work = tmp_path_factory.mktemp("cross-render")
    result = render_studio(media["cross"], [segment(0, 5)], work, [media["line"]], captions="none", fit="range",
                           follow=[cross_shots], quality="fast")
    # Where the window stands in the source, frame by frame, from where the
    # patch's two magenta sides land in the output.
    return result, fm.patch_sides(result.video, ROW, scale=SCALE)


def patch_left(sides):
    """The patch's left edge in output pixels, from whichever side shows
    farther from the frame's edge (a side near it is read from the chroma
    smeared there); None if neither."""
    left, right = sides
    if right is not None and (left is None or left < 1080 - right):
        return right - fm.PATCH * SCALE
    return left


def patch_source_x(n):
    """The patch's left edge in the source at frame n."""
    t = n / fm.RATE
    return fm.CROSS_FROM + fm.CROSS_SPEED * t if n < CUT_FRAME else fm.STILL_X


def test_the_analysis_finds_the_moving_shot_the_cut_and_the_still_shot(cross_shots):
    assert [(s.kind, round(s.start, 2), round(s.end, 2)) for s in cross_shots] == [
        ("track", 0, 3), ("still", 3, 5)]
    track = cross_shots[0].path
    # Left to right with the face, never back.
    assert track[-1][1] - track[0][1] > 0.4
    assert all(b[1] >= a[1] - 1e-9 for a, b in zip(track, track[1:]))
    # Kept as data (the cache) and read back unchanged.
    assert [FollowShot.from_data(json.loads(json.dumps(s.as_data()))) for s in cross_shots] == cross_shots


def test_the_render_is_a_filled_frame_of_the_whole_length(cross_render):
    result, runs = cross_render
    video = streams(result.video)["video"]
    assert (video["width"], video["height"]) == (1080, 1920)
    assert int(video["nb_read_frames"]) == 5 * fm.RATE == len(runs)
    # No blurred bands: the top rows are the scene itself, not a dimmed fill.
    top = frame(result.video, 1.0, 0, 0, 1080, 4)
    blue = tuple(int(fm.BLUE[i:i + 2], 16) for i in (2, 4, 6))
    mean = [sum(top[c::3]) / (len(top) / 3) for c in range(3)]
    assert all(abs(m - b) < 25 for m, b in zip(mean, blue))


def test_the_face_is_whole_in_every_frame(cross_render):
    _result, runs = cross_render
    missing = [n for n, r in enumerate(runs) if patch_left(r) is None]
    assert not missing
    for n, r in enumerate(runs):
        face_left = patch_left(r) + fm.FACE_X * SCALE
        assert 0 <= face_left and face_left + fm.FACE_W * SCALE <= 1080, n


def test_the_window_moves_smoothly_then_jumps_at_the_cut_and_holds(cross_render):
    _result, runs = cross_render
    # The window's left edge in the source, from the patch's place in the output.
    window = [patch_source_x(n) - patch_left(r) / SCALE for n, r in enumerate(runs)]
    moving = window[:CUT_FRAME]
    steps = [b - a for a, b in zip(moving, moving[1:])]
    # It follows the face (some 5.6 source pixels a frame) without a jerk.
    assert moving[-1] - moving[0] > 250
    assert max(abs(s) for s in steps) < 10
    # The face's place in the output, pixels a frame a frame: what is left is
    # the crop's rounding to whole output pixels (and half-pixel chroma).
    jitter = [abs(b - a) * SCALE for a, b in zip(steps, steps[1:])]
    assert sum(jitter) / len(jitter) <= 1.5
    # One frame: from the right of the scene to the left, no pan.
    assert moving[-1] - window[CUT_FRAME] > 250
    still = window[CUT_FRAME:]
    assert max(still) - min(still) <= 1


def test_the_frames_either_side_of_the_cut_are_each_their_own_shot(media, cross_render):
    result, _runs = cross_render
    before = frame(result.video, (CUT_FRAME - 1) / fm.RATE, 0, 0, 8, 8)
    after = frame(result.video, CUT_FRAME / fm.RATE, 0, 0, 8, 8)
    blue = tuple(int(fm.BLUE[i:i + 2], 16) for i in (2, 4, 6))
    olive = tuple(int(fm.OLIVE[i:i + 2], 16) for i in (2, 4, 6))
    for pixels, colour in ((before, blue), (after, olive)):
        mean = [sum(pixels[c::3]) / (len(pixels) / 3) for c in range(3)]
        assert all(abs(m - c) < 25 for m, c in zip(mean, colour)), (mean, colour)


@pytest.fixture(scope="module")
def hard(media):
    """One source of one-second shots that are each a problem of their own."""
    d = media["dir"]
    parts = [
        fm.scene(str(d / "none.mp4"), 1, []),                                   # nothing to follow
        fm.scene(str(d / "dark.mp4"), 1, [(240, 100)], dim=0.2),               # a very dark shot
        fm.scene(str(d / "apart.mp4"), 1, [(10, 40), (450, 170)]),             # two faces far apart
        fm.scene(str(d / "edge.mp4"), 1, [(640 - fm.PATCH, 90)], colour=fm.OLIVE),  # at the edge
    ]
    out = str(d / "hard.mp4")
    inputs = [a for p in parts for a in ("-i", p)]
    fm.ffmpeg(*inputs, "-filter_complex", "".join(f"[{i}:v]" for i in range(len(parts)))
              + f"concat=n={len(parts)}:v=1[v]", "-map", "[v]", "-c:v", "libx264", "-preset",
              "ultrafast", "-pix_fmt", "yuv420p", out)
    return out


@pytest.mark.parametrize("start, end, kinds, why", [
    (0, 1, ["blur"], "no face or person found"),
    (1, 2, ["still"], "still"),
    (2, 3, ["blur"], "do not fit one 9:16 window"),
    (3, 4, ["still"], "still"),
    (2.5, 3.5, ["blur", "still"], None),    # a range across a cut
])
def test_hard_shots_are_framed_safely(hard, start, end, kinds, why):
    shots = analyse_range(hard, start, end, "follow")
    assert [s.kind for s in shots] == kinds
    if why is not None:
        assert why in shots[0].reason
    assert shots[0].start == 0 and shots[-1].end == pytest.approx(end - start)


def test_hard_shots_make_a_correct_recap(media, hard, tmp_path):
    segments = [segment(0, 1), segment(1, 2), segment(2, 3), segment(3.2, 4), segment(2.5, 3.5)]
    follow = [analyse_range(hard, s.start, s.end, "auto") for s in segments]
    result = render_studio(hard, segments, tmp_path, [media["brief"]] * len(segments), captions="none",
                           fit="range", follow=follow, quality="fast")
    video = streams(result.video)["video"]
    assert (video["width"], video["height"]) == (1080, 1920)
    assert int(video["nb_read_frames"]) == round(result.duration * fm.RATE) == 4.8 * fm.RATE
    # The face at the edge is whole: both sides of its patch show.
    sides = fm.patch_sides(result.video, 900, scale=SCALE)
    edge = sides[3 * fm.RATE + 5: int(3.8 * fm.RATE) - 1]
    assert edge
    for sides in edge:
        face_left = patch_left(sides) + fm.FACE_X * SCALE
        assert face_left >= 0 and face_left + fm.FACE_W * SCALE <= 1080


def test_a_blur_shot_is_the_blur_framing(media, hard, tmp_path):
    """A shot without a subject looks exactly as --frame blur would show it."""
    seg = [segment(0, 0.6)]
    shots = analyse_range(hard, 0, 0.6, "follow")
    assert [s.kind for s in shots] == ["blur"]
    a = render_studio(hard, seg, tmp_path / "a", [media["brief"]], captions="none", follow=[shots],
                      fit="range", quality="fast")
    b = render_studio(hard, seg, tmp_path / "b", [media["brief"]], captions="none", fit="range",
                      quality="fast")
    for t in (0.1, 0.4):
        assert frame(a.video, t, 0, 0, 1080, 1920) == frame(b.video, t, 0, 0, 1080, 1920)


def test_a_square_short_follows_with_a_square_window(media, hard, tmp_path):
    shots = analyse_range(hard, 1, 2, "follow", window="1:1")
    assert [s.kind for s in shots] == ["still"]
    result = render_studio(hard, [segment(1, 2)], tmp_path, [media["brief"]], captions="none",
                           fit="range", follow=[shots], quality="fast", aspect="1:1")
    video = streams(result.video)["video"]
    assert (video["width"], video["height"]) == (1080, 1080)


def test_the_planner_ignores_a_one_off_detection_and_keeps_the_subject_whole():
    times = [i / 25 for i in range(100)]
    signatures = [bytes(256 * 4)] * 100
    sampled = list(range(0, 100, 5))
    found = []
    for k, i in enumerate(sampled):
        x = 0.1 + 0.7 * i / 99 + (0.01 if k % 2 else -0.01)  # a face crossing, the detector wobbling
        boxes = [(x, 0.3, 0.08, 0.14, "face")]
        if k == 7:
            boxes.append((0.9, 0.1, 0.05, 0.09, "face"))  # a mistake, seen once
        found.append(boxes)
    shots = _follow.plan(times, signatures, sampled, found, 4.0, 16 / 9, 0.0)
    assert [s["kind"] for s in shots] == ["track"]
    share = _follow.window_share(16 / 9)
    path = dict(shots[0]["path"])
    for k, i in enumerate(sampled):
        x, _, w, _, _ = found[k][0]
        centre = path.get(times[i])
        if centre is not None:
            assert centre - share / 2 <= x and x + w <= centre + share / 2
    centres = [c for _, c in shots[0]["path"]]
    assert all(b >= a - 1e-9 for a, b in zip(centres, centres[1:]))  # no wobble back


def test_the_window_slows_down_ahead_of_a_face_walking_to_the_frame_s_edge():
    # A face walks right at a sixth of the frame a second and stops at the
    # edge; the window must come to rest there over a second or more, the
    # face whole all the way, never stopping dead when the face arrives.
    times = [i / 30 for i in range(240)]
    sampled = list(range(0, 240, 10))
    found = [[(min(0.3 + 0.16 * times[i], 0.9), 0.4, 0.06, 0.1, "face")] for i in sampled]
    [shot] = _follow.plan(times, [bytes(256 * 4)] * 240, sampled, found, 8.0, 16 / 9, 0.0)
    assert shot["kind"] == "track"
    share = _follow.window_share(16 / 9)
    path = dict(shot["path"])
    for k, i in enumerate(sampled):
        x, _, w, _, _ = found[k][0]
        if times[i] in path:
            assert path[times[i]] - share / 2 <= x and x + w <= path[times[i]] + share / 2 + 1e-9
    keys = sorted(path.items())
    speeds = [(c1 - c0) / (t1 - t0) for (t0, c0), (t1, c1) in zip(keys, keys[1:])]
    assert max(speeds) == pytest.approx(0.16, abs=0.03)
    # No speed change between keys (a third of a second) of more than 30 %
    # of the walking pace (stopping dead at the edge changed it by 64 %),
    # and no step back.
    assert max(abs(b - a) for a, b in zip(speeds, speeds[1:])) < 0.3 * 0.16
    assert min(speeds) > -1e-3
    assert keys[-1][1] == pytest.approx(1 - share / 2)


def _still_shot(found, aspect=16 / 9, **window):
    """The plan of 3 s sampled 4 times a second, each sample seeing ``found``."""
    times = [i / 25 for i in range(75)]
    sampled = list(range(0, 75, 6))
    return _follow.plan(times, [bytes(256 * 4)] * 75, sampled, [found] * len(sampled), 3.0, aspect, 0.0,
                        **window)


def test_the_window_follows_the_main_face_not_one_in_the_background():
    main = (0.55, 0.3, 0.14, 0.25, "face")
    background = (0.05, 0.2, 0.05, 0.09, "face")  # small, far away, always there
    [shot] = _still_shot([main, background])
    assert shot["kind"] == "still"
    share = _follow.window_share(16 / 9)
    centre = shot["path"][0][1]
    assert centre - share / 2 <= main[0] and main[0] + main[2] <= centre + share / 2
    # Two faces of a size, apart, cannot share one 9:16 window: a wider one
    # holds both, whole with their margins, over the blurred fill; a window
    # of a wide output's shape holds both as it is. Two at the frame's edges
    # are shown as the whole picture, even in a square window (9/16 of the frame).
    apart = [main, (0.05, 0.3, 0.14, 0.25, "face")]
    [wide] = _still_shot(apart)
    assert wide["kind"] == "wide" and share < wide["width"] < 0.8
    (_, centre), = wide["path"]
    assert centre - wide["width"] / 2 < 0.05 - 0.02 and 0.69 + 0.02 < centre + wide["width"] / 2
    assert [s["kind"] for s in _still_shot(apart, window="16:9")] == ["still"]
    edges = [main, (0.01, 0.3, 0.14, 0.25, "face"), (0.85, 0.3, 0.14, 0.25, "face")]
    assert "do not fit one 1:1 window" in _still_shot(edges, window="1:1")[0]["reason"]
    assert _follow.window_share(16 / 9, "1:1") == pytest.approx(9 / 16)


@pytest.mark.parametrize("width, kind", [(0.18, "still"), (0.4, "wide"), (0.6, "blur")])
def test_a_close_up_face_is_kept_whole_with_a_margin_or_framed_wider(width, kind):
    # The 9:16 window of a wide frame is 0.32 of its width: a face box a
    # little narrower is framed whole with a margin; a wider one by a wider
    # window; one twice as wide by the whole picture.
    [shot] = _still_shot([(0.3, 0.1, width, 0.7, "face")])
    assert shot["kind"] == kind
    seen = shot["width"] or _follow.window_share(16 / 9)
    if kind != "blur":
        (_, centre), = shot["path"]
        assert centre - seen / 2 <= 0.3 - 0.1 * width and 0.3 + 1.1 * width <= centre + seen / 2


def test_a_cut_between_shots_of_the_same_colours_is_found():
    def frame_signature(left):
        # The same colours in both shots; only where the bright part lies differs.
        histogram = [0.0] * 256
        histogram[3], histogram[200] = 0.8, 0.2
        layout = [(1.0 if (x < 10) == left else 0.0) for _ in range(18) for x in range(32)]
        return struct.pack(f"{256 + 32 * 18}f", *histogram, *layout)

    times = [i / 25 for i in range(50)]
    signatures = [frame_signature(i < 30) for i in range(50)]
    shots = _follow.plan(times, signatures, [0], [[]], 2.0, 16 / 9, 0.0)
    assert [round(s["start"], 2) for s in shots] == [0.0, 1.2]


def test_real_footage_its_cuts_found_and_the_camera_rests_on_each_face():
    # A film clip Debian ships: dark, four shots, one face in each (once
    # with a hand and a diner behind), the faces nearly still, the last a
    # close-up wider than a 9:16 window with its margins.
    film = "/usr/share/doc/opencv-doc/examples/data/Megamind.avi"
    shots = analyse_range(film, 0, 11.2, "follow")
    assert [round(s.start, 1) for s in shots] == [0.0, 4.1, 6.5, 8.4]
    assert [s.kind for s in shots] == ["still", "still", "still", "wide"]
    # The woman at the left of the first shot, the man right of middle in the second.
    assert shots[0].path[0][1] < 0.5 < shots[1].path[0][1]


@pytest.mark.parametrize("args, error", [
    (([0.0], [b"x" * 1024], [0], [[]], 1.0, 16 / 9, 0.0), None),
    (([0.0], [b"\0" * 1024], [1], [[]], 1.0, 16 / 9, 0.0), ValueError),
    (([0.0], [b"\0" * 1024], [0], [[(0.1, 0.1, 0.1, 0.1, "cat")]], 1.0, 16 / 9, 0.0), ValueError),
    (([0.0], [b"\0" * 1024], [0], [[]], 0.0, 16 / 9, 0.0), ValueError),
    (([0.0], [b"\0" * 1024], [0], [[]], 1.0, float("nan"), 0.0), ValueError),
    (([0.0], ["text"], [0], [[]], 1.0, 16 / 9, 0.0), TypeError),
    (([0.0], [b"\0" * 1024], [0], [[]], 1.0, 16 / 9, 0.0, "2:3"), ValueError),
])
def test_plan_checks_its_input(args, error):
    if error is None:
        assert [s["kind"] for s in _follow.plan(*args)] == ["blur"]
    else:
        with pytest.raises(error):
            _follow.plan(*args)


def test_detect_checks_the_frame():
    with pytest.raises(ValueError, match="bytes"):
        _follow.detect(b"\0" * 10, 4, 4, "/usr/share/opencv4/haarcascades")
    with pytest.raises(RuntimeError, match="cascade"):
        _follow.detect(b"\0" * 48, 4, 4, "/nonexistent")


@pytest.mark.parametrize("follow, frames, message", [
    ([[(0.0, "track", [(0.0, 1.5)], 0.0)]], (), "centres from 0 to 1"),
    ([[(1.0, "still", [(1.0, 0.5)], 0.0), (0.5, "blur", [], 0.0)]], (), "in order"),
    ([[(0.0, "pan", [], 0.0)]], (), "'still', 'track', 'wide' or 'blur'"),
    ([[(0.0, "wide", [(0.0, 0.5)], 1.5)]], (), "from 0 to 1"),
    ([[(0.0, "still", [(0.0, 0.5)])]], (), "kind, path, width"),
    ([None, None], (), "every segment or none"),
    ((), ("crop", "fit"), "every segment or none"),
    ((), ("follow",), "must be one of 'blur', 'crop', 'fit'"),
])
def test_the_studio_refuses_bad_shots(follow, frames, message):
    job = StudioJob(source=SourceInfo("in.mp4", 10.0, 640, 360), segments=[(0.0, 2.0)],
                    narration_seconds=[1.0], texts=["x"], narrations=["n.mp3"], output="out.mp4",
                    captions="none", follow=follow, frames=frames)
    with pytest.raises(ValueError, match=message):
        _core.prepare(job)


def test_the_command_reports_the_framing_and_reuses_its_analysis(media, tmp_path, capsys, monkeypatch):
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([{"start": "2", "end": "4", "voiceover": "He stops."}]))
    args = [media["cross"], str(segments), "--speech", "flite", "--frame", "auto", "--captions", "none",
            "--quality", "fast", "--speed", "2", "--cache-dir", str(tmp_path / "cache"), "--json"]
    assert cli.main(args + ["--output-dir", str(tmp_path / "one")]) == 0
    out, err = capsys.readouterr()
    document = json.loads(out)
    clip = document["segments"][0]
    framing = clip["framing"]
    # The silent source ends the clip 0.5 s after its short narration, before
    # the 2 s of its range: the framing covers the clip as shown.
    assert [(f["framing"], f["start"]) for f in framing] == [("track", 0), ("still", 1)]
    assert 1 < framing[-1]["end"] < 2
    # In seconds of the video too, at the speed factor, as the clip's own place is given.
    assert (framing[0]["out_start"], framing[-1]["out_end"]) == (clip["out_start"], clip["out_end"])
    for f in framing:
        assert f["out_end"] - f["out_start"] == pytest.approx((f["end"] - f["start"]) / 2, abs=0.002)
    # The note printed says what the video shows, where it shows it.
    words = {"track": "tracking crop", "still": "still crop"}
    assert "segment 1: " + "; ".join(f"{words[f['framing']]} {f['out_start']:.2f}-{f['out_end']:.2f} s"
                                     for f in framing) + "\n" in err
    # Again: the analysis comes from the cache.
    monkeypatch.setattr(app_framing, "analyse_range", lambda *a, **k: pytest.fail("analysed again"))
    assert cli.main(args + ["--output-dir", str(tmp_path / "two")]) == 0
    again = json.loads(capsys.readouterr().out)
    assert again["segments"][0]["framing"] == document["segments"][0]["framing"]


def test_a_failed_analysis_keeps_the_blur_framing(media, tmp_path, capsys, monkeypatch):
    def broken(*_args, **_kwargs):
        raise RuntimeError("cannot read the face cascade in /nowhere")

    monkeypatch.setattr(app_framing, "analyse_range", broken)
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([{"start": "0", "end": "1", "voiceover": "Go."}]))
    assert cli.main([media["cross"], str(segments), "--speech", "flite", "--frame", "follow",
                     "--captions", "none", "--quality", "fast", "--no-cache",
                     "--output-dir", str(tmp_path / "out"), "--json"]) == 0
    out, err = capsys.readouterr()
    assert json.loads(out)["segments"][0]["framing"] == []
    assert "segment 1: framing not analysed (cannot read the face cascade in /nowhere); blur framing" in err
    assert os.path.exists(tmp_path / "out" / "FINAL_RECAP.mp4")


def test_a_clip_moved_earlier_is_analysed_where_it_is_shown(media, tmp_path, capsys, monkeypatch):
    # A narration longer than the last second of the source: the render starts
    # the clip earlier, and the window must follow what that clip shows.
    asked = []

    def recorded(source, start, end, *rest, **kw):
        asked.append((start, end))
        return analyse_range(source, start, end, *rest, **kw)

    monkeypatch.setattr(app_framing, "analyse_range", recorded)
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([{"start": "4", "end": "5",
                                     "voiceover": "He walks in, stops, and stands there for a while."}]))
    assert cli.main([media["cross"], str(segments), "--speech", "flite", "--frame", "follow",
                     "--captions", "none", "--quality", "fast", "--no-cache",
                     "--output-dir", str(tmp_path / "out"), "--json"]) == 0
    err = capsys.readouterr().err
    moved = re.search(r"the clip starts [\d.]+ s earlier, at ([\d.]+) s", err)
    assert moved, err
    # Looked at once, over the clip as shown, not first over its range.
    assert len(asked) == 1
    start, end = asked[-1]
    assert start == pytest.approx(float(moved.group(1)), abs=0.006)
    assert end == pytest.approx(5.0, abs=0.05)


def test_each_clip_is_looked_at_once_as_soon_as_its_length_is_known(media, tmp_path, monkeypatch):
    # A narration longer than its range lets the clip run on: the clip is
    # analysed over its whole length once that is measured, not twice.
    from clipweave.app.cache import Cache

    looked = []
    real = app_framing.analyse_range

    def counted(source, start, end, *args, **kwargs):
        looked.append(round(end - start, 3))
        return real(source, start, end, *args, **kwargs)

    monkeypatch.setattr(app_framing, "analyse_range", counted)
    measured = {}
    analysis = app_framing.FramingAnalysis(media["cross"], [segment(0, 2), segment(2.5, 4)], "follow",
                                           Cache(str(tmp_path / "cache"), enabled=False), measured.get)
    analysis.start()
    measured[1] = (2.5, 1.5)
    measured[0] = (0.0, 2.4)
    shots = analysis.shots([(0.0, 2.4), (2.5, 1.5)])
    assert sorted(looked) == [1.5, 2.4]
    assert all(s is not None for s in shots) and shots[0][-1].end == pytest.approx(2.4)
    analysis.stop()
    # Lengths not told ahead: each range is analysed, and a clip a hair
    # longer than its range keeps that analysis; a longer one is analysed again.
    looked.clear()
    analysis = app_framing.FramingAnalysis(media["cross"], [segment(0, 2), segment(2.5, 4)], "follow",
                                           Cache(str(tmp_path / "cache"), enabled=False))
    analysis.start()
    analysis.shots([(0.0, 2.01), (2.5, 2.0)])
    assert sorted(looked) == [1.5, 2.0, 2.0]


def test_a_still_face_held_by_a_wobbling_hand_gets_a_window_that_does_not_move(media):
    # A photograph filmed by hand: the face wobbles by a few pixels.
    wobbly = fm.scene(str(media["dir"] / "wobble.mp4"), 3,
                      [("240+3*sin(2*PI*1.3*t)", "100+2*sin(2*PI*0.7*t)")])
    [shot] = analyse_range(wobbly, 0, 3, "follow")
    assert shot.kind == "still" and len(shot.path) == 1


def test_faces_are_searched_in_half_the_samples_where_none_is_found_and_found_all_the_same(
        media, monkeypatch):
    # A shot of 12 frames with a face, cut in between two without one: at
    # 25 fps every 8th frame is sampled, and its one sample (frame 56) is
    # one the search may pass over where the two around it find nothing.
    source = fm.glimpse(str(media["dir"] / "glimpse.mp4"))
    searched = []
    real = _follow.detect

    def counted(frame, *args):
        searched.append(frame)
        return real(frame, *args)

    class Counting:
        def __getattr__(self, name):
            return getattr(_follow, name)

        detect = staticmethod(counted)

    monkeypatch.setattr(analyse, "_follow", Counting())
    sparse = analyse_range(source, 0, 4.48, "follow")
    fewer = len(searched)
    searched.clear()
    monkeypatch.setattr(analyse, "_between", lambda frame, *args: args[-1](frame))
    every = analyse_range(source, 0, 4.48, "follow")
    assert sparse == every
    assert [s.kind for s in sparse] == ["blur", "still", "blur"]
    assert sparse[1].start == pytest.approx(2.0) and sparse[1].end == pytest.approx(2.48)
    # 14 samples: of the 7 between two searched ones, all are passed over
    # but the one in the face's shot and the last (nothing after it is searched).
    assert (fewer, len(searched)) == (9, 14)


# The limit on the window's acceleration, output pixels per frame per frame.
MAX_ACCELERATION = 1.0


def window_per_frame(shot, rate, span):
    """The window's left edge in source pixels at each frame of a shot, as
    the render places it (the path's keys joined by straight lines)."""
    keys = shot.path
    out = []
    for n in range(round((shot.end - shot.start) * rate)):
        t = shot.start + n / rate
        k = max(i for i, (kt, _) in enumerate(keys) if kt <= t + 1e-9)
        (t0, c0), (t1, c1) = keys[k], keys[min(k + 1, len(keys) - 1)]
        out.append((c0 if t1 == t0 else c0 + (c1 - c0) * (t - t0) / (t1 - t0)) * span)
    return out


@pytest.fixture(scope="module")
def small_walker(media, tmp_path_factory):
    source = fm.small_face_walking(str(media["dir"] / "small.mp4"))
    shots = analyse_range(source, 0, 4, "follow")
    work = tmp_path_factory.mktemp("small-render")
    result = render_studio(source, [segment(0, 4)], work, [media["line"]], captions="none", fit="range",
                           follow=[shots], quality="fast")
    return shots, result


def test_a_small_face_walking_across_a_wide_frame_stays_whole(small_walker):
    shots, result = small_walker
    # Some 36 pixels wide in the analysis's copy of a 720p frame: found and followed.
    assert [s.kind for s in shots] == ["track"]
    scale = 1080 / 404  # the 9:16 window of a 720-line frame, in output pixels a source pixel
    sides = fm.patch_sides(result.video, 920, scale=scale)
    assert len(sides) == 4 * fm.RATE
    whole = 0
    for left, right in sides:
        if left is None and right is None:
            continue
        patch = left if right is None or (left is not None and left > 1080 - right) else right - fm.PATCH * scale
        face = patch + fm.FACE_X * scale
        whole += face >= 0 and face + fm.FACE_W * scale <= 1080
    assert whole >= 0.95 * len(sides)


def test_the_window_never_turns_back_from_one_frame_to_the_next_and_eases(small_walker, cross_shots):
    span_px = {1280: 1080 / 404 * 1280, 640: SCALE * 640}  # output pixels across the frame
    for shot, width in ((small_walker[0][0], 1280), (cross_shots[0], 640)):
        x = [p * span_px[width] / width for p in window_per_frame(shot, fm.RATE, width)]
        speeds = [b - a for a, b in zip(x, x[1:])]
        assert all(a * b >= 0 for a, b in zip(speeds, speeds[1:]))
        assert max(abs(b - a) for a, b in zip(speeds, speeds[1:])) <= MAX_ACCELERATION + 1e-6
        # And it does follow: the face walks most of the frame.
        assert abs(x[-1] - x[0]) > 0.4 * span_px[width]


def test_the_face_model_finds_the_photograph_s_face_and_the_cascades_stand_in_without_it(
        media, monkeypatch):
    import subprocess
    from clipweave.follow import analyse as follow_analyse, face_search
    photo = subprocess.run(["ffmpeg", "-v", "error", "-i", fm.PHOTO, "-f", "rawvideo", "-pix_fmt", "bgr24",
                            "pipe:1"], capture_output=True, check=True).stdout
    how, model = face_search()
    assert how == "model", "scripts/setup.sh installs the face model"
    # One face, the footballer's, about 36 pixels wide at (240, 114) of 548 x 342.
    [(x, y, w, h, kind)] = _follow.detect(photo, 548, 342, follow_analyse.CASCADE_DIR, model)
    assert kind == "face"
    assert (x + w / 2) * 548 == pytest.approx(240, abs=6) and (y + h / 2) * 342 == pytest.approx(114, abs=6)
    assert 28 < w * 548 < 48
    # Without the model the cascades search, and the run is told why.
    monkeypatch.setattr(follow_analyse, "FACE_MODEL", str(media["dir"] / "no-model.onnx"))
    how, why = face_search()
    assert how == "cascades" and "no face model at" in why and "Haar cascades" in why
    assert [s.kind for s in analyse_range(media["cross"], 3, 5, "follow")] == ["still"]


def test_one_look_per_short():
    from clipweave.follow.look import CROPPED, WHOLE, one_look
    face = FollowShot(0.0, 3.0, "still", "still", ((0.0, 0.3),))
    empty = FollowShot(3.0, 4.0, "blur", "no face or person found", ((3.0, 0.5),))
    crowd = FollowShot(0.0, 1.0, "blur", "its subjects do not fit one 9:16 window", ((0.0, 0.5),), 1.0)
    # Mostly framed: every shot cropped, one without a subject on the middle;
    # subjects too wide for any window stay whole.
    look, share, [a, b, c] = one_look([[face, empty], None, [crowd]])
    assert (look, share) == (CROPPED, pytest.approx(0.8))
    assert [s.kind for s in a] == ["still", "still"] and a[1].path == ((3.0, 0.5),)
    assert b is None and c == [crowd]
    # Mostly empty: every shot whole over the blurred fill.
    look, share, [a, b] = one_look([[face], [dataclass_replace(empty, start=0.0, end=5.0)]])
    assert (look, share) == (WHOLE, pytest.approx(3 / 8))
    assert [s.kind for s in a + b] == ["blur", "blur"] and "framed in only 38%" in a[0].reason


def dataclass_replace(shot, **changes):
    import dataclasses
    return dataclasses.replace(shot, **changes)


def test_a_segment_s_own_frame_is_honoured(media, tmp_path, capsys):
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([{"start": "0", "end": "1", "voiceover": "Go."},
                                    {"start": "3.5", "end": "4.5", "voiceover": "Stop.", "frame": "fit"}]))
    assert cli.main([media["cross"], str(segments), "--speech", "flite", "--frame", "follow", "--fit", "range",
                     "--captions", "none", "--quality", "fast", "--no-cache",
                     "--output-dir", str(tmp_path / "out"), "--json"]) == 0
    document = json.loads(capsys.readouterr().out)
    first, second = document["segments"]
    assert [f["framing"] for f in first["framing"]] == ["track"] and second["framing"] == []
    # The second segment in black bars: the frame's top rows are black.
    video = str(tmp_path / "out" / "FINAL_RECAP.mp4")
    top = frame(video, (second["out_start"] + second["out_end"]) / 2, 0, 0, 1080, 8)
    assert max(top) < 30
    top = frame(video, (first["out_start"] + first["out_end"]) / 2, 0, 0, 1080, 8)
    assert max(top) > 30
