"""The editor as its tests and benchmarks meet it: a generated source of
three shots, ``clipweave edit`` run as a process and its address read,
requests to it with or without its token, and a headless chromium."""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

import requests

from studio_media import ffmpeg

# Shots of shots_video, (seconds each, picture, sound): a moving pattern
# with a tone, a still grey picture in silence, bars with noise.
SHOTS = ((3, "testsrc2=size={size}:rate={rate}", "sine=frequency=330"),
         (3, "color=c=gray:s={size}:r={rate}", "anullsrc=r=44100:cl=mono"),
         (3, "smptebars=size={size}:rate={rate}", "anoisesrc=amplitude=0.3"))
CUTS = (3.0, 6.0)

CHROMIUM_FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-dev-shm-usage", "--autoplay-policy=no-user-gesture-required",
                  "--window-size=1500,950")


def shots_video(path, size="320x180", rate=25):
    """Three shots of three seconds (SHOTS), cut at CUTS."""
    inputs, graph = [], []
    for i, (seconds, picture, sound) in enumerate(SHOTS):
        inputs += ["-f", "lavfi", "-i", picture.format(size=size, rate=rate) + f",trim=duration={seconds}",
                   "-f", "lavfi", "-i", f"{sound},atrim=duration={seconds},aresample=44100,"
                   "aformat=channel_layouts=mono"]
        graph.append(f"[{2 * i}:v][{2 * i + 1}:a]")
    ffmpeg(*inputs, "-filter_complex", "".join(graph) + f"concat=n={len(SHOTS)}:v=1:a=1[v][a]",
           "-map", "[v]", "-map", "[a]", "-c:v", "libx264", "-preset", "ultrafast",
           "-pix_fmt", "yuv420p", "-g", str(rate * 2), "-c:a", "aac", os.fspath(path))
    return os.fspath(path)


class Editor:
    """A running ``clipweave edit``: its process, address and token."""

    def __init__(self, source, segments=None, *args, home, cwd=None, env=None):
        self.home = os.fspath(home)  # its settings and cache
        environ = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.home, "config"),
                       XDG_CACHE_HOME=os.path.join(self.home, "cache"), **(env or {}))
        for name in ("CLIPWEAVE_DOWNLOAD_SERVICE", "CLIPWEAVE_SPEECH_SERVICE", "DISPLAY",
                     "WAYLAND_DISPLAY"):
            environ.pop(name, None)
        # As the console script starts it: the current directory (cwd) is not on the module path.
        argv = [sys.executable, "-c", "import sys; del sys.path[0]; from clipweave.__main__ import main;"
                " sys.exit(main())", "edit", os.fspath(source)]
        argv += [os.fspath(segments)] if segments else []
        self.started_at = time.time()  # the page's clock is the wall clock's
        self.process = subprocess.Popen(argv + ["--no-browser", *args], cwd=cwd, env=environ,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().strip()
        if not line.startswith("http://"):
            self.process.kill()
            raise RuntimeError(f"clipweave edit did not start: {line} {self.process.stderr.read()}")
        self.url = line
        self.base, _, self.token = line.partition("/?token=")
        self.base = self.base.rstrip("/")
        self.port = int(self.base.rsplit(":", 1)[1])
        self.session = requests.Session()
        self.session.headers["Authorization"] = f"Bearer {self.token}"

    def api(self, method, path, json_body=None, **kwargs):
        if json_body is not None:
            kwargs["data"] = json.dumps(json_body)
            kwargs.setdefault("headers", {})["Content-Type"] = "application/json"
        return self.session.request(method, self.base + path, timeout=120, **kwargs)

    def wait_media(self, timeout=120):
        """The media parts once each is made (or failed)."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            media = self.api("GET", "/api/media").json()
            if all(p["state"] in ("ready", "failed") for p in media["media"].values()):
                return media
            time.sleep(0.2)
        raise TimeoutError("the editor's media were not made")

    def wait_job(self, job_id, timeout=300):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            job = self.api("GET", f"/api/jobs/{job_id}").json()
            if job["state"] in ("done", "failed", "cancelled"):
                return job
            time.sleep(0.2)
        raise TimeoutError(f"job {job_id} did not end")

    def stop(self, signum=signal.SIGINT, timeout=60):
        """Stops the editor by signal; (exit status, standard error)."""
        if self.process.poll() is None:
            self.process.send_signal(signum)
        try:
            _, err = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            _, err = self.process.communicate()
        return self.process.returncode, err


def descendants(pid):
    """Pids of every live process below pid."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[0] != "Z":
            children.setdefault(int(fields[1]), []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def processes_naming(text):
    """Pids of live processes whose command line holds text."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    if text.encode() in f.read():
                        found.append(int(entry))
            except OSError:
                pass
    return found


def chromium():
    """A headless chromium through chromedriver, its console log kept."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROMIUM_FLAGS:
        options.add_argument(flag)
    options.add_argument(f"--user-data-dir={tempfile.mkdtemp(prefix='clipweave-chromium-')}")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def wait_for(test, timeout=60, pause=0.1):
    """test()'s first true value within timeout seconds."""
    end = time.monotonic() + timeout
    while True:
        value = test()
        if value:
            return value
        if time.monotonic() > end:
            raise TimeoutError("waited in vain")
        time.sleep(pause)
