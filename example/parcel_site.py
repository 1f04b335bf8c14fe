"""The small web site that the example job scrapes, served on loopback.

The site is made up of `count` parcels, generated from a seed so that every
run sees the same pages: most are HTML pages full of markup, entities, script
and style blocks for the job to clean; every fifth parcel is published as JSON
instead. A few parcels are broken on purpose, as real sites are:

- "500": the server answers 500 Internal Server Error;
- "reset": the server drops the connection without answering;
- "tiny": a 200 answer holding only a few bytes of error text, which the page
  fetch takes for an error page.

Next to the site runs a small forwarding HTTP proxy, through which the job's
request engine sends the work items assigned to it.

Both servers count what reaches them, per kind of page and per work item
(the job sends the item's id in the "X-Work-Item" header), so that the runner
can tell which items were answered from the page-save store.

    python example/parcel_site.py --parcels 300      # serve until Ctrl-C
"""

from __future__ import annotations

import argparse
import html
import http.client
import json
import random
import socket
import struct
import threading
from collections import Counter
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

SEED = 20240611
FAULTS = ("500", "reset", "tiny")

OWNERS = [
    "Ada Lovelace",
    "Grace Hopper",
    "José Núñez",
    "O'Brien & Sons LLC",
    "Edsger W. Dijkstra",
    "Acme™ Holdings",
    "Zoë Brontë",
    "Ruth Müller-Ståhl",
    "Alan Turing",
    "Katherine Johnson",
    "Ĳssel Farms",
    "Chen Wei",
]
STREETS = [
    "Main St",
    "Elm & Oak Ave",
    "Café Row",
    "Quay",
    "Mill Lane",
    "Rue de l'Église",
    "N. 5th St",
    "Harbour View Rd",
]
CITIES = ["Springfield", "Shelbyville", "Ogdenville", "North Haverbrook"]
USES = ["Residential", "Commercial", "Agricultural", "Industrial", "Vacant land"]
TAGS = [
    "flood zone",
    "historic district",
    "corner lot",
    "easement",
    "septic",
    "solar",
    "tax exempt",
    "school district 7",
]

TINY_HTML = b"<html><body>Not found</body></html>"
TINY_JSON = b'{"error": "not found"}'


@dataclass(frozen=True)
class Parcel:
    number: str
    kind: str  # "html" or "json"
    fault: str | None = None  # None or one of FAULTS
    route: str = "direct"  # how the job sends it: "direct" or "engine" (through the proxy)

    @property
    def path(self) -> str:
        return ("/api/parcel/" if self.kind == "json" else "/parcel/") + self.number


def plan(count: int = 300, seed: int = SEED) -> list[Parcel]:
    """The site's parcels, the same for the same count and seed."""
    rng = random.Random(f"{seed}/plan")
    numbers = [f"{101 + i // 40:03d}-{(i % 40) * 7 + 3:03d}-{rng.randint(0, 99):02d}" for i in range(count)]
    kinds = ["json" if i % 5 == 4 else "html" for i in range(count)]
    # Faulty parcels, spread over the site; each fault kind alternates between
    # the two routes, the first "reset" going through the engine.
    per_kind = {"500": max(1, count // 150), "reset": max(1, count // 150), "tiny": max(2, count // 100)}
    picked = rng.sample(range(count), sum(per_kind.values()))
    faults: dict[int, tuple[str, str]] = {}
    for kind, n in per_kind.items():
        for j in range(n):
            first = "engine" if kind == "reset" else "direct"
            other = "direct" if first == "engine" else "engine"
            faults[picked.pop(0)] = (kind, first if j % 2 == 0 else other)
    # One tiny page is JSON, so that error pages of both kinds are met.
    tiny = sorted(i for i, (k, _) in faults.items() if k == "tiny")
    kinds[tiny[-1]] = "json"
    for i in tiny[:-1]:
        kinds[i] = "html"
    parcels = []
    for i in range(count):
        fault, route = faults.get(i, (None, "engine" if rng.random() < 0.25 else "direct"))
        parcels.append(Parcel(numbers[i], kinds[i], fault, route))
    return parcels


def work_items(parcels: list[Parcel], base_url: str, seed: int = SEED) -> list[dict]:
    """The input documents of the job: every parcel once, in site order, and a
    few sound parcels a second time at the end (a parcel that two lists
    name), so that duplicates show on every run."""
    rng = random.Random(f"{seed}/items")
    items = [
        {"parcel_number": p.number, "url": base_url + p.path, "route": p.route, "status": "pending"} for p in parcels
    ]
    sound = [p for p in parcels if p.fault is None]
    for p in rng.sample(sound, min(len(sound), max(2, len(parcels) // 50))):
        items.append({"parcel_number": p.number, "url": base_url + p.path, "route": "direct", "status": "pending"})
    return items


def _details(parcel: Parcel, seed: int) -> dict:
    rng = random.Random(f"{seed}/{parcel.number}")
    return {
        "owner": rng.choice(OWNERS),
        "number": rng.randint(1, 2400),
        "street": rng.choice(STREETS),
        "city": rng.choice(CITIES),
        "use": rng.choice(USES),
        "value": rng.randint(40, 2500) * 1000,
        "built": rng.randint(1890, 2024),
        "zone": rng.choice(["R-1", "R-2", "C-1", "A-3", "M-2"]),
        "sold": rng.randint(1975, 2025),
        "tags": rng.sample(TAGS, rng.randint(1, 4)),
        "acres": round(rng.uniform(0.05, 40.0), 2),
    }


def html_page(parcel: Parcel, seed: int = SEED) -> bytes:
    d = _details(parcel, seed)
    e = html.escape
    tags = "".join(f"<li>{e(t)}</li>" for t in d["tags"])
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Parcel {parcel.number} &ndash; County Assessor</title>
<style>
  body {{ font-family: sans-serif; }} td.value {{ text-align: right; }}
  .banner::after {{ content: "<b>not text</b>"; }}
</style>
<script>window.dataLayer = []; function track(p) {{ dataLayer.push({{"parcel": p, "when": Date.now()}}); }}</script>
</head>
<body><div class="banner">County Assessor &mdash; Parcel search</div>
<nav><a href="/">Home</a> | <a href="/search">Search</a></nav>
<h1 class="parcel">{parcel.number}</h1>
<table class="facts">
<tr><th>Owner</th><td class="owner">  {e(d["owner"])}&nbsp;</td></tr>
<tr><th>Site address</th><td class="address"><b>{d["number"]}</b> {e(d["street"])}<br/>
    {e(d["city"])}</td></tr>
<tr><th>Land use</th><td class="use">{e(d["use"])}</td></tr>
<tr><th>Assessed value</th><td class="value">$&nbsp;{d["value"]:,}</td></tr>
<tr><th>Year built</th><td class="built">{d["built"]}</td></tr>
<tr><th>Area</th><td class="area">{d["acres"]}&nbsp;ac</td></tr>
</table>
<div class="notes"><!-- reviewed by staff -->
  <p>Zoned&nbsp;{d["zone"]}.   Last sale:
     {d["sold"]}.</p><script>track("{parcel.number}");</script>
  <style>.notes p {{ margin: 0 }}</style>
  <p>Flags: &lt;b&gt;see tags&lt;/b&gt; &#8212; &copy; County\u0099</p>
</div>
<ul class="tags">{tags}<li> </li></ul>
<footer><small>Data as of 2025&#8209;01&#8209;01. &amp; no warranty.</small></footer>
</body></html>
""".encode("utf-8")


def json_page(parcel: Parcel, seed: int = SEED) -> bytes:
    d = _details(parcel, seed)
    doc = {
        "parcel": {
            "number": parcel.number,
            "owner": {"name": "  " + html.escape(d["owner"]) + "\u00a0"},
            "situs": {"line1": f"{d['number']} {d['street']}", "city": d["city"]},
            "land_use": d["use"],
            "assessment": {"total": d["value"], "currency": "USD"},
            "year_built": d["built"],
            "acres": d["acres"],
            "remarks": f"<p>Zoned&nbsp;{d['zone']}.\n  Last sale: {d['sold']}.</p>",
            "flags": d["tags"] + ["  "],
        }
    }
    return json.dumps(doc, ensure_ascii=False).encode("utf-8")


def reply_for(parcel: Parcel, seed: int = SEED) -> tuple[int, str, bytes] | None:
    """(status, content type, body) of a parcel's page; None for a dropped connection."""
    ctype = "application/json" if parcel.kind == "json" else "text/html; charset=utf-8"
    if parcel.fault == "reset":
        return None
    if parcel.fault == "500":
        return 500, "text/html; charset=utf-8", b"<html><body><h1>500 Internal Server Error</h1></body></html>"
    if parcel.fault == "tiny":
        return 200, ctype, TINY_JSON if parcel.kind == "json" else TINY_HTML
    return 200, ctype, json_page(parcel, seed) if parcel.kind == "json" else html_page(parcel, seed)


def reset_connection(handler: BaseHTTPRequestHandler) -> None:
    # A zero linger time makes close() send a reset instead of a FIN.
    handler.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    handler.close_connection = True
    handler.connection.close()


def _send(handler: BaseHTTPRequestHandler, status: int, ctype: str, body: bytes) -> None:
    handler.send_response(status)
    handler.send_header("Content-Type", ctype)
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)


class _SiteHandler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        site: Site = self.server.site
        path = urlsplit(self.path).path
        parcel = site.by_path.get(path)
        site.count(parcel, self.headers.get("X-Work-Item"))
        if parcel is None:
            _send(self, 404, "text/plain", b"no such parcel\n")
            return
        reply = reply_for(parcel, site.seed)
        if reply is None:
            reset_connection(self)
        else:
            _send(self, *reply)


class _ProxyHandler(BaseHTTPRequestHandler):
    """Forwards plain-HTTP requests in absolute form to the site, and only to it."""

    def log_message(self, *args):
        pass

    def do_GET(self):
        site: Site = self.server.site
        target = urlsplit(self.path)
        if target.scheme != "http" or target.netloc != site.netloc:
            _send(self, 403, "text/plain", b"this proxy forwards to the parcel site only\n")
            return
        with site.lock:
            site.proxied += 1
        upstream = http.client.HTTPConnection(target.netloc, timeout=30)
        try:
            headers = {
                k: v for k, v in self.headers.items() if k.lower() not in ("proxy-connection", "connection", "host")
            }
            upstream.request("GET", target.path + (f"?{target.query}" if target.query else ""), headers=headers)
            answer = upstream.getresponse()
            body = answer.read()
        except (ConnectionError, http.client.HTTPException):
            reset_connection(self)  # the site dropped the connection: so does the proxy
            return
        finally:
            upstream.close()
        _send(self, answer.status, answer.getheader("Content-Type", "text/plain"), body)


class Site:
    """The parcel site and its forwarding proxy, on loopback ports (0: any free one)."""

    def __init__(self, count: int = 300, seed: int = SEED, port: int = 0, proxy_port: int = 0):
        self.seed = seed
        self.parcels = plan(count, seed)
        self.by_path = {p.path: p for p in self.parcels}
        self.lock = threading.Lock()
        self.requests: Counter = Counter()  # per kind: "page", "500", "reset", "tiny", "unknown"
        self.items_seen: set[str] = set()  # work-item ids sent with requests
        self.proxied = 0
        self._servers = []
        for handler, p in ((_SiteHandler, port), (_ProxyHandler, proxy_port)):
            server = ThreadingHTTPServer(("127.0.0.1", p), handler)
            server.daemon_threads = True
            server.site = self
            self._servers.append(server)
        host, port = self._servers[0].server_address[:2]
        self.netloc = f"{host}:{port}"
        self.url = f"http://{self.netloc}"
        self.proxy_url = "http://%s:%d" % self._servers[1].server_address[:2]

    def count(self, parcel: Parcel | None, item: str | None) -> None:
        with self.lock:
            kind = "unknown" if parcel is None else parcel.fault or "page"
            self.requests[kind] += 1
            if item:
                self.items_seen.add(item)

    def reset_counts(self) -> None:
        with self.lock:
            self.requests.clear()
            self.items_seen.clear()
            self.proxied = 0

    def start(self) -> "Site":
        for server in self._servers:
            threading.Thread(target=server.serve_forever, daemon=True).start()
        return self

    def stop(self) -> None:
        for server in self._servers:
            server.shutdown()
            server.server_close()

    def __enter__(self) -> "Site":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--parcels", type=int, default=300)
    parser.add_argument("--seed", type=int, default=SEED)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--proxy-port", type=int, default=0)
    args = parser.parse_args(argv)
    with Site(args.parcels, args.seed, args.port, args.proxy_port) as site:
        print(f"site: {site.url}/parcel/<number> and {site.url}/api/parcel/<number>")
        print(f"proxy: {site.proxy_url}")
        for p in site.parcels[:5]:
            print(f"  e.g. {site.url}{p.path}")
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
