"""Run the example job end to end on an embedded database of its own.

Starts the test database server (FerretDB) with its data under
example/output/db, a small web site on loopback that serves the parcels'
pages, seeds the input collection, and runs job/scrape.py as a job would run
it. Everything it writes lands in example/output/.
"""

from __future__ import annotations

import html
import json
import os
import random
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pymongo

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
from devtools.testdb import TestDB  # noqa: E402

OUTPUT = HERE / "output"
PARCELS = [f"P{n:05d}" for n in range(1, 13)]


def page(parcel: str) -> bytes:
    rng = random.Random(parcel)
    owner = rng.choice(["Ada Lovelace", "Grace Hopper", "Alan Turing", "Edsger Dijkstra"])
    street = rng.choice(["Main St", "Elm &amp; Oak", "Caf&eacute; Row", "Quay"])
    value = f"{rng.randint(50, 900) * 1000:,}"
    return f"""<!DOCTYPE html><html><head><title>Parcel {parcel}</title>
<style>td {{ color: red }}</style><script>var parcel = "{parcel}";</script></head>
<body><table><tr><td class="owner">  {html.escape(owner)}\u00a0</td>
<td class="value">$ {value}</td></tr></table>
<div class="address"><b>{rng.randint(1, 99)}</b> {street}<br/>Springfield</div>
<div class="notes"><!-- internal --><p>Zoned&nbsp;R-{rng.randint(1, 4)}</p>
<p>Last sale:   {rng.randint(1990, 2025)}</p></div>
<ul class="tags"><li>residential</li><li> </li><li>&lt;b&gt;flood zone&lt;/b&gt;</li></ul>
</body></html>""".encode()


class Site(BaseHTTPRequestHandler):
    def do_GET(self):
        parcel = self.path.rstrip("/").rsplit("/", 1)[-1]
        if parcel not in PARCELS:
            self.send_error(404)
            return
        body = page(parcel)
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main() -> int:
    OUTPUT.mkdir(exist_ok=True)
    site = ThreadingHTTPServer(("127.0.0.1", 0), Site)
    threading.Thread(target=site.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{site.server_address[1]}/parcel/"

    with TestDB(OUTPUT / "db") as uri:
        print(f"database: {uri}\nweb site: {base}")
        job = HERE / "job"
        settings = json.loads((job / "config.json").read_text()) if (job / "config.json").exists() else {}
        settings["connection_string"] = uri
        overlay = OUTPUT / "config.json"
        overlay.write_text(json.dumps(settings))

        client = pymongo.MongoClient(uri)
        db = client["example_job"]
        db["parcels"].delete_many({})
        db["parcels"].insert_many(
            [{"parcel_number": p, "url": base + p, "status": "pending"} for p in PARCELS]
            + [{"parcel_number": "P99999", "url": base + "P99999", "status": "pending"}])

        env = dict(os.environ, NEXRA_CONFIG=str(overlay), PYTHONIOENCODING="utf-8")
        code = subprocess.call([sys.executable, "scrape.py"], cwd=job, env=env)

        statuses = {d["parcel_number"]: d["status"] for d in db["parcels"].find()}
        stored = db["parcel_records"].count_documents({})
        failures = db["failures_collection"].count_documents({})
        client.close()
    site.shutdown()
    print(f"parcels: {statuses}\nstored records: {stored}, failure records: {failures}")
    print(f"output: {OUTPUT}")
    return code


if __name__ == "__main__":
    sys.exit(main())
