"""Helpers shared by the test modules.

Odd argument objects for the binding tests, and small, fast, thread-safe
fakes of the module's globals (``requests``, ``subprocess``, ``time``) and
of stdout. Everything a fake raises is a fresh exception per call:
re-raising one instance would chain tracebacks and look like a leak to the
reference-leak tests.
"""
import ctypes
import io
import re
import subprocess as _real_subprocess
import types
from fractions import Fraction

# --- checks and inputs ---------------------------------------------------


def check_atempo_chain(speed, text):
    """Asserts that ``text`` is the tempo filter chain for the finite ``speed``.

    One atempo instance takes a factor from 0.5 to 2.0. A speed up to 2.0 is
    its own factor, written as repr() writes it. A faster one is the fewest
    full steps of exactly "2.0" that leave a rest of at most 2.0, then that
    rest to four decimals: the factors multiply to the speed but for the
    rounding of the last one.
    """
    assert type(text) is str, (speed, text)
    if speed <= 2.0:
        assert text == f"atempo={speed!r}", (speed, text)
        return
    factors = []
    for item in text.split(","):
        assert item.startswith("atempo="), (speed, text)
        factors.append(item[len("atempo="):])
    *full, rest = factors
    assert full and all(f == "2.0" for f in full), (speed, text)
    assert re.fullmatch(r"[0-9]\.[0-9]{4}", rest), (speed, text)
    # The rest is exact (a power of two divides it off), and written as the
    # host writes it to four decimals: an exact tie rounds to even.
    assert rest == f"{speed / 2 ** len(full):.4f}", (speed, text)
    assert all(0.5 <= float(f) <= 2.0 for f in factors), (speed, text)
    steps = 2 ** len(full)
    # Fewest steps: one fewer would leave more than 2.0, one more 1.0 or less.
    assert 1 < Fraction(speed) / steps <= 2, (speed, text)
    # Exact arithmetic: the product is off by at most half the last decimal,
    # times the full steps.
    off = abs(steps * Fraction(rest) - Fraction(speed))
    assert off <= steps * Fraction(1, 2 * 10**4), (speed, text, float(off))


def seg(start, end, text="A line of narration."):
    """One entry of a segments file."""
    return {"start": start, "end": end, "voiceover": text}


def alive(pid):
    """True while pid runs (a zombie waiting for its reaper has ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


# --- odd arguments ---------------------------------------------------------


class StrSub(str):
    pass


class StrHash1(str):
    """Same text as another key, another hash: a dict keeps both."""

    def __hash__(self):
        return 1


class FloatSub(float):
    pass


class Boom(Exception):
    pass


def raising(error, *args):
    """A function that raises a fresh ``error(*args)`` however it is called."""
    def fake(*_args, **_kwargs):
        raise error(*args)
    return fake


class _Converts:
    """An object whose one conversion method (``method``) hands back ``result``."""

    method = ""

    def __init__(self, result):
        self.result = result

    def __repr__(self):
        return f"{type(self).__name__}({self.method} -> {self.result!r})"


class FloatReturns(_Converts):
    method = "__float__"

    def __float__(self):
        return self.result


class IndexReturns(_Converts):
    """No __float__: the conversion falls back on __index__."""

    method = "__index__"

    def __index__(self):
        return self.result


class _Fails:
    """An object whose one conversion method raises a fresh ``error(message)``."""

    method = ""

    def __init__(self, error=LookupError, message=None):
        self.error = error
        self.message = f"no {self.method.strip('_')} here" if message is None else message

    def fail(self):
        raise self.error(self.message)

    def __repr__(self):
        return f"{type(self).__name__}({self.method} raises)"


class FloatRaises(_Fails):
    method = "__float__"

    def __float__(self):
        self.fail()


class IndexRaises(_Fails):
    method = "__index__"

    def __index__(self):
        self.fail()


# --- stdout ------------------------------------------------------------------


class Sink(io.TextIOBase):
    """A stdout that forgets everything (a StringIO would grow and look like a leak)."""

    def writable(self):
        return True

    def write(self, text):
        return len(text)

    def flush(self):
        pass


# --- requests ------------------------------------------------------------------

DOWNLOAD_URL = "https://files.invalid/video.mp4"


class FakeResponse:
    __slots__ = ("status_code", "_data", "_json_error", "_status_error")

    def __init__(self, data=None, status_code=200, json_error=None, status_error=None):
        self.status_code = status_code
        self._data = data
        self._json_error = json_error
        self._status_error = status_error

    def raise_for_status(self):
        if self._status_error is not None:
            raise self._status_error()

    def json(self):
        if self._json_error is not None:
            raise self._json_error()
        return self._data


def start_ok(url=None):
    return FakeResponse({"success": True, "id": "job-1", "progress_url": "fake://progress/job-1"})


def progress_done(url=None, download_url=DOWNLOAD_URL):
    return FakeResponse({"success": True, "progress": 1000, "download_url": download_url})


def tts_ok(payload=None, audio="data:audio/mpeg;base64,YWJj"):
    return FakeResponse({"audio_data": audio})


class FakeRequests:
    """Stateless stand-in for the requests package.

    ``get`` answers the start request (path /ajax/download.php) with
    ``start`` and every other URL with ``progress``; ``post`` answers with
    ``post``. Each is a FakeResponse, or a callable that is handed the URL
    (``get``) or the JSON body (``post``) and returns one or raises.
    """

    def __init__(self, start=start_ok, progress=progress_done, post=tts_ok):
        self.start = start
        self.progress = progress
        self.post_answer = post

    @staticmethod
    def _answer(answer, given):
        return answer(given) if callable(answer) else answer

    def get(self, url, headers=None, timeout=None):
        if "/ajax/download.php?" in url:
            return self._answer(self.start, url)
        return self._answer(self.progress, url)

    def post(self, url, json=None, headers=None, timeout=None):
        return self._answer(self.post_answer, json)


# A requests with nothing in it: any request fails before it is made.
NO_REQUESTS = types.SimpleNamespace()


# --- subprocess ------------------------------------------------------------------


class _Completed:
    __slots__ = ("returncode",)

    def __init__(self, returncode):
        self.returncode = returncode


class FakeSubprocess:
    """subprocess.run without processes: ``status(argv)`` gives the exit status.

    Like the real one it refuses non-text argv elements before anything
    would be started, and check=True turns a non-zero status into the real
    CalledProcessError.
    """

    CalledProcessError = _real_subprocess.CalledProcessError

    def __init__(self, status=lambda argv: 0, error=None):
        self.status = status
        self.error = error

    def run(self, argv, check=False, capture_output=False):
        for item in argv:
            if not isinstance(item, (str, bytes)):
                raise TypeError(
                    f"expected str, bytes or os.PathLike object, not {type(item).__name__}")
        if self.error is not None:
            raise self.error()
        code = self.status(argv)
        if check and code:
            raise _real_subprocess.CalledProcessError(code, argv)
        return _Completed(code)


def fail_on(program_step, code=1):
    """A FakeSubprocess status function failing the step whose argv holds ``program_step``."""
    return lambda argv: code if program_step in argv else 0


# --- time ------------------------------------------------------------------------


class Clock:
    """Stands in for the module's ``time``: sleeps return at once.

    Each sleep is noted in ``sleeps``; with ``calls`` (a list that grows by
    one per service call) also how many calls had been made by then, in
    ``calls_before``; ``on_sleep(seconds)`` runs at each one.
    """

    def __init__(self, calls=None, on_sleep=None):
        self._calls = calls
        self._on_sleep = on_sleep
        self.sleeps = []
        self.calls_before = []

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        if self._calls is not None:
            self.calls_before.append(len(self._calls))
        if self._on_sleep is not None:
            self._on_sleep(seconds)


# Sleeps return at once and nothing is kept: for loops of many thousand calls.
NO_SLEEP = types.SimpleNamespace(sleep=lambda seconds: None)


# --- calls that Python syntax cannot make --------------------------------

_vectorcall_method = ctypes.pythonapi.PyObject_VectorcallMethod
_vectorcall_method.restype = ctypes.py_object
_vectorcall_method.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                               ctypes.c_void_p]


class _Holder:
    pass


def vectorcall(func, args=(), kwnames=(), kwvalues=()):
    """Calls func through the vectorcall protocol with any kwnames tuple.

    Python syntax only ever builds keyword names that are distinct strings;
    C callers may pass anything. PyObject_VectorcallMethod finds ``target``
    in the holder's instance dict and hands our arguments and kwnames to
    func's own vectorcall entry unchanged.
    """
    holder = _Holder()
    holder.target = func
    items = [holder, *args, *kwvalues]
    array = (ctypes.py_object * len(items))(*items)
    names = tuple(kwnames) if len(kwnames) else None
    return _vectorcall_method("target", ctypes.cast(array, ctypes.c_void_p), 1 + len(args),
                              id(names) if names is not None else None)
