#!/bin/bash
# SPDX-License-Identifier: MIT
# Times one `tarvel send` of COUNT small files over a cable made by `tarvel
# cable`, to a `tarvel listen` on the other end, and checks that every file
# arrived intact and apart.
#
#   bench/send_many.sh [--tarvel PATH] [--count 20] [--size 1024]
#
# --tarvel picks the sending command (for instance one built from an older
# commit); the cable and the listener are always build/tools/tarvel/tarvel.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
listener_tarvel="$here/build/tools/tarvel/tarvel"
sender_tarvel="$listener_tarvel"
count=20
size=1024
while [ $# -gt 0 ]; do
  case "$1" in
    --tarvel) sender_tarvel=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Records of this run only: a hold left by another run does not count here.
export TARVEL_LINE_RECORDS="$work/lines"
export TARVEL_REGISTRY="$work/registry.reg"
mkdir -p "$work/in" "$work/out"

: >"$work/ends"
"$listener_tarvel" cable --quiet >"$work/ends" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  [ "$(wc -l <"$work/ends")" -ge 2 ] && break
  sleep 0.1
done
end_a=$(sed -n 1p "$work/ends")
end_b=$(sed -n 2p "$work/ends")

"$listener_tarvel" --device "$end_b" --root "$work/in" listen >"$work/listen.out" 2>&1 &
pids+=($!)
sleep 1

files=()
for i in $(seq "$count"); do
  head -c "$size" /dev/urandom >"$work/out/f$i.bin"
  files+=("$work/out/f$i.bin")
done

start=$(date +%s.%N)
"$sender_tarvel" --device "$end_a" --quiet send "${files[@]}"
end=$(date +%s.%N)
sleep 1.5

intact=0
for i in $(seq "$count"); do
  cmp -s "$work/out/f$i.bin" "$work/in/f$i.bin" && intact=$((intact + 1))
done
awk -v s="$start" -v e="$end" -v n="$count" -v ok="$intact" \
  'BEGIN { printf "%d files: %.2f s in all, %.3f s per file; %d of %d arrived intact\n", n, e - s, (e - s) / n, ok, n }'
