#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Tarvel over an emulated Bluetooth link against the link's own limit: in the
# test guest of scripts/bluetooth-vm-test.sh (two btvirt controllers in one
# real bluetoothd), a 4 MiB file through tarvel send -> tarvel listen --once,
# and the same bytes through a plain RFCOMM socket pair; prints both times and
# their ratio. The figures are the emulation's, not Bluetooth's: see README.
#   bench/bluetooth_link.sh [--build DIR] [--accel auto|kvm|tcg]
#   bench/bluetooth_link.sh --report CONSOLE   (the summary of a finished run)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

if [ "${1:-}" != --report ]; then
  exec bash "$here/../scripts/bluetooth-vm-test.sh" --bench "$@"
fi

console="$2"
value() {
  tr -d '\r' <"$console" | sed -n "s/^\[vm\] BENCH $1 .*seconds=\([0-9.]*\).*/\1/p" | tail -n 1
}
plain="$(value rfcomm)"
tarvel="$(value tarvel)"
if [ -z "$plain" ] || [ -z "$tarvel" ]; then
  echo "bench: the guest reported no figures" >&2
  exit 1
fi
# The sender's protocol pause after the header (1.0 s) is set apart too.
awk -v p="$plain" -v t="$tarvel" 'BEGIN {
  kib = 4096
  printf "| Path | Seconds | KiB/s |\n|---|---|---|\n"
  printf "| plain RFCOMM socket pair | %.1f | %.1f |\n", p, kib / p
  printf "| tarvel send -> listen --once | %.1f | %.1f |\n", t, kib / t
  printf "| tarvel, 1.0 s pause apart | %.1f | %.1f |\n", t - 1, kib / (t - 1)
  printf "tarvel / plain time: %.3f (pause apart %.3f)\n", t / p, (t - 1) / p
}'
