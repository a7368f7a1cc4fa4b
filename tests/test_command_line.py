"""The command as a process: real runs, the user's files, signals, standard
input and output, settings, the cache, machine-readable results.

Every run is ``python -m clipweave`` in a child process, with real ffmpeg and
espeak-ng; where a run needs services, loopback stand-ins in this process
answer them. Each test's configuration and cache are private (conftest).
"""
import hashlib
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from clipweave.demo.services import make_source_video
from clipweave.system.probe import probe
from standins import Reply, StandIns
from support import seg

URL = "https://www.youtube.com/watch?v=abc123"


def command(*args):
    return [sys.executable, "-m", "clipweave", *args]


def clipweave(*args, cwd, **kwargs):
    return subprocess.run(command(*args), cwd=cwd, capture_output=True, text=True,
                          timeout=300, **kwargs)


@pytest.fixture(scope="module")
def movie(tmp_path_factory):
    return make_source_video(tmp_path_factory.mktemp("src") / "movie.mp4", seconds=6,
                             size="320x180")


@pytest.fixture
def segments(tmp_path):
    path = tmp_path / "segments.json"
    path.write_text(json.dumps([seg("0", "1.5", "One, two."), seg("3", "4.5", "Three, four.")]))
    return str(path)


def fingerprint(path):
    st = os.stat(path)
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest(), st.st_mtime_ns, st.st_nlink, st.st_mode


def espeak_run(movie, segments, *args, cwd, **kwargs):
    return clipweave(movie, segments, "--speech", "espeak-ng", "--classic", *args, cwd=cwd,
                     **kwargs)


# --- a real run, offline -----------------------------------------------------------

def test_local_file_and_offline_speech(tmp_path, movie, segments):
    before = fingerprint(movie)
    r = espeak_run(movie, segments, "--output-dir", "out", "--json", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    result = json.loads(r.stdout)
    out = tmp_path / "out"
    assert result["final"] == str(out / "FINAL_RECAP.mp4")
    assert result["horizontal"] == str(out / "horizontal_final.mp4")
    assert [(s["start"], s["end"]) for s in result["segments"]] == [("0", "1.5"), ("3", "4.5")]
    assert all(0.3 < s["narration_seconds"] < 3 for s in result["segments"])
    streams, duration = probe(result["final"])
    assert (streams["video"]["width"], streams["video"]["height"]) == (1080, 1920)
    assert "audio" in streams and result["duration"] == pytest.approx(duration, abs=0.01)
    assert sorted(os.listdir(out)) == ["FINAL_RECAP.mp4", "horizontal_final.mp4"]
    assert fingerprint(movie) == before  # the source: same bytes, time, links, mode
    assert "🎬 Processing 2 segments..." in r.stderr  # progress went to standard error


def test_quiet_prints_only_the_path(tmp_path, movie, segments):
    r = espeak_run(movie, segments, "-q", "--output-dir", "out", cwd=tmp_path)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == f"{tmp_path / 'out' / 'FINAL_RECAP.mp4'}\n"


# --- the user's files ------------------------------------------------------------------

def test_the_users_files_are_left_alone(tmp_path, movie, segments):
    out = tmp_path / "out"
    out.mkdir()
    mine = {name: os.urandom(64) for name in
            ("movie.mp4", "filelist.txt", "clip_0.mp4", "voice_0.mp3", "FINAL_RECAP.mp4")}
    for name, data in mine.items():
        (out / name).write_bytes(data)
    before = {name: fingerprint(out / name) for name in mine}

    refused = espeak_run(movie, segments, "--output-dir", str(out), cwd=tmp_path)
    assert refused.returncode == 2
    assert refused.stderr == (f"clipweave: error: {out / 'FINAL_RECAP.mp4'} exists; give "
                              "-y/--overwrite to replace it\n")
    assert {name: fingerprint(out / name) for name in mine} == before

    replaced = espeak_run(movie, segments, "--output-dir", str(out), "-y", cwd=tmp_path)
    assert replaced.returncode == 0, replaced.stderr
    assert sorted(os.listdir(out)) == sorted([*mine, "horizontal_final.mp4"])
    assert {name: fingerprint(out / name) for name in mine if name != "FINAL_RECAP.mp4"} == \
        {name: value for name, value in before.items() if name != "FINAL_RECAP.mp4"}
    assert probe(str(out / "FINAL_RECAP.mp4"))[0]["video"]["height"] == 1920


def test_output_dir_names_that_ffmpeg_would_misread(tmp_path, movie, segments):
    for name in ("-x", "a:b"):
        r = espeak_run(movie, segments, "-q", f"--output-dir={name}", cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        assert sorted(os.listdir(tmp_path / name)) == ["FINAL_RECAP.mp4", "horizontal_final.mp4"]


def test_a_second_run_into_the_same_directory_is_refused(tmp_path, movie, segments):
    import fcntl

    out = tmp_path / "out"
    out.mkdir()
    fd = os.open(out, os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)  # what a run under way holds
    try:
        r = espeak_run(movie, segments, "--output-dir", str(out), cwd=tmp_path)
    finally:
        os.close(fd)
    assert r.returncode == 2
    assert f"another clipweave run is writing into {out}; this one is refused" in r.stderr
    assert os.listdir(out) == []


# --- a well-behaved process --------------------------------------------------------------

def test_standard_input_is_never_read(tmp_path, movie, segments):
    # A "q" reaching any ffmpeg ends it early, and exit status 0 hides that;
    # in a `while read` loop the lines after this run must stay for the loop.
    lines = tmp_path / "lines.txt"
    lines.write_text("q\n" * 50 + "the next line\n")
    with open(lines) as stdin:
        r = subprocess.run(["sh", "-c", '"$@" --json; cat', "sh", *command(
            movie, segments, "--speech", "espeak-ng", "--classic", "--output-dir", "out")],
            cwd=tmp_path, stdin=stdin, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    document, rest = r.stdout.split("\n", 1)
    assert rest == "q\n" * 50 + "the next line\n"
    result = json.loads(document)
    # Each clip lasts the shorter of its 1.5 s cut and its narration.
    expected = sum(min(1.5, s["narration_seconds"]) for s in result["segments"])
    assert result["duration"] == pytest.approx(expected, abs=0.5)


def processes_in_group(pgid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[2]) == pgid and fields[0] != "Z":
                found.append(int(entry))
    return found


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_a_signal_during_the_render_stops_everything(tmp_path, signum):
    movie = make_source_video(tmp_path / "long.mp4", seconds=12, size="640x360")
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([seg("0", "5", "One."), seg("6", "11", "Two.")]))
    out = tmp_path / "out"
    process = subprocess.Popen(
        command(movie, str(segments), "--speech", "espeak-ng", "--classic", "--output-dir",
                str(out)), cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True, start_new_session=True)
    try:
        for line in process.stdout:
            if line.startswith("📐 Converting"):
                break
        time.sleep(0.3)  # the render's ffmpeg is running
        process.send_signal(signum)
        process.wait(timeout=60)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    assert process.returncode == 128 + signum
    assert process.stderr.read().endswith(
        f"clipweave: error: terminated by {signal.Signals(signum).name}\n")
    time.sleep(0.5)
    assert processes_in_group(process.pid) == []  # no ffmpeg left behind
    assert os.listdir(out) == []  # no result, no work directory


def test_a_closed_pipe_ends_the_run_quietly(tmp_path, movie, segments):
    process = subprocess.Popen(
        command(movie, segments, "--speech", "espeak-ng", "--classic", "--output-dir", "out"),
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.readline()  # | head -1
    process.stdout.close()
    assert process.wait(timeout=120) == 128 + signal.SIGPIPE
    assert process.stderr.read() == b""
    assert os.listdir(tmp_path / "out") == []


@pytest.mark.parametrize("args", [["voices"], ["config"], ["cache"]])
def test_a_listing_whose_reader_is_gone_ends_quietly(tmp_path, args):
    read, write = os.pipe()
    os.close(read)  # the reader has gone before anything is written
    try:
        done = subprocess.run(command(*args), cwd=tmp_path, stdout=write, stderr=subprocess.PIPE,
                              timeout=60)
    finally:
        os.close(write)
    assert done.returncode == 128 + signal.SIGPIPE
    assert done.stderr == b""


def test_an_output_that_cannot_show_emoji(tmp_path, movie, segments):
    r = espeak_run(movie, segments, "--output-dir", "out", cwd=tmp_path,
                   env=dict(os.environ, PYTHONIOENCODING="ascii"))
    assert r.returncode == 0, r.stderr
    assert "? Processing 2 segments..." in r.stdout


# --- services, settings and the cache ----------------------------------------------------

@pytest.fixture
def services(movie):
    with StandIns(video_file=movie, lifetime=300) as s:
        yield s


def test_settings_come_from_flag_environment_file_built_in(tmp_path, private_settings):
    config = private_settings / "config" / "clipweave"
    config.mkdir(parents=True)
    (config / "config.toml").write_text('download_service = "http://127.0.0.1:1"\n'
                                        'speech_service = "http://127.0.0.1:2"\n'
                                        'voice = "en-gb"\n'
                                        'aspect = "1:1"\n'
                                        'music = "bed.flac"\n'
                                        'music_volume = -30\n')
    env = dict(os.environ, CLIPWEAVE_SPEECH_SERVICE="http://127.0.0.1:3/")
    r = clipweave("config", "--download-service", "https://dl.example.org", "--aspect", "4:5",
                  cwd=tmp_path, env=env)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[:5] == [
        'download_service = "https://dl.example.org"  # --download-service',
        'speech_service   = "http://127.0.0.1:3"  # environment CLIPWEAVE_SPEECH_SERVICE',
        'speech           = "service"  # default',
        f'voice            = "en-gb"  # config file {config / "config.toml"}',
        'aspect           = "4:5"  # --aspect',
    ]
    bare = clipweave("config", cwd=tmp_path, env=dict(os.environ))
    assert bare.stdout.splitlines()[1] == (
        'speech_service   = "http://127.0.0.1:2"  # config file ' + str(config / "config.toml"))
    assert bare.stdout.splitlines()[4] == (
        'aspect           = "1:1"  # config file ' + str(config / "config.toml"))
    # A path in the file is the file's folder's, wherever the run starts.
    assert [line for line in bare.stdout.splitlines() if line.startswith("music")] == [
        f'music            = "{config / "bed.flac"}"  # config file {config / "config.toml"}',
        f'music_volume     = -30  # config file {config / "config.toml"}']
    (config / "config.toml").write_text('aspect = "2:3"\n')
    wrong = clipweave("config", cwd=tmp_path)
    assert wrong.returncode == 2 and wrong.stderr.splitlines()[-1].endswith(
        f"config file {config / 'config.toml'}: aspect must be one of 9:16, 4:5, 1:1, 16:9, "
        "not '2:3'")
    (config / "config.toml").unlink()
    built_in = clipweave("config", cwd=tmp_path)
    assert built_in.stdout.splitlines()[0].endswith(
        "# built into the module; a placeholder that answers nothing")
    # With no speech service, the engine a run narrates with, and why.
    assert built_in.stdout.splitlines()[2:4] == [
        'speech           = "flite"  # default: no speech service is set up, so this machine '
        'speaks (flite for English, espeak-ng for other languages)',
        'voice            = "en-US-AriaNeural"  # default; flite speaks it as slt']
    french = clipweave("config", "--voice", "fr", cwd=tmp_path).stdout.splitlines()[2:4]
    assert french[0].startswith('speech           = "espeak-ng"  # default: no speech service')
    assert french[1] == 'voice            = "fr"  # --voice; espeak-ng speaks it as fr-fr'
    assert clipweave("config", "--speech", "flite", "--voice", "de", cwd=tmp_path).stdout \
        .splitlines()[2:4] == ['speech           = "flite"  # --speech',
                               'voice            = "de"  # --voice; flite has no such voice: '
                               'a run refuses it']


def test_a_run_uses_the_configured_services(tmp_path, private_settings, services, segments):
    config = private_settings / "config" / "clipweave"
    config.mkdir(parents=True)
    (config / "config.toml").write_text(f'download_service = "{services.download.origin}"\n')
    env = dict(os.environ, CLIPWEAVE_SPEECH_SERVICE=services.tts.origin)
    r = clipweave(URL, segments, "--downloader", "service", "--classic", "--output-dir", "out",
                  "-q", cwd=tmp_path, env=env)
    assert r.returncode == 0, r.stderr
    assert len(services.download.start_requests) == 1
    assert [q.json()["text"] for q in services.tts.received] == ["One, two.", "Three, four."]
    # The requests name the configured origin, not the one built in.
    assert services.tts.received[0].header("origin") == services.tts.origin

    # *Emphasis* is shown, never said: the service is sent the text without
    # its markers, and none reaches the captions or the words; \* is an
    # asterisk as written. The module's own run sends the text as written.
    marked = tmp_path / "marked.json"
    marked.write_text(json.dumps([seg("0", "1.5", "One, *two*."), seg("2", "3.5", "Five \\* *three*.")]))
    services.tts.received.clear()
    r = clipweave(URL, marked, "--downloader", "service", "--output-dir", "marked", "--json", "--no-cache",
                  cwd=tmp_path, env=env)
    assert r.returncode == 0, r.stderr
    assert sorted(q.json()["text"] for q in services.tts.received) == ["Five * three.", "One, two."]
    assert [w["text"] for w in json.loads(r.stdout)["words"]] == ["One,", "two.", "Five", "*", "three."]
    srt = (tmp_path / "marked" / "FINAL_RECAP.srt").read_text()
    assert "One, two." in srt and "Five * three." in srt and "*t" not in srt
    services.tts.received.clear()
    r = clipweave(URL, marked, "--downloader", "service", "--classic", "--output-dir", "classic", "-q",
                  cwd=tmp_path, env=env)
    assert r.returncode == 0, r.stderr
    assert sorted(q.json()["text"] for q in services.tts.received) == ["Five \\* *three*.", "One, *two*."]


def test_a_run_resumes_where_it_failed(tmp_path, services):
    segments = tmp_path / "four.json"
    segments.write_text(json.dumps([seg(str(i), f"{i}.8", f"Part {i}.") for i in range(4)]))
    args = [URL, str(segments), "--downloader", "service", "--classic", "--download-service",
            services.download.origin, "--speech-service", services.tts.origin,
            "--output-dir", "out"]
    services.tts.script(Reply(), Reply(), Reply(status=503))
    failed = clipweave(*args, cwd=tmp_path)
    assert failed.returncode == 1
    assert failed.stderr.endswith("speech synthesis failed for segment 3: TTS failed for voice "
                                  "en-US-AriaNeural: HTTP 503\n")
    assert (len(services.download.start_requests), len(services.tts.received)) == (1, 3)

    services.tts.script()
    resumed = clipweave(*args, cwd=tmp_path)
    assert resumed.returncode == 0, resumed.stderr
    assert len(services.download.start_requests) == 1  # no second download
    assert [q.json()["text"] for q in services.tts.received[3:]] == ["Part 2.", "Part 3."]

    cache = clipweave("cache", cwd=tmp_path)
    assert cache.returncode == 0, cache.stderr
    assert "videos         1" in cache.stdout and "narrations     4" in cache.stdout
    assert "framings       0" in cache.stdout
    assert [line.split()[0] for line in cache.stdout.splitlines()[1:]] == \
        ["videos", "narrations", "framings", "proxies", "thumbnails"]
    cleared = clipweave("cache", "--clear", cwd=tmp_path)
    assert cleared.returncode == 0
    assert "narrations     0" in clipweave("cache", cwd=tmp_path).stdout


def test_segments_outside_the_video_are_refused_before_any_speech(tmp_path, services, movie):
    segments = tmp_path / "late.json"
    segments.write_text(json.dumps([seg("1", "2"), seg("5", "8"), seg("7", "9")]))
    r = clipweave(movie, str(segments), "--classic", "--speech-service", services.tts.origin,
                  "--output-dir", "out", cwd=tmp_path)
    assert r.returncode == 2
    assert r.stderr.splitlines() == [
        "clipweave: error: segment 2 (5 to 8) is not inside the video, which lasts 6.00 s",
        "clipweave: error: segment 3 (7 to 9) is not inside the video, which lasts 6.00 s"]
    assert services.tts.received == []


def test_a_failure_after_the_progress_figure_starts_a_new_line(tmp_path, services, segments):
    # Finished, but without the file's address: the run fails right after the figure.
    services.download.script(progress=[{"success": True, "progress": 1000}])
    r = subprocess.run(
        command(URL, segments, "--downloader", "service", "--classic", "--download-service",
                services.download.origin, "--speech-service", services.tts.origin,
                "--output-dir", "out"),
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    assert r.returncode == 1
    assert r.stdout.endswith(b"\r  100%\nclipweave: error: download failed: KeyError: "
                             b"'download_url'\n")


def test_yt_dlp_is_the_default_downloader_where_installed(tmp_path, movie, segments):
    # A stand-in yt-dlp: copies the movie to the file it is asked for, and notes the call.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    log = tmp_path / "yt-dlp.log"
    fake = bin_dir / "yt-dlp"
    fake.write_text(f"""#!/bin/sh
echo "$@" >> {log}
while [ "$1" != "-o" ]; do shift; done
cp {movie} "$2"
""")
    fake.chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    args = [URL, segments, "--speech", "espeak-ng", "--classic", "-q", "-y", "--output-dir", "out"]
    first = clipweave(*args, cwd=tmp_path, env=env)
    assert first.returncode == 0, first.stderr
    calls = log.read_text().splitlines()
    assert len(calls) == 1 and calls[0].endswith(f"-- {URL}")
    again = clipweave(*args, cwd=tmp_path, env=env)
    assert again.returncode == 0, again.stderr
    assert len(log.read_text().splitlines()) == 1  # the second run took it from the cache


def test_voices_lists_espeak_voices(tmp_path):
    r = clipweave("voices", cwd=tmp_path)
    assert r.returncode == 0
    rows = {tuple(line.split()) for line in r.stdout.splitlines()}
    assert {("flite", "slt", "en-us"), ("espeak-ng", "en-gb", "en-gb"),
            ("espeak-ng", "fr-fr", "fr-fr")} <= rows


# --- the studio render and the exact pipeline ---------------------------------------------

def test_the_studio_render_is_the_default(tmp_path, movie, segments):
    r = clipweave(movie, segments, "--speech", "espeak-ng", "--fit", "range", "--json",
                  "--output-dir", "out", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    result = json.loads(r.stdout)
    out = tmp_path / "out"
    assert (result["final"], result["captions"], result["horizontal"]) == (
        str(out / "FINAL_RECAP.mp4"), str(out / "FINAL_RECAP.srt"), None)
    assert result["duration"] == pytest.approx(3.0, abs=0.05)  # two 1.5 s ranges
    streams, _ = probe(result["final"])
    assert (streams["video"]["width"], streams["video"]["height"]) == (1080, 1920)
    assert (streams["audio"]["sample_rate"], streams["audio"]["channels"]) == ("48000", 2)
    assert "One, two." in (out / "FINAL_RECAP.srt").read_text()
    assert "narration 2/2" in r.stderr and "render 100%" in r.stderr


def test_classic_gives_exactly_what_run_recap_gives(tmp_path, movie, segments):
    r = espeak_run(movie, segments, "-q", "--output-dir", "cli", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    # The same run through the module itself, its two services bound to the same backends.
    direct = tmp_path / "direct"
    direct.mkdir()
    script = f"""
import shutil, clipweave.clipweave as m
from clipweave.app.offline_speech import synthesize
m._download_video = lambda url, out: shutil.copyfile({movie!r}, out)
def speak(text, out, voice):
    with open(out, "wb") as f:
        f.write(synthesize(text, voice, "espeak-ng"))
m._generate_tts = speak
m.time = type("T", (), {{"sleep": staticmethod(lambda s: None)}})
m.run_recap("unused", {segments!r}, 1.0, "en-US-AriaNeural", {str(direct)!r})
"""
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    for name in ("FINAL_RECAP.mp4", "horizontal_final.mp4"):
        assert fingerprint(tmp_path / "cli" / name)[0] == fingerprint(direct / name)[0], name


def test_a_termination_during_the_studio_render(tmp_path):
    movie = make_source_video(tmp_path / "long.mp4", seconds=12, size="640x360")
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([seg("0", "5", "One."), seg("6", "11", "Two.")]))
    process = subprocess.Popen(
        command(movie, str(segments), "--speech", "espeak-ng", "--output-dir", "out"),
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        start_new_session=True)
    try:
        for line in process.stderr:
            if line.startswith("render "):
                break
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=60)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    assert process.returncode == 128 + signal.SIGTERM
    time.sleep(0.5)
    assert processes_in_group(process.pid) == []
    assert os.listdir(tmp_path / "out") == []
