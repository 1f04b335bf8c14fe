"""The lock files agree with pyproject.toml's dependency ranges: every runtime
dependency and test tool is pinned, inside its range, and the oldest-versions
file pins each runtime dependency at its floor."""

from __future__ import annotations

import sys

import pytest
from packaging.requirements import Requirement
from packaging.utils import canonicalize_name
from packaging.version import Version

from support import ROOT, lock_pins

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
RUNTIME = [Requirement(r) for r in PROJECT["project"]["dependencies"]]
TOOLS = [Requirement(r) for r in PROJECT["project"]["optional-dependencies"]["test"]]
BUILD = [Requirement(r) for r in PROJECT["build-system"]["requires"]]


@pytest.mark.parametrize("lock", ["constraints.txt", "constraints-oldest.txt"])
def test_lock_pins_every_requirement_inside_its_range(lock):
    pinned = lock_pins(lock)
    for req in RUNTIME + TOOLS + BUILD:
        name = canonicalize_name(req.name)
        assert name in pinned, f"{lock} does not pin {req.name}"
        assert req.specifier.contains(pinned[name], prereleases=True), \
            f"{lock}: {req.name}=={pinned[name]} is outside {req.specifier}"


def test_oldest_lock_pins_each_runtime_floor():
    pinned = lock_pins("constraints-oldest.txt")
    for req in RUNTIME:
        floors = [Version(s.version) for s in req.specifier if s.operator == ">="]
        assert floors == [Version(pinned[canonicalize_name(req.name)])], req
