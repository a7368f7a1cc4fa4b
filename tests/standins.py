"""The demo's loopback services made scriptable and observable, for tests.

Built on ``clipweave.demo.services``: the same servers and routing, plus
scripted answers (status, body, delay, a connection dropped mid-body), a
record of what each server received and of every call made through the
routing requests, and a cap on the time-out handed to the real ``requests``.

    with StandIns(video_file=make_source_video("src.mp4", seconds=8)) as s:
        clipweave.clipweave.requests = s.requests
        s.download.script(progress=[s.download.working(400), s.download.finished()])
        s.tts.script(status=503)          # every speech request now fails
        ...                               # s.calls holds what the module sent
"""
import json
import os
import socket
import threading
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import parse_qsl, urlsplit

from clipweave.demo.services import (
    FILES_PREFIX,
    PROGRESS_PREFIX,
    START_PATH,
    Answer,
    DemoServices,
    DownloadService,
    Request,
    RoutingRequests,
    SpeechService,
    RequestHandler,
)

_UNSET: Any = type("_Unset", (), {"__repr__": lambda self: "<unset>"})()
_KEEP: Any = type("_Keep", (), {"__repr__": lambda self: "<keep>"})()


# --------------------------------------------------------------------------
# Scripted answers and what the servers saw


@dataclass
class Reply:
    """One scripted answer.

    With neither ``json`` nor ``body`` the server sends its usual body for
    that request, so ``Reply(status=503)`` or ``Reply(delay=2)`` change only
    the status or the timing.  ``body`` (bytes, or text sent as UTF-8) goes
    out as is and wins over ``json``.  ``delay`` waits before anything is
    sent; ``drop`` sends the headers with the full Content-Length, then only
    part of the body, then closes the connection; ``trickle`` sends the body
    one byte every that many seconds.
    """

    status: int = 200
    json: Any = _UNSET
    body: bytes | str | None = None
    delay: float = 0.0
    drop: bool = False
    content_type: str | None = None
    trickle: float = 0.0

    @property
    def has_body(self) -> bool:
        return self.body is not None or self.json is not _UNSET


def _as_reply(entry: Any) -> Reply:
    # bytes are a raw body; anything else that is not a Reply is a JSON value.
    if isinstance(entry, Reply):
        return entry
    if isinstance(entry, (bytes, bytearray)):
        return Reply(body=bytes(entry))
    return Reply(json=entry)


@dataclass
class _Scripted(Answer):
    delay: float = 0.0
    drop: bool = False
    trickle: float = 0.0


def _materialize(reply: Reply, default) -> _Scripted:
    """The answer for ``reply``; ``default()`` gives the server's usual Answer."""
    if reply.body is not None:
        body = reply.body.encode("utf-8") if isinstance(reply.body, str) else bytes(reply.body)
        answer = Answer(reply.status, body, "text/plain; charset=utf-8")
    elif reply.json is not _UNSET:
        answer = Answer(reply.status, json.dumps(reply.json).encode("utf-8"))
    else:
        answer = default()
        # The usual answer may carry its own status (a bad request); a scripted one wins.
        if reply.status != 200:
            answer.status = reply.status
    return _Scripted(answer.status, answer.body, reply.content_type or answer.content_type,
                     answer.file, delay=reply.delay, drop=reply.drop, trickle=reply.trickle)


@dataclass
class ReceivedRequest(Request):
    """A request as one of the servers received it off the wire."""

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


@dataclass
class RecordedCall:
    """One call made through RecordingRequests, exactly as the caller made it."""

    method: str  # "GET", "POST"
    url: str  # as given by the caller
    routed_url: str | None  # where it was sent; None when it was refused
    keywords: tuple  # keyword argument names in the order given
    headers: list | None  # items of the headers mapping in order, None if absent
    timeout: Any  # as given (None if absent); see RecordingRequests.timeout_cap
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


class _ScriptedHandler(RequestHandler):
    """Sends an answer after its scripted delay, or cut short when it is to drop."""

    def send_answer(self, answer):
        delay, drop = getattr(answer, "delay", 0.0), getattr(answer, "drop", False)
        if delay > 0 and self.service._closed.wait(delay):
            return  # shutting down: nobody should wait for this answer
        trickle = getattr(answer, "trickle", 0.0)
        if trickle > 0:
            body = answer.body
            if answer.file is not None:
                with open(answer.file, "rb") as f:
                    body = f.read()
            self.send_answer_head(answer, len(body))
            for i in range(len(body)):
                if self.service._closed.wait(trickle):
                    return
                try:
                    self.wfile.write(body[i:i + 1])
                    self.wfile.flush()
                except OSError:
                    return  # the client gave up
            return
        if not drop:
            return super().send_answer(answer)
        if answer.file is not None:
            size = os.path.getsize(answer.file)
            with open(answer.file, "rb") as f:
                body = f.read(max(size, 1) // 2)
        else:
            size, body = len(answer.body), answer.body
        declared = max(size, 1)
        self.send_answer_head(answer, declared)
        self.wfile.write(body[: declared // 2])
        self.wfile.flush()
        self.connection.shutdown(socket.SHUT_RDWR)


class _Recording:
    """Keeps every request the server receives, in ``received``; answers as scripted."""

    handler_type = _ScriptedHandler
    request_type = ReceivedRequest

    def __init__(self, *args, **kwargs):
        self.received: list[ReceivedRequest] = []
        super().__init__(*args, **kwargs)

    def handle(self, request):
        with self._lock:
            self.received.append(request)
        return super().handle(request)


class DownloadStandIn(_Recording, DownloadService):
    """The download service with scripted answers.

    By default a job finishes on its first poll and its file is
    ``video_file`` (404 when there is none).  Script it with ``script``;
    ``reset`` returns to the defaults.
    """

    def __init__(self, video_file=None, lifetime: float = 900.0, job_id: str = "job-1",
                 progress_steps=()):
        self._defaults = {"video_file": video_file, "job_id": job_id}
        super().__init__(video_file, lifetime, job_id, progress_steps)
        self.reset()

    def reset(self) -> "DownloadStandIn":
        with self._lock:
            self.job_id = self._defaults["job_id"]
            self.video_file = self._defaults["video_file"]
            self.start: Reply | None = None
            self.progress: list[Reply] | None = None
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

    @property
    def start_requests(self) -> list[ReceivedRequest]:
        return [r for r in self.received if r.route == START_PATH]

    @property
    def progress_requests(self) -> list[ReceivedRequest]:
        return [r for r in self.received if r.route.startswith(PROGRESS_PREFIX)]

    @property
    def file_requests(self) -> list[ReceivedRequest]:
        return [r for r in self.received if r.route.startswith(FILES_PREFIX)]

    def answer_start(self, request):
        with self._lock:
            reply = self.start or Reply()
        return _materialize(reply, lambda: super(DownloadStandIn, self).answer_start(request))

    def answer_progress(self, request):
        with self._lock:
            script = self.progress
            if script is not None:
                reply = script[min(self.polls, len(script) - 1)]
                self.polls += 1
        if script is None:
            return super().answer_progress(request)
        return _materialize(reply, lambda: super(DownloadStandIn, self).answer_progress(request))

    def answer_file(self, request):
        with self._lock:
            reply = self.file_reply
        if reply is None:
            return super().answer_file(request)
        if reply.status != 200 and not reply.has_body:
            return _Scripted(reply.status, b"scripted failure\n", "text/plain",
                             delay=reply.delay, drop=reply.drop)
        return _materialize(reply, lambda: super(DownloadStandIn, self).answer_file(request))


class TtsStandIn(_Recording, SpeechService):
    """The speech service with scripted answers.

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

    def speak(self, request):
        with self._lock:
            script = self.replies or [Reply()]
            reply = script[min(self.served, len(script) - 1)]
            self.served += 1
        return _materialize(reply, lambda: super(TtsStandIn, self).speak(request))


# --------------------------------------------------------------------------
# The routing requests, recorded


class RecordingRequests(RoutingRequests):
    """The demo's routing requests, keeping every call in ``calls`` as made.

    ``timeout_cap``, when set, lowers the time-out handed to the real
    ``requests`` (the recorded one stays what the caller asked for), so a
    slow answer can outlast a long fixed time-out quickly.
    """

    def __init__(self, download, tts):
        super().__init__(download, tts)
        self.calls: list[RecordedCall] = []
        self.timeout_cap: float | None = None
        self._lock = threading.Lock()

    def send(self, verb, url, args, kwargs):
        headers = kwargs.get("headers")
        call = RecordedCall(
            method=verb.upper(),
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
            call.response = super().send(verb, call.routed_url, args, sent)
        except BaseException as exc:
            call.error = exc
            raise
        return call.response


class StandIns(DemoServices):
    """Both scriptable services and the recording requests; a context manager."""

    download_type = DownloadStandIn
    speech_type = TtsStandIn
    requests_type = RecordingRequests

    @property
    def calls(self) -> list[RecordedCall]:
        return self.requests.calls

    def reset(self) -> "StandIns":
        """Default answers again, no recorded calls, no time-out cap."""
        self.download.reset()
        self.tts.reset()
        self.calls.clear()
        self.requests.timeout_cap = None
        return self
