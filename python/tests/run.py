#!/usr/bin/python3
"""Runs the package's tests with pytest:  run.py TESTDIR

Exits 77 (skipped) when pytest or numpy is missing, except under CI (the
environment variable CI set), where that fails. No cache is written into the
source tree.
"""

import os
import sys

try:
    import numpy  # noqa: F401
    import pytest
except ImportError as missing:
    print("%s: %s (scripts/deps.sh installs it)" % ("FAILED" if os.environ.get("CI") else "SKIPPED", missing))
    sys.exit(1 if os.environ.get("CI") else 77)

sys.exit(pytest.main(["-p", "no:cacheprovider", "-q", "-rs", sys.argv[1]]))
