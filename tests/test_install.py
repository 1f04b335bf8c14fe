"""The lock files agree with pyproject.toml: each pins every requirement inside
its range, and the oldest-versions file pins each runtime dependency at its floor."""

from __future__ import annotations

import sys

import pytest
from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet
from packaging.utils import canonicalize_name

from support import ROOT, lock_pins

# The lock files are text: the same check on any interpreter, and no native code.
pytestmark = [pytest.mark.no_native, pytest.mark.version_free]

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
RUNTIME = [Requirement(r) for r in PYPROJECT["project"]["dependencies"]]
EXTRAS = PYPROJECT["project"]["optional-dependencies"]


def others(extras):
    """The build backend and the tools of `extras`, where their markers hold."""
    reqs = [Requirement(r) for r in sum((EXTRAS[e] for e in extras), PYPROJECT["build-system"]["requires"])]
    return [r for r in reqs if r.marker is None or r.marker.evaluate()]


# The oldest-versions lock serves the suite only; the fuzz, bench and lint tools
# run on the current interpreter.
@pytest.mark.parametrize(
    "lock, at_floor, extras", [("constraints.txt", False, sorted(EXTRAS)), ("constraints-oldest.txt", True, ["test"])]
)
def test_lock_pins_every_requirement_inside_its_range(lock, at_floor, extras):
    pinned = lock_pins(lock)
    for req in RUNTIME + others(extras):
        version = pinned.get(canonicalize_name(req.name))
        assert version and req.specifier.contains(version, prereleases=True), (lock, req)
        if at_floor and req in RUNTIME:
            floor = next(s.version for s in req.specifier if s.operator == ">=")
            assert SpecifierSet(f"=={floor}").contains(version), (lock, req, version)
