"""Service calls that end: each answer within a deadline, and all of them
stoppable at once.

The module's clients wait on ``requests``, whose time-out bounds each read
of the socket, not the answer: a service that trickles a byte every few
seconds holds a call (and the run) for ever. :class:`DeadlineRequests`
makes each call in a helper thread and waits for its whole answer for at
most the run's time-out; the caller (the module's client, inside a
narration thread or the main one) leaves as soon as the deadline passes or
the run is stopped, while the helper, which holds no C++ frame, ends on its
own read time-out.
"""
import threading
import time
from urllib.parse import urlsplit

from clipweave.model.options import default

DEFAULT_TIMEOUT = default("timeout")  # seconds for one service answer


class Stopped(Exception):
    """The run was stopped while this call waited."""


class DeadlineRequests:
    """``requests`` (or what stands in for it) with an overall deadline on
    every call's complete answer; :meth:`stop` ends every wait."""

    def __init__(self, real, seconds=DEFAULT_TIMEOUT):
        self._real = real
        self.seconds = seconds
        self._stopped = threading.Event()

    def stop(self):
        self._stopped.set()

    def get(self, url, *args, **kwargs):
        return self._call("get", url, args, kwargs)

    def post(self, url, *args, **kwargs):
        return self._call("post", url, args, kwargs)

    def __getattr__(self, name):
        return getattr(self._real, name)

    def _call(self, verb, url, args, kwargs):
        if self._stopped.is_set():
            raise Stopped("stopped")
        given = kwargs.get("timeout")
        per_read = self.seconds if not isinstance(given, (int, float)) else min(given, self.seconds)
        kwargs = dict(kwargs, timeout=per_read)
        outcome = {}
        done = threading.Event()

        def call():
            try:
                response = getattr(self._real, verb)(url, *args, **kwargs)
                _ = response.content  # the whole body, inside the deadline
                outcome["response"] = response
            except BaseException as e:  # noqa: BLE001 - handed to the caller
                outcome["error"] = e
            finally:
                done.set()

        threading.Thread(target=call, name="service call", daemon=True).start()
        end = time.monotonic() + self.seconds
        # Short waits, so that a stop or a signal in the main thread is seen at once.
        while not done.wait(min(0.2, max(0.0, end - time.monotonic()))):
            if self._stopped.is_set():
                raise Stopped("stopped")
            if time.monotonic() >= end:
                parts = urlsplit(str(url))
                raise TimeoutError(f"no complete answer from {parts.scheme}://{parts.netloc} "
                                   f"within {self.seconds:g} s")
        if "error" in outcome:
            raise outcome["error"]
        return outcome["response"]
