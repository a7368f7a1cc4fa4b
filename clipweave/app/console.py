"""What the command writes, and where.

Progress goes to standard error on the studio render (standard output
holds only the result) and to standard output with --classic (where the
exact pipeline's messages have always gone); to standard error under
``--json`` (standard output then carries one JSON object at the end); and
nowhere under ``--quiet``. Errors go to standard error, each on a line of
its own: after a progress figure that ended without a line feed, a line
feed comes first, and control characters in a message (a voice or a path
with a line feed) are shown escaped.
Standard output is line-buffered even when piped, and a stream that cannot
encode a character (the emoji, on an ASCII terminal) shows a replacement.
"""
import contextlib
import io
import json
import os
import shutil
import sys

from clipweave.system import children

PROG = "clipweave"


def escaped(text):
    """text with control characters shown as escapes, so it stays one line."""
    text = str(text)
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() or c == " " else c.encode("unicode_escape").decode("ascii")
                   for c in text)


class LineTracker(io.TextIOBase):
    """A text stream that remembers whether its last line is still open."""

    def __init__(self, stream):
        self.stream = stream
        self.open_line = False

    def write(self, text):
        n = self.stream.write(text)
        if text:
            self.open_line = not text.endswith("\n")
        return n

    def flush(self):
        # Also called when this wrapper is collected, perhaps after its stream closed.
        if not getattr(self.stream, "closed", False):
            self.stream.flush()

    def writable(self):
        return True

    def isatty(self):
        return self.stream.isatty()

    def fileno(self):
        return self.stream.fileno()

    @property
    def encoding(self):
        return self.stream.encoding


def mute_stdout():
    """The reader went away (| head): nothing more is written to the broken
    stream on the way out."""
    with contextlib.suppress(OSError, ValueError, AttributeError, io.UnsupportedOperation):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def open_standard_streams():
    """A standard stream the command was started without (closed: ``>&-``)
    becomes /dev/null, as if it had been redirected there: no message is
    lost to an exception, and no file a child opens takes its number."""
    for fd, name, mode in ((0, "stdin", "r"), (1, "stdout", "w"), (2, "stderr", "w")):
        try:
            os.fstat(fd)
        except OSError:
            devnull = os.open(os.devnull, os.O_RDWR)
            if devnull != fd:
                os.dup2(devnull, fd)
                os.close(devnull)
        if getattr(sys, name) is None:
            setattr(sys, name, open(fd, mode, closefd=False,
                                    **({} if mode == "r" else {"errors": "replace"})))


def _reconfigure(stream, **options):
    with contextlib.suppress(AttributeError, ValueError, io.UnsupportedOperation):
        stream.reconfigure(**options)


class Console:
    """The command's streams for one invocation; mode "normal", "json" or "quiet".

    Progress goes to standard output in normal mode (the exact pipeline's
    messages always have), or to standard error with ``progress_to_stderr``
    (the studio render, whose standard output holds only the result).
    """

    def __init__(self, mode="normal", progress_to_stderr=False):
        self.mode = mode
        _reconfigure(sys.stdout, line_buffering=True, errors="replace")
        _reconfigure(sys.stderr, errors="backslashreplace")
        if mode == "normal" and not progress_to_stderr:
            self.progress = LineTracker(sys.stdout)
        elif mode in ("normal", "json"):
            self.progress = LineTracker(sys.stderr)
        else:
            self.progress = LineTracker(open(os.devnull, "w"))

    @contextlib.contextmanager
    def capture(self, shown=None):
        """sys.stdout is the progress stream meanwhile: the module prints
        there. ``shown``: {path: what to print in its place}, for paths the
        module names that will not exist when the run ends."""
        stream = self.progress if not shown else _Renaming(self.progress, shown)
        with contextlib.redirect_stdout(stream):
            yield

    def child_stdout(self):
        """What a child's standard output should be: progress, never the result."""
        if self.mode == "quiet":
            return children.DEVNULL
        try:
            return self.progress.fileno()
        except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
            return None  # a stream without a descriptor (tests): the child's goes to ours

    def say(self, text):
        print(text, file=self.progress, flush=True)

    def end_open_line(self):
        if self.progress.open_line:
            with contextlib.suppress(OSError, ValueError):
                self.progress.write("\n")
                self.progress.flush()

    def error(self, message):
        self.end_open_line()
        print(f"{PROG}: error: {escaped(message)}", file=sys.stderr, flush=True)

    def errors(self, problems, limit=10):
        shown = problems[:limit]
        for problem in shown:
            self.error(problem)
        if len(problems) > len(shown):
            self.error(f"... and {len(problems) - len(shown)} more problems")

    def result(self, path, document):
        """The run's outcome on standard output: the path, or the JSON document."""
        if self.mode == "json":
            print(json.dumps(document, ensure_ascii=False))
        else:
            print(escaped(path))
        sys.stdout.flush()

    def failure(self, problems, stage):
        """The run's failure: each problem on standard error and, under
        --json, {"error", "stage"} on standard output."""
        problems = [problems] if isinstance(problems, str) else list(problems)
        self.errors(problems)
        if self.mode == "json":
            print(json.dumps({"error": "; ".join(problems), "stage": stage}, ensure_ascii=False))
            sys.stdout.flush()


class _Renaming:
    """A stream that writes through to another with some paths renamed."""

    def __init__(self, stream, names):
        self._stream = stream
        self._names = names

    def write(self, text):
        for old, new in self._names.items():
            text = text.replace(old, new)
        return self._stream.write(text)

    def __getattr__(self, name):
        return getattr(self._stream, name)


def _clock(seconds):
    seconds = int(round(seconds))
    return f"{seconds // 60}:{seconds % 60:02d}"


class StudioProgress:
    """Narrations as "narration n/N", then the render as a bar with percent,
    speed and time left on a terminal, or as a line every 10 % elsewhere.
    ``listener``, when given, is handed every event as well:
    ("narration", done, total) and each RenderProgress."""

    def __init__(self, console, listener=None):
        self.stream = console.progress
        self.tty = console.mode != "quiet" and self.stream.isatty()
        self._bar = None
        self._shown = -1
        self._listener = listener

    def narration(self, done, total):
        if self._listener is not None:
            self._listener(("narration", done, total))
        if self.tty:
            self.stream.write(f"\rnarration {done}/{total}" + ("\n" if done == total else ""))
            self.stream.flush()
        else:
            print(f"narration {done}/{total}", file=self.stream, flush=True)

    def render(self, event):
        if self._listener is not None:
            self._listener(event)
        if event.stage != "render":
            return
        detail = []
        if event.speed:
            detail.append(f"{event.speed:.2f}x")
        if event.seconds_left is not None:
            detail.append(f"{_clock(event.seconds_left)} left")
        percent = int(event.fraction * 100)
        if self.tty:
            if self._bar is None:
                from tqdm import tqdm

                # A width always: where the terminal tells none, tqdm drops the bar.
                width = shutil.get_terminal_size((80, 24)).columns or 80
                self._bar = tqdm(total=100, file=self.stream, desc="render", leave=True,
                                 ncols=min(width, 100),
                                 bar_format="{desc} {bar} {percentage:3.0f}%{postfix}")
            self._bar.set_postfix_str(", ".join(detail), refresh=False)
            self._bar.update(percent - self._bar.n)
        elif percent // 10 > self._shown // 10 or (percent == 100 and self._shown < 100):
            self._shown = percent
            print(f"render {percent:3d}%" + (f" ({', '.join(detail)})" if detail else ""),
                  file=self.stream, flush=True)

    def close(self):
        if self._bar is not None:
            self._bar.close()
            self._bar = None
