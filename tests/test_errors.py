"""The command's failures: each error type's message, stage and exit status."""
import inspect
import signal
import subprocess

import pytest

from clipweave.app import errors
from clipweave.app.errors import ExitStatus, failure
from clipweave.app.stage import Stage
from clipweave.model.segments import UsageError
from clipweave.studio import StudioError


def stage(name, segment=0):
    s = Stage()
    s.enter(name)
    s.segment = segment
    return s


def test_exit_statuses():
    assert (ExitStatus.OK, ExitStatus.FAILED, ExitStatus.USAGE) == (0, 1, 2)
    assert (ExitStatus.INTERRUPTED, ExitStatus.BROKEN_PIPE) == (130, 141)
    assert ExitStatus.of_signal(signal.SIGTERM) == ExitStatus.TERMINATED == 143
    assert ExitStatus.of_signal(signal.SIGHUP) == ExitStatus.HANGUP == 129


def test_every_error_type_of_the_command_has_its_own_row():
    defined = {cls for _, cls in inspect.getmembers(errors, inspect.isclass)
               if issubclass(cls, BaseException) and cls.__module__ == errors.__name__}
    assert defined and defined | {UsageError, StudioError} <= set(errors.FAILURES)


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
