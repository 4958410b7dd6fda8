#!/bin/bash
# SPDX-License-Identifier: MIT
# The Bluetooth test guest's script, run by its first process: brings up the
# system bus, two emulated controllers (btvirt) and one real bluetoothd,
# pairs the controllers, and runs tarvel both ways over them, printing each
# step as "[vm] PASS name" or "[vm] FAIL name: why" and "[vm] DONE" at the
# end. Every command has a time limit, so nothing here waits for ever.
# With tarvel_mode=bench it times a 4 MiB file through tarvel and through a
# plain RFCOMM socket pair instead of the steps.
set -u
cmdline_value() { tr ' ' '\n' </proc/cmdline | sed -n "s/^$1=//p"; }
mode="$(cmdline_value tarvel_mode)"
build="$(cmdline_value tarvel_build)"
repo="$(cmdline_value tarvel_repo)"
# A comma-separated choice of step functions (TARVEL_VM_STEPS on the host);
# the set-up and the listener's start always run.
only="$(cmdline_value tarvel_steps)"
here="$repo/tests/vm"
tarvel="$build/tools/tarvel/tarvel"
work=/tmp/vm
mkdir -p "$work" "$build"
chmod 0755 "$work"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,ro tarvelbuild "$build"
export HOME=/root LC_ALL=C.UTF-8

say() { echo "[vm] $*"; }
fail() { echo "$*"; return 1; }

# step NAME FUNCTION [ARGS]: runs the function in this shell (so it may set
# variables for later steps), its output kept aside, and reports the result.
# After a failed setup the later steps are reported as not run.
setup_failed=""
failures=0
step() {
  local name="$1" started=$SECONDS
  shift
  case "$1" in bring_up | pair_controllers | listen_registers) ;; *)
    [ -z "$only" ] || [[ ",$only," == *",$1,"* ]] || return 0 ;;
  esac
  if [ -n "$setup_failed" ]; then
    say "FAIL $name: not run (\"$setup_failed\" failed)"
    failures=$((failures + 1))
    return 1
  fi
  if "$@" >"$work/step.log" 2>&1; then
    say "PASS $name ($((SECONDS - started)) s)"
    grep -a '^\[vm\] BENCH ' "$work/step.log"
    return 0
  fi
  failures=$((failures + 1))
  say "FAIL $name ($((SECONDS - started)) s): $(tail -n 1 "$work/step.log")"
  tail -n 12 "$work/step.log" | sed 's/^/[vm]   | /'
  return 1
}

setup_step() { step "$@" || setup_failed="$1"; }

# wait_for FILE TEXT SECONDS [PID]: until FILE holds the fixed TEXT; fails at
# once when the process PID, which writes FILE, has exited.
wait_for() {
  local deadline=$((SECONDS + $3))
  until grep -aqF -- "$2" "$1" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "no \"$2\" in $1 within $3 s" || return 1
    [ -z "${4:-}" ] || kill -0 "$4" 2>/dev/null || fail "it exited before \"$2\" came" || return 1
    sleep 0.5
  done
}

make_file() { head -c "$2" /dev/urandom >"$1"; }

same_file() { cmp "$1" "$2" || fail "$2 differs from $1"; }

start_bluetoothd() {
  /usr/libexec/bluetooth/bluetoothd -n -d >>"$work/bluetoothd.log" 2>&1 &
  bluetoothd_pid=$!
}

bring_up() {
  modprobe hci_vhci && modprobe rfcomm || { fail "the Bluetooth modules do not load"; return 1; }
  mkdir -p /run/dbus /var/lib/dbus
  dbus-uuidgen --ensure
  dbus-daemon --system --fork || { fail "dbus-daemon does not start"; return 1; }
  btvirt -l2 >"$work/btvirt.log" 2>&1 &
  local deadline=$((SECONDS + 30))
  until [ -e /sys/class/bluetooth/hci1 ]; do
    [ $SECONDS -lt $deadline ] || fail "btvirt made no two controllers" || return 1
    sleep 0.5
  done
  start_bluetoothd
  ls /sys/class/bluetooth
}

pair_controllers() {
  local out
  out="$(timeout 300 python3 "$here/bluez.py" pair)" || { fail "pairing did not finish"; return 1; }
  read -r addr0 addr1 <<<"$out"
  [ -n "${addr1:-}" ] || { fail "no addresses from pairing: $out"; return 1; }
  echo "controllers $addr0 and $addr1 paired and trusted"
}

# start_listener NAME ROOT [COMMAND PREFIX...]: tarvel listen in the
# background on the incoming port, until it says it waits for a peer.
start_listener() {
  local name="$1" root="$2"
  shift 2
  listener_log="$work/$name.log"
  "$@" timeout 1200 "$tarvel" --root "$root" listen >"$listener_log" 2>&1 &
  listener_pid=$!
  wait_for "$listener_log" "waiting for a Bluetooth peer" 60 $listener_pid ||
    { cat "$listener_log"; return 1; }
}

# Stops the listener as Ctrl-C does; it must exit 0 within 20 s.
stop_listener() {
  kill -INT "$listener_pid" 2>/dev/null
  local deadline=$((SECONDS + 20)) status=0
  while kill -0 "$listener_pid" 2>/dev/null; do
    if [ $SECONDS -ge $deadline ]; then
      kill -KILL "$listener_pid"
      wait "$listener_pid"
      cat "$listener_log"
      fail "the listener did not stop within 20 s of SIGINT"
      return 1
    fi
    sleep 0.5
  done
  wait "$listener_pid" || status=$?
  [ $status -eq 0 ] || { cat "$listener_log"; fail "the listener exited with $status when stopped"; }
}

listener_alive() {
  kill -0 "$listener_pid" 2>/dev/null || { cat "$listener_log"; fail "the listener has exited"; }
}

# received NAME ORIGINAL ROOT: the listener reports the file and it is intact.
received() {
  wait_for "$listener_log" "RECV: \\$1" 90 "$listener_pid" || { cat "$listener_log"; return 1; }
  same_file "$2" "$3/$1"
}

# Runs tarvel with a time limit, as the one who runs the rest of the line.
as_peer() { timeout 180 "$@"; }

listen_registers() {
  mkdir -p "$work/rootA" "$work/rootB"
  start_listener listener "$work/rootB" || return 1
  grep -F "registered the incoming serial port with the system's Bluetooth service" \
    "$listener_log" || { fail "the listener did not register with bluetoothd"; return 1; }
}

send_file() {
  make_file "$work/a.bin" 49152
  as_peer "$tarvel" -q --root "$work/rootA" --device "bluetooth:$addr1" \
    send "$work/a.bin" '\a.bin' || { fail "tarvel send failed"; return 1; }
  received a.bin "$work/a.bin" "$work/rootB"
}

send_text() {
  as_peer "$tarvel" -q --device "bluetooth:$addr1" text "hello over the air" ||
    { fail "tarvel text failed"; return 1; }
  wait_for "$listener_log" "TEXT: hello over the air" 60
}

get_file() {
  make_file "$work/rootB/served.bin" 32768
  as_peer "$tarvel" -q --root "$work/rootA" --device "bluetooth:$addr1" \
    get '\served.bin' "$work/got.bin" --timeout 90 || { fail "tarvel get failed"; return 1; }
  same_file "$work/rootB/served.bin" "$work/got.bin"
}

list_files() {
  local out
  make_file "$work/rootB/listed.bin" 100
  out="$(as_peer "$tarvel" -q --root "$work/rootA" --device "bluetooth:$addr1" \
    list '\*.*' --fetch --timeout 90)" ||
    { cat "$listener_log"; ls -l "$work/rootB"; fail "tarvel list failed: $out"; return 1; }
  echo "$out"
  grep -qx "listed.bin" <<<"$out" || { fail "the listing names no listed.bin"; return 1; }
}

# The peers before have hung up; one from the other controller comes next.
second_peer() {
  local pid="$listener_pid"
  make_file "$work/b.bin" 24576
  as_peer "$tarvel" -q --root "$work/rootA" --device "bluetooth:$addr0" \
    send "$work/b.bin" '\b.bin' || { fail "tarvel send from the other controller failed"; return 1; }
  received b.bin "$work/b.bin" "$work/rootB" || return 1
  listener_alive || return 1
  [ "$pid" = "$listener_pid" ] || { fail "another listener served the second peer"; return 1; }
}

# Two peers at once, one from each controller: the listener serves both, and
# names each file's peer (a send to one controller comes from the other).
two_peers_at_once() {
  local one two
  make_file "$work/p1.bin" 65536
  make_file "$work/p2.bin" 65536
  as_peer "$tarvel" -q --root "$work/rootA" --device "bluetooth:$addr1" \
    send "$work/p1.bin" '\p1.bin' &
  one=$!
  as_peer "$tarvel" -q --root "$work/rootA" --device "bluetooth:$addr0" \
    send "$work/p2.bin" '\p2.bin' &
  two=$!
  wait "$one" || { wait "$two"; cat "$listener_log"; fail "the send to $addr1 failed"; return 1; }
  wait "$two" || { cat "$listener_log"; fail "the send to $addr0 failed"; return 1; }
  received p1.bin "$work/p1.bin" "$work/rootB" || return 1
  received p2.bin "$work/p2.bin" "$work/rootB" || return 1
  grep -F "$addr0 RECV: \p1.bin" "$listener_log" || { fail "p1.bin's line names not $addr0"; return 1; }
  grep -F "$addr1 RECV: \p2.bin" "$listener_log" || { fail "p2.bin's line names not $addr1"; return 1; }
  listener_alive
}

# With the listener holding the serial port service of this bluetoothd, an
# outgoing connection to a plain RFCOMM peer on a channel of its own.
outgoing_while_listening() {
  local size=16384 header expected peer
  make_file "$work/c.bin" $size
  header="FILE: \\c.bin|$size|"
  expected=$((${#header} + size))
  timeout 200 python3 "$here/bluez.py" serve "$addr0" 22 "$work/plain.out" $expected \
    >"$work/plain.log" 2>&1 &
  peer=$!
  wait_for "$work/plain.log" ready 30 "$peer" || return 1
  as_peer "$tarvel" -q --device "bluetooth:$addr0@22" send "$work/c.bin" '\c.bin' ||
    { kill "$peer"; wait "$peer"; fail "tarvel send to the plain peer failed"; return 1; }
  wait "$peer" || { cat "$work/plain.log"; fail "the plain peer did not get the file"; return 1; }
  { printf '%s' "$header"; cat "$work/c.bin"; } | cmp - "$work/plain.out" ||
    { fail "the plain peer got other bytes"; return 1; }
  listener_alive
}

# bluetoothd stops and starts again under the running listener, which then
# serves a peer again.
restart_bluetoothd() {
  kill -TERM "$bluetoothd_pid"
  wait "$bluetoothd_pid"
  start_bluetoothd
  timeout 120 python3 "$here/bluez.py" power || { fail "the controllers did not come back"; return 1; }
  local deadline=$((SECONDS + 90))
  until timeout 30 sdptool search --bdaddr "$addr1" SP 2>&1 | grep -q "Serial Port"; do
    [ $SECONDS -lt $deadline ] || fail "the serial port service did not come back" || return 1
    sleep 2
  done
  listener_alive || return 1
  make_file "$work/d.bin" 20480
  as_peer "$tarvel" -q --root "$work/rootA" --device "bluetooth:$addr1" \
    send "$work/d.bin" '\d.bin' || { fail "tarvel send after the restart failed"; return 1; }
  received d.bin "$work/d.bin" "$work/rootB"
}

# uid 65534 under Debian's own D-Bus policy for BlueZ, both ends.
unprivileged() {
  stop_listener || return 1
  local nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work/home")
  mkdir -p "$work/home" "$work/rootU" "$work/rootV"
  chown 65534:65534 "$work/home" "$work/rootU" "$work/rootV"
  start_listener unprivileged "$work/rootU" "${nobody[@]}" || return 1
  make_file "$work/e.bin" 20480
  chmod 0644 "$work/e.bin"
  as_peer "${nobody[@]}" "$tarvel" -q --root "$work/rootV" --device "bluetooth:$addr1" \
    send "$work/e.bin" '\e.bin' || { fail "tarvel send as uid 65534 failed"; return 1; }
  received e.bin "$work/e.bin" "$work/rootU" || return 1
  [ "$(stat -c %u "$work/rootU/e.bin")" = 65534 ] || { fail "the file is not the listener's own"; return 1; }
  stop_listener
}

now() { date +%s.%N; }
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

bench_rfcomm() {
  local size=$1 started
  timeout 900 python3 "$here/bluez.py" serve "$addr1" 23 "$work/plain.out" "$size" \
    >"$work/plain.log" 2>&1 &
  local peer=$!
  wait_for "$work/plain.log" ready 30 "$peer" || return 1
  started=$(now)
  timeout 900 python3 "$here/bluez.py" blast "$addr0" "$addr1" 23 "$work/big.bin" ||
    { kill "$peer"; wait "$peer"; cat "$work/plain.log"; fail "the plain sender failed"; return 1; }
  wait "$peer" || { cat "$work/plain.log"; fail "the plain receiver failed"; return 1; }
  say "BENCH rfcomm bytes=$size seconds=$(seconds_since "$started")"
  same_file "$work/big.bin" "$work/plain.out"
}

bench_tarvel() {
  local size=$1 started status=0
  mkdir -p "$work/rootA" "$work/rootB"
  listener_log="$work/bench-listener.log"
  timeout 900 "$tarvel" --root "$work/rootB" listen --once >"$listener_log" 2>&1 &
  listener_pid=$!
  wait_for "$listener_log" "waiting for a Bluetooth peer" 60 || return 1
  started=$(now)
  timeout 900 "$tarvel" -q --device "bluetooth:$addr1" send "$work/big.bin" '\big.bin' ||
    { fail "tarvel send failed"; return 1; }
  wait "$listener_pid" || status=$?
  [ $status -eq 0 ] ||
    { cat "$listener_log"; fail "tarvel listen --once exited with $status"; return 1; }
  say "BENCH tarvel bytes=$size seconds=$(seconds_since "$started")"
  same_file "$work/big.bin" "$work/rootB/big.bin"
}

show_logs() {
  say "bluetoothd's last words:"
  tail -n 25 "$work/bluetoothd.log" | sed 's/^/[vm]   | /'
}

say "guest up: $(uname -r), $(bluetoothd --version 2>/dev/null || /usr/libexec/bluetooth/bluetoothd --version)"
setup_step "two btvirt controllers in one bluetoothd" bring_up
setup_step "pair the controllers (NoInputNoOutput agent)" pair_controllers
if [ "$mode" = bench ]; then
  size=$((4 * 1024 * 1024))
  make_file "$work/big.bin" $size
  step "bench: 4 MiB through a plain RFCOMM socket pair" bench_rfcomm $size
  step "bench: 4 MiB through tarvel send to tarvel listen" bench_tarvel $size
else
  step "listen: the incoming port registered with bluetoothd" listen_registers
  step "send: a file to the listener" send_file
  step "text: a text to the listener" send_text
  step "get: a file from the listener" get_file
  step "list: the listener's folder, fetched" list_files
  step "a second peer after a hang-up, from the other controller" second_peer
  step "two peers at once, one from each controller" two_peers_at_once
  step "an outgoing connection while a listener runs (plain RFCOMM peer)" \
    outgoing_while_listening
  step "bluetoothd restarted while listening, then a peer served" restart_bluetoothd
  step "unprivileged listener and sender (uid 65534)" unprivileged
fi
[ "$failures" -eq 0 ] || show_logs
say DONE
