#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# windows_decode.sh - `trirotor.exe decode` under Wine against the Linux
# build, on the same message in the same run.
#
# Seals SIZE MiB (default 100) of UTF-8 prose with the Linux tool, then
# decodes the message to a file ROUNDS times (default 5) with each tool in
# turn, and prints each tool's best time and the speed ratio Windows/Linux
# (Linux time over Windows time; the goal is 0.85 or more). Wine runs the
# code natively, so a low figure points at the build (a missed flag), not
# at Wine. Wine's process start (about 0.3 s with its server up) counts.
#
#   bench/windows_decode.sh [LINUX_TOOL] [WINDOWS_EXE] [SIZE_MIB] [ROUNDS]
#   (default build/trirotor build-win/trirotor.exe 100 5; needs WINEPREFIX
#   set and a running `wineserver -p` for steady figures)
set -euo pipefail

linux=${1:-build/trirotor}
exe=${2:-build-win/trirotor.exe}
mib=${3:-100}
rounds=${4:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all

LC_ALL=C awk -v n="$((mib * 1024 * 1024))" 'BEGIN {
  srand(7);
  split("alpha beta gamma delta café naïve € zeta line text harbour wind", w, " ");
  while (size < n) { line = ""; for (i = 0; i < 12; i++) line = line w[int(rand() * 12) + 1] " ";
                     print line; size += length(line) + 1 }
}' > "$work/text.txt"
truncate -s "$((mib * 1024 * 1024))" "$work/text.txt"  # not head: awk's SIGPIPE would fail the pipeline
"$linux" encode --key "bench key" "$work/text.txt" -o "$work/message.b64"

best() {  # the best of the times given
  printf '%s\n' "$@" | sort -g | head -n 1
}
seconds() {  # runs the command, prints how long it took
  local start end
  start=$(date +%s%N)
  "$@" > /dev/null
  end=$(date +%s%N)
  awk -v ns="$((end - start))" 'BEGIN { printf "%.3f\n", ns / 1e9 }'
}
linux_times=() windows_times=()
for ((r = 0; r < rounds; r++)); do
  linux_times+=("$(seconds "$linux" decode -q --key "bench key" "$work/message.b64" -o "$work/linux.txt")")
  windows_times+=("$(seconds wine "$exe" decode -q --key "bench key" "$work/message.b64" -o "$work/windows.txt")")
done
cmp "$work/linux.txt" "$work/windows.txt"
cmp "$work/linux.txt" "$work/text.txt"
l=$(best "${linux_times[@]}")
w=$(best "${windows_times[@]}")
printf 'decode of a %d MiB text'"'"'s message, best of %d\n' "$mib" "$rounds"
printf '  linux   %.3f s\n  windows %.3f s (under Wine)\n' "$l" "$w"
awk -v l="$l" -v w="$w" 'BEGIN { printf "  speed ratio windows/linux: %.2f (goal >= 0.85)\n", l / w }'
