#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the 32-bit x86 Windows suite under Wine's 32-bit loader where this
# machine's kernel cannot (booted with ia32_emulation=off): cross-builds it
# here, with its Wine tests registered whatever this system can run, and runs
# it with ctest in a virtual machine of Debian's own kernel, which runs 32-bit
# programs. Each test is named PASS or FAIL; fails when any test fails or the
# guest does not finish.
#
#   scripts/windows-x86-vm-test.sh [--build DIR] [--linux-build DIR] [--accel auto|kvm|tcg]
#
# --build DIR        the 32-bit Windows build (default build-windows-x86-vm)
# --linux-build DIR  the Linux build whose tarvel is the other end of the test
#                    across systems (default build; its tarvel is built first)
# --accel            KVM where it boots, else TCG (auto, the default), or one of them
# TARVEL_VM_LIMIT=SECONDS  the limit of the whole guest run (default 2400)
# TARVEL_VM_JOBS=N         the tests ctest runs at once in the guest (default 2)
#
# The guest's root (Debian bookworm with i386 packages beside amd64: Wine's
# 32-bit loader, ctest, the libraries of the Linux tarvel) is kept under
# TARVEL_VM_CACHE (default ~/.cache/tarvel-vm), named by a hash of what goes
# into it. The guest works on a copy of the build in its memory; ctest's log
# and the console are left in a folder that the script names at the end.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="$repo/build-windows-x86-vm"
linux_build="$repo/build"
accel="${TARVEL_VM_ACCEL:-auto}"
cache="${TARVEL_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarvel-vm}"
mirror="${TARVEL_VM_MIRROR:-http://deb.debian.org/debian}"
limit="${TARVEL_VM_LIMIT:-2400}"
jobs="${TARVEL_VM_JOBS:-2}"

while [ $# -gt 0 ]; do
  case "$1" in
    --build) mkdir -p "$2"; build="$(realpath "$2")"; shift 2 ;;
    --linux-build) mkdir -p "$2"; linux_build="$(realpath "$2")"; shift 2 ;;
    --accel) accel="$2"; shift 2 ;;
    -h | --help) sed -n '3,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

# Wine in an emulated machine is slow: every time limit of the suite is
# multiplied by this.
timeout_scale=5

# What the guest's root holds: Wine, its 32-bit loader (wine32 from the i386
# architecture) and 64-bit one (which Debian's wine package pulls in), Python
# for the harness, ctest, MinGW's objdump for the check of the export table,
# the kernel with an initramfs, and the libraries that the Linux tarvel links
# against.
packages=(wine wine64 wine32:i386 python3 cmake binutils-mingw-w64-i686 kmod initramfs-tools
  linux-image-amd64 libsystemd0 libbluetooth3 libstdc++6 procps)
root_options=("--architectures=amd64,i386")
memory=3072
out="$(mktemp -d "${TMPDIR:-/tmp}/tarvel-wine32-vm.XXXXXX")"
shares=("tarvelbuild=$build" "tarvellinux=$linux_build" "tarvelout=$out:rw")
append="tarvel_guest=tests/vm/wine32-guest.sh tarvel_build=$build tarvel_linux=$linux_build"
append+=" tarvel_jobs=$jobs tarvel_suite_limit=$((limit - 300))"
# QEMU's emulated IRET (TCG, as in Debian's QEMU 7.2) pops a 32-bit program's
# stack with the kernel's access rights, which SMAP refuses: Wine's 32-bit
# context switch then dies with a page fault in the kernel. The emulated
# processor has no SMAP.
tcg_cpu=max,smap=off
# shellcheck source=scripts/vm-common.sh
. "$repo/scripts/vm-common.sh"
require_plain_paths "$build" "$linux_build" "$repo"

build_suite() {
  local launchers=()
  command -v ccache >/dev/null &&
    launchers=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  bash "$repo/scripts/deps.sh" g++-mingw-w64-i686-posix googletest python3
  log "building the Linux tarvel in $linux_build"
  [ -f "$linux_build/CMakeCache.txt" ] ||
    cmake -S "$repo" -B "$linux_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$linux_build" -j"$(nproc)" --target tarvel_cli >/dev/null
  log "building the 32-bit Windows suite in $build"
  # The tests name Python by its path in the guest (not a Python of this
  # machine's own, such as pyenv's).
  (cd "$repo" && cmake --preset windows-x86 -B "$build" -DTARVEL_WINE_RUNS=ON \
    -DTARVEL_WINE_TIMEOUT_SCALE=$timeout_scale -DPython3_EXECUTABLE=/usr/bin/python3 \
    -DTARVEL_LINUX_CLI="$linux_build/tools/tarvel/tarvel" "${launchers[@]}" >/dev/null)
  cmake --build "$build" -j"$(nproc)" >/dev/null
}

report() {
  local passed failed
  count_results
  echo "windows-x86-vm: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

started=$SECONDS
install_tools
build_suite
prepare_root
console="$out/console.log"
trap 'stop_guest 2>/dev/null; true' EXIT
boot_guest
follow_guest
trap - EXIT
log "guest console and ctest's log: $out ($((SECONDS - started)) s in all)"
report
