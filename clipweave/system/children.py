"""The one way the package runs another program.

Every child started through :func:`run` or :func:`spawn`:

- reads nothing: its standard input is /dev/null, or the bytes given as
  ``input`` (an ffmpeg that reads a "q" stops early and reports success,
  and a run in a ``while read`` loop would eat the loop's input);
- runs in a process group of its own, so the programs it starts (yt-dlp
  runs ffmpeg) stop with it;
- dies with the thread that started it (the kernel's parent-death signal),
  so a run killed outright (kill -9) leaves no render running;
- keeps the last lines of its standard error for the message of a failure
  (:class:`ChildFailed`), never more (unless its error output is sent
  elsewhere: ``stderr=None`` lets the user see a downloader's own words);
- is killed with its whole group when the wait for it ends by any
  exception, KeyboardInterrupt included;
- is known while it lives, so :func:`stop_all` can end every child of
  every thread at once (a run stopped by a signal).
"""
import collections
import contextlib
import errno
import os
import shutil
import signal
import subprocess
import threading

STDERR_LINES = 20  # kept for the message of a failed run
PIPE = subprocess.PIPE
DEVNULL = subprocess.DEVNULL

# ffmpeg's and ffprobe's leading arguments: no banner, no keyboard, errors only.
FFMPEG_BASE = ("ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error")
FFPROBE_BASE = ("ffprobe", "-v", "error")

_live_lock = threading.Lock()
_live = set()

# Sets the parent-death signal, then becomes the program: no Python code runs
# between fork and exec (a preexec_fn can deadlock there while other threads
# hold locks). Part of util-linux, which every Debian system has.
_SETPRIV = shutil.which("setpriv")


def _dying_with_parent(argv, env):
    """argv run so that it gets SIGKILL when the thread that started it ends
    (the process killed outright included); FileNotFoundError, as Popen
    gives it, when the program is not found."""
    if _SETPRIV is None:
        return argv
    path = (env if env is not None else os.environ).get("PATH", os.defpath)
    program = shutil.which(argv[0], path=path)
    if program is None:
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), argv[0])
    return [_SETPRIV, "--pdeathsig", "KILL", "--", program, *argv[1:]]


def ffmpeg(*args):
    """An ffmpeg argument vector with the package's leading arguments."""
    return [*FFMPEG_BASE, *map(str, args)]


def ffprobe(*args):
    """An ffprobe argument vector with the package's leading arguments."""
    return [*FFPROBE_BASE, *map(str, args)]


class ChildFailed(subprocess.CalledProcessError):
    """A child ended with a non-zero status (or by a signal: negative).

    ``stderr_tail`` holds its last lines of error output; ``stderr`` the
    same joined by line feeds, as CalledProcessError callers expect."""

    def __init__(self, returncode, argv, stderr_tail=(), output=None):
        tail = list(stderr_tail)
        super().__init__(returncode, list(argv), output=output, stderr="\n".join(tail))
        self.stderr_tail = tail


def _kill_group(process):
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(process.pid, signal.SIGKILL)


def stop_all():
    """Kills every live child (and its group), whichever thread started it."""
    with _live_lock:
        live = list(_live)
    for process in live:
        _kill_group(process)


def live_children():
    """How many children are running now (for tests and diagnostics)."""
    with _live_lock:
        return sum(1 for p in _live if p.poll() is None)


class Child:
    """A started program; use as a context manager, read ``stdout`` if it
    was piped, then :meth:`wait`. Leaving the block by an exception kills
    the group; leaving it otherwise waits."""

    def __init__(self, argv, *, stdout=None, cwd=None, env=None, stdin_data=None,
                 capture=False, stderr=PIPE):
        self.argv = [a if isinstance(a, str) else os.fspath(a) for a in argv]
        self._tail = collections.deque(maxlen=STDERR_LINES)
        stdin = DEVNULL if stdin_data is None else PIPE
        with _live_lock:
            self.process = subprocess.Popen(_dying_with_parent(self.argv, env), stdin=stdin,
                                            stdout=PIPE if capture else stdout, stderr=stderr,
                                            cwd=cwd, env=env, start_new_session=True)
            _live.add(self.process)
        # Captured output is read by a thread of its own, so that a timeout
        # still ends a child that writes nothing and never exits.
        self.output = None
        self.stdout = None if capture else self.process.stdout
        self._threads = []
        if stderr == PIPE:
            self._threads.append(threading.Thread(
                target=self._drain, daemon=True,
                name=f"stderr of {os.path.basename(self.argv[0])}"))
        if capture:
            self._threads.append(threading.Thread(target=self._collect, daemon=True))
        if stdin_data is not None:
            self._threads.append(threading.Thread(target=self._feed, args=(stdin_data,),
                                                  daemon=True))
        for thread in self._threads:
            thread.start()

    def _drain(self):
        stream = self.process.stderr
        for line in iter(stream.readline, b""):
            text = line.decode("utf-8", "replace").rstrip()
            if text:
                self._tail.append(text)
        stream.close()

    def _collect(self):
        stream = self.process.stdout
        with contextlib.suppress(OSError, ValueError):
            self.output = stream.read()
        stream.close()

    def _feed(self, data):
        with contextlib.suppress(BrokenPipeError, OSError, ValueError):
            self.process.stdin.write(data)
        with contextlib.suppress(BrokenPipeError, OSError, ValueError):
            self.process.stdin.close()

    @property
    def stderr_tail(self):
        return list(self._tail)

    def wait(self, timeout=None, check=True):
        """The exit status; ChildFailed when it is not 0 and check is true.
        A timeout kills the group and raises subprocess.TimeoutExpired."""
        try:
            code = self.process.wait(timeout)
        except BaseException:
            self.kill()
            raise
        self._finish()
        if check and code != 0:
            raise ChildFailed(code, self.argv, self.stderr_tail)
        return code

    def poll(self):
        """The exit status, or None while the child runs."""
        return self.process.poll()

    def terminate(self, grace=10.0):
        """Asks the child alone to stop (SIGTERM: a clipweave run cleans up
        and ends), and kills its group if it has not within ``grace`` seconds."""
        with contextlib.suppress(ProcessLookupError):
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(grace)
        except subprocess.TimeoutExpired:
            pass
        self.kill()

    def kill(self):
        _kill_group(self.process)
        self.process.wait()
        self._finish()

    def _finish(self):
        if self.stdout is not None:
            with contextlib.suppress(OSError, ValueError):
                self.stdout.close()
        for thread in self._threads:
            thread.join()
        with _live_lock:
            _live.discard(self.process)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.kill()
            return False
        if self.process.returncode is None:
            self.wait(check=False)
        return False


def spawn(argv, *, stdout=None, cwd=None, env=None, input=None,  # noqa: A002 - subprocess's name
          stderr=PIPE):
    """Starts argv as a :class:`Child` (see the module's promises)."""
    return Child(argv, stdout=stdout, cwd=cwd, env=env, stdin_data=input, stderr=stderr)


def run(argv, *, stdout=None, capture=False, input=None, timeout=None, cwd=None,  # noqa: A002
        env=None, check=True, stderr=PIPE):
    """Runs argv to its end; its standard output as bytes in ``stdout`` of
    the CompletedProcess when ``capture`` (else it goes to ``stdout``: None
    for ours, DEVNULL, or a descriptor), its last lines of error output in
    ``stderr``. ChildFailed on a non-zero status when ``check``;
    TimeoutExpired (the group killed) after ``timeout`` seconds."""
    with Child(argv, stdout=stdout, cwd=cwd, env=env, stdin_data=input, capture=capture,
               stderr=stderr) as child:
        code = child.wait(timeout=timeout, check=False)
    if check and code != 0:
        raise ChildFailed(code, child.argv, child.stderr_tail, child.output)
    return subprocess.CompletedProcess(child.argv, code, child.output,
                                       "\n".join(child.stderr_tail))
