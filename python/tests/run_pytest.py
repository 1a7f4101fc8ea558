"""Runs pytest on the given arguments for CTest; exits 77 (a skip for CTest)
when the interpreter has no pytest."""

import sys


def main() -> int:
    try:
        import pytest
    except ImportError:
        print("pytest is not installed for", sys.executable, "- the Python tests are skipped")
        return 77
    return pytest.main(sys.argv[1:])


# Worker processes started by the cluster tests import this file again.
if __name__ == "__main__":
    sys.exit(main())
