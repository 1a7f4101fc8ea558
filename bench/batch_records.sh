#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# batch_records.sh - records per second of `decode --jsonl` for small, middle
# and large records, with the stage breakdown and the gain of a second worker.
#
# Makes three archives with the tool's own encoder, each record under a key of
# its own: ~100 B notes (short enough to be stored), ~1 KB and ~10 KB letters
# (Huffman-compressed). For each, times `decode --jsonl -j 1` (best of three)
# and `-j 2`, and, when a baseline tool is given (for example main's, built in
# another directory), that tool's `-j 1` in the same run, so the ratio is
# measured side by side. Then trirotor_batch_stages, when it was built
# (-DTRIROTOR_BUILD_BENCHMARKS=ON), prints where the time of a record goes.
#
#   bench/batch_records.sh [TOOL] [BASELINE_TOOL|-] [SCALE]
#       TOOL defaults to build/trirotor; SCALE (default 1) multiplies the
#       record counts (50000, 20000 and 4000).
set -euo pipefail

tool=${1:-build/trirotor}
baseline=${2:--}
scale=${3:-1}
stages="$(dirname "$tool")/trirotor_batch_stages"
[ -x "$stages" ] || stages="$(dirname "$tool")/bench/trirotor_batch_stages"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# $1 name, $2 records, $3 words per record.
make_archive() {
  awk -v n="$2" -v words="$3" 'BEGIN {
    srand(11);
    split("the of message and key rotor a sealed text letter is by harbour wind mill north " \
          "river stone lamp road quiet seven answer winter copper garden", w, " ");
    for (i = 0; i < n; i++) {
      s = "";
      for (j = 0; j < words; j++) s = s w[1 + int(rand() * 26)] " ";
      printf "{\"id\":%d,\"text\":\"%s\",\"key\":\"key-%d\"}\n", i, s, i;
    }
  }' > "$work/$1.plain"
  "$tool" encode --jsonl --quiet "$work/$1.plain" |
    sed -E 's/^\{"id":([0-9]+),/{"id":\1,"key":"key-\1",/' > "$work/$1.jsonl"
}

# Seconds of the fastest of three runs: $1 tool, $2 jobs, $3 archive, $4
# "wall" or "cpu" (user + system: what a busy machine disturbs least).
best_of_three() {
  local best="" line value TIMEFORMAT='%R %U %S'
  for _ in 1 2 3; do
    line=$( { time "$1" decode --jsonl --quiet -j "$2" "$3" > "$work/out.jsonl"; } 2>&1 )
    read -r wall user sys <<< "$line"
    if [ "$4" = cpu ]; then value=$(echo "$user + $sys" | bc -l); else value=$wall; fi
    if [ -z "$best" ] || [ "$(echo "$value < $best" | bc -l)" = 1 ]; then best=$value; fi
  done
  echo "$best"
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
printf '%-8s %8s %14s %14s %7s %14s %14s %8s\n' size records "baseline -j1" "-j 1" ratio "-j 1 wall" "-j 2 wall" "-j2/-j1"
for size in "100B 50000 17" "1KB 20000 170" "10KB 4000 1700"; do
  read -r name count words <<< "$size"
  count=$((count * scale))
  make_archive "$name" "$count" "$words"
  one=$(best_of_three "$tool" 1 "$work/$name.jsonl" cpu)
  failed=$(grep -vc '"text"' "$work/out.jsonl" || true)
  [ "$failed" = 0 ] || { echo "$failed $name records did not decode" >&2; exit 1; }
  wall1=$(best_of_three "$tool" 1 "$work/$name.jsonl" wall)
  wall2=$(best_of_three "$tool" 2 "$work/$name.jsonl" wall)
  base="-" ratio="-"
  if [ "$baseline" != "-" ]; then
    seconds=$(best_of_three "$baseline" 1 "$work/$name.jsonl" cpu)
    base=$(printf '%.0f' "$(echo "$count / $seconds" | bc -l)")
    ratio=$(printf '%.2f' "$(echo "$seconds / $one" | bc -l)")
  fi
  printf '%-8s %8d %14s %14.0f %7s %14.0f %14.0f %8.2f\n' "$name" "$count" "$base" \
    "$(echo "$count / $one" | bc -l)" "$ratio" "$(echo "$count / $wall1" | bc -l)" \
    "$(echo "$count / $wall2" | bc -l)" "$(echo "$wall1 / $wall2" | bc -l)"
done
echo "(records/s; baseline, -j 1 and ratio by CPU time, the rest by wall clock)"

if [ -x "$stages" ]; then
  for name in 100B 1KB 10KB; do
    echo
    echo "$name: $("$stages" "$work/$name.jsonl")"
  done
else
  echo "(build trirotor_batch_stages with -DTRIROTOR_BUILD_BENCHMARKS=ON for the stage breakdown)"
fi
