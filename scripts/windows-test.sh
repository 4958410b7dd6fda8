#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds Tarvel for Windows with MinGW-w64, 64-bit and 32-bit x86
# (tarvel.dll, tarvel.exe and the Windows tests of each), and runs each
# width's Windows suite under Wine, the test across systems against the Linux
# tarvel included. The 32-bit suite runs under Wine's 32-bit loader, which
# needs a kernel that runs 32-bit programs: where it cannot (a kernel booted
# with ia32_emulation=off), the 32-bit programs are still built and the export
# table checked, and the suite is reported as not run.
# Installs what is missing first (as root, or with sudo available).
set -euo pipefail
cd "$(dirname "$0")/.."

run_as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
# wine32 is an i386 package: the architecture is added once (deps.sh then
# updates the package lists, as wine32 is missing).
dpkg --print-foreign-architectures | grep -qx i386 || run_as_root dpkg --add-architecture i386
bash scripts/deps.sh g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wine32:i386 googletest
command -v python3 >/dev/null || bash scripts/deps.sh python3

# The Wine prefixes of the builds, and the Wine servers that their tests
# start: one left by an interrupted run is stopped first, and this run's are
# stopped again whatever happens. (A prefix deleted under its running server
# leaves a server that nothing reaches any more: stop it first.)
prefixes=("$PWD/build-windows/wine" "$PWD/build-windows-x86/wine")
stop_wine() {
  for prefix in "${prefixes[@]}"; do
    [ -d "$prefix" ] && WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  done
}
stop_wine
trap stop_wine EXIT

jobs=$(nproc)
. scripts/ccache-env.sh
# The Linux tarvel, for the test across systems (scripts/test.sh builds it too).
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs" --target tarvel_cli
linux_cli=-DTARVEL_LINUX_CLI="$PWD/build/tools/tarvel/tarvel"

echo "== 64-bit Windows"
cmake --preset windows "$linux_cli"
cmake --build --preset windows -j"$jobs"
ctest --preset windows -j"$jobs"

echo "== 32-bit x86 Windows"
start=$SECONDS
cmake --preset windows-x86 "$linux_cli"
cmake --build --preset windows-x86 -j"$jobs"
ctest --preset windows-x86 -j"$jobs"
# The build registers this skipped test where its check found no 32-bit loader.
if ctest --preset windows-x86 -N | grep -q windows_x86_suite; then
  echo "NOT RUN: the 32-bit Windows suite: this system cannot run 32-bit programs" \
    "(Wine's 32-bit loader does not start; a kernel booted with ia32_emulation=off," \
    "say). The 32-bit programs were built and the export table checked." >&2
fi
echo "32-bit x86 part: $((SECONDS - start)) s"
