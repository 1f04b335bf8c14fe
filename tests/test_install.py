"""The lock files agree with pyproject.toml: each pins every requirement inside
its range, and the oldest-versions file pins each runtime dependency at its floor."""

from __future__ import annotations

import sys

import pytest
from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet
from packaging.utils import canonicalize_name

from support import ROOT, lock_pins

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
RUNTIME = [Requirement(r) for r in PYPROJECT["project"]["dependencies"]]
OTHERS = [Requirement(r) for r in PYPROJECT["project"]["optional-dependencies"]["test"] +
          PYPROJECT["build-system"]["requires"]]


@pytest.mark.parametrize("lock, at_floor", [("constraints.txt", False),
                                            ("constraints-oldest.txt", True)])
def test_lock_pins_every_requirement_inside_its_range(lock, at_floor):
    pinned = lock_pins(lock)
    for req in RUNTIME + OTHERS:
        version = pinned.get(canonicalize_name(req.name))
        assert version and req.specifier.contains(version, prereleases=True), (lock, req)
        if at_floor and req in RUNTIME:
            floor = next(s.version for s in req.specifier if s.operator == ">=")
            assert SpecifierSet(f"=={floor}").contains(version), (lock, req, version)
