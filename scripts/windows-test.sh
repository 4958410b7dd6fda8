#!/usr/bin/env bash
# Cross-builds Tarvel for 64-bit Windows (tarvel.dll, tarvel.exe and the
# Windows tests) with MinGW-w64, and runs the Windows suite under Wine.
# Installs what is missing first (as root, or with sudo available).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh g++-mingw-w64-x86-64-posix wine64
command -v python3 >/dev/null || bash scripts/deps.sh python3

# The Wine prefix of the build, and the Wine server that its tests start; the
# server is stopped again whatever happens.
export WINEPREFIX="$PWD/build-windows/wine"
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT

jobs=$(nproc)
cmake --preset windows
cmake --build --preset windows -j"$jobs"
ctest --preset windows -j"$jobs"
