#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# encode_memory.sh - the peak memory of `trirotor encode` against its input.
#
# Encodes two inputs of SIZE MiB (default 96) and prints the peak resident
# set size that /usr/bin/time -v reports, and its ratio to the input:
#   text    UTF-8 prose with accented letters and the euro sign, which
#           compresses to about half;
#   random  random bytes with --raw, which do not compress: the worst case,
#           where the frame and its base64 are alive together.
# The encoder frees each stage's input once its output is made, so the peak
# should stay under 2.5 times the input; --max R makes the script fail above
# ratio R. Peak RSS is repeatable, unlike times on a shared machine.
#
#   bench/encode_memory.sh [TRIROTOR] [SIZE_MIB] [--max R]   (default build/trirotor 96)
set -euo pipefail

tool=${1:-build/trirotor}
mib=${2:-96}
max=${4:-}
[[ ${3:-} == --max ]] || max=""
[[ -x /usr/bin/time ]] || { echo "encode_memory.sh: needs /usr/bin/time (Debian package time)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bytes=$((mib * 1024 * 1024))
LC_ALL=C awk -v n="$bytes" 'BEGIN {
  srand(11);
  split("alpha beta gamma delta café naïve € zeta line text harbour wind", w, " ");
  total = 0;
  while (total < n) {
    s = "";
    for (j = 0; j < 12; j++) s = s w[1 + int(rand() * 12)] " ";
    print s; total += length(s) + 1;
  }
}' > "$work/text.txt"
head -c "$bytes" /dev/urandom > "$work/random.bin"

failed=0
measure() {  # name, input, extra options...
  local name=$1 input=$2
  shift 2
  /usr/bin/time -v "$tool" encode --quiet --key bench "$@" -o "$work/out.b64" "$input" 2> "$work/time.txt"
  local kib size ratio
  kib=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
  size=$(stat -c %s "$input")
  ratio=$(awk -v k="$kib" -v s="$size" 'BEGIN {printf "%.2f", k * 1024 / s}')
  printf '%-7s input %6.1f MiB  peak RSS %7.1f MiB  ratio %s\n' "$name" \
    "$(awk -v s="$size" 'BEGIN {print s / 1048576}')" "$(awk -v k="$kib" 'BEGIN {print k / 1024}')" "$ratio"
  if [[ -n $max ]] && awk -v r="$ratio" -v m="$max" 'BEGIN {exit !(r > m)}'; then failed=1; fi
}
measure text "$work/text.txt"
measure random "$work/random.bin" --raw
exit $failed
