"""help() and pydoc show each public function as for an interpreted one: the
signature line with its defaults, then a docstring that describes every
parameter."""

from __future__ import annotations

import importlib
import inspect
import io
import pydoc
import re

import pytest


def public(sc):
    configuration = importlib.import_module("Nexra_publish.configuration")
    found = []
    for module in (configuration, sc):
        for _name, value in sorted(vars(module).items()):
            if callable(value) and not isinstance(value, type) and \
                    getattr(value, "__module__", None) == module.__name__:
                found.append((module, value))
    return found


@pytest.fixture(scope="module")
def functions(sc):
    found = public(sc)
    assert len(found) == 14
    return found


def flat(text: str) -> str:
    """Each line without its indentation: pydoc indents the docstring."""
    return "\n".join(line.strip() for line in text.splitlines())


def help_text(obj) -> str:
    out = io.StringIO()
    pydoc.Helper(output=out).help(obj)
    return out.getvalue()


def test_help_shows_signature_and_docstring(functions):
    for _, fn in functions:
        text = help_text(fn)
        signature = f"{fn.__name__}{inspect.signature(fn)}"
        assert re.search(rf"^{re.escape(signature)}$", text, re.M), (signature, text)
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
            assert f"\n    {fn.__name__}{inspect.signature(fn)}\n" in text, fn.__name__
