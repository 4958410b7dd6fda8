#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the library and the tarvel command with clang's thread-safety
# analysis (-Wthread-safety), every warning an error, in build-thread-safety/:
# the check that a field a lock guards (GUARDED_BY) is used only under that
# lock, and that functions are called with the locks they require. No tests
# are built: they hold no annotated locks, and the check stays cheap.
set -euo pipefail
cd "$(dirname "$0")/.."

compiler=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$compiler" ]; then
  bash scripts/deps.sh clang
  compiler=$(command -v clang++)
fi
c_compiler=$(command -v clang || command -v clang-14)

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

build=build-thread-safety
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug "${launcher[@]}" \
  -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_C_COMPILER="$c_compiler" \
  -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror" \
  -DTARVEL_BUILD_TESTS=OFF -DTARVEL_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target tarvel tarvel_cli
echo "thread-safety: no warnings"
