#!/bin/sh
# wine-exe.sh - runs a Windows program under Wine as if it were native, for
# scripts that take a program's path (scripts/check_vectors.py):
#   TRIROTOR_EXE=build-win/trirotor.exe tests/windows/wine-exe.sh ARGS... </dev/null
#
# Now and then (twice in many thousand runs, in CI) Wine ends a start with
# status 1 and not a byte on either stream, which trirotor.exe never does:
# every status 1 of its own says why on standard error. Such a run is made
# once more, and said so; a second one is the program's. Standard input is
# not kept for the second run: give the program none.
exe="${TRIROTOR_EXE:?set TRIROTOR_EXE to the .exe}"
out=$(mktemp) && err=$(mktemp) || exit 1
trap 'rm -f "$out" "$err"' EXIT
for try in 1 2; do
  status=0
  wine "$exe" "$@" >"$out" 2>"$err" || status=$?
  if [ "$try" -eq 1 ] && [ "$status" -eq 1 ] && [ ! -s "$out" ] && [ ! -s "$err" ]; then
    echo "wine-exe.sh: wine gave status 1 and no output at all; running it once more" >&2
    continue
  fi
  break
done
cat "$out"
cat "$err" >&2
exit "$status"
