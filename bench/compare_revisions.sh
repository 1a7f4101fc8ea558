#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# compare_revisions.sh - the engine's benchmarks at two or more git
# revisions, side by side in one run: each revision is checked out into its
# own worktree under build-revisions/, built in Release, and the
# trirotor_bench binaries then run in turns (A, B, C, then B, C, A, ...) so
# that all see the same load. Prints, for every benchmark all revisions
# have, the median CPU time of each and its ratio to the first revision's
# (below 1: faster), and for benchmarks that count bytes the cycles per byte.
#
#   bench/compare_revisions.sh OLD NEW [FILTER]
#   bench/compare_revisions.sh HEAD~3 HEAD 'DecryptBuffer|InitCipher'
#   FILTER='BM_DecryptBuffer/' bench/compare_revisions.sh b3c97f5 30edc68 .
#
# NEW may be "." for the working tree as it stands, uncommitted changes
# included. A last argument that names no revision is the benchmark filter
# (or set FILTER). ROUNDS (default 5) sets the number of turns; each turn
# runs each benchmark once with --benchmark_min_time=MIN_TIME (default 0.2,
# in seconds). There are no hardware counters on a virtual machine, so
# cycles are CPU time times the clock: CLOCK_MHZ, by default the first
# "cpu MHz" of /proc/cpuinfo, a nominal clock that ignores boost.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
  sed -n '4,22p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
filter=${FILTER:-.}
revisions=("$@")
last=${revisions[-1]}
if [ $# -ge 3 ] && [ "$last" != . ] && ! git rev-parse --verify --quiet "$last^{commit}" >/dev/null; then
  filter=$last
  unset 'revisions[-1]'
fi
rounds=${ROUNDS:-5}
min_time=${MIN_TIME:-0.2}
clock_mhz=${CLOCK_MHZ:-$(awk -F: '/^cpu MHz/ { print $2 + 0; exit }' /proc/cpuinfo)}
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

echo "== building ${revisions[*]} (Release)" >&2
binaries=()
for rev in "${revisions[@]}"; do
  binaries+=("$(build_of "$rev")")
done

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
count=${#revisions[@]}
for ((round = 1; round <= rounds; round++)); do
  echo "== round $round of $rounds" >&2
  # Each round starts with the next revision, so none always runs first.
  for ((k = 0; k < count; k++)); do
    side=$(((round - 1 + k) % count))
    "${binaries[side]}" --benchmark_filter="$filter" --benchmark_min_time="$min_time" \
      --benchmark_format=json >"$results/$side-$round.json" 2>/dev/null
  done
done

python3 - "$results" "$clock_mhz" "${revisions[@]}" <<'PY'
import glob, json, statistics, sys
folder, clock_mhz, revisions = sys.argv[1], float(sys.argv[2]), sys.argv[3:]

def runs(side):
    seen = {}
    for path in sorted(glob.glob(f"{folder}/{side}-*.json")):
        for b in json.load(open(path))["benchmarks"]:
            if b.get("run_type", "iteration") != "iteration":
                continue
            # Manual-time benchmarks charge real_time; the rest their CPU time,
            # and bytes_per_second is counted against the same time.
            t = b["real_time"] if "manual_time" in b["name"] else b["cpu_time"]
            cpb = clock_mhz * 1e6 / b["bytes_per_second"] if b.get("bytes_per_second") else None
            seen.setdefault(b["name"], []).append((t, b["time_unit"], cpb))
    return seen

sides = [runs(k) for k in range(len(revisions))]
names = [n for n in sides[0] if all(n in s for s in sides)]
width = max((len(n) for n in names), default=10)
cols = max(12, max(len(r) for r in revisions))
head = f"{'benchmark':<{width}}" + "".join(f"  {r:>{cols}}" for r in revisions)
head += "".join(f"  {'/' + revisions[0][:9]:>10}" for r in revisions[1:])
print(f"CPU time, median of each revision's runs; cycles per byte at {clock_mhz:.0f} MHz")
print(head)
for name in names:
    times = [statistics.median(t for t, _, _ in s[name]) for s in sides]
    unit = sides[0][name][0][1]
    line = f"{name:<{width}}" + "".join(f"  {t:>{cols - 2}.3f}{unit:>2}" for t in times)
    line += "".join(f"  {t / times[0]:>10.3f}" for t in times[1:])
    print(line)
    if all(s[name][0][2] for s in sides):
        cpb = [statistics.median(c for _, _, c in s[name]) for s in sides]
        line = f"{'  cycles/byte':<{width}}" + "".join(f"  {c:>{cols}.2f}" for c in cpb)
        line += "".join(f"  {c / cpb[0]:>10.3f}" for c in cpb[1:])
        print(line)
every = set().union(*sides)
only = sorted(n for n in every if not all(n in s for s in sides))
if only:
    print("not in every revision: " + ", ".join(only))
PY
