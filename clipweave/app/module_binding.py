"""The one place where the package binds its backends into the extension module.

The module looks its globals up at call time, so a run chooses where the
video comes from, who speaks the narration and which services answer by
rebinding ``_download_video``, ``_generate_tts``, ``requests`` (and, for the
demo, ``time``) for its length. :class:`ModuleBinding` does that for one run
and restores every global on the way out; the module has one set of
globals, so a second binding while one is active in this process is refused.
The clients it binds move the run's Stage on as the module calls them.
"""
import contextlib
import io
import threading
from urllib.parse import urlsplit, urlunsplit

from clipweave import clipweave as _module
from clipweave.app.errors import BindingBusy

_active = threading.Lock()
# The module's own service clients, as they were when the package was imported.
_CLIENTS = {name: getattr(_module, name) for name in ("_download_video", "_generate_tts")}


class ModuleBinding:
    """A context that binds globals of the module and restores them on exit."""

    def __init__(self, module=_module):
        self.module = module
        self._saved = {}

    def __enter__(self):
        if not _active.acquire(blocking=False):
            raise BindingBusy("another run in this process is using clipweave.clipweave")
        return self

    def __exit__(self, *exc_info):
        try:
            for name, value in self._saved.items():
                setattr(self.module, name, value)
            self._saved.clear()
        finally:
            _active.release()
        return False

    def saved(self, name):
        """The value the global had before this binding changed it."""
        return self._saved.get(name, getattr(self.module, name))

    def bind(self, name, value):
        self._saved.setdefault(name, getattr(self.module, name))
        setattr(self.module, name, value)

    def bind_download(self, download, stage):
        """download(output_file) as the module's ``_download_video``: the URL
        it is handed is the run's own source; ``stage`` is "download" meanwhile."""

        def _download_video(url, output_file):
            stage.enter("download")
            download(output_file)
            stage.enter("render")

        self.bind("_download_video", _download_video)

    def bind_speech(self, speak, stage):
        """speak(text, output_file, voice) as the module's ``_generate_tts``;
        ``stage`` is "speech" meanwhile, counting the narrations."""

        def _generate_tts(text, output_file, voice):
            stage.speaking()
            speak(text, output_file, voice)
            stage.enter("render")

        self.bind("_generate_tts", _generate_tts)


# --------------------------------------------------------------------------
# Service origins


def origin_of(url):
    parts = urlsplit(url)
    return f"{parts.scheme}://{parts.netloc}"


class MappedRequests:
    """A ``requests`` (the module's, as bound before the run) with the module's
    built-in service origins mapped onto the configured ones: in the URL of
    each call and in its origin and referer headers. Any other URL (the
    download service's progress address, say) goes out as given."""

    def __init__(self, mapping, real):
        self._real = real
        self._mapping = {k: v for k, v in mapping.items() if k != v}

    def _url(self, url):
        parts = urlsplit(url)
        target = self._mapping.get(f"{parts.scheme}://{parts.netloc}")
        if target is None:
            return url
        mapped = urlsplit(target)
        return urlunsplit((mapped.scheme, mapped.netloc, parts.path, parts.query, parts.fragment))

    def _keywords(self, kwargs):
        headers = kwargs.get("headers")
        if headers:
            kwargs = dict(kwargs, headers={
                name: self._url(value) if name.lower() in ("origin", "referer") else value
                for name, value in headers.items()})
        return kwargs

    def get(self, url, *args, **kwargs):
        return self._real.get(self._url(url), *args, **self._keywords(kwargs))

    def post(self, url, *args, **kwargs):
        return self._real.post(self._url(url), *args, **self._keywords(kwargs))

    def __getattr__(self, name):
        return getattr(self._real, name)


class _Asked(Exception):
    """What a service client was about to send."""


class _Recorder:
    def get(self, url, headers=None, **kwargs):
        raise _Asked(url, headers or {})

    post = get


_builtin = None


def builtin_origins(module=_module):
    """The service origins built into the module, asked of its clients.

    {"download_service": the start request's origin, "download_site": the
    origin its headers name, "speech_service": the speech request's origin}.
    Each client is called once with a recorder bound as ``requests`` that
    stops it before anything is sent.
    """
    global _builtin
    if _builtin is None:
        with ModuleBinding(module) as binding, contextlib.redirect_stdout(io.StringIO()):
            binding.bind("requests", _Recorder())
            try:
                _CLIENTS["_download_video"]("", "unused")
            except _Asked as asked:
                start_url, headers = asked.args
            try:
                _CLIENTS["_generate_tts"]("", "unused", "")
            except _Asked as asked:
                speech_url = asked.args[0]
        _builtin = {"download_service": origin_of(start_url),
                    "download_site": headers.get("origin", origin_of(start_url)),
                    "speech_service": origin_of(speech_url)}
    return dict(_builtin)


def is_placeholder(origin):
    """Origins under the reserved .example domain never answer."""
    host = urlsplit(origin).hostname or ""
    return host == "example" or host.endswith(".example")
