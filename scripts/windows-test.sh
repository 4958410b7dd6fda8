#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds Tarvel for 64-bit Windows (tarvel.dll and the Windows tests)
# with MinGW-w64, and runs the Windows suite under Wine, the test across
# systems against the Linux tarvel included.
# Installs what is missing first (as root, or with sudo available).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh g++-mingw-w64-x86-64-posix wine64 googletest
command -v python3 >/dev/null || bash scripts/deps.sh python3

# The Wine prefix of the build, and the Wine server that its tests start: one
# left by an interrupted run is stopped first, and this run's is stopped again
# whatever happens. (A prefix deleted under its running server leaves a server
# that nothing reaches any more: stop it first.)
export WINEPREFIX="$PWD/build-windows/wine"
stop_wine() { /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; }
[ -d "$WINEPREFIX" ] && stop_wine
trap stop_wine EXIT

jobs=$(nproc)
# The Linux tarvel, for the test across systems (scripts/test.sh builds it too).
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs" --target tarvel_cli

cmake --preset windows -DTARVEL_LINUX_CLI="$PWD/build/tools/tarvel/tarvel"
cmake --build --preset windows -j"$jobs"
ctest --preset windows -j"$jobs"
