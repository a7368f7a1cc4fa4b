"""The editor's web server: uvicorn serving the app on a socket of its
own, stopped by Ctrl-C, SIGTERM or SIGHUP.

The socket is bound before the server starts, so the address (with a free
port when none was asked for) is known and printed first. A signal asks
the server to stop (``on_signal`` is told, so that open event streams
end); a second Ctrl-C stops it at once. ``serve`` returns the signal that
stopped it.
"""
import asyncio
import signal
import socket

import uvicorn

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class ListenError(Exception):
    pass


def listen(host, port):
    """A socket bound to host and port (0: a free one), listening."""
    try:
        family, kind, proto, _, address = socket.getaddrinfo(
            host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
        sock = socket.socket(family, kind, proto)
    except (OSError, UnicodeError) as e:
        raise ListenError(f"cannot listen on {host}: {getattr(e, 'strerror', None) or e}") from None
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        # Listening already: a browser given the address at once waits to be answered.
        sock.listen(128)
    except OSError as e:
        sock.close()
        raise ListenError(f"cannot listen on {host}:{port}: {e.strerror or e}") from None
    sock.set_inheritable(False)
    return sock


def address_of(sock, host):
    """The address a browser on this machine reaches the socket at."""
    port = sock.getsockname()[1]
    shown = {"0.0.0.0": "127.0.0.1", "::": "::1", "": "127.0.0.1"}.get(host, host)
    return f"http://[{shown}]:{port}" if ":" in shown else f"http://{shown}:{port}"


class _Server(uvicorn.Server):
    def __init__(self, config, on_signal):
        super().__init__(config)
        self.on_signal = on_signal
        self.stopped_by = None

    def install_signal_handlers(self):
        loop = asyncio.get_running_loop()
        for sig in STOP_SIGNALS:
            loop.add_signal_handler(sig, self._stop, sig)

    def _stop(self, sig):
        if self.stopped_by is None:
            self.stopped_by = sig
            self.on_signal()
        elif sig == signal.SIGINT:
            self.force_exit = True  # a second Ctrl-C: no more waiting
        self.should_exit = True


def serve(app, sock, on_signal):
    """Serves app on sock until a signal; the signal's number."""
    config = uvicorn.Config(app, lifespan="off", loop="asyncio", http="h11", ws="none",
                            log_config=None, log_level="warning", access_log=False,
                            proxy_headers=False, server_header=False, timeout_keep_alive=5)
    server = _Server(config, on_signal)
    server.run(sockets=[sock])
    return server.stopped_by or signal.SIGTERM
