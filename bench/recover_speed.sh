#!/usr/bin/env bash
# recover_speed.sh - candidates per second of `trirotor recover`, side by
# side in one run with `decode --keyring` over the same candidates, on a
# 1 KB and a 1 MB message; one core against two. The machine may be shared
# and noisy: read the ratios, not the figures.
#
#   bench/recover_speed.sh [TOOL]     (default: build/trirotor)
set -euo pipefail
tool=${1:-build/trirotor}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

seconds() {  # wall-clock seconds of a command, its output dropped
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

rate() { echo "$1 / $2" | bc -l | xargs printf '%.0f'; }  # candidates, seconds
seq 1 60000 | sed 's/^/candidate-/' > "$work/many.txt"

for size in 1024 1048576; do
  head -c "$size" /dev/zero | tr '\0' 'a' | sed 's/aaaaaaaaaa/ferry road/g' > "$work/plain.txt"
  "$tool" encode --key 'the right key' "$work/plain.txt" > "$work/m.b64"
  # The same candidates through both (a key ring holds 1 MiB at most, and
  # decrypts all of a 1 MB message per key: fewer there).
  n=$([ "$size" -gt 65536 ] && echo 3000 || echo 60000)
  head -n "$n" "$work/many.txt" > "$work/words.txt"
  r=$(seconds "$tool" recover -q -j 1 --session "$work/s0" --wordlist "$work/words.txt" "$work/m.b64")
  k=$(seconds taskset -c 0 "$tool" decode -q --keyring "$work/words.txt" -o /dev/null "$work/m.b64")
  # Ten times as many (a digit appended), on one core and on two.
  r1=$(seconds "$tool" recover -q -j 1 --session "$work/s1" --wordlist "$work/many.txt" --append-mask '?d' "$work/m.b64")
  r2=$(seconds "$tool" recover -q -j 2 --session "$work/s2" --wordlist "$work/many.txt" --append-mask '?d' "$work/m.b64")
  printf '%8d-byte text: recover %7s/s, decode --keyring %7s/s, 1 core (%.1fx); recover -j1 %7s/s, -j2 %7s/s (%.2fx)\n' \
    "$size" "$(rate "$n" "$r")" "$(rate "$n" "$k")" "$(echo "$k / $r" | bc -l)" \
    "$(rate 600000 "$r1")" "$(rate 600000 "$r2")" "$(echo "$r1 / $r2" | bc -l)"
done
