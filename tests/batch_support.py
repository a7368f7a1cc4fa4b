"""Jobs files, a loopback redis-server, and process trees for the batch tests."""
import contextlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

from clipweave.batch.record import RECORD
from studio_media import pattern_video, streams


def clipweave(*args, cwd=None, timeout=300, **kwargs):
    return subprocess.run([sys.executable, "-m", "clipweave", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout, **kwargs)


def start_clipweave(*args, cwd=None, env=None):
    return subprocess.Popen([sys.executable, "-m", "clipweave", *map(str, args)], cwd=cwd,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def make_job(folder, name, seconds=2.0, ranges=((0.2, 1.4),), **options):
    """A job entry for a tiny source in ``folder``, with offline speech."""
    source = folder / f"{name}.mp4"
    if not source.exists():
        pattern_video(source, seconds)
    segments = [{"start": str(a), "end": str(b), "voiceover": f"Part {n}."}
                for n, (a, b) in enumerate(ranges, 1)]
    (folder / f"{name}.json").write_text(json.dumps(segments))
    return {"source": f"{name}.mp4", "segments": f"{name}.json", "output_dir": f"out/{name}",
            "speech": "espeak-ng", "quality": "fast", **options}


def write_jobs(folder, jobs):
    path = folder / "jobs.json"
    path.write_text(json.dumps(jobs))
    return path


def work_dirs(directory):
    return [n for n in os.listdir(directory) if n.startswith(".clipweave-work-")]


def rendering(directory):
    """True while a run in the directory writes its video (the render's part file)."""
    try:
        return any(name.endswith(".mp4.part") for w in work_dirs(directory)
                   for name in os.listdir(os.path.join(directory, w)))
    except FileNotFoundError:  # not made yet, or just removed
        return False


def snapshot(directory):
    """{name: (inode, size, mtime_ns)} of the files in a directory."""
    return {entry.name: (entry.inode(), entry.stat().st_size, entry.stat().st_mtime_ns)
            for entry in os.scandir(directory)}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RedisServer:
    """A redis-server of its own on loopback, in ``folder``: ``settings`` are
    more of its settings, ``tls`` (certificate, key) makes it speak TLS
    alone. Started by start(); kill() and start() again restart it on the
    same port, with what it kept (--appendonly yes keeps every write)."""

    def __init__(self, folder, *settings, tls=None):
        self.folder = folder
        self.port = free_port()
        self.settings = [str(s) for s in settings]
        self.tls = tls
        self.process = None

    @property
    def url(self):
        return f"{'rediss' if self.tls else 'redis'}://127.0.0.1:{self.port}/0"

    def start(self):
        ports = ["--port", str(self.port)]
        if self.tls:
            ports = ["--port", "0", "--tls-port", str(self.port), "--tls-cert-file",
                     str(self.tls[0]), "--tls-key-file", str(self.tls[1]),
                     "--tls-auth-clients", "no"]
        self.process = subprocess.Popen(
            [shutil.which("redis-server"), *ports, "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", "--dir", str(self.folder), *self.settings],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while True:
            with contextlib.suppress(OSError):
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            assert self.process.poll() is None and time.monotonic() < deadline, \
                "no redis-server"
            time.sleep(0.05)

    def kill(self):
        self.process.kill()
        self.process.wait()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.kill()


@contextlib.contextmanager
def redis_server(folder, *settings):
    """A redis-server of its own on loopback, gone when the block ends; its URL."""
    with RedisServer(folder, *settings) as server:
        yield server.url


def certificates(folder):
    """(authority, certificate, key) in folder: a certificate authority of
    the test's own, and a certificate it signed for 127.0.0.1 and localhost."""
    ca, cert, key = folder / "ca.crt", folder / "server.crt", folder / "server.key"

    def openssl(*args):
        subprocess.run(["openssl", *map(str, args)], check=True, capture_output=True)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
            "/CN=clipweave test authority", "-keyout", folder / "ca.key", "-out", ca)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
            "-keyout", key, "-out", folder / "server.csr")
    (folder / "names.ext").write_text("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    openssl("x509", "-req", "-days", "2", "-in", folder / "server.csr", "-CA", ca,
            "-CAkey", folder / "ca.key", "-CAcreateserial", "-extfile", folder / "names.ext",
            "-out", cert)
    return ca, cert, key


def descendants(pid):
    """pid and every process below it (by parent links), whatever their session."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            with contextlib.suppress(OSError):
                with open(f"/proc/{entry}/stat") as f:
                    # The name may hold spaces; the parent follows the last ")".
                    parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
    found, frontier = [pid], [pid]
    while frontier:
        below = [p for p, parent in parents.items() if parent in frontier]
        found += below
        frontier = below
    return found


def kill_tree(pid):
    """A machine lost: the process and all below it killed at once."""
    tree = descendants(pid)
    for p in tree:
        with contextlib.suppress(ProcessLookupError):
            os.kill(p, signal.SIGSTOP)  # none can react to the others' deaths
    for p in tree:
        with contextlib.suppress(ProcessLookupError):
            os.kill(p, signal.SIGKILL)
    return tree


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.1)


def record(directory):
    """The job's record, read as a user would: without its lock, so perhaps
    in the middle of a write (then read again)."""
    for _ in range(50):
        with open(os.path.join(directory, RECORD)) as f:
            text = f.read()
        try:
            return json.loads(text)
        except ValueError:
            time.sleep(0.02)
    raise AssertionError(f"{directory}: the record is not JSON: {text!r}")


def assert_recap(final):
    found = streams(final)
    assert (found["video"]["width"], found["video"]["height"]) == (1080, 1920)
    assert float(found["audio"]["duration"]) > 1.0
