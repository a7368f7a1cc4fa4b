"""Loopback stand-ins for the two remote services clipweave talks to.

Real HTTP servers on 127.0.0.1 that answer the download service's start and
progress requests (and serve the finished file to ``wget``) and the speech
service's POST (with real espeak-ng speech as MP3).  Bind
``StandIns().requests`` as the extension module's ``requests`` global: calls
meant for either service are routed by path to the matching stand-in, and a
call for anywhere else fails before anything is sent, so no traffic leaves
loopback.

    with StandIns(video_file=make_source_video("src.mp4", seconds=8)) as s:
        clipweave.clipweave.requests = s.requests
        s.download.script(progress=[s.download.working(400), s.download.finished()])
        s.tts.script(status=503)          # every speech request now fails
        ...                               # s.calls holds what the module sent

Every server is a daemon and closes itself after ``lifetime`` seconds even if
nobody calls ``close``.
"""
from __future__ import annotations

import base64
import fractions
import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qsl, urlsplit, urlunsplit

import requests as _requests

__all__ = [
    "DEFAULT_ESPEAK_VOICE",
    "DownloadStandIn",
    "LOOPBACK",
    "PROGRESS_PREFIX",
    "FILES_PREFIX",
    "START_PATH",
    "ReceivedRequest",
    "RecordedCall",
    "Reply",
    "RoutingRequests",
    "StandIns",
    "TTS_PATH",
    "TtsStandIn",
    "espeak_voice",
    "make_source_video",
    "synthesize",
]

LOOPBACK = "127.0.0.1"
START_PATH = "/ajax/download.php"
TTS_PATH = "/api/generate-audio-frontend"
PROGRESS_PREFIX = "/progress/"
FILES_PREFIX = "/files/"
DEFAULT_ESPEAK_VOICE = "en"

_UNSET: Any = type("_Unset", (), {"__repr__": lambda self: "<unset>"})()
_KEEP: Any = type("_Keep", (), {"__repr__": lambda self: "<keep>"})()


# --------------------------------------------------------------------------
# Scripted answers and what the servers saw


@dataclass
class Reply:
    """One scripted answer.

    With neither ``json`` nor ``body`` the stand-in sends its usual body for
    that request, so ``Reply(status=503)`` or ``Reply(delay=2)`` change only
    the status or the timing.  ``body`` (bytes, or text sent as UTF-8) goes
    out as is and wins over ``json``.  ``delay`` waits before anything is
    sent; ``drop`` sends the headers with the full Content-Length, then only
    part of the body, then closes the connection.
    """

    status: int = 200
    json: Any = _UNSET
    body: bytes | str | None = None
    delay: float = 0.0
    drop: bool = False
    content_type: str | None = None


def _as_reply(entry: Any) -> Reply:
    # bytes are a raw body; anything else that is not a Reply is a JSON value.
    if isinstance(entry, Reply):
        return entry
    if isinstance(entry, (bytes, bytearray)):
        return Reply(body=bytes(entry))
    return Reply(json=entry)


@dataclass
class ReceivedRequest:
    """A request as one of the servers received it off the wire."""

    method: str
    path: str  # path and query as sent on the request line
    headers: list  # (name, value) items in the order received
    body: bytes

    @property
    def route(self) -> str:
        return urlsplit(self.path).path

    @property
    def query(self) -> str:
        return urlsplit(self.path).query

    @property
    def params(self) -> dict:
        """The decoded query, one value per key (the last one wins)."""
        return dict(parse_qsl(self.query, keep_blank_values=True))

    def header(self, name: str, default: Any = None) -> Any:
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return default

    def json(self) -> Any:
        return json.loads(self.body.decode("utf-8"))


@dataclass
class RecordedCall:
    """One call made through RoutingRequests, exactly as the caller made it."""

    method: str  # "GET", "POST", ...
    url: str  # as given by the caller
    routed_url: str | None  # where it was sent; None when it was refused
    keywords: tuple  # keyword argument names in the order given
    headers: list | None  # items of the headers mapping in order, None if absent
    timeout: Any  # as given (None if absent); see RoutingRequests.timeout_cap
    json: Any  # the json= object as given (None if absent)
    kwargs: dict = field(repr=False, default_factory=dict)
    args: tuple = ()  # extra positional arguments, if any
    response: Any = field(repr=False, default=None)
    error: BaseException | None = None
    sent_timeout: Any = None  # the timeout actually handed to requests

    @property
    def header_dict(self) -> dict:
        return dict(self.headers or ())


# --------------------------------------------------------------------------
# Servers


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client that gives up mid-answer (time-outs, drops) is routine here.
        pass


@dataclass
class _Answer:
    status: int
    body: bytes = b""
    content_type: str = "application/json"
    delay: float = 0.0
    drop: bool = False
    file: str | None = None  # stream this file instead of body


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "standin/1"
    sys_version = ""
    stand_in: "_StandIn"

    def log_message(self, format, *args):  # noqa: A002 - base class signature
        pass

    def do_GET(self):
        self._serve()

    do_POST = do_PUT = do_PATCH = do_DELETE = do_OPTIONS = do_HEAD = do_GET

    def _serve(self):
        self.close_connection = True
        self._headers_sent = False
        try:
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length > 0 else b""
            request = ReceivedRequest(self.command, self.path, list(self.headers.items()), body)
            answer = self.stand_in._handle(request)
            self._send(answer)
        except Exception as exc:  # never let one request take the server down
            if not self._headers_sent:
                try:
                    self._send(_Answer(500, _json_bytes({"error": f"stand-in failure: {exc!r}"})))
                except Exception:
                    pass

    def _send(self, answer: _Answer):
        if answer.delay > 0 and self.stand_in._closed.wait(answer.delay):
            return  # shutting down: nobody should wait for this answer
        body = answer.body
        size = os.path.getsize(answer.file) if answer.file is not None else len(body)
        declared = max(size, 1) if answer.drop else size
        self.send_response(answer.status)
        self.send_header("Content-Type", answer.content_type)
        self.send_header("Content-Length", str(declared))
        self.send_header("Connection", "close")
        self.end_headers()
        self._headers_sent = True
        if self.command == "HEAD":
            return
        if answer.drop:
            if answer.file is not None:
                with open(answer.file, "rb") as f:
                    body = f.read(declared // 2)
            self.wfile.write(body[: declared // 2])
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if answer.file is not None:
            with open(answer.file, "rb") as f:
                shutil.copyfileobj(f, self.wfile, 1 << 16)
        else:
            self.wfile.write(body)
        self.wfile.flush()


def _json_bytes(value: Any) -> bytes:
    return json.dumps(value).encode("utf-8")


def _materialize(reply: Reply, default: Any) -> _Answer:
    """The answer for ``reply``; ``default()`` gives (body, content type[, status])."""
    if reply.body is not None:
        body = reply.body.encode("utf-8") if isinstance(reply.body, str) else bytes(reply.body)
        ctype = reply.content_type or "text/plain; charset=utf-8"
    elif reply.json is not _UNSET:
        body, ctype = _json_bytes(reply.json), reply.content_type or "application/json"
    else:
        # The default may carry its own status (a bad request); a scripted one wins.
        body, ctype, *status = default()
        ctype = reply.content_type or ctype
        if status and reply.status == 200:
            return _Answer(status[0], body, ctype, reply.delay, reply.drop)
    return _Answer(reply.status, body, ctype, reply.delay, reply.drop)


class _StandIn:
    """A loopback HTTP server in its own daemon thread, with a lifetime."""

    def __init__(self, lifetime: float = 900.0):
        self._lock = threading.Lock()
        self._closed = threading.Event()
        self.received: list[ReceivedRequest] = []
        handler = type(f"{type(self).__name__}Handler", (_Handler,), {"stand_in": self})
        self._server = _Server((LOOPBACK, 0), handler)
        self.port = self._server.server_address[1]
        self.origin = f"http://{LOOPBACK}:{self.port}"
        self._thread = threading.Thread(
            target=self._server.serve_forever,
            kwargs={"poll_interval": 0.1},
            name=f"{type(self).__name__}:{self.port}",
            daemon=True,
        )
        self._thread.start()
        self._timer = threading.Timer(lifetime, self.close)
        self._timer.daemon = True
        self._timer.start()

    @property
    def closed(self) -> bool:
        return self._closed.is_set()

    def close(self) -> None:
        with self._lock:
            if self._closed.is_set():
                return
            self._closed.set()
        self._timer.cancel()
        self._server.shutdown()
        self._server.server_close()

    def url(self, path: str) -> str:
        return self.origin + path

    def _handle(self, request: ReceivedRequest) -> _Answer:
        with self._lock:
            self.received.append(request)
        return self._answer(request)

    def _answer(self, request: ReceivedRequest) -> _Answer:
        raise NotImplementedError

    @staticmethod
    def _not_found(request: ReceivedRequest) -> _Answer:
        return _Answer(404, _json_bytes({"error": f"no such path: {request.route}"}))


class DownloadStandIn(_StandIn):
    """The download service: start request, job progress, finished files.

    By default a job finishes on its first poll and its file is
    ``video_file`` (404 when there is none).  Script it with ``script``;
    ``reset`` returns to the defaults.
    """

    def __init__(self, video_file: str | os.PathLike | None = None, lifetime: float = 900.0,
                 job_id: str = "job-1"):
        self._default_video_file = video_file
        self._default_job_id = job_id
        super().__init__(lifetime)
        self.reset()

    def reset(self) -> "DownloadStandIn":
        with self._lock:
            self.job_id = self._default_job_id
            self.start: Reply | None = None
            self.progress: list[Reply] | None = None
            self.video_file = self._default_video_file
            self.file_reply: Reply | None = None
            self.polls = 0
            self.received.clear()
        return self

    def script(self, *, start: Any = _KEEP, progress: Any = _KEEP, video_file: Any = _KEEP,
               file_reply: Any = _KEEP, job_id: Any = _KEEP) -> "DownloadStandIn":
        """Change what the service answers; unnamed parts stay as they are.

        start:      the start answer: a Reply, bytes (raw body) or a JSON value;
                    None restores the default.
        progress:   a sequence of answers, one per progress request; the last
                    repeats.  None restores the default (finished at once).
        video_file: the file served under /files/ (None: 404).
        file_reply: a Reply for file requests (status, delay, drop, or a body
                    in place of the file); None serves the file plainly.
                    wget retries a dropped transfer many times with waits in
                    between, so prefer video_file=None (404) to make it fail.
        job_id:     the job identifier used by the default answers.
        """
        with self._lock:
            if start is not _KEEP:
                self.start = None if start is None else _as_reply(start)
            if progress is not _KEEP:
                self.progress = None if progress is None else [_as_reply(p) for p in progress]
                self.polls = 0
            if video_file is not _KEEP:
                self.video_file = video_file
            if file_reply is not _KEEP:
                self.file_reply = None if file_reply is None else _as_reply(file_reply)
            if job_id is not _KEEP:
                self.job_id = job_id
        return self

    # The default answers, also handy as building blocks for scripts.

    def progress_url(self, job_id: Any = None) -> str:
        return f"{self.origin}{PROGRESS_PREFIX}{self.job_id if job_id is None else job_id}"

    def file_url(self, job_id: Any = None) -> str:
        return f"{self.origin}{FILES_PREFIX}{self.job_id if job_id is None else job_id}.mp4"

    def start_answer(self, **extra: Any) -> dict:
        answer = {"success": True, "id": self.job_id, "progress_url": self.progress_url()}
        answer.update(extra)
        return answer

    def working(self, progress: Any, **extra: Any) -> dict:
        answer = {"success": True, "progress": progress}
        answer.update(extra)
        return answer

    def finished(self, download_url: Any = _UNSET, **extra: Any) -> dict:
        url = self.file_url() if download_url is _UNSET else download_url
        answer = {"success": True, "progress": 1000, "download_url": url}
        answer.update(extra)
        return answer

    @property
    def start_requests(self) -> list[ReceivedRequest]:
        return [r for r in self.received if r.route == START_PATH]

    @property
    def progress_requests(self) -> list[ReceivedRequest]:
        return [r for r in self.received if r.route.startswith(PROGRESS_PREFIX)]

    @property
    def file_requests(self) -> list[ReceivedRequest]:
        return [r for r in self.received if r.route.startswith(FILES_PREFIX)]

    def _answer(self, request: ReceivedRequest) -> _Answer:
        route = request.route
        if route == START_PATH:
            with self._lock:
                reply = self.start or Reply()
            return _materialize(reply, lambda: (_json_bytes(self.start_answer()), "application/json"))
        if route.startswith(PROGRESS_PREFIX):
            with self._lock:
                script = self.progress or [Reply()]
                reply = script[min(self.polls, len(script) - 1)]
                self.polls += 1
            return _materialize(reply, lambda: (_json_bytes(self.finished()), "application/json"))
        if route.startswith(FILES_PREFIX):
            return self._file_answer()
        return self._not_found(request)

    def _file_answer(self) -> _Answer:
        with self._lock:
            reply, video = self.file_reply, self.video_file
        if reply is not None and (reply.body is not None or reply.json is not _UNSET):
            return _materialize(reply, lambda: (b"", "application/octet-stream"))
        reply = reply or Reply()
        if reply.status != 200:
            return _Answer(reply.status, b"scripted failure\n", "text/plain", reply.delay, reply.drop)
        if video is None or not os.path.isfile(video):
            return _Answer(404, b"no such file\n", "text/plain", reply.delay)
        return _Answer(reply.status, b"", reply.content_type or "video/mp4", reply.delay, reply.drop,
                       file=os.fspath(video))


class TtsStandIn(_StandIn):
    """The speech service: POST {"text", "voice"} -> {"audio_data": data URL}.

    By default it answers with real espeak-ng speech as MP3.  ``script``
    sets the answers (one per request, the last repeating); ``reset``
    returns to the default.
    """

    def __init__(self, lifetime: float = 900.0):
        super().__init__(lifetime)
        self.reset()

    def reset(self) -> "TtsStandIn":
        with self._lock:
            self.replies: list[Reply] | None = None
            self.served = 0
            self.received.clear()
        return self

    def script(self, *replies: Any, **fields: Any) -> "TtsStandIn":
        """Set the answers.

        ``script(status=503)`` or ``script(json={...})`` makes every answer
        that one Reply; ``script(Reply(), Reply(status=503))`` answers the
        first request normally and every later one with 503.  Bare JSON
        values and bytes are accepted as replies too.  ``script()`` restores
        the default.
        """
        if replies and fields:
            raise TypeError("give either replies or Reply fields, not both")
        entries = [Reply(**fields)] if fields else [_as_reply(r) for r in replies]
        with self._lock:
            self.replies = entries or None
            self.served = 0
        return self

    @staticmethod
    def answer_for(audio: bytes, mime: str = "audio/mpeg") -> dict:
        return {"audio_data": f"data:{mime};base64,{base64.b64encode(audio).decode('ascii')}"}

    def _answer(self, request: ReceivedRequest) -> _Answer:
        if request.route != TTS_PATH:
            return self._not_found(request)
        with self._lock:
            script = self.replies or [Reply()]
            reply = script[min(self.served, len(script) - 1)]
            self.served += 1
        return _materialize(reply, lambda: self._speak(request))

    def _speak(self, request: ReceivedRequest) -> tuple:
        try:
            payload = request.json()
            text, voice = payload["text"], payload["voice"]
            if not isinstance(text, str) or not isinstance(voice, str):
                raise TypeError("text and voice must be strings")
        except (ValueError, KeyError, TypeError) as exc:
            return _json_bytes({"error": f"bad request body: {exc!r}"}), "application/json", 400
        return _json_bytes(self.answer_for(synthesize(text, voice))), "application/json"


# --------------------------------------------------------------------------
# Speech synthesis (espeak-ng -> MP3), cached per process

_speech_cache: dict[tuple[str, str], bytes] = {}
_speech_lock = threading.Lock()
_espeak_languages: frozenset | None = None


def _languages() -> frozenset:
    global _espeak_languages
    if _espeak_languages is None:
        names = {DEFAULT_ESPEAK_VOICE}
        try:
            listing = subprocess.run(["espeak-ng", "--voices"], capture_output=True, text=True,
                                     timeout=30, check=True).stdout
            names.update(line.split()[1].lower() for line in listing.splitlines()[1:]
                         if len(line.split()) > 1)
        except (OSError, subprocess.SubprocessError):
            names.update({"en-us", "en-gb"})
        _espeak_languages = frozenset(names)
    return _espeak_languages


def espeak_voice(name: str) -> str:
    """The espeak-ng voice for a service voice name such as "en-US-AriaNeural"."""
    parts = [p for p in name.replace("_", "-").lower().split("-") if p]
    candidates = ["-".join(parts[:3]), "-".join(parts[:2]), parts[0]] if parts else []
    known = _languages()
    for candidate in candidates:
        if candidate in known:
            return candidate
    return DEFAULT_ESPEAK_VOICE


def synthesize(text: str, voice: str) -> bytes:
    """MP3 bytes of ``text`` spoken by espeak-ng; a short silence for blank text."""
    key = (text, voice)
    with _speech_lock:
        cached = _speech_cache.get(key)
    if cached is not None:
        return cached
    with tempfile.TemporaryDirectory(prefix="standin-tts-") as work:
        wav = os.path.join(work, "speech.wav")
        mp3 = os.path.join(work, "speech.mp3")
        source = ["-f", "lavfi", "-i", "anullsrc=r=22050:cl=mono", "-t", "0.3"]
        if text.strip():
            # Text on stdin: a narration beginning with "-" is not an option.
            subprocess.run(["espeak-ng", "-v", espeak_voice(voice), "-w", wav, "--stdin"],
                           input=text.encode("utf-8"), capture_output=True, timeout=120,
                           check=True)
            if os.path.exists(wav) and os.path.getsize(wav) > 44:  # more than a bare header
                source = ["-i", wav]
        subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-nostdin", *source,
                        "-c:a", "libmp3lame", "-b:a", "64k", mp3],
                       capture_output=True, timeout=120, check=True)
        with open(mp3, "rb") as f:
            audio = f.read()
    with _speech_lock:
        _speech_cache[key] = audio
    return audio


# --------------------------------------------------------------------------
# The requests-like adapter


class RoutingRequests:
    """Bind as the module's ``requests``: routes service calls to the stand-ins.

    A URL on 127.0.0.1 passes unchanged; a URL whose path is the start
    request's goes to the download stand-in and the speech request's to the
    TTS stand-in (path and query kept); anything else raises
    ``requests.ConnectionError`` without sending.  Every call is recorded in
    ``calls`` as made.  ``timeout_cap``, when set, lowers the time-out handed
    to the real ``requests`` (the recorded one stays what the caller asked
    for), so a slow answer can outlast a long fixed time-out quickly.
    Everything else (``exceptions``, ``HTTPError`` ...) is the real module's,
    except sessions, which could send past the routing.
    """

    def __init__(self, download: DownloadStandIn, tts: TtsStandIn, calls: list | None = None):
        self.download = download
        self.tts = tts
        self.calls: list[RecordedCall] = [] if calls is None else calls
        self.timeout_cap: float | None = None
        self._lock = threading.Lock()

    def route(self, url: str) -> str:
        parts = urlsplit(url)
        if parts.hostname == LOOPBACK:
            return url
        target = {START_PATH: self.download, TTS_PATH: self.tts}.get(parts.path)
        if target is None:
            raise _requests.ConnectionError(
                f"stand-in: refusing to send {url!r}: not a loopback address or a known service path")
        return urlunsplit(("http", f"{LOOPBACK}:{target.port}", parts.path, parts.query,
                           parts.fragment))

    def _send(self, method: str, url: Any, args: tuple, kwargs: dict, verb: bool = True):
        headers = kwargs.get("headers")
        call = RecordedCall(
            method=method.upper(),
            url=url,
            routed_url=None,
            keywords=tuple(kwargs),
            headers=None if headers is None else list(headers.items()),
            timeout=kwargs.get("timeout"),
            json=kwargs.get("json"),
            kwargs=dict(kwargs),
            args=args,
        )
        with self._lock:
            self.calls.append(call)
        try:
            call.routed_url = self.route(str(url))
            sent = dict(kwargs)
            if self.timeout_cap is not None:
                given = sent.get("timeout")
                sent["timeout"] = (self.timeout_cap if not isinstance(given, (int, float))
                                   else min(given, self.timeout_cap))
            call.sent_timeout = sent.get("timeout")
            if verb:
                call.response = getattr(_requests, method.lower())(call.routed_url, *args, **sent)
            else:
                call.response = _requests.request(method, call.routed_url, *args, **sent)
        except BaseException as exc:
            call.error = exc
            raise
        return call.response

    def get(self, url, *args, **kwargs):
        return self._send("GET", url, args, kwargs)

    def post(self, url, *args, **kwargs):
        return self._send("POST", url, args, kwargs)

    def put(self, url, *args, **kwargs):
        return self._send("PUT", url, args, kwargs)

    def patch(self, url, *args, **kwargs):
        return self._send("PATCH", url, args, kwargs)

    def delete(self, url, *args, **kwargs):
        return self._send("DELETE", url, args, kwargs)

    def head(self, url, *args, **kwargs):
        return self._send("HEAD", url, args, kwargs)

    def options(self, url, *args, **kwargs):
        return self._send("OPTIONS", url, args, kwargs)

    def request(self, method, url, *args, **kwargs):
        return self._send(str(method), url, args, kwargs, verb=False)

    def __getattr__(self, name: str):
        if name in ("Session", "session"):
            # A session would send wherever it is told, past the routing.
            raise AttributeError(f"{name} is not available through the stand-ins' requests")
        return getattr(_requests, name)


class StandIns:
    """Both stand-ins and the adapter that routes to them; a context manager."""

    def __init__(self, video_file: str | os.PathLike | None = None, lifetime: float = 900.0):
        self.download = DownloadStandIn(video_file, lifetime)
        try:
            self.tts = TtsStandIn(lifetime)
        except BaseException:
            self.download.close()
            raise
        self.calls: list[RecordedCall] = []
        self.requests = RoutingRequests(self.download, self.tts, self.calls)

    def reset(self) -> "StandIns":
        """Default answers again, no recorded calls, no time-out cap."""
        self.download.reset()
        self.tts.reset()
        self.calls.clear()
        self.requests.timeout_cap = None
        return self

    def calls_to(self, path: str) -> list[RecordedCall]:
        """The recorded calls whose URL path is ``path`` (or starts with it, for prefixes)."""
        return [c for c in self.calls
                if urlsplit(str(c.url)).path == path
                or (path.endswith("/") and urlsplit(str(c.url)).path.startswith(path))]

    def close(self) -> None:
        self.download.close()
        self.tts.close()

    def __enter__(self) -> "StandIns":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


# --------------------------------------------------------------------------
# A source video to serve


def make_source_video(path: str | os.PathLike, seconds: float = 60.0, size: str = "640x360",
                      rate: int = 25) -> str:
    """Write a moving test pattern with a tone (H.264 + AAC in MP4) to ``path``.

    A keyframe every second, so cuts anywhere land close to where asked.
    """
    path = os.fspath(path)
    gop = max(1, round(float(fractions.Fraction(str(rate)))))
    subprocess.run(
        ["ffmpeg", "-y", "-loglevel", "error", "-nostdin",
         "-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}",
         "-f", "lavfi", "-i", "sine=frequency=440:beep_factor=4:sample_rate=44100",
         "-t", f"{float(seconds):g}", "-map", "0:v", "-map", "1:a",
         "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
         "-g", str(gop), "-keyint_min", str(gop), "-sc_threshold", "0",
         "-force_key_frames", "expr:gte(t,n_forced*1)",
         "-c:a", "aac", "-b:a", "96k", "-movflags", "+faststart", path],
        check=True, capture_output=True)
    return path
