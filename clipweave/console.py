"""What the command writes, and where.

Progress (the module's messages and the package's own) goes to standard
output, or to standard error under ``--json`` (standard output then carries
one JSON object at the end), or nowhere under ``--quiet``. Errors go to
standard error, each on a line of its own: after a progress figure that
ended without a line feed, a line feed comes first, and control characters
in a message (a voice or a path with a line feed) are shown escaped.
Standard output is line-buffered even when piped, and a stream that cannot
encode a character (the emoji, on an ASCII terminal) shows a replacement.
"""
import contextlib
import io
import json
import os
import subprocess
import sys

PROG = "clipweave"


def add_output_arguments(parser):
    """The options on how a run's results and messages come out."""
    parser.add_argument("-y", "--overwrite", action="store_true",
                        help="replace results that exist already")
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true",
                        help="progress on standard error; standard output gets one JSON object")
    output.add_argument("-q", "--quiet", action="store_true",
                        help="print only the result's path, or the error")


def mode_of(args):
    return "json" if args.json else "quiet" if args.quiet else "normal"


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


def _reconfigure(stream, **options):
    with contextlib.suppress(AttributeError, ValueError, io.UnsupportedOperation):
        stream.reconfigure(**options)


class Console:
    """The command's streams for one invocation; mode "normal", "json" or "quiet"."""

    def __init__(self, mode="normal"):
        self.mode = mode
        _reconfigure(sys.stdout, line_buffering=True, errors="replace")
        _reconfigure(sys.stderr, errors="backslashreplace")
        if mode == "normal":
            self.progress = LineTracker(sys.stdout)
        elif mode == "json":
            self.progress = LineTracker(sys.stderr)
        else:
            self.progress = LineTracker(open(os.devnull, "w"))

    @contextlib.contextmanager
    def capture(self):
        """sys.stdout is the progress stream meanwhile: the module prints there."""
        with contextlib.redirect_stdout(self.progress):
            yield

    def child_stdout(self):
        """What a child's standard output should be: progress, never the result."""
        if self.mode == "normal":
            return None
        if self.mode == "json":
            return sys.stderr.fileno()
        return subprocess.DEVNULL

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
