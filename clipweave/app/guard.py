"""A run as a well-behaved process: its children read nothing from the
terminal, and a termination ends it the way Ctrl-C does.

Inside :func:`guarded`, standard input is /dev/null (the children inherit
it: an ffmpeg that reads a "q" stops early and reports success, and a run
in a ``while read`` loop would eat the loop's input), and SIGTERM and SIGHUP
raise :class:`Terminated` in the main thread. Like KeyboardInterrupt it
unwinds the run: whatever is waiting for a child kills it first
(``subprocess.run`` does; so does :mod:`clipweave.system.children`), and the
work directory is dealt with on the way out. A run that ends by any
exception also stops the children that helper threads (concurrent
narrations) may still have running, so nothing is left behind.
"""
import contextlib
import os
import signal

from clipweave.app.errors import Terminated
from clipweave.system import children

STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


@contextlib.contextmanager
def guarded(*halts):
    """``halts``: more ways to stop work in flight (service calls), called
    with the children stopped when the run ends by an exception."""
    saved_stdin = os.dup(0)
    devnull = os.open(os.devnull, os.O_RDONLY)
    os.dup2(devnull, 0)
    os.close(devnull)
    stopping = []

    def stop(signum, frame):
        # One exception: a second signal must not cut the clean-up short.
        if not stopping:
            stopping.append(signum)
            raise Terminated(signum)

    saved_handlers = {s: signal.signal(s, stop) for s in STOP_SIGNALS}
    try:
        yield
    except BaseException:
        children.stop_all()
        for halt in halts:
            halt()
        raise
    finally:
        for s, handler in saved_handlers.items():
            signal.signal(s, handler)
        os.dup2(saved_stdin, 0)
        os.close(saved_stdin)
