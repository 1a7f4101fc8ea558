#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# batch_scaling.sh - how batch decoding scales with worker threads.
#
# Makes 100,000 short messages with `trirotor encode --jsonl`, then times
# `trirotor decode --jsonl -j 1` against `-j 2` (best of three runs each) and
# prints the speed-up. Each record is independent and each worker has its
# own engine, so on two free cores the speed-up comes close to 2. The CPU
# time is printed beside it: on a busy machine the wall-clock ratio says
# more about the neighbours than about the tool, while equal CPU time for
# -j 1 and -j 2 shows that the threads add no work of their own.
# Then the same -j 2 run with the records coming through a pipe: the reader
# answers what has arrived whenever reading on would wait, and this shows
# that a full pipe still goes in whole chunks (pipe and file rates agree).
#
#   bench/batch_scaling.sh [TRIROTOR] [RECORDS]    (default build/trirotor 100000)
set -euo pipefail

tool=${1:-build/trirotor}
records=${2:-100000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Short notes of about 10 to 200 characters, each under a key of its own.
awk -v n="$records" 'BEGIN {
  srand(7);
  split("the of message and key rotor a sealed text letter is by harbour wind mill", w, " ");
  for (i = 0; i < n; i++) {
    len = 3 + int(rand() * 35); s = "";
    for (j = 0; j < len; j++) s = s w[1 + int(rand() * 15)] " ";
    printf "{\"id\":%d,\"text\":\"%s\",\"key\":\"key-%d\"}\n", i, s, i;
  }
}' > "$work/plain.jsonl"
"$tool" encode --jsonl --quiet "$work/plain.jsonl" |
  sed -E 's/^\{"id":([0-9]+),/{"id":\1,"key":"key-\1",/' > "$work/sealed.jsonl"

# Prints "wall cpu" in seconds for the fastest of three runs with $1 workers
# ($2 "pipe": the records through a pipe instead of the file).
measure() {
  local best="" line TIMEFORMAT='%R %U %S'
  for _ in 1 2 3; do
    if [ "${2:-}" = pipe ]; then
      # shellcheck disable=SC2002  # the pipe is what is measured
      line=$( { time cat "$work/sealed.jsonl" | "$tool" decode --jsonl --quiet -j "$1" > "$work/out-pipe.jsonl"; } 2>&1 )
    else
      line=$( { time "$tool" decode --jsonl --quiet -j "$1" "$work/sealed.jsonl" > "$work/out-$1.jsonl"; } 2>&1 )
    fi
    read -r wall user sys <<< "$line"
    if [ -z "$best" ] || [ "$(echo "$wall < ${best%% *}" | bc -l)" = 1 ]; then
      best="$wall $(echo "$user + $sys" | bc -l)"
    fi
  done
  echo "$best"
}

read -r wall1 cpu1 <<< "$(measure 1)"
read -r wall2 cpu2 <<< "$(measure 2)"
read -r wallp cpup <<< "$(measure 2 pipe)"
cmp -s "$work/out-1.jsonl" "$work/out-2.jsonl" || { echo "outputs of -j 1 and -j 2 differ" >&2; exit 1; }
cmp -s "$work/out-2.jsonl" "$work/out-pipe.jsonl" || { echo "outputs from a file and a pipe differ" >&2; exit 1; }
failed=$(grep -vc '"text"' "$work/out-1.jsonl" || true)
[ "$failed" = 0 ] || { echo "$failed records did not decode" >&2; exit 1; }
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
printf -- '-j 1: %6.2f s wall, %6.2f s CPU, %8.0f records/s\n' "$wall1" "$cpu1" "$(echo "$records / $wall1" | bc -l)"
printf -- '-j 2: %6.2f s wall, %6.2f s CPU, %8.0f records/s\n' "$wall2" "$cpu2" "$(echo "$records / $wall2" | bc -l)"
printf -- '-j 2 from a pipe: %6.2f s wall, %6.2f s CPU, %8.0f records/s\n' "$wallp" "$cpup" \
  "$(echo "$records / $wallp" | bc -l)"
printf 'speed-up with -j 2: %.2f (CPU time ratio -j 2 / -j 1: %.2f)\n' \
  "$(echo "$wall1 / $wall2" | bc -l)" "$(echo "$cpu2 / $cpu1" | bc -l)"
