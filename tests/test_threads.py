"""Eight threads calling the module at once.

The module holds the interpreter lock throughout, but the Python code it
calls (fakes here) lets other threads in at every switch; a very short
switch interval makes that happen often. Every result is compared with a
value computed beforehand, and every call's files and arguments must be its
own thread's.
"""
import base64
import math
import pathlib
import random
import sys
import threading
import time
from urllib.parse import quote

from support import Clock, FakeRequests, FakeResponse, FakeSubprocess, Sink, StrSub

THREADS = 8
SECONDS = 2.5


SPEEDS = [0.25, 0.5, 1.0, 1.5, 2.0, 2.0000001, 2.5, 3.0, 4.0, 5.0, 10.0, 100.0, 1e300, -1.0,
          0.0, 0.1 + 0.2] + [random.Random(7).uniform(0.01, 1000.0) for _ in range(40)]


BINDING_ERRORS = [
    # callable, args, kwargs, exception, message
    ("run_recap", ("u", "s", 1.0), {}, TypeError,
     "run_recap() takes at least 4 positional arguments (3 given)"),
    ("run_recap", ("u", "s", 1.0, "v", ".", "x"), {}, TypeError,
     "run_recap() takes at most 5 positional arguments (6 given)"),
    ("run_recap", (), {"youtube_url": "u", "segments_file": "s", "tts_voice": "v"}, TypeError,
     "run_recap() takes at least 4 positional arguments (2 given)"),
    ("run_recap", ("u", "s", 1.0, "v"), {"youtube_url": "u"}, TypeError,
     "run_recap() got multiple values for keyword argument 'youtube_url'"),
    ("run_recap", ("u", "s", 1.0, "v"), {"speed": 1.0}, TypeError,
     "run_recap() got an unexpected keyword argument 'speed'"),
    ("run_recap", ("u", "s", 1.0, "v", None), {}, TypeError,
     "Argument 'output_dir' has incorrect type (expected str, got NoneType)"),
    ("run_recap", ("u", pathlib.PurePosixPath("s"), 1.0, "v"), {}, TypeError,
     "Argument 'segments_file' has incorrect type (expected str, got PurePosixPath)"),
    ("run_recap", (1, "s", "2", "v"), {}, TypeError, "must be real number, not str"),
    ("_build_atempo_chain", (), {}, TypeError,
     "_build_atempo_chain() takes exactly 1 positional argument (0 given)"),
    ("_build_atempo_chain", (10**400,), {}, OverflowError, "int too large to convert to float"),
    ("_build_atempo_chain", (math.inf,), {}, ValueError, "speed must be a finite number, got inf"),
    ("_download_video", ("u",), {}, TypeError,
     "_download_video() takes exactly 2 positional arguments (1 given)"),
    ("_download_video", ("u", b"o"), {}, TypeError,
     "Argument 'output_file' has incorrect type (expected str, got bytes)"),
    ("_generate_tts", ("t", "o"), {"voices": "v"}, TypeError,
     "_generate_tts() got an unexpected keyword argument 'voices'"),
    ("_generate_tts", (StrSub("t"), "o", "v"), {}, TypeError,
     "Argument 'text' has incorrect type (expected str, got StrSub). "),  # a note follows
]


class ThreadSafeServices:
    """requests and subprocess fakes whose answers derive from the request
    alone, so a call that got another thread's answer shows it."""

    def __init__(self):
        self.lock = threading.Lock()
        self.wget = {}  # output_file -> download URL handed to wget
        self.requests = FakeRequests(start=self.start, progress=self.progress, post=self.speak)
        self.subprocess = FakeSubprocess(status=self.run)

    @staticmethod
    def start(url):
        time.sleep(0)  # let another thread in
        encoded = url.split("&url=", 1)[1]
        return FakeResponse({"success": True, "id": encoded,
                             "progress_url": "fake://progress/" + encoded})

    @staticmethod
    def progress(url):
        time.sleep(0)
        encoded = url.rsplit("/", 1)[1]
        return FakeResponse({"success": True, "progress": 1000,
                             "download_url": "https://files.invalid/" + encoded})

    @staticmethod
    def speak(payload):
        time.sleep(0)
        audio = base64.b64encode((payload["text"] + "|" + payload["voice"]).encode()).decode()
        return FakeResponse({"audio_data": "data:audio/mpeg;base64," + audio})

    def run(self, argv):
        time.sleep(0)
        with self.lock:
            self.wget[argv[3]] = argv[-1]
        return 0


def test_eight_threads(cw, rebind, memory_dir):
    services = ThreadSafeServices()
    rebind("requests", services.requests)
    rebind("subprocess", services.subprocess)
    rebind("time", Clock(on_sleep=lambda seconds: time.sleep(0)))
    # What one thread alone gets; test_atempo.py says whether that is right.
    expected_atempo = {s: cw._build_atempo_chain(s) for s in SPEEDS}
    failures = []
    counts = [0] * THREADS
    start = threading.Barrier(THREADS)

    def worker(n):
        rng = random.Random(n)
        try:
            start.wait()
            deadline = time.monotonic() + SECONDS
            i = 0
            while time.monotonic() < deadline:
                i += 1
                what = rng.randrange(4)
                if what == 0:
                    speed = rng.choice(SPEEDS)
                    got = cw._build_atempo_chain(speed)
                    assert got == expected_atempo[speed], (speed, got)
                elif what == 1:
                    name, args, kwargs, exc, message = rng.choice(BINDING_ERRORS)
                    try:
                        getattr(cw, name)(*args, **kwargs)
                    except exc as e:
                        assert str(e).startswith(message) and (
                            message.endswith(". ") or str(e) == message), (name, str(e))
                    else:
                        raise AssertionError(f"{name}{args} did not raise")
                elif what == 2:
                    text, voice = f"thread {n} call {i} ✓", f"voice{n}"
                    out = memory_dir / f"voice_{n}.mp3"
                    assert cw._generate_tts(text, str(out), voice) is None
                    assert out.read_bytes() == f"{text}|{voice}".encode()
                else:
                    url = f"https://youtu.be/{n}?t={i}&x=é"
                    out = str(memory_dir / f"movie {n}.mp4")
                    assert cw._download_video(url, out) is None
                    with services.lock:
                        handed = services.wget.pop(out)
                    assert handed == "https://files.invalid/" + quote(url, safe=""), handed
                counts[n] += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append((n, repr(e)))

    saved_stdout, saved_interval = sys.stdout, sys.getswitchinterval()
    sys.stdout = Sink()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(n,), daemon=True)
                   for n in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(SECONDS + 30)
    finally:
        sys.setswitchinterval(saved_interval)
        sys.stdout = saved_stdout
    assert not any(t.is_alive() for t in threads), "a thread hung"
    assert not failures, failures[:5]
    print(f"\nthreads: {THREADS} threads, {sum(counts)} calls in {SECONDS} s, per thread {counts}")
    assert all(c > 0 for c in counts)
