"""How a run can fail, and what the command says and returns for each failure.

Every error type of the command line is here, with the one table
(``FAILURES``) that gives each its message, the stage it is reported with
(``"stage"`` under --json) and the exit status.
"""
import enum
import os
import shlex
import signal
import subprocess
from dataclasses import dataclass

from clipweave.model.segments import UsageError
from clipweave.studio import StudioError


class ExitStatus(enum.IntEnum):
    OK = 0
    FAILED = 1  # the run failed
    USAGE = 2  # bad arguments or input, or an output refused
    HANGUP = 128 + signal.SIGHUP
    INTERRUPTED = 128 + signal.SIGINT  # Ctrl-C
    BROKEN_PIPE = 128 + signal.SIGPIPE
    TERMINATED = 128 + signal.SIGTERM

    @classmethod
    def of_signal(cls, signum):
        return cls(128 + signum)


class ConfigError(Exception):
    """A setting that cannot be used; the message names where it came from."""


class BindingBusy(RuntimeError):
    """Another run in this process has the module's globals bound."""


class OutsideVideo(UsageError):
    """Segments that do not lie inside the downloaded video."""


class UnusableSource(UsageError):
    """A source that is no video a recap can be made of."""


class OutputRefused(Exception):
    """The output directory cannot take this run's results; one message each."""

    def __init__(self, problems):
        super().__init__("\n".join(problems))
        self.problems = list(problems)


class OutputChanged(OutputRefused):
    """A result's name was taken in the output directory while the run worked."""


class Terminated(BaseException):
    """The process was asked to end by a signal."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def _shorten(text, limit=300):
    return text if len(text) <= limit else text[: limit - 3] + "..."


def describe(exc):
    """One line for a failure of the run."""
    if isinstance(exc, subprocess.CalledProcessError) and isinstance(exc.cmd, (list, tuple)):
        program = os.path.basename(str(exc.cmd[0])) if exc.cmd else "command"
        if exc.returncode < 0:
            how = f"killed by signal {-exc.returncode}"
        else:
            how = f"exit status {exc.returncode}"
        return (f"{program} failed ({how}) while running: "
                f"{_shorten(shlex.join(map(str, exc.cmd)), 200)}")
    if isinstance(exc, FileNotFoundError) and exc.filename in ("ffmpeg", "wget", "yt-dlp",
                                                               "espeak-ng", "ffprobe"):
        return f"{exc.filename} not found on PATH"
    if type(exc) is Exception:
        return _shorten(str(exc))
    return _shorten(f"{type(exc).__name__}: {exc}")


def _in_stage(exc, stage):
    """A failure of whatever the run was doing: (stage, message)."""
    if stage.name == "download":
        return "download", f"download failed: {describe(exc)}"
    if stage.name == "speech":
        return "speech", f"speech synthesis failed for segment {stage.segment}: {describe(exc)}"
    if stage.name == "check":
        return "check", describe(exc)
    return "render", describe(exc)


def _ffmpeg_failed(exc, stage):
    return _shorten(" | ".join([f"ffmpeg failed (exit status {exc.returncode})",
                                *exc.stderr_tail[-3:]]))


# Error type: (message, stage, exit status). A function in any place takes
# (the error, the run's Stage); a message is one line or a list of them,
# None when nothing can be said. The row of the nearest base class applies.
FAILURES = {
    UsageError: (lambda e, s: e.problems, "check", ExitStatus.USAGE),
    OutsideVideo: (lambda e, s: e.problems, "check", ExitStatus.USAGE),
    UnusableSource: (lambda e, s: e.problems, "check", ExitStatus.USAGE),
    ConfigError: (lambda e, s: str(e), "check", ExitStatus.USAGE),
    OutputRefused: (lambda e, s: e.problems, "output", ExitStatus.USAGE),
    # Checked before the run and found taken at its end: the run's work is lost.
    OutputChanged: (lambda e, s: e.problems, "output", ExitStatus.FAILED),
    BindingBusy: (lambda e, s: str(e), lambda e, s: "check" if s.name == "check" else "run",
                  ExitStatus.FAILED),
    StudioError: (_ffmpeg_failed, "render", ExitStatus.FAILED),
    KeyboardInterrupt: ("interrupted", "interrupted", ExitStatus.INTERRUPTED),
    Terminated: (lambda e, s: f"terminated by {signal.Signals(e.signum).name}", "interrupted",
                 lambda e, s: ExitStatus.of_signal(e.signum)),
    # The reader went away (| head): nothing more can be said to it.
    BrokenPipeError: (None, None, ExitStatus.BROKEN_PIPE),
    Exception: (lambda e, s: _in_stage(e, s)[1], lambda e, s: _in_stage(e, s)[0],
                ExitStatus.FAILED),
}


@dataclass(frozen=True)
class Failure:
    problems: list  # empty: nothing to say
    stage: str
    status: ExitStatus


def failure(exc, stage):
    """The Failure for an error raised while the run was in ``stage``
    (a Stage); LookupError for an error type the command does not end on."""
    for kind in type(exc).__mro__:
        if kind in FAILURES:
            message, where, status = (value(exc, stage) if callable(value) else value
                                      for value in FAILURES[kind])
            problems = [] if message is None else [message] if isinstance(message, str) \
                else list(message)
            return Failure(problems, where, status)
    raise LookupError(type(exc).__name__)
