"""Runs pytest on the given arguments; exits 77 (a skip for CTest) when the
interpreter has no pytest, and treats "no tests collected" as a failure."""

import sys

try:
    import pytest
except ImportError:
    print("pytest is not installed for", sys.executable, "- the Python tests are skipped")
    sys.exit(77)

sys.exit(pytest.main(sys.argv[1:]))
