"""Run at start-up by every interpreter of `make test-asan`, which puts this
directory on PYTHONPATH (fresh interpreters started by the tests inherit it).

gcc's UndefinedBehaviorSanitizer runtime (libubsan, loaded with the sanitized
modules) reads log_path from UBSAN_OPTIONS but passes it to the setter that the
preloaded AddressSanitizer runtime exports, so its own reports would still go to
stderr, where a test capturing a child's output could hide them. Setting the
path on libubsan itself sends them to the log files that `make test-asan` checks.
"""

import ctypes
import os

_options = dict(item.split("=", 1) for item in os.environ.get("UBSAN_OPTIONS", "").split(":") if "=" in item)
if "log_path" in _options:
    try:
        _ubsan = ctypes.CDLL("libubsan.so.1")
    except OSError:  # a runtime that keeps UBSan inside ASan (clang) honours log_path
        pass
    else:
        _ubsan.__sanitizer_set_report_path(_options["log_path"].encode())
    del _ubsan
del _options
