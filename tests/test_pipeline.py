"""run_recap from end to end with real ffmpeg and fake services.

The download and the speech service are replaced by functions that copy
small pre-made media files; `subprocess` by a recorder that runs the real
ffmpeg (except the hardware attempt, whose outcome each test chooses);
`time` by a recorder, so the runs take no fixed pauses.
"""
import json
import os
import shutil
import subprocess
from types import SimpleNamespace

import pytest

import clipweave.clipweave as _module
from clipweave.system.probe import probe
from support import NO_REQUESTS, Clock, seg

REAL_GENERATE_TTS = _module._generate_tts
NOTHING = object()
j = os.path.join
URL = "https://www.youtube.com/watch?v=abc123"
VOICE = "en-US-TestVoice"
VOICE_SECONDS = 1.5

SCALE_CROP = "scale=1080:1920:force_original_aspect_ratio=increase,crop=1080:1920"


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error", *args], check=True)


@pytest.fixture(scope="session")
def media(tmp_path_factory):
    d = tmp_path_factory.mktemp("media")
    src, voice = str(d / "source.mp4"), str(d / "voice.mp3")
    # A keyframe every second, so stream-copy cuts at whole seconds are exact.
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25",
           "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100",
           "-t", "8", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25",
           "-keyint_min", "25", "-sc_threshold", "0", "-pix_fmt", "yuv420p",
           "-c:a", "aac", src)
    ffmpeg("-f", "lavfi", "-i", f"sine=frequency=300:duration={VOICE_SECONDS}",
           "-c:a", "libmp3lame", voice)
    return SimpleNamespace(src=src, voice=voice)


def kind_of(argv):
    if "h264_nvenc" in argv:
        return "gpu"
    if "libx264" in argv:
        return "cpu"
    if "concat" in argv:
        return "join"
    if "-map" in argv:
        return "merge"
    if "-ss" in argv:
        return "cut"
    return "other"


class Procs:
    """Stands in for `subprocess`: records every run, then runs it for real.

    The hardware attempt never runs: it reports `gpu` ("ok" or "fail"); when
    it reports success, the software encoder makes the file in its place.
    With render=False neither encoder runs (for tests about the vectors only).
    """

    def __init__(self, log):
        self.calls = []
        self.log = log
        self.gpu = "fail"
        self.render = True
        self.before = {}  # kind -> fn(n, argv), n counting runs of that kind
        self.after = {}

    def __getattr__(self, name):
        return getattr(subprocess, name)

    def of(self, kind):
        return [c for c in self.calls if c.kind == kind]

    def run(self, argv, **kwargs):
        kind = kind_of(argv)
        n = len(self.of(kind))
        self.calls.append(SimpleNamespace(kind=kind, argv=list(argv), kwargs=dict(kwargs)))
        self.log.append(kind)
        if kind in self.before:
            self.before[kind](n, argv)
        try:
            if kind == "gpu":
                ok = self.gpu == "ok"
                if ok and self.render:
                    subprocess.run(argv[:12] + ["-c:v", "libx264", "-preset", "ultrafast",
                                                "-crf", "23", argv[-1]], check=True)
                return subprocess.CompletedProcess(argv, 0 if ok else 1, b"", b"")
            if kind == "cpu" and not self.render:
                return subprocess.CompletedProcess(argv, 0)
            return subprocess.run(argv, **kwargs)
        finally:
            if kind in self.after:
                self.after[kind](n, argv)


class Pipe:
    def __init__(self, cw, rebind, media, tmp_path):
        self.cw, self.media, self.tmp = cw, media, tmp_path
        self.log = []
        self.procs = Procs(self.log)
        self.downloads, self.speeches = [], []
        self.download_hook = None  # fn(output_file), runs instead of the copy
        self.tts_hook = None  # fn(n, output_file) -> True if it wrote the file
        self.out = tmp_path / "out"
        self.out.mkdir()
        self.segments_file = str(tmp_path / "segments.json")
        rebind("subprocess", self.procs)
        rebind("time", Clock(on_sleep=lambda seconds: self.log.append(("sleep", seconds))))
        rebind("_download_video", self._download)
        rebind("_generate_tts", self._tts)

    def _download(self, url, output_file):
        self.downloads.append((url, output_file, os.path.exists(output_file)))
        self.log.append("download")
        if self.download_hook:
            self.download_hook(output_file)
        else:
            shutil.copyfile(self.media.src, output_file)

    def _tts(self, text, output_file, voice):
        n = len(self.speeches)
        self.speeches.append((text, output_file, voice))
        self.log.append("tts")
        if not (self.tts_hook and self.tts_hook(n, output_file)):
            shutil.copyfile(self.media.voice, output_file)

    def write(self, segments):
        data = segments if isinstance(segments, bytes) else json.dumps(segments).encode()
        with open(self.segments_file, "wb") as f:
            f.write(data)

    def run(self, segments=NOTHING, speed=1.5, output_dir=None):
        if segments is not NOTHING:
            self.write(segments)
        return self.cw.run_recap(URL, self.segments_file, speed, VOICE,
                                 str(self.out) if output_dir is None else output_dir)

    def files(self, directory=None):
        return sorted(os.listdir(directory or self.out))


@pytest.fixture
def pipe(cw, rebind, media, tmp_path):
    return Pipe(cw, rebind, media, tmp_path)


TWO = [
    # The voice (1.5 s) outlasts the first cut and not the second.
    {"start": "1", "end": "2", "voiceover": "Ça commence — 'quoted' \"double\"\nnext line",
     "note": "extra keys are ignored"},
    seg("00:00:03", "00:00:06", ""),
]


def cut_argv(out, i, start, end):
    return ["ffmpeg", "-y", "-loglevel", "error", "-ss", start, "-to", end,
            "-i", j(out, "movie.mp4"), "-c", "copy", "-an", j(out, f"clip_{i}.mp4")]


def merge_argv(out, i):
    return ["ffmpeg", "-y", "-loglevel", "error", "-i", j(out, f"clip_{i}.mp4"),
            "-i", j(out, f"voice_{i}.mp3"), "-map", "0:v", "-map", "1:a", "-c:v", "copy",
            "-c:a", "aac", "-shortest", j(out, f"merged_{i}.mp4")]


def join_argv(out):
    return ["ffmpeg", "-y", "-loglevel", "error", "-f", "concat", "-safe", "0",
            "-i", j(out, "filelist.txt"), "-c", "copy", j(out, "horizontal_final.mp4")]


def render_argv(out, factor, af, encoder):
    base = ["ffmpeg", "-y", "-loglevel", "error", "-i", j(out, "horizontal_final.mp4"),
            "-vf", f"setpts={factor}*PTS,{SCALE_CROP}", "-af", af, "-c:a", "aac"]
    quality = {"gpu": ["h264_nvenc", "-preset", "p1", "-cq"],
               "cpu": ["libx264", "-preset", "ultrafast", "-crf"]}[encoder]
    return base + ["-c:v", *quality, "23", j(out, "FINAL_RECAP.mp4")]


def messages(out, segment_lines, speed_text="1.5", fallback=True):
    return "".join(line + "\n" for line in [
        f"🎬 Processing {len(segment_lines)} segments...",
        *(f"  Segment {n}/{len(segment_lines)}: {a} → {b}"
          for n, (a, b) in enumerate(segment_lines, 1)),
        "🔗 Concatenating segments...",
        f"📐 Converting to 9:16 vertical at {speed_text}x speed...",
        *(["  (GPU unavailable, using CPU encoder...)"] if fallback else []),
        "🧹 Cleaning up...",
        f"✅ Done! Horizontal Output: {j(out, 'horizontal_final.mp4')}",
        f"✅ Done! Vertical Output: {j(out, 'FINAL_RECAP.mp4')}",
    ])


# --- a whole run -----------------------------------------------------------

@pytest.mark.parametrize("gpu", ["fail", "ok"])
def test_two_segment_run(pipe, capsys, gpu):
    pipe.procs.gpu = gpu
    out = str(pipe.out)
    (pipe.out / "keep-me.txt").write_text("not ours")
    result = pipe.run(TWO)

    assert result == j(out, "FINAL_RECAP.mp4")
    assert capsys.readouterr().out == messages(
        out, [("1", "2"), ("00:00:03", "00:00:06")], fallback=gpu == "fail")

    expected = [
        ("cut", cut_argv(out, 0, "1", "2")), ("merge", merge_argv(out, 0)),
        ("cut", cut_argv(out, 1, "00:00:03", "00:00:06")), ("merge", merge_argv(out, 1)),
        ("join", join_argv(out)),
        ("gpu", render_argv(out, "0.666667", "atempo=1.5", "gpu")),
    ]
    if gpu == "fail":
        expected.append(("cpu", render_argv(out, "0.666667", "atempo=1.5", "cpu")))
    assert [(c.kind, c.argv) for c in pipe.procs.calls] == expected
    for c in pipe.procs.calls:
        assert c.kwargs == ({"capture_output": True} if c.kind == "gpu" else {"check": True})
    assert [len(c.argv) for c in pipe.procs.calls] == [14, 18, 14, 18, 13, 19, 19][:len(expected)]

    # Narration text and voice reach the speech call unchanged; every speech
    # call is followed by the half-second pause before its cut.
    assert pipe.downloads == [(URL, j(out, "movie.mp4"), False)]
    assert pipe.speeches == [(TWO[0]["voiceover"], j(out, "voice_0.mp3"), VOICE),
                             ("", j(out, "voice_1.mp3"), VOICE)]
    render = ["gpu"] + (["cpu"] if gpu == "fail" else [])
    assert pipe.log == ["download", "tts", ("sleep", 0.5), "cut", "merge",
                        "tts", ("sleep", 0.5), "cut", "merge", "join", *render]

    assert pipe.files() == ["FINAL_RECAP.mp4", "horizontal_final.mp4", "keep-me.txt"]
    streams, duration = probe(j(out, "horizontal_final.mp4"))
    # -shortest: 1 s (the cut) + 1.5 s (the narration).
    assert duration == pytest.approx(2.5, abs=0.15)
    assert (streams["video"]["width"], streams["audio"]["codec_name"]) == (320, "aac")
    streams, duration = probe(j(out, "FINAL_RECAP.mp4"))
    assert (streams["video"]["width"], streams["video"]["height"]) == (1080, 1920)
    assert (streams["video"]["codec_name"], streams["audio"]["codec_name"]) == ("h264", "aac")
    assert duration == pytest.approx(2.5 / 1.5, abs=0.15)


def test_segment_files_come_and_go(pipe):
    """Between segments only the merged clip of the finished one is left."""
    seen = []
    pipe.tts_hook = lambda n, path: seen.append(pipe.files()) and False
    pipe.procs.render = False
    pipe.run([seg("1", "2"), seg("2", "3"), seg("3", "4")])
    assert seen == [["movie.mp4"], ["merged_0.mp4", "movie.mp4"],
                    ["merged_0.mp4", "merged_1.mp4", "movie.mp4"]]


def test_join_list_holds_absolute_paths_and_escapes_quotes(pipe, monkeypatch, tmp_path):
    lists = []
    pipe.procs.before["join"] = lambda n, argv: lists.append(open(argv[9], "rb").read())
    pipe.procs.render = False
    odd = tmp_path / "it's a 'recap'"
    odd.mkdir()
    monkeypatch.chdir(odd)
    pipe.run([seg("1", "2"), seg("2", "3")], output_dir=".")
    assert lists == [
        f"file '{tmp_path}/it'\\''s a '\\''recap'\\''/merged_0.mp4'\n"
        f"file '{tmp_path}/it'\\''s a '\\''recap'\\''/merged_1.mp4'\n".encode()
    ]
    # The concat demuxer read that list: the join worked from both clips.
    assert probe("horizontal_final.mp4")[1] == pytest.approx(2.0, abs=0.15)
    assert pipe.files(".") == ["horizontal_final.mp4"]


@pytest.mark.parametrize("output_dir, prefix", [
    (".", "."), (None, "."), ("sub", "sub"), ("sub/", "sub/"), ("sub/../sub", "sub/../sub"),
])
def test_paths_stay_as_joined(pipe, capsys, monkeypatch, output_dir, prefix):
    monkeypatch.chdir(pipe.tmp)
    os.makedirs("sub", exist_ok=True)
    pipe.procs.render = False
    pipe.write([seg("1", "2")])
    if output_dir is None:  # the default
        result = pipe.cw.run_recap(URL, pipe.segments_file, 2, VOICE)
    else:
        result = pipe.run(speed=2, output_dir=output_dir)
    assert result == os.path.join(prefix, "FINAL_RECAP.mp4")
    assert capsys.readouterr().out.splitlines()[-1] == f"✅ Done! Vertical Output: {result}"
    assert pipe.downloads[0][1] == os.path.join(prefix, "movie.mp4")
    assert [c.argv[-1] for c in pipe.procs.calls] == [
        os.path.join(prefix, name) for name in
        ("clip_0.mp4", "merged_0.mp4", "horizontal_final.mp4", "FINAL_RECAP.mp4",
         "FINAL_RECAP.mp4")]


@pytest.mark.parametrize("speed, speed_text, factor, af", [
    (1.5, "1.5", "0.666667", "atempo=1.5"),
    (1.0, "1.0", "1.000000", "atempo=1.0"),
    (3, "3.0", "0.333333", "atempo=2.0,atempo=1.5000"),
    (2, "2.0", "0.500000", "atempo=2.0"),
    (True, "1.0", "1.000000", "atempo=1.0"),
    (0.1 + 0.2, "0.30000000000000004", "3.333333", "atempo=0.30000000000000004"),
    (5.0, "5.0", "0.200000", "atempo=2.0,atempo=2.0,atempo=1.2500"),
])
def test_speed_factor_in_message_and_filters(pipe, capsys, speed, speed_text, factor, af):
    pipe.procs.render = False
    pipe.run([seg("1", "2")], speed=speed)
    assert f"📐 Converting to 9:16 vertical at {speed_text}x speed...\n" in capsys.readouterr().out
    out = str(pipe.out)
    assert [c.argv for c in pipe.procs.calls[-2:]] == [
        render_argv(out, factor, af, "gpu"), render_argv(out, factor, af, "cpu")]


def test_tempo_chain_is_looked_up_at_call_time(pipe, rebind):
    asked = []
    rebind("_build_atempo_chain", lambda speed: asked.append(speed) or "atempo=1.25")
    pipe.procs.gpu = "ok"
    pipe.procs.render = False
    pipe.run([seg("1", "2")], speed=2)
    assert asked == [2.0] and type(asked[0]) is float
    assert pipe.procs.of("gpu")[0].argv[9] == "atempo=1.25"


def test_many_segments_and_repeated_ranges(pipe):
    """Eleven identical ranges: eleven clips, told apart only by index."""
    pipe.procs.render = False
    pipe.run([seg("0", "1", f"line {n}") for n in range(11)])
    assert [c.argv[-1] for c in pipe.procs.of("merge")] == [
        j(str(pipe.out), f"merged_{i}.mp4") for i in range(11)]
    assert pipe.procs.of("cut")[10].argv[-1] == j(str(pipe.out), "clip_10.mp4")
    assert pipe.speeches[10][:2] == ("line 10", j(str(pipe.out), "voice_10.mp3"))
    # Each clip's AAC padding adds a little to the joined length.
    assert 10.8 < probe(j(str(pipe.out), "horizontal_final.mp4"))[1] < 12


def test_stale_files_of_earlier_runs(pipe):
    """A stale movie goes before the download; other leftovers are overwritten or left."""
    (pipe.out / "movie.mp4").write_text("stale")
    (pipe.out / "merged_5.mp4").write_text("from an earlier, longer run")
    (pipe.out / "FINAL_RECAP.mp4").write_text("old result")
    pipe.procs.render = False
    pipe.procs.gpu = "ok"
    pipe.run([seg("1", "2")])
    assert pipe.downloads[0][2] is False
    assert pipe.files() == ["FINAL_RECAP.mp4", "horizontal_final.mp4", "merged_5.mp4"]


def test_files_already_gone_at_clean_up_are_skipped(pipe, capsys):
    def vanish(n, argv):
        os.remove(j(str(pipe.out), "merged_0.mp4"))
        os.remove(j(str(pipe.out), "movie.mp4"))
    pipe.procs.after["join"] = vanish
    pipe.procs.render = False
    pipe.run([seg("1", "2"), seg("2", "3")])
    assert capsys.readouterr().out.endswith("🧹 Cleaning up...\n✅ Done! Horizontal Output: "
                                            f"{j(str(pipe.out), 'horizontal_final.mp4')}\n"
                                            "✅ Done! Vertical Output: "
                                            f"{j(str(pipe.out), 'FINAL_RECAP.mp4')}\n")
    assert pipe.files() == ["horizontal_final.mp4"]


def test_segments_file_is_read_after_the_download(pipe, capsys):
    # The file does not exist until the download has finished.
    def download(output_file):
        shutil.copyfile(pipe.media.src, output_file)
        pipe.write([seg("1", "2")])

    pipe.download_hook = download
    pipe.procs.render = False
    pipe.run()
    assert "🎬 Processing 1 segments...\n" in capsys.readouterr().out


# --- failures: what surfaces, what is printed, which files stay -------------

def test_stale_movie_is_removed_even_when_the_download_fails(pipe, capsys):
    (pipe.out / "movie.mp4").write_text("stale")

    def download(output_file):
        assert not os.path.exists(output_file)
        raise Exception("Download API error: {'success': False}")

    pipe.download_hook = download
    with pytest.raises(Exception, match=r"^Download API error: "):
        pipe.run([seg("1", "2")])
    assert pipe.files() == []
    assert capsys.readouterr().out == ""
    assert pipe.procs.calls == []


@pytest.mark.parametrize("content, error", [
    (b'[{"start": "1", "end": "2", "voiceover": "caf\xe9"}]', UnicodeDecodeError),
    (b'\xef\xbb\xbf[{"start": "1", "end": "2", "voiceover": "x"}]', json.JSONDecodeError),
    (b'[{"start": "1", "end": "2", "voiceover": "x"}', json.JSONDecodeError),
    (b"", json.JSONDecodeError),
    (None, FileNotFoundError),
])
def test_unreadable_segments_file_leaves_the_download(pipe, capsys, content, error):
    if content is not None:
        pipe.write(content)
    with pytest.raises(error):
        pipe.run()
    assert pipe.files() == ["movie.mp4"]
    assert capsys.readouterr().out == ""
    assert pipe.speeches == [] and pipe.procs.calls == []


@pytest.mark.parametrize("top", [5, 2.5, True, None])
def test_top_level_scalar_fails_at_the_count(pipe, capsys, top):
    with pytest.raises(TypeError):
        pipe.run(top)
    assert capsys.readouterr().out == ""
    assert pipe.files() == ["movie.mp4"]


@pytest.mark.parametrize("top, count", [
    ({"start": "1", "end": "2", "voiceover": "x"}, 3),  # walked as its keys
    ("abc", 3),  # walked as its characters
    ([5], 1), (["ab"], 1), ([[1, 2]], 1), ([None], 1),
])
def test_non_object_segment_fails_at_its_line(pipe, capsys, top, count):
    with pytest.raises(TypeError):
        pipe.run(top)
    assert capsys.readouterr().out == f"🎬 Processing {count} segments...\n"
    assert pipe.speeches == [] and pipe.procs.calls == []


@pytest.mark.parametrize("top", [[], {}, ""])
def test_no_segments_fails_in_the_join(pipe, capsys, top):
    """Zero segments: no speech, no cut; ffmpeg refuses the empty join list."""
    with pytest.raises(subprocess.CalledProcessError) as e:
        pipe.run(top)
    assert e.value.returncode != 0 and e.value.cmd == join_argv(str(pipe.out))
    assert capsys.readouterr().out == "🎬 Processing 0 segments...\n🔗 Concatenating segments...\n"
    assert [c.kind for c in pipe.procs.calls] == ["join"] and pipe.speeches == []
    assert pipe.files() == ["filelist.txt", "movie.mp4"]
    assert (pipe.out / "filelist.txt").read_bytes() == b""


@pytest.mark.parametrize("missing, line_printed", [
    ("start", False), ("end", False), ("voiceover", True),
])
def test_missing_key(pipe, capsys, missing, line_printed):
    second = seg("2", "3")
    del second[missing]
    with pytest.raises(KeyError) as e:
        pipe.run([seg("1", "2"), second])
    assert e.value.args == (missing,)
    out = capsys.readouterr().out
    assert ("  Segment 2/2:" in out) is line_printed
    assert len(pipe.speeches) == 1  # the first segment's only
    assert pipe.files() == ["merged_0.mp4", "movie.mp4"]


@pytest.mark.parametrize("value, type_name", [
    (5, "int"), (None, "NoneType"), (True, "bool"), ([], "list"), ({"a": 1}, "dict"),
])
def test_voiceover_not_a_string(pipe, cw, rebind, value, type_name):
    # The real speech client: its argument check fails before any request.
    rebind("_generate_tts", REAL_GENERATE_TTS)
    rebind("requests", NO_REQUESTS)
    with pytest.raises(TypeError, match=rf"^Argument 'text' has incorrect type "
                                        rf"\(expected str, got {type_name}\)$"):
        pipe.run([{"start": "1", "end": "2", "voiceover": value}])
    assert pipe.files() == ["movie.mp4"]


@pytest.mark.parametrize("key, value, shown", [("start", 1, "1"), ("end", 2.5, "2.5")])
def test_number_position_fails_before_ffmpeg(pipe, capsys, key, value, shown):
    segment = seg("1", "2")
    segment[key] = value
    with pytest.raises(TypeError):
        pipe.run([segment])
    start, end = (shown, "2") if key == "start" else ("1", shown)
    assert capsys.readouterr().out.endswith(f"  Segment 1/1: {start} → {end}\n")
    assert pipe.files() == ["movie.mp4", "voice_0.mp3"]


def _dir_in_place_of(path):
    if os.path.exists(path):
        os.remove(path)
    os.mkdir(path)
    open(os.path.join(path, "inside"), "w").close()


def fail_tts(pipe):
    def tts(n, path):
        if n == 1:
            raise Exception(f"TTS failed for voice {VOICE}: HTTP 503")
    pipe.tts_hook = tts
    return Exception, "  Segment 2/2", ["merged_0.mp4", "movie.mp4"]


def fail_cut(pipe):
    pipe.write([seg("1", "2"), seg("00:00:xx", "3")])
    return subprocess.CalledProcessError, "  Segment 2/2", ["merged_0.mp4", "movie.mp4",
                                                            "voice_1.mp3"]


def fail_merge(pipe):
    def tts(n, path):
        if n == 1:
            with open(path, "wb") as f:
                f.write(b"<html>not audio</html>")
            return True
    pipe.tts_hook = tts
    return subprocess.CalledProcessError, "  Segment 2/2", [
        "clip_1.mp4", "merged_0.mp4", "movie.mp4", "voice_1.mp3"]


def fail_segment_cleanup(pipe):
    pipe.procs.after["merge"] = lambda n, argv: n == 1 and _dir_in_place_of(
        j(str(pipe.out), "clip_1.mp4"))
    return IsADirectoryError, "  Segment 2/2", [
        "clip_1.mp4", "merged_0.mp4", "merged_1.mp4", "movie.mp4", "voice_1.mp3"]


def fail_join(pipe):
    _dir_in_place_of(j(str(pipe.out), "horizontal_final.mp4"))
    return subprocess.CalledProcessError, "🔗", [
        "filelist.txt", "horizontal_final.mp4", "merged_0.mp4", "merged_1.mp4", "movie.mp4"]


def fail_render(pipe):
    pipe.procs.gpu = "fail"
    pipe.cw_rebind("_build_atempo_chain", lambda speed: "atempo=bogus")
    return subprocess.CalledProcessError, "  (GPU", [
        "filelist.txt", "horizontal_final.mp4", "merged_0.mp4", "merged_1.mp4", "movie.mp4"]


def fail_final_cleanup(pipe):
    pipe.procs.gpu = "ok"
    pipe.procs.before["gpu"] = lambda n, argv: _dir_in_place_of(j(str(pipe.out), "merged_1.mp4"))
    return IsADirectoryError, "🧹", [
        "FINAL_RECAP.mp4", "filelist.txt", "horizontal_final.mp4", "merged_1.mp4", "movie.mp4"]


@pytest.mark.parametrize("stage", [fail_tts, fail_cut, fail_merge, fail_segment_cleanup,
                                   fail_join, fail_render, fail_final_cleanup],
                         ids=lambda f: f.__name__[5:])
def test_failure_leaves_files(pipe, rebind, capsys, stage):
    pipe.write([seg("1", "2"), seg("2", "3")])
    pipe.cw_rebind = rebind
    error, last_line, left = stage(pipe)
    with pytest.raises(error):
        pipe.run()
    lines = capsys.readouterr().out.splitlines()
    assert lines[-1].startswith(last_line)
    assert not any(line.startswith("✅") for line in lines)
    files = pipe.files()
    if stage is fail_render:
        # The failed software run may leave a partial file behind.
        files = [f for f in files if f != "FINAL_RECAP.mp4"]
    assert files == left
