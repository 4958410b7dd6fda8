#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the library and the tarvel command with clang's thread-safety
# analysis (-Wthread-safety), every warning an error, in build-thread-safety/:
# the check that a field a lock guards (GUARDED_BY) is used only under that
# lock, and that functions are called with the locks they require. No tests
# are built: they hold no annotated locks, and the check stays cheap.
# The files only Windows builds compile (*_win32.cc) are then checked the same
# way by clang targeting MinGW-w64, with the compile commands of a configured
# (not built) Windows build in build-thread-safety-windows/.
set -euo pipefail
cd "$(dirname "$0")/.."

compiler=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$compiler" ]; then
  bash scripts/deps.sh clang
  compiler=$(command -v clang++)
fi
c_compiler=$(command -v clang || command -v clang-14)

. scripts/ccache-env.sh

build=build-thread-safety
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_C_COMPILER="$c_compiler" \
  -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror" \
  -DTARVEL_BUILD_TESTS=OFF -DTARVEL_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target tarvel tarvel_cli

command -v x86_64-w64-mingw32-g++-posix >/dev/null || bash scripts/deps.sh g++-mingw-w64-x86-64-posix
windows=build-thread-safety-windows
cmake --preset windows -B "$windows" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DTARVEL_BUILD_TESTS=OFF >/dev/null
python3 scripts/windows_lock_check.py "$windows" --clang "$compiler"
echo "thread-safety: no warnings"
