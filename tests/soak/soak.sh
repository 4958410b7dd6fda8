#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Soak run: two devices joined by `tarvel cable` exchange files both ways for a
# set number of rounds, every file compared byte for byte. Not part of CI.
#   tests/soak/soak.sh [ROUNDS]        (default 20)
# TARVEL=path picks the tarvel binary (default build/tools/tarvel/tarvel,
# built when missing). Each round one device listens; the other sends it a
# file and fetches one of its files; the roles swap every round.
set -uo pipefail
cd "$(dirname "$0")/../.."
rounds="${1:-20}"
tarvel="${TARVEL:-build/tools/tarvel/tarvel}"
transfer_limit=120  # seconds for any one transfer

if [ ! -x "$tarvel" ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build build -j"$(nproc)" --target tarvel_cli >/dev/null || exit 2
fi

work=$(mktemp -d /tmp/tarvel-soak-XXXXXX)
cable_pid=""
listener_pid=""
cleanup() {
  [ -n "$listener_pid" ] && kill -INT "$listener_pid" 2>/dev/null && wait "$listener_pid" 2>/dev/null
  [ -n "$cable_pid" ] && kill -INT "$cable_pid" 2>/dev/null && wait "$cable_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$tarvel" --quiet cable >"$work/cable.out" 2>"$work/cable.err" &
cable_pid=$!
for _ in $(seq 100); do [ "$(grep -c . "$work/cable.out")" -ge 2 ] && break; sleep 0.05; done
mapfile -t ends < <(head -n 2 "$work/cable.out")
if [ ${#ends[@]} -ne 2 ] || [ ! -e "${ends[0]}" ] || [ ! -e "${ends[1]}" ]; then
  echo "tarvel cable gave no two ends:"; cat "$work/cable.out" "$work/cable.err"; exit 2
fi
mkdir -p "$work/root0" "$work/root1" "$work/local0" "$work/local1"

transfers=0 failures=0 bytes=0
fail() {
  failures=$((failures + 1))
  echo "round $round: FAIL: $*"
}

# A size that visits the edges of the 200-byte pieces now and then.
random_size() {
  case $((RANDOM % 8)) in
    0) echo $((RANDOM % 3)) ;;
    1) echo $((199 + RANDOM % 3)) ;;
    2) echo $(((RANDOM % 4 + 1) * 1048576 + RANDOM)) ;;
    *) echo $(((RANDOM << 3) + RANDOM % 8)) ;;
  esac
}

# Waits until `file` exists with the same bytes as `expected`.
wait_for_copy() {
  local file=$1 expected=$2 deadline=$((SECONDS + transfer_limit))
  while [ $SECONDS -lt $deadline ]; do
    [ -f "$file" ] && cmp -s "$file" "$expected" && return 0
    sleep 0.2
  done
  return 1
}

for round in $(seq "$rounds"); do
  me=$((round % 2)) peer=$((1 - round % 2))
  device=${ends[$me]} peer_device=${ends[$peer]}
  root=$work/root$me peer_root=$work/root$peer local=$work/local$me

  "$tarvel" --quiet --device "$peer_device" --root "$peer_root" listen \
    >"$work/listen.out" 2>&1 &
  listener_pid=$!
  sleep 0.5

  # This device sends a file; the listening peer saves it in its root.
  head -c "$(random_size)" /dev/urandom >"$local/out-$round.bin"
  size=$(stat -c %s "$local/out-$round.bin")
  if timeout "$transfer_limit" "$tarvel" --quiet --device "$device" --root "$root" \
      send "$local/out-$round.bin" "\\sent-$round.bin" &&
      wait_for_copy "$peer_root/sent-$round.bin" "$local/out-$round.bin"; then
    bytes=$((bytes + size))
  else
    fail "sending $size bytes"
  fi
  transfers=$((transfers + 1))

  # This device fetches a file from the peer's root.
  head -c "$(random_size)" /dev/urandom >"$peer_root/offer-$round.bin"
  size=$(stat -c %s "$peer_root/offer-$round.bin")
  if timeout "$transfer_limit" "$tarvel" --quiet --device "$device" --root "$root" \
      get "\\offer-$round.bin" "$local/got-$round.bin" --timeout 60 &&
      cmp -s "$local/got-$round.bin" "$peer_root/offer-$round.bin"; then
    bytes=$((bytes + size))
  else
    fail "fetching $size bytes"
  fi
  transfers=$((transfers + 1))

  kill -INT "$listener_pid" 2>/dev/null
  wait "$listener_pid" 2>/dev/null
  listener_pid=""
  rm -f "$local"/* "$peer_root"/*
  echo "round $round of $rounds: $transfers transfers, $failures failures, $bytes bytes"
done

echo "soak: $rounds rounds, $transfers transfers, $failures failures, $bytes bytes verified"
[ "$failures" -eq 0 ]
