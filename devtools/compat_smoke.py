"""Smoke check of a build for another interpreter: the configuration module
loads, looks settings up, raises the interpreter's own TypeError texts, and
refuses re-initialisation and a second interpreter. Run from a directory
holding config.py (a = 1) and config.json ({"c": 3}); see `make compat`."""

import importlib.util
import inspect
import sys

import Nexra_publish.configuration as c

g = c.get_config
assert (g("a"), g("c"), g("nope", 5), g(key="CONFIG_FILE")) == (1, 3, 5, "config.json")


def get_config(key, default=None):
    pass


msgs = []
for args, kw in [((), {}), ((1, 2, 3), {}), ((1,), {"key": 2}), ((), {"x": 1})]:
    for fn in (g, get_config):
        try:
            fn(*args, **kw)
        except TypeError as e:
            msgs.append(str(e))
assert msgs[0::2] == msgs[1::2], msgs
assert str(inspect.signature(g)) == "(key, default=None)"
spec = importlib.util.find_spec("Nexra_publish.configuration")
try:
    spec.loader.exec_module(importlib.util.module_from_spec(spec))
    raise SystemExit("no reinit error")
except RuntimeError as e:
    assert "Re-initialisation is not supported" in str(e)
import _testcapi  # noqa: E402 (only once the checks above passed)

sys.stdout.flush()
_testcapi.run_in_subinterp("try:\n import Nexra_publish.configuration\nexcept ImportError as e:\n print('sub:', e)\n")
print(sys.version.split()[0], "ok")
