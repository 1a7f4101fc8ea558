#!/usr/bin/env bash
# recover_speed.sh - what `trirotor recover` costs a candidate, in CPU time
# and in wall time, on one thread and on every core, for three searches
# over a 10 KB message that none of their candidates opens: a mask, a word
# list with hashcat's best64 rules, and a word list with a suffix mask.
#
#   bench/recover_speed.sh [TOOL]            (default: build/trirotor)
#   BASE=30edc68 bench/recover_speed.sh      the tool at BASE side by side
#   BASE=30edc68 BASE_TOOL=PATH ...          the same, with that tool built already
#
# With BASE the tool of that revision is built (Release, in a worktree
# under build-revisions/, as compare_revisions.sh does for the engine) and
# the two tools run in turns, ROUNDS times each (default 3), so that both
# see the same load. The machine may be shared and busy: CPU time per
# candidate (user + system, of the whole process, start-up and counting
# included) is what to compare; wall time is shown beside it. Cycles are
# CPU time times the clock /proc/cpuinfo reports (CLOCK_MHZ to override),
# divided by the key schedule's 895 swaps: an estimate at the nominal clock.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${1:-build/trirotor}
rounds=${ROUNDS:-3}
jobs=$(nproc)
clock_mhz=${CLOCK_MHZ:-$(awk -F: '/^cpu MHz/ { print $2 + 0; exit }' /proc/cpuinfo)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tools=("$tool")
names=(this)
if [ -n "${BASE:-}" ] && [ -n "${BASE_TOOL:-}" ]; then  # that revision's tool, built already
  tools=("$BASE_TOOL" "$tool")
  names=("$BASE" this)
elif [ -n "${BASE:-}" ]; then
  commit=$(git rev-parse --verify "$BASE^{commit}")
  src=$PWD/build-revisions/src-$commit
  build=$PWD/build-revisions/build-cli-$commit
  [ -d "$src" ] || git worktree add --detach "$src" "$commit" >/dev/null 2>&1
  echo "== building the tool at $BASE (Release)" >&2
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRIROTOR_BUILD_TESTS=OFF -DTRIROTOR_GUI=OFF \
        -DTRIROTOR_PYTHON=OFF -DTRIROTOR_INSTALL=OFF -DTRIROTOR_MANPAGES=OFF >/dev/null
  cmake --build "$build" --target trirotor >/dev/null
  tools=("$build/trirotor" "$tool")
  names=("$BASE" this)
fi

head -c 10240 /dev/zero | tr '\0' 'a' | sed 's/aaaaaaaaaa/ferry road/g' > "$work/plain.txt"
"$tool" encode --key 'the right key' "$work/plain.txt" > "$work/m.b64"
seq 1 5000 | sed 's/^/word/' > "$work/words.txt"
seq 1 100 | sed 's/^/name/' > "$work/names.txt"
best64=tests/data/hashcat/rules/best64.rule

# name|options; the count is the tool's own (--dry-run).
searches=(
  "mask|--mask ?l?l?l?l"
  "rules|--wordlist $work/words.txt --rules $best64"
  "suffix-mask|--wordlist $work/names.txt --suffix-mask ?l?l?d"
)
count_of() {
  # shellcheck disable=SC2086 # the options are words
  "$tool" recover --dry-run $1 "$work/m.b64" | sed 's/ candidate.*//; s/,//g'
}

# "user+system wall" seconds of one run.
measure() {
  /usr/bin/time -o "$work/time" -f '%U %S %e' "$@" >/dev/null 2>&1 || true
  awk 'END { printf "%.3f %.3f\n", $1 + $2, $3 }' "$work/time"
}

results=$work/results
: > "$results"
for ((round = 1; round <= rounds; round++)); do
  echo "== round $round of $rounds" >&2
  for search in "${searches[@]}"; do
    IFS='|' read -r name options <<<"$search"
    count=$(count_of "$options")
    for j in 1 "$jobs"; do
      for ((k = 0; k < ${#tools[@]}; k++)); do
        side=$(((round + k) % ${#tools[@]}))
        rm -f "$work/s"
        # shellcheck disable=SC2086 # the options are words
        read -r cpu wall < <(measure "${tools[side]}" recover -q -j "$j" --session "$work/s" $options "$work/m.b64")
        echo "$name $j ${names[side]} $count $cpu $wall" >> "$results"
      done
    done
  done
done

python3 - "$results" "$clock_mhz" "${names[@]}" <<'PY'
import collections, statistics, sys
path, clock_mhz, names = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
runs = collections.defaultdict(list)
counts = {}
for line in open(path):
    name, jobs, side, count, cpu, wall = line.split()
    runs[name, int(jobs), side].append((float(cpu), float(wall)))
    counts[name] = int(count)
print(f"median of {len(next(iter(runs.values())))} runs; cycles at {clock_mhz:.0f} MHz, 895 swaps a candidate")
print(f"{'search':12} {'-j':>3} {'tool':>9} {'candidates':>11} {'CPU ns/cand':>12} {'per CPU-s':>10} "
      f"{'cyc/swap':>9} {'wall s':>7} {'CPU vs base':>12}")
for (name, jobs) in sorted({(n, j) for n, j, _ in runs}, key=lambda k: (list(counts).index(k[0]), k[1])):
    base = None
    for side in names:
        cpu = statistics.median(c for c, _ in runs[name, jobs, side])
        wall = statistics.median(w for _, w in runs[name, jobs, side])
        ns = cpu / counts[name] * 1e9
        base = base or ns
        print(f"{name:12} {jobs:>3} {side:>9} {counts[name]:>11,} {ns:>12,.0f} {1e9 / ns:>10,.0f} "
              f"{ns * clock_mhz / 1000 / 895:>9.2f} {wall:>7.2f} {base / ns:>11.2f}x")
PY
