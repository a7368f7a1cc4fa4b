"""The service origins: those built into the module, and a run's own.

The build writes the origins it compiled into the module to
``builtin_origins.py`` beside this file. A run that configures other
origins binds a :class:`MappedRequests` as the module's ``requests``: the
module keeps addressing its built-in origins, and each request goes to the
configured one instead.
"""
from urllib.parse import urlsplit, urlunsplit

from clipweave.app.builtin_origins import ORIGINS


def builtin_origins():
    """{"download_service": the download service's API origin,
    "download_site": the origin its requests name in their headers,
    "speech_service": the speech service's origin}, as built into the module."""
    return dict(ORIGINS)


def is_placeholder(origin):
    """Origins under the reserved .example domain never answer."""
    host = urlsplit(origin).hostname or ""
    return host == "example" or host.endswith(".example")


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
