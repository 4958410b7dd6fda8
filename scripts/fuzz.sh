#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a bounded time from its seed
# corpus. A crash, a leak, a broken invariant or a time-out fails the run.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default 60, all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
bash scripts/deps.sh clang-14 libclang-rt-14-dev
. scripts/ccache-env.sh

build=build-fuzz
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTARVEL_SANITIZE=address,undefined -DTARVEL_BUILD_FUZZ=ON \
  -DTARVEL_BUILD_TESTS=OFF -DTARVEL_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_targets

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_wire_format fuzz_device_paths fuzz_codepage fuzz_listener_stream fuzz_sdp_answer)
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:print_stacktrace=1
# The stream target makes and empties a device root for every input: in memory
# that costs about half of what it does on a disk.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

summary=()
for target in "${targets[@]}"; do
  seeds="tests/fuzz/corpus/$target"
  work="$build/corpus/$target"
  artifacts="$build/findings/$target/"
  mkdir -p "$work" "$artifacts"
  log="$build/$target.log"
  dictionary=()
  case "$target" in
    fuzz_wire_format | fuzz_listener_stream) dictionary=(-dict=tests/fuzz/wire.dict) ;;
  esac
  echo "== $target: ${seconds} s"
  # New inputs go to the work corpus; the seeds in the tree stay as they are.
  if ! "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts" "${dictionary[@]}" "$work" "$seeds" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "FAIL: $target found a fault; inputs in $artifacts"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  summary+=("$target: $runs executions ($rate/s), no findings")
  echo "${summary[-1]}"
done
printf '%s\n' "${summary[@]}"
