"""In-process fakes and call helpers shared by the reliability tests.

The leak, thread and fuzz tests care about the module's own reference
counting, locking and argument binding, not about the network or ffmpeg, so
the services, processes and sleeps are replaced here by small, fast,
thread-safe fakes. Everything a fake raises is a fresh exception per call:
re-raising one instance would chain tracebacks and look like a leak.
"""
import ctypes
import io
import subprocess as _real_subprocess
import types

DOWNLOAD_URL = "https://files.invalid/video.mp4"


class Sink(io.TextIOBase):
    """A stdout that forgets everything (a StringIO would grow and look like a leak)."""

    def writable(self):
        return True

    def write(self, text):
        return len(text)

    def flush(self):
        pass


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


def start_ok():
    return FakeResponse({"success": True, "id": "job-1", "progress_url": "fake://progress/job-1"})


def progress_done(url=DOWNLOAD_URL):
    return FakeResponse({"success": True, "progress": 1000, "download_url": url})


def tts_ok(audio="data:audio/mpeg;base64,YWJj"):
    return FakeResponse({"audio_data": audio})


class FakeRequests:
    """Stateless stand-in for the requests package.

    ``get`` answers the start request (path /ajax/download.php) with
    ``start`` and every other URL with ``progress``; ``post`` answers with
    ``post``. Each is a FakeResponse, or a zero-argument callable that
    returns one or raises.
    """

    def __init__(self, start=start_ok, progress=progress_done, post=tts_ok):
        self.start = start
        self.progress = progress
        self.post_answer = post

    @staticmethod
    def _answer(answer):
        return answer() if callable(answer) else answer

    def get(self, url, headers=None, timeout=None):
        if "/ajax/download.php?" in url:
            return self._answer(self.start)
        return self._answer(self.progress)

    def post(self, url, json=None, headers=None, timeout=None):
        return self._answer(self.post_answer)


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


FAST_TIME = types.SimpleNamespace(sleep=lambda seconds: None)


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
