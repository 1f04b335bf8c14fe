"""What the three fuzz targets share: loading Scrape_common (the fuzzing build
named by NEXRA_FUZZ_BUILD, else the installed package), building structured
values from the fuzzer's bytes, and comparing outcomes with an oracle.

Every input's first byte picks a form: an even byte takes the rest as text
(UTF-8, undecodable bytes as lone surrogates), so seeds can be plain HTML,
JSON or page names; an odd byte hands the rest to a FuzzedDataProvider, which
builds nested values of many types.
"""

from __future__ import annotations

import collections
import os
import struct
import sys
import tempfile
from pathlib import Path

import atheris

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))


def load_scrape_common():
    build = os.environ.get("NEXRA_FUZZ_BUILD")
    if build:
        sys.path.insert(0, str(Path(build).resolve()))
    from bench.bench import load_scrape_common as load

    sc = load(Path(tempfile.mkdtemp(prefix="nexra-fuzz-")) / "job")
    if build and not Path(sc.__file__).resolve().is_relative_to(Path(build).resolve()):
        raise SystemExit(f"Scrape_common came from {sc.__file__}, not from {build}")
    print(f"fuzzing {sc.__file__}", file=sys.stderr)
    return sc


def text_of(data: bytes) -> str:
    return data.decode("utf-8", "surrogateescape")


def structured(data: bytes) -> bool:
    return bool(data) and data[0] & 1 == 1


# --- Values from the fuzzer's bytes ---------------------------------------------------------


class Text(str):
    """A str subclass with the methods of str."""


class StripsToNothing(str):
    def strip(self, chars=None):
        return ""


class Int(int):
    pass


class Float(float):
    pass


class Dict(dict):
    pass


class List(list):
    pass


# Pieces that reach the branches of the text cleaner: references of every form,
# the blocks it removes, tags, white space of both kinds, characters that
# IGNORECASE folds onto ASCII letters, NFKD cases, surrogates.
HTML_PIECES = [
    "<",
    ">",
    "&",
    ";",
    "#",
    "#x",
    "#X",
    "x",
    "amp",
    "lt",
    "gt",
    "nbsp",
    "quot",
    "not",
    "notit",
    "&amp;",
    "&AMP;",
    "&lt;",
    "&gt;",
    "&Gt;",
    "&nbsp;",
    "&nb\u017fp;",
    "&#10;",
    "&#13;",
    "&#9;",
    "&#0;",
    "&#128;",
    "&#x",
    "&#",
    "&#x1F600;",
    "&#xD800;",
    "&#x110000;",
    "&#65;",
    "&foo;",
    "&FOO;",
    "&amp;lt;",
    "&amp;gt;",
    "<script>",
    "</script>",
    "<SCRIPT a=1>",
    "<\u017fcript>",
    "</scr\u0131pt>",
    "<style>",
    "</style>",
    "</STYLE>",
    "<!--",
    "-->",
    "* style specs start",
    "style specs end",
    " *",
    "<b>",
    "</b>",
    "<br/>",
    "<p class='a'>",
    "<a\nb>",
    "<>",
    "\n",
    "\r",
    "\t",
    " ",
    "  ",
    "\x0b",
    "\x0c",
    "\x1c",
    "\x85",
    "\u00a0",
    "\u1680",
    "\u2003",
    "\u2028",
    "\u3000",
    "\u200b",
    "\ufeff",
    "\u0099",
    "\u017f",
    "\u0130",
    "\u0131",
    "\u212a",
    "\u2122",
    "\ufb01",
    "\u00e9",
    "e\u0301",
    "\u00a8",
    "\u00bd",
    "\uac00",
    "\ud800",
    "\udfff",
    "\U0001f600",
    "\U0001d400",
    "a",
    "b",
    "s",
    "i",
    "k",
    "S",
    "I",
    "K",
    "1",
    "0",
    "9",
    "f",
    "F",
    "=",
    '"',
    "'",
    "/",
    "script",
    "style",
    "-",
    "!",
    "*",
]

# Pieces of JSON texts: escapes, control characters, non-ASCII and astral.
JSON_PIECES = [
    '"',
    "\\",
    "/",
    "\b",
    "\f",
    "\n",
    "\r",
    "\t",
    "\x00",
    "\x1f",
    "\x7f",
    "\x80",
    "\u00e9",
    "\u2028",
    "\ud800",
    "\udc00",
    "\ud83d\ude00",
    "\U0001f600",
    "\uffff",
    "a",
    "A",
    "z",
    "0",
    " ",
    "key",
    "_id",
]

# Pieces of page-save names and parcel numbers.
PAGE_PIECES = [
    "\\",
    "\\\\",
    "/",
    ":",
    "C",
    "c",
    "z",
    "Z",
    "\u00e9",
    ".html",
    ".json",
    ".htm",
    ".HTML",
    ".",
    "html",
    "json",
    "1",
    "12",
    "123",
    "0",
    "-",
    "_",
    " ",
    "\t",
    "\u3000",
    "\x85",
    "\u200b",
    "\ud800",
    "\U0001f600",
    "\x00",
]

SPECIAL_FLOATS = [
    0.0,
    -0.0,
    1.0,
    0.1,
    1e16,
    1e22,
    1e-7,
    5e-324,
    2.2250738585072014e-308,
    1.7976931348623157e308,
    123456789.0,
    1e15,
    0.5,
    float("nan"),
    float("inf"),
    float("-inf"),
]


def fuzz_text(fdp: atheris.FuzzedDataProvider, pieces, max_parts: int = 16) -> str:
    parts = []
    for _ in range(fdp.ConsumeIntInRange(0, max_parts)):
        pick = fdp.ConsumeIntInRange(0, len(pieces) + 2)
        if pick < len(pieces):
            parts.append(pieces[pick])
        elif pick == len(pieces):
            parts.append(chr(fdp.ConsumeIntInRange(0, 0x10FFFF)))
        elif pick == len(pieces) + 1:
            parts.append(chr(fdp.ConsumeIntInRange(0x20, 0x7E)))
        else:
            parts.append(fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 8)))
    return "".join(parts)


def fuzz_int(fdp: atheris.FuzzedDataProvider) -> int:
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return fdp.ConsumeIntInRange(-3, 300)
    if kind == 1:
        return fdp.ConsumeInt(8)
    if kind == 2:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(9, 64))
    # Beyond the interpreter's default limit of digits for int <-> str (4300).
    return 10 ** fdp.ConsumeIntInRange(4295, 4305) * (1 if fdp.ConsumeBool() else -1)


def fuzz_float(fdp: atheris.FuzzedDataProvider) -> float:
    kind = fdp.ConsumeIntInRange(0, 2)
    if kind == 0:
        return fdp.PickValueInList(SPECIAL_FLOATS)
    if kind == 1:
        return struct.unpack("<d", fdp.ConsumeBytes(8).ljust(8, b"\0"))[0]
    return fdp.ConsumeRegularFloat()


class Circular(Exception):
    pass


def circular(fdp: atheris.FuzzedDataProvider):
    if fdp.ConsumeBool():
        c = [1]
        c.append(c)
    else:
        c = {"a": 1}
        c["b"] = [c]
    return c


def fuzz_json_value(fdp: atheris.FuzzedDataProvider, depth: int = 0):
    """A value for json.dumps: mostly what it represents, now and then a
    subclass, a key it must refuse or sort, or an object it rejects."""
    kind = fdp.ConsumeIntInRange(0, 19 if depth < 4 else 9)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind in (2, 3):
        return fuzz_int(fdp)
    if kind in (4, 5):
        return fuzz_float(fdp)
    if kind in (6, 7, 8):
        return fuzz_text(fdp, JSON_PIECES)
    if kind == 9:
        return fdp.PickValueInList(
            [
                Int(fdp.ConsumeInt(4)),
                Float(fuzz_float(fdp)),
                Text(fuzz_text(fdp, JSON_PIECES)),
                {1, 2},
                b"x",
                object(),
                True,
                False,
            ]
        )
    if kind in (10, 11, 12):
        return [fuzz_json_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if kind == 13:
        return tuple(fuzz_json_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    if kind == 14:
        return circular(fdp)
    if kind == 15:
        d = fuzz_json_dict(fdp, depth)
        return fdp.PickValueInList([Dict, List, collections.OrderedDict])(d) if d else d
    return fuzz_json_dict(fdp, depth)


def fuzz_json_key(fdp: atheris.FuzzedDataProvider):
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind <= 10:
        return fuzz_text(fdp, JSON_PIECES, 4)
    if kind == 11:
        return fuzz_int(fdp) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(-2, 2)
    if kind == 12:
        return fuzz_float(fdp)
    if kind == 13:
        return fdp.PickValueInList([True, False, None])
    if kind == 14:
        return Text(fuzz_text(fdp, JSON_PIECES, 4))
    return (1, 2)


def fuzz_json_dict(fdp: atheris.FuzzedDataProvider, depth: int = 0) -> dict:
    return {fuzz_json_key(fdp): fuzz_json_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 6))}


# --- Outcomes ---------------------------------------------------------------------------------


def outcome(fn, *args):
    """("ok", result) or ("error", type, text): an exception is a result too."""
    try:
        return ("ok", fn(*args))
    except Exception as exc:  # noqa: BLE001 - compared as they come
        return ("error", type(exc), str(exc))


class Difference(AssertionError):
    pass


def differ(what: str, args, native, expected):
    raise Difference(
        f"{what} differs from its oracle\n  input:  {args!r}\n  native: {native!r}\n  oracle: {expected!r}"
    )
