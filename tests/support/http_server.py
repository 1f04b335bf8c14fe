"""A real HTTP server on loopback for the fetch tests, scripted per test.

Each path answers with a list of replies, taken in order; the last one repeats.
A reply can drop the connection without answering (the client sees a reset),
hold the answer back until the client's time-out has passed, or send its
headers and only the first bytes of its body before it stalls or drops the
connection.
"""

from __future__ import annotations

import json
import socket
import struct
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit


@dataclass
class Reply:
    status: int = 200
    body: bytes = b""
    content_type: str = "text/html; charset=utf-8"
    reset: bool = False  # close the socket without answering
    delay: float = 0.0  # hold the answer back this long (or until the server stops)
    location: str | None = None
    cut: int | None = None  # send only this many bytes of the body, then reset
    stall: float = 0.0  # with `cut`: hold the rest back this long before the reset
    headers: dict = field(default_factory=dict)  # more header fields of the answer

    @classmethod
    def html(cls, text: str, status: int = 200) -> "Reply":
        return cls(status=status, body=text.encode("utf-8"))

    @classmethod
    def json(cls, value, status: int = 200) -> "Reply":
        return cls(status=status, body=json.dumps(value).encode("utf-8"), content_type="application/json")


@dataclass
class Seen:
    method: str
    path: str
    headers: dict
    body: bytes


def _path_of(target: str) -> str:
    """The path of a request target without its query; a proxy's absolute
    target ("http://host:port/path") counts as its path."""
    target = urlsplit(target).path if "://" in target else target
    return target.split("?")[0]


@dataclass
class _Script:
    replies: list
    served: int = 0


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):  # keep the test output quiet
        pass

    def _answer(self):
        server: LoopbackServer = self.server.owner
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        reply = server._take(Seen(self.command, self.path, dict(self.headers), body))
        if reply.delay:
            server._stopping.wait(reply.delay)
        if reply.reset:
            self._reset()
            return
        self.close_connection = True
        try:
            self.send_response(reply.status)
            self.send_header("Content-Type", reply.content_type)
            self.send_header("Content-Length", str(len(reply.body)))
            if reply.location:
                self.send_header("Location", reply.location)
            for name, value in reply.headers.items():
                self.send_header(name, value)
            self.send_header("Connection", "close")
            self.end_headers()
            if reply.cut is None:
                self.wfile.write(reply.body)
                return
            self.wfile.write(reply.body[: reply.cut])
            self.wfile.flush()
            if reply.stall:
                server._stopping.wait(reply.stall)
            self._reset()
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up waiting (a time-out test)

    def _reset(self):
        # A zero linger time makes close() send a reset instead of a FIN.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True
        self.connection.close()

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = _answer


class LoopbackServer:
    def __init__(self):
        self._lock = threading.Lock()
        self._scripts: dict[str, _Script] = {}
        self._stopping = threading.Event()
        self.seen: list[Seen] = []
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self._httpd.daemon_threads = True
        self._httpd.owner = self
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)

    def start(self) -> "LoopbackServer":
        self._thread.start()
        return self

    def stop(self):
        self._stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()

    def script(self, path: str, *replies: Reply) -> str:
        """Answer `path` with `replies` in order (the last one repeats); returns its URL."""
        with self._lock:
            self._scripts[path] = _Script(list(replies))
        return self.url(path)

    def url(self, path: str) -> str:
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}{path}"

    def hits(self, path: str) -> list[Seen]:
        with self._lock:
            return [s for s in self.seen if _path_of(s.path) == path]

    def _take(self, seen: Seen) -> Reply:
        with self._lock:
            self.seen.append(seen)
            script = self._scripts.get(_path_of(seen.path))
            if script is None:
                return Reply(status=404, body=b"no script for this path")
            reply = script.replies[min(script.served, len(script.replies) - 1)]
            script.served += 1
            return reply
