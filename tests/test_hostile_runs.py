"""Runs that end badly still end well: a failure or a signal while narrations
are under way, services that never finish answering, a poisoned cache, a
kill -9, results that cannot all be published, hostile input.

Every run is ``python -m clipweave`` in a child process, with real ffmpeg,
espeak-ng and HTTP to loopback stand-ins in this process.
"""
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from clipweave.app.cache import Cache
from clipweave.app.errors import OutputChanged
from clipweave.app.workspace import Workspace
from clipweave.demo.services import make_source_video
from clipweave.system.probe import probe
from standins import Reply
from support import alive, seg
# The same 6 s source and stand-ins as the command line's other tests.
from test_command_line import clipweave, command, movie, services  # noqa: F401

URL = "https://www.youtube.com/watch?v=hostile"


def segments_file(tmp_path, count, name="many.json"):
    path = tmp_path / name
    path.write_text(json.dumps([seg(f"{i * 0.9:.1f}", f"{i * 0.9 + 0.8:.1f}", f"Part {i}.")
                                for i in range(count)]))
    return str(path)


def one_error_line(stderr):
    lines = stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("clipweave: error: "), stderr
    return lines[0]


def children_of(pid):
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(entry))
    return found


# --- narration threads: a failure or a signal while others are under way ------------

def test_a_failed_narration_ends_the_run_cleanly_every_time(tmp_path, services, movie):
    args = command(movie, segments_file(tmp_path, 6), "--speech-service", services.tts.origin,
                   "--output-dir", "out", "--no-cache", "--jobs", "4")
    for attempt in range(10):
        # The third request fails while the others are inside the module's client.
        services.tts.script(Reply(delay=0.4), Reply(delay=0.4), Reply(status=429),
                            Reply(delay=0.8))
        r = subprocess.run(args, cwd=tmp_path, capture_output=True, text=True, timeout=120)
        assert r.returncode == 1, (attempt, r.returncode, r.stderr[-2000:])
        assert "HTTP 429" in one_error_line(r.stderr)


def test_a_termination_during_narration_ends_the_run_cleanly_every_time(tmp_path, services,
                                                                        movie):
    args = command(movie, segments_file(tmp_path, 6), "--speech-service", services.tts.origin,
                   "--output-dir", "out", "--no-cache", "--jobs", "4")
    for attempt in range(10):
        services.reset()
        # The answers come while the command is ending.
        services.tts.script(delay=0.4)
        process = subprocess.Popen(args, cwd=tmp_path, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        try:
            deadline = time.monotonic() + 60
            while len(services.tts.received) < 4 and time.monotonic() < deadline:
                time.sleep(0.05)
            process.send_signal(signal.SIGTERM)
            out, err = process.communicate(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
        assert process.returncode == 128 + signal.SIGTERM, (attempt, process.returncode, err)
        assert err == "clipweave: error: terminated by SIGTERM\n"
        assert os.listdir(tmp_path / "out") == []


def test_answers_that_arrive_after_a_failure_are_kept(tmp_path, services, movie):
    args = [movie, segments_file(tmp_path, 4), "--speech-service", services.tts.origin,
            "--output-dir", "out", "--jobs", "4", "--captions", "none"]
    services.tts.script(Reply(status=503), Reply(delay=1.0))
    failed = clipweave(*args, cwd=tmp_path)
    assert failed.returncode == 1 and "HTTP 503" in one_error_line(failed.stderr)
    assert len(services.tts.received) == 4
    services.tts.script()
    resumed = clipweave(*args, cwd=tmp_path)
    assert resumed.returncode == 0, resumed.stderr
    assert len(services.tts.received) == 5  # only the one that failed is asked for again


# --- deadlines --------------------------------------------------------------------

def test_a_trickling_speech_service_meets_the_deadline(tmp_path, services, movie):
    services.tts.script(trickle=1.0)
    r = subprocess.run(command(movie, segments_file(tmp_path, 1), "--speech-service",
                               services.tts.origin, "--output-dir", "out", "--timeout", "3"),
                       cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert one_error_line(r.stderr).endswith(
        f"segment 1: TimeoutError: no complete answer from {services.tts.origin} within 3 s")


def test_a_stalled_download_meets_the_deadline(tmp_path, services):
    services.download.script(file_reply=Reply(trickle=4.0))
    r = subprocess.run(command(URL, segments_file(tmp_path, 1), "--downloader", "service",
                               "--classic", "--download-service", services.download.origin,
                               "--speech", "espeak-ng", "--output-dir", "out", "--timeout", "1"),
                       cwd=tmp_path, capture_output=True, text=True, timeout=90)
    assert r.returncode == 1
    assert "download failed: wget failed" in one_error_line(r.stderr)
    assert os.listdir(tmp_path / "out") == []


def test_the_timeout_is_checked(tmp_path, movie):
    r = clipweave(movie, segments_file(tmp_path, 1), "--speech", "espeak-ng", "--timeout", "0",
                  cwd=tmp_path)
    assert r.returncode == 2
    assert one_error_line(r.stderr) == (
        "clipweave: error: --timeout must be a number of seconds above 0, got 0.0")


# --- the cache ----------------------------------------------------------------------

def test_a_poisoned_cache_heals(tmp_path, services):
    cache = tmp_path / "cache"
    args = [URL, segments_file(tmp_path, 2), "--downloader", "service", "--classic",
            "--download-service", services.download.origin, "--speech-service",
            services.tts.origin, "--cache-dir", str(cache), "--output-dir", "out", "-y"]
    # A service that answers a page of HTML for the video: refused, never kept.
    services.download.script(file_reply=Reply(body="<html>busy</html>",
                                              content_type="text/html"))
    html = clipweave(*args, cwd=tmp_path)
    assert html.returncode == 1
    assert one_error_line(html.stderr).endswith("is not a usable video: ffprobe cannot read it "
                                                "as media")
    assert not list((cache / "sources").glob("*.mp4")) if (cache / "sources").exists() else True
    assert services.tts.received == []

    services.download.script(file_reply=None)
    good = clipweave(*args, cwd=tmp_path)
    assert good.returncode == 0, good.stderr
    assert (len(services.download.file_requests), len(services.tts.received)) == (2, 2)

    # A truncated video and a narration cut to a third are dropped and fetched again.
    [video] = (cache / "sources").glob("*.mp4")
    video.write_bytes(video.read_bytes()[: video.stat().st_size // 2])
    voice = sorted((cache / "speech").glob("*.mp3"))[0]
    voice.write_bytes(voice.read_bytes()[: voice.stat().st_size // 3])
    healed = clipweave(*args, cwd=tmp_path)
    assert healed.returncode == 0, healed.stderr
    assert (len(services.download.file_requests), len(services.tts.received)) == (3, 3)
    assert probe(str(video))[1] == pytest.approx(6, abs=0.1)


def test_clearing_the_cache_removes_only_its_entries(tmp_path, movie):
    mine = tmp_path / "mine"
    for path in ("sources/holiday.mp4", "speech/notes.txt", "speech/" + "a" * 64 + ".mp3"):
        (mine / path).parent.mkdir(parents=True, exist_ok=True)
        (mine / path).write_bytes(b"the user's own")
    before = sorted(str(p) for p in mine.rglob("*"))
    refused = clipweave("cache", "--clear", "--cache-dir", str(mine), cwd=tmp_path)
    assert refused.returncode == 2
    assert one_error_line(refused.stderr) == (
        f"clipweave: error: {mine} is not a clipweave cache (it has no .clipweave-cache); "
        "nothing was removed")
    assert sorted(str(p) for p in mine.rglob("*")) == before

    cache = tmp_path / "cache"
    run = clipweave(movie, segments_file(tmp_path, 1), "--speech", "espeak-ng", "--classic",
                    "--cache-dir", str(cache), "--output-dir", "out", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    (cache / "speech" / "keep.txt").write_bytes(b"put there by hand")
    cleared = clipweave("cache", "--clear", "--cache-dir", str(cache), cwd=tmp_path)
    assert cleared.returncode == 0, cleared.stderr
    assert sorted(p.name for p in cache.rglob("*")) == [".clipweave-cache", "keep.txt",
                                                        "speech"]


def test_a_cache_write_that_fails_leaves_no_partial_file(tmp_path):
    # A file size limit makes the write fail part way (EFBIG).
    script = f"""
import resource, signal
from clipweave.app.cache import Cache
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
cache = Cache({str(tmp_path / "cache")!r})
cache.store_data("speech", "b" * 64, "x" * 100000)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
cache.store_data("speech", "c" * 64, "x" * 100000)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(tmp_path / "cache" / "speech")) == ["b" * 64 + ".json"]
    assert Cache(str(tmp_path / "cache")).owned()


# --- kill -9 and publishing ---------------------------------------------------------

def test_a_killed_run_leaves_no_render_running_and_its_work_is_swept(tmp_path):
    movie = make_source_video(tmp_path / "long.mp4", seconds=12, size="640x360")
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([seg("0", "5", "One."), seg("6", "11", "Two.")]))
    args = command(movie, str(segments), "--speech", "espeak-ng", "--output-dir", "out")
    process = subprocess.Popen(args, cwd=tmp_path, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        for line in process.stderr:
            if line.startswith("render "):
                break
        renders = children_of(process.pid)
        assert renders
        process.kill()
        process.wait(timeout=30)
        deadline = time.monotonic() + 10
        while any(map(alive, renders)) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not any(map(alive, renders))
    finally:
        if process.poll() is None:
            process.kill()
    left = [name for name in os.listdir(tmp_path / "out") if name.startswith(".clipweave-work-")]
    assert len(left) == 1

    segments.write_text(json.dumps([seg("0", "1", "Again.")]))
    again = clipweave(movie, str(segments), "--speech", "espeak-ng", "--classic",
                      "--output-dir", "out", cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["FINAL_RECAP.mp4", "horizontal_final.mp4"]


def test_results_are_published_all_or_nothing(tmp_path, movie):
    out = tmp_path / "out"
    (out / "FINAL_RECAP.srt").mkdir(parents=True)
    (out / "FINAL_RECAP.mp4").write_bytes(b"the user's video")
    r = clipweave(movie, segments_file(tmp_path, 1), "--speech", "espeak-ng", "-y",
                  "--output-dir", str(out), cwd=tmp_path)
    assert r.returncode == 2
    assert one_error_line(r.stderr) == (f"clipweave: error: {out / 'FINAL_RECAP.srt'} is a "
                                        "directory; a result cannot replace it")
    assert (out / "FINAL_RECAP.mp4").read_bytes() == b"the user's video"

    # A name taken while the run worked: nothing is published.
    workspace = Workspace(str(tmp_path / "later"), ["FINAL_RECAP.mp4", "FINAL_RECAP.srt"],
                          overwrite=True)
    work = workspace.prepare()
    made = {}
    for name in ("FINAL_RECAP.mp4", "FINAL_RECAP.srt"):
        made[name] = os.path.join(work, name)
        with open(made[name], "w") as f:
            f.write(name)
    (tmp_path / "later" / "FINAL_RECAP.mp4").write_text("mine")
    (tmp_path / "later" / "FINAL_RECAP.srt").mkdir()
    with pytest.raises(OutputChanged):
        workspace.publish(made)
    workspace.close()
    assert (tmp_path / "later" / "FINAL_RECAP.mp4").read_text() == "mine"


# --- small promises -----------------------------------------------------------------

def test_times_as_plain_numbers_are_seconds(tmp_path, movie):
    segments = tmp_path / "numbers.json"
    segments.write_text(json.dumps([{"start": 0, "end": 1.5, "voiceover": "One."},
                                    {"start": "3", "end": 4.25, "voiceover": "Two."}]))
    for mode in ("--classic", "--captions=none"):
        r = clipweave(movie, str(segments), "--speech", "espeak-ng", mode, "--json",
                      "--output-dir", f"out{mode}", cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        result = json.loads(r.stdout)
        assert [(s["start"], s["end"]) for s in result["segments"]] == [("0", "1.5"),
                                                                         ("3", "4.25")]


def test_a_refused_run_leaves_no_directory_it_made(tmp_path, movie):
    late = tmp_path / "late.json"
    late.write_text(json.dumps([seg("1", "2"), seg("5", "8")]))
    r = clipweave(movie, str(late), "--speech", "espeak-ng", "--output-dir", "new/deeper",
                  cwd=tmp_path)
    assert r.returncode == 2
    assert not (tmp_path / "new").exists()


def test_captions_file_holds_plain_text(tmp_path, movie):
    segments = tmp_path / "markup.json"
    text = "Use <b>bold</b> and {\\an8} here."
    segments.write_text(json.dumps([seg("0", "3", text)]))
    r = clipweave(movie, str(segments), "--speech", "espeak-ng", "--captions", "srt",
                  "--output-dir", "out", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    # What a player's SRT reader (ffmpeg's) makes of it: the same words, no markup.
    ass = tmp_path / "read.ass"
    subprocess.run(["ffmpeg", "-v", "error", "-i", str(tmp_path / "out" / "FINAL_RECAP.srt"),
                    str(ass)], check=True)
    shown = " ".join(line.split(",", 9)[9] for line in ass.read_text().splitlines()
                     if line.startswith("Dialogue:"))
    # Read as text: no bold, no override block; "\{" is the renderer's "{".
    assert "{\\b1}" not in shown and "{\\an8}" not in shown
    assert "<\u2060b>bold<\u2060/b>" in shown and "\\{\u2060\\\u2060an8}" in shown
    srt = (tmp_path / "out" / "FINAL_RECAP.srt").read_text(encoding="utf-8")
    words = " ".join(line for line in srt.splitlines() if line and "-->" not in line
                     and not line.isdigit())
    assert words.replace("\u2060", "").replace("\\{", "{") == text


def test_argument_errors_are_json_under_json(tmp_path):
    r = clipweave("a.mp4", "s.json", "--json", "--speed", "fast", cwd=tmp_path)
    assert r.returncode == 2
    assert json.loads(r.stdout) == {"error": "argument --speed: invalid float value: 'fast'",
                                    "stage": "check"}
    assert one_error_line(r.stderr) == ("clipweave: error: argument --speed: invalid float "
                                        "value: 'fast'")


def test_closed_standard_streams_are_as_dev_null(tmp_path, movie):
    segments = segments_file(tmp_path, 1)
    for redirect in (">&-", "2>&-", ">&- 2>&-"):
        out = tmp_path / f"out{len(redirect)}"
        shell = f'exec "$@" {redirect}'
        done = subprocess.run(["sh", "-c", shell, "sh", *command(
            movie, segments, "--speech", "espeak-ng", "--classic", "--output-dir", str(out))],
            cwd=tmp_path, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, (redirect, done.stderr)
        assert sorted(os.listdir(out)) == ["FINAL_RECAP.mp4", "horizontal_final.mp4"]


def test_unusable_input_is_refused_before_any_narration(tmp_path, services, movie):
    sources = {"empty.mp4": b"", "notes.mp4": b"just some text\n" * 10}
    for name, data in sources.items():
        (tmp_path / name).write_bytes(data)
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=2",
                    str(tmp_path / "audio.m4a")], check=True)
    subprocess.run(["ffmpeg", "-v", "error", "-i", movie, "-frames:v", "1",
                    str(tmp_path / "still.png")], check=True)
    reasons = {"empty.mp4": "it is empty", "notes.mp4": "ffprobe cannot read it as media",
               "audio.m4a": "it has no video stream", "still.png": "it is a still image"}
    segments = segments_file(tmp_path, 1)
    speech = ["--speech-service", services.tts.origin]
    for name, reason in reasons.items():
        r = clipweave(str(tmp_path / name), segments, *speech, "--output-dir", "out",
                      cwd=tmp_path)
        assert r.returncode == 2
        assert one_error_line(r.stderr) == (f"clipweave: error: source is not a usable video "
                                            f"({reason}): {tmp_path / name}")
    surrogate = tmp_path / "surrogate.json"
    surrogate.write_text('[{"start": "0", "end": "1", "voiceover": "A \\ud800 B"}]')
    r = clipweave(movie, str(surrogate), *speech, "--output-dir", "out", cwd=tmp_path)
    assert r.returncode == 2 and "lone UTF-16 surrogate" in one_error_line(r.stderr)
    r = subprocess.run([os.fsencode(a) for a in command(movie, segments, *speech)]
                       + [b"--output-dir", b"out\xff"], cwd=tmp_path, capture_output=True)
    assert r.returncode == 2
    assert b"not UTF-8" in r.stderr and r.stderr.count(b"\n") == 1
    assert services.tts.received == []
    assert sorted(os.listdir(tmp_path)) == sorted(
        [*sources, "audio.m4a", "still.png", "many.json", "surrogate.json"])


def test_every_path_printed_exists_at_the_end(tmp_path, movie, services):
    def named(text):
        return [word for line in text.splitlines() for word in line.split() if word.startswith("/")]

    r = clipweave(movie, segments_file(tmp_path, 1), "--speech", "espeak-ng", "--classic",
                  "--output-dir", "out", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert str(tmp_path / "out" / "FINAL_RECAP.mp4") in named(r.stdout)
    assert [path for path in named(r.stdout) if not os.path.exists(path)] == []
    # A download, on the studio render (progress on standard error): the line
    # that named the work directory's copy names the cache's, or no file.
    download = [URL, segments_file(tmp_path, 1), "--downloader", "service", "--speech", "espeak-ng",
                "--download-service", services.download.origin, "--captions", "none",
                "--quality", "fast", "-y"]
    cache = tmp_path / "cache"
    for extra, out in ((["--cache-dir", str(cache)], "cached"), (["--no-cache"], "uncached")):
        r = clipweave(*download, *extra, "--output-dir", out, cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        assert [path for path in named(r.stderr) if not os.path.exists(path)] == []
        done = [line for line in r.stderr.splitlines() if line.startswith("✅ Download complete")]
        if out == "cached":
            assert done == [f"✅ Download complete: {next((cache / 'sources').glob('*.mp4'))}"]
        else:
            assert done == ["✅ Download complete"]
