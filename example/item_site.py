"""A small shop on loopback for crawls: index pages that link to item pages.

The site is generated from a seed, so every run sees the same pages. `/` links
to the index pages `/index/<k>`, and each index page to `per_index` item pages
`/item/<n>`. A few pages misbehave, as real sites do:

- "flaky" item pages answer 500 once or twice before they answer 200, so a
  crawler's retries fetch them;
- one item is linked through an old address, `/old/<n>`, that redirects (301)
  to its page;
- one item page hangs longer than a crawler's download time-out the first
  time it is asked for (`hang` seconds), then answers;
- the last few items have a field ("note") that the others lack.

Every answer waits a seeded random delay first (`delays=False`: none, for
throughput runs). Every request is written to the request log as one line,
flushed at once: time, status (or "hang"), path, tab-separated. The log
belongs to the site's process, so it is whole whatever happens to the
crawlers; `read_log` reads it back.

    python example/item_site.py --items 600 --log site.log    # prints the URL, serves until killed

`SiteProcess` runs it in a process of its own, threaded, on a free loopback
port; `Site` runs it in threads of the calling process.
"""

from __future__ import annotations

import argparse
import html
import os
import random
import subprocess
import sys
import threading
import time
from collections import Counter, defaultdict
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import urlsplit

SEED = 20251210
ITEMS = 600
PER_INDEX = 50
WORDS = (
    "brass lamp oak chair linen wool kettle copper mug walnut desk felt hat "
    "cotton rug glass jar maple shelf steel pan clay pot silk scarf"
).split()


@dataclass(frozen=True)
class Plan:
    """Which pages misbehave, and how: the same for the same count and seed."""

    items: int
    per_index: int
    flaky: dict  # item number -> how many 500 answers come before its 200
    redirected: int  # the item linked through /old/<n>
    hanging: int  # the item whose first request hangs
    late: int  # items from this number on have the "note" field

    @property
    def indexes(self) -> int:
        return -(-self.items // self.per_index)

    def item_paths(self) -> list[str]:
        return [f"/item/{n}" for n in range(self.items)]


def plan(items: int = ITEMS, per_index: int = PER_INDEX, seed: int = SEED, faults: bool = True) -> Plan:
    """`faults=False`: no flaky, redirected or hanging page (throughput runs)."""
    rng = random.Random(f"{seed}/plan")
    picked = rng.sample(range(items), max(3, items // 50) + 2)
    hanging, redirected, flaky = picked[0], picked[1], picked[2:]
    return Plan(
        items=items,
        per_index=per_index,
        flaky={n: 1 + i % 2 for i, n in enumerate(sorted(flaky))} if faults else {},
        redirected=redirected if faults else -1,
        hanging=hanging if faults else -1,
        late=items - max(1, items // 100),
    )


def item_fields(n: int, p: Plan, seed: int = SEED) -> dict:
    """The fields an item page shows (what a spider should scrape from it)."""
    rng = random.Random(f"{seed}/item/{n}")
    fields = {
        "sku": f"SKU-{n:05d}",
        "name": " ".join(rng.sample(WORDS, 2)).title(),
        "price": f"{rng.randint(100, 99999) / 100:.2f}",
        "stock": str(rng.randint(0, 40)),
    }
    if n >= p.late:
        fields["note"] = f"last lot & final price, item {n}"
    return fields


def item_page(n: int, p: Plan, seed: int = SEED) -> bytes:
    f = item_fields(n, p, seed)
    e = html.escape
    note = f'<p class="note">{e(f["note"])}</p>' if "note" in f else ""
    return (
        f"<!DOCTYPE html><html><head><meta charset='utf-8'><title>{e(f['name'])}</title></head><body>"
        f"<nav><a href='/'>Shop</a></nav><h1 class='name'>{e(f['name'])}</h1>"
        f"<table><tr><th>SKU</th><td class='sku'>{f['sku']}</td></tr>"
        f"<tr><th>Price</th><td class='price'>{f['price']}</td></tr>"
        f"<tr><th>In stock</th><td class='stock'>{f['stock']}</td></tr></table>{note}"
        "</body></html>"
    ).encode("utf-8")


def index_page(k: int, p: Plan) -> bytes:
    links = []
    for n in range(k * p.per_index, min((k + 1) * p.per_index, p.items)):
        path = f"/old/{n}" if n == p.redirected else f"/item/{n}"
        links.append(f"<li><a class='item' href='{path}'>item {n}</a></li>")
    return (f"<html><body><h1>Page {k}</h1><ul>{''.join(links)}</ul></body></html>").encode("utf-8")


def root_page(p: Plan) -> bytes:
    links = "".join(f"<li><a class='index' href='/index/{k}'>page {k}</a></li>" for k in range(p.indexes))
    return f"<html><body><h1>Shop</h1><ul>{links}</ul></body></html>".encode("utf-8")


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        site: Site = self.server.site
        path = urlsplit(self.path).path
        status, body, location = site.answer(path)
        if status is None:  # the hang: answer after the client has given up
            site.log("hang", path)
            time.sleep(site.hang)
            status, body, location = 200, item_page(site.plan.hanging, site.plan, site.seed), None
        else:
            site.log(status, path)
        try:
            self.send_response(status)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            if location:
                self.send_header("Location", location)
            self.end_headers()
            self.wfile.write(body)
        except OSError:  # the client left (the hang)
            self.close_connection = True


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A crawler that was killed, or gave up on the hanging page, resets its
        # connections: not the site's fault, and nothing to report.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


class Site:
    """The shop, served by threads of this process on a loopback port (0: any free one)."""

    def __init__(
        self,
        items: int = ITEMS,
        *,
        per_index: int = PER_INDEX,
        seed: int = SEED,
        delays: bool = True,
        faults: bool = True,
        max_delay: float = 0.02,
        hang: float = 5.0,
        log_path: Path | str | None = None,
        port: int = 0,
    ):
        self.plan = plan(items, per_index, seed, faults)
        self.seed = seed
        self.hang = hang
        self.max_delay = max_delay if delays else 0.0
        self.lock = threading.Lock()
        self.asked: Counter = Counter()  # path -> requests so far
        self._log = open(log_path, "a", buffering=1, encoding="utf-8") if log_path else None
        self.server = _Server(("127.0.0.1", port), _Handler)
        self.server.site = self
        self.url = "http://%s:%d" % self.server.server_address[:2]

    def answer(self, path: str) -> tuple[int | None, bytes, str | None]:
        """(status, body, location) of the next request of `path`; status None: hang."""
        with self.lock:
            self.asked[path] += 1
            nth = self.asked[path]
        if self.max_delay:
            time.sleep(random.Random(f"{self.seed}/delay/{path}/{nth}").uniform(0, self.max_delay))
        p = self.plan
        kind, _, number = path.strip("/").partition("/")
        n = int(number) if number.isdigit() else -1
        if path == "/":
            return 200, root_page(p), None
        if kind == "index" and 0 <= n < p.indexes:
            return 200, index_page(n, p), None
        if kind == "old" and n == p.redirected:
            return 301, b"", f"/item/{n}"
        if kind == "item" and 0 <= n < p.items:
            if n == p.hanging and nth == 1:
                return None, b"", None
            if nth <= p.flaky.get(n, 0):
                return 500, b"<html><body>Internal Server Error</body></html>", None
            return 200, item_page(n, p, self.seed), None
        return 404, b"<html><body>Not found</body></html>", None

    def log(self, status, path: str) -> None:
        if self._log is not None:
            with self.lock:
                self._log.write(f"{time.time():.6f}\t{status}\t{path}\n")

    def start(self) -> "Site":
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def stop(self) -> None:
        self.server.shutdown()
        self.server.server_close()
        if self._log is not None:
            self._log.close()

    def __enter__(self) -> "Site":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


class SiteProcess:
    """The shop in a process of its own (this file run as a script), its
    request log at `log_path`; `url` once started."""

    def __init__(
        self,
        log_path: Path,
        items: int = ITEMS,
        *,
        delays: bool = True,
        faults: bool = True,
        hang: float = 5.0,
        seed: int = SEED,
        port: int = 0,
    ):
        self.log_path = Path(log_path)
        self.log_path.parent.mkdir(parents=True, exist_ok=True)
        self.plan = plan(items, PER_INDEX, seed, faults)
        self.args = [str(Path(__file__).resolve()), "--items", str(items), "--log", str(log_path)]
        self.args += ["--hang", str(hang), "--seed", str(seed)] + ([] if delays else ["--no-delays"])
        self.args += ([] if faults else ["--no-faults"]) + ["--port", str(port)]
        self.proc = None
        self.url = None

    def start(self) -> "SiteProcess":
        self.proc = subprocess.Popen([sys.executable] + self.args, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("http://"):
            self.stop()
            raise RuntimeError(f"the item site did not start: {line!r}")
        self.url = line.strip()
        return self

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        if self.proc is not None:
            self.proc.stdout.close()

    def __enter__(self) -> "SiteProcess":
        return self if self.proc is not None else self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


@dataclass
class Log:
    """What the request log says: per path, the statuses it was answered with, in order."""

    answers: dict  # path -> [status, ...] ("hang" for the hung request)

    def fetched(self, path: str) -> int:
        """How many times `path` was answered 200."""
        return sum(1 for s in self.answers.get(path, ()) if s == "200")

    def summary(self, p: Plan) -> dict:
        items = p.item_paths()
        return {
            "requests": sum(len(v) for v in self.answers.values()),
            "item_pages_fetched": sum(1 for path in items if self.fetched(path)),
            "item_pages_missing": [path for path in items if not self.fetched(path)],
            "item_pages_fetched_twice": sum(1 for path in items if self.fetched(path) > 1),
            "answered_500": sum(v.count("500") for v in self.answers.values()),
            "redirects": sum(v.count("301") for v in self.answers.values()),
            "hangs": sum(v.count("hang") for v in self.answers.values()),
        }


def read_log(path: Path) -> Log:
    answers = defaultdict(list)
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if len(parts) == 3:  # a line being written as the site stopped is left out
                    answers[parts[2]].append(parts[1])
    return Log(dict(answers))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--items", type=int, default=ITEMS)
    parser.add_argument("--seed", type=int, default=SEED)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log", default=None, help="the request log (appended to)")
    parser.add_argument("--hang", type=float, default=5.0, help="seconds the hanging page holds its first answer")
    parser.add_argument("--no-delays", action="store_true", help="answer at once (throughput runs)")
    parser.add_argument("--no-faults", action="store_true", help="no flaky, redirected or hanging page")
    args = parser.parse_args(argv)
    site = Site(
        args.items,
        faults=not args.no_faults,
        seed=args.seed,
        delays=not args.no_delays,
        hang=args.hang,
        log_path=args.log,
        port=args.port,
    )
    print(site.url, flush=True)
    try:
        site.server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
