"""The command's failures: the exit status, message and stage a caller
sees for each way a run ends, and each error type's message."""
import json
import os
import re
import signal
import socket
import subprocess
import sys

import pytest

from clipweave.app import errors
from clipweave.app.errors import failure
from clipweave.app.stage import Stage
from clipweave.demo.services import make_source_video
from clipweave.model.segments import UsageError
from clipweave.studio import StudioError
from support import seg


def stage(name, segment=0):
    s = Stage()
    s.enter(name)
    s.segment = segment
    return s


def command(*args):
    return [sys.executable, "-m", "clipweave", *map(str, args)]


# How a shell script reads a run's end: the statuses the help promises.
STATUSES = {"done": 0, "the run failed": 1, "bad arguments or input": 2, "Ctrl-C": 130,
            "SIGTERM": 143, "SIGHUP": 129}


def test_the_help_promises_each_status():
    text = subprocess.run(command("--help"), capture_output=True, text=True, timeout=60).stdout
    promise = " ".join(text.split("exit status:", 1)[1].split())
    assert "128+N ended by signal N" in promise, promise
    promised = re.findall(r"\b(\d+) ([^;,()]+)", promise.replace("128+N", ""))
    assert {meaning.strip(): int(n) for n, meaning in promised} == STATUSES, promise


@pytest.fixture(scope="module")
def movie(tmp_path_factory):
    return make_source_video(tmp_path_factory.mktemp("src") / "movie.mp4", seconds=3,
                             size="160x90")


def start(*args, cwd):
    return subprocess.Popen(command(*args, "--json"), cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)


def ended(process, timeout=120):
    """(exit status, last error line, the --json document) of a run."""
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    lines = [line.removeprefix("clipweave: error: ") for line in stderr.splitlines()
             if line.startswith("clipweave: error: ")]
    return process.returncode, (lines or [None])[-1], json.loads(stdout.splitlines()[-1])


def closed_origin():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}"  # nothing listens there once closed


@pytest.mark.parametrize("case, ending, stage, message", [
    ("done", "done", None, None),
    ("speech service down", "the run failed", "speech", "speech synthesis failed for segment 1: "),
    ("bad argument", "bad arguments or input", "check",
     "argument --speed: invalid float value: 'fast'"),
    ("bad config file", "bad arguments or input", "check", "config file "),
    ("not a video", "bad arguments or input", "check", "is not a usable video"),
    ("outside the video", "bad arguments or input", "check",
     "segment 1 (2 to 5) is not inside the video, which lasts 3.00 s"),
    ("result there", "bad arguments or input", "output", "give -y/--overwrite"),
])
def test_a_run_ends_with_its_status_message_and_stage(tmp_path, movie, private_settings, case,
                                                      ending, stage, message):
    """A real run of the command for each way a run can end before it is stopped."""
    source, segments, out = movie, tmp_path / "segments.json", tmp_path / "out"
    segments.write_text(json.dumps([seg("2", "5") if case == "outside the video"
                                    else seg("0.2", "1.4", "One.")]))
    args = ["--speech", "espeak-ng"]
    if case == "speech service down":
        args = ["--speech-service", closed_origin()]
    elif case == "bad argument":
        args += ["--speed", "fast"]
    elif case == "bad config file":
        config = private_settings / "config" / "clipweave" / "config.toml"
        config.parent.mkdir(parents=True)
        config.write_text("speech = [\n")
    elif case == "not a video":
        source = tmp_path / "notes.mp4"
        source.write_text("not a video\n")
    elif case == "result there":
        out.mkdir()
        (out / "FINAL_RECAP.mp4").write_bytes(b"the user's")
    status, error, document = ended(start(source, segments, *args, "--output-dir", out,
                                          cwd=tmp_path))
    assert status == STATUSES[ending], (error, document)
    if stage is None:
        assert error is None and os.path.isfile(document["final"])
        return
    assert message in error and document == {"error": error, "stage": stage}
    # Nothing made is left behind, and the user's file is as it was.
    assert (sorted(os.listdir(out)) if out.exists() else []) == (
        ["FINAL_RECAP.mp4"] if case == "result there" else [])
    if case == "result there":
        assert (out / "FINAL_RECAP.mp4").read_bytes() == b"the user's"


@pytest.mark.parametrize("signum, ending, message", [
    (signal.SIGINT, "Ctrl-C", "interrupted"),
    (signal.SIGTERM, "SIGTERM", "terminated by SIGTERM"),
    (signal.SIGHUP, "SIGHUP", "terminated by SIGHUP"),
])
def test_a_run_stopped_by_a_signal_ends_with_its_status(tmp_path, movie, signum, ending, message):
    """Stopped while it waits for a speech service that never answers."""
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([seg("0.2", "1.4", "One.")]))
    with socket.socket() as service:
        service.bind(("127.0.0.1", 0))
        service.listen()
        service.settimeout(120)
        run = start(movie, segments, "--speech-service",
                    f"http://127.0.0.1:{service.getsockname()[1]}", "--output-dir", "out",
                    cwd=tmp_path)
        try:
            asked, _ = service.accept()  # the run waits for its narration's answer
        finally:
            run.send_signal(signum)
        with asked:
            status, error, document = ended(run, timeout=60)
    assert status == STATUSES[ending]
    assert (error, document) == (message, {"error": message, "stage": "interrupted"})
    assert os.listdir(tmp_path / "out") == []


@pytest.mark.parametrize("exc, during, problems, where, status", [
    (UsageError(["a", "b"]), "check", ["a", "b"], "check", 2),
    (errors.OutsideVideo(["segment 2 ..."]), "download", ["segment 2 ..."], "check", 2),
    (errors.UnusableSource(["source is not a usable video ..."]), "download",
     ["source is not a usable video ..."], "check", 2),
    (errors.ConfigError("config file x: bad"), "check", ["config file x: bad"], "check", 2),
    (errors.OutputRefused(["taken"]), "check", ["taken"], "output", 2),
    (errors.OutputChanged(["appeared"]), "render", ["appeared"], "output", 1),
    (errors.BindingBusy("busy"), "check", ["busy"], "check", 1),
    (errors.BindingBusy("busy"), "run", ["busy"], "run", 1),
    (KeyboardInterrupt(), "speech", ["interrupted"], "interrupted", 130),
    (errors.Terminated(signal.SIGTERM), "render", ["terminated by SIGTERM"], "interrupted", 143),
    (errors.Terminated(signal.SIGHUP), "download", ["terminated by SIGHUP"], "interrupted", 129),
    (BrokenPipeError(), "render", [], None, 141),
    (StudioError(1, ["a", "b", "c", "d"]), "render", ["ffmpeg failed (exit status 1) | b | c | d"],
     "render", 1),
    (Exception("no answer"), "download", ["download failed: no answer"], "download", 1),
    (ValueError("bad audio"), "speech", ["speech synthesis failed for segment 3: "
                                         "ValueError: bad audio"], "speech", 1),
    (subprocess.CalledProcessError(-9, ["ffmpeg", "-i", "a b"]), "render",
     ["ffmpeg failed (killed by signal 9) while running: ffmpeg -i 'a b'"], "render", 1),
    (FileNotFoundError(2, "No such file", "wget"), "run", ["wget not found on PATH"], "render", 1),
])
def test_each_failure_has_its_message_stage_and_status(exc, during, problems, where, status):
    found = failure(exc, stage(during, segment=3))
    assert (found.problems, found.stage, found.status) == (problems, where, status)


def test_an_error_the_command_does_not_end_on_is_not_given_a_status():
    with pytest.raises(LookupError):
        failure(SystemExit(3), Stage())
