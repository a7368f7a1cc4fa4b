"""The address of a batch queue's Redis, as ``--queue`` gives it.

``redis://[USER[:PASSWORD]@]HOST[:PORT][/DB]``, or ``rediss://`` for TLS,
whose certificate is checked against the system's certificate authorities,
or a private one (``--queue-ca FILE``, or ``?ssl_ca_certs=FILE``), with the
host's name; a client certificate with ``?ssl_certfile=FILE&ssl_keyfile=FILE``.
A password left out of the URL is taken from $CLIPWEAVE_QUEUE_PASSWORD, so
that it need not be on a command line. The password is never shown:
:meth:`Address.shown` is the URL without it, and :func:`redacted` takes it
out of any text that may hold one.
"""
import os
import re
from dataclasses import dataclass, field
from urllib.parse import parse_qsl, quote, unquote, urlsplit

SCHEMES = ("redis", "rediss")
TLS_PARAMETERS = ("ssl_ca_certs", "ssl_certfile", "ssl_keyfile")
DEFAULT_PORT = 6379
CONNECT_SECONDS = 5.0
# Longer than any wait the queue asks Redis for (a worker's wait for a job):
# a Redis that takes a connection and never answers is given up after it.
READ_SECONDS = 10.0
HEALTH_SECONDS = 15  # an idle connection is checked before it is used again
HIDDEN = "***"
PASSWORD_VARIABLE = "CLIPWEAVE_QUEUE_PASSWORD"
_USERINFO = re.compile(r"(//[^/@:]*:)[^/@]*@")


def redacted(text):
    """text with the password of any URL in it hidden."""
    return _USERINFO.sub(lambda m: m.group(1) + HIDDEN + "@", str(text))


@dataclass(frozen=True)
class Address:
    scheme: str
    host: str
    port: int
    db: int
    username: str = None
    password: str = field(default=None, repr=False)
    tls: tuple = ()  # the URL's ((parameter, path), ...)
    ca: str = None  # --queue-ca's file

    def shown(self):
        """The URL without its password."""
        user = ""
        if self.username or self.password:
            user = quote(self.username or "", safe="")
            user += (":" + HIDDEN if self.password else "") + "@"
        host = f"[{self.host}]" if ":" in self.host else self.host
        query = "&".join(f"{k}={quote(v)}" for k, v in self.tls)
        return f"{self.scheme}://{user}{host}:{self.port}/{self.db}" + (f"?{query}" if query
                                                                         else "")

    def connection(self):
        """The keyword arguments of redis.Redis for this address."""
        kwargs = {"host": self.host, "port": self.port, "db": self.db,
                  "username": self.username, "password": self.password,
                  "socket_connect_timeout": CONNECT_SECONDS, "socket_timeout": READ_SECONDS,
                  "health_check_interval": HEALTH_SECONDS}
        if self.scheme == "rediss":
            kwargs.update(ssl=True, ssl_cert_reqs="required", ssl_check_hostname=True,
                          **dict(self.tls))
            if self.ca is not None:
                kwargs["ssl_ca_certs"] = self.ca
        return kwargs


def parse(url, ca=None, environ=None):
    """The Address of a queue's URL (and --queue-ca's file); ValueError
    saying what is wrong, never with the password."""
    environ = os.environ if environ is None else environ
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    if scheme not in SCHEMES or not parts.netloc:
        raise ValueError("not a redis://HOST:PORT/DB or rediss://HOST:PORT/DB URL")
    if not parts.hostname:
        raise ValueError("the URL names no host")
    try:
        port = DEFAULT_PORT if parts.port is None else parts.port
    except ValueError:
        port = 0
    if not 1 <= port <= 65535:
        raise ValueError("the port must be a number from 1 to 65535")
    database = unquote(parts.path)
    if database in ("", "/"):
        db = 0
    elif re.fullmatch(r"/[0-9]{1,5}", database, re.ASCII):
        db = int(database[1:])
    else:
        raise ValueError(f"the database must be a number, as in /0, not {database[1:]!r}")
    if parts.fragment:
        raise ValueError("a queue's URL has no #fragment")
    tls = []
    try:
        query = parse_qsl(parts.query, keep_blank_values=True, strict_parsing=bool(parts.query))
    except ValueError:
        raise ValueError(f"cannot read the URL's parameters: {parts.query!r}") from None
    for key, value in query:
        if key not in TLS_PARAMETERS:
            raise ValueError(f"unknown parameter {key!r} (the URL takes "
                             f"{', '.join(TLS_PARAMETERS)}, with rediss://)")
        tls.append((key, value))
    if (tls or ca is not None) and scheme != "rediss":
        raise ValueError("certificates (--queue-ca, ssl_...) are for a rediss:// URL")
    for key, file in tls + ([("--queue-ca", ca)] if ca is not None else []):
        if not os.path.isfile(file):
            raise ValueError(f"{key} {file}: not a file")
    password = unquote(parts.password) if parts.password is not None else \
        environ.get(PASSWORD_VARIABLE) or None
    return Address(scheme, parts.hostname, port, db,
                   unquote(parts.username) if parts.username else None, password,
                   tuple((k, os.path.abspath(v)) for k, v in tls),
                   None if ca is None else os.path.abspath(ca))
