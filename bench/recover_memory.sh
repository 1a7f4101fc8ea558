#!/usr/bin/env bash
# recover_memory.sh - a 1 GiB word list through a pipe: recover reads it as
# a stream, so its peak resident memory stays under 64 MiB whatever the
# list's size. Minutes on a busy machine; not part of ctest.
#
#   bench/recover_memory.sh [TOOL] [MiB]     (default: build/trirotor 1024)
set -euo pipefail
tool=${1:-build/trirotor}
mib=${2:-1024}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo 'a short text' > "$work/plain.txt"
"$tool" encode --key 'not in the list' "$work/plain.txt" > "$work/m.b64"
word=$(printf 'w%.0s' $(seq 1 199))  # 200-byte lines: every one a candidate
set +e
yes "$word" | head -c "$((mib << 20))" |
  /usr/bin/time -f '%M' -o "$work/rss" "$tool" recover -q --session "$work/s" --wordlist - "$work/m.b64"
status=${PIPESTATUS[2]}
set -e
rss=$(tail -n 1 "$work/rss")
echo "$mib MiB of word list through a pipe: exit $status, peak RSS $((rss / 1024)) MiB"
[ "$status" -eq 3 ] && [ "$rss" -lt $((64 * 1024)) ]
