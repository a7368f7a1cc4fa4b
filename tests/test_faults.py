"""Faults of the real components: missing programs, failing ffmpeg steps,
services that drop the connection or answer too late, a full disk, the
output directory removed mid-run.

Every run is a real one (ffmpeg, wget, HTTP to the loopback stand-ins); only
the fixed sleeps are skipped. Each fault must end in the exception named for
it, leave in the output directory exactly the files named for it, and touch
nothing outside the output directory.
"""
import contextlib
import errno
import io
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import types
import uuid

import pytest
import requests

from clipweave.demo.services import make_source_video
from standins import Reply, StandIns, TtsStandIn
from support import Clock

URL = "https://www.youtube.com/watch?v=faults"
VOICE = "en-US-AriaNeural"
SEGMENTS = [{"start": "0.5", "end": "1.5", "voiceover": "One short line."}]
REAL_FFMPEG = shutil.which("ffmpeg")
REAL_WGET = shutil.which("wget")


@pytest.fixture(scope="module")
def media(tmp_path_factory):
    """A short source video and a short MP3 that the speech stand-in hands out."""
    d = tmp_path_factory.mktemp("media")
    source = make_source_video(d / "source.mp4", seconds=3, size="160x90")
    speech = d / "speech.mp3"
    subprocess.run([REAL_FFMPEG, "-y", "-loglevel", "error", "-nostdin", "-f", "lavfi",
                    "-i", "sine=frequency=300:duration=0.6", "-c:a", "libmp3lame", str(speech)],
                   check=True)
    return types.SimpleNamespace(source=source, speech=speech.read_bytes(), dir=d)


def tree(root, skip=()):
    """Every file and directory under root with its size and modification time."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = [n for n in dirnames if os.path.join(dirpath, n) not in skip]
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            if path in skip:
                continue
            st = os.lstat(path)
            found[os.path.relpath(path, root)] = (st.st_mode, st.st_size, st.st_mtime_ns)
    return found


class Rig:
    """One run_recap in a scratch tree, with hooks for injecting faults."""

    def __init__(self, cw, rebind, monkeypatch, tmp_path, media, services):
        self.cw, self.rebind, self.monkeypatch = cw, rebind, monkeypatch
        self.root = tmp_path
        self.media = media
        self.services = services
        self.out = tmp_path / "out"
        self.out.mkdir()
        self.segments = tmp_path / "segments.json"
        self.segments.write_text(json.dumps(SEGMENTS), encoding="utf-8")
        self.bin = tmp_path / "bin"
        self.bin.mkdir()
        self.cwd = tmp_path / "cwd"
        self.cwd.mkdir()
        monkeypatch.chdir(self.cwd)
        self.on_sleep = None  # called at the pause after each narration
        self.speed = 1.0
        services.tts.script(json=TtsStandIn.answer_for(media.speech))
        rebind("requests", services.requests)
        rebind("time", Clock(on_sleep=self._sleep))
        self.allowed = set()  # paths outside out/ that a test itself writes

    def _sleep(self, seconds):
        if seconds == 0.5 and self.on_sleep is not None:
            self.on_sleep()

    def failing_ffmpeg(self, marker):
        """An ffmpeg earlier on the search path that fails on one step, runs the real one otherwise."""
        script = self.bin / "ffmpeg"
        script.write_text(
            "#!/bin/sh\n"
            f'for a in "$@"; do [ "$a" = "{marker}" ] && {{ echo "ffmpeg: injected failure" >&2;'
            " exit 1; }; done\n"
            f'exec "{REAL_FFMPEG}" "$@"\n')
        script.chmod(0o755)
        self.monkeypatch.setenv("PATH", f"{self.bin}{os.pathsep}{os.environ['PATH']}")

    def only_on_path(self, *programs):
        """The search path holds only these programs."""
        for name in programs:
            (self.bin / name).symlink_to(shutil.which(name))
        self.monkeypatch.setenv("PATH", str(self.bin))

    def run(self, out=None):
        """run_recap; returns (exception or None, stdout). Checks nothing leaked outside out/."""
        out = self.out if out is None else out
        before = tree(self.root, skip={str(out)} | self.allowed)
        media_before = tree(self.media.dir)
        captured = io.StringIO()
        saved, sys.stdout = sys.stdout, captured
        error = None
        try:
            self.result = self.cw.run_recap(URL, str(self.segments), self.speed, VOICE, str(out))
        except Exception as e:  # noqa: BLE001 - the tests look at it
            error = e
        finally:
            sys.stdout = saved
        after = tree(self.root, skip={str(out)} | self.allowed)
        assert after == before, "files outside the output directory changed"
        assert tree(self.media.dir) == media_before
        assert os.listdir(self.cwd) == []
        return error, captured.getvalue()

    def files(self, out=None):
        out = self.out if out is None else out
        return sorted(os.listdir(out)) if os.path.isdir(out) else None


@pytest.fixture
def rig(cw, rebind, monkeypatch, tmp_path, media):
    with StandIns(video_file=media.source, lifetime=120) as services:
        yield Rig(cw, rebind, monkeypatch, tmp_path, media, services)


def assert_stopped_before_cleanup(stdout):
    assert "🧹 Cleaning up..." not in stdout and "✅ Done!" not in stdout


# --- the baseline: the rig itself works -------------------------------------

def test_rig_runs_clean(rig):
    error, stdout = rig.run()
    assert error is None, error
    assert rig.files() == ["FINAL_RECAP.mp4", "horizontal_final.mp4"]
    assert stdout.endswith(f"✅ Done! Vertical Output: {rig.out}/FINAL_RECAP.mp4\n")


# --- programs missing from the search path ----------------------------------

def test_ffmpeg_missing(rig):
    rig.only_on_path("wget")
    error, stdout = rig.run()
    assert type(error) is FileNotFoundError and error.filename == "ffmpeg"
    # the cut is the first ffmpeg run: the download and the narration stay
    assert rig.files() == ["movie.mp4", "voice_0.mp3"]
    assert "  Segment 1/1: 0.5 → 1.5\n" in stdout


def test_wget_missing(rig):
    (rig.out / "movie.mp4").write_bytes(b"stale video")
    rig.only_on_path("ffmpeg")
    error, stdout = rig.run()
    assert type(error) is FileNotFoundError and error.filename == "wget"
    assert rig.files() == []  # the stale video went before the download started
    assert "⬇️  Downloading video..." in stdout and "✅ Download complete" not in stdout


# --- ffmpeg failing at each step ---------------------------------------------

FFMPEG_STEPS = [
    # marker in the step's argv, files left, argv element that names the step
    ("-ss", ["movie.mp4", "voice_0.mp3"], "-ss"),
    ("-shortest", ["clip_0.mp4", "movie.mp4", "voice_0.mp3"], "-shortest"),
    ("concat", ["filelist.txt", "merged_0.mp4", "movie.mp4"], "concat"),
    ("-vf", ["filelist.txt", "horizontal_final.mp4", "merged_0.mp4", "movie.mp4"], "libx264"),
]


@pytest.mark.parametrize("marker,left,step", FFMPEG_STEPS,
                         ids=["cut", "merge", "join", "render"])
def test_ffmpeg_step_fails(rig, marker, left, step):
    rig.failing_ffmpeg(marker)
    error, stdout = rig.run()
    assert type(error) is subprocess.CalledProcessError and error.returncode == 1
    assert error.cmd[:4] == ["ffmpeg", "-y", "-loglevel", "error"] and step in error.cmd
    assert rig.files() == left
    assert_stopped_before_cleanup(stdout)
    if marker == "-vf":  # the hardware attempt failed too, and was not an error
        assert stdout.count("  (GPU unavailable, using CPU encoder...)\n") == 1


def test_real_ffmpeg_rejects_a_bad_time(rig):
    rig.segments.write_text(json.dumps([{**SEGMENTS[0], "start": "not a time"}]),
                            encoding="utf-8")
    error, _ = rig.run()
    assert type(error) is subprocess.CalledProcessError and "not a time" in error.cmd
    assert rig.files() == ["movie.mp4", "voice_0.mp3"]


def test_real_ffmpeg_rejects_speed_zero(rig):
    rig.speed = 0.0  # setpts=inf*PTS and atempo=0.0: both encoders' runs fail
    error, stdout = rig.run()
    assert type(error) is subprocess.CalledProcessError and "libx264" in error.cmd
    assert "atempo=0.0" in error.cmd
    assert stdout.count("  (GPU unavailable, using CPU encoder...)\n") == 1
    assert_stopped_before_cleanup(stdout)
    assert {"filelist.txt", "horizontal_final.mp4", "merged_0.mp4", "movie.mp4"} <= set(
        rig.files())


# --- services that drop the connection or answer too late --------------------

@contextlib.contextmanager
def closing_listener(lifetime=30.0):
    """A loopback port that accepts connections and closes them unanswered."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen()
    server.settimeout(0.2)
    stop = threading.Event()

    def serve():
        deadline = threading.Timer(lifetime, stop.set)
        deadline.daemon = True
        deadline.start()
        while not stop.is_set():
            try:
                conn, _ = server.accept()
            except OSError:
                continue
            with conn:
                conn.settimeout(2.0)
                with contextlib.suppress(OSError):
                    conn.recv(65536)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.getsockname()[1]}"
    finally:
        stop.set()
        thread.join(5)
        server.close()


def test_start_answer_cut_short(rig):
    rig.services.download.script(start=Reply(drop=True))
    error, stdout = rig.run()
    # half a JSON body: the decoding error of requests (also json's own)
    assert isinstance(error, requests.JSONDecodeError) and isinstance(error,
                                                                     json.JSONDecodeError)
    assert rig.files() == []
    assert stdout == "📥 Requesting download from server...\n"


def test_progress_connection_closed(rig):
    with closing_listener() as origin:
        start = rig.services.download.start_answer(progress_url=f"{origin}/progress/x")
        rig.services.download.script(start=start)
        error, stdout = rig.run()
    assert isinstance(error, requests.ConnectionError)
    assert rig.files() == []
    assert stdout.endswith("⏳ Processing job job-1...\n")  # no progress line, no newline


def test_progress_too_slow(rig):
    rig.services.requests.timeout_cap = 0.3
    rig.services.download.script(progress=[Reply(delay=2.0)])
    error, _ = rig.run()
    assert isinstance(error, requests.Timeout)
    assert [c.timeout for c in rig.services.calls] == [30, 15]  # as the module asked
    assert rig.files() == []


def test_file_not_served(rig):
    rig.services.download.script(video_file=None)  # the file answer is a 404
    error, stdout = rig.run()
    assert type(error) is subprocess.CalledProcessError and error.cmd[0] == "wget"
    assert error.returncode == 8  # wget: the server answered with an error
    assert rig.files() in ([], ["movie.mp4"])  # whatever wget left stays
    assert "✅ Download complete" not in stdout


def test_speech_answer_cut_short(rig):
    rig.services.tts.script(drop=True, json=TtsStandIn.answer_for(rig.media.speech))
    error, _ = rig.run()
    assert isinstance(error, requests.JSONDecodeError)
    assert rig.files() == ["movie.mp4"]  # the voice file was never opened


def test_speech_too_slow(rig):
    rig.services.requests.timeout_cap = 0.3
    rig.services.tts.script(delay=2.0)
    error, _ = rig.run()
    assert isinstance(error, requests.Timeout)
    assert rig.services.calls[-1].timeout == 60
    assert rig.files() == ["movie.mp4"]


def test_speech_error_status(rig):
    rig.services.tts.script(status=503)
    error, _ = rig.run()
    assert type(error) is Exception and str(error) == f"TTS failed for voice {VOICE}: HTTP 503"
    assert rig.files() == ["movie.mp4"]


# --- a full disk ---------------------------------------------------------------

@pytest.fixture
def small_disk(tmp_path):
    """A tmpfs of 64 KiB mounted inside the scratch tree (root only)."""
    mount = tmp_path / f"disk-{uuid.uuid4().hex[:8]}"
    mount.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "tmpfs",
                           str(mount)], capture_output=True)
    if done.returncode != 0:
        mount.rmdir()
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.decode().strip()}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=False)
        mount.rmdir()


def fill(directory):
    """Writes zeros into directory/filler until the file system is full."""
    chunk = b"\0" * 4096
    with open(os.path.join(directory, "filler"), "wb", buffering=0) as f:
        while True:
            try:
                f.write(chunk)
            except OSError as e:
                assert e.errno == errno.ENOSPC
                return


def test_disk_full_at_download(rig, small_disk, media):
    assert os.path.getsize(media.source) > 64 * 1024  # more than the disk holds
    out = small_disk / "out"
    out.mkdir()
    rig.allowed.add(str(small_disk))
    error, _ = rig.run(out)
    assert type(error) is subprocess.CalledProcessError and error.cmd[0] == "wget"
    assert error.returncode == 3  # wget: file I/O error
    assert rig.files(out) == ["movie.mp4"]  # the partial download stays


def test_disk_full_at_narration(rig, small_disk, rebind):
    # The download fits; then the disk fills, and the module's own write of
    # the narration fails.
    out = small_disk / "out"
    out.mkdir()
    rig.allowed.add(str(small_disk))

    def download_then_fill(url, output_file):
        with open(output_file, "wb") as f:  # a stand-in for the video: the real one is too big
            f.write(b"\0" * 1024)
        fill(small_disk)

    rebind("_download_video", download_then_fill)
    error, _ = rig.run(out)
    assert isinstance(error, OSError) and error.errno == errno.ENOSPC
    assert rig.files(out) == ["movie.mp4", "voice_0.mp3"]  # may hold part of the audio


def test_disk_full_at_cut(rig, tmp_path):
    # A tmpfs big enough for the download and the narration, full by the cut.
    mount = tmp_path / "disk"
    mount.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount)],
                          capture_output=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.decode().strip()}")
    try:
        out = mount / "out"
        out.mkdir()
        rig.allowed.add(str(mount))
        rig.on_sleep = lambda: fill(mount)
        error, _ = rig.run(out)
        assert type(error) is subprocess.CalledProcessError and "-ss" in error.cmd
        assert {"movie.mp4", "voice_0.mp3"} <= set(rig.files(out)) <= {
            "movie.mp4", "voice_0.mp3", "clip_0.mp4"}
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=False)


# --- the output directory removed mid-run --------------------------------------

def test_output_dir_removed_before_cut(rig):
    rig.on_sleep = lambda: shutil.rmtree(rig.out)
    error, _ = rig.run()
    assert type(error) is subprocess.CalledProcessError and "-ss" in error.cmd
    assert not rig.out.exists()  # nothing recreated it


def test_output_dir_removed_before_render(rig, rebind):
    real_chain = rig.cw._build_atempo_chain

    def remove_then_chain(speed):
        shutil.rmtree(rig.out)
        return real_chain(speed)

    rebind("_build_atempo_chain", remove_then_chain)
    error, stdout = rig.run()
    assert type(error) is subprocess.CalledProcessError and "libx264" in error.cmd
    assert stdout.count("  (GPU unavailable, using CPU encoder...)\n") == 1
    assert not rig.out.exists()
