"""The command-line interface and the demo, in-process.

Runs that pass the pre-checks have the module's `requests` bound to the
loopback stand-ins and the stand-ins' origins given as the services; the
command line's own behaviour as a process (signals, standard input, the
output directory) is in test_command_line.py.
"""
import json
import os
import re
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

import clipweave
from clipweave import __main__ as command
from clipweave.app import cli
from clipweave.demo import main as demo
from clipweave.demo.polling import ShortWaits
from clipweave.app.settings import DEFAULT_VOICE
from clipweave.demo.services import make_source_video
from clipweave.system.probe import probe
from clipweave.model.segments import UsageError, load_segments, parse_time
from standins import Reply, StandIns
from studio_media import tone
from support import NO_REQUESTS, NO_SLEEP, Clock, raising, seg

REPO = Path(__file__).resolve().parent.parent
URL = "https://www.youtube.com/watch?v=abc123"


def run_cli(*args, cwd, env=None):
    # Any request that escaped the stand-ins would meet a dead loopback proxy.
    environ = dict(os.environ, HTTP_PROXY="http://127.0.0.1:9", HTTPS_PROXY="http://127.0.0.1:9",
                   http_proxy="http://127.0.0.1:9", https_proxy="http://127.0.0.1:9",
                   NO_PROXY="127.0.0.1", no_proxy="127.0.0.1", **(env or {}))
    return subprocess.run([sys.executable, "-m", "clipweave", *args], cwd=cwd, env=environ,
                          capture_output=True, text=True, timeout=120)


@pytest.fixture
def segments_file(tmp_path):
    def write(value, raw=None):
        path = tmp_path / "segments.json"
        path.write_bytes(raw if raw is not None else json.dumps(value).encode())
        return str(path)
    return write


@pytest.fixture
def local(tmp_path):
    """A local SOURCE for runs that must stop at the pre-checks (never read)."""
    path = tmp_path / "movie.mp4"
    path.write_bytes(b"not read")
    return str(path)


@pytest.fixture(autouse=True)
def no_remote_services(rebind):
    # A run that got past the pre-checks by mistake fails here, not on the network.
    rebind("requests", NO_REQUESTS)


def errors(capsys):
    err = capsys.readouterr().err
    return [line.removeprefix("clipweave: error: ") for line in err.splitlines()]


# --- options -----------------------------------------------------------------

def test_help_version_and_usage(tmp_path):
    help_ = run_cli("--help", cwd=tmp_path)
    assert help_.returncode == 0
    assert "clipweave movie.mp4 segments.json --speech espeak-ng --output-dir out" in help_.stdout
    for option in ("--speed", "--voice", "--output-dir", "--version", "--download-service",
                   "--speech-service", "--downloader", "--overwrite", "--keep-work",
                   "--cache-dir", "--no-cache", "--json", "--quiet", "clipweave demo"):
        assert option in help_.stdout
    assert DEFAULT_VOICE in help_.stdout

    version = run_cli("--version", cwd=tmp_path)
    assert (version.returncode, version.stdout) == (0, f"clipweave {clipweave.__version__}\n")

    demo_help = run_cli("demo", "--help", cwd=tmp_path)
    assert demo_help.returncode == 0 and "--seconds" in demo_help.stdout

    usage = run_cli(cwd=tmp_path)
    assert usage.returncode == 2 and usage.stdout == ""
    assert usage.stderr.splitlines()[-1].startswith("clipweave: error: ")

    bad_speed = run_cli(URL, "s.json", "--speed", "fast", cwd=tmp_path)
    assert bad_speed.returncode == 2 and "invalid float value: 'fast'" in bad_speed.stderr


def test_precheck_failure_as_a_process(tmp_path):
    """Every problem on its own line, no traceback, exit status 2, nothing made."""
    (tmp_path / "s.json").write_text('[{"start": "5", "end": "1"}]')
    (tmp_path / "movie.mp4").write_bytes(b"")
    r = run_cli("movie.mp4", "s.json", "--speed", "0.1", "--output-dir", "missing",
                "--speech", "espeak-ng", cwd=tmp_path)
    assert r.returncode == 2 and r.stdout == ""
    assert r.stderr.splitlines() == [
        "clipweave: error: speed must be a finite number from 0.5 to 100, got 0.1",
        'clipweave: error: segments file s.json, segment 1: missing "voiceover"',
        'clipweave: error: segments file s.json, segment 1: "end" (1) is not after "start" (5)',
    ]
    assert sorted(os.listdir(tmp_path)) == ["movie.mp4", "s.json"]


# --- pre-checks ----------------------------------------------------------------

TRAILING_COMMA = b'[{"start": "1",}]'


def json_error(raw):
    try:
        json.loads(raw)
    except json.JSONDecodeError as e:
        return f"{e.msg} (line {e.lineno}, column {e.colno})"
    raise AssertionError(f"{raw!r} parsed")


@pytest.mark.parametrize("value, raw, message", [
    (None, b'\xef\xbb\xbf[]', "begins with a byte-order mark; save it as UTF-8 without one"),
    (None, b'[{"voiceover": "caf\xe9"}]', "is not valid UTF-8 (byte 0xe9 at offset 19)"),
    # The parser's own words, which differ between interpreter versions.
    (None, TRAILING_COMMA, f"is not valid JSON: {json_error(TRAILING_COMMA)}"),
    (None, b"", "is not valid JSON: Expecting value (line 1, column 1)"),
    pytest.param(None, b"[" * 100_000,
                 "is not valid JSON: arrays or objects nested too deeply", id="nested"),
    ({"start": "1"}, None, "must hold a JSON array of segments, not an object"),
    ("x", None, "must hold a JSON array of segments, not a string"),
    (7, None, "must hold a JSON array of segments, not a number"),
    ([], None, "holds no segments"),
    pytest.param(None, b"[" + b"1" * 5000 + b"]",
                 "holds a number of 5000 characters (at most 100)", id="long-number"),
    pytest.param(None, b" " * (16 * 2**20 + 1), "is larger than 16 MiB", id="large"),
])
def test_unusable_segments_file(capsys, tmp_path, segments_file, local, value, raw, message):
    path = segments_file(value, raw)
    assert cli.main([local, path, "--speech", "espeak-ng", "--output-dir", str(tmp_path)]) == 2
    assert errors(capsys) == [f"segments file {path} {message}"]


def test_endless_segments_file_is_refused(capsys, tmp_path, local):
    assert cli.main([local, "/dev/zero", "--speech", "espeak-ng",
                     "--output-dir", str(tmp_path)]) == 2
    assert errors(capsys) == ["segments file /dev/zero is larger than 16 MiB"]


@pytest.mark.parametrize("segment, problems", [
    (5, ["must be an object, not a number"]),
    ([seg("1", "2")], ["must be an object, not an array"]),
    (None, ["must be an object, not null"]),
    ({"end": "2"}, ['missing "start"', 'missing "voiceover"']),
    ({"start": [1], "end": True, "voiceover": None},
     ['"start" must be a string, not an array', '"end" must be a string, not a boolean',
      '"voiceover" must be a string, not null']),
    # Plain numbers are seconds.
    ({"start": 1, "end": 2.5, "voiceover": "Fine."}, []),
    ({"start": -1, "end": 1e400, "voiceover": "x"},
     ['"start" must be a number of seconds from 0, got -1',
      '"end" must be a number of seconds from 0, got inf']),
    ({"start": 3, "end": 2.0, "voiceover": "x"}, ['"end" (2) is not after "start" (3)']),
    (seg("1", "2", "A \ud800 B"),
     ["\"voiceover\" holds a lone UTF-16 surrogate ('\\ud800'), which is no character"]),
    (seg("1", "2", " \n"), ['"voiceover" is empty']),
    (seg("1", "2", "x" * 10_000), []),
    (seg("1", "2", "Words. " * 1_500_000),
     ['"voiceover" is 10,500,000 characters long; at most 10,000 (about ten minutes of speech)']),
    (seg("1:75", "abc"), ["\"start\" is not a time such as 75.5 or 00:01:15.5: '1:75'",
                          "\"end\" is not a time such as 75.5 or 00:01:15.5: 'abc'"]),
    (seg("00:00:05", "5"), ['"end" (5) is not after "start" (00:00:05)']),
    (seg("00:01:00", "59.5"), ['"end" (59.5) is not after "start" (00:01:00)']),
    ({**seg("1", "2"), "extra": [1, 2]}, []),
])
def test_bad_segment_is_named(capsys, tmp_path, segments_file, segment, problems):
    path = segments_file([seg("0", "1"), segment])
    try:
        load_segments(path)
        found = []
    except UsageError as e:
        found = e.problems
    assert found == [f"segments file {path}, segment 2: {p}" for p in problems]


def test_many_problems_are_capped(capsys, tmp_path, segments_file, local):
    path = segments_file([{"start": "1"}] * 7)  # two problems each
    assert cli.main([local, path, "--speech", "espeak-ng", "--output-dir", str(tmp_path)]) == 2
    lines = errors(capsys)
    assert len(lines) == 11 and lines[-1] == "... and 4 more problems"


@pytest.mark.parametrize("text, seconds", [
    ("5", 5), ("75.5", 75.5), ("0", 0), ("1500ms", 1.5), ("2s", 2), ("250us", 0.00025),
    ("00:05", 5), ("1:5", 65), ("00:01:15.5", 75.5), ("2:00:00", 7200), ("100:00:00", 360000),
    ("-5", None), ("+5", None), (" 5", None), ("5 ", None), (".5", None), ("5.", None),
    ("1e1", None), ("5,5", None), ("00:60", None), ("01:00:60", None), ("1:2:3:4", None),
    ("", None), ("5m", None), ("٣", None), ("1:002", None),
])
def test_time_syntax(text, seconds):
    assert parse_time(text) == (pytest.approx(seconds) if seconds is not None else None)


@pytest.mark.parametrize("text", ["7.5", "1500ms", "250us", "2s", "0:5", "00:00:15.5", "0:00:02"])
def test_accepted_times_are_accepted_by_ffmpeg(text):
    r = subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "anullsrc",
                        "-ss", text, "-t", "0.01", "-f", "null", "-"], capture_output=True)
    assert r.returncode == 0, r.stderr


@pytest.mark.parametrize("name, message", [
    ("a-file", "output directory is not a directory: {dir}"),
    ("line\nbreak", "output directory name holds a line break, which ffmpeg's join list "
                    "cannot hold: {dir!r}"),
])
def test_output_dir_refused(capsys, tmp_path, segments_file, local, name, message):
    path = segments_file([seg("1", "2")])
    (tmp_path / "a-file").write_text("")
    output_dir = tmp_path / name
    assert cli.main([local, path, "--speech", "espeak-ng", "--output-dir", str(output_dir)]) == 2
    assert errors(capsys) == [message.format(dir=str(output_dir)).replace("\n", "\\n")]
    assert sorted(os.listdir(tmp_path)) == ["a-file", "movie.mp4", "segments.json"]


def test_unwritable_output_dir(capsys, tmp_path, segments_file, local):
    # Root may write anywhere but on a read-only file system.
    path = segments_file([seg("1", "2")])
    assert cli.main([local, path, "--speech", "espeak-ng", "--output-dir", "/proc"]) == 2
    assert errors(capsys)[0].startswith("output directory /proc is not writable: ")


@pytest.mark.parametrize("speed", ["0.49", "-1", "0", "nan", "inf", "-inf", "100.5", "1e9"])
def test_speed_out_of_range(capsys, tmp_path, segments_file, local, speed):
    path = segments_file([seg("1", "2")])
    assert cli.main([local, path, f"--speed={speed}", "--speech", "espeak-ng",
                     "--output-dir", str(tmp_path)]) == 2
    assert errors(capsys) == [
        f"speed must be a finite number from 0.5 to 100, got {float(speed)!r}"]


@pytest.mark.parametrize("args, expected", [
    ([" "], ["source is neither an http(s) URL nor an existing file:  "]),
    (["."], ["source is not a file: ."]),
    (["{local}", "--voice", ""], ["--voice: voice is empty"]),
    (["{local}", "--voice", "xx-no-such"],
     ["voice 'xx-no-such' (--voice) is not an espeak-ng voice; 'clipweave voices' lists them"]),
    (["{local}", "--speech", "service"],
     ["no speech service is set up (https://text-to-speech.example is built into the module, "
      "a placeholder): give --speech-service ORIGIN, set CLIPWEAVE_SPEECH_SERVICE or "
      "speech_service in {config}, or use --speech espeak-ng or --speech flite"]),
    ([URL, "--downloader", "service"],
     ["no download service is set up (https://api.video-download.example is built into the "
      "module, a placeholder): give --download-service ORIGIN, set CLIPWEAVE_DOWNLOAD_SERVICE "
      "or download_service in {config}, or use --downloader yt-dlp or a local video file"]),
    ([URL, "--download-service", "ftp://x"], ["--download-service: not an http:// or https:// "
                                              "origin: 'ftp://x'"]),
    ([URL, "--speech-service", "http://h/path"], ["--speech-service: an origin has no path, "
                                                  "query or fragment: 'http://h/path'"]),
])
def test_source_settings_and_voice(capsys, tmp_path, segments_file, local, private_settings,
                                   args, expected):
    path = segments_file([seg("1", "2")])
    args = [a.replace("{local}", local) for a in args]
    config = private_settings / "config" / "clipweave" / "config.toml"
    assert cli.main([args[0], path, *args[1:], "--output-dir", str(tmp_path),
                     *([] if "--speech" in args else ["--speech", "espeak-ng"])]) == 2
    assert errors(capsys) == [e.replace("{config}", str(config)) for e in expected]


@pytest.mark.parametrize("args, need", [
    (["--speech", "espeak-ng"], ["ffmpeg", "ffprobe"]),
    (["--speech", "flite"], ["ffmpeg", "ffprobe"]),
    ([URL, "--downloader", "yt-dlp", "--speech", "espeak-ng"],
     ["ffmpeg", "ffprobe", "yt-dlp"]),
    ([URL, "--downloader", "service", "--download-service", "http://127.0.0.1:9",
      "--speech-service", "http://127.0.0.1:9"], ["ffmpeg", "ffprobe", "wget"]),
])
def test_tools_each_backend_needs(capsys, monkeypatch, tmp_path, segments_file, local, args,
                                  need):
    path = segments_file([seg("1", "2")])
    monkeypatch.setenv("PATH", "")
    source = args.pop(0) if args[0] == URL else local
    assert cli.main([source, path, *args, "--output-dir", str(tmp_path)]) == 2
    assert errors(capsys) == [f"{tool} not found on PATH (install {tool})" for tool in need]


# --- runs ----------------------------------------------------------------------

@pytest.fixture(scope="module")
def source(tmp_path_factory):
    return make_source_video(tmp_path_factory.mktemp("src") / "source.mp4", seconds=4,
                             size="320x180")


@pytest.fixture
def services(cw, rebind, source):
    with StandIns(video_file=source, lifetime=120) as s:
        rebind("requests", s.requests)
        rebind("time", NO_SLEEP)
        yield s


def service_args(s):
    return ["--downloader", "service", "--download-service", s.download.origin,
            "--speech-service", s.tts.origin]


@pytest.mark.parametrize("render, results", [
    (["--classic"], ["FINAL_RECAP.mp4", "horizontal_final.mp4"]),
    ([], ["FINAL_RECAP.mp4", "FINAL_RECAP.srt"]),
], ids=["classic", "studio"])
def test_successful_run_prints_the_absolute_result(cw, capsys, monkeypatch, tmp_path,
                                                   segments_file, services, render, results):
    before = cw._download_video, cw._generate_tts, cw.requests
    path = segments_file([seg("1", "2", "One, two, three, four, five, six.")])
    monkeypatch.chdir(tmp_path)
    assert cli.main([URL, path, "--speed", "2", "--output-dir", "out", *render,
                     *service_args(services)]) == 0
    out = capsys.readouterr()
    final = str(tmp_path / "out" / "FINAL_RECAP.mp4")
    if render:
        # The exact pipeline's messages go to standard output, as they always have.
        assert out.err == "" and out.out.splitlines()[-1] == final
    else:
        # The studio's progress goes to standard error; standard output holds the result.
        assert out.out == final + "\n"
        assert "narration 1/1" in out.err and "render 100%" in out.err
    assert [c.json for c in services.calls if c.json] == [
        {"text": "One, two, three, four, five, six.", "voice": DEFAULT_VOICE}]
    # The built-in origins were mapped onto the configured ones.
    assert {c.routed_url.split("/")[2] for c in services.calls} == {
        services.download.origin.split("/")[2], services.tts.origin.split("/")[2]}
    assert probe("out/FINAL_RECAP.mp4")[0]["video"]["height"] == 1920
    assert sorted(os.listdir("out")) == results
    # Every global is bound as before the run.
    assert (cw._download_video, cw._generate_tts, cw.requests) == before


def _bogus_tempo(rebind):
    rebind("_build_atempo_chain", lambda speed: "atempo=bogus")


@pytest.mark.parametrize("arrange, stage, message", [
    (lambda s, rebind: s.download.script(start={"success": False, "error": "blocked"}),
     "download", "download failed: Download API error: {'success': False, 'error': 'blocked'}"),
    (lambda s, rebind: s.download.script(video_file=None),
     "download", "download failed: wget failed (exit status 8) while running: wget -q -O "),
    (lambda s, rebind: s.tts.script(Reply(), Reply(status=503)),
     "speech", f"speech synthesis failed for segment 2: TTS failed for voice {DEFAULT_VOICE}: "
     "HTTP 503"),
    (lambda s, rebind: s.tts.script(body=b"{}"),
     "speech", "speech synthesis failed for segment 1: KeyError: 'audio_data'"),
    (lambda s, rebind: _bogus_tempo(rebind),
     "render", "ffmpeg failed (exit status 1) while running: ffmpeg -y -loglevel error -i "),
], ids=["api-error", "wget-404", "tts-503", "tts-no-audio", "render"])
def test_failed_run_is_one_line(capsys, rebind, tmp_path, segments_file, services,
                                arrange, stage, message):
    arrange(services, rebind)
    path = segments_file([seg("1", "2", "First."), seg("2", "3", "Second.")])
    out = tmp_path / "out"
    assert cli.main([URL, path, "--output-dir", str(out), "--json", "--classic",
                     *service_args(services)]) == 1
    captured = capsys.readouterr()
    lines = [line.removeprefix("clipweave: error: ") for line in captured.err.splitlines()
             if line.startswith("clipweave: error: ")]
    assert len(lines) == 1 and lines[0].startswith(message)
    assert len(lines[0]) < 400
    document = json.loads(captured.out)
    assert document["stage"] == stage and document["error"].startswith(message)
    assert os.listdir(out) == []  # the work directory went with the failure


def test_interrupt_exits_130(capsys, rebind, tmp_path, segments_file, services):
    rebind("time", Clock(on_sleep=raising(KeyboardInterrupt)))
    path = segments_file([seg("1", "2")])
    assert cli.main([URL, path, "--output-dir", str(tmp_path / "out"), "--classic",
                     *service_args(services)]) == 130
    assert errors(capsys) == ["interrupted"]
    assert os.listdir(tmp_path / "out") == []


def test_studio_narration_failure_names_its_segment(capsys, tmp_path, segments_file, services):
    services.tts.script(Reply(), Reply(status=500), Reply())
    path = segments_file([seg("1", "2", "First."), seg("2", "3", "Second."),
                          seg("3", "3.5", "Third.")])
    assert cli.main([URL, path, "--output-dir", str(tmp_path / "out"), "--jobs", "1",
                     *service_args(services)]) == 1
    assert errors(capsys)[-1] == ("speech synthesis failed for segment 2: TTS failed for voice "
                                  f"{DEFAULT_VOICE}: HTTP 500")
    assert os.listdir(tmp_path / "out") == []


@pytest.mark.parametrize("args, message", [
    (["--classic", "--frame", "fit", "--jobs", "2"], "--frame, --jobs: for the studio render, "
                                                     "not --classic"),
    (["--classic", "--aspect", "1:1"], "--aspect: for the studio render, not --classic"),
    (["--jobs", "0"], "--jobs must be from 1 to 32, got 0"),
    (["--bed-volume", "6"], "--bed-volume must be from -60 to 0 dB, or off; got 6.0"),
    (["--music", "{dir}/none.flac"], "--music: no such file: {dir}/none.flac"),
    (["--music", "{dir}/segments.json"], "--music: not audio that ffmpeg reads: {dir}/segments.json"),
    (["--music", "{dir}/blip.wav"], "--music: {dir}/blip.wav is too short to loop (at least 1 s)"),
    (["--music", "{dir}/bed.wav", "--music-volume", "6"],
     "--music-volume: music_volume must be from -60 to 0, not 6.0"),
])
def test_studio_options_checked(capsys, tmp_path, segments_file, local, args, message):
    path = segments_file([seg("1", "2")])
    tone(tmp_path / "blip.wav", 0.4)
    tone(tmp_path / "bed.wav", 1.5)
    args = [a.replace("{dir}", str(tmp_path)) for a in args]
    assert cli.main([local, path, "--speech", "espeak-ng", "--output-dir", str(tmp_path),
                     *args]) == 2
    assert errors(capsys) == [message.replace("{dir}", str(tmp_path))]


def test_a_second_binding_in_one_process_is_refused(cw):
    from clipweave.app.backend_swap import BackendSwap
    from clipweave.app.errors import BindingBusy

    with BackendSwap() as first:
        first.bind("time", NO_SLEEP)
        with pytest.raises(BindingBusy):
            BackendSwap().__enter__()
        assert cw.time is NO_SLEEP
    assert cw.time is not NO_SLEEP


# --- the demo ------------------------------------------------------------------

def test_shipped_segments():
    shipped = REPO / "examples" / "segments.json"
    segments = load_segments(str(shipped))
    assert 4 <= len(segments) <= 6
    for s in segments:
        assert 4 <= s.length <= 8 and s.end <= demo.DEFAULT_SECONDS
    # The package's copy, for installs without a checkout, is the same file.
    assert (REPO / "clipweave" / "demo" / "examples" / "segments.json").read_bytes() == \
        shipped.read_bytes()


@pytest.mark.parametrize("args, message", [
    (["--seconds", "8"],
     "demo: segment 1 ends at 9 s, after the end of the 8 s source video (raise --seconds)"),
    (["--seconds", "0"], "demo: --seconds must be from 1 to 3600, got 0.0"),
    (["--speed", "0.25"], "speed must be a finite number from 0.5 to 100, got 0.25"),
])
def test_demo_refuses_before_making_anything(capsys, tmp_path, args, message):
    out = tmp_path / "demo"
    shipped = str(REPO / "examples" / "segments.json")
    assert command.main(["demo", *args, "--segments", shipped, "--output-dir", str(out)]) == 2
    assert errors(capsys) == [message]
    assert not out.exists()


def test_demo_shortens_only_the_polling_waits():
    slept = []
    waits = ShortWaits(SimpleNamespace(sleep=slept.append, monotonic=lambda: 7),
                             demo.POLL_WAIT)
    for seconds in (3, 0.5, 2.9, 10):
        waits.sleep(seconds)
    assert slept == [demo.POLL_WAIT, 0.5, 2.9, demo.POLL_WAIT]
    assert waits.monotonic() == 7


def test_tiny_demo(tmp_path):
    segments = tmp_path / "two.json"
    segments.write_text(json.dumps([
        seg("1", "3", "A narration that lasts well beyond the two seconds of its cut."),
        seg("00:00:06", "00:00:09", "And a second one, longer than three seconds, to end."),
    ]))
    r = run_cli("demo", "--seconds", "12", "--segments", str(segments), "--speed", "2",
                "--output-dir", "my demo", "--classic", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    # The download service reports two figures before it finishes (each
    # carriage return reads as a line end in text mode).
    assert "\n  25%\n  70%\n  100%\n" in r.stdout
    out = tmp_path / "my demo"
    final, horizontal = out / "FINAL_RECAP.mp4", out / "horizontal_final.mp4"
    sample = out / "sample.mp4"
    lines = r.stdout.splitlines()
    assert lines[-11:-7] == [str(final), "", "demo: results", f"  FINAL_RECAP.mp4       {final}"]
    assert re.fullmatch(r" {24}1080x1920, video h264, audio aac, 2\.\d\d s", lines[-7])
    assert lines[-6] == f"  horizontal_final.mp4  {horizontal}"
    assert re.fullmatch(r" {24}640x360, video h264, audio aac, 5\.\d\d s", lines[-5])
    assert lines[-4] == f"  sample.mp4            {sample}"
    assert re.fullmatch(r" {24}640x360, video h264, audio aac, 12\.\d\d s \(the source\)",
                        lines[-3])
    # Its download line names the kept source, not the work directory's copy.
    assert f"✅ Download complete: {sample}\n" in r.stdout
    assert lines[-2:] == [
        "  expected duration of FINAL_RECAP.mp4: 5 s of segments / 2 = 2.50 s",
        "  (each clip lasts as long as the shorter of its cut and its narration)"]
    assert "demo: polling waits shortened from 3 s to 0.2 s" in r.stdout

    streams, duration = probe(str(out / "FINAL_RECAP.mp4"))
    assert (streams["video"]["width"], streams["video"]["height"]) == (1080, 1920)
    assert (streams["video"]["codec_name"], streams["audio"]["codec_name"]) == ("h264", "aac")
    assert duration == pytest.approx(2.5, abs=0.4)
    streams, duration = probe(str(out / "horizontal_final.mp4"))
    assert (streams["video"]["width"], streams["video"]["height"]) == (640, 360)
    assert duration == pytest.approx(5, abs=0.6)
    assert sorted(os.listdir(out)) == ["FINAL_RECAP.mp4", "horizontal_final.mp4", "sample.mp4"]


def test_tiny_studio_demo(tmp_path):
    segments = tmp_path / "two.json"
    segments.write_text(json.dumps([seg("1", "3", "A narration longer than its range, by far, in any voice."),
                                    seg("00:00:06", "00:00:09", "A short one.")]))
    r = run_cli("demo", "--seconds", "12", "--segments", str(segments), "--speed", "2",
                "--voice", "fr", "--output-dir", "out", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    out = tmp_path / "out"
    assert sorted(os.listdir(out)) == ["FINAL_RECAP.mp4", "FINAL_RECAP.srt", "sample.mp4"]
    lines = r.stdout.splitlines()
    assert lines[:3] == [str(out / "FINAL_RECAP.mp4"), "", "demo: results"]
    assert lines[-3] == f"  sample.mp4       {out / 'sample.mp4'}"
    # What the run said it did: the download names the kept source; a French
    # voice is spoken by espeak-ng, not flite.
    assert f"✅ Download complete: {out / 'sample.mp4'}\n" in r.stderr
    assert ", speech by espeak-ng (fr-fr) (http://127.0.0.1:" in r.stderr
    assert probe(str(out / "sample.mp4"))[1] == pytest.approx(12, abs=0.1)
    assert lines[-1] == ("  5 s of segments / 2 = 2.50 s at least (each clip keeps its range; a "
                         "longer narration runs on)")
    assert "segment 1: narration " in r.stderr and "narration 2/2" in r.stderr
    streams, duration = probe(str(out / "FINAL_RECAP.mp4"))
    assert (streams["video"]["width"], streams["video"]["height"]) == (1080, 1920)
    assert (streams["audio"]["sample_rate"], streams["audio"]["channels"]) == ("48000", 2)
    assert duration > 2.5


@pytest.mark.parametrize("name", ["-x.mp4", "take:2.mp4", "concat:a.mp4"])
def test_probe_reads_any_file_name(tmp_path, monkeypatch, name):
    # Relative names that ffprobe would take for an option or a protocol.
    make_source_video(tmp_path / name, seconds=1, size="160x90")
    monkeypatch.chdir(tmp_path)
    streams, duration = probe(name)
    assert (streams["video"]["width"], streams["audio"]["channels"]) == (160, 1)
    assert duration == pytest.approx(1, abs=0.1)
    assert demo.describe(name).startswith("160x90, video h264, audio aac, ")


@pytest.mark.parametrize("tty", [True, False], ids=["terminal", "pipe"])
def test_render_progress(tty):
    import io

    from clipweave.app.console import Console, LineTracker, StudioProgress
    from clipweave.studio import RenderProgress

    class Stream(io.StringIO):
        def isatty(self):
            return tty

    console = Console()
    console.progress = LineTracker(Stream())
    progress = StudioProgress(console)
    progress.narration(1, 2)
    progress.narration(2, 2)
    for fraction in (0.0, 0.05, 0.5, 1.0):
        progress.render(RenderProgress("render", fraction, 2.0, 10 * (1 - fraction)))
    progress.close()
    text = console.progress.stream.getvalue()
    if tty:
        assert text.startswith("\rnarration 1/2\rnarration 2/2\n")
        assert "\rrender " in text and " 100%, 2.00x, 0:00 left" in text
    else:
        assert text.splitlines() == ["narration 1/2", "narration 2/2", "render   0% (2.00x, 0:10 left)",
                                     "render  50% (2.00x, 0:05 left)",
                                     "render 100% (2.00x, 0:00 left)"]
