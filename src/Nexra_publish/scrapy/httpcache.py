"""PageStoreCacheStorage: Scrapy's HTTP cache over a directory of entries,
each written whole or not at all and durable once stored.

    HTTPCACHE_ENABLED = True
    HTTPCACHE_STORAGE = "Nexra_publish.scrapy.PageStoreCacheStorage"

An entry is one file, ``<dir>/<spider>/<fp[:2]>/<fp>.entry`` for the request
fingerprint ``fp`` (``crawler.request_fingerprinter``, as hex), written through
``Nexra_publish.durable.write_file``: a new file beside it, synced, renamed
over it, the directory synced. A crawler killed at any moment leaves the
earlier entry or the new one, never a part; a reader refuses a file that does
not parse whole (a miss, never a broken response).

The file: the line ``nexra-httpcache 1``, one line of JSON (status, url,
headers, the response class, the server's address, the protocol, the time
stored, the request's url and method, the body's length and CRC-32), the body,
and the line ``end``; with HTTPCACHE_GZIP the whole of it gzip-compressed.
Entries of either kind are read whatever HTTPCACHE_GZIP says now.
"""

from __future__ import annotations

import gzip
import ipaddress
import json
import logging
import os
import sys
import threading
import zlib
from concurrent.futures import ThreadPoolExecutor
from time import time
from typing import Any, Iterator, Optional

from scrapy.http import Headers, Response
from scrapy.responsetypes import responsetypes
from scrapy.utils.project import data_path

from Nexra_publish import durable

logger = logging.getLogger(__name__)

MAGIC = b"nexra-httpcache 1\n"
END = b"\nend\n"
_GZIP_MAGIC = b"\x1f\x8b"
# The compressed stream is written in pieces of this many bytes of entry.
_CHUNK = 1 << 20
# Entries are written by this many threads; a response waits for a place
# when this many entries wait to be written.
WRITERS = 4
PENDING = 32


class BrokenEntry(ValueError):
    """A cache file that does not hold one whole entry."""


def _text(value: bytes) -> str:
    return value.decode("latin-1")


def encode_entry(request: Any, response: Response, stored: float) -> tuple[bytes, bytes, bytes]:
    """The entry of `response` as three pieces: its head (the magic line and
    the JSON line), the body, and the end line."""
    body = response.body
    ip = getattr(response, "ip_address", None)
    meta = {
        "status": response.status,
        "url": response.url,
        "headers": [[_text(k), [_text(v) for v in vs]] for k, vs in response.headers.items()],
        "class": f"{type(response).__module__}.{type(response).__name__}",
        "ip_address": None if ip is None else str(ip),
        "protocol": getattr(response, "protocol", None),
        "stored": stored,
        "request": {"url": request.url, "method": request.method},
        "body_length": len(body),
        "body_crc32": zlib.crc32(body),
    }
    head = MAGIC + json.dumps(meta, ensure_ascii=True, separators=(",", ":")).encode("ascii") + b"\n"
    return head, body, END


def _gzipped(pieces: tuple[bytes, ...]) -> Iterator[bytes]:
    """The pieces as one gzip stream, compressed as it is written."""
    compressor = zlib.compressobj(6, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
    for piece in pieces:
        view = memoryview(piece)
        for at in range(0, len(view), _CHUNK):
            out = compressor.compress(view[at : at + _CHUNK])
            if out:
                yield out
    yield compressor.flush()


def decode_entry(raw: bytes) -> tuple[dict, bytes]:
    """(meta, body) of a whole entry; BrokenEntry for anything else."""
    if raw[:2] == _GZIP_MAGIC:
        try:
            raw = gzip.decompress(raw)
        except (OSError, EOFError, zlib.error) as e:
            raise BrokenEntry(f"gzip stream: {e}") from None
    if not raw.startswith(MAGIC):
        raise BrokenEntry("not a cache entry")
    newline = raw.find(b"\n", len(MAGIC))
    if newline < 0:
        raise BrokenEntry("no end of its head")
    try:
        meta = json.loads(raw[len(MAGIC) : newline])
        length, crc = int(meta["body_length"]), int(meta["body_crc32"])
        int(meta["status"]), str(meta["url"]), float(meta["stored"])
        headers = meta["headers"]
    except (ValueError, KeyError, TypeError) as e:
        raise BrokenEntry(f"head: {e}") from None
    if not isinstance(headers, list):
        raise BrokenEntry("head: headers")
    body = raw[newline + 1 : len(raw) - len(END)]
    if len(raw) - newline - 1 != length + len(END) or not raw.endswith(END):
        raise BrokenEntry("truncated or overlong")
    if zlib.crc32(body) != crc:
        raise BrokenEntry("body does not match its checksum")
    return meta, body


def _response_class(name: Any, headers: Headers, url: str, body: bytes) -> type:
    """The stored response class when its module is loaded (a cache file
    imports nothing), else Scrapy's guess from the headers, url and body."""
    module, _, attr = name.rpartition(".") if isinstance(name, str) else ("", "", "")
    cls = getattr(sys.modules.get(module), attr, None) if module else None
    if isinstance(cls, type) and issubclass(cls, Response):
        return cls
    return responsetypes.from_args(headers=headers, url=url, body=body)


def build_response(meta: dict, body: bytes) -> Response:
    """The response an entry holds; BrokenEntry when its parts do not make one."""
    try:
        headers = Headers({k.encode("latin-1"): [v.encode("latin-1") for v in vs] for k, vs in meta["headers"]})
        url = str(meta["url"])
        kwargs: dict = {"url": url, "status": int(meta["status"]), "headers": headers, "body": body}
        if meta.get("ip_address"):
            kwargs["ip_address"] = ipaddress.ip_address(meta["ip_address"])
        if meta.get("protocol"):
            kwargs["protocol"] = str(meta["protocol"])
        return _response_class(meta.get("class"), headers, url, body)(**kwargs)
    except (ValueError, TypeError, AttributeError) as e:
        raise BrokenEntry(f"response: {e}") from None


class PageStoreCacheStorage:
    """Scrapy's cache storage interface (HTTPCACHE_STORAGE) over a directory
    of entries, one durable file each (see the module's text)."""

    def __init__(self, settings: Any):
        own = settings.get("NEXRA_HTTPCACHE_DIR")
        self.cachedir: str = os.path.abspath(own) if own else data_path(settings["HTTPCACHE_DIR"])
        self.expiration_secs: int = settings.getint("HTTPCACHE_EXPIRATION_SECS")
        self.use_gzip: bool = settings.getbool("HTTPCACHE_GZIP")
        self._fingerprinter: Any = None
        self._stats: Any = None
        self._writer: Optional[ThreadPoolExecutor] = None
        self._places = threading.BoundedSemaphore(PENDING)
        self._count_lock = threading.Lock()

    def open_spider(self, spider: Any) -> None:
        crawler = spider.crawler
        self._fingerprinter = crawler.request_fingerprinter
        self._stats = getattr(crawler, "stats", None)
        self._writer = ThreadPoolExecutor(WRITERS, thread_name_prefix="nexra-httpcache")
        self._places = threading.BoundedSemaphore(PENDING)
        logger.debug(
            "Using the durable cache storage in %(cachedir)s",
            {"cachedir": os.path.join(self.cachedir, spider.name)},
            extra={"spider": spider},
        )

    def close_spider(self, spider: Any) -> None:
        """Returns when every entry handed to store_response is written."""
        if self._writer is not None:
            self._writer.shutdown(wait=True)
            self._writer = None

    def entry_path(self, spider: Any, request: Any) -> str:
        key = self._fingerprinter.fingerprint(request).hex()
        return os.path.join(self.cachedir, spider.name, key[:2], key + ".entry")

    def retrieve_response(self, spider: Any, request: Any) -> Optional[Response]:
        """The cached response of `request`, or None: not cached, expired, or
        an entry that does not read back whole (logged and counted in
        nexra/httpcache_broken)."""
        path = self.entry_path(spider, request)
        try:
            with open(path, "rb") as f:
                raw = f.read()
        except FileNotFoundError:
            return None
        except OSError as e:
            return self._broken(spider, path, f"unreadable: {e}")
        try:
            meta, body = decode_entry(raw)
            if 0 < self.expiration_secs < time() - float(meta["stored"]):
                return None
            response = build_response(meta, body)
        except BrokenEntry as e:
            return self._broken(spider, path, str(e))
        request.meta["cache_timestamp"] = float(meta["stored"])
        return response

    def store_response(self, spider: Any, request: Any, response: Response) -> None:
        """Hand the entry of `response` to a writer thread: the write and its
        syncs do not hold up the reactor. With PENDING entries waiting, this
        waits for a place. An entry is on the disk, whole, once its write
        ends, and all of them once close_spider returns. A write that fails
        is logged and counted (nexra/httpcache_store_error); the response
        goes on unharmed and the earlier entry stays as it was."""
        assert self._writer is not None, "store_response before open_spider"
        path = self.entry_path(spider, request)
        pieces = encode_entry(request, response, time())
        self._places.acquire()
        try:
            self._writer.submit(self._write, spider, request, path, pieces)
        except BaseException:
            self._places.release()
            raise

    def _write(self, spider: Any, request: Any, path: str, pieces: tuple[bytes, bytes, bytes]) -> None:
        try:
            durable.makedirs(os.path.dirname(path))
            durable.write_file(path, _gzipped(pieces) if self.use_gzip else pieces)
        except OSError as e:
            self._count("nexra/httpcache_store_error")
            logger.error(
                "Could not store the cache entry of %(request)s: %(error)s",
                {"request": request, "error": e},
                extra={"spider": spider},
            )
        finally:
            self._places.release()

    def _broken(self, spider: Any, path: str, why: str) -> None:
        self._count("nexra/httpcache_broken")
        logger.warning(
            "Cache entry %(path)s refused (%(why)s): a miss", {"path": path, "why": why}, extra={"spider": spider}
        )
        return None

    def _count(self, key: str) -> None:
        if self._stats is not None:
            with self._count_lock:  # (writer threads count too)
                self._stats.inc_value(key)
