#!/usr/bin/python3
"""Runs the package's tests with pytest:  run.py TESTS [PYTEST OPTIONS]

Exits 77 (skipped) when pytest or numpy is missing, or when every test that
ran passed but some were skipped (a tool they need is missing), except under
CI (the environment variable CI set), where a missing tool fails. No cache is
written into the source tree.
"""

import os
import sys

try:
    import numpy  # noqa: F401
    import pytest
except ImportError as missing:
    print("%s: %s (scripts/deps.sh installs it)" % ("FAILED" if os.environ.get("CI") else "SKIPPED", missing))
    sys.exit(1 if os.environ.get("CI") else 77)


class Skips:
    count = 0

    def pytest_runtest_logreport(self, report):
        self.count += report.skipped


skips = Skips()
status = pytest.main(["-p", "no:cacheprovider", "-q", "-rs", *sys.argv[1:]], plugins=[skips])
sys.exit(77 if status == 0 and skips.count else status)
