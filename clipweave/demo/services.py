"""Loopback stand-ins of the download and speech services, for ``clipweave demo``.

Two small HTTP servers on 127.0.0.1: the download service answers the start
request and the progress polls and serves the finished file to ``wget``; the
speech service speaks the narration offline, English with flite (:mod:`clipweave.app.offline_speech`)
and answers with MP3. Bind ``DemoServices().requests`` as the extension
module's ``requests`` global: calls meant for either service go by path to
the matching server, and a call for anywhere else fails before anything is
sent, so no traffic leaves loopback.

    with DemoServices(video_file=make_source_video("src.mp4", seconds=8)) as services:
        clipweave.clipweave.requests = services.requests
        ...

Every server is a daemon and closes itself after ``lifetime`` seconds even if
nobody calls ``close``.
"""
import base64
import fractions
import json
import os
import shutil
import threading
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit, urlunsplit

import requests as _requests

from clipweave.app.offline_speech import synthesize
from clipweave.system import children

LOOPBACK = "127.0.0.1"
START_PATH = "/ajax/download.php"
TTS_PATH = "/api/generate-audio-frontend"
PROGRESS_PREFIX = "/progress/"
FILES_PREFIX = "/files/"


@dataclass
class Request:
    """A request as a server received it."""

    method: str
    path: str  # path and query as sent on the request line
    headers: list  # (name, value) items in the order received
    body: bytes

    @property
    def route(self):
        return urlsplit(self.path).path

    def json(self):
        return json.loads(self.body.decode("utf-8"))


@dataclass
class Answer:
    status: int
    body: bytes = b""
    content_type: str = "application/json"
    file: str | None = None  # sent in place of body


def json_answer(value, status=200):
    return Answer(status, json.dumps(value).encode("utf-8"))


def not_found(request):
    return json_answer({"error": f"no such path: {request.route}"}, 404)


class RequestHandler(BaseHTTPRequestHandler):
    """Hands each GET or POST to its service's ``handle`` and sends the Answer back."""

    protocol_version = "HTTP/1.1"
    server_version = "clipweave-demo/1"
    sys_version = ""
    service: "_Service"  # set for each server

    def log_message(self, format, *args):  # noqa: A002 - base class signature
        pass

    def do_GET(self):
        self.close_connection = True
        self.headers_sent = False
        try:
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length > 0 else b""
            request = self.service.request_type(self.command, self.path,
                                                list(self.headers.items()), body)
            self.send_answer(self.service.handle(request))
        except Exception as exc:  # never let one request take the server down
            if not self.headers_sent:
                try:
                    self.send_answer(json_answer({"error": f"server failure: {exc!r}"}, 500))
                except Exception:
                    pass

    do_POST = do_GET

    def send_answer_head(self, answer, length):
        self.send_response(answer.status)
        self.send_header("Content-Type", answer.content_type)
        self.send_header("Content-Length", str(length))
        self.send_header("Connection", "close")
        self.end_headers()
        self.headers_sent = True

    def send_answer(self, answer):
        if answer.file is None:
            self.send_answer_head(answer, len(answer.body))
            self.wfile.write(answer.body)
        else:
            self.send_answer_head(answer, os.path.getsize(answer.file))
            with open(answer.file, "rb") as f:
                shutil.copyfileobj(f, self.wfile, 1 << 16)
        self.wfile.flush()


class _HTTPServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client that gives up mid-answer is routine here.
        pass


class _Service:
    """A loopback HTTP server in its own daemon thread, with a lifetime."""

    handler_type = RequestHandler
    request_type = Request

    def __init__(self, lifetime=900.0):
        self._lock = threading.Lock()
        self._closed = threading.Event()
        handler = type(f"{type(self).__name__}Handler", (self.handler_type,), {"service": self})
        self._server = _HTTPServer((LOOPBACK, 0), handler)
        self.port = self._server.server_address[1]
        self.origin = f"http://{LOOPBACK}:{self.port}"
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
            name=f"{type(self).__name__}:{self.port}", daemon=True)
        self._thread.start()
        self._timer = threading.Timer(lifetime, self.close)
        self._timer.daemon = True
        self._timer.start()

    @property
    def closed(self):
        return self._closed.is_set()

    def close(self):
        with self._lock:
            if self._closed.is_set():
                return
            self._closed.set()
        self._timer.cancel()
        self._server.shutdown()
        self._server.server_close()

    def url(self, path):
        return self.origin + path

    def handle(self, request):
        raise NotImplementedError


class DownloadService(_Service):
    """The download service: start request, job progress, the finished file.

    A job reports each figure of ``progress_steps`` (per mille) on one poll,
    then finishes; its file is ``video_file`` (404 when there is none).
    """

    def __init__(self, video_file=None, lifetime=900.0, job_id="job-1", progress_steps=()):
        self.video_file = video_file
        self.job_id = job_id
        self.progress_steps = tuple(progress_steps)
        self.polls = 0
        super().__init__(lifetime)

    def progress_url(self, job_id=None):
        return f"{self.origin}{PROGRESS_PREFIX}{self.job_id if job_id is None else job_id}"

    def file_url(self, job_id=None):
        return f"{self.origin}{FILES_PREFIX}{self.job_id if job_id is None else job_id}.mp4"

    # The answers' bodies; extra members are added or replace the usual ones.

    def start_answer(self, **extra):
        return {"success": True, "id": self.job_id, "progress_url": self.progress_url(), **extra}

    def working(self, progress, **extra):
        return {"success": True, "progress": progress, **extra}

    def finished(self, **extra):
        return {"success": True, "progress": 1000, "download_url": self.file_url(), **extra}

    def handle(self, request):
        route = request.route
        if route == START_PATH:
            return self.answer_start(request)
        if route.startswith(PROGRESS_PREFIX):
            return self.answer_progress(request)
        if route.startswith(FILES_PREFIX):
            return self.answer_file(request)
        return not_found(request)

    def answer_start(self, request):
        return json_answer(self.start_answer())

    def answer_progress(self, request):
        with self._lock:
            poll = self.polls
            self.polls += 1
        if poll < len(self.progress_steps):
            return json_answer(self.working(self.progress_steps[poll]))
        return json_answer(self.finished())

    def answer_file(self, request):
        video = self.video_file
        if video is None or not os.path.isfile(video):
            return Answer(404, b"no such file\n", "text/plain")
        return Answer(200, content_type="video/mp4", file=os.fspath(video))


class SpeechService(_Service):
    """The speech service: POST {"text", "voice"} -> {"audio_data": data URL of MP3}."""

    @staticmethod
    def answer_for(audio, mime="audio/mpeg"):
        return {"audio_data": f"data:{mime};base64,{base64.b64encode(audio).decode('ascii')}"}

    def handle(self, request):
        if request.route != TTS_PATH:
            return not_found(request)
        return self.speak(request)

    def speak(self, request):
        try:
            payload = request.json()
            text, voice = payload["text"], payload["voice"]
            if not isinstance(text, str) or not isinstance(voice, str):
                raise TypeError("text and voice must be strings")
        except (ValueError, KeyError, TypeError) as exc:
            return json_answer({"error": f"bad request body: {exc!r}"}, 400)
        return json_answer(self.answer_for(synthesize(text, voice)))


class RoutingRequests:
    """Bind as the module's ``requests``: sends service calls to the loopback servers.

    A URL on 127.0.0.1 goes there; a URL whose path is the start request's
    goes to the download service and the speech request's to the speech
    service (path and query kept); anything else raises
    ``requests.ConnectionError`` without sending. Besides ``get`` and
    ``post`` only the real module's exceptions are offered: anything that
    sends could go past the routing.
    """

    def __init__(self, download, tts):
        self.download = download
        self.tts = tts

    def route(self, url):
        """The loopback URL to send ``url`` to; ConnectionError if there is none."""
        try:
            parts = urlsplit(url)
            port = parts.port
        except ValueError:  # a malformed address or port
            parts = port = None
        if parts is not None and parts.scheme in ("http", "https"):
            # The whole network location must be the address: requests and
            # urlsplit read odd ones ("evil\@127.0.0.1") differently.
            if parts.netloc in (LOOPBACK, f"{LOOPBACK}:{port}"):
                return urlunsplit((parts.scheme, parts.netloc, parts.path, parts.query, ""))
            target = {START_PATH: self.download, TTS_PATH: self.tts}.get(parts.path)
            if target is not None:
                return urlunsplit(("http", f"{LOOPBACK}:{target.port}", parts.path,
                                   parts.query, ""))
        raise _requests.ConnectionError(
            f"refusing to send {url!r}: not a loopback address or a known service path")

    def send(self, verb, url, args, kwargs):
        # The servers never redirect; one that did must not lead elsewhere.
        return getattr(_requests, verb)(self.route(str(url)), *args,
                                        **dict(kwargs, allow_redirects=False))

    def get(self, url, *args, **kwargs):
        return self.send("get", url, args, kwargs)

    def post(self, url, *args, **kwargs):
        return self.send("post", url, args, kwargs)

    def __getattr__(self, name):
        value = getattr(_requests, name)
        if name in ("exceptions", "codes") or (
                isinstance(value, type) and issubclass(value, BaseException)):
            return value
        raise AttributeError(f"{name} is not offered by the routing requests")


class DemoServices:
    """Both services and the requests that route to them; a context manager."""

    download_type = DownloadService
    speech_type = SpeechService
    requests_type = RoutingRequests

    def __init__(self, video_file=None, lifetime=900.0, progress_steps=()):
        self.download = self.download_type(video_file, lifetime, progress_steps=progress_steps)
        try:
            self.tts = self.speech_type(lifetime)
        except BaseException:
            self.download.close()
            raise
        self.requests = self.requests_type(self.download, self.tts)

    def close(self):
        self.download.close()
        self.tts.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


def make_source_video(path, seconds=60.0, size="640x360", rate=25):
    """Write a moving test pattern with a tone (H.264 + AAC in MP4) to ``path``.

    A keyframe every second, so cuts anywhere land close to where asked.
    """
    path = os.fspath(path)
    gop = max(1, round(float(fractions.Fraction(str(rate)))))
    children.run(children.ffmpeg(
        "-y", "-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}",
        "-f", "lavfi", "-i", "sine=frequency=440:beep_factor=4:sample_rate=44100",
        "-t", f"{float(seconds):g}", "-map", "0:v", "-map", "1:a",
        "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
        "-g", str(gop), "-keyint_min", str(gop), "-sc_threshold", "0",
        "-force_key_frames", "expr:gte(t,n_forced*1)",
        "-c:a", "aac", "-b:a", "96k", "-movflags", "+faststart", path), capture=True)
    return path
