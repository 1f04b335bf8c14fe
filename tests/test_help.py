"""help() and pydoc show each public function as for an interpreted one: the
signature line with its defaults, then a docstring that describes every
parameter."""

from __future__ import annotations

import importlib
import inspect
import io
import pydoc
import re
from pathlib import Path

import pytest


def public(sc):
    configuration = importlib.import_module("Nexra_publish.configuration")
    workqueue = importlib.import_module("Nexra_publish.workqueue")
    found = []
    for module in (configuration, sc, workqueue):
        for _name, value in sorted(vars(module).items()):
            if (
                callable(value)
                and not isinstance(value, type)
                and getattr(value, "__module__", None) == module.__name__
            ):
                found.append((module, value))
    return found


@pytest.fixture(scope="module")
def functions(sc):
    found = public(sc)
    assert len(found) == 14 + 13
    return found


def flat(text: str) -> str:
    """Each line without its indentation: pydoc indents the docstring."""
    return "\n".join(line.strip() for line in text.splitlines())


def help_text(obj) -> str:
    out = io.StringIO()
    pydoc.Helper(output=out).help(obj)
    return out.getvalue()


def interpreted(fn):
    """A function written in Python with the name and signature of `fn`: pydoc's
    rendering of its signature is the one expected (from 3.14 pydoc breaks a
    long one over several lines)."""
    ns: dict = {}
    exec(f"def {fn.__name__}{inspect.signature(fn)}: pass", ns)
    return ns[fn.__name__]


def signature_block(fn) -> str:
    """The lines pydoc's text of `fn` gives its name and signature."""
    return pydoc.plaintext.document(interpreted(fn)).rstrip("\n")


def test_help_shows_signature_and_docstring(functions):
    for _, fn in functions:
        text = help_text(fn)
        signature = signature_block(fn)
        assert f"\n{signature}\n" in text, (signature, text)
        doc = inspect.getdoc(fn)
        assert flat(doc) in flat(text), fn.__name__


def test_docstrings_describe_every_parameter(functions):
    for _, fn in functions:
        doc = inspect.getdoc(fn)
        summary, blank, *body = doc.splitlines()
        assert summary.endswith(".") and not blank and body, fn.__name__
        for name in inspect.signature(fn).parameters:
            assert re.search(rf"\b{name}\b", "\n".join(body)), (fn.__name__, name)


def test_module_help_lists_every_function_with_its_signature(functions):
    for module in {m for m, _ in functions}:
        text = pydoc.render_doc(module, renderer=pydoc.plaintext)
        for _, fn in (p for p in functions if p[0] is module):
            block = signature_block(fn).replace("\n", "\n    ")
            assert f"\n    {block}\n" in text, fn.__name__


# The README's signatures, as it writes them: `name(parameters)`, perhaps over
# several lines, "..." for "as the one before", <setting> for a default taken
# from a setting at import.
README = Path(__file__).resolve().parent.parent / "README.md"
README_SIGNATURE = re.compile(r"`(\w+)\(([^`)]*)\)`")


def readme_parameters(text: str) -> str:
    return re.sub(r"\s+", " ", text).replace('"', "'").replace("=<setting>", "=SETTING")


def test_readme_signatures_agree_with_the_functions(functions):
    written = {}
    for name, params in README_SIGNATURE.findall(README.read_text(encoding="utf-8")):
        if params.strip() not in ("...", ""):
            written.setdefault(name, readme_parameters(params))
    checked = [fn for _, fn in functions if fn.__name__ in written]
    assert len(checked) >= 10, sorted(written)
    for module, fn in functions:
        if fn.__name__ not in written:
            continue
        setting_default = {p.default for p in inspect.signature(fn).parameters.values()} & {
            getattr(module, "pagesave_path", None)
        }
        actual = str(inspect.signature(fn))[1:-1]
        for value in setting_default - {None}:
            actual = actual.replace(f"={value!r}", "=SETTING")
        assert written[fn.__name__] == actual, fn.__name__
