"""Who the editor's server answers: the one who has its token, through
its own address, from its own page.

Every request must carry the session's token: in the address the command
printed (``?token=``; the page is then given it as a cookie and sent to
its address without it), in that cookie, or as ``Authorization: Bearer``
for scripts; without it the answer is 403. A request whose ``Host`` is not
the server's own address (an IP address or ``localhost``, and its port)
is refused, which stops pages of other sites that reach it under a name of
theirs (DNS rebinding); so is one whose ``Origin`` is not the server's
(another site's page, in the user's browser). A body must say its length
(411) and stay under the route's limit (413). Every answer tells the
browser not to guess types, frame the page or send the address on.
"""
import ipaddress
import secrets
from urllib.parse import parse_qs, urlsplit

from starlette.responses import JSONResponse, RedirectResponse

COOKIE = "clipweave-edit-{port}"
SMALL_BODY = 64 * 1024
# The page, its modules and its media come from the server alone.
CONTENT_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data: "
                  "blob:; media-src 'self' blob:; connect-src 'self'; font-src 'self'; "
                  "base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
_SAFE_METHODS = ("GET", "HEAD")
_BODY_METHODS = ("POST", "PUT", "PATCH")


def _refusal(status, problem):
    return JSONResponse({"problems": [problem]}, status_code=status)


def _host_port(text):
    """(host, port) of a Host header's value; port None when it has none."""
    parts = urlsplit("//" + text)
    try:
        return (parts.hostname or "").lower(), parts.port
    except ValueError:
        return None, None


def _is_address(host):
    try:
        ipaddress.ip_address(host)
    except ValueError:
        return host == "localhost"
    return True


class Guard:
    """ASGI middleware around the editor's app. ``bound``: the address the
    server listens on; ``limits``: {path: most bytes of a body}, others
    SMALL_BODY."""

    def __init__(self, app, token, bound, port, limits=None):
        self.app = app
        self.token = token
        self.port = port
        self.cookie = COOKIE.format(port=port)
        self.limits = limits or {}
        bound = bound.lower()
        self.wildcard = bound in ("0.0.0.0", "::", "")
        loopback = self.wildcard or bound in ("localhost",) or (
            _is_address(bound) and ipaddress.ip_address(bound).is_loopback)
        self.names = {bound} | ({"localhost", "127.0.0.1", "::1"} if loopback else set())

    def _own_host(self, value):
        host, port = _host_port(value)
        if host is None or port != self.port:
            return False
        return host in self.names or (self.wildcard and _is_address(host))

    def _given_token(self, headers, query):
        given = query.get("token", [None])[0]
        if given is None:
            auth = headers.get("authorization", "")
            if auth.lower().startswith("bearer "):
                given = auth[7:].strip()
        if given is None:
            for part in headers.get("cookie", "").split(";"):
                name, _, value = part.strip().partition("=")
                if name == self.cookie:
                    given = value
        return given

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)

        async def guarded(message):
            if message["type"] == "http.response.start":
                extra = [(b"x-content-type-options", b"nosniff"), (b"referrer-policy", b"no-referrer"),
                         (b"x-frame-options", b"DENY"),
                         (b"content-security-policy", CONTENT_POLICY.encode("ascii"))]
                if scope["path"].startswith("/api/"):
                    extra.append((b"cache-control", b"no-store"))
                message = {**message, "headers": list(message.get("headers", [])) + extra}
            await send(message)

        refusal = self._refusal(scope)
        if refusal is not None:
            return await refusal(scope, receive, guarded)
        return await self.app(scope, receive, guarded)

    def _refusal(self, scope):
        """The answer to a request that is refused (or sent on), or None."""
        headers = {}
        for name, value in scope["headers"]:
            # A repeated Host or Origin is refused as a whole below.
            key = name.decode("latin-1").lower()
            text = value.decode("latin-1")
            headers[key] = text if key not in headers else headers[key] + "," + text
        if not self._own_host(headers.get("host", "")):
            return _refusal(403, "this editor answers only at its own address")
        origin = headers.get("origin")
        if origin is not None:
            parts = urlsplit(origin)
            if parts.scheme != "http" or not self._own_host(parts.netloc):
                return _refusal(403, "requests from other sites' pages are refused")
        query = parse_qs(scope.get("query_string", b"").decode("latin-1"))
        given = self._given_token(headers, query)
        if given is None or not secrets.compare_digest(given.encode("latin-1", "replace"),
                                                       self.token.encode("ascii")):
            return _refusal(403, "this editor needs its token: open the address "
                                 "'clipweave edit' printed")
        if "token" in query and scope["method"] in _SAFE_METHODS and scope["path"] == "/":
            # The page keeps it as a cookie; the address bar and history lose it.
            response = RedirectResponse("/", status_code=303)
            response.set_cookie(self.cookie, self.token, httponly=True, samesite="strict", path="/")
            return response
        length = headers.get("content-length")
        if "transfer-encoding" in headers or (length is None and scope["method"] in _BODY_METHODS):
            return _refusal(411, "a request body must give its length")
        limit = self.limits.get(scope["path"], SMALL_BODY)
        if length is not None and (not length.isdigit() or int(length) > limit):
            return _refusal(413, f"a body here may hold at most {limit} bytes")
        return None
