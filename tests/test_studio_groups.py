"""The studio render in bounded groups: no ffmpeg run's inputs grow with the
segments, the groups join frame-exact with the sound normalised over the
whole recap, and a thousand segments render under the usual limit of open
files."""
import resource

import pytest

from clipweave.model.segments import Segment
from clipweave.system.probe import loudness
from clipweave.studio import _core, render_studio
from clipweave.studio.job import SourceInfo, StudioJob
from studio_media import ffmpeg, pattern_video, streams, tone


def job(n, length=1.0, size=(1280, 720), **changes):
    fields = dict(segments=[(i * 2.0, i * 2.0 + length) for i in range(n)],
                  narrations=[f"/n/{i}.wav" for i in range(n)], narration_seconds=[0.5] * n,
                  narration_lufs=[None] * n, texts=["x"] * n, captions_file="c.ass",
                  graph_file="g.txt", output=".o.mp4.part")
    fields.update(changes)
    return StudioJob(SourceInfo("/m/s.mp4", 2.0 * n + 2, width=size[0], height=size[1],
                                has_audio=True), **fields)


@pytest.mark.parametrize("n", [4, 24, 1000])
@pytest.mark.parametrize("size, clips", [((1280, 720), 4), ((1920, 1080), 3), ((160, 90), 32)])
def test_no_run_opens_more_inputs_as_the_segments_grow(n, size, clips):
    """A group's clips are bounded by the pictures their decoders hold: each
    clip opens the source and its narration."""
    ready = _core.prepare(job(n, size=size))
    # A group of pictures opens the source once a clip; a run of sound its
    # clips' source and narration, 32 clips at most.
    assert max(g["args"].count("-i") for g in ready["groups"]) <= clips
    assert max(s["args"].count("-i") for s in ready["sounds"]) <= 2 * min(n, 32)
    assert len(ready["sounds"]) == -(-n // 32)
    # Two groups side by side at least, where there are two clips.
    assert len(ready["groups"]) >= 2
    # The mix reads the sounds through a join list; the finish the groups
    # through another, and copies both.
    assert ready["mix"]["args"].count("concat") == 1
    finish = ready["finish"]["args"]
    assert finish.count("concat") == 1 and finish[finish.index("-c") + 1] == "copy"
    assert sum(g["frames"] for g in ready["groups"]) == ready["plan"]["frames"]


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    return pattern_video(tmp_path_factory.mktemp("groups") / "s.mp4", 24, size="160x90")


def test_groups_join_frame_exact_and_in_step(source, tmp_path):
    """Nine clips in several groups: every frame there, the sound as long as
    the picture, the loudness normalised over the whole, each clip's first
    frame the source's frame at its start (the test pattern's clock)."""
    segments = [Segment(i * 2.5, i * 2.5 + 1.3, "", "", "x") for i in range(9)]
    narr = tone(tmp_path / "n.wav", 1.0)
    result = render_studio(source, segments, tmp_path, [narr] * 9, captions="none",
                           quality="fast", fit="range", speed=1.25)
    s = streams(result.video)
    frames = int(s["video"]["nb_read_frames"])
    assert frames == round(9 * 1.3 / 1.25 * 25)
    assert abs(float(s["audio"]["duration"]) - frames / 25) < 0.03
    level, peak = loudness(result.video)
    assert abs(level + 14) < 1.0 and peak <= -0.9
    # The frames of each clip's start against the source's at its range's start.
    for k in (0, 4, 8):
        at = result.segments[k].out_start
        got = ffmpeg("-ss", f"{at + 0.001:.3f}", "-i", result.video, "-frames:v", "1",
                     "-vf", "crop=1080:608:0:656,scale=160:90", "-f", "rawvideo",
                     "-pix_fmt", "gray", "-")
        want = ffmpeg("-ss", f"{segments[k].start:.3f}", "-i", source, "-frames:v", "1",
                      "-f", "rawvideo", "-pix_fmt", "gray", "-")
        other = ffmpeg("-ss", f"{segments[k].start + 0.2:.3f}", "-i", source, "-frames:v", "1",
                       "-f", "rawvideo", "-pix_fmt", "gray", "-")
        diff = sum(abs(a - b) for a, b in zip(got, want)) / len(got)
        assert diff < sum(abs(a - b) for a, b in zip(got, other)) / len(got)


@pytest.mark.heavy
def test_a_thousand_segments_render_within_the_usual_open_files(source, tmp_path):
    """1000 clips of 0.1 s with the soft limit of open files at 1024."""
    narr = tone(tmp_path / "n.wav", 0.05)
    segments = [Segment(i * 0.02, i * 0.02 + 0.1, "", "", "x") for i in range(1000)]
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(1024, hard), hard))
    try:
        result = render_studio(source, segments, tmp_path, [narr] * 1000, captions="none",
                               quality="fast", fit="range", speed=4.0, bed_volume=None,
                               narration_levels=[(0.05, None)] * 1000)
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    s = streams(result.video)
    assert int(s["video"]["nb_read_frames"]) == round(1000 * 0.1 / 4 * 25)


def test_clips_of_a_single_frame_each_keep_it(source, tmp_path):
    """Clips that last one frame at this speed, one after another: none is
    lost where the clips are joined."""
    narr = tone(tmp_path / "n.wav", 0.05)
    segments = [Segment(i * 0.5, i * 0.5 + 0.1, "", "", "x") for i in range(10)]
    result = render_studio(source, segments, tmp_path, [narr] * 10, captions="none",
                           quality="fast", fit="range", speed=4.0, bed_volume=None,
                           narration_levels=[(0.05, None)] * 10)
    frames = int(streams(result.video)["video"]["nb_read_frames"])
    assert frames == round(10 * 0.1 / 4 * 25)
