#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs tarvel against the real Bluetooth stack: boots Debian's own kernel in a
# virtual machine with two emulated controllers (btvirt) in one real
# bluetoothd, pairs them, and runs the tarvel command of a build both ways
# over the emulated link, naming each step PASS or FAIL. Fails when any step
# fails or the guest does not finish.
#
#   scripts/bluetooth-vm-test.sh [--build DIR] [--bench] [--accel auto|kvm|tcg]
#
# --build DIR  the build whose tarvel runs in the guest (default build; built
#              first when it has no tarvel)
# --bench      instead of the steps, a 4 MiB file through tarvel against the
#              same bytes through a plain RFCOMM socket pair (bench/bluetooth_link.sh)
# --accel      KVM where it boots, else TCG (auto, the default), or one of them
# TARVEL_VM_STEPS=send_file,get_file,...  runs only those steps (by function
#              name in tests/vm/guest.sh) after the set-up
#
# The guest's root (Debian bookworm, made with mmdebstrap) is kept under
# TARVEL_VM_CACHE (default ~/.cache/tarvel-vm), named by a hash of what goes
# into it, so that later runs skip building it. The guest never writes to it.
# Installs qemu-system-x86 and mmdebstrap when missing (as root).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="$repo/build"
mode=test
accel="${TARVEL_VM_ACCEL:-auto}"
cache="${TARVEL_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarvel-vm}"
mirror="${TARVEL_VM_MIRROR:-http://deb.debian.org/debian}"

while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$(realpath "$2")"; shift 2 ;;
    --bench) mode=bench; shift ;;
    --accel) accel="$2"; shift 2 ;;
    -h | --help) sed -n '3,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

# The whole guest run, boot included, ends by this many seconds.
if [ "$mode" = bench ]; then limit=1500; else limit=900; fi

# What the guest's root holds: BlueZ with its emulator and tools, the system
# bus, the kernel with an initramfs, Python's D-Bus binding for pairing, and
# the libraries that the build of tarvel links against.
packages=(bluez bluez-test-tools dbus kmod python3-dbus python3-gi
  initramfs-tools linux-image-amd64 libsystemd0 libbluetooth3 libstdc++6 procps)

# The guest's kernel arguments and shares; the rest comes from vm-common.sh.
memory=1024
root_options=()
shares=("tarvelbuild=$build")
append="tarvel_mode=$mode tarvel_build=$build tarvel_steps=${TARVEL_VM_STEPS:-}"
# shellcheck source=scripts/vm-common.sh
. "$repo/scripts/vm-common.sh"
require_plain_paths "$build" "$repo"

ensure_build() {
  [ -x "$build/tools/tarvel/tarvel" ] && return 0
  log "building tarvel in $build"
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target tarvel_cli >/dev/null
}

report() {
  local passed failed
  count_results
  if [ "$mode" = bench ]; then
    bash "$repo/bench/bluetooth_link.sh" --report "$console" || failed=$((failed + 1))
  fi
  echo "bluetooth-vm: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

started=$SECONDS
install_tools
ensure_build
prepare_root
console="$(mktemp "${TMPDIR:-/tmp}/tarvel-vm-console.XXXXXX")"
trap 'stop_guest 2>/dev/null; true' EXIT
boot_guest
follow_guest
trap - EXIT
log "guest console: $console ($((SECONDS - started)) s in all)"
report
