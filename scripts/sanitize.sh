#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds Tarvel and its tests under the sanitizers and runs the suite: once
# with AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/), once with
# ThreadSanitizer (build-tsan/). Any finding stops the test that made it, and
# a failed test fails the run.
#   scripts/sanitize.sh [asan|tsan]...     (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
. scripts/ccache-env.sh

variants=("$@")
[ ${#variants[@]} -gt 0 ] || variants=(asan tsan)

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:print_stacktrace=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"

run_variant() {
  local name=$1 sanitizers=$2
  local build="build-$name"
  echo "== $name: -fsanitize=$sanitizers"
  # GCC's flow analysis, run over the sanitizers' instrumentation, reports
  # uninitialised values inside the standard library's own templates
  # (std::regex, std::function); the normal build keeps the warning.
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEL_SANITIZE="$sanitizers" \
    -DCMAKE_CXX_FLAGS=-Wno-maybe-uninitialized \
    -DTARVEL_BUILD_TESTS=ON -DTARVEL_BUILD_TOOLS=ON >/dev/null
  cmake --build "$build" -j"$(nproc)"
  (cd "$build" && ctest --output-on-failure -j"$(nproc)")
}

for variant in "${variants[@]}"; do
  case "$variant" in
    asan) run_variant asan address,undefined ;;
    tsan) run_variant tsan thread ;;
    *) echo "unknown variant: $variant (asan or tsan)" >&2; exit 2 ;;
  esac
done
