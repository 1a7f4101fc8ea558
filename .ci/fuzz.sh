# shellcheck shell=bash
# .ci/fuzz.sh - the fuzzing step: builds the libFuzzer targets with clang and
# runs each for a bounded time on a copy of its seed corpus. The list of
# targets is the one fuzz/CMakeLists.txt writes (build-fuzz/fuzz_targets.txt),
# so a fuzzer added there is run here without a second list to keep.
#
# Sourced by .ci/run, which calls step_fuzz from the repository's root.
# FUZZ_SECONDS (default 40) is each target's time, or the share of it that
# fuzz/CMakeLists.txt gives the target (the tool's small parsers get a
# quarter); FUZZ_JOBS of them run at once (default: one a core). Any crash, sanitizer report, undocumented
# error, slow input or unbounded allocation fails the step; the reproducer
# is printed in hex and kept under build-fuzz/artifacts/ (see
# fuzz/README.md for turning it into a test).

step_fuzz() {
  local seconds="${FUZZ_SECONDS:-40}"
  local build=build-fuzz
  scripts/install-deps.sh fuzz || return 1

  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DTRIROTOR_FUZZ=ON -DTRIROTOR_GUI=OFF -DTRIROTOR_BUILD_CLI=OFF -DTRIROTOR_BUILD_TESTS=OFF || return 1
  cmake --build "$build" -j2 || return 1

  local targets=() lines=() line
  mapfile -t lines < <(grep -v '^$' "$build/fuzz_targets.txt")
  declare -A share=()
  for line in "${lines[@]}"; do
    targets+=("${line%% *}")
    share["${line%% *}"]="${line##* }"
  done
  if ((${#targets[@]} == 0)); then
    echo "fuzz: $build/fuzz_targets.txt lists no fuzzer"
    return 1
  fi

  local artifacts="$build/artifacts"
  mkdir -p "$artifacts"
  local target status failed=0 ran=0 running=0 pid
  local -a started=() pids=()
  # FUZZ_JOBS fuzzers at once (default: one a core); each is one process.
  local parallel="${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}"
  for target in "${targets[@]}"; do
    # A listed fuzzer that was not built, or has no seeds, is a failure.
    if [[ ! -x "$build/$target" ]] || ! compgen -G "fuzz/corpus/$target/*" >/dev/null; then
      echo "fuzz: $target FAILED: not built, or no seeds in fuzz/corpus/$target"
      failed=$((failed + 1))
      continue
    fi
    # Its own fuzzers only: .ci/run may have other work in the background
    # (the later steps' packages, a step), which a bare wait would wait for
    # too and reap.
    if ((running >= parallel)); then
      local ended=
      wait -n -p ended "${pids[@]}" || true
      local -a left=()
      for pid in "${pids[@]}"; do [[ "$pid" == "$ended" ]] || left+=("$pid"); done
      pids=("${left[@]}")
      running=$((running - 1))
    fi
    local own=$((seconds * ${share[$target]:-100} / 100))
    ((own > 0)) || own=1
    echo "fuzz: $target for ${own}s"
    fuzz_one "$build" "$target" "$own" "$artifacts" &
    pids+=($!)
    running=$((running + 1))
    started+=("$target")
  done
  wait "${pids[@]}" || true
  # Each fuzzer's outcome, in the list's order, once all have ended.
  for target in "${started[@]}"; do
    status=$(cat "$artifacts/$target.status" 2>/dev/null || echo "no status")
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units' "$artifacts/$target.log" || tail -n 3 "$artifacts/$target.log"
    ran=$((ran + 1))
    if [[ "$status" != 0 ]]; then
      failed=$((failed + 1))
      echo "fuzz: $target FAILED (exit $status); the end of its log:"
      tail -n 60 "$artifacts/$target.log"
      local reproducer
      for reproducer in "$artifacts/$target"-*; do
        [[ -f "$reproducer" && "$reproducer" != *.log && "$reproducer" != *.status ]] || continue
        echo "fuzz: reproducer $reproducer:"
        od -A x -t x1z -v "$reproducer" | head -n 64 || true
      done
    fi
  done
  echo "fuzz: $((${#targets[@]} - failed)) of ${#targets[@]} passed, $ran run"
  ((failed == 0))
}

# One fuzzer on a copy of its seeds (what it adds stays out of the work
# tree); its exit status goes to ARTIFACTS/TARGET.status, its log beside it.
fuzz_one() {
  local build="$1" target="$2" seconds="$3" artifacts="$4" work status=0
  work="$(mktemp -d)"
  cp fuzz/corpus/"$target"/* "$work"/
  "$build/$target" "$work" -max_len=65536 -rss_limit_mb=512 -malloc_limit_mb=256 -timeout=10 \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
    >"$artifacts/$target.log" 2>&1 || status=$?
  rm -rf "$work"
  echo "$status" >"$artifacts/$target.status"
}
