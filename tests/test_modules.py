"""The extension modules load, each built for this interpreter."""

import importlib
import importlib.machinery

import pytest


@pytest.mark.parametrize("name", ["configuration", "Scrape_common", "workqueue", "durable", "tables"])
def test_module_loads(sc, name):
    module = importlib.import_module(f"Nexra_publish.{name}")
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
