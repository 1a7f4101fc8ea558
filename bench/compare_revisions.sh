#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# compare_revisions.sh - the engine's benchmarks at two git revisions, side
# by side in one run: each revision is checked out into its own worktree
# under build-revisions/, built in Release, and the two trirotor_bench
# binaries then run in turns (A, B, A, B, ...) so that both see the same load.
# Prints, for every benchmark both revisions have, the median CPU time of
# each and the ratio B / A (below 1: B is faster).
#
#   bench/compare_revisions.sh OLD NEW [FILTER]
#   bench/compare_revisions.sh HEAD~3 HEAD 'DecryptBuffer|InitCipher'
#
# NEW may be "." for the working tree as it stands, uncommitted changes
# included. ROUNDS (default 5) sets the number of turns; each turn runs each
# benchmark once with --benchmark_min_time=MIN_TIME (default 0.2, in seconds).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
  sed -n '4,16p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
old=$1 new=$2 filter=${3:-.}
rounds=${ROUNDS:-5}
min_time=${MIN_TIME:-0.2}
root=$PWD
work=$root/build-revisions
mkdir -p "$work"

# The source tree of a revision: a detached worktree, or this tree for ".".
source_of() {
  local rev=$1
  if [ "$rev" = . ]; then
    echo "$root"
    return
  fi
  local commit dir
  commit=$(git rev-parse --verify "$rev^{commit}")
  dir=$work/src-$commit
  if [ ! -d "$dir" ]; then
    git worktree add --detach "$dir" "$commit" >/dev/null 2>&1
  fi
  echo "$dir"
}

build_of() {
  local rev=$1 src build
  src=$(source_of "$rev")
  if [ "$rev" = . ]; then build=$work/build-worktree; else build=$work/build-$(basename "$src"); fi
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRIROTOR_BUILD_BENCHMARKS=ON \
        -DTRIROTOR_BUILD_TESTS=OFF -DTRIROTOR_BUILD_CLI=OFF -DTRIROTOR_GUI=OFF -DTRIROTOR_PYTHON=OFF \
        -DTRIROTOR_INSTALL=OFF >/dev/null
  cmake --build "$build" --target trirotor_bench >/dev/null
  echo "$build/trirotor_bench"
}

echo "== building $old and $new (Release)" >&2
# shellcheck disable=SC2034  # both are read as ${!binary} below
bench_old=$(build_of "$old")
# shellcheck disable=SC2034
bench_new=$(build_of "$new")

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
for ((round = 1; round <= rounds; round++)); do
  echo "== round $round of $rounds" >&2
  for side in old new; do
    binary=bench_$side
    "${!binary}" --benchmark_filter="$filter" --benchmark_min_time="$min_time" \
      --benchmark_format=json >"$results/$side-$round.json" 2>/dev/null
  done
done

python3 - "$results" "$old" "$new" <<'PY'
import glob, json, statistics, sys
folder, old, new = sys.argv[1:4]

def times(side):
    seen = {}
    for path in sorted(glob.glob(f"{folder}/{side}-*.json")):
        for b in json.load(open(path))["benchmarks"]:
            if b.get("run_type", "iteration") != "iteration":
                continue
            # Manual-time benchmarks charge real_time; the rest their CPU time.
            t = b["real_time"] if "manual_time" in b["name"] else b["cpu_time"]
            seen.setdefault(b["name"], []).append((t, b["time_unit"]))
    return seen

a, b = times("old"), times("new")
names = [n for n in a if n in b]
width = max((len(n) for n in names), default=10)
print(f"{'benchmark':<{width}}  {old:>12}  {new:>12}  new/old")
for name in names:
    ta = statistics.median(t for t, _ in a[name])
    tb = statistics.median(t for t, _ in b[name])
    unit = a[name][0][1]
    print(f"{name:<{width}}  {ta:>10.3f}{unit:>2}  {tb:>10.3f}{unit:>2}  {tb / ta:7.3f}")
only = sorted(set(a) ^ set(b))
if only:
    print("in one revision only: " + ", ".join(only))
PY
