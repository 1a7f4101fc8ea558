#!/bin/sh
# wine-exe.sh - runs a Windows program under Wine as if it were native, for
# scripts that take a program's path (scripts/check_vectors.py):
#   TRIROTOR_EXE=build-win/trirotor.exe tests/windows/wine-exe.sh ARGS...
exec wine "${TRIROTOR_EXE:?set TRIROTOR_EXE to the .exe}" "$@"
