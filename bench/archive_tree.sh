#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# archive_tree.sh - files per second of `decode -r --output-dir` over a tree
# of small messages, against a shell loop that starts `trirotor decode` once
# per file, in the same run.
#
# Seals COUNT letters of about 1 KB under one key with the tool's own batch
# encoder and writes them as a tree (100 folders of 10 subfolders). Then, one
# after the other on the same machine:
#   - the archive run with -j 1 and with -j (all cores), a report written;
#   - the shell loop, on the first SAMPLE files only (it is slow), scaled to
#     files per second;
#   - `decode --jsonl -j 1` on the same messages: the decode itself, with no
#     file opened or written, so that what the archive run adds per file is
#     its time less this one's, in microseconds per file.
# Each timing is the best of two; the ratios are what to read (the machine
# may be shared).
#
# The loop writes each text to a file of its own, as the archive run does.
# File creation dominates on some disks: give PARENT to measure on the disk
# the archive lives on (a tmpfs such as /dev/shm shows the tool's own cost).
#
#   bench/archive_tree.sh [TOOL] [COUNT] [SAMPLE] [PARENT]
#       TOOL defaults to build/trirotor, COUNT to 100000, SAMPLE to 2000,
#       PARENT (where the tree is made) to $TMPDIR or /tmp.
set -euo pipefail

tool=$(realpath "${1:-build/trirotor}")
count=${2:-100000}
sample=${3:-2000}
work=$(mktemp -d -p "${4:-${TMPDIR:-/tmp}}")
trap 'rm -rf "$work"' EXIT
cd "$work"
printf 'archive-bench-key' > key

awk -v n="$count" 'BEGIN {
  srand(7);
  split("the of message and key rotor a sealed text letter is by harbour wind mill north " \
        "river stone lamp road quiet seven answer winter copper garden", w, " ");
  for (i = 0; i < n; i++) {
    s = "";
    for (j = 0; j < 170; j++) s = s w[1 + int(rand() * 26)] " ";
    printf "{\"id\":%d,\"text\":\"%s\"}\n", i, s;
  }
}' > plain.jsonl
"$tool" encode --jsonl --quiet --key-file key plain.jsonl > sealed.jsonl
rm plain.jsonl
# {"id":N,"message":"..."} -> tree/<N % 100>/<N / 100 % 10>/m<N>.b64
awk -F'"' '{
  id = $3; gsub(/[^0-9]/, "", id);
  dir = "tree/" (id % 100) "/" (int(id / 100) % 10);
  if (!(dir in made)) { system("mkdir -p " dir); made[dir] = 1 }
  file = dir "/m" id ".b64";
  print $6 > file; close(file);
}' sealed.jsonl
bytes=$(du -sb tree | cut -f1)

# Seconds of the faster of two runs of "$@", with out/ emptied first.
best_of_two() {
  local best="" took TIMEFORMAT='%R'
  for _ in 1 2; do
    rm -rf out report.jsonl && mkdir out
    took=$( { time "$@" > /dev/null 2>&1; } 2>&1 )
    if [ -z "$best" ] || [ "$(echo "$took < $best" | bc -l)" = 1 ]; then best=$took; fi
  done
  echo "$best"
}

cores=$(nproc)
one=$(best_of_two "$tool" decode --quiet --key-file key -r -j 1 --output-dir out --report report.jsonl tree)
all=$(best_of_two "$tool" decode --quiet --key-file key -r -j "$cores" --output-dir out --report report.jsonl tree)
find tree -name '*.b64' | sort > all.txt
head -n "$sample" all.txt > sample.txt
loop_run() {
  local name
  while read -r f; do
    name=${f##*/}
    "$tool" decode --quiet --key-file key "$f" > "out/${name%.b64}.txt"
  done < sample.txt
}
loop=$(best_of_two loop_run)
jsonl=$(best_of_two "$tool" decode --jsonl --quiet --key-file key -j 1 sealed.jsonl)

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $cores cores; $count messages of $((bytes / count)) bytes" \
     "on average, in $(df --output=fstype . | tail -1) at $work"
awk -v n="$count" -v s="$sample" -v one="$one" -v all="$all" -v loop="$loop" -v jsonl="$jsonl" -v cores="$cores" 'BEGIN {
  loopRate = s / loop;
  printf "%-34s %12s %12s %10s\n", "", "files/s", "us/file", "x loop";
  printf "%-34s %12.0f %12.1f %10.1f\n", "shell loop (" s " files, scaled)", loopRate, 1e6 / loopRate, 1;
  printf "%-34s %12.0f %12.1f %10.1f\n", "decode -r --output-dir -j 1", n / one, 1e6 * one / n, (n / one) / loopRate;
  printf "%-34s %12.0f %12.1f %10.1f\n", "decode -r --output-dir -j " cores, n / all, 1e6 * all / n, (n / all) / loopRate;
  printf "%-34s %12.0f %12.1f %10s\n", "decode --jsonl -j 1 (no files)", n / jsonl, 1e6 * jsonl / n, "-";
  printf "per-file overhead at -j 1 (archive less batch): %.1f us\n", 1e6 * (one - jsonl) / n;
}'
