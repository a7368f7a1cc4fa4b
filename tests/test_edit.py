"""The editor's parts in-process: the segments file as the page saves it,
the checks it shows, paths it may name, the render panel's options, the
ranges it suggests, and the media it makes of a source."""
import json
import os
import stat

import pytest

from clipweave.app.cache import Cache
from clipweave.batch.jobs import load_jobs
from clipweave.edit import form, media as media_module
from clipweave.edit.media import KEYFRAME_EVERY, Media, motion, peaks
from clipweave.edit.project import Conflict, Project, Refused, file_bytes
from clipweave.edit.suggest import MAX_LENGTH, suggest
from clipweave.model.segments import UsageError, load_segments, parse_segments
from clipweave.system import children
from clipweave.system.files import PARTIAL_PREFIX, write_atomic
from clipweave.system.probe import media_info
from studio_media import ffmpeg
from support import seg

GOOD = [seg("00:00:01", "00:00:04.5", "It begins."), seg("6.2", "8", "Then it ends.")]


def test_a_save_is_the_file_the_command_reads_with_the_old_one_kept(tmp_path):
    path = tmp_path / "movie.segments.json"
    project = Project(str(path), 60.0)
    first = project.save(GOOD, None)
    assert [(s.start_text, s.end_text, s.narration) for s in load_segments(str(path))] == \
        [("00:00:01", "00:00:04.5", "It begins."), ("6.2", "8", "Then it ends.")]
    assert not os.path.exists(project.backup)
    os.chmod(path, 0o640)
    old = path.read_bytes()
    # Other keys of an entry are the file's: kept as they were.
    second = project.save([{**GOOD[0], "note": "kept"}, GOOD[1]], first)
    assert open(project.backup, "rb").read() == old
    assert json.loads(path.read_text())[0]["note"] == "kept"
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640
    assert second != first
    # Every segment is one line of the file.
    assert path.read_text().count("\n") == len(GOOD) + 2
    assert [p for p in os.listdir(tmp_path) if p.startswith(PARTIAL_PREFIX)] == []


def test_a_refused_or_stale_save_leaves_the_file_alone(tmp_path):
    path = tmp_path / "s.json"
    project = Project(str(path), 9.0)
    version = project.save(GOOD[:1], None)
    before = path.read_bytes()
    with pytest.raises(Refused) as refused:
        project.save([seg("5", "3", ""), seg("1", "99", "Too late.")], version)
    # The command's own lines, file name and all.
    assert refused.value.problems == [
        f'segments file {path}, segment 1: "voiceover" is empty',
        f'segments file {path}, segment 1: "end" (3) is not after "start" (5)']
    with pytest.raises(Refused) as outside:
        project.save([seg("1", "99", "Too late.")], version)
    assert outside.value.problems == ["segment 1 (1 to 99) is not inside the video, which lasts 9.00 s"]
    path.write_text(json.dumps(GOOD[1:]))  # changed by someone else
    changed = path.read_bytes()
    with pytest.raises(Conflict) as conflict:
        project.save(GOOD, version)
    assert conflict.value.status == 409 and conflict.value.details["segments"] == GOOD[1:]
    assert path.read_bytes() == changed
    assert project.save(GOOD, None, force=True) != version
    assert open(project.backup, "rb").read() == changed
    assert before != changed


def test_the_checks_the_page_shows_are_the_commands(tmp_path):
    project = Project(str(tmp_path / "s.json"), 9.0)
    entries = [seg("1", "2"), "not an object", seg("x", "4", ""), seg("8", "12", "Past the end."),
               {"start": 3, "end": 4.25, "voiceover": "Numbers."}]
    checked = project.check(entries)
    assert checked["segments"] == [
        [], ["must be an object, not a string"],
        ["\"start\" is not a time such as 75.5 or 00:01:15.5: 'x'", '"voiceover" is empty'],
        ["(8 to 12) is not inside the video, which lasts 9.00 s"], []]
    assert checked["seconds"] == [[1.0, 2.0], [None, None], [None, 4.0], [8.0, 12.0], [3.0, 4.25]]
    with pytest.raises(UsageError) as command:
        parse_segments(project.named, file_bytes(entries))
    assert checked["lines"] == command.value.problems
    assert project.check([])["problems"] == [f"segments file {project.named} holds no segments"]
    assert project.check(entries[:1])["lines"] == []


def test_a_draft_is_offered_until_saved(tmp_path):
    project = Project(str(tmp_path / "s.json"), 60.0)
    version = project.save(GOOD, None)
    assert project.read_draft() is None
    unsaved = [seg("1", "", "half typed")]
    project.keep_draft(unsaved, version)
    assert project.read_draft()["segments"] == unsaved
    project.keep_draft(GOOD, version)  # what the file holds: nothing to offer
    assert project.read_draft() is None
    project.keep_draft(unsaved, version)
    project.save(GOOD[:1], version)
    assert not os.path.exists(project.draft)


def test_paths_the_page_names_stay_in_the_project(tmp_path):
    project = Project(str(tmp_path / "s.json"), 60.0)
    (tmp_path / "elsewhere").symlink_to("/tmp")
    assert project.inside("out/a", "output_dir") == str(tmp_path / "out" / "a")
    assert project.inside(".", "output_dir") == str(tmp_path)
    for bad in ("../out", "out/../../x", "/tmp/out", "~/out", "elsewhere/out", "", "a\0b", 7):
        with pytest.raises(Refused):
            project.inside(bad, "output_dir")


def test_a_job_is_added_only_when_the_batch_would_take_the_file(tmp_path):
    source = tmp_path / "movie.mp4"
    source.write_bytes(b"x")
    project = Project(str(tmp_path / "movie.segments.json"), 60.0)
    project.save(GOOD, None)
    job = {"source": str(source), "segments": "movie.segments.json", "output_dir": "out/a",
           "speed": 1.25}
    (tmp_path / "batches").mkdir()
    assert project.add_job("batches/jobs.json", job, load_jobs) == 1
    assert project.add_job("batches/jobs.json", {**job, "output_dir": "out/b"}, load_jobs) == 2
    jobs = load_jobs(str(tmp_path / "batches" / "jobs.json"))
    assert [j.output_dir for j in jobs] == [str(tmp_path / "out" / "a"), str(tmp_path / "out" / "b")]
    assert jobs[0].segments == str(tmp_path / "movie.segments.json")
    before = (tmp_path / "batches" / "jobs.json").read_bytes()
    with pytest.raises(Refused) as refused:
        project.add_job("batches/jobs.json", {**job, "output_dir": "out/a", "speed": "fast"}, load_jobs)
    assert any("job 3" in p for p in refused.value.problems)
    assert (tmp_path / "batches" / "jobs.json").read_bytes() == before
    assert [p for p in os.listdir(tmp_path / "batches") if p.startswith(PARTIAL_PREFIX)] == []


def test_write_atomic_leaves_the_old_file_or_the_new(tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"old")
    with pytest.raises(TypeError):
        write_atomic(str(path), "not bytes")
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["f"]
    write_atomic(str(path), b"new")
    assert path.read_bytes() == b"new" and os.listdir(tmp_path) == ["f"]


@pytest.mark.parametrize("values, problems", [
    ({"speed": 1.25, "frame": "crop", "bed_volume": "off", "captions": "phrases", "jobs": 2.0,
      "voice": "slt", "classic": False}, []),
    ({"tempo": 2, "speed": "fast", "jobs": 1.5, "bed_volume": True, "output_dir": "x"},
     ["options: 'tempo' is not an option of the render panel", "options: speed must be a number",
      "options: jobs must be a whole number", 'options: bed_volume must be a number of dB or "off"',
      "options: 'output_dir' is not an option of the render panel"]),
    ({"frame": "wide", "aspect": "2:1"},
     ["argument --frame: invalid choice: 'wide' (choose from 'blur', 'crop', 'fit', 'follow', 'auto')",
      "argument --aspect: invalid choice: '2:1' (choose from '9:16', '4:5', '1:1', '16:9')"]),
    ({"speed": 200, "jobs": 99}, ["speed must be a finite number from 0.5 to 100, got 200.0",
                                  "--jobs must be from 1 to 32, got 99"]),
    ({"classic": True, "frame": "crop"}, ["--frame: for the studio render, not --classic"]),
    ({"download_service": "https://x.org"},
     ["options: 'download_service' is not an option of the render panel"]),
])
def test_the_panel_refuses_what_the_command_refuses(values, problems):
    argv, found = form.arguments(values)
    assert found == problems
    if not problems:
        assert "--speed=1.25" in argv and "--jobs=2" in argv and "--bed-volume=off" in argv


def test_the_panel_is_the_table():
    from clipweave.app.offline_speech import Speaker
    from clipweave.app.settings import Setting

    fields = form.fields({"aspect": Setting("1:1", "config file x")}, Speaker("flite", "slt", True))
    by_name = {f["name"]: f for f in fields}
    assert list(by_name) == [o.name for o in form.PANEL]
    assert "download_service" not in by_name and "json" not in by_name
    assert by_name["aspect"]["default"] == "1:1" and by_name["aspect"]["from"] == "config file x"
    assert by_name["frame"]["choices"] == ["blur", "crop", "fit", "follow", "auto"]
    assert by_name["speed"]["range"] == [0.5, 100.0] and "flite speaks" in by_name["speech"]["note"]
    assert form.batch_job({"speed": 2, "overwrite": True}) == {"speed": 2}


def test_ranges_are_suggested_in_shots_with_sound_or_motion():
    rate = 100
    # 0-3 s loud and still, 3-6 s silent and still, 6-20 s silent, moving from 15 s.
    loud = bytes([200] * 300 + [0] * 1700)
    moving = [0.0] * 30 + [5.0 if t >= 30 else 0.0 for t in range(30, 40)]
    moving[6] = moving[12] = 40.0  # the change across each cut
    found = suggest(20.0, [3.0, 6.0], loud, rate, moving, 2, taken=())
    assert [(r["start"], r["end"]) for r in found] == [(0.0, 3.0), (12.0, 20.0)]
    assert found[1]["end"] - found[1]["start"] == MAX_LENGTH
    assert suggest(20.0, [3.0, 6.0], loud, rate, moving, 2, taken=[(1.0, 2.0)])[0]["start"] == 12.0
    assert suggest(20.0, [3.0, 6.0], bytes(2000), rate, [0.0] * 40, 2) == []


def test_peaks_and_motion():
    pcm = (b"\x00\x00" * 80) + (b"\xff\x7f" * 40 + b"\x01\x80" * 40)
    assert peaks(pcm) == bytes([0, 255])
    frames = bytes([10] * 4) + bytes([10] * 4) + bytes([30, 10, 10, 10])
    assert motion(frames, 4) == [0.0, 0.0, 5.0]


@pytest.fixture(scope="module")
def tall_source(tmp_path_factory):
    """2 s at 640x720 stored, pixels twice as wide as tall: shown 1280x720."""
    path = tmp_path_factory.mktemp("media") / "tall.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=640x720:rate=25:duration=2,setsar=2",
           "-f", "lavfi", "-i", "sine=frequency=440:duration=2", "-c:v", "libx264", "-preset",
           "ultrafast", "-g", "50", "-c:a", "aac", "-shortest", str(path))
    return str(path)


def test_the_browser_copy_and_its_parts_are_made_once(tmp_path, tall_source, monkeypatch):
    cache = Cache(str(tmp_path / "cache"))
    made = Media(tall_source, media_info(tall_source), cache, str(tmp_path / "one"))
    made.start()
    made.ready.wait(120)
    assert {n: p["state"] for n, p in made.status().items()} == dict.fromkeys(media_module.PARTS, "ready")
    info = media_info(made.copy)
    # Shown 16:9 at 480 lines, the width even.
    assert (info.width, info.height, info.sar) == (852, 480, (1, 1))
    streams = json.loads(ffmpeg_probe(made.copy))["streams"]
    assert [s["codec_name"] for s in streams] == ["h264", "aac"]
    keys = [float(p["pts_time"]) for p in json.loads(ffmpeg_probe(made.copy, packets=True))["packets"]
            if "K" in p["flags"]]
    # The first frame at or after every half second (25 frames a second).
    assert [round(k / KEYFRAME_EVERY) for k in keys] == [0, 1, 2, 3]
    assert all(0 <= k - round(k / KEYFRAME_EVERY) * KEYFRAME_EVERY < 1 / 25 for k in keys)
    assert 200 <= len(made.value("waveform")["peaks"]) <= 205  # AAC pads a little
    assert made.value("strip")["tiles"] == 2 and made.value("cuts") == []
    # Again from the cache: nothing decoded, nothing encoded.
    spawned = []
    spawn = children.spawn
    monkeypatch.setattr(children, "spawn", lambda argv, **kw: spawned.append(argv) or spawn(argv, **kw))
    again = Media(tall_source, media_info(tall_source), cache, str(tmp_path / "two"))
    again.start()
    again.ready.wait(60)
    assert again.status() == made.status() and spawned == []
    assert open(again.copy, "rb").read() == open(made.copy, "rb").read()


def ffmpeg_probe(path, packets=False):
    import subprocess

    what = ["-select_streams", "v:0", "-show_entries", "packet=pts_time,flags"] if packets else \
        ["-show_entries", "stream=codec_name"]
    return subprocess.run(["ffprobe", "-v", "error", *what, "-of", "json", path],
                          capture_output=True, check=True, text=True).stdout
