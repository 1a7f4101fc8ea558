#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# compare.sh - one command for the performance table: builds a Release tree in
# build-release/, makes deterministic inputs in a temporary directory (nothing
# is downloaded), runs the Google Benchmark binary (each stage beside its
# straightforward twin and libdeflate) and then each stage as a whole process
# beside the public tool for the same work: base64 -d, openssl enc -d -rc4
# (legacy provider) and libdeflate-gunzip on a Huffman-only gzip stream of the
# same text. Prints one table of MB/s, ratios and peak memory, all from this
# run. Takes about a minute on two cores once build-release/ is built.
#
# With BASE set to a git revision, that revision's tool is built too (in
# build-revisions/, as compare_revisions.sh lays them out) and the decode
# and the decryption then run in turns with it and with openssl, charged
# their CPU time: the rows that hold a change against an older engine and
# RC4 on one loaded machine.
#
#   bench/compare.sh                 # 100 MB of plain text
#   SIZE_MB=20 bench/compare.sh      # a quicker look
#   BASE=48d1abe bench/compare.sh    # and against that revision, in turns
set -euo pipefail
cd "$(dirname "$0")/.."

SIZE_MB=${SIZE_MB:-100}
BUILD=build-release

step_deps() {
  local missing=()
  for p in cmake ninja-build g++ libbenchmark-dev libdeflate-dev libdeflate-tools zlib1g-dev \
           openssl coreutils python3 libcli11-dev nlohmann-json3-dev; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing ${missing[*]}"
    apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

step_build() {
  cmake -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRIROTOR_BUILD_BENCHMARKS=ON \
        -DTRIROTOR_BUILD_TESTS=OFF -DTRIROTOR_GUI=OFF >/dev/null
  cmake --build "$BUILD" -j2 --target trirotor_bench trirotor_bench_tool trirotor >/dev/null
}

# The tool and the bench tool of revision $1, built as step_build builds
# this tree's; prints the build folder.
build_base() {
  local commit src out
  commit=$(git rev-parse --verify "$1^{commit}")
  src="build-revisions/src-$commit"
  out="build-revisions/build-cli-$commit"
  mkdir -p build-revisions
  [ -d "$src" ] || git worktree add --detach "$src" "$commit" >/dev/null 2>&1
  cmake -S "$src" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRIROTOR_BUILD_BENCHMARKS=ON \
        -DTRIROTOR_BUILD_TESTS=OFF -DTRIROTOR_GUI=OFF >/dev/null
  cmake --build "$out" -j2 --target trirotor_bench_tool trirotor >/dev/null
  echo "$out"
}

step_deps
echo "== building $BUILD (Release)"
step_build
BASE_BUILD=
if [ -n "${BASE:-}" ]; then
  echo "== building $BASE (Release)"
  BASE_BUILD=$(build_base "$BASE")
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
echo "== making inputs: $SIZE_MB MB of plain text in $WORK"
"$BUILD/trirotor_bench_tool" make-inputs "$WORK" "$SIZE_MB"
# The peer's stream: the same text, gzip-wrapped deflate with Huffman coding only.
python3 - "$WORK/plain.txt" "$WORK/plain.gz" <<'PY'
import sys, zlib
data = open(sys.argv[1], 'rb').read()
c = zlib.compressobj(9, zlib.DEFLATED, 31, 9, zlib.Z_HUFFMAN_ONLY)
open(sys.argv[2], 'wb').write(c.compress(data) + c.flush())
PY

echo "== Google Benchmark: stages, twins, libdeflate in-process"
"$BUILD/trirotor_bench" --benchmark_min_time=0.5 --benchmark_out="$WORK/bench.json" \
  --benchmark_out_format=json >/dev/null

echo "== whole processes"
python3 bench/compare.py "$BUILD" "$WORK" "$BASE_BUILD" "${BASE:-}"
